// The time slot's conversion (local time, the even second, the years an
// MS-DOS date cannot hold) and the reading of a record's fields within its
// own Length.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "evtwriter.h"
#include "records/record.h"
#include "records/rowtime.h"

namespace {

// Days from 1899-12-30 plus the time of day, as a test writes it down.
double Date(int days, int h, int m, int s) {
  return days + (h * 3600 + m * 60 + s) / 86400.0;
}

// Sets TZ for one test and puts the old value back.
class Zone {
 public:
  explicit Zone(const char *tz) {
    const char *old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~Zone() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

double Local(DWORD seconds) {
  double d = -1;
  EXPECT_TRUE(LocalVariantTime(seconds, &d));
  return d;
}

TEST(RowTime, EvenSecondsOfTheLocalTime) {
  Zone utc("UTC");
  // 2004-03-01 08:00:00 UTC is day 38047.
  const DWORD t = 1078128000;
  EXPECT_DOUBLE_EQ(Local(t + 13 * 60 + 58), Date(38047, 8, 13, 58));
  EXPECT_DOUBLE_EQ(Local(t + 13 * 60 + 59), Date(38047, 8, 13, 58));
  EXPECT_DOUBLE_EQ(Local(t + 59), Date(38047, 8, 0, 58));

  // The same instant one hour east, and five hours west across midnight.
  {
    Zone cet("CET-1");
    EXPECT_DOUBLE_EQ(Local(t + 1), Date(38047, 9, 0, 0));
  }
  {
    Zone est("EST5");
    EXPECT_DOUBLE_EQ(Local(t - 9 * 3600 + 3), Date(38046, 18, 0, 2));
  }
}

TEST(RowTime, FromThe1970sToTheEndOfTheUnsignedCount) {
  Zone utc("UTC");
  // Before 1980, where the MS-DOS date has no year.
  EXPECT_DOUBLE_EQ(Local(0), 25569.0);
  EXPECT_DOUBLE_EQ(Local(315532799), Date(29220, 23, 59, 58));  // 1979-12-31 23:59:59
  EXPECT_DOUBLE_EQ(Local(315532800), 29221.0);                  // 1980-01-01
  {
    Zone est("EST5");
    EXPECT_DOUBLE_EQ(Local(0), Date(25568, 19, 0, 0));  // 1969-12-31 19:00 local
  }
  // 2^31 seconds and on: a signed 32-bit count would have none of these.
  EXPECT_DOUBLE_EQ(Local(0x80000000u), Date(50424, 3, 14, 8));
  EXPECT_DOUBLE_EQ(Local(0xFFFFFFFFu), Date(75279, 6, 28, 14));  // 2106-02-07 06:28:15
  // 2100 and on, which DosDateTimeToVariantTime refuses.
  EXPECT_DOUBLE_EQ(Local(4102444799u), Date(73050, 23, 59, 58));
  EXPECT_DOUBLE_EQ(Local(4102444800u), 73051.0);
}

TEST(RowTime, DirectSumMatchesTheMsDosPathToTheBit) {
  // Every year the MS-DOS date holds, through both ways: the values must be
  // identical, so that no boundary shows a jump and every build agrees.
  std::mt19937 rng(7);
  for (int i = 0; i < 20000; ++i) {
    const int year = 1980 + static_cast<int>(rng() % 120), month = 1 + rng() % 12,
              day = 1 + rng() % 28, hour = rng() % 24, minute = rng() % 60,
              second = rng() % 60;
    double dos = 0;
    ASSERT_TRUE(VariantTimeFromLocal(year, month, day, hour, minute, second, &dos));
    const int64_t days_1970 = [&] {
      std::tm tm{};
      tm.tm_year = year - 1900;
      tm.tm_mon = month - 1;
      tm.tm_mday = day;
      return static_cast<int64_t>(timegm(&tm)) / 86400;
    }();
    double direct = static_cast<double>(days_1970 + 25569);
    direct += hour / 24.0;
    direct += minute / 1440.0;
    direct += (second - second % 2) / 86400.0;
    ASSERT_EQ(dos, direct) << year << "-" << month << "-" << day << " " << hour << ":"
                           << minute << ":" << second;
  }
  double d = 0;
  EXPECT_FALSE(VariantTimeFromLocal(2004, 13, 1, 0, 0, 0, &d));
  EXPECT_FALSE(VariantTimeFromLocal(2004, 1, 1, 24, 0, 0, &d));
  EXPECT_TRUE(VariantTimeFromLocal(2004, 1, 1, 23, 59, 60, &d));  // a leap second
  EXPECT_DOUBLE_EQ(d, Date(37987, 23, 59, 58));
}

// ------------------------------------------------------------ record view

std::vector<uint8_t> Encode(const vesk::tools::EvtRecord &r) {
  return vesk::tools::evt_encode_record(r, 1);
}

void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

std::u16string Str(const RecordText &t) {
  return t.text ? std::u16string(reinterpret_cast<const char16_t *>(t.text), t.units)
                : std::u16string();
}

// The local time by the C library alone, for every second asked: what the
// conversion must give whatever it keeps between calls.
double Reference(DWORD seconds) {
  const std::time_t t = seconds;
  std::tm tm{};
  EXPECT_NE(localtime_r(&t, &tm), nullptr);
  double d = -1;
  EXPECT_TRUE(VariantTimeFromLocal(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                                   tm.tm_hour, tm.tm_min, tm.tm_sec, &d));
  return d;
}

long Offset(DWORD seconds) {
  const std::time_t t = seconds;
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm.tm_gmtoff;
}

TEST(RowTime, EverySecondAroundTheZonesChangesAsTheLibraryGivesIt) {
  // Zones with summer time, half and three-quarter hours, and changes at a
  // minute past the hour or at half past: each change of 2004 is found and
  // walked second by second, the days around it every minute and a bit,
  // then times are asked at random in random order.
  const char *zones[] = {"UTC",          "CET-1CEST,M3.5.0,M10.5.0/3",
                         "XYZ+3:30",     "NST+3:30NDT,M4.1.0/0:01,M10.5.0/0:01",
                         "<+0545>-5:45", "AAA-2BBB,J60/1:30,J300/2:45"};
  std::mt19937 rng(42);
  for (const char *name : zones) {
    Zone zone(name);
    int changes = 0;
    for (DWORD day = 1072915200; day < 1104537600; day += 86400) {  // 2004
      if (Offset(day) == Offset(day + 86400)) continue;
      DWORD lo = day, hi = day + 86400;  // the first second of the new offset
      while (hi - lo > 1) {
        const DWORD mid = lo + (hi - lo) / 2;
        (Offset(mid) == Offset(lo) ? lo : hi) = mid;
      }
      ++changes;
      for (DWORD t = hi - 600; t < hi + 600; ++t)
        ASSERT_DOUBLE_EQ(Local(t), Reference(t)) << name << " at " << t;
      for (DWORD t = day - 86400; t < day + 2 * 86400; t += 61)
        ASSERT_DOUBLE_EQ(Local(t), Reference(t)) << name << " at " << t;
    }
    EXPECT_EQ(changes, name[0] == 'C' || name[0] == 'N' || name[0] == 'A' ? 2 : 0)
        << name;
    for (int i = 0; i < 20000; ++i) {
      const DWORD t = static_cast<DWORD>(rng());
      ASSERT_DOUBLE_EQ(Local(t), Reference(t)) << name << " at " << t;
    }
  }
}

TEST(RowTime, AnotherZoneIsSeenAtOnce) {
  const DWORD t = 1078128000;  // 2004-03-01 08:00:00 UTC
  double before, after;
  {
    Zone utc("UTC");
    before = Local(t + 60);
  }
  {
    Zone east("XYZ-3:30");
    after = Local(t + 61);  // the same hour of UTC
  }
  EXPECT_NEAR(after - before, 3.5 / 24.0, 1e-9);
}

TEST(RecordView, TextsAndSidWithinTheRecord) {
  vesk::tools::EvtRecord r;
  r.source = u"Src";
  r.computer = u"PC";
  r.strings = {u"one", u"two"};
  r.sid = vesk::tools::evt_sid("S-1-5-21-1-2-3-500");
  std::vector<uint8_t> b = Encode(r);
  RecordView v(b.data());
  EXPECT_EQ(v.length(), b.size());
  RecordText src = v.Text(kRecordSourceName);
  EXPECT_TRUE(src.terminated);
  EXPECT_EQ(Str(src), u"Src");
  EXPECT_EQ(Str(v.Text(src.next)), u"PC");
  RecordText one = v.Text(v.u32(kRecordStringOffset));
  EXPECT_EQ(Str(one), u"one");
  EXPECT_EQ(Str(v.Text(one.next)), u"two");
  ASSERT_NE(v.Sid(), nullptr);
  EXPECT_EQ(v.Sid(), b.data() + v.u32(kRecordUserSidOffset));

  // The record's Length is the bound, whatever lies behind it.
  std::vector<uint8_t> longer = b;
  longer.resize(b.size() + 64, 'x');
  EXPECT_EQ(RecordView(longer.data()).length(), b.size());
}

TEST(RecordView, WhatRunsPastTheLengthEndsThereOrIsAbsent) {
  vesk::tools::EvtRecord r;
  r.source = u"Src";
  r.computer = u"PC";
  r.strings = {u"abc"};
  r.sid = vesk::tools::evt_sid("S-1-5-18");
  const std::vector<uint8_t> good = Encode(r);
  const uint32_t strings = RecordView(good.data()).u32(kRecordStringOffset);

  // A Length that ends inside the string: the string ends there.
  std::vector<uint8_t> b = good;
  Put32(b, 0, strings + 4);
  RecordText s = RecordView(b.data()).Text(strings);
  EXPECT_FALSE(s.terminated);
  EXPECT_EQ(Str(s), u"ab");
  EXPECT_EQ(s.next, strings + 4);
  // An odd Length ends it at the last whole unit.
  Put32(b, 0, strings + 5);
  EXPECT_EQ(Str(RecordView(b.data()).Text(strings)), u"ab");
  // A text starting at or past the end, or at an odd offset, is absent.
  EXPECT_EQ(RecordView(b.data()).Text(strings + 6).text, nullptr);
  EXPECT_EQ(RecordView(b.data()).Text(0xFFFFFFF0u).text, nullptr);
  EXPECT_EQ(RecordView(good.data()).Text(strings + 1).text, nullptr);

  // A Length below the fixed part still bounds the names: both absent or cut.
  Put32(b, 0, 8);
  EXPECT_EQ(RecordView(b.data()).length(), kRecordFixedBytes);
  EXPECT_EQ(RecordView(b.data()).Text(kRecordSourceName).units, 0u);

  // SIDs whose bytes do not lie inside the record are absent.
  b = good;
  RecordView ok(good.data());
  const uint32_t sid_at = ok.u32(kRecordUserSidOffset);
  ASSERT_NE(ok.Sid(), nullptr);
  Put32(b, kRecordUserSidOffset, static_cast<uint32_t>(good.size()) - 4);
  EXPECT_EQ(RecordView(b.data()).Sid(), nullptr);
  b = good;
  Put32(b, kRecordUserSidOffset, 0xFFFFFFF8u);  // offset + length wraps
  EXPECT_EQ(RecordView(b.data()).Sid(), nullptr);
  b = good;
  b[sid_at + 1] = 40;  // a sub-authority count beyond the SID's length
  EXPECT_EQ(RecordView(b.data()).Sid(), nullptr);
  b = good;
  Put32(b, kRecordUserSidLength, 4);
  EXPECT_EQ(RecordView(b.data()).Sid(), nullptr);
}

}  // namespace
