#include "records/rowtime.h"

#include <cstdint>
#include <ctime>

#include "records/civil.h"

namespace {

#if !defined(_WIN32)
constexpr int64_t kHour = 3600;

// The calendar fields of `seconds` since 1970 read as UTC.
void UtcFields(int64_t seconds, std::tm *out) {
  int64_t days = seconds / 86400, rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  int64_t y, m, d;
  vesk::civil_from_days(days, y, m, d);
  out->tm_year = static_cast<int>(y - 1900);
  out->tm_mon = static_cast<int>(m - 1);
  out->tm_mday = static_cast<int>(d);
  out->tm_hour = static_cast<int>(rest / 3600);
  out->tm_min = static_cast<int>(rest / 60 % 60);
  out->tm_sec = static_cast<int>(rest % 60);
}

bool SameFields(const std::tm &a, const std::tm &b) {
  return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday &&
         a.tm_hour == b.tm_hour && a.tm_min == b.tm_min && a.tm_sec == b.tm_sec;
}

// One hour of UTC time over which the local zone keeps one offset, as the
// C library gave it, and the zone it was asked under.  Records come in time
// order, so the library is asked about twice an hour of the log instead of
// once a record.
struct ZoneHour {
  int64_t start = -1;  // none yet
  int64_t offset = 0;  // local time less UTC, in seconds
  long zone = 0;
  int daylight = 0;
  const char *names[2] = {nullptr, nullptr};

  // Whether the C library's zone is still the one this hour was taken in
  // (tzset changes these when TZ names another zone).
  bool SameZone() const {
    return zone == ::timezone && daylight == ::daylight && names[0] == ::tzname[0] &&
           names[1] == ::tzname[1];
  }
};
#endif

// The local calendar time at `seconds` since 1970 UTC, with a 64-bit time
// on every build, so that times from 2038 on convert too.
bool LocalCalendarTime(int64_t seconds, std::tm *out) {
#if defined(_WIN32)
  const __time64_t t = seconds;
  return _localtime64_s(out, &t) == 0;
#else
  static_assert(sizeof(std::time_t) >= 8, "a 64-bit time_t");
  thread_local ZoneHour hour;
  const int64_t start = seconds - seconds % kHour;  // seconds is never negative here
  if (hour.start == start && hour.SameZone()) {
    UtcFields(seconds + hour.offset, out);
    return true;
  }
  const std::time_t t = static_cast<std::time_t>(seconds);
  if (localtime_r(&t, out) == nullptr) return false;
  // The hour is kept only when both its ends have one offset and sum to what
  // the library says (a zone that counts leap seconds does not).
  const std::time_t first = static_cast<std::time_t>(start);
  const std::time_t last = static_cast<std::time_t>(start + kHour - 1);
  std::tm a{}, b{}, fa{}, fb{};
  if (localtime_r(&first, &a) != nullptr && localtime_r(&last, &b) != nullptr &&
      a.tm_gmtoff == b.tm_gmtoff) {
    UtcFields(start + a.tm_gmtoff, &fa);
    UtcFields(start + kHour - 1 + b.tm_gmtoff, &fb);
    if (SameFields(a, fa) && SameFields(b, fb)) {
      hour.start = start;
      hour.offset = a.tm_gmtoff;
      hour.zone = ::timezone;
      hour.daylight = ::daylight;
      hour.names[0] = ::tzname[0];
      hour.names[1] = ::tzname[1];
    }
  }
  return true;
#endif
}

}  // namespace

bool VariantTimeFromLocal(int year, int month, int day, int hour, int minute, int second,
                          double *out) {
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second < 0)
    return false;
  if (second > 59) second = 59;  // a leap second counts as the one before
  second -= second % 2;
  if (year >= 1980 && year <= 2099) {
    const USHORT dos_date = static_cast<USHORT>((year - 1980) << 9 | month << 5 | day);
    const USHORT dos_time = static_cast<USHORT>(hour << 11 | minute << 5 | second / 2);
    if (DosDateTimeToVariantTime(dos_date, dos_time, out)) return true;
  }
  // The same sum as DosDateTimeToVariantTime makes: the day, then the hour,
  // the minute and the second, each as a fraction of a day.
  double date = static_cast<double>(vesk::days_from_civil(year, month, day) -
                                    vesk::days_from_civil(1899, 12, 30));
  date += hour / 24.0;
  date += minute / 1440.0;
  date += second / 86400.0;
  *out = date;
  return true;
}

bool LocalVariantTime(DWORD seconds, double *out) {
  std::tm t{};
  if (!LocalCalendarTime(static_cast<int64_t>(seconds), &t)) return false;
  return VariantTimeFromLocal(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                              t.tm_min, t.tm_sec, out);
}
