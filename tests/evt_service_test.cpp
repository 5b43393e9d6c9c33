// The event log service's calls: finding a log in the registry of the
// computer that holds it, its file, the handle table and its errors.
#include <gtest/gtest.h>

#include <filesystem>

#include "evt_util.h"
#include "platform/platform.h"
#include "support/testlib.h"

namespace {

using namespace vesk::evttest;
namespace fs = std::filesystem;

constexpr DWORD kSeqFwd = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ;
constexpr const char16_t *kLogs = u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\";

class EvtServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emu::reset();
    local_ = std::make_shared<emu::Computer>(u"WORKSTATION");
    local_->key(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion")
        ->set_string(u"SystemRoot", u"C:\\WINDOWS");
    local_->add_log(u"Application", tools::write_evt(Samples(5)));
    local_->add_log(u"System", tools::write_evt(Samples(9)));
    emu::set_local(local_);
  }
  void TearDown() override {
    for (HANDLE h : open_) CloseEventLog(h);
    EXPECT_EQ(emu::live().event_logs, 0);
    emu::reset();
  }
  HANDLE Open(const char16_t *machine, const char16_t *log) {
    HANDLE h = OpenEventLogW(machine, log);
    if (h) open_.push_back(h);
    return h;
  }
  static DWORD Count(HANDLE h) {
    DWORD n = 0xDEAD;
    EXPECT_TRUE(GetNumberOfEventLogRecords(h, &n));
    return n;
  }
  // Opening fails with `code`.
  void ExpectOpenFails(const char16_t *machine, const char16_t *log, DWORD code) {
    SetLastError(0);
    HANDLE h = Open(machine, log);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(GetLastError(), code);
  }

  std::shared_ptr<emu::Computer> local_;
  std::vector<HANDLE> open_;
};

