// The walk layer in process: times written and parsed, the filter, raw
// records read within their bounds, loose files served under a log of the
// reference computer, and the platform calls the walk added (RegEnumKeyExW
// with Windows' codes, a computer serving a log from a given file).
#include <gtest/gtest.h>

#include <cstring>

#include "evtwriter.h"
#include "platform/emulated/seam.h"
#include "platform/platform.h"
#include "support/testlib.h"
#include "walk/walk.h"

namespace emu = vesk::emu;
namespace walk = vesk::walk;
using vesk::tools::EvtRecord;

namespace {

TEST(WalkTime, ParsesIsoTimesWithTheirZone) {
  EXPECT_EQ(walk::parse_time("2011-07-27T06:41:47Z"), 1311748907);
  EXPECT_EQ(walk::parse_time("2011-07-27T08:41:47+02:00"), 1311748907);
  EXPECT_EQ(walk::parse_time("2011-07-27T08:41:47+0200"), 1311748907);
  EXPECT_EQ(walk::parse_time("2011-07-27t03:11:47-03:30"), 1311748907);
  EXPECT_EQ(walk::parse_time("2011-07-27 06:41Z"), 1311748860);
  EXPECT_EQ(walk::parse_time("1970-01-01T00:00:00Z"), 0);
  EXPECT_EQ(walk::parse_time("1969-12-31T23:59:59Z"), -1);
  EXPECT_EQ(walk::parse_time("2000-02-29T00:00:00Z"), 951782400);
  // No zone, impossible dates and times, and anything trailing are refused.
  for (const char *bad :
       {"2011-07-27T06:41:47", "2011-07-27", "2011-02-29T00:00:00Z",
        "1900-02-29T00:00:00Z", "2011-04-31T00:00:00Z", "2011-07-27T24:00:00Z",
        "2011-07-27T06:60:00Z", "2011-07-27T06:41:47Zx", "2011-07-27T06:41:47+2",
        "2011-07-27T06:41:47+24:00", "2011-7-27T06:41:47Z", "", "Z"})
    EXPECT_FALSE(walk::parse_time(bad).has_value()) << bad;
}

TEST(WalkTime, WritesUtcWithZAndLocalWithItsOffset) {
  EXPECT_EQ(walk::time_text(1311748907, walk::TimeZone::kUtc), "2011-07-27T06:41:47Z");
  EXPECT_EQ(walk::time_text(0, walk::TimeZone::kUtc), "1970-01-01T00:00:00Z");
  // The largest TimeWritten (unsigned 32 bits) is in 2106.
  EXPECT_EQ(walk::time_text(0xFFFFFFFFu, walk::TimeZone::kUtc), "2106-02-07T06:28:15Z");
  // Every text written reads back as the same second.
  for (int64_t t : {0LL, 951782399LL, 1311748907LL, 4294967295LL})
    EXPECT_EQ(walk::parse_time(walk::time_text(t, walk::TimeZone::kUtc)), t);

  const char *old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  EXPECT_EQ(walk::time_text(1311748907, walk::TimeZone::kLocal),
            "2011-07-27T08:41:47+02:00");
  EXPECT_EQ(walk::time_text(1295092800, walk::TimeZone::kLocal),
            "2011-01-15T13:00:00+01:00");
  // The hour that the clocks repeat in autumn is told apart by its offset.
  EXPECT_EQ(walk::time_text(1319932800, walk::TimeZone::kLocal),
            "2011-10-30T02:00:00+02:00");
  EXPECT_EQ(walk::time_text(1319936400, walk::TimeZone::kLocal),
            "2011-10-30T02:00:00+01:00");
  for (int64_t t : {1319932800LL, 1319936400LL, 1311748907LL})
    EXPECT_EQ(walk::parse_time(walk::time_text(t, walk::TimeZone::kLocal)), t);
  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST(WalkFilter, SelectsOnTheRawFields) {
  walk::RawRecord r;
  r.time_written = 1000;
  r.event_id = 0xC0000064;
  r.event_type = 2;
  r.source = "Service Control Manager";
  walk::Filter f;
  EXPECT_FALSE(f.active());
  EXPECT_TRUE(f.matches(r));

  f.since = 1000;
  f.until = 1001;
  EXPECT_TRUE(f.active());
  EXPECT_TRUE(f.matches(r));
  f.until = 1000;  // half-open: [since, until)
  EXPECT_FALSE(f.matches(r));
  f = {};
  f.since = 1001;
  EXPECT_FALSE(f.matches(r));

  f = {};
  f.events = {100};  // the low 16 bits
  EXPECT_TRUE(f.matches(r));
  f.events = {0xC0000064};  // the whole identifier
  EXPECT_TRUE(f.matches(r));
  f.events = {0x40000064, 0x64 + 0x10000};
  EXPECT_FALSE(f.matches(r));

  f = {};
  f.sources = {"other", "service control MANAGER"};
  EXPECT_TRUE(f.matches(r));
  f.types = {1, 4};
  EXPECT_FALSE(f.matches(r));
  f.types = {*walk::parse_type("Warning")};
  EXPECT_TRUE(f.matches(r));
  EXPECT_EQ(walk::parse_type("failure"), 16);
  EXPECT_EQ(walk::parse_type("8"), 8);
  EXPECT_FALSE(walk::parse_type("fatal").has_value());
  EXPECT_FALSE(walk::parse_type("65536").has_value());
}

TEST(WalkColumns, StringsJoinSoThatTheyCanBeSplitAgain) {
  EXPECT_EQ(walk::joined_strings({}), "");
  EXPECT_EQ(walk::joined_strings({"a", "", "b"}), "a;;b");
  EXPECT_EQ(walk::joined_strings({"a;b", "c\\d;"}), "a\\;b;c\\\\d\\;");
  for (walk::Column c : walk::kAllColumns)
    EXPECT_EQ(walk::column_by_name(walk::column_name(c)), c);
  EXPECT_FALSE(walk::column_by_name("Time").has_value());
}

class WalkLog : public ::testing::Test {
 protected:
  void SetUp() override {
    emu::reset();
    computer_ = vesk::test::MakeComputer(u"REFPC", {u"Application", u"System"});
    computer_->key(u"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName")
        ->set_string(u"ComputerName", u"REFPC");
    emu::set_local(computer_);
  }
  void TearDown() override {
    EXPECT_EQ(emu::live().event_logs, 0) << "an event log handle was leaked";
    emu::reset();
  }
  std::shared_ptr<emu::Computer> computer_;
};

TEST_F(WalkLog, RegEnumKeyExWListsSubkeysWithWindowsCodes) {
  computer_->key(u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Internet Explorer");
  HKEY key = nullptr;
  ASSERT_EQ(
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\EventLog",
                    0, KEY_READ, &key),
      ERROR_SUCCESS);
  WCHAR name[32];
  DWORD units = 32;
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    units = 32;
    const LONG rc =
        RegEnumKeyExW(key, i, name, &units, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(rc, ERROR_SUCCESS);
    EXPECT_EQ(units, std::char_traits<char16_t>::length(name)) << "no terminator counted";
    names.push_back(emu::to_utf8(name));
  }
  EXPECT_EQ(names,
            (std::vector<std::string>{"Application", "Internet Explorer", "System"}));

  // The name and its terminator must fit: nothing is written otherwise.
  std::fill(std::begin(name), std::end(name), u'#');
  units = 11;  // "Application" is 11 units
  EXPECT_EQ(RegEnumKeyExW(key, 0, name, &units, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  EXPECT_EQ(units, 11u);
  EXPECT_EQ(name[0], u'#');
  units = 12;
  FILETIME written = {0xdeadbeef, 0xdeadbeef};
  WCHAR cls[4] = {u'#'};
  DWORD cls_units = 4;
  EXPECT_EQ(RegEnumKeyExW(key, 0, name, &units, nullptr, cls, &cls_units, &written),
            ERROR_SUCCESS);
  EXPECT_EQ(cls[0], 0);
  EXPECT_EQ(cls_units, 0u);
  EXPECT_EQ(written.dwLowDateTime, 0u);

  DWORD reserved = 0;
  units = 32;
  EXPECT_EQ(RegEnumKeyExW(key, 0, name, &units, &reserved, nullptr, nullptr, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegEnumKeyExW(key, 0, nullptr, &units, nullptr, nullptr, nullptr, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegEnumKeyExW(key, 0, name, nullptr, nullptr, nullptr, nullptr, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegEnumKeyExW(key, 99, name, &units, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegEnumKeyExW(key, 0, name, &units, nullptr, nullptr, nullptr, nullptr),
            ERROR_INVALID_HANDLE);

  // Counted and faultable, as every emulated call.
  emu::reset_calls();
  emu::fail(emu::Call::RegEnumKeyExW, ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(RegEnumKeyExW(HKEY_LOCAL_MACHINE, 0, name, &units, nullptr, nullptr, nullptr,
                          nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegEnumKeyExW(HKEY_LOCAL_MACHINE, 0, name, &units, nullptr, nullptr, nullptr,
                          nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(emu::calls(emu::Call::RegEnumKeyExW), 2u);
}

TEST_F(WalkLog, AComputerServesALogFromAGivenSourceForAWhile) {
  EvtRecord r;
  r.time_written = r.time_generated = 1000;
  r.source = u"Loose";
  r.computer = u"ELSEWHERE";
  auto loose = emu::memory_source(vesk::tools::write_evt({r, r, r}));
  auto previous = computer_->serve_log(u"system", loose);
  ASSERT_NE(previous, nullptr);  // add_log's own
  HANDLE h = OpenEventLogW(nullptr, u"System");
  ASSERT_NE(h, nullptr);
  DWORD count = 0;
  EXPECT_TRUE(GetNumberOfEventLogRecords(h, &count));
  EXPECT_EQ(count, 3u);
  // Restored: the next open gets the log's own (empty) file; the open handle
  // keeps the file it opened.
  EXPECT_EQ(computer_->serve_log(u"System", previous), loose);
  HANDLE again = OpenEventLogW(nullptr, u"System");
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(GetNumberOfEventLogRecords(again, &count));
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(GetNumberOfEventLogRecords(h, &count));
  EXPECT_EQ(count, 3u);
  CloseEventLog(h);
  CloseEventLog(again);
}

TEST_F(WalkLog, RawFieldsAreReadWithinTheRecord) {
  vesk::test::TempDir dir("walk-raw");
  std::vector<EvtRecord> records(3);
  for (auto &r : records) {
    r.time_written = 2000;
    r.time_generated = 1990;
    r.event_id = 0x80000005;
    r.event_type = 2;
    r.category = 3;
    r.source = u"Src";
    r.computer = u"PC";
    r.strings = {u"one", u"two"};
    r.sid = vesk::tools::evt_sid("S-1-5-21-7-8-9-500");
    r.data = {1, 2, 3};
  }
  std::vector<uint8_t> bytes = vesk::tools::write_evt(records);
  // Record 2 claims 50 strings and a SID of 4000 bytes; record 3 puts its
  // strings and its data past its end.
  const size_t size = vesk::tools::evt_record_size(records[0]);
  const size_t second = 0x30 + size, third = 0x30 + 2 * size;
  bytes[second + 26] = 50;
  bytes[second + 40] = 0xA0;
  bytes[second + 41] = 0x0F;
  for (size_t at : {third + 36, third + 52}) {
    bytes[at] = 0xF0;
    bytes[at + 1] = 0xFF;
  }
  const auto file = dir.path() / "raw.evt";
  {
    std::FILE *f = std::fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  std::string error;
  walk::Options o;
  o.as_log = "Application";
  auto log = walk::Log::open(file.string(), o, &error);
  ASSERT_NE(log, nullptr) << error;
  EXPECT_EQ(log->label(), "raw.evt");
  walk::Record rec;
  ASSERT_TRUE(log->read(1, rec, false));
  ASSERT_TRUE(rec.has_raw);
  EXPECT_EQ(rec.raw.time_generated, 1990u);
  EXPECT_EQ(rec.raw.event_id, 0x80000005u);
  EXPECT_EQ(rec.raw.category, 3);
  EXPECT_EQ(rec.raw.sid, "S-1-5-21-7-8-9-500");
  EXPECT_EQ(rec.raw.strings, (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(rec.raw.data, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(rec.raw.source, "Src");
  EXPECT_EQ(rec.raw.computer, "PC");

  // Whatever the service hands out of records 2 and 3, nothing is read past
  // their ends.
  for (uint32_t n : {2u, 3u}) {
    if (!log->read(n, rec, true)) continue;
    if (!rec.has_raw) {
      EXPECT_NE(rec.error.kind, walk::Cell::Kind::Empty) << n;
      continue;
    }
    EXPECT_LE(rec.raw.strings.size(), 50u);
    for (const auto &s : rec.raw.strings) EXPECT_LE(s.size(), 3 * size);
    EXPECT_LE(rec.raw.data.size(), size);
    if (n == 2) {
      EXPECT_EQ(rec.raw.sid, "") << "a SID larger than its record";
    } else {
      EXPECT_TRUE(rec.raw.strings.empty() && rec.raw.data.empty());
    }
  }
}

TEST_F(WalkLog, RefusesNamesTheComputerDoesNotRegister) {
  std::string error;
  EXPECT_EQ(walk::Log::open("Nope", {}, &error), nullptr);
  EXPECT_EQ(error, "no log named 'Nope' on REFPC; its logs: Application, System");
  auto log = walk::Log::open("system", {}, &error);
  ASSERT_NE(log, nullptr) << error;
  EXPECT_EQ(log->count(), 0u);
  walk::Record r;
  EXPECT_FALSE(log->next(r));
  EXPECT_TRUE(log->complete());
}

}  // namespace
