// Account names: the emulated LookupAccountSidW (well-known SIDs, a SAM
// hive laid out as Windows writes it, accounts added in memory) and the
// 100-slot user cache behind getuser.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "api/context.h"
#include "evtwriter.h"
#include "hivewriter.h"
#include "regtext.h"
#include "samwriter.h"
#include "support/testlib.h"

namespace emu = vesk::emu;
namespace fs = std::filesystem;
using vesk::test::Utf8;
using vesk::tools::RegNode;
using vesk::tools::SamAccount;
using vesk::tools::SamKind;

namespace {

constexpr std::array<uint32_t, 3> kDomain = {1060284298, 842925246, 1957994488};
const std::string kDomainText = "S-1-5-21-1060284298-842925246-1957994488";

std::vector<uint8_t> Sid(const std::string &text) {
  std::vector<uint8_t> sid = vesk::tools::evt_sid(text);
  EXPECT_FALSE(sid.empty()) << text;
  return sid;
}

std::vector<SamAccount> Accounts() {
  return {{500, u"Administrator"},
          {501, u"Guest"},
          {1003, u"alice", SamKind::kUser, u"Alice Example", u"a comment"},
          {513, u"None", SamKind::kGroup, u"", u"Ordinary users", {500, 1003}},
          {1001, u"HelpServicesGroup", SamKind::kAlias, u"", u"Help", {1003}}};
}

// What LookupAccountSidW returns, as "DOMAIN\name" and its use, or the
// error code.
struct Found {
  bool ok = false;
  std::string text;
  SID_NAME_USE use = SidTypeInvalid;
  DWORD error = 0;
};

Found Lookup(const std::vector<uint8_t> &sid, const WCHAR *system = nullptr) {
  WCHAR name[256], domain[256];
  DWORD name_units = 256, domain_units = 256;
  Found f;
  f.ok = LookupAccountSidW(system, const_cast<uint8_t *>(sid.data()), name, &name_units,
                           domain, &domain_units, &f.use) != FALSE;
  if (f.ok) {
    f.text = Utf8(domain) + "\\" + Utf8(name);
    EXPECT_EQ(name_units, std::u16string(name).size());
    EXPECT_EQ(domain_units, std::u16string(domain).size());
  } else {
    f.error = GetLastError();
  }
  return f;
}

class AccountsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emu::reset();
    computer_ = vesk::test::MakeComputer(u"WORKSTATION", {});
    emu::set_local(computer_);
  }
  void TearDown() override { emu::reset(); }

  // Writes `root` as a hive file and mounts it as HKLM\SAM.
  void MountSam(const RegNode &root) {
    std::string error;
    const fs::path file = dir_.path() / "SAM";
    ASSERT_TRUE(vesk::tools::write_hive(file, root, &error)) << error;
    auto hive = emu::open_hive(file, false, &error);
    ASSERT_NE(hive, nullptr) << error;
    computer_->hklm()->mount(u"SAM", hive);
  }

  RegNode SamRoot(const std::vector<SamAccount> &accounts = Accounts()) {
    RegNode root(u"SAM");
    vesk::tools::add_sam_accounts(
        root, kDomain, accounts,
        {{544, u"Administrators", SamKind::kAlias, u"", u"", {500}},
         {562, u"Distributed COM Users", SamKind::kAlias}});
    return root;
  }

  vesk::test::TempDir dir_{"accounts"};
  std::shared_ptr<emu::Computer> computer_;
};

// ------------------------------------------------------------ SID functions