TEST_F(EvtServiceTest, OpensReadsAndCloses) {
  HANDLE h = OpenEventLogW(nullptr, u"Application");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(emu::live().event_logs, 1);
  DWORD oldest = 0;
  EXPECT_TRUE(GetOldestEventLogRecord(h, &oldest));
  EXPECT_EQ(oldest, 1u);
  EXPECT_EQ(Count(h), 5u);
  std::vector<uint8_t> buf(65536);
  DWORD read = 0, needed = 0;
  ASSERT_TRUE(ReadEventLogW(h, kSeqFwd, 0, buf.data(), 65536, &read, &needed));
  EXPECT_EQ(Parse(buf.data()), Expected(Sample(0), 1));
  EXPECT_EQ(needed, 0u);
  SetLastError(0);
  EXPECT_FALSE(ReadEventLogW(h, kSeqFwd, 0, buf.data(), 65536, &read, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
  SetLastError(0);
  EXPECT_FALSE(ReadEventLogW(h, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, 9,
                             buf.data(), 10, &read, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
  EXPECT_FALSE(ReadEventLogW(h, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, 2,
                             buf.data(), 10, &read, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(needed, tools::evt_record_size(Sample(1)));
  EXPECT_TRUE(CloseEventLog(h));
  EXPECT_EQ(emu::live().event_logs, 0);
}

TEST_F(EvtServiceTest, LogNamesIgnoreCaseAndUnlistedNamesOpenApplication) {
  EXPECT_EQ(Count(Open(nullptr, u"sYSTEM")), 9u);
  EXPECT_EQ(Count(Open(u"", u"application")), 5u);
  EXPECT_EQ(Count(Open(nullptr, u"NoSuchLog")), 5u);
  EXPECT_EQ(Count(Open(nullptr, u"")), 5u);
  EXPECT_EQ(Count(Open(u"\\\\workstation", u"System")), 9u);
  ExpectOpenFails(nullptr, nullptr, ERROR_INVALID_PARAMETER);
}

TEST_F(EvtServiceTest, RemoteComputersServeTheirOwnLogs) {
  auto server = std::make_shared<emu::Computer>(u"SERVER");
  server->add_log(u"Application", tools::write_evt(Samples(3)));
  emu::add_remote(server);
  EXPECT_EQ(Count(Open(u"\\\\SERVER", u"Application")), 3u);
  EXPECT_EQ(Count(Open(u"server", u"Application")), 3u);
  ExpectOpenFails(u"\\\\NOBODY", u"Application", RPC_S_SERVER_UNAVAILABLE);
}

TEST_F(EvtServiceTest, FileValueIsExpandedAndFoundWithoutRegardToCase) {
  local_->key(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion")
      ->set_string(u"SystemRoot", u"D:\\WinNT", REG_SZ);
  auto key = local_->key(std::u16string(kLogs) + u"Custom");
  key->set_string(u"File", u"%systemroot%\\System32\\Config\\Custom.Evt", REG_EXPAND_SZ);
  local_->add_file(u"d:\\winnt\\system32\\config\\CUSTOM.evt",
                   tools::write_evt(Samples(4)));
  EXPECT_EQ(Count(Open(nullptr, u"custom")), 4u);

  key->set_string(u"File", u"D:\\logs\\plain.evt", REG_SZ);
  local_->add_file(u"D:\\Logs\\Plain.EVT", tools::write_evt(Samples(2)));
  EXPECT_EQ(Count(Open(nullptr, u"Custom")), 2u);

  // An unterminated value is read up to its end.
  key->set_string(u"File", u"D:\\logs\\plain.evt", REG_SZ, false);
  EXPECT_EQ(Count(Open(nullptr, u"Custom")), 2u);
}

TEST_F(EvtServiceTest, LogWithoutAFileValueUsesTheDefaultFile) {
  vesk::test::TempDir temp("evt-service-drive");
  const fs::path &drive = temp.path();
  fs::create_directories(drive / "windows" / "System32" / "CONFIG");
  WriteFile((drive / "windows" / "System32" / "CONFIG" / "secevent.evt").string(),
            tools::write_evt(Samples(6)));
  WriteFile((drive / "windows" / "System32" / "CONFIG" / "Other.Evt").string(),
            tools::write_evt(Samples(7)));
  local_->add_drive(u'c', drive);
  local_->key(std::u16string(kLogs) + u"Security");
  local_->key(std::u16string(kLogs) + u"Other");
  // A File value of another type is no file name.
  local_->key(std::u16string(kLogs) + u"Other")->set_dword(u"File", 7);
  emu::set_security_privilege_enabled(true);
  EXPECT_EQ(Count(Open(nullptr, u"Security")), 6u);
  EXPECT_EQ(Count(Open(nullptr, u"OTHER")), 7u);
  local_->key(std::u16string(kLogs) + u"Missing");
  ExpectOpenFails(nullptr, u"Missing", ERROR_FILE_NOT_FOUND);
}

TEST_F(EvtServiceTest, MissingAndDamagedFiles) {
  auto key = local_->key(std::u16string(kLogs) + u"Gone");
  key->set_string(u"File", u"C:\\nowhere\\gone.evt");
  ExpectOpenFails(nullptr, u"Gone", ERROR_FILE_NOT_FOUND);
  key->set_string(u"File", u"Q:\\gone.evt");
  ExpectOpenFails(nullptr, u"Gone", ERROR_FILE_NOT_FOUND);
  local_->add_log(u"Junk", std::vector<uint8_t>(4096, 0x5A));
  ExpectOpenFails(nullptr, u"Junk", ERROR_EVENTLOG_FILE_CORRUPT);
  local_->add_log(u"Nothing", {});
  ExpectOpenFails(nullptr, u"Nothing", ERROR_EVENTLOG_FILE_CORRUPT);
  // A computer without an Application log.
  auto bare = std::make_shared<emu::Computer>(u"BARE");
  emu::add_remote(bare);
  ExpectOpenFails(u"BARE", u"Application", ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(emu::live().event_logs, 0);
}

TEST_F(EvtServiceTest, ClosedAndUnknownHandles) {
  HANDLE h = OpenEventLogW(nullptr, u"System");
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(CloseEventLog(h));
  std::vector<uint8_t> buf(64);
  DWORD value = 0xDEAD, read = 0xDEAD, needed = 0xDEAD;
  for (HANDLE bad : {h, static_cast<HANDLE>(nullptr), reinterpret_cast<HANDLE>(&value)}) {
    SetLastError(0);
    EXPECT_FALSE(CloseEventLog(bad));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(GetOldestEventLogRecord(bad, &value));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(GetNumberOfEventLogRecords(bad, &value));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(ReadEventLogW(bad, kSeqFwd, 0, buf.data(), 64, &read, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  EXPECT_EQ(value, 0xDEADu);
  EXPECT_EQ(read, 0xDEADu);
  EXPECT_EQ(needed, 0xDEADu);
  // A new handle is not the closed one come back.
  HANDLE again = Open(nullptr, u"System");
  EXPECT_NE(again, h);
}

TEST_F(EvtServiceTest, NullPointersAreInvalidParameters) {
  HANDLE h = Open(nullptr, u"Application");
  ASSERT_NE(h, nullptr);
  std::vector<uint8_t> buf(65536);
  DWORD read = 0xDEAD, needed = 0xDEAD;
  auto expect87 = [](BOOL ok) {
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  };
  expect87(GetOldestEventLogRecord(h, nullptr));
  expect87(GetNumberOfEventLogRecords(h, nullptr));
  expect87(GetOldestEventLogRecord(nullptr, nullptr));
  expect87(ReadEventLogW(h, kSeqFwd, 0, nullptr, 0, &read, &needed));
  expect87(ReadEventLogW(h, kSeqFwd, 0, nullptr, 65536, &read, &needed));
  expect87(ReadEventLogW(h, kSeqFwd, 0, buf.data(), 65536, nullptr, &needed));
  expect87(ReadEventLogW(h, kSeqFwd, 0, buf.data(), 65536, &read, nullptr));
  expect87(ReadEventLogW(nullptr, kSeqFwd, 0, nullptr, 65536, &read, &needed));
  expect87(
      ReadEventLogW(h, EVENTLOG_SEQUENTIAL_READ, 0, buf.data(), 65536, &read, &needed));
  EXPECT_EQ(read, 0xDEADu);
  // None of this moved the position.
  ASSERT_TRUE(ReadEventLogW(h, kSeqFwd, 0, buf.data(), 65536, &read, &needed));
  EXPECT_EQ(U32(buf.data() + 8), 1u);
}

TEST_F(EvtServiceTest, InjectedFaultsFailTheCallAndLeakNothing) {
  emu::fail(emu::Call::OpenEventLogW, ERROR_ACCESS_DENIED, 1);
  ExpectOpenFails(nullptr, u"Application", ERROR_ACCESS_DENIED);
  EXPECT_EQ(emu::live().event_logs, 0);
  HANDLE h = Open(nullptr, u"Application");
  ASSERT_NE(h, nullptr);

  std::vector<uint8_t> buf(65536);
  DWORD read = 0, needed = 0;
  emu::fail(emu::Call::ReadEventLogW, ERROR_EVENTLOG_FILE_CHANGED, 1, 1);
  EXPECT_TRUE(ReadEventLogW(h, kSeqFwd, 0, buf.data(), tools::evt_record_size(Sample(0)),
                            &read, &needed));
  EXPECT_FALSE(ReadEventLogW(h, kSeqFwd, 0, buf.data(), 65536, &read, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_EVENTLOG_FILE_CHANGED));
  // The injected failure did not move the position.
  ASSERT_TRUE(ReadEventLogW(h, kSeqFwd, 0, buf.data(), 65536, &read, &needed));
  EXPECT_EQ(U32(buf.data() + 8), 2u);

  emu::fail(emu::Call::GetNumberOfEventLogRecords, ERROR_INVALID_HANDLE, 1);
  DWORD n = 0;
  EXPECT_FALSE(GetNumberOfEventLogRecords(h, &n));
  EXPECT_TRUE(GetNumberOfEventLogRecords(h, &n));
  emu::fail(emu::Call::CloseEventLog, ERROR_INVALID_HANDLE, 1);
  EXPECT_FALSE(CloseEventLog(h));
  EXPECT_EQ(emu::live().event_logs, 1) << "a close that failed keeps the handle";
  EXPECT_EQ(emu::calls(emu::Call::OpenEventLogW), 2u);
  EXPECT_EQ(emu::calls(emu::Call::ReadEventLogW), 3u);
}

TEST_F(EvtServiceTest, HandlesAreIndependentAndAllAreReleased) {
  std::vector<HANDLE> hs;
  for (int i = 0; i < 20; ++i)
    hs.push_back(OpenEventLogW(nullptr, i % 2 ? u"System" : u"Application"));
  EXPECT_EQ(emu::live().event_logs, 20);
  std::vector<uint8_t> buf(65536);
  DWORD read = 0, needed = 0;
  ASSERT_TRUE(ReadEventLogW(hs[0], kSeqFwd, 0, buf.data(), 300, &read, &needed));
  ASSERT_TRUE(ReadEventLogW(hs[2], kSeqFwd, 0, buf.data(), 65536, &read, &needed));
  EXPECT_EQ(U32(buf.data() + 8), 1u) << "another handle's reads do not move this one";
  for (HANDLE h : hs) EXPECT_TRUE(CloseEventLog(h));
  EXPECT_EQ(emu::live().event_logs, 0);
}

}  // namespace
