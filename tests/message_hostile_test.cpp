// Message files and sources as a hostile image can shape them: many files,
// many sources and numbers, files named in many ways, sparse files, huge
// message tables, and texts that fail for one record only.  The rows come
// from an image on disk through the six exports; the caches are checked by
// what they ask of the platform.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "evtwriter.h"
#include "hivewriter.h"
#include "messages/index.h"
#include "pewriter.h"
#include "platform/emulated/seam.h"
#include "regtext.h"
#include "support/message_util.h"
#include "vesk.h"

namespace emu = vesk::emu;
namespace fs = std::filesystem;
using vesk::test::RegisterSource;
using vesk::test::TempDir;
using vesk::test::Utf8;
using vesk::tools::EvtRecord;
using vesk::tools::MessageDllLayout;

namespace {

std::u16string U16(const std::string &s) { return std::u16string(s.begin(), s.end()); }

void WriteDll(const fs::path &file, uint32_t low, uint32_t high,
              const std::u16string &text, uint64_t section = 0) {
  MessageDllLayout layout;
  layout.blocks = {{low, high}};
  layout.text = [text](uint32_t) { return text; };
  layout.section_size = section;
  std::string error;
  ASSERT_TRUE(vesk::tools::write_message_dll(file, layout, &error)) << error;
}

const char *const kRegistry = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\Select]
"Current"=dword:00000001

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Control\ComputerName\ComputerName]
"ComputerName"="HOSTILE"

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Services\EventLog\Application]
"File"=str(2):"%SystemRoot%\\system32\\config\\AppEvent.Evt"

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Services\EventLog\Application\Listed]
"EventMessageFile"=str(2):"first.dll;%SystemRoot%\\system32\\second.dll"
"ParameterMessageFile"=str(2):"noparams.dll;params.dll"

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Services\EventLog\Application\Spelled]
"EventMessageFile"=str(2):"second;.\\second;.\\.\\second.dll;%SystemRoot%\\system32\\.\\second.dll"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion]
"SystemRoot"="C:\\WINDOWS"
)";

// An image on disk: a registry, message files made byte by byte, and the
// records a test gives, read through the six exports.
class HostileImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vesk::tools::RegNode reg;
    std::string error;
    ASSERT_TRUE(vesk::tools::parse_reg(kRegistry, &reg, &error)) << error;
    image_ = dir_.path() / "image";
    ASSERT_TRUE(
        vesk::tools::write_system_hives(image_, *reg.find(u"HKEY_LOCAL_MACHINE"), &error))
        << error;
    const fs::path system32 = image_ / "WINDOWS" / "system32";
    // Both files hold 1000; only the second holds 1001.
    WriteDll(system32 / "first.dll", 1000, 1000, u"First file: %1.");
    WriteDll(system32 / "second.dll", 1000, 1001, u"Second file: %1.");
    WriteDll(system32 / "noparams.dll", 1, 1, u"");
    WriteDll(system32 / "params.dll", 7, 8, u"seven-or-eight");
  }
  void TearDown() override {
    for (VARIANT &v : row_) VariantClear(&v);
    if (handle_ != 0) {
      EXPECT_EQ(VeskClose(handle_), 0);
    }
    EXPECT_EQ(emu::live().modules, 0) << "every module is freed";
    EXPECT_EQ(emu::module_bytes(), 0u) << "and its charge given back";
    emu::reset();
  }

  void Open(const std::vector<EvtRecord> &records) {
    std::vector<uint8_t> log = vesk::tools::write_evt(records);
    std::ofstream(image_ / "WINDOWS" / "system32" / "config" / "AppEvent.Evt",
                  std::ios::binary)
        .write(reinterpret_cast<const char *>(log.data()),
               static_cast<std::streamsize>(log.size()));
    emu::reset();
    std::string error;
    auto computer = emu::load_image(image_, u"", &error);
    ASSERT_NE(computer, nullptr) << error;
    emu::set_local(computer);
    for (VARIANT &v : row_) VariantInit(&v);
    ASSERT_EQ(VeskOpen(nullptr, "Application", &handle_), 0);
  }

  static EvtRecord Record(const std::u16string &source, uint32_t id,
                          std::vector<std::u16string> strings) {
    EvtRecord r;
    r.time_generated = r.time_written = 1078128000;
    r.source = source;
    r.computer = u"HOSTILE";
    r.event_id = id;
    r.strings = std::move(strings);
    return r;
  }

  // Record `n`'s message and error ("" for none).
  std::pair<std::string, std::string> Row(uint32_t n) {
    int rc = VeskGetRec(handle_, n, row_);
    std::string error = rc == 0 ? "" : vesk::test::ErrorText(handle_);
    std::string message =
        V_VT(&row_[7]) == VT_BSTR ? Utf8(V_BSTR(&row_[7])) : std::string("<empty>");
    return {message, error};
  }

  TempDir dir_{"hostile"};
  fs::path image_;
  VESKHANDLE handle_ = 0;
  VARIANT row_[8];
};

