// Message files on the emulated platform: LoadLibraryExW as a data file over
// every path form, its errors, FreeLibrary, and FormatMessageW from message
// DLLs that mingw-w64's windmc, windres and linker built (32- and 64-bit,
// UTF-16 and ANSI entries, English+German and German-only tables).
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "platform/emulated/seam.h"
#include "platform/platform.h"
#include "support/testlib.h"

namespace emu = vesk::emu;
using vesk::test::TempDir;
using vesk::test::Utf8;

namespace {

std::vector<uint8_t> DllBytes(const std::string &name) {
  std::ifstream in(std::string(VESK_TEST_MSGDLL_DIR) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in) << name;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::filesystem::path &p, const std::vector<uint8_t> &bytes) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

constexpr DWORD kDiskFull = 0xCFFF1000;  // Severity=Error, Facility=Application
constexpr DWORD kDiskLow = 0x80FF1001;   // Severity=Warning, Facility=System (0x0FF)

class ModulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emu::reset();
    local_ = vesk::test::MakeComputer(u"SAMPLEPC");
    emu::set_local(local_);
  }
  void TearDown() override {
    EXPECT_EQ(emu::live().modules, 0) << "a module was not released";
    emu::reset();
  }

  // Loads `path`; null and the last error on failure.
  HMODULE Load(const std::u16string &path, DWORD *error = nullptr) {
    SetLastError(0);
    HMODULE h = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (error) *error = h ? 0 : GetLastError();
    return h;
  }

  // Formats message `id` of `h` with the flags the library uses.
  std::string Format(HMODULE h, DWORD id, DWORD flags, const DWORD_PTR *args = nullptr,
                     DWORD *count = nullptr, DWORD lang = LANG_USER_DEFAULT) {
    WCHAR buf[512];
    SetLastError(0);
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | flags, h, id, lang, buf, 512,
                             reinterpret_cast<va_list *>(const_cast<DWORD_PTR *>(args)));
    if (count) *count = n;
    if (n == 0) return "error " + std::to_string(GetLastError());
    return Utf8(buf);
  }

  std::shared_ptr<emu::Computer> local_;
};

// ------------------------------------------------------------------ paths

TEST_F(ModulesTest, LoadsThroughEveryLocalPathForm) {
  local_->add_file(u"C:\\WINDOWS\\system32\\netmsg.dll", DllBytes("en_de_32.dll"));
  local_->add_file(u"C:\\WINDOWS\\winmsg.dll", DllBytes("en_de_64.dll"));
  local_->add_file(u"C:\\Program Files\\App\\app.msg", DllBytes("en_de_64.dll"));
  for (const char16_t *path :
       {u"C:\\WINDOWS\\system32\\netmsg.dll", u"c:/windows/SYSTEM32/NETMSG.DLL",
        u"netmsg.dll", u"NETMSG", u"winmsg",  // system32, then the Windows folder
        u"\\\\SAMPLEPC\\C$\\WINDOWS\\system32\\netmsg.dll",
        u"\\\\samplepc\\c$\\windows\\winmsg", u"C:\\Program Files\\App\\app.msg",
        u"\\Program Files\\App\\app.msg"}) {
    DWORD error = 0;
    HMODULE h = Load(path, &error);
    ASSERT_NE(h, nullptr) << Utf8(path) << ": " << error;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(h) & 1, 1u)
        << "data-file handles have bit 0 set";
    EXPECT_EQ(Format(h, 1, FORMAT_MESSAGE_IGNORE_INSERTS | 0xFF),
              "The service started. ");
    EXPECT_TRUE(FreeLibrary(h));
  }
}

