// An image is evidence from a machine nobody here trusts: nothing in its
// registry or its directory tree may make the event log service read a host
// file outside it.  Also how the service serves logs when the registry is
// damaged, names that differ only by case, and the diagnostics that say why
// a log cannot be opened.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "evt_util.h"
#include "hivewriter.h"
#include "regtext.h"
#include "support/testlib.h"

namespace {

using namespace vesk::evttest;
namespace fs = std::filesystem;
using vesk::test::AllDiagnostics;
using vesk::test::HasDiagnostic;
using vesk::tools::RegNode;

const char *const kRegistry = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\Select]
"Current"=dword:00000001

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Control\ComputerName\ComputerName]
"ComputerName"="EVIDENCE"

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Services\EventLog\Application]

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Services\EventLog\System]

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Services\EventLog\Custom]

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion]
"SystemRoot"="C:\\WINDOWS"
)";

class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emu::reset();
    image_ = temp_.path() / "image";
    outside_ = temp_.path() / "outside";
    fs::create_directories(image_ / "WINDOWS/system32/config");
    fs::create_directories(outside_);
    std::string error;
    ASSERT_TRUE(vesk::tools::parse_reg(kRegistry, &registry_, &error)) << error;
    // The image's own logs, and a sound log outside it that must never be
    // served.
    Log("WINDOWS/system32/config/AppEvent.Evt", 3);
    Log("WINDOWS/system32/config/SysEvent.Evt", 5);
    WriteFile((outside_ / "x.evt").string(), tools::write_evt(Samples(11)));
  }
  void TearDown() override {
    for (HANDLE h : open_) CloseEventLog(h);
    EXPECT_EQ(emu::live().event_logs, 0);
    emu::reset();
  }

  void Log(const fs::path &relative, uint32_t records) {
    fs::create_directories((image_ / relative).parent_path());
    WriteFile((image_ / relative).string(), tools::write_evt(Samples(records)));
  }
  RegNode &Hklm() { return *registry_.find(u"HKEY_LOCAL_MACHINE"); }
  RegNode &Key(const char16_t *path) { return Hklm().key(path); }
  void WriteHives() {
    std::string error;
    for (const char16_t *hive : {u"SYSTEM", u"SOFTWARE"})
      ASSERT_TRUE(
          vesk::tools::write_hive(image_ / "WINDOWS/system32/config" / emu::to_utf8(hive),
                                  *Hklm().find(hive), &error))
          << error;
  }
  // Writes the hives, loads the image as the local computer.
  void Load() {
    WriteHives();
    std::string error;
    auto c = emu::load_image(image_, {}, &error);
    ASSERT_NE(c, nullptr) << error;
    emu::set_local(c);
  }
  // The number of records of the log opened as `name`; -1 and *code when
  // the open fails.
  long Count(const char16_t *name, DWORD *code = nullptr) {
    SetLastError(0);
    HANDLE h = OpenEventLogW(nullptr, name);
    if (!h) {
      if (code) *code = GetLastError();
      return -1;
    }
    open_.push_back(h);
    DWORD n = 0;
    EXPECT_TRUE(GetNumberOfEventLogRecords(h, &n));
    return n;
  }
  void SetFile(const char16_t *log, const std::u16string &file) {
    Key((u"SYSTEM\\ControlSet001\\Services\\EventLog\\" + std::u16string(log)).c_str())
        .set_string(u"File", file);
  }

  vesk::test::TempDir temp_{"sandbox"};
  fs::path image_, outside_;
  RegNode registry_;
  std::vector<HANDLE> open_;
};

TEST_F(SandboxTest, DotDotStopsAtTheRootOfTheDrive) {
  // On the host, one ".." above the image is the directory that holds
  // outside\x.evt.
  SetFile(u"Custom", u"C:\\..\\outside\\x.evt");
  SetFile(u"System", u"%SystemRoot%\\..\\..\\outside\\x.evt");
  Load();
  DWORD code = 0;
  EXPECT_EQ(Count(u"Custom", &code), -1);
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Count(u"System", &code), -1);
  EXPECT_TRUE(HasDiagnostic("outside\\x.evt", "cannot be opened")) << AllDiagnostics();
  // As on Windows, the same path names C:\outside\x.evt of the image.
  Log("outside/x.evt", 4);
  EXPECT_EQ(Count(u"Custom"), 4);
  EXPECT_EQ(Count(u"System"), 4);
}