TEST_F(HostileImageTest, FilesAreTriedInTheOrderTheRegistryListsThem) {
  Open({Record(u"Listed", 1000, {u"a"}), Record(u"Listed", 1001, {u"b"}),
        Record(u"Listed", 1000, {u"%%7 and %%8"})});
  EXPECT_EQ(Row(1), std::make_pair(std::string("First file: a."), std::string()));
  // A number the first file lacks comes from the one behind it.
  EXPECT_EQ(Row(2), std::make_pair(std::string("Second file: b."), std::string()));
  // Parameter files likewise: the first has no 7, the second has.
  EXPECT_EQ(Row(3).first, "First file: seven-or-eight and seven-or-eight.");
}

TEST_F(HostileImageTest, AFailureOfOneRecordsOwnTextDoesNotHideTheNextRecords) {
  // 40,000 units of insert do not fit the 32,010-unit buffer.
  const std::u16string huge(40000, u'h');
  Open({Record(u"Listed", 1001, {huge}), Record(u"Listed", 1001, {u"fits"}),
        Record(u"Listed", 4242, {u"x"}), Record(u"Listed", 4242, {u"y"})});
  auto [text, error] = Row(1);
  EXPECT_EQ(error, "Format error, source=Listed type=Message msg=1001");
  EXPECT_EQ(text.rfind("Unable to format message. Insertion strings: hhh", 0), 0u);
  EXPECT_EQ(Row(2), std::make_pair(std::string("Second file: fits."), std::string()))
      << "the number was not memoised as failed";
  // A number no file holds is reported once, then memoised.
  EXPECT_EQ(Row(3).second, "Format error, source=Listed type=Message msg=4242");
  EXPECT_EQ(Row(4),
            std::make_pair(std::string("Unable to format message. Insertion strings: y"),
                           std::string()));
}

TEST_F(HostileImageTest, OneFileNamedManyWaysIsMappedOnce) {
  // A sparse file: 48 MB of section, nearly all a hole.
  const fs::path second = image_ / "WINDOWS" / "system32" / "second.dll";
  WriteDll(second, 1000, 1001, u"Sparse: %1.", 48u << 20);
  struct stat st {};
  ASSERT_EQ(::stat(second.c_str(), &st), 0);
  const uint64_t on_disk = static_cast<uint64_t>(st.st_blocks) * 512;
  ASSERT_LT(on_disk, 1u << 20) << "the file system keeps holes";
  Open({Record(u"Spelled", 1000, {u"a"}), Record(u"Listed", 1001, {u"b"})});
  EXPECT_EQ(Row(1).first, "Sparse: a.");
  // Four spellings, four modules of the context, one mapping: only the
  // file's data is charged, once, and none of its holes.
  EXPECT_EQ(emu::live().modules, 4);
  EXPECT_GT(emu::module_bytes(), 0u);
  EXPECT_LE(emu::module_bytes(), on_disk);
  const uint64_t one = emu::module_bytes();
  // A fifth spelling, from another source, shares it too.
  EXPECT_EQ(Row(2).first, "Sparse: b.");
  EXPECT_EQ(emu::live().modules, 6);
  EXPECT_LE(emu::module_bytes(), one + 64 * 1024) << "only first.dll is added";
}

TEST_F(HostileImageTest, ALoadPastTheModuleBudgetFailsWithItsCode) {
  Open({Record(u"Listed", 1001, {u"a"})});
  emu::set_module_budget(16);
  auto [text, error] = Row(1);
  EXPECT_EQ(error, "LoadLibrary rc=8 library=first.dll");
  EXPECT_EQ(text, "Unable to format message. Insertion strings: a");
  EXPECT_EQ(emu::module_bytes(), 0u);
}

// ---------------------------------------------------------------- the caches

class CacheSizeTest : public vesk::test::MessageTest {};