TEST_F(ModulesTest, LoadsFromAnImageDirectoryAndARemoteAdminShare) {
  TempDir local_dir("modules-local"), remote_dir("modules-remote");
  WriteFile(local_dir.path() / "Windows" / "System32" / "MyMsg.DLL",
            DllBytes("en_de_32.dll"));
  WriteFile(remote_dir.path() / "WINDOWS" / "system32" / "srvmsg.dll",
            DllBytes("en_de_64.dll"));
  WriteFile(remote_dir.path() / "data" / "other.dll", DllBytes("de_only.dll"));
  local_->add_drive(u'C', local_dir.path());
  auto remote = vesk::test::MakeComputer(u"FILESRV");
  remote->add_drive(u'C', remote_dir.path());
  remote->add_drive(u'D', remote_dir.path() / "data");
  emu::add_remote(remote);

  HMODULE a = Load(u"mymsg");
  HMODULE b = Load(u"\\\\FILESRV\\C$\\WINDOWS\\system32\\srvmsg.dll");
  HMODULE c = Load(u"\\\\filesrv\\d$\\OTHER");
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(Format(a, kDiskFull, FORMAT_MESSAGE_IGNORE_INSERTS), "Disk %1 is full.\r\n");
  DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(u"E:")};
  EXPECT_EQ(Format(b, kDiskLow, FORMAT_MESSAGE_ARGUMENT_ARRAY | 0xFF, args),
            "Disk E: is nearly full. ");
  EXPECT_EQ(Format(c, 1, FORMAT_MESSAGE_IGNORE_INSERTS), "Nur auf Deutsch.\r\n");
  EXPECT_EQ(emu::live().modules, 3);
  for (HMODULE h : {a, b, c}) EXPECT_TRUE(FreeLibrary(h));
}

