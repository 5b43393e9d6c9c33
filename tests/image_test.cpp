// Computers loaded from system drive directories: hives found without regard
// to case, the computer's name and system drive taken from its registry, and
// directories that are not (whole) Windows images.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "hivewriter.h"
#include "platform/emulated/seam.h"
#include "platform/platform.h"
#include "regtext.h"
#include "support/testlib.h"

namespace emu = vesk::emu;
namespace fs = std::filesystem;
using vesk::test::AllDiagnostics;
using vesk::test::HasDiagnostic;
using vesk::tools::RegNode;

namespace {

const char *const kRegistry = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\Select]
"Current"=dword:00000002
"Default"=dword:00000001

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Control\ComputerName\ComputerName]
"ComputerName"="STALE"

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet002\Control\ComputerName\ComputerName]
"ComputerName"="ImagePC"

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet002\Services\EventLog\Application\Demo]
"EventMessageFile"=str(2):"%SystemRoot%\\System32\\demo.dll"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion]
"SystemRoot"="D:\\WINDOWS"

[HKEY_LOCAL_MACHINE\SAM\SAM\Domains\Account]
"F"=hex:01,02
)";

class ImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emu::reset();
    baseline_ = emu::live().reg_keys;
    static int counter = 0;
    // The directory's own name is what an image without ComputerName is called.
    root_ = fs::temp_directory_path() /
            ("vesk-image-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    fs::remove_all(root_);
    dir_ = root_ / "drive-c";
    fs::create_directories(dir_);
    std::string error;
    ASSERT_TRUE(vesk::tools::parse_reg(kRegistry, &registry_, &error)) << error;
  }
  void TearDown() override {
    EXPECT_EQ(emu::live().reg_keys, baseline_) << "a registry handle was leaked";
    emu::reset();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  const RegNode &Hklm() const { return *registry_.find(u"HKEY_LOCAL_MACHINE"); }

  // Writes the hive `name` of the registry as `relative` below the image.
  void WriteHive(const char16_t *name, const fs::path &relative) {
    fs::create_directories((dir_ / relative).parent_path());
    const RegNode *node = Hklm().find(name);
    ASSERT_NE(node, nullptr);
    std::string error;
    ASSERT_TRUE(vesk::tools::write_hive(dir_ / relative, *node, &error)) << error;
  }

  void WriteBytes(const fs::path &relative, const std::string &bytes) {
    fs::create_directories((dir_ / relative).parent_path());
    std::ofstream(dir_ / relative, std::ios::binary) << bytes;
  }

  std::shared_ptr<emu::Computer> Load(std::u16string name = {}) {
    std::string error;
    auto c = emu::load_image(dir_, std::move(name), &error);
    EXPECT_NE(c, nullptr) << error;
    return c;
  }

  // HKLM\path's value `name` as text, read through the registry calls on the
  // local computer; "error N" when a call fails.
  std::string Query(const char16_t *path, const char16_t *name) {
    HKEY k = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &k);
    if (rc != ERROR_SUCCESS) return "error " + std::to_string(rc);
    char16_t buf[261] = {};
    DWORD cb = 521;  // as the library reads SystemRoot
    rc = RegQueryValueExW(k, name, nullptr, nullptr, reinterpret_cast<BYTE *>(buf), &cb);
    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    if (rc != ERROR_SUCCESS) return "error " + std::to_string(rc);
    return emu::to_utf8(std::u16string_view(buf, cb / 2)
                            .substr(0, std::u16string_view(buf, cb / 2).find(u'\0')));
  }

  fs::path root_, dir_;
  RegNode registry_;
  long baseline_ = 0;
};

