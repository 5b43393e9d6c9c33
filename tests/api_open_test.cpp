// Opening and closing logs, the error latch and the handle table.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "api/context.h"
#include "support/testlib.h"

namespace emu = vesk::emu;
using vesk::test::ErrorText;
using vesk::test::MakeComputer;

namespace {

class OpenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emu::reset();
    local_ = MakeComputer(u"WORKSTATION");
    emu::set_local(local_);
  }
  void TearDown() override {
    for (VESKHANDLE h : handles_) VeskClose(h);
    auto live = emu::live();
    EXPECT_EQ(live.reg_keys, 0);
    EXPECT_EQ(live.event_logs, 0);
    EXPECT_EQ(live.tokens, 0);
    EXPECT_EQ(live.bstrs, 0);
    EXPECT_EQ(live.local_allocs, 0);
    emu::reset();
  }

  // Opens and remembers the handle for closing.
  int32_t Open(const char *machine, const char *log, VESKHANDLE *h) {
    *h = -12345;
    int32_t rc = VeskOpen(machine, log, h);
    handles_.push_back(*h);
    return rc;
  }

  std::shared_ptr<emu::Computer> local_;
  std::vector<VESKHANDLE> handles_;
};

TEST_F(OpenTest, LocalLogOpensAndReadsSystemRoot) {
  VESKHANDLE h;
  ASSERT_EQ(Open(nullptr, "Application", &h), 0);
  EXPECT_GT(h, 0);
  EXPECT_EQ(ErrorText(h), "");
  CEvtLog *ctx = vesk::FindContext(h);
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(vesk::test::Utf8(ctx->system_root), "C:\\WINDOWS");
  EXPECT_EQ(ctx->machine, nullptr);
  EXPECT_EQ(vesk::test::Utf8(ctx->log_name), "Application");
  EXPECT_NE(ctx->log, nullptr);
  EXPECT_EQ(emu::live().reg_keys, 0) << "every key of the open is closed again";
  EXPECT_EQ(emu::calls(emu::Call::RegConnectRegistryW), 0u);
}

TEST_F(OpenTest, EmptyMachineIsTheLocalComputer) {
  VESKHANDLE h;
  ASSERT_EQ(Open("", "System", &h), 0);
  EXPECT_EQ(vesk::FindContext(h)->machine, nullptr);
  EXPECT_EQ(emu::calls(emu::Call::RegConnectRegistryW), 0u);
}