TEST_F(SandboxTest, DotDotInTheSystemRootStopsAtTheRootToo) {
  Key(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion")
      .set_string(u"SystemRoot", u"C:\\WINDOWS\\..\\..\\outside");
  fs::create_directories(outside_ / "system32/config");
  WriteFile((outside_ / "system32/config/SysEvent.Evt").string(),
            tools::write_evt(Samples(11)));
  Load();
  DWORD code = 0;
  EXPECT_EQ(Count(u"System", &code), -1);
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(SandboxTest, LinksLeadingOutOfTheImageAreRefused) {
  // A log file linked to a file outside, a directory linked to the host's
  // root, and the whole config directory linked elsewhere.
  fs::remove(image_ / "WINDOWS/system32/config/SysEvent.Evt");
  fs::create_symlink(outside_ / "x.evt", image_ / "WINDOWS/system32/config/SysEvent.Evt");
  fs::create_directory_symlink("/", image_ / "hostroot");
  SetFile(u"Custom", u"C:\\hostroot" + emu::from_utf8((outside_ / "x.evt").string()));
  Load();
  DWORD code = 0;
  EXPECT_EQ(Count(u"System", &code), -1);
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(HasDiagnostic("SysEvent.Evt", "refused")) << AllDiagnostics();
  EXPECT_EQ(Count(u"Custom", &code), -1);
  EXPECT_TRUE(HasDiagnostic("hostroot", "outside the image directory"))
      << AllDiagnostics();
  EXPECT_EQ(Count(u"Application"), 3) << "the rest of the image still serves";
}

TEST_F(SandboxTest, ConfigDirectoryLinkedOutsideServesNothingFromThere) {
  // Hives and logs outside; the image's config directory a link to them.
  WriteHives();
  fs::rename(image_ / "WINDOWS/system32/config", outside_ / "config");
  fs::create_directory_symlink(outside_ / "config", image_ / "WINDOWS/system32/config");
  std::string error;
  auto c = emu::load_image(image_, {}, &error);
  ASSERT_NE(c, nullptr) << error;
  EXPECT_NE(c->name(), u"EVIDENCE") << "the SYSTEM hive outside was not read";
  EXPECT_TRUE(HasDiagnostic("config", "refused")) << AllDiagnostics();
  emu::set_local(c);
  DWORD code = 0;
  EXPECT_EQ(Count(u"System", &code), -1);
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(SandboxTest, LinksThatStayInsideTheImageWork) {
  Log("logs/system.evt", 7);
  fs::remove(image_ / "WINDOWS/system32/config/SysEvent.Evt");
  fs::create_symlink("../../../logs/system.evt",
                     image_ / "WINDOWS/system32/config/SysEvent.Evt");
  fs::create_directory_symlink("WINDOWS", image_ / "winlink");
  SetFile(u"Custom", u"C:\\winlink\\system32\\config\\appevent.evt");
  Load();
  EXPECT_EQ(Count(u"System"), 7);
  EXPECT_EQ(Count(u"Custom"), 3);
}

// Names that differ only by case: the exact one, else the first in sorted
// order, whatever the order of the directory; and a diagnostic.
TEST_F(SandboxTest, CaseAmbiguousNamesAreChosenTheSameWayEverywhere) {
  Log("WINDOWS/system32/config/SYSEVENT.EVT", 6);
  Log("WINDOWS/system32/config/sysevent.evt", 9);
  Load();
  EXPECT_EQ(Count(u"System"), 5) << "SysEvent.Evt, the exact name";
  EXPECT_TRUE(HasDiagnostic("differ only by case", "SYSEVENT.EVT")) << AllDiagnostics();
  SetFile(u"Custom", u"%SystemRoot%\\system32\\config\\SysEvent.EVT");
  Load();
  EXPECT_EQ(Count(u"Custom"), 6) << "no exact name: SYSEVENT.EVT sorts first";
}

// ------------------------------------------------------- damaged registry

TEST_F(SandboxTest, UnregisteredNameServesApplicationAndSaysSo) {
  Load();
  EXPECT_EQ(Count(u"NoSuchLog"), 3);
  EXPECT_TRUE(
      HasDiagnostic("\"NoSuchLog\" on EVIDENCE is not registered", "serving Application"))
      << AllDiagnostics();
}

// Without a readable EventLog key, System is System, not Application.
TEST_F(SandboxTest, WithoutAReadableEventLogKeyTheStandardLogsAreServed) {
  struct Damage {
    const char *name;
    std::function<void()> apply;
  };
  const fs::path system = image_ / "WINDOWS/system32/config/SYSTEM";
  const Damage damages[] = {
      {"no SYSTEM hive", [&] { fs::remove(system); }},
      {"empty SYSTEM hive", [&] { std::ofstream(system, std::ios::trunc); }},
      {"truncated SYSTEM hive", [&] { fs::resize_file(system, 0x1800); }},
      {"garbage SYSTEM hive",
       [&] { std::ofstream(system, std::ios::binary) << std::string(0x3000, 'Z'); }},
      {"Select\\Current names no control set",
       [&] {
         Key(u"SYSTEM\\Select").set_dword(u"Current", 7);
         WriteHives();
       }},
      {"no EventLog key",
       [&] {
         Key(u"SYSTEM\\ControlSet001\\Services").remove(u"EventLog");
         WriteHives();
       }},
  };
  for (const auto &damage : damages) {
    SCOPED_TRACE(damage.name);
    std::string error;
    ASSERT_TRUE(vesk::tools::parse_reg(kRegistry, &registry_, &error)) << error;
    WriteHives();
    damage.apply();
    emu::clear_diagnostics();
    auto c = emu::load_image(image_, u"EVIDENCE", &error);
    ASSERT_NE(c, nullptr) << error;
    emu::set_local(c);
    EXPECT_EQ(Count(u"System"), 5);
    EXPECT_EQ(Count(u"application"), 3);
    EXPECT_TRUE(HasDiagnostic("\"System\" on EVIDENCE", "default file"))
        << AllDiagnostics();
    DWORD code = 0;
    EXPECT_EQ(Count(u"Custom", &code), -1);
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(HasDiagnostic("\"Custom\" on EVIDENCE", "is missing"))
        << AllDiagnostics();
  }
}

// ------------------------------------------------------- why it failed

TEST_F(SandboxTest, DiagnosticsSayWhichFileAndWhy) {
  fs::create_directories(image_ / "WINDOWS/system32/config/dir.evt");
  SetFile(u"Custom", u"%SystemRoot%\\system32\\config\\dir.evt");
  auto damaged = tools::write_evt(Samples(6));
  Put32(damaged, U32(damaged.data() + 0x14) + 4, 0);  // no end-of-file record
  WriteFile((image_ / "WINDOWS/system32/config/SysEvent.Evt").string(), damaged);
  Load();
  DWORD code = 0;
  EXPECT_EQ(Count(u"Custom", &code), -1);
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(HasDiagnostic("dir.evt", "not a regular file")) << AllDiagnostics();
  EXPECT_EQ(Count(u"System", &code), -1);
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_EVENTLOG_FILE_CORRUPT));
  EXPECT_TRUE(HasDiagnostic("SysEvent.Evt", "no end-of-file record at the clean header"))
      << AllDiagnostics();

  // A record damaged inside: its read fails, and the diagnostic names it.
  auto bytes = tools::write_evt(Samples(6));
  uint32_t pos = 0x30;
  for (int i = 1; i < 4; ++i) pos += U32(bytes.data() + pos);
  Put32(bytes, pos + U32(bytes.data() + pos) - 4, 0x1234);  // its trailing length
  WriteFile((image_ / "WINDOWS/system32/config/SysEvent.Evt").string(), bytes);
  HANDLE h = OpenEventLogW(nullptr, u"System");
  ASSERT_NE(h, nullptr);
  open_.push_back(h);
  EXPECT_TRUE(HasDiagnostic("chain of records breaks", "bad trailing length"))
      << AllDiagnostics();
  std::vector<uint8_t> buf(65536);
  DWORD read = 0, needed = 0;
  EXPECT_FALSE(ReadEventLogW(h, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, 4,
                             buf.data(), 65536, &read, &needed));
  EXPECT_TRUE(HasDiagnostic("record 4", "damaged stretch")) << AllDiagnostics();
}

}  // namespace