TEST_F(CacheSizeTest, LookUpsInLongListsCompareOneEntryNotTheWholeList) {
  local_->add_file(u"C:\\WINDOWS\\system32\\app.dll", vesk::test::MessageDll("app", 32));
  CEvtLog *ctx = Open();
  constexpr int kSources = 3000;
  std::vector<CEvtSource *> made;
  for (int i = 0; i < kSources; ++i) {
    std::u16string name = u"Src" + U16(std::to_string(i));
    RegisterSource(*local_, u"Application", name, u"EventMessageFile",
                   u"app.dll;file" + U16(std::to_string(i)) + u".dll");
    made.push_back(ctx->GetSource(name.c_str(), kMessageModule));
  }
  TakeError(ctx);
  emu::reset_calls();
  for (int i = 0; i < kSources; ++i) {
    std::u16string upper = u"SRC" + U16(std::to_string(i));
    ASSERT_EQ(ctx->GetSource(upper.c_str(), kMessageModule), made[i]);
  }
  EXPECT_EQ(emu::calls(emu::Call::RegOpenKeyExW), 0u) << "nothing discovered again";
  // One comparison confirms each match; a list walk would make millions.
  EXPECT_LE(emu::calls(emu::Call::lstrcmpiW), 2u * kSources);

  // The module list: one entry per distinct path, found again by any case.
  emu::reset_calls();
  EXPECT_EQ(ctx->GetModule(u"APP.DLL"), made[0]->modules->module);
  EXPECT_EQ(ctx->GetModule(u"FILE2999.DLL"), made[2999]->modules->next->module);
  EXPECT_LE(emu::calls(emu::Call::lstrcmpiW), 4u);
  EXPECT_EQ(emu::calls(emu::Call::LoadLibraryExW), 0u);

  // Many failed numbers: each memoised, each found again without a format.
  CEvtSource *s = made[0];
  for (DWORD n = 100000; n < 120000; ++n) s->AddFailed(ctx, n);
  TakeError(ctx);
  for (DWORD n = 100000; n < 120000; ++n) ASSERT_TRUE(s->IsFailed(n)) << n;
  EXPECT_FALSE(s->IsFailed(99999));
  EXPECT_FALSE(s->IsFailed(120000));
}

TEST_F(CacheSizeTest, ANumberFoundBehindFilesThatLackItStartsThereNextTime) {
  local_->add_file(u"C:\\WINDOWS\\system32\\app.dll", vesk::test::MessageDll("app", 32));
  local_->add_file(u"C:\\WINDOWS\\system32\\extra.dll",
                   vesk::test::MessageDll("extra", 32));
  RegisterSource(*local_, u"Application", u"Pair", u"EventMessageFile",
                 u"app.dll;missing.dll;extra.dll");
  CEvtLog *ctx = Open();
  EXPECT_EQ(Format(ctx, u"Pair", kMessageModule, 2000, {u"z"}), "Only in extra: z.");
  TakeError(ctx);
  emu::reset_calls();
  EXPECT_EQ(Format(ctx, u"Pair", kMessageModule, 2000, {u"y"}), "Only in extra: y.");
  EXPECT_EQ(emu::calls(emu::Call::FormatMessageW), 1u) << "app.dll is not asked again";
  // A number the first file holds is still taken from it.
  EXPECT_EQ(Format(ctx, u"Pair", kMessageModule, 1001),
            "First line second line\r\nhard break");
  EXPECT_EQ(Format(ctx, u"Pair", kMessageModule, 1000, {u"Alpha", u"4", u"HOST", u"ok"}),
            "Service Alpha started with 4 threads on HOST (ok). ");
  EXPECT_EQ(emu::calls(emu::Call::FormatMessageW), 3u);
  EXPECT_EQ(TakeError(ctx), "");
}

TEST(HashIndexTest, FindsEveryEntryAndOnlyMatchingOnes) {
  struct Item {
    uint32_t key;
  };
  std::vector<Item> items(5000);
  vesk::index::HashIndex<Item> index;
  // Every key in a few hashes: chains are followed and confirmed.
  for (uint32_t i = 0; i < items.size(); ++i) {
    items[i].key = i;
    index.Add(i % 7, &items[i]);
  }
  ASSERT_TRUE(index.usable());
  for (uint32_t i = 0; i < items.size(); ++i) {
    const Item *found = index.Find(i % 7, [&](const Item *it) { return it->key == i; });
    ASSERT_EQ(found, &items[i]);
  }
  EXPECT_EQ(index.Find(3, [](const Item *it) { return it->key == 5001; }), nullptr);
  index.Release();
  EXPECT_EQ(index.Find(0, [](const Item *) { return true; }), nullptr);
  // Texts hash alike whatever the case of their ASCII letters.
  EXPECT_EQ(vesk::index::HashText(9, u"Abc-Z", 99),
            vesk::index::HashText(9, u"aBC-z", 99));
  EXPECT_NE(vesk::index::HashText(9, u"Abc", 99), vesk::index::HashText(9, u"Abd", 99));
  EXPECT_EQ(vesk::index::HashText(9, u"Abcdef", 3), vesk::index::HashText(9, u"abc", 99));
}

}  // namespace