TEST_F(OpenTest, RemoteLogUsesTheRemoteRegistry) {
  auto server = MakeComputer(u"SERVER");
  server->key(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion")
      ->set_string(u"SystemRoot", u"D:\\WINNT");
  emu::add_remote(server);
  VESKHANDLE h;
  ASSERT_EQ(Open("server", "System", &h), 0) << ErrorText(h);
  CEvtLog *ctx = vesk::FindContext(h);
  EXPECT_EQ(vesk::test::Utf8(ctx->system_root), "D:\\WINNT");
  EXPECT_EQ(ctx->machine, ctx->machine_name);
  EXPECT_EQ(vesk::test::Utf8(ctx->machine_name), "server");
}

TEST_F(OpenTest, RegistryFailuresLatchTheirTextsAndCloseWhatWasOpened) {
  VESKHANDLE h;
  EXPECT_EQ(Open("NOBODY", "Application", &h), -1);
  EXPECT_EQ(ErrorText(h), "==>RegConnectKeyEx rc=53\n");
  EXPECT_EQ(emu::calls(emu::Call::OpenEventLogW), 0u) << "the log is not touched";

  emu::add_remote(MakeComputer(u"SERVER"));
  emu::fail(emu::Call::RegOpenKeyExW, ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(Open("SERVER", "Application", &h), -1);
  EXPECT_EQ(ErrorText(h), "==>RegOpenKeyEx rc=5\n");
  EXPECT_EQ(emu::live().reg_keys, 0);

  emu::fail(emu::Call::RegQueryValueExW, ERROR_MORE_DATA, 1);
  EXPECT_EQ(Open("SERVER", "Application", &h), -1);
  EXPECT_EQ(ErrorText(h), "==>RegQueryValueEx rc=234\n");
  EXPECT_EQ(emu::live().reg_keys, 0);
}

TEST_F(OpenTest, MissingKeysAndValuesGiveNotFound) {
  auto bare = std::make_shared<emu::Computer>(u"BARE");
  emu::set_local(bare);
  VESKHANDLE h;
  EXPECT_EQ(Open(nullptr, "Application", &h), -1);
  EXPECT_EQ(ErrorText(h), "==>RegOpenKeyEx rc=2\n");

  bare->key(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
  EXPECT_EQ(Open(nullptr, "Application", &h), -1);
  EXPECT_EQ(ErrorText(h), "==>RegQueryValueEx rc=2\n");
  EXPECT_EQ(emu::live().reg_keys, 0);
}

TEST_F(OpenTest, SystemRootFillsAtMost260UnitsAndIsAlwaysTerminated) {
  auto cv = local_->key(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
  VESKHANDLE h;
  // 260 characters stored without a terminator: 520 bytes fit the 521.
  std::u16string root(260, u'R');
  cv->set_string(u"SystemRoot", root, REG_SZ, false);
  ASSERT_EQ(Open(nullptr, "Application", &h), 0);
  EXPECT_EQ(vesk::test::Utf8(vesk::FindContext(h)->system_root), std::string(260, 'R'));

  // The same with its terminator needs 522 bytes: more than the capacity.
  cv->set_string(u"SystemRoot", root, REG_SZ, true);
  EXPECT_EQ(Open(nullptr, "Application", &h), -1);
  EXPECT_EQ(ErrorText(h), "==>RegQueryValueEx rc=234\n");

  // A short value stored without a terminator ends with its data.
  cv->set_string(u"SystemRoot", u"E:\\W", REG_SZ, false);
  ASSERT_EQ(Open(nullptr, "Application", &h), 0);
  EXPECT_EQ(vesk::test::Utf8(vesk::FindContext(h)->system_root), "E:\\W");
}

TEST_F(OpenTest, LocalSecurityLogTakesThePrivilegeInAnyCase) {
  VESKHANDLE h;
  ASSERT_EQ(Open(nullptr, "sEcUrItY", &h), 0);
  EXPECT_EQ(emu::calls(emu::Call::OpenProcessToken), 1u);
  EXPECT_EQ(emu::calls(emu::Call::LookupPrivilegeValueW), 1u);
  EXPECT_EQ(emu::calls(emu::Call::AdjustTokenPrivileges), 1u);
  EXPECT_EQ(emu::calls(emu::Call::CloseHandle), 1u);

  emu::reset_calls();
  ASSERT_EQ(Open(nullptr, "Application", &h), 0);
  EXPECT_EQ(emu::calls(emu::Call::OpenProcessToken), 0u);

  emu::add_remote(MakeComputer(u"SERVER"));
  ASSERT_EQ(Open("SERVER", "Security", &h), 0);
  EXPECT_EQ(emu::calls(emu::Call::OpenProcessToken), 0u)
      << "no privilege step for a remote log";
}

TEST_F(OpenTest, PrivilegeFailuresLatchTheLastError) {
  VESKHANDLE h;
  emu::set_privilege_assigned(false);
  EXPECT_EQ(Open(nullptr, "Security", &h), -1);
  EXPECT_EQ(ErrorText(h), "Unable to obtain SecurityName privilege, rc=1300\n");
  EXPECT_EQ(emu::live().tokens, 0) << "the token is closed on the failure path";
  emu::set_privilege_assigned(true);

  emu::reset_calls();
  emu::fail(emu::Call::LookupPrivilegeValueW, ERROR_NO_SUCH_PRIVILEGE, 1);
  EXPECT_EQ(Open(nullptr, "Security", &h), -1);
  EXPECT_EQ(ErrorText(h), "Unable to obtain SecurityName privilege, rc=1313\n");
  EXPECT_EQ(emu::calls(emu::Call::AdjustTokenPrivileges), 0u);

  emu::fail(emu::Call::AdjustTokenPrivileges, ERROR_INVALID_HANDLE, 1);
  EXPECT_EQ(Open(nullptr, "Security", &h), -1);
  EXPECT_EQ(ErrorText(h), "Unable to obtain SecurityName privilege, rc=6\n");

  // Without a token the step is skipped silently, and the service refuses
  // the log to a process that does not hold the privilege.
  emu::fail(emu::Call::OpenProcessToken, ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(Open(nullptr, "Security", &h), -1);
  EXPECT_EQ(ErrorText(h), "OpenEventLog(NULL,Security) rc=1314");
  EXPECT_EQ(emu::calls(emu::Call::OpenEventLogW), 1u);

  // Once a process holds it, it keeps it.
  ASSERT_EQ(Open(nullptr, "Security", &h), 0) << ErrorText(h);
  EXPECT_TRUE(emu::security_privilege_enabled());
  emu::fail(emu::Call::OpenProcessToken, ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(Open(nullptr, "Security", &h), 0) << ErrorText(h);
}

TEST_F(OpenTest, FailedLogOpenNamesMachineOrNull) {
  VESKHANDLE h;
  emu::fail(emu::Call::OpenEventLogW, ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(Open(nullptr, "Application", &h), -1);
  EXPECT_EQ(ErrorText(h), "OpenEventLog(NULL,Application) rc=5");
  EXPECT_EQ(vesk::FindContext(h)->log, nullptr);

  emu::add_remote(MakeComputer(u"SERVER"));
  emu::fail(emu::Call::OpenEventLogW, RPC_S_SERVER_UNAVAILABLE, 1);
  EXPECT_EQ(Open("Server", "System", &h), -1);
  EXPECT_EQ(ErrorText(h), "OpenEventLog(Server,System) rc=1722");
}

TEST_F(OpenTest, UnlistedLogNameOpensWhatTheServiceGives) {
  VESKHANDLE h;
  // The service opens Application for a name its registry does not list.
  EXPECT_EQ(Open(nullptr, "NoSuchLog", &h), 0) << ErrorText(h);
  EXPECT_EQ(Open(nullptr, nullptr, &h), 0) << ErrorText(h);
  EXPECT_EQ(vesk::FindContext(h)->log_name[0], 0);
}

TEST_F(OpenTest, NamesOverTheirLimitsAreRejectedNotCut) {
  emu::add_remote(MakeComputer(u"ABCDEFGHIJKLMNO"));  // 15 characters
  VESKHANDLE h;
  EXPECT_EQ(Open("ABCDEFGHIJKLMNO", "System", &h), 0) << ErrorText(h);

  emu::reset_calls();
  EXPECT_EQ(Open("ABCDEFGHIJKLMNOP", "System", &h), -1);
  EXPECT_EQ(ErrorText(h), "VeskOpen: the machine name is longer than 15 characters");
  EXPECT_EQ(emu::calls(emu::Call::RegConnectRegistryW), 0u);
  EXPECT_EQ(VeskClose(h), 0);
  handles_.pop_back();

  std::string log31(31, 'L');
  local_->add_log(emu::from_utf8(log31), vesk::test::EmptyLog());
  EXPECT_EQ(Open(nullptr, log31.c_str(), &h), 0) << ErrorText(h);
  std::string log32(32, 'L');
  EXPECT_EQ(Open(nullptr, log32.c_str(), &h), -1);
  EXPECT_EQ(ErrorText(h), "VeskOpen: the log name is longer than 31 characters");
  EXPECT_EQ(emu::calls(emu::Call::OpenEventLogW), 1u);
}

TEST_F(OpenTest, AnsiNamesAreConvertedWithCodePage1252) {
  emu::add_remote(MakeComputer(u"S\u20ACRVER"));  // "S€RVER"
  VESKHANDLE h;
  ASSERT_EQ(Open("S\x80RVER", "System", &h), 0) << ErrorText(h);
  EXPECT_EQ(vesk::test::Utf8(vesk::FindContext(h)->machine_name), "S\u20ACRVER");
}

TEST_F(OpenTest, GetErrorLeavesTheTextPendingAndEmptiesTheVariant) {
  VESKHANDLE h;
  ASSERT_EQ(Open("NOBODY", "Application", &h), -1);
  VARIANT v;
  VariantInit(&v);
  ASSERT_EQ(VeskGetError(h, &v), 1);
  ASSERT_EQ(V_VT(&v), VT_BSTR);
  std::string first = vesk::test::Utf8(V_BSTR(&v));
  // A second call frees the first BSTR (VariantClear) and gives the same text.
  ASSERT_EQ(VeskGetError(h, &v), 1);
  EXPECT_EQ(vesk::test::Utf8(V_BSTR(&v)), first);
  EXPECT_EQ(emu::live().bstrs, 1);
  VariantClear(&v);

  VESKHANDLE ok;
  ASSERT_EQ(Open(nullptr, "Application", &ok), 0);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = SysAllocString(u"left over");
  EXPECT_EQ(VeskGetError(ok, &v), 0);
  EXPECT_EQ(V_VT(&v), VT_EMPTY);
  EXPECT_EQ(emu::live().bstrs, 0);
}

TEST_F(OpenTest, LatchKeepsTheFirstTextCutTo255) {
  VESKHANDLE h;
  ASSERT_EQ(Open(nullptr, "Application", &h), 0);
  CEvtLog *ctx = vesk::FindContext(h);
  std::u16string long_text(300, u'x');
  ctx->SetError(u"first %s", long_text.c_str());
  ctx->SetError(u"second");
  std::string text = ErrorText(h);
  EXPECT_EQ(text.size(), 255u);
  EXPECT_EQ(text.substr(0, 8), "first xx");
  ctx->ClearError();
  ctx->SetError(u"n=%lu d=%ld h=%hu", 4294967295u, -5, 65535);
  EXPECT_EQ(ErrorText(h), "n=4294967295 d=-5 h=65535");
}

TEST_F(OpenTest, DeadHandlesTouchNothing) {
  VARIANT v;
  VariantInit(&v);
  int32_t out = 77;
  for (VESKHANDLE bad : {0, -1, 1, 0x7FFFFFFF}) {
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(u"stale");
    EXPECT_EQ(VeskGetError(bad, &v), 0);
    EXPECT_EQ(V_VT(&v), VT_EMPTY) << "0 always comes with an empty VARIANT";
    EXPECT_EQ(VeskGetOldest(bad, &out), 1);
    EXPECT_EQ(VeskGetNewest(bad, &out), 1);
    EXPECT_EQ(VeskGetRec(bad, 1, nullptr), -1);
    EXPECT_EQ(VeskClose(bad), 0);
  }
  EXPECT_EQ(out, 77);

  VESKHANDLE first;
  ASSERT_EQ(VeskOpen("NOBODY", "Application", &first), -1);
  EXPECT_EQ(VeskClose(first), 0);
  VESKHANDLE second;
  ASSERT_EQ(Open(nullptr, "Application", &second), 0);
  EXPECT_NE(first, second) << "a reused slot gets a new generation";
  EXPECT_EQ(VeskGetError(first, &v), 0);
  EXPECT_EQ(VeskClose(first), 0);
  EXPECT_NE(vesk::FindContext(second), nullptr)
      << "closing the old handle left the new alone";
}

// A program that opens and closes logs in a loop is never handed a value it
// was given before, so a stale copy can never reach a later context.
TEST_F(OpenTest, HandleValuesAreNeverIssuedTwice) {
  CEvtLog held_context, cycled;
  VESKHANDLE held = vesk::RegisterContext(&held_context);
  ASSERT_NE(held, 0);
  std::set<VESKHANDLE> seen{held};
  VESKHANDLE first = 0, last = 0;
  for (int i = 0; i < 200000; ++i) {
    VESKHANDLE h = vesk::RegisterContext(&cycled);
    ASSERT_GT(h, 0);
    ASSERT_TRUE(seen.insert(h).second) << "value " << h << " issued again at cycle " << i;
    if (i == 0) first = h;
    last = h;
    ASSERT_EQ(vesk::UnregisterContext(h), &cycled);
  }
  // The stale first value reaches nothing, also while a context is open.
  VESKHANDLE now = vesk::RegisterContext(&cycled);
  ASSERT_NE(now, 0);
  EXPECT_EQ(seen.count(now), 0u);
  EXPECT_EQ(vesk::FindContext(first), nullptr);
  EXPECT_EQ(vesk::FindContext(last), nullptr);
  EXPECT_EQ(vesk::UnregisterContext(first), nullptr);
  EXPECT_EQ(vesk::FindContext(now), &cycled);
  EXPECT_EQ(vesk::FindContext(held), &held_context);
  EXPECT_EQ(vesk::UnregisterContext(now), &cycled);
  EXPECT_EQ(vesk::UnregisterContext(held), &held_context);
}

TEST_F(OpenTest, NullRowClearsTheLatchAndSaysWhy) {
  VESKHANDLE h;
  ASSERT_EQ(Open(nullptr, "Application", &h), 0);
  CEvtLog *ctx = vesk::FindContext(h);
  ASSERT_NE(ctx, nullptr);
  ctx->SetError(u"an earlier failure");
  EXPECT_EQ(VeskGetRec(h, 1, nullptr), -1);
  EXPECT_EQ(ErrorText(h), "VeskGetRec: no row to fill (the row pointer is null)")
      << "a failure, not the end of the log, and not the earlier text";
}

TEST_F(OpenTest, NullOutputHandleFailsWithoutAContext) {
  EXPECT_EQ(VeskOpen(nullptr, "Application", nullptr), -1);
}

TEST_F(OpenTest, CloseReleasesEverythingAlsoAfterAFailedOpen) {
  VESKHANDLE a, b;
  ASSERT_EQ(VeskOpen(nullptr, "Application", &a), 0);
  ASSERT_EQ(VeskOpen("NOBODY", "System", &b), -1);
  EXPECT_EQ(emu::live().event_logs, 1);
  EXPECT_EQ(VeskClose(a), 0);
  EXPECT_EQ(VeskClose(b), 0);
  EXPECT_EQ(emu::live().event_logs, 0);
  EXPECT_EQ(emu::calls(emu::Call::CloseEventLog), 1u);
  EXPECT_EQ(vesk::FindContext(a), nullptr);
}

}  // namespace