TEST_F(ModulesTest, LoadErrors) {
  local_->add_file(u"C:\\WINDOWS\\system32\\empty.dll", {});
  local_->add_file(u"C:\\WINDOWS\\system32\\text.dll",
                   {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'});
  std::vector<uint8_t> ne(128, 0);
  ne[0] = 'M', ne[1] = 'Z', ne[0x3C] = 0x40, ne[0x40] = 'N', ne[0x41] = 'E';
  local_->add_file(u"C:\\WINDOWS\\system32\\old16.dll", ne);
  auto remote = vesk::test::MakeComputer(u"FILESRV");
  emu::add_remote(remote);
  struct Case {
    const char16_t *path;
    DWORD error;
  } cases[] = {
      {u"C:\\WINDOWS\\system32\\missing.dll", ERROR_FILE_NOT_FOUND},
      {u"C:\\NoSuchDir\\x.dll", ERROR_FILE_NOT_FOUND},
      {u"Q:\\x.dll", ERROR_FILE_NOT_FOUND},  // a drive the computer does not have
      {u"nowhere", ERROR_FILE_NOT_FOUND},
      {u"\\\\FILESRV\\C$\\WINDOWS\\x.dll", ERROR_FILE_NOT_FOUND},
      {u"\\\\FILESRV\\Z$\\x.dll", ERROR_BAD_NET_NAME},  // a drive it does not have
      {u"\\\\NOSUCHPC\\C$\\WINDOWS\\x.dll", ERROR_BAD_NETPATH},
      {u"\\\\FILESRV\\public\\x.dll", ERROR_BAD_NET_NAME},
      {u"empty", ERROR_FILE_INVALID},
      {u"text", ERROR_BAD_EXE_FORMAT},
      {u"old16", ERROR_BAD_EXE_FORMAT},
      {u"", ERROR_INVALID_PARAMETER},
  };
  for (const auto &c : cases) {
    DWORD error = 0;
    EXPECT_EQ(Load(c.path, &error), nullptr) << Utf8(c.path);
    EXPECT_EQ(error, c.error) << Utf8(c.path);
  }
  SetLastError(0);
  EXPECT_EQ(LoadLibraryExW(nullptr, nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ModulesTest, EachLoadHasItsOwnHandleAndRelease) {
  local_->add_file(u"C:\\WINDOWS\\system32\\m.dll", DllBytes("en_de_32.dll"));
  HMODULE a = Load(u"m"), b = Load(u"m");
  ASSERT_TRUE(a && b);
  EXPECT_NE(a, b);
  EXPECT_EQ(emu::live().modules, 2);
  EXPECT_TRUE(FreeLibrary(a));
  // The other load still formats after the first is released.
  EXPECT_EQ(Format(b, 1, FORMAT_MESSAGE_IGNORE_INSERTS), "The service started.\r\n");
  EXPECT_EQ(Format(a, 1, FORMAT_MESSAGE_IGNORE_INSERTS),
            "error " + std::to_string(ERROR_INVALID_HANDLE));
  SetLastError(0);
  EXPECT_FALSE(FreeLibrary(a));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(FreeLibrary(b));
  EXPECT_EQ(emu::live().modules, 0);
}

TEST_F(ModulesTest, AHandleThatJustFormattedFailsOnceFreed) {
  local_->add_file(u"C:\\WINDOWS\\system32\\m.dll", DllBytes("en_de_32.dll"));
  HMODULE a = Load(u"m"), b = Load(u"m");
  ASSERT_TRUE(a && b);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Format(a, 1, FORMAT_MESSAGE_IGNORE_INSERTS), "The service started.\r\n");
  EXPECT_TRUE(FreeLibrary(a));
  EXPECT_EQ(Format(a, 1, FORMAT_MESSAGE_IGNORE_INSERTS),
            "error " + std::to_string(ERROR_INVALID_HANDLE));
  EXPECT_EQ(Format(b, 1, FORMAT_MESSAGE_IGNORE_INSERTS), "The service started.\r\n");
  EXPECT_TRUE(FreeLibrary(b));
  EXPECT_EQ(Format(b, 1, FORMAT_MESSAGE_IGNORE_INSERTS),
            "error " + std::to_string(ERROR_INVALID_HANDLE));
}

TEST_F(ModulesTest, BytesLoadInPlaceAsTheirFileLoads) {
  // The bytes are read during the load only: formatting works after they
  // are gone, with the same texts as a load of the file.
  auto bytes = std::make_unique<std::vector<uint8_t>>(DllBytes("en_de_64.dll"));
  HMODULE h = emu::load_module(bytes->data(), bytes->size());
  local_->add_file(u"C:\\WINDOWS\\system32\\m.dll", *bytes);
  bytes.reset();
  HMODULE f = Load(u"m");
  ASSERT_TRUE(h && f);
  EXPECT_NE(h, f);
  EXPECT_EQ(emu::live().modules, 2);
  for (DWORD id : {1u, kDiskFull, kDiskLow, 0x12345u})
    EXPECT_EQ(Format(h, id, FORMAT_MESSAGE_IGNORE_INSERTS),
              Format(f, id, FORMAT_MESSAGE_IGNORE_INSERTS))
        << id;
  EXPECT_TRUE(FreeLibrary(h));
  EXPECT_FALSE(FreeLibrary(h));
  EXPECT_TRUE(FreeLibrary(f));

  // The load errors of such files, and no module left behind.
  std::vector<uint8_t> text = {'h', 'e', 'l', 'l', 'o'};
  SetLastError(0);
  EXPECT_EQ(emu::load_module(text.data(), text.size()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
  SetLastError(0);
  EXPECT_EQ(emu::load_module(nullptr, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_INVALID));
  EXPECT_EQ(emu::calls(emu::Call::LoadLibraryExW), 1u);
}

TEST_F(ModulesTest, ReloadsNeverSeeAnEarlierModulesTable) {
  // Loads of different files one after another, each released before the
  // next: every one formats from its own table.
  local_->add_file(u"C:\\WINDOWS\\system32\\en.dll", DllBytes("en_de_64.dll"));
  local_->add_file(u"C:\\WINDOWS\\system32\\de.dll", DllBytes("de_only.dll"));
  for (int round = 0; round < 3; ++round) {
    for (const char16_t *name : {u"en", u"de"}) {
      HMODULE h = Load(name);
      ASSERT_NE(h, nullptr);
      EXPECT_EQ(Format(h, 1, FORMAT_MESSAGE_IGNORE_INSERTS | 0xFF),
                name[0] == u'e' ? "The service started. " : "Nur auf Deutsch. ");
      EXPECT_TRUE(FreeLibrary(h));
    }
  }
}

TEST_F(ModulesTest, CallsAreCountedAndFaultable) {
  local_->add_file(u"C:\\WINDOWS\\system32\\m.dll", DllBytes("en_de_32.dll"));
  emu::fail(emu::Call::LoadLibraryExW, ERROR_ACCESS_DENIED, 1);
  DWORD error = 0;
  EXPECT_EQ(Load(u"m", &error), nullptr);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  HMODULE h = Load(u"m");
  ASSERT_NE(h, nullptr);
  emu::fail(emu::Call::FormatMessageW, ERROR_NOT_ENOUGH_MEMORY, 1);
  EXPECT_EQ(Format(h, 1, FORMAT_MESSAGE_IGNORE_INSERTS),
            "error " + std::to_string(ERROR_NOT_ENOUGH_MEMORY));
  emu::fail(emu::Call::FreeLibrary, ERROR_INVALID_HANDLE, 1);
  EXPECT_FALSE(FreeLibrary(h));
  EXPECT_TRUE(FreeLibrary(h));
  EXPECT_EQ(emu::calls(emu::Call::LoadLibraryExW), 2u);
  EXPECT_EQ(emu::calls(emu::Call::FormatMessageW), 1u);
  EXPECT_EQ(emu::calls(emu::Call::FreeLibrary), 2u);
}

// --------------------------------------------------------------- messages

class MessageDllTest : public ModulesTest,
                       public ::testing::WithParamInterface<const char *> {
 protected:
  void SetUp() override {
    ModulesTest::SetUp();
    local_->add_file(u"C:\\WINDOWS\\system32\\t.dll", DllBytes(GetParam()));
    module_ = Load(u"t");
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override {
    EXPECT_TRUE(FreeLibrary(module_));
    ModulesTest::TearDown();
  }
  HMODULE module_ = nullptr;
};

TEST_P(MessageDllTest, FormatsAsTheLibraryAsks) {
  DWORD_PTR args[] = {
      reinterpret_cast<DWORD_PTR>(u"alice"), reinterpret_cast<DWORD_PTR>(u"PC1"),
      reinterpret_cast<DWORD_PTR>(u"10.0.0.1"), reinterpret_cast<DWORD_PTR>(nullptr)};
  DWORD count = 0;
  EXPECT_EQ(Format(module_, 2, FORMAT_MESSAGE_ARGUMENT_ARRAY | 0xFF, args, &count),
            "User alice logged on to PC1 from 10.0.0.1 ((null)). ");
  EXPECT_EQ(count, 52u);
  EXPECT_EQ(Format(module_, 2, FORMAT_MESSAGE_ARGUMENT_ARRAY, args, &count),
            "User alice logged on to PC1 from 10.0.0.1 ((null)).\r\n");
  EXPECT_EQ(count, 53u);
  EXPECT_EQ(Format(module_, 2, FORMAT_MESSAGE_IGNORE_INSERTS | 0xFF),
            "User %1 logged on to %2 from %3 (%4). ");
  // Line breaks of the source and %n under both width bytes.
  EXPECT_EQ(Format(module_, 3, FORMAT_MESSAGE_IGNORE_INSERTS),
            "First line\r\nsecond line\r\nthird line\r\n");
  EXPECT_EQ(Format(module_, 3, FORMAT_MESSAGE_IGNORE_INSERTS | 0xFF),
            "First line\r\nsecond line third line ");
  EXPECT_EQ(Format(module_, 4, FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, &count),
            "No line break");
  EXPECT_EQ(count, 13u);
  EXPECT_EQ(Format(module_, 5, FORMAT_MESSAGE_IGNORE_INSERTS | 0xFF),
            "Price: 5 \u20ac \u2013 na\u00efve %1!5d! ");
  DWORD_PTR mixed[] = {reinterpret_cast<DWORD_PTR>(u"ab"), 0x1F,
                       static_cast<DWORD_PTR>(7), u'Z'};
  EXPECT_EQ(Format(module_, 6, FORMAT_MESSAGE_ARGUMENT_ARRAY | 0xFF, mixed),
            "ab    |001f|+7|Z|ab%\t. ");
  // The severity and facility bits are part of the number.
  EXPECT_EQ(Format(module_, kDiskFull, FORMAT_MESSAGE_IGNORE_INSERTS | 0xFF),
            "Disk %1 is full. ");
  EXPECT_EQ(Format(module_, 0x1000, FORMAT_MESSAGE_IGNORE_INSERTS),
            "error " + std::to_string(ERROR_MR_MID_NOT_FOUND));
  EXPECT_EQ(Format(module_, 8, FORMAT_MESSAGE_IGNORE_INSERTS),
            "error " + std::to_string(ERROR_MR_MID_NOT_FOUND));
  // An insert without arguments.
  EXPECT_EQ(Format(module_, 2, FORMAT_MESSAGE_ARGUMENT_ARRAY),
            "error " + std::to_string(ERROR_INVALID_PARAMETER));
}

TEST_P(MessageDllTest, ATextFormatsTheSameEveryTimeItIsAsked) {
  // The first call formats a text as it reads it, later ones from what the
  // first calls learnt of it: the results, the counts, the errors and every
  // unit of a short buffer stay the same.
  DWORD_PTR args[99] = {reinterpret_cast<DWORD_PTR>(u"alice"),
                        reinterpret_cast<DWORD_PTR>(u"PC1"),
                        reinterpret_cast<DWORD_PTR>(u"10.0.0.1")};
  DWORD_PTR mixed[99] = {reinterpret_cast<DWORD_PTR>(u"ab"), 0x1F,
                         static_cast<DWORD_PTR>(7), u'Z'};
  struct Call {
    DWORD n, error;
    std::vector<WCHAR> buffer;
    bool operator==(const Call &) const = default;
  };
  auto call = [&](DWORD id, DWORD flags, DWORD capacity) {
    Call c{0, 0, std::vector<WCHAR>(capacity + 1, 0xAAAA)};
    const DWORD_PTR *a = id == 6 ? mixed : args;
    SetLastError(0);
    c.n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | flags, module_, id,
                         LANG_USER_DEFAULT, c.buffer.data(), capacity,
                         reinterpret_cast<va_list *>(const_cast<DWORD_PTR *>(a)));
    c.error = c.n == 0 ? GetLastError() : 0;
    return c;
  };
  for (DWORD id : {1u, 2u, 3u, 4u, 5u, 6u, kDiskFull, 0x1000u}) {
    for (DWORD flags :
         {FORMAT_MESSAGE_IGNORE_INSERTS | 0xFF, FORMAT_MESSAGE_IGNORE_INSERTS,
          FORMAT_MESSAGE_ARGUMENT_ARRAY | 0xFF, FORMAT_MESSAGE_ARGUMENT_ARRAY,
          FORMAT_MESSAGE_IGNORE_INSERTS | 20}) {
      for (DWORD capacity : {1u, 9u, 512u}) {
        const Call first = call(id, flags, capacity);
        for (int again = 0; again < 3; ++again)
          ASSERT_EQ(call(id, flags, capacity), first)
              << "message " << id << " flags " << std::hex << flags << std::dec
              << " capacity " << capacity << " call " << again + 2;
      }
    }
  }
}

TEST_P(MessageDllTest, LanguageChoice) {
  const std::string en = "The service started.\r\n",
                    de = "Der Dienst wurde gestartet.\r\n";
  const DWORD flags = FORMAT_MESSAGE_IGNORE_INSERTS;
  EXPECT_EQ(Format(module_, 1, flags, nullptr, nullptr, LANG_USER_DEFAULT), en);
  EXPECT_EQ(Format(module_, 1, flags, nullptr, nullptr, 0), en);
  EXPECT_EQ(Format(module_, 1, flags, nullptr, nullptr, 0x0407), de);
  EXPECT_EQ(Format(module_, 1, flags, nullptr, nullptr, 0x0409), en);
  // A specific language the table lacks fails; German of Austria falls back
  // on neutral German only if the table had one, which it has not.
  EXPECT_EQ(Format(module_, 1, flags, nullptr, nullptr, 0x040C),
            "error " + std::to_string(ERROR_RESOURCE_LANG_NOT_FOUND));
  EXPECT_EQ(Format(module_, 1, flags, nullptr, nullptr, 0x0C07),
            "error " + std::to_string(ERROR_RESOURCE_LANG_NOT_FOUND));
  // A German user gets German under the default language.
  emu::set_user_language(0x0407);
  EXPECT_EQ(Format(module_, 1, flags, nullptr, nullptr, LANG_USER_DEFAULT), de);
  // A French user gets English, the fallback of last resort before any.
  emu::set_user_language(0x040C);
  EXPECT_EQ(Format(module_, 1, flags, nullptr, nullptr, LANG_USER_DEFAULT), en);
}

INSTANTIATE_TEST_SUITE_P(Builds, MessageDllTest,
                         ::testing::Values("en_de_32.dll", "en_de_64.dll",
                                           "en_de_ansi.dll"));

TEST_F(ModulesTest, GermanOnlyTableServesTheDefaultLanguage) {
  local_->add_file(u"C:\\WINDOWS\\system32\\de.dll", DllBytes("de_only.dll"));
  HMODULE h = Load(u"de");
  ASSERT_NE(h, nullptr);
  DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(u"42")};
  EXPECT_EQ(Format(h, 7, FORMAT_MESSAGE_ARGUMENT_ARRAY | 0xFF, args), "Wert 42. ");
  EXPECT_EQ(Format(h, 1, FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, nullptr, 0x0409),
            "error " + std::to_string(ERROR_RESOURCE_LANG_NOT_FOUND));
  EXPECT_EQ(Format(h, 2, FORMAT_MESSAGE_IGNORE_INSERTS),
            "error " + std::to_string(ERROR_MR_MID_NOT_FOUND));
  EXPECT_TRUE(FreeLibrary(h));
}

TEST_F(ModulesTest, AnsiAndUnicodeEntriesGiveTheSameText) {
  local_->add_file(u"C:\\WINDOWS\\system32\\u.dll", DllBytes("en_de_32.dll"));
  local_->add_file(u"C:\\WINDOWS\\system32\\a.dll", DllBytes("en_de_ansi.dll"));
  HMODULE u = Load(u"u"), a = Load(u"a");
  ASSERT_TRUE(u && a);
  DWORD_PTR args[] = {12};
  for (DWORD lang : {0x0409u, 0x0407u}) {
    std::string from_u = Format(u, 5, FORMAT_MESSAGE_ARGUMENT_ARRAY, args, nullptr, lang);
    EXPECT_EQ(from_u, Format(a, 5, FORMAT_MESSAGE_ARGUMENT_ARRAY, args, nullptr, lang));
    EXPECT_EQ(from_u, lang == 0x0409 ? "Price: 5 \u20ac \u2013 na\u00efve    12\r\n"
                                     : "Gr\u00f6\u00dfe:    12 Gr\u00fc\u00dfe\r\n");
  }
  EXPECT_TRUE(FreeLibrary(u));
  EXPECT_TRUE(FreeLibrary(a));
}

}  // namespace

namespace {

TEST_F(ModulesTest, UnknownLoadFlagsAreRefused) {
  local_->add_file(u"C:\\WINDOWS\\system32\\m.dll", DllBytes("en_de_32.dll"));
  for (DWORD flags : {LOAD_LIBRARY_AS_DATAFILE | 0x4u, LOAD_LIBRARY_AS_DATAFILE | 0x8000u,
                      LOAD_LIBRARY_AS_DATAFILE | 0x10000u, 0x80000000u}) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryExW(u"m", nullptr, flags), nullptr) << std::hex << flags;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER))
        << std::hex << flags;
  }
  // Known flags beside the data-file one are taken.
  const DWORD known[] = {
      LOAD_LIBRARY_AS_DATAFILE | 0x8u, LOAD_LIBRARY_AS_DATAFILE | 0x800u,
      LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE};
  for (DWORD flags : known) {
    HMODULE h = LoadLibraryExW(u"m", nullptr, flags);
    EXPECT_NE(h, nullptr) << std::hex << flags;
    if (h != nullptr) {
      EXPECT_TRUE(FreeLibrary(h));
    }
  }
}

}  // namespace