TEST_F(AccountsTest, SidFunctionsReadTheBinaryLayout) {
  std::vector<uint8_t> a = vesk::tools::evt_sid(0x0102030405AB, {21, 0x11223344, 7});
  std::vector<uint8_t> b = a;
  EXPECT_EQ(GetLengthSid(a.data()), 20u);
  SetLastError(5);
  EXPECT_TRUE(EqualSid(a.data(), b.data()));
  EXPECT_EQ(GetLastError(), 0u);
  b[19] ^= 1;
  EXPECT_FALSE(EqualSid(a.data(), b.data()));
  EXPECT_EQ(GetLastError(), 0u);
  // A prefix is not equal, however its bytes compare.
  std::vector<uint8_t> shorter = vesk::tools::evt_sid(0x0102030405AB, {21, 0x11223344});
  EXPECT_FALSE(EqualSid(a.data(), shorter.data()));

  SetLastError(5);
  PSID_IDENTIFIER_AUTHORITY authority = GetSidIdentifierAuthority(a.data());
  ASSERT_NE(authority, nullptr);
  EXPECT_EQ(authority->Value[0], 0x01);
  EXPECT_EQ(authority->Value[5], 0xAB);
  EXPECT_EQ(GetLastError(), 0u);
  ASSERT_NE(GetSidSubAuthorityCount(a.data()), nullptr);
  EXPECT_EQ(*GetSidSubAuthorityCount(a.data()), 3);
  DWORD value = 0;
  std::memcpy(&value, GetSidSubAuthority(a.data(), 1), 4);
  EXPECT_EQ(value, 0x11223344u);
  // Beyond the count, or a SID that is not one: no address.
  EXPECT_EQ(GetSidSubAuthority(a.data(), 3), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  std::vector<uint8_t> bad = a;
  bad[0] = 0;
  EXPECT_EQ(GetSidSubAuthorityCount(bad.data()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
  EXPECT_EQ(GetLengthSid(bad.data()), 0u);
  EXPECT_FALSE(EqualSid(a.data(), bad.data()));

  std::vector<uint8_t> copy(20, 0);
  EXPECT_FALSE(CopySid(19, copy.data(), a.data()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_TRUE(CopySid(20, copy.data(), a.data()));
  EXPECT_EQ(copy, a);
}

// ------------------------------------------------------------ LookupAccountSidW

TEST_F(AccountsTest, WellKnownSidsHaveTheirEnglishNames) {
  struct Case {
    const char *sid, *text;
    SID_NAME_USE use;
  };
  const Case cases[] = {
      {"S-1-0-0", "\\NULL SID", SidTypeWellKnownGroup},
      {"S-1-1-0", "\\Everyone", SidTypeWellKnownGroup},
      {"S-1-3-2", "\\CREATOR OWNER SERVER", SidTypeWellKnownGroup},
      {"S-1-5-1", "NT AUTHORITY\\DIALUP", SidTypeWellKnownGroup},
      {"S-1-5-14", "NT AUTHORITY\\REMOTE INTERACTIVE LOGON", SidTypeWellKnownGroup},
      {"S-1-5-18", "NT AUTHORITY\\SYSTEM", SidTypeWellKnownGroup},
      {"S-1-5-20", "NT AUTHORITY\\NETWORK SERVICE", SidTypeWellKnownGroup},
      {"S-1-5-1000", "NT AUTHORITY\\Other Organization", SidTypeWellKnownGroup},
      {"S-1-5-64-14", "NT AUTHORITY\\SChannel Authentication", SidTypeWellKnownGroup},
      {"S-1-5-32", "BUILTIN\\BUILTIN", SidTypeDomain},
      {"S-1-5-32-544", "BUILTIN\\Administrators", SidTypeAlias},
      {"S-1-5-32-559", "BUILTIN\\Performance Log Users", SidTypeAlias},
  };
  for (const Case &c : cases) {
    Found f = Lookup(Sid(c.sid));
    EXPECT_TRUE(f.ok) << c.sid << " error " << f.error;
    EXPECT_EQ(f.text, c.text) << c.sid;
    EXPECT_EQ(f.use, c.use) << c.sid;
  }
  // Logon sessions, unknown RIDs and SIDs that are near a well-known one map
  // to nothing.
  for (const char *sid : {"S-1-5-5-0-999", "S-1-5-99", "S-1-5-18-1", "S-1-5-32-600",
                          "S-1-16-12288", "S-1-5-21-1-2-3-500"}) {
    Found f = Lookup(Sid(sid));
    EXPECT_FALSE(f.ok) << sid;
    EXPECT_EQ(f.error, static_cast<DWORD>(ERROR_NONE_MAPPED)) << sid;
  }
}

TEST_F(AccountsTest, BufferSizesFollowWindows) {
  std::vector<uint8_t> system = Sid("S-1-5-18");
  PSID sid = system.data();
  SID_NAME_USE use = SidTypeInvalid;
  // The size query: null buffers, zero sizes.
  DWORD name_units = 0, domain_units = 0;
  EXPECT_FALSE(LookupAccountSidW(nullptr, sid, nullptr, &name_units, nullptr,
                                 &domain_units, &use));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(name_units, 7u);     // "SYSTEM" and its terminator
  EXPECT_EQ(domain_units, 13u);  // "NT AUTHORITY"
  EXPECT_EQ(use, SidTypeInvalid);

  // One buffer too small: both sizes are set, nothing is written.
  WCHAR name[32] = {u'x', 0}, domain[32] = {u'x', 0};
  name_units = 32;
  domain_units = 12;
  EXPECT_FALSE(
      LookupAccountSidW(nullptr, sid, name, &name_units, domain, &domain_units, &use));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(name_units, 7u);
  EXPECT_EQ(domain_units, 13u);
  EXPECT_EQ(Utf8(name), "x");

  // Exactly enough: the sizes come back without the terminator.
  name_units = 7;
  domain_units = 13;
  EXPECT_TRUE(
      LookupAccountSidW(nullptr, sid, name, &name_units, domain, &domain_units, &use));
  EXPECT_EQ(Utf8(name), "SYSTEM");
  EXPECT_EQ(Utf8(domain), "NT AUTHORITY");
  EXPECT_EQ(name_units, 6u);
  EXPECT_EQ(domain_units, 12u);
  EXPECT_EQ(use, SidTypeWellKnownGroup);
}

TEST_F(AccountsTest, SystemNameAndBadSids) {
  std::vector<uint8_t> system = Sid("S-1-5-18");
  EXPECT_EQ(Lookup(system, u"").text, "NT AUTHORITY\\SYSTEM");
  EXPECT_EQ(Lookup(system, u"\\\\workstation").text, "NT AUTHORITY\\SYSTEM");
  Found f = Lookup(system, u"\\\\NOSUCHPC");
  EXPECT_FALSE(f.ok);
  EXPECT_EQ(f.error, static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));

  std::vector<uint8_t> bad = system;
  bad[0] = 2;  // revision
  EXPECT_EQ(Lookup(bad).error, static_cast<DWORD>(ERROR_INVALID_SID));
  bad = system;
  bad[1] = 16;  // more sub-authorities than a SID may have
  EXPECT_EQ(Lookup(bad).error, static_cast<DWORD>(ERROR_INVALID_SID));
}

TEST_F(AccountsTest, LocalAccountsComeFromTheSamHive) {
  MountSam(SamRoot());
  const std::string d = kDomainText;
  struct Case {
    std::string sid, text;
    SID_NAME_USE use;
  };
  const Case cases[] = {
      {d + "-500", "WORKSTATION\\Administrator", SidTypeUser},
      {d + "-501", "WORKSTATION\\Guest", SidTypeUser},
      {d + "-1003", "WORKSTATION\\alice", SidTypeUser},
      {d + "-513", "WORKSTATION\\None", SidTypeGroup},
      {d + "-1001", "WORKSTATION\\HelpServicesGroup", SidTypeAlias},
      {d, "WORKSTATION\\WORKSTATION", SidTypeDomain},
      // A BUILTIN alias that only the hive knows.
      {"S-1-5-32-562", "BUILTIN\\Distributed COM Users", SidTypeAlias},
  };
  for (const Case &c : cases) {
    Found f = Lookup(Sid(c.sid));
    EXPECT_TRUE(f.ok) << c.sid << " error " << f.error;
    EXPECT_EQ(f.text, c.text) << c.sid;
    EXPECT_EQ(f.use, c.use) << c.sid;
  }
  // Another domain, an unknown RID, a SID below an account.
  for (const std::string &sid :
       {std::string("S-1-5-21-1060284298-842925246-1957994489-500"), d + "-1004",
        d + "-500-1", std::string("S-1-5-21-1060284298-842925246-500")})
    EXPECT_EQ(Lookup(Sid(sid)).error, static_cast<DWORD>(ERROR_NONE_MAPPED)) << sid;
  EXPECT_TRUE(emu::diagnostics().empty()) << vesk::test::AllDiagnostics();
}

TEST_F(AccountsTest, DomainNameIsTheRegisteredComputerName) {
  computer_->key(u"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName")
      ->set_string(u"ComputerName", u"SAMPLEPC");
  MountSam(SamRoot());
  EXPECT_EQ(Lookup(Sid(kDomainText + "-500")).text, "SAMPLEPC\\Administrator");
}

TEST_F(AccountsTest, RecordsDecideAndNamesFillGaps) {
  RegNode root = SamRoot();
  RegNode &users = root.key(u"SAM\\Domains\\Account\\Users");
  // The index says "renamed" for 500, whose record still says Administrator;
  // 1010 is only in the index.
  users.key(u"Names\\renamed").set(u"", 500, {});
  users.key(u"Names\\indexonly").set(u"", 1010, {});
  // A domain V value with something after the SID: the table finds it.
  std::vector<uint8_t> domain_v = vesk::tools::sam_domain_v(kDomain);
  domain_v.insert(domain_v.end(), 8, 0);
  root.key(u"SAM\\Domains\\Account").set(u"V", 3, domain_v);
  // Records whose name lies past their end or holds a NUL, and one whose C
  // value repeats another RID: all are skipped, the index then decides.
  std::vector<uint8_t> v = vesk::tools::sam_user_v({1011, u"cut"});
  v.resize(0xCC + 8);
  users.key(u"000003F3").set(u"V", 3, v);
  users.key(u"000003F4")
      .set(u"V", 3, vesk::tools::sam_user_v({1012, std::u16string(u"a\0b", 3)}));
  RegNode &groups = root.key(u"SAM\\Domains\\Account\\Groups");
  groups.key(u"00000201").set(u"C", 3, vesk::tools::sam_group_c({514, u"Wrong"}));
  MountSam(root);

  EXPECT_EQ(Lookup(Sid(kDomainText + "-500")).text, "WORKSTATION\\Administrator");
  EXPECT_EQ(Lookup(Sid(kDomainText + "-1010")).text, "WORKSTATION\\indexonly");
  EXPECT_EQ(Lookup(Sid(kDomainText + "-1011")).error,
            static_cast<DWORD>(ERROR_NONE_MAPPED));
  Found none = Lookup(Sid(kDomainText + "-513"));
  EXPECT_EQ(none.text, "WORKSTATION\\None");
  EXPECT_EQ(none.use, SidTypeGroup);
  EXPECT_TRUE(vesk::test::HasDiagnostic("000003F3", "does not lie inside"))
      << vesk::test::AllDiagnostics();
  EXPECT_TRUE(vesk::test::HasDiagnostic("00000201", "another RID"))
      << vesk::test::AllDiagnostics();
}

TEST_F(AccountsTest, MalformedDomainHoldsNoAccounts) {
  const std::vector<uint8_t> whole = vesk::tools::sam_domain_v(kDomain);
  std::vector<uint8_t> spoilt = whole;
  spoilt[spoilt.size() - 23] = 5;  // the SID's sub-authority count
  for (const auto &v : {std::vector<uint8_t>{},
                        std::vector<uint8_t>(whole.end() - 23, whole.end()), spoilt}) {
    SCOPED_TRACE(v.size());
    emu::clear_diagnostics();
    computer_ = vesk::test::MakeComputer(u"WORKSTATION", {});
    emu::set_local(computer_);
    RegNode root = SamRoot();
    root.key(u"SAM\\Domains\\Account").set(u"V", 3, v);
    MountSam(root);
    EXPECT_EQ(Lookup(Sid(kDomainText + "-500")).error,
              static_cast<DWORD>(ERROR_NONE_MAPPED));
    EXPECT_EQ(Lookup(Sid(kDomainText)).error, static_cast<DWORD>(ERROR_NONE_MAPPED));
    EXPECT_EQ(Lookup(Sid("S-1-5-18")).text, "NT AUTHORITY\\SYSTEM");
    EXPECT_TRUE(vesk::test::HasDiagnostic("Domains\\Account", "domain SID"))
        << vesk::test::AllDiagnostics();
  }
}

// A key that counts every use, to see the hive read once.
class CountingKey : public emu::RegKey {
 public:
  CountingKey(std::shared_ptr<emu::RegKey> inner, std::shared_ptr<int> uses)
      : inner_(std::move(inner)), uses_(std::move(uses)) {}
  std::shared_ptr<emu::RegKey> child(std::u16string_view name) override {
    ++*uses_;
    auto c = inner_->child(name);
    return c ? std::make_shared<CountingKey>(c, uses_) : nullptr;
  }
  std::optional<emu::RegValue> value(std::u16string_view name) override {
    ++*uses_;
    return inner_->value(name);
  }
  std::vector<std::u16string> subkeys() override {
    ++*uses_;
    return inner_->subkeys();
  }

 private:
  std::shared_ptr<emu::RegKey> inner_;
  std::shared_ptr<int> uses_;
};

TEST_F(AccountsTest, SamIsReadOnceAndAddedAccountsComeFirst) {
  MountSam(SamRoot());
  auto uses = std::make_shared<int>(0);
  computer_->hklm()->mount(
      u"SAM", std::make_shared<CountingKey>(computer_->hklm()->child(u"SAM"), uses));
  EXPECT_EQ(Lookup(Sid(kDomainText + "-1003")).text, "WORKSTATION\\alice");
  const int after_first = *uses;
  EXPECT_GT(after_first, 0);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(Lookup(Sid(kDomainText + "-500")).ok);
    EXPECT_FALSE(Lookup(Sid(kDomainText + "-4242")).ok);
    EXPECT_FALSE(Lookup(Sid("S-1-5-21-9-9-9-500")).ok);
  }
  EXPECT_EQ(*uses, after_first);

  emu::add_account(*computer_, Sid(kDomainText + "-1003"), u"", u"override");
  emu::add_account(*computer_, Sid("S-1-5-21-9-9-9-500"), u"CORP", u"admin", SidTypeUser);
  EXPECT_EQ(Lookup(Sid(kDomainText + "-1003")).text, "\\override");
  EXPECT_EQ(Lookup(Sid("S-1-5-21-9-9-9-500")).text, "CORP\\admin");
  // Another computer does not see them.
  auto other = vesk::test::MakeComputer(u"OTHER", {});
  emu::add_remote(other);
  EXPECT_FALSE(Lookup(Sid("S-1-5-21-9-9-9-500"), u"OTHER").ok);
}

TEST_F(AccountsTest, ManyAccountsAreReadInOnePassOverEachList) {
  constexpr uint32_t kUsers = 1500;
  std::vector<SamAccount> accounts;
  for (uint32_t i = 0; i < kUsers; ++i)
    accounts.push_back({2000 + i, u"user" + emu::from_utf8(std::to_string(i))});
  MountSam(SamRoot(accounts));
  const uint64_t before = emu::hive_subkey_names_read();
  EXPECT_EQ(Lookup(Sid(kDomainText + "-2749")).text, "WORKSTATION\\user749");
  // Users holds a key per account and Names; Names a key per account.  Each
  // list is read once (a name-by-name search of either would read it again).
  const uint64_t read = emu::hive_subkey_names_read() - before;
  EXPECT_GE(read, 2u * kUsers);
  EXPECT_LE(read, 2u * kUsers + 64);
  for (uint32_t i = 0; i < kUsers; i += 149)
    EXPECT_EQ(Lookup(Sid(kDomainText + "-" + std::to_string(2000 + i))).text,
              "WORKSTATION\\user" + std::to_string(i));
}

// The hive as chntpw's tools read it: the same machine SID and users.
TEST_F(AccountsTest, PeerToolsReadTheWrittenSam) {
  if (std::system("command -v sampasswd >/dev/null 2>&1 && "
                  "command -v samusrgrp >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "chntpw's sampasswd and samusrgrp are not installed (Debian package "
                    "chntpw); the SAM layouts are not checked against them";
  MountSam(SamRoot());
  const fs::path file = dir_.path() / "SAM";
  auto run = [](const std::string &command) {
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, p) != nullptr) out += buffer;
    pclose(p);
    return out;
  };
  EXPECT_EQ(run("samusrgrp -s '" + file.string() + "' 2>&1"), kDomainText + "\n");
  // RID:name:... for each user, in the hive's order.
  const std::string users = run("sampasswd -l '" + file.string() + "' 2>&1");
  for (const auto &[rid, name] :
       {std::pair{"01f4", "Administrator"}, {"01f5", "Guest"}, {"03eb", "alice"}}) {
    EXPECT_NE(users.find(std::string(rid) + ":" + name + ":"), std::string::npos)
        << users;
    Found f =
        Lookup(Sid(kDomainText + "-" + std::to_string(std::stoul(rid, nullptr, 16))));
    EXPECT_EQ(f.text, std::string("WORKSTATION\\") + name);
  }
  // An alias's members are whole SIDs.
  const std::string aliases = run("samusrgrp -L '" + file.string() + "' 2>&1");
  EXPECT_NE(
      aliases.find("220:Administrators:0:1f4:Administrator:" + kDomainText + "-500"),
      std::string::npos)
      << aliases;
}

// ------------------------------------------------------------ getuser

class UserCacheTest : public AccountsTest {
 protected:
  void SetUp() override {
    AccountsTest::SetUp();
    baseline_ = emu::live().local_allocs;
    ctx_ = std::make_unique<CEvtLog>();
    ASSERT_TRUE(ctx_->users.Alloc(kUserCacheSlots));
    emu::set_tick_count(1000);
    emu::reset_calls();
  }
  void TearDown() override {
    ctx_.reset();
    EXPECT_EQ(emu::live().local_allocs, baseline_) << "a SID copy was not given back";
    AccountsTest::TearDown();
  }

  std::string Get(const std::string &sid_text) {
    std::vector<uint8_t> sid = Sid(sid_text);
    return Get(sid);
  }
  std::string Get(std::vector<uint8_t> &sid) {
    LPCWSTR text = getuser(ctx_.get(), sid.data());
    EXPECT_NE(text, nullptr) << Utf8(ctx_->error_text);
    return text ? Utf8(text) : std::string("(null)");
  }
  CUserSlot &Slot(DWORD i) { return ctx_->users.slots()[i]; }
  // The slot that holds `sid`, or -1.
  int SlotOf(const std::vector<uint8_t> &sid) {
    for (DWORD i = 0; i < ctx_->users.count(); ++i)
      if (Slot(i).last_use != 0 && std::memcmp(Slot(i).sid, sid.data(), sid.size()) == 0)
        return static_cast<int>(i);
    return -1;
  }
  static std::string Numbered(int i) { return "S-1-5-21-7-8-9-" + std::to_string(i); }

  std::unique_ptr<CEvtLog> ctx_;
  long baseline_ = 0;
};

TEST_F(UserCacheTest, FillsFromTheLastSlotAndLooksEachSidUpOnce) {
  std::vector<uint8_t> system = Sid("S-1-5-18");
  LPCWSTR first = getuser(ctx_.get(), system.data());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(Utf8(first), "NT AUTHORITY\\SYSTEM");
  EXPECT_EQ(first, Slot(99).name);
  EXPECT_EQ(Slot(99).last_use, 1000u);
  EXPECT_EQ(Get("S-1-5-19"), "NT AUTHORITY\\LOCAL SERVICE");
  EXPECT_EQ(SlotOf(Sid("S-1-5-19")), 98);
  EXPECT_EQ(Get("S-1-5-21-1-2-3-1001"), "S-1-5-21-1-2-3-1001");
  EXPECT_EQ(SlotOf(Sid("S-1-5-21-1-2-3-1001")), 97);
  EXPECT_EQ(emu::calls(emu::Call::LookupAccountSidW), 3u);
  EXPECT_EQ(emu::calls(emu::Call::LocalAlloc), 3u);

  // Hits: the same address, no look-up, no allocation, the last use renewed.
  emu::reset_calls();
  emu::advance_tick_count(500);
  EXPECT_EQ(getuser(ctx_.get(), system.data()), first);
  EXPECT_EQ(Get("S-1-5-21-1-2-3-1001"), "S-1-5-21-1-2-3-1001");
  EXPECT_EQ(emu::calls(emu::Call::LookupAccountSidW), 0u);
  EXPECT_EQ(emu::calls(emu::Call::LocalAlloc), 0u);
  EXPECT_EQ(Slot(99).last_use, 1500u);
  EXPECT_EQ(Slot(98).last_use, 1000u);
  EXPECT_EQ(ctx_->error_pending, 0);
}

TEST_F(UserCacheTest, HitsAreFoundWhereverTheSidsLieAndStaleHintsAreNotBelieved) {
  for (int i = 0; i < 100; ++i) {
    emu::set_tick_count(2000 + static_cast<DWORD>(i));
    EXPECT_EQ(Get(Numbered(i)), Numbered(i));
  }
  // Every SID again, newest first: all hits, each with its own text.
  emu::reset_calls();
  for (int i = 99; i >= 0; --i) {
    emu::set_tick_count(3000 + static_cast<DWORD>(99 - i));
    EXPECT_EQ(Get(Numbered(i)), Numbered(i));
  }
  EXPECT_EQ(emu::calls(emu::Call::LookupAccountSidW), 0u);
  // A new SID takes the slot of the least recently used one (SID 99); that
  // SID is then a miss, not an answer from the slot it used to hold.
  const int slot_of_99 = SlotOf(Sid(Numbered(99)));
  emu::set_tick_count(4000);
  EXPECT_EQ(Get("S-1-5-21-7-8-9-777"), "S-1-5-21-7-8-9-777");
  EXPECT_EQ(SlotOf(Sid("S-1-5-21-7-8-9-777")), slot_of_99);
  EXPECT_EQ(Get(Numbered(99)), Numbered(99));
  EXPECT_EQ(emu::calls(emu::Call::LookupAccountSidW), 2u);
  EXPECT_EQ(Get("S-1-5-21-7-8-9-777"), "S-1-5-21-7-8-9-777");
  EXPECT_EQ(emu::calls(emu::Call::LookupAccountSidW), 2u);
}

TEST_F(UserCacheTest, ReplacesTheLeastRecentlyUsedSlot) {
  for (int i = 0; i < 100; ++i) {
    emu::set_tick_count(2000 + static_cast<DWORD>(i));
    Get(Numbered(i));
  }
  // Slot 99 - i holds SID i, stamped 2000 + i.  Make slots 40 and 60 the
  // oldest, with equal stamps: the lower index goes first.
  Slot(60).last_use = 1500;
  Slot(40).last_use = 1500;
  emu::set_tick_count(5000);
  std::vector<uint8_t> fresh = Sid("S-1-5-21-7-8-9-5000");
  Get(fresh);
  EXPECT_EQ(SlotOf(fresh), 40);
  EXPECT_EQ(Slot(40).last_use, 5000u);
  std::vector<uint8_t> next = Sid("S-1-5-21-7-8-9-5001");
  Get(next);
  EXPECT_EQ(SlotOf(next), 60);
  // The next oldest is SID 0 in slot 99 (stamped 2000).
  std::vector<uint8_t> third = Sid("S-1-5-21-7-8-9-5002");
  Get(third);
  EXPECT_EQ(SlotOf(third), 99);
  EXPECT_EQ(SlotOf(Sid(Numbered(0))), -1);
  EXPECT_EQ(emu::calls(emu::Call::LocalFree), 3u);
}

TEST_F(UserCacheTest, AfterATickWrapSlotZeroIsReplaced) {
  for (int i = 0; i < 100; ++i) {
    emu::set_tick_count(0xFFFFF000u + static_cast<DWORD>(i));
    Get(Numbered(i));
  }
  // The tick count wraps: every stamp lies above it, so slot 0 goes, and
  // then again slot 0 while the new stamp is the only one below.
  emu::set_tick_count(10);
  std::vector<uint8_t> a = Sid("S-1-5-21-7-8-9-7000");
  Get(a);
  EXPECT_EQ(SlotOf(a), 0);
  emu::set_tick_count(20);
  std::vector<uint8_t> b = Sid("S-1-5-21-7-8-9-7001");
  Get(b);
  EXPECT_EQ(SlotOf(b), 0);
  EXPECT_EQ(SlotOf(a), -1);
}

TEST_F(UserCacheTest, NumericForms) {
  struct Case {
    std::vector<uint8_t> sid;
    std::string text;
  };
  using vesk::tools::evt_sid;
  const Case cases[] = {
      {evt_sid(5, {21, 1, 2, 3, 1001}), "S-1-5-21-1-2-3-1001"},
      {evt_sid(5, {}), "S-1-5"},
      {evt_sid(5, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), "S-1-5-1-2-3-4-5-6-7-8"},
      {evt_sid(256, {77}), "S-1-0-77"},
      {evt_sid(0x0000AB0000FFull, {4294967295u}), "S-1-255-4294967295"},
      // 95 characters in all, cut to 63.
      {evt_sid(255, {4294967295u, 4294967295u, 4294967295u, 4294967295u, 4294967295u,
                     4294967295u, 4294967295u, 4294967295u}),
       "S-1-255-4294967295-4294967295-4294967295-4294967295-4294967295-"},
  };
  for (const Case &c : cases) {
    std::vector<uint8_t> sid = c.sid;
    EXPECT_EQ(Get(sid), c.text);
    EXPECT_LE(c.text.size(), 63u);
  }
  // Cached like any other text: no second look-up.
  emu::reset_calls();
  std::vector<uint8_t> again = cases[0].sid;
  EXPECT_EQ(Get(again), "S-1-5-21-1-2-3-1001");
  EXPECT_EQ(emu::calls(emu::Call::LookupAccountSidW), 0u);
  EXPECT_EQ(ctx_->error_pending, 0);
}

TEST_F(UserCacheTest, AccountTextsAndNamesTooLongForTheLookup) {
  MountSam(SamRoot());
  EXPECT_EQ(Get(kDomainText + "-1003"), "WORKSTATION\\alice");
  EXPECT_EQ(Get("S-1-1-0"), "\\Everyone");
  const std::u16string n31(31, u'n'), n32(32, u'n');
  emu::add_account(*computer_, Sid("S-1-5-21-4-4-4-31"), n31, n31);
  emu::add_account(*computer_, Sid("S-1-5-21-4-4-4-32"), u"D", n32);
  emu::add_account(*computer_, Sid("S-1-5-21-4-4-4-33"), n32, u"x");
  EXPECT_EQ(Get("S-1-5-21-4-4-4-31"), Utf8(n31.c_str()) + "\\" + Utf8(n31.c_str()));
  EXPECT_EQ(Get("S-1-5-21-4-4-4-32"), "S-1-5-21-4-4-4-32");
  EXPECT_EQ(Get("S-1-5-21-4-4-4-33"), "S-1-5-21-4-4-4-33");
  // A failed look-up is no error.
  EXPECT_EQ(ctx_->error_pending, 0);
}

TEST_F(UserCacheTest, AStampOfZeroIsStoredAsOne) {
  emu::set_tick_count(0);
  std::vector<uint8_t> system = Sid("S-1-5-18");
  LPCWSTR first = getuser(ctx_.get(), system.data());
  EXPECT_EQ(Slot(99).last_use, 1u);
  // Still in use: a hit, and its copy is given back at destruction
  // (TearDown checks that nothing leaked).
  EXPECT_EQ(getuser(ctx_.get(), system.data()), first);
  EXPECT_EQ(emu::calls(emu::Call::LookupAccountSidW), 1u);
  EXPECT_EQ(SlotOf(Sid("S-1-5-19")), -1);
  Get("S-1-5-19");
  EXPECT_EQ(SlotOf(Sid("S-1-5-19")), 98);
}

TEST_F(UserCacheTest, AFailedCopyLeavesTheSlotEmpty) {
  Get(Numbered(1));
  std::vector<uint8_t> system = Sid("S-1-5-18");
  for (emu::Call call : {emu::Call::CopySid, emu::Call::LocalAlloc}) {
    SCOPED_TRACE(emu::call_name(call));
    ctx_->ClearError();
    emu::fail(call, ERROR_NOT_ENOUGH_MEMORY, 1);
    EXPECT_EQ(getuser(ctx_.get(), system.data()), nullptr);
    EXPECT_EQ(Utf8(ctx_->error_text), "internal error, getuser, #4");
    EXPECT_EQ(SlotOf(system), -1);
    EXPECT_EQ(Slot(98).last_use, 0u);
    // The next call looks the SID up afresh and writes its name.
    ctx_->ClearError();
    EXPECT_EQ(Get(system), "NT AUTHORITY\\SYSTEM");
    EXPECT_EQ(SlotOf(system), 98);
    // Make it miss again for the second round.
    ctx_->users.Alloc(kUserCacheSlots);
    Get(Numbered(1));
  }
}

TEST_F(UserCacheTest, ClosingAHandleGivesEveryCopyBack) {
  auto c = vesk::test::MakeComputer(u"WORKSTATION");
  emu::set_local(c);
  VESKHANDLE h = 0;
  ASSERT_EQ(VeskOpen(nullptr, "Application", &h), 0);
  CEvtLog *ctx = vesk::FindContext(h);
  ASSERT_NE(ctx, nullptr);
  const long opened = emu::live().local_allocs;
  for (int i = 0; i < 150; ++i) {
    emu::advance_tick_count(1);
    std::vector<uint8_t> sid = Sid(Numbered(i));
    ASSERT_NE(getuser(ctx, sid.data()), nullptr);
  }
  EXPECT_EQ(emu::live().local_allocs, opened + 100);
  EXPECT_EQ(VeskClose(h), 0);
  EXPECT_EQ(emu::live().local_allocs, baseline_);
}

// A system drive image: its Security log's SIDs resolve through the local
// computer, so the image's own accounts only when it is the local one.
TEST_F(UserCacheTest, SecurityLogOfAnImageResolvesThroughItsSam) {
  const char *registry_text = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\Select]
"Current"=dword:00000001

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Control\ComputerName\ComputerName]
"ComputerName"="IMAGEPC"

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Services\EventLog\Security]
"File"=str(2):"%SystemRoot%\\system32\\config\\SecEvent.Evt"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion]
"SystemRoot"="C:\\WINDOWS"
)";
  RegNode registry;
  std::string error;
  ASSERT_TRUE(vesk::tools::parse_reg(registry_text, &registry, &error)) << error;
  RegNode &hklm = *registry.find(u"HKEY_LOCAL_MACHINE");
  vesk::tools::add_sam_accounts(hklm.key(u"SAM"), kDomain, Accounts());
  const fs::path drive = dir_.path() / "imagepc";
  ASSERT_TRUE(vesk::tools::write_system_hives(drive, hklm, &error)) << error;

  const std::vector<std::string> sids = {"S-1-5-18",
                                         kDomainText + "-500",
                                         kDomainText + "-1003",
                                         "S-1-5-21-1-2-3-1105",
                                         "S-1-5-5-0-1234",
                                         kDomainText + "-500"};
  {
    vesk::tools::EvtWriter log(drive / "WINDOWS" / "system32" / "config" / "SecEvent.Evt",
                               {});
    for (const std::string &sid : sids) {
      vesk::tools::EvtRecord r;
      r.time_generated = r.time_written = 1100000000;
      r.event_id = 528;
      r.event_type = 8;
      r.source = u"Security";
      r.computer = u"IMAGEPC";
      r.sid = Sid(sid);
      ASSERT_TRUE(log.add(r));
    }
    ASSERT_TRUE(log.finish() && log.ok()) << log.error();
  }
  auto image = emu::load_image(drive, {}, &error);
  ASSERT_NE(image, nullptr) << error;

  // The texts of the records' users, read as the row conversion reads them.
  auto users = [&](const char *machine) {
    std::vector<std::string> out;
    VESKHANDLE h = 0;
    if (VeskOpen(machine, "Security", &h) != 0) {
      ADD_FAILURE() << vesk::test::ErrorText(h);
      VeskClose(h);
      return out;
    }
    CEvtLog *ctx = vesk::FindContext(h);
    for (DWORD n = 1; n <= sids.size(); ++n) {
      const BYTE *record = ctx->ReadRecord(n);
      if (record == nullptr) break;
      DWORD sid_length = 0, sid_offset = 0;
      std::memcpy(&sid_length, record + 40, 4);
      std::memcpy(&sid_offset, record + 44, 4);
      if (sid_length == 0) break;
      LPCWSTR text = getuser(ctx, const_cast<BYTE *>(record) + sid_offset);
      out.push_back(text != nullptr ? Utf8(text) : "(null)");
    }
    VeskClose(h);
    return out;
  };
  emu::set_local(image);
  EXPECT_EQ(users(nullptr),
            (std::vector<std::string>{"NT AUTHORITY\\SYSTEM", "IMAGEPC\\Administrator",
                                      "IMAGEPC\\alice", "S-1-5-21-1-2-3-1105",
                                      "S-1-5-5-0-1234", "IMAGEPC\\Administrator"}));
  // The same image as a remote computer: the local one cannot name its
  // accounts.
  emu::set_local(computer_);
  emu::add_remote(image);
  EXPECT_EQ(users("IMAGEPC"),
            (std::vector<std::string>{"NT AUTHORITY\\SYSTEM", kDomainText + "-500",
                                      kDomainText + "-1003", "S-1-5-21-1-2-3-1105",
                                      "S-1-5-5-0-1234", kDomainText + "-500"}));
}

}  // namespace
