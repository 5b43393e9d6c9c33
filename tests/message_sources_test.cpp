// Event sources, their message files found in the registry, and formatting
// from them, over toolchain-built message files on simulated computers.
#include <gtest/gtest.h>

#include <string>

#include "support/message_util.h"

namespace emu = vesk::emu;
using vesk::test::MakeComputer;
using vesk::test::MessageDll;
using vesk::test::ModulePaths;
using vesk::test::RegisterSource;
using vesk::test::Utf8;
using Strings = std::vector<std::string>;

namespace {

constexpr char16_t kEventMessages[] = u"EventMessageFile";
constexpr char16_t kCategories[] = u"CategoryMessageFile";
constexpr char kKeyPrefix[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
const std::vector<std::u16string> kFourInserts = {u"Alpha", u"4", u"HOST", u"ok"};
constexpr char kServiceText[] = "Service Alpha started with 4 threads on HOST (ok). ";

uint64_t Calls(emu::Call c) { return emu::calls(c); }

class SourcesTest : public vesk::test::MessageTest {
 protected:
  void SetUp() override {
    MessageTest::SetUp();
    local_->add_file(u"C:\\WINDOWS\\system32\\app.dll", MessageDll("app", 32));
    local_->add_file(u"C:\\WINDOWS\\system32\\app64.dll", MessageDll("app", 64));
    local_->add_file(u"C:\\WINDOWS\\system32\\extra.dll", MessageDll("extra", 32));
    local_->add_file(u"C:\\WINDOWS\\system32\\german.dll", MessageDll("german", 64));
  }

  void Register(const std::u16string &source, const std::u16string &value,
                const std::u16string &files) {
    RegisterSource(*local_, u"Application", source, value, files);
  }

  // Closes every handle opened so far.
  void CloseAll() {
    for (auto &[ctx, h] : open_) EXPECT_EQ(VeskClose(h), 0);
    open_.clear();
  }
};

TEST_F(SourcesTest, MessagesAndCategoriesFrom32And64BitFilesInSeveralLanguages) {
  Register(u"App32", kEventMessages, u"%SystemRoot%\\system32\\app.dll");
  Register(u"App32", kCategories, u"%SystemRoot%\\system32\\app.dll");
  Register(u"App64", kEventMessages, u"%SystemRoot%\\system32\\app64.dll");
  Register(u"App64", kCategories, u"%SystemRoot%\\system32\\app64.dll");
  Register(u"Deutsch", kEventMessages, u"%SystemRoot%\\system32\\german.dll");
  Register(u"Deutsch", kCategories, u"%SystemRoot%\\system32\\german.dll");
  CEvtLog *ctx = Open();
  for (const char16_t *source : {u"App32", u"App64"}) {
    SCOPED_TRACE(Utf8(source));
    // The user's language (English) is chosen from a file that has two.
    EXPECT_EQ(Format(ctx, source, kMessageModule, 1000, kFourInserts), kServiceText);
    // Ordinary line breaks become spaces, hard ones stay; %0 ends the text.
    EXPECT_EQ(Format(ctx, source, kMessageModule, 1001),
              "First line second line\r\nhard break");
    // Severity bits are part of the number.
    EXPECT_EQ(Format(ctx, source, kMessageModule, 0xC0000005, {u"explorer.exe"}),
              "Access violation in explorer.exe.");
    EXPECT_EQ(Format(ctx, source, kCategoryModule, 1), "Disk ");
    // Category texts keep their insert marks; %t is a tab.
    EXPECT_EQ(Format(ctx, source, kCategoryModule, 3), "Tab\tand %1 kept ");
  }
  // A file in German only gives its German texts.
  EXPECT_EQ(Format(ctx, u"Deutsch", kMessageModule, 1000, {u"x"}), "Nur deutsch: x.");
  EXPECT_EQ(Format(ctx, u"Deutsch", kCategoryModule, 1), "Kategorie eins");
  // A German user gets the German texts of the same files.
  emu::set_user_language(0x0407);
  EXPECT_EQ(Format(ctx, u"App64", kMessageModule, 1000, kFourInserts),
            "Dienst Alpha mit 4 Threads auf HOST gestartet (ok). ");
  EXPECT_EQ(Format(ctx, u"App32", kCategoryModule, 2), "Netzwerk ");
  EXPECT_EQ(TakeError(ctx), "");
}

TEST_F(SourcesTest, OneDiscoveryPerSourceAndTypeAndOneLoadPerFilePerHandle) {
  Register(u"Alpha", kEventMessages, u"%SystemRoot%\\System32\\APP.DLL");
  Register(u"Alpha", kCategories,
           u"%SYSTEMROOT%\\SYSTEM32\\App.Dll;%systemroot%\\system32\\extra.dll");
  Register(u"Beta", kEventMessages, u"%systemroot%\\system32\\app.dll");
  CEvtLog *ctx = Open();
  emu::reset_calls();

  CEvtSource *alpha = ctx->GetSource(u"Alpha", kMessageModule);
  EXPECT_EQ(ctx->GetSource(u"aLPHA", kMessageModule), alpha) << "names ignore case";
  CEvtSource *alpha_categories = ctx->GetSource(u"ALPHA", kCategoryModule);
  EXPECT_NE(alpha_categories, alpha) << "each type has its own entry";
  CEvtSource *beta = ctx->GetSource(u"Beta", kMessageModule);
  EXPECT_EQ(Utf8(alpha->name), "Alpha");
  EXPECT_EQ(Utf8(alpha_categories->name), "ALPHA") << "kept as first asked for";
  // The file named three times in different case is one module, loaded once.
  EXPECT_EQ(ModulePaths(alpha), Strings{"C:\\WINDOWS\\System32\\APP.DLL"});
  EXPECT_EQ(ModulePaths(beta), Strings{"C:\\WINDOWS\\System32\\APP.DLL"});
  EXPECT_EQ(ModulePaths(alpha_categories), (Strings{"C:\\WINDOWS\\System32\\APP.DLL",
                                                    "C:\\WINDOWS\\system32\\extra.dll"}));
  EXPECT_EQ(alpha->modules->module, beta->modules->module);
  EXPECT_EQ(Calls(emu::Call::LoadLibraryExW), 2u);

  for (int i = 0; i < 500; ++i) {
    ASSERT_EQ(Format(ctx, u"alpha", kMessageModule, 1000, kFourInserts), kServiceText);
    ASSERT_EQ(Format(ctx, u"Alpha", kCategoryModule, 2), "Network ");
    ASSERT_EQ(Format(ctx, u"BETA", kMessageModule, 0xC0000005, {u"x"}),
              "Access violation in x.");
  }
  EXPECT_EQ(TakeError(ctx), "");
  EXPECT_EQ(Calls(emu::Call::RegOpenKeyExW), 3u) << "one discovery per pair";
  EXPECT_EQ(Calls(emu::Call::RegQueryValueExW), 3u);
  EXPECT_EQ(Calls(emu::Call::RegCloseKey), 3u);
  EXPECT_EQ(Calls(emu::Call::LoadLibraryExW), 2u) << "one load per file";
  EXPECT_EQ(Calls(emu::Call::RegConnectRegistryW), 0u) << "a local log";

  // A second handle has caches of its own and loads the files again.
  CEvtLog *other = Open();
  EXPECT_EQ(Format(other, u"Beta", kMessageModule, 1000, kFourInserts), kServiceText);
  EXPECT_EQ(Calls(emu::Call::LoadLibraryExW), 3u);
  EXPECT_EQ(emu::live().modules, 3);
  CloseAll();
  EXPECT_EQ(Calls(emu::Call::FreeLibrary), 3u) << "every loaded file is freed once";
}

TEST_F(SourcesTest, NumbersNoFileFormatsAreReportedOncePerSource) {
  Register(u"Alpha", kEventMessages, u"%SystemRoot%\\system32\\app.dll");
  Register(u"Beta", kEventMessages, u"%SystemRoot%\\system32\\app.dll");
  CEvtLog *ctx = Open();
  ASSERT_EQ(Format(ctx, u"Alpha", kMessageModule, 1000, kFourInserts), kServiceText);
  uint64_t formats = Calls(emu::Call::FormatMessageW);

  // The buffer keeps what the caller put there; the text shows the low 16 bits.
  EXPECT_EQ(Format(ctx, u"Alpha", kMessageModule, 0xC0000064), "<none><before>");
  EXPECT_EQ(TakeError(ctx), "Format error, source=Alpha type=Message msg=100");
  EXPECT_EQ(Calls(emu::Call::FormatMessageW), formats + 1);
  // Memoised: no file is asked, nothing is reported.
  EXPECT_EQ(Format(ctx, u"ALPHA", kMessageModule, 0xC0000064), "<none><before>");
  EXPECT_EQ(TakeError(ctx), "");
  EXPECT_EQ(Calls(emu::Call::FormatMessageW), formats + 1);
  // The memo holds all 32 bits: 100 is another number.
  EXPECT_EQ(Format(ctx, u"Alpha", kMessageModule, 100), "<none><before>");
  EXPECT_EQ(TakeError(ctx), "Format error, source=Alpha type=Message msg=100");
  EXPECT_EQ(Calls(emu::Call::FormatMessageW), formats + 2);
  // Another source, another memo.
  EXPECT_EQ(Format(ctx, u"Beta", kMessageModule, 0xC0000064), "<none><before>");
  EXPECT_EQ(TakeError(ctx), "Format error, source=Beta type=Message msg=100");
  // The memo entry is made even when an earlier failure holds the latch.
  ctx->SetError(u"earlier");
  EXPECT_EQ(Format(ctx, u"Beta", kMessageModule, 77), "<none><before>");
  EXPECT_EQ(TakeError(ctx), "earlier");
  EXPECT_TRUE(ctx->GetSource(u"Beta", kMessageModule)->IsFailed(77));
  EXPECT_FALSE(ctx->GetSource(u"Beta", kMessageModule)->IsFailed(1000));

  // A text too long for the buffer is no text, and none of it is left there.
  WCHAR small[20];
  lstrcpyW(small, u"?Invalid Category");
  EXPECT_EQ(ctx->GetSource(u"Alpha", kMessageModule)
                ->FormatFrom(ctx, 1001, 0x0AFF, small, 20, nullptr),
            0u);
  EXPECT_EQ(Utf8(small), "?Invalid Category");
  EXPECT_EQ(TakeError(ctx), "Format error, source=Alpha type=Message msg=1001");
}

TEST_F(SourcesTest, ALongMemoOfFailedNumbersIsSearchedWithoutWalkingIt) {
  Register(u"Alpha", kEventMessages, u"%SystemRoot%\\system32\\app.dll");
  CEvtLog *ctx = Open();
  ASSERT_EQ(Format(ctx, u"Alpha", kMessageModule, 1000, kFourInserts), kServiceText);
  CEvtSource *source = ctx->GetSource(u"Alpha", kMessageModule);
  ASSERT_NE(source, nullptr);
  constexpr DWORD kNumbers = 20000;
  // Numbers that share their low 16 bits, and neighbours of each other.
  for (DWORD i = 0; i < kNumbers; ++i) source->AddFailed(ctx, 0x50000 + i * 0x10000 + 7);
  (void)TakeError(ctx);
  source->failed_compared = 0;
  for (DWORD i = 0; i < kNumbers; ++i) {
    ASSERT_TRUE(source->IsFailed(0x50000 + i * 0x10000 + 7)) << i;
    ASSERT_FALSE(source->IsFailed(0x50000 + i * 0x10000 + 8)) << i;
  }
  // A walk of the list would compare ~kNumbers^2 entries.
  EXPECT_GE(source->failed_compared, static_cast<uint64_t>(kNumbers));
  EXPECT_LE(source->failed_compared, 8u * 2 * kNumbers);
  // Through the whole call: a memoised number asks no file and compares few.
  const uint64_t formats = Calls(emu::Call::FormatMessageW);
  source->failed_compared = 0;
  EXPECT_EQ(Format(ctx, u"Alpha", kMessageModule, 0x50000 + 12345 * 0x10000 + 7),
            "<none><before>");
  EXPECT_EQ(TakeError(ctx), "");
  EXPECT_EQ(Calls(emu::Call::FormatMessageW), formats);
  EXPECT_LE(source->failed_compared, 64u);
}

TEST_F(SourcesTest, ThousandsOfSourcesKeepAnEntryEachAndAreFoundAgain) {
  // Entries come from blocks and are indexed by number: many blocks, many
  // growths of the index, short and long names, each found again under
  // another spelling, each discovered once.
  Register(u"Alpha", kEventMessages, u"%SystemRoot%\\system32\\app.dll");
  CEvtLog *ctx = Open();
  emu::reset_calls();
  constexpr int kSources = 3000;
  auto name = [](int i) {
    std::u16string n = u"Src" + emu::from_utf8(std::to_string(i));
    if (i % 7 == 0) n += u" with a name longer than the entry keeps in itself";
    return n;
  };
  std::vector<CEvtSource *> entries;
  for (int i = 0; i < kSources; ++i) {
    entries.push_back(ctx->GetSource(name(i).c_str(), kMessageModule));
    ASSERT_EQ(Utf8(entries.back()->name), emu::to_utf8(name(i)));
  }
  CEvtSource *alpha = ctx->GetSource(u"ALPHA", kMessageModule);
  EXPECT_EQ(ModulePaths(alpha), Strings{"C:\\WINDOWS\\system32\\app.dll"});
  for (int i = kSources - 1; i >= 0; --i) {
    std::u16string upper = name(i);
    for (char16_t &c : upper)
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    ASSERT_EQ(ctx->GetSource(upper.c_str(), kMessageModule), entries[i]) << i;
    ASSERT_NE(ctx->GetSource(name(i).c_str(), kCategoryModule), entries[i]) << i;
  }
  EXPECT_EQ(Calls(emu::Call::RegOpenKeyExW), 2u * kSources + 1);
  (void)TakeError(ctx);
}

TEST_F(SourcesTest, FileThatFailedToLoadIsSkippedAndTheNextOneSearched) {
  // Tried in the listed order: app, missing, extra.
  Register(u"Mixed", kEventMessages,
           u"%SystemRoot%\\system32\\app.dll;%SystemRoot%\\system32\\missing.dll;"
           u"%SystemRoot%\\system32\\extra.dll");
  Register(u"Other", kEventMessages, u"%SystemRoot%\\SYSTEM32\\Missing.dll");
  CEvtLog *ctx = Open();
  CEvtSource *mixed = ctx->GetSource(u"Mixed", kMessageModule);
  EXPECT_EQ(TakeError(ctx),
            "LoadLibrary rc=2 library=C:\\WINDOWS\\system32\\missing.dll");
  EXPECT_EQ(ModulePaths(mixed), (Strings{"C:\\WINDOWS\\system32\\app.dll",
                                         "C:\\WINDOWS\\system32\\missing.dll",
                                         "C:\\WINDOWS\\system32\\extra.dll"}));
  EXPECT_EQ(mixed->modules->next->module->module, nullptr);
  EXPECT_EQ(Format(ctx, u"Mixed", kMessageModule, 1000, kFourInserts), kServiceText);
  EXPECT_EQ(Format(ctx, u"Mixed", kMessageModule, 2000, {u"z"}), "Only in extra: z.")
      << "the file behind the one that failed to load is searched";
  EXPECT_EQ(TakeError(ctx), "");
  EXPECT_EQ(Format(ctx, u"Mixed", kMessageModule, 4242), "<none><before>");
  EXPECT_EQ(TakeError(ctx), "Format error, source=Mixed type=Message msg=4242");
  EXPECT_EQ(Format(ctx, u"Mixed", kMessageModule, 4242), "<none><before>");
  EXPECT_EQ(TakeError(ctx), "");

  // The failed module is shared and never loaded again; its text was latched once.
  uint64_t loads = Calls(emu::Call::LoadLibraryExW);
  CEvtSource *other = ctx->GetSource(u"Other", kMessageModule);
  EXPECT_EQ(Calls(emu::Call::LoadLibraryExW), loads);
  EXPECT_EQ(TakeError(ctx), "");
  EXPECT_EQ(other->modules->module, mixed->modules->next->module);
  EXPECT_EQ(Format(ctx, u"Other", kMessageModule, 1000, kFourInserts), "<none><before>");
  EXPECT_EQ(TakeError(ctx), "Format error, source=Other type=Message msg=1000");
}

TEST_F(SourcesTest, RegistryAndLoadFailuresLatchTheirTextsAndCloseEveryKey) {
  Register(u"Alpha", kEventMessages, u"%SystemRoot%\\system32\\app.dll");
  CEvtLog *ctx = Open();
  const std::string key = std::string(kKeyPrefix) + "Alpha";

  emu::fail(emu::Call::RegOpenKeyExW, ERROR_ACCESS_DENIED, 1);
  CEvtSource *failed = ctx->GetSource(u"Alpha", kMessageModule);
  EXPECT_EQ(TakeError(ctx), "RegOpenKeyEx rc=5 source=Alpha key=" + key);
  EXPECT_EQ(failed->modules, nullptr);
  EXPECT_EQ(emu::live().reg_keys, 0);
  // The pair is not looked up again; each number fails once, silently after.
  EXPECT_EQ(Format(ctx, u"Alpha", kMessageModule, 1000), "<none><before>");
  EXPECT_EQ(TakeError(ctx), "Format error, source=Alpha type=Message msg=1000");
  EXPECT_EQ(Format(ctx, u"Alpha", kMessageModule, 1000), "<none><before>");
  EXPECT_EQ(TakeError(ctx), "");
  EXPECT_EQ(Calls(emu::Call::RegOpenKeyExW), 2u) << "the open, then one discovery";

  emu::fail(emu::Call::RegQueryValueExW, ERROR_ACCESS_DENIED, 1);
  uint64_t closes = Calls(emu::Call::RegCloseKey);
  EXPECT_EQ(ModulePaths(ctx->GetSource(u"Alpha", kCategoryModule)), Strings{});
  EXPECT_EQ(TakeError(ctx), "RegQueryValueEx rc=5 source=Alpha type=CategoryMessageFile");
  EXPECT_EQ(Calls(emu::Call::RegCloseKey), closes + 1);
  EXPECT_EQ(emu::live().reg_keys, 0);

  // A source that registers no such value, and one that is not registered.
  ctx->GetSource(u"Alpha", kParameterModule);
  EXPECT_EQ(TakeError(ctx),
            "RegQueryValueEx rc=2 source=Alpha type=ParameterMessageFile");
  ctx->GetSource(u"Ghost", kMessageModule);
  EXPECT_EQ(TakeError(ctx),
            "RegOpenKeyEx rc=2 source=Ghost key=" + std::string(kKeyPrefix) + "Ghost");
  ctx->GetSource(u"Alpha", 7);
  EXPECT_EQ(TakeError(ctx), "invalid module type");
  EXPECT_EQ(emu::live().reg_keys, 0);

  emu::fail(emu::Call::LoadLibraryExW, ERROR_BAD_EXE_FORMAT, 1);
  CEvtSource *loaded = ctx->GetSource(u"alpha", kMessageModule);
  EXPECT_EQ(loaded, failed) << "a failed discovery keeps its entry";
  Register(u"Beta", kEventMessages, u"%SystemRoot%\\system32\\app.dll");
  ctx->GetSource(u"Beta", kMessageModule);
  EXPECT_EQ(TakeError(ctx), "LoadLibrary rc=193 library=C:\\WINDOWS\\system32\\app.dll");
  // A load failure is latched only when nothing else is pending.
  Register(u"Gamma", kEventMessages, u"%SystemRoot%\\system32\\extra.dll");
  emu::fail(emu::Call::LoadLibraryExW, ERROR_ACCESS_DENIED, 1);
  ctx->SetError(u"earlier");
  ctx->GetSource(u"Gamma", kMessageModule);
  EXPECT_EQ(TakeError(ctx), "earlier");
}

TEST_F(SourcesTest, LongSourceNamesAreKeptAndLookedUpByTheirFirst99Characters) {
  std::u16string long_name(120, u'S');
  long_name[0] = u'L';
  std::u16string cut = long_name.substr(0, 99);
  Register(cut, kEventMessages, u"%SystemRoot%\\system32\\app.dll");
  CEvtLog *ctx = Open();
  CEvtSource *s = ctx->GetSource(long_name.c_str(), kMessageModule);
  EXPECT_EQ(TakeError(ctx), "");
  EXPECT_EQ(Utf8(s->name), Utf8(cut.c_str()));
  EXPECT_EQ(ModulePaths(s), Strings{"C:\\WINDOWS\\system32\\app.dll"});
  EXPECT_EQ(ctx->GetSource(long_name.c_str(), kMessageModule), s);
  EXPECT_EQ(ctx->GetSource(cut.c_str(), kMessageModule), s);
  EXPECT_EQ(Calls(emu::Call::RegQueryValueExW), 2u) << "SystemRoot, then one discovery";
  EXPECT_EQ(Format(ctx, long_name, kMessageModule, 4242), "<none><before>");
  EXPECT_EQ(TakeError(ctx),
            "Format error, source=" + Utf8(cut.c_str()) + " type=Message msg=4242");

  // A name one character shorter is another source, whichever was asked
  // for last; a longer spelling of the first 99 is the same one.
  std::u16string shorter = cut.substr(0, 98);
  CEvtSource *t = ctx->GetSource(shorter.c_str(), kMessageModule);
  EXPECT_NE(t, s);
  EXPECT_EQ(ctx->GetSource(long_name.c_str(), kMessageModule), s);
  EXPECT_EQ(ctx->GetSource(shorter.c_str(), kMessageModule), t);
  EXPECT_EQ(ctx->GetSource((cut + u"X").c_str(), kMessageModule), s);
  EXPECT_EQ(ctx->GetSource(shorter.c_str(), kCategoryModule),
            ctx->GetSource(shorter.c_str(), kCategoryModule));
  EXPECT_NE(ctx->GetSource(shorter.c_str(), kCategoryModule), t);
}

// ---------------------------------------------------------------- the lists

TEST_F(SourcesTest, ListItemsBecomeReferencesInListedOrder) {
  // Bare names load through system32.
  Register(u"Order", kEventMessages, u"app.dll;extra.dll");
  Register(u"Reversed", kEventMessages, u"extra.dll;app.dll");
  // Empty items name no file: no module, no load, no text.
  Register(u"Empty", kEventMessages, u";extra.dll;;app.dll;");
  Register(u"Nothing", kEventMessages, u";");
  Register(u"Twice", kEventMessages, u"%SystemRoot%\\%systemroot%.dll");
  CEvtLog *ctx = Open();
  CEvtSource *order = ctx->GetSource(u"Order", kMessageModule);
  EXPECT_EQ(ModulePaths(order), (Strings{"app.dll", "extra.dll"}));
  // app.dll, listed first, is tried first; both files hold 1000.
  EXPECT_EQ(Format(ctx, u"Order", kMessageModule, 1000, kFourInserts), kServiceText);
  EXPECT_EQ(Format(ctx, u"Order", kMessageModule, 7), "extra-seven");
  EXPECT_EQ(ModulePaths(ctx->GetSource(u"Reversed", kMessageModule)),
            (Strings{"extra.dll", "app.dll"}));
  EXPECT_EQ(Format(ctx, u"Reversed", kMessageModule, 1000, kFourInserts),
            "Extra service Alpha.");
  EXPECT_EQ(Format(ctx, u"Reversed", kMessageModule, 1001),
            "First line second line\r\nhard break");
  EXPECT_EQ(TakeError(ctx), "");

  uint64_t loads = Calls(emu::Call::LoadLibraryExW);
  EXPECT_EQ(ModulePaths(ctx->GetSource(u"Empty", kMessageModule)),
            (Strings{"extra.dll", "app.dll"}));
  EXPECT_EQ(ModulePaths(ctx->GetSource(u"Nothing", kMessageModule)), Strings{});
  EXPECT_EQ(Calls(emu::Call::LoadLibraryExW), loads);
  EXPECT_EQ(TakeError(ctx), "");

  EXPECT_EQ(ModulePaths(ctx->GetSource(u"Twice", kMessageModule)),
            Strings{"C:\\WINDOWS\\C:\\WINDOWS.dll"});
  EXPECT_EQ(TakeError(ctx).rfind("LoadLibrary rc=", 0), 0u);
}

TEST_F(SourcesTest, OnlySystemRootIsKnownAndAStopKeepsEarlierReferences) {
  Register(u"Windir", kEventMessages, u"extra.dll;%windir%\\y.dll;app.dll");
  Register(u"Lone", kEventMessages, u"app.dll;50%");
  CEvtLog *ctx = Open();
  EXPECT_EQ(ModulePaths(ctx->GetSource(u"Windir", kMessageModule)), Strings{"extra.dll"});
  EXPECT_EQ(TakeError(ctx),
            "==>unable to resolve environment variable, "
            "sz=extra.dll;%windir%\\y.dll;app.dll\n");
  EXPECT_EQ(ModulePaths(ctx->GetSource(u"Lone", kMessageModule)), Strings{"app.dll"});
  EXPECT_EQ(TakeError(ctx),
            "==>unable to resolve environment variable, sz=app.dll;50%\n");
  EXPECT_EQ(Calls(emu::Call::LoadLibraryExW), 2u) << "y.dll is never loaded";
}

TEST_F(SourcesTest, ValueTextEndsAtItsFirstZeroOrAtTheBytesRead) {
  auto key =
      local_->key(std::u16string(u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\") +
                  u"Application\\Multi");
  std::u16string multi = u"extra.dll\0app.dll\0\0";
  multi.resize(19);
  key->set(kEventMessages, REG_MULTI_SZ,
           std::vector<uint8_t>(reinterpret_cast<const uint8_t *>(multi.data()),
                                reinterpret_cast<const uint8_t *>(multi.data()) + 38));
  // A long value first leaves its text in the memory the next read reuses.
  Register(u"Long", kEventMessages, std::u16string(1000, u'x'));
  local_
      ->key(std::u16string(u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\") +
            u"Application\\Open")
      ->set_string(kEventMessages, u"extra.dll", REG_EXPAND_SZ, false);
  // An odd byte count: the half unit at the end is no character.
  std::vector<uint8_t> odd;
  for (char c : std::string("app.dll")) odd.insert(odd.end(), {uint8_t(c), 0});
  odd.push_back('x');
  local_
      ->key(std::u16string(u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\") +
            u"Application\\Odd")
      ->set(kEventMessages, REG_SZ, odd);
  CEvtLog *ctx = Open();
  EXPECT_EQ(ModulePaths(ctx->GetSource(u"Multi", kMessageModule)), Strings{"extra.dll"});
  EXPECT_EQ(ModulePaths(ctx->GetSource(u"Long", kMessageModule)),
            Strings{std::string(1000, 'x')});
  TakeError(ctx);
  EXPECT_EQ(ModulePaths(ctx->GetSource(u"Open", kMessageModule)), Strings{"extra.dll"});
  EXPECT_EQ(ModulePaths(ctx->GetSource(u"Odd", kMessageModule)), Strings{"app.dll"});
  EXPECT_EQ(TakeError(ctx), "");
}

TEST_F(SourcesTest, ValueAndPathLengthLimits) {
  // A system root of 250 characters makes paths long.
  std::u16string root = u"C:\\" + std::u16string(247, u'r');
  local_->key(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion")
      ->set_string(u"SystemRoot", root);
  const std::u16string four = u"%SystemRoot%%SystemRoot%%SystemRoot%%SystemRoot%";
  Register(u"Fits", kEventMessages, four + std::u16string(39, u'y'));
  Register(u"TooLong", kEventMessages,
           u"C:\\WINDOWS\\system32\\extra.dll;" + four + std::u16string(40, u'y') +
               u";app.dll");
  Register(u"Largest", kEventMessages, std::u16string(1032, u'z') + u";a.dll");
  Register(u"Larger", kEventMessages, std::u16string(1033, u'z') + u";a.dll");
  CEvtLog *ctx = Open();
  // 1039 characters: accepted.
  Strings fits = ModulePaths(ctx->GetSource(u"Fits", kMessageModule));
  ASSERT_EQ(fits.size(), 1u);
  EXPECT_EQ(fits[0].size(), 1039u);
  EXPECT_EQ(TakeError(ctx).rfind("LoadLibrary rc=", 0), 0u);
  // 1040: refused, the reference made before stays, the item after is not read.
  EXPECT_EQ(ModulePaths(ctx->GetSource(u"TooLong", kMessageModule)),
            Strings{"C:\\WINDOWS\\system32\\extra.dll"});
  EXPECT_EQ(TakeError(ctx), "==>internal error, CEvtSource::Find, #2\n");
  // A value of 1038 characters is read; one of 1039 is too long for the read.
  EXPECT_EQ(ModulePaths(ctx->GetSource(u"Largest", kMessageModule)).size(), 2u);
  TakeError(ctx);
  EXPECT_EQ(ModulePaths(ctx->GetSource(u"Larger", kMessageModule)), Strings{});
  EXPECT_EQ(TakeError(ctx), "RegQueryValueEx rc=234 source=Larger type=EventMessageFile");
}

// ---------------------------------------------------------------- remote logs

class RemoteSourcesTest : public SourcesTest {
 protected:
  void SetUp() override {
    SourcesTest::SetUp();
    server_ = MakeComputer(u"SERVER", {u"Application"});
    server_->key(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion")
        ->set_string(u"SystemRoot", u"D:\\WINNT");
    // Only the server has drive D: its files are reachable through D$ alone.
    server_->add_file(u"D:\\WINNT\\system32\\srvapp.dll", MessageDll("app", 64));
    server_->add_file(u"D:\\WINNT\\system32\\srvextra.dll", MessageDll("extra", 32));
    emu::add_remote(server_);
  }
  void RegisterRemote(const std::u16string &source, const std::u16string &value,
                      const std::u16string &files) {
    RegisterSource(*server_, u"Application", source, value, files);
  }
  std::shared_ptr<emu::Computer> server_;
};

TEST_F(RemoteSourcesTest, FilesAreLoadedThroughTheAdministrativeShare) {
  RegisterRemote(
      u"Remote", kEventMessages,
      u"%SystemRoot%\\system32\\srvextra.dll;%SYSTEMROOT%\\system32\\srvapp.dll");
  RegisterRemote(u"Remote", kCategories, u"%SystemRoot%\\system32\\SRVAPP.dll;extra.dll");
  CEvtLog *ctx = Open("server");
  emu::reset_calls();
  CEvtSource *remote = ctx->GetSource(u"Remote", kMessageModule);
  EXPECT_EQ(ModulePaths(remote),
            (Strings{"\\\\server\\D$\\WINNT\\system32\\srvextra.dll",
                     "\\\\server\\D$\\WINNT\\system32\\srvapp.dll"}));
  EXPECT_EQ(Format(ctx, u"Remote", kMessageModule, 1000, kFourInserts),
            "Extra service Alpha.");
  EXPECT_EQ(Format(ctx, u"Remote", kMessageModule, 1001),
            "First line second line\r\nhard break");
  EXPECT_EQ(Format(ctx, u"Remote", kMessageModule, 2000, {u"q"}), "Only in extra: q.");
  EXPECT_EQ(TakeError(ctx), "");
  EXPECT_EQ(Calls(emu::Call::RegConnectRegistryW), 1u);
  EXPECT_EQ(emu::live().reg_keys, 0) << "no connection is held between discoveries";

  // A path without a drive letter is rewritten by the same rule: its first
  // unit becomes the share, its second is dropped.  That file is not there,
  // and the one behind it still formats.
  CEvtSource *categories = ctx->GetSource(u"Remote", kCategoryModule);
  EXPECT_EQ(
      ModulePaths(categories),
      (Strings{"\\\\server\\D$\\WINNT\\system32\\srvapp.dll", "\\\\server\\e$tra.dll"}));
  EXPECT_EQ(TakeError(ctx).rfind("LoadLibrary rc=", 0), 0u);
  EXPECT_EQ(Format(ctx, u"Remote", kCategoryModule, 2), "Network ");
  EXPECT_EQ(Calls(emu::Call::RegConnectRegistryW), 2u);
  EXPECT_EQ(Calls(emu::Call::LoadLibraryExW), 3u);
  EXPECT_EQ(emu::live().reg_keys, 0);
}

TEST_F(RemoteSourcesTest, RemoteFailuresCloseTheRemoteRoot) {
  RegisterRemote(u"Remote", kEventMessages, u"%SystemRoot%\\system32\\srvapp.dll");
  CEvtLog *ctx = Open("server");
  std::u16string name(100, u'n');
  emu::fail(emu::Call::RegConnectRegistryW, ERROR_BAD_NETPATH, 1);
  ctx->GetSource(name.c_str(), kMessageModule);
  // The name as it was asked for, not cut; the key with the kept name.  The
  // latch keeps 255 characters.
  std::string expected = "==>RegConnectKeyEx rc=53 source=" + std::string(100, 'n') +
                         " key=" + kKeyPrefix + std::string(99, 'n') + "\n";
  EXPECT_EQ(TakeError(ctx), expected.substr(0, 255));

  emu::fail(emu::Call::RegOpenKeyExW, ERROR_ACCESS_DENIED, 1);
  ctx->GetSource(u"Remote", kMessageModule);
  EXPECT_EQ(TakeError(ctx),
            "RegOpenKeyEx rc=5 source=Remote key=" + std::string(kKeyPrefix) + "Remote");
  EXPECT_EQ(emu::live().reg_keys, 0);
  emu::fail(emu::Call::RegQueryValueExW, ERROR_ACCESS_DENIED, 1);
  ctx->GetSource(u"Remote", kCategoryModule);
  EXPECT_EQ(TakeError(ctx),
            "RegQueryValueEx rc=5 source=Remote type=CategoryMessageFile");
  EXPECT_EQ(emu::live().reg_keys, 0);
}

TEST_F(RemoteSourcesTest, RemoteFormsOfShortAndOverlongPaths) {
  std::u16string root = u"D:\\" + std::u16string(247, u'r');
  server_->key(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion")
      ->set_string(u"SystemRoot", root);
  const std::u16string four = u"%SystemRoot%%SystemRoot%%SystemRoot%%SystemRoot%";
  // 1035 characters built; \\server\D$ adds 9 and drops the colon: 1043.
  const std::u16string long_item = four + std::u16string(35, u'y');
  RegisterRemote(u"Long", kEventMessages, long_item + u";a.dll");
  RegisterRemote(u"After", kEventMessages, u"a.dll;" + long_item);
  // An item of one unit has no second unit to drop and nothing after it.
  RegisterRemote(u"Short", kEventMessages, u"x");
  CEvtLog *ctx = Open("server");
  EXPECT_EQ(ModulePaths(ctx->GetSource(u"Short", kMessageModule)),
            Strings{"\\\\server\\x$"});
  EXPECT_EQ(TakeError(ctx).rfind("LoadLibrary rc=", 0), 0u);
  EXPECT_EQ(ModulePaths(ctx->GetSource(u"Long", kMessageModule)), Strings{});
  EXPECT_EQ(TakeError(ctx), "==>internal error, CEvtSource::Find, #3\n");
  EXPECT_EQ(ModulePaths(ctx->GetSource(u"After", kMessageModule)),
            Strings{"\\\\server\\a$dll"});
  EXPECT_EQ(TakeError(ctx).rfind("LoadLibrary rc=", 0), 0u);
}

}  // namespace
