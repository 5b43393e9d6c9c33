#include "records/rowtime.h"

#include <cstdint>
#include <ctime>

#include "records/civil.h"

namespace {

// The local calendar time at `seconds` since 1970 UTC, with a 64-bit time
// on every build, so that times from 2038 on convert too.
bool LocalCalendarTime(int64_t seconds, std::tm *out) {
#if defined(_WIN32)
  const __time64_t t = seconds;
  return _localtime64_s(out, &t) == 0;
#else
  static_assert(sizeof(std::time_t) >= 8, "a 64-bit time_t");
  const std::time_t t = static_cast<std::time_t>(seconds);
  return localtime_r(&t, out) != nullptr;
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