TEST_F(ImageTest, HivesAreFoundWhateverTheCaseOfTheirPath) {
  WriteHive(u"SYSTEM", "windows/System32/CONFIG/system");
  WriteHive(u"SOFTWARE", "windows/System32/CONFIG/Software");
  WriteHive(u"SAM", "windows/System32/CONFIG/SAM");
  WriteBytes("windows/System32/demo.dll", "MZ");
  auto c = Load();
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(emu::diagnostics().empty()) << AllDiagnostics();
  EXPECT_EQ(c->name(), u"ImagePC");  // from the current control set, not the stale one
  // SystemRoot names drive D; it is the image's directory.
  DWORD code = 0;
  auto dll = c->open_file(u"D:\\WINDOWS\\SYSTEM32\\DEMO.DLL", &code);
  ASSERT_NE(dll, nullptr);
  EXPECT_EQ(dll->size(), 2u);
  EXPECT_EQ(c->open_file(u"C:\\WINDOWS\\SYSTEM32\\DEMO.DLL", &code), nullptr);

  emu::set_local(c);
  EXPECT_EQ(Query(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", u"SystemRoot"),
            "D:\\WINDOWS");
  EXPECT_EQ(Query(u"system\\currentcontrolset\\services\\eventlog\\application\\demo",
                  u"EventMessageFile"),
            "%SystemRoot%\\System32\\demo.dll");
  EXPECT_EQ(Query(u"SYSTEM\\ControlSet001\\Control\\ComputerName\\ComputerName",
                  u"ComputerName"),
            "STALE");
  auto account = c->hklm()->child(u"sam");
  for (const char16_t *part : {u"SAM", u"Domains", u"Account"})
    if (account) account = account->child(part);
  ASSERT_NE(account, nullptr);
  auto f = account->value(u"F");
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(f->data, (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(Query(u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System", u"x"),
            "error 2");
}

TEST_F(ImageTest, RemoteImagesAreReachedByTheirRegistryName) {
  WriteHive(u"SYSTEM", "WINDOWS/system32/config/SYSTEM");
  WriteHive(u"SOFTWARE", "WINDOWS/system32/config/SOFTWARE");
  auto c = Load();
  ASSERT_NE(c, nullptr);
  emu::add_remote(c);
  HKEY remote = nullptr;
  ASSERT_EQ(RegConnectRegistryW(u"\\\\IMAGEPC", HKEY_LOCAL_MACHINE, &remote),
            ERROR_SUCCESS);
  HKEY cv = nullptr;
  ASSERT_EQ(RegOpenKeyExW(remote, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                          KEY_READ, &cv),
            ERROR_SUCCESS);
  DWORD cb = 0, type = 0;
  EXPECT_EQ(RegQueryValueExW(cv, u"SystemRoot", nullptr, &type, nullptr, &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(cb, 22u);
  EXPECT_EQ(RegCloseKey(cv), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(remote), ERROR_SUCCESS);
  // Only SAM was missing, and that was said.
  EXPECT_EQ(emu::diagnostics().size(), 1u) << AllDiagnostics();
  EXPECT_TRUE(HasDiagnostic("SAM")) << AllDiagnostics();
}

TEST_F(ImageTest, NamesAndDrivesFallBackWhenTheRegistryHasNone) {
  RegNode system(u"SYSTEM");
  system.key(u"Select").set_dword(u"Current", 1);
  system.key(u"ControlSet001\\Control");
  RegNode software(u"SOFTWARE");
  software.key(u"Microsoft\\Windows NT\\CurrentVersion")
      .set_string(u"SystemRoot", u"WINDOWS");
  fs::create_directories(dir_ / "WINNT/system32/config");
  std::string error;
  ASSERT_TRUE(
      vesk::tools::write_hive(dir_ / "WINNT/system32/config/SYSTEM", system, &error));
  ASSERT_TRUE(
      vesk::tools::write_hive(dir_ / "WINNT/system32/config/SOFTWARE", software, &error));
  auto c = Load();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->name(), u"DRIVE-C");  // the directory's name, upper-cased
  EXPECT_TRUE(HasDiagnostic("ComputerName")) << AllDiagnostics();
  EXPECT_TRUE(HasDiagnostic("SystemRoot", "drive C")) << AllDiagnostics();
  fs::create_directories(dir_ / "WINNT/system32");
  WriteBytes("WINNT/system32/x.dll", "x");
  DWORD code = 0;
  EXPECT_NE(c->open_file(u"c:\\winnt\\system32\\x.dll", &code), nullptr);
  // A name given wins over everything.
  auto named = Load(u"GIVEN");
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(named->name(), u"GIVEN");
}

TEST_F(ImageTest, TheSystemRootIsWhicheverDirectoryHoldsTheHives) {
  // WINDOWS without hives loses to another directory that has them.
  fs::create_directories(dir_ / "Windows/system32");
  WriteHive(u"SYSTEM", "Win2003/SYSTEM32/config/SYSTEM");
  auto c = Load();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->name(), u"ImagePC");
  EXPECT_TRUE(HasDiagnostic("Win2003", "SOFTWARE")) << AllDiagnostics();
}

TEST_F(ImageTest, DirectoriesThatAreNotWindowsImages) {
  // Not there at all, or a file: no computer.
  std::string error;
  EXPECT_EQ(emu::load_image(root_ / "absent", {}, &error), nullptr);
  EXPECT_NE(error.find("absent"), std::string::npos) << error;
  WriteBytes("plain-file", "x");
  error.clear();
  EXPECT_EQ(emu::load_image(dir_ / "plain-file", {}, &error), nullptr);
  EXPECT_FALSE(error.empty());

  // A directory with no system root: a computer with an empty registry.
  fs::create_directories(dir_ / "Documents");
  auto c = Load();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->name(), u"DRIVE-C");
  EXPECT_TRUE(HasDiagnostic(dir_.string(), "not a Windows system drive"))
      << AllDiagnostics();
  emu::set_local(c);
  EXPECT_EQ(Query(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", u"SystemRoot"),
            "error 2");
  EXPECT_EQ(Query(u"SYSTEM", u"x"), "error 2");  // the key is there, empty
  DWORD code = 0;
  EXPECT_EQ(c->open_file(u"C:\\Documents", &code), nullptr);  // a directory, not a file
}

TEST_F(ImageTest, BadHivesLeaveTheirPartOfTheRegistryEmpty) {
  // SYSTEM cut short, SOFTWARE garbage, SAM missing.
  WriteHive(u"SYSTEM", "WINDOWS/system32/config/SYSTEM");
  fs::path system = dir_ / "WINDOWS/system32/config/SYSTEM";
  fs::resize_file(system, 0x2400);
  WriteBytes("WINDOWS/system32/config/software", std::string(0x3000, '\x5a'));
  auto c = Load();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->name(), u"DRIVE-C");
  EXPECT_TRUE(HasDiagnostic(system.string(), "past the end")) << AllDiagnostics();
  EXPECT_TRUE(HasDiagnostic("software", "regf")) << AllDiagnostics();
  EXPECT_TRUE(HasDiagnostic("SAM")) << AllDiagnostics();
  emu::set_local(c);
  EXPECT_EQ(Query(u"SYSTEM\\Select", u"Current"), "error 2");
  // Without a usable SOFTWARE hive the system root directory stands in for
  // SystemRoot, and that is said.
  EXPECT_EQ(Query(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", u"SystemRoot"),
            "C:\\WINDOWS");
  EXPECT_TRUE(HasDiagnostic("SystemRoot is taken as C:\\WINDOWS")) << AllDiagnostics();
  DWORD code = 0;
  WriteBytes("WINDOWS/x.dll", "x");
  EXPECT_NE(c->open_file(u"C:\\WINDOWS\\X.DLL", &code), nullptr);  // drive C by default
}

}  // namespace
