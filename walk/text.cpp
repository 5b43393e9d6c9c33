// The walk's texts: times in ISO 8601 (written and parsed), event types by
// word, the columns by name, and each column's value of a record.
#include <cctype>
#include <ctime>
#include <mutex>

#include "records/civil.h"
#include "walk/walk.h"

namespace vesk::walk {

namespace {

bool lower_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// Reads exactly `n` digits at text[*pos].
bool digits(std::string_view text, size_t *pos, int n, int *out) {
  if (*pos + static_cast<size_t>(n) > text.size()) return false;
  int v = 0;
  for (int i = 0; i < n; ++i) {
    const char c = text[*pos + static_cast<size_t>(i)];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *pos += static_cast<size_t>(n);
  *out = v;
  return true;
}

bool take(std::string_view text, size_t *pos, char c) {
  if (*pos < text.size() && text[*pos] == c) {
    ++*pos;
    return true;
  }
  return false;
}

void put_digits(std::string &out, int64_t v, int width) {
  char buf[8];
  for (int k = width - 1; k >= 0; --k, v /= 10) buf[k] = static_cast<char>('0' + v % 10);
  out.append(buf, static_cast<size_t>(width));
}

// The local calendar fields of `seconds` and the zone's offset from UTC
// there, in seconds.
bool local_fields(int64_t seconds, std::tm *out, int64_t *offset) {
  const std::time_t t = static_cast<std::time_t>(seconds);
#if defined(_WIN32)
  static std::mutex mutex;  // localtime's result is shared
  std::lock_guard<std::mutex> lock(mutex);
  const std::tm *tm = std::localtime(&t);
  if (tm == nullptr) return false;
  *out = *tm;
#else
  if (localtime_r(&t, out) == nullptr) return false;
#endif
  const int64_t local =
      vesk::days_from_civil(out->tm_year + 1900, out->tm_mon + 1, out->tm_mday) * 86400 +
      out->tm_hour * 3600 + out->tm_min * 60 + out->tm_sec;
  *offset = local - seconds;
  return true;
}

}  // namespace

std::optional<int64_t> parse_time(std::string_view text) {
  size_t pos = 0;
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (!digits(text, &pos, 4, &y) || !take(text, &pos, '-') ||
      !digits(text, &pos, 2, &mo) || !take(text, &pos, '-') || !digits(text, &pos, 2, &d))
    return std::nullopt;
  if (!take(text, &pos, 'T') && !take(text, &pos, 't') && !take(text, &pos, ' '))
    return std::nullopt;
  if (!digits(text, &pos, 2, &h) || !take(text, &pos, ':') || !digits(text, &pos, 2, &mi))
    return std::nullopt;
  if (take(text, &pos, ':') && !digits(text, &pos, 2, &s)) return std::nullopt;
  if (mo < 1 || mo > 12 || d < 1 || h > 23 || mi > 59 || s > 59) return std::nullopt;
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (d > kDays[mo - 1] || (mo == 2 && d == 29 && !leap)) return std::nullopt;
  int64_t offset = 0;
  if (take(text, &pos, 'Z') || take(text, &pos, 'z')) {
    offset = 0;
  } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    const int sign = text[pos] == '-' ? -1 : 1;
    ++pos;
    int oh = 0, om = 0;
    if (!digits(text, &pos, 2, &oh)) return std::nullopt;
    if (pos < text.size()) {
      take(text, &pos, ':');
      if (!digits(text, &pos, 2, &om)) return std::nullopt;
    }
    if (oh > 23 || om > 59) return std::nullopt;
    offset = sign * (oh * 3600 + om * 60);
  } else {
    return std::nullopt;  // a time without a zone would be ambiguous
  }
  if (pos != text.size()) return std::nullopt;
  return vesk::days_from_civil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s - offset;
}

std::string time_text(int64_t seconds, TimeZone zone) {
  int64_t y, mo, d, h, mi, s, offset = 0;
  std::tm tm{};
  if (zone == TimeZone::kLocal && local_fields(seconds, &tm, &offset)) {
    y = tm.tm_year + 1900;
    mo = tm.tm_mon + 1;
    d = tm.tm_mday;
    h = tm.tm_hour;
    mi = tm.tm_min;
    s = tm.tm_sec;
  } else {
    zone = TimeZone::kUtc;
    int64_t days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0) {
      rest += 86400;
      days -= 1;
    }
    vesk::civil_from_days(days, y, mo, d);
    h = rest / 3600;
    mi = rest / 60 % 60;
    s = rest % 60;
  }
  std::string out;
  out.reserve(25);
  put_digits(out, y, 4);
  out += '-';
  put_digits(out, mo, 2);
  out += '-';
  put_digits(out, d, 2);
  out += 'T';
  put_digits(out, h, 2);
  out += ':';
  put_digits(out, mi, 2);
  out += ':';
  put_digits(out, s, 2);
  if (zone == TimeZone::kUtc) {
    out += 'Z';
  } else {
    out += offset < 0 ? '-' : '+';
    const int64_t a = offset < 0 ? -offset : offset;
    put_digits(out, a / 3600, 2);
    out += ':';
    put_digits(out, a / 60 % 60, 2);
  }
  return out;
}

std::optional<uint16_t> parse_type(std::string_view word) {
  static const struct {
    const char *word;
    uint16_t type;
  } kTypes[] = {{"error", 1}, {"warning", 2}, {"information", 4},
                {"info", 4},  {"success", 8}, {"failure", 16}};
  for (const auto &t : kTypes)
    if (lower_equal(word, t.word)) return t.type;
  if (!word.empty() && word.size() <= 5) {
    uint32_t v = 0;
    for (char c : word) {
      if (c < '0' || c > '9') return std::nullopt;
      v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    if (v <= 0xFFFF) return static_cast<uint16_t>(v);
  }
  return std::nullopt;
}

bool Filter::active() const {
  return since || until || !events.empty() || !sources.empty() || !types.empty();
}

bool Filter::matches(const RawRecord &raw) const {
  if (since && static_cast<int64_t>(raw.time_written) < *since) return false;
  if (until && static_cast<int64_t>(raw.time_written) >= *until) return false;
  if (!events.empty()) {
    bool any = false;
    for (uint32_t e : events)
      if (e <= 0xFFFF ? (raw.event_id & 0xFFFF) == e : raw.event_id == e) {
        any = true;
        break;
      }
    if (!any) return false;
  }
  if (!types.empty()) {
    bool any = false;
    for (uint16_t t : types) any = any || raw.event_type == t;
    if (!any) return false;
  }
  if (!sources.empty()) {
    bool any = false;
    for (const std::string &s : sources) any = any || lower_equal(s, raw.source);
    if (!any) return false;
  }
  return true;
}

const char *column_name(Column c) {
  switch (c) {
    case Column::kLog:
      return "log";
    case Column::kRecord:
      return "record";
    case Column::kTime:
      return "time";
    case Column::kGenerated:
      return "generated";
    case Column::kEvent:
      return "event";
    case Column::kEventId:
      return "event_id";
    case Column::kType:
      return "type";
    case Column::kCategory:
      return "category";
    case Column::kUser:
      return "user";
    case Column::kSid:
      return "sid";
    case Column::kSource:
      return "source";
    case Column::kComputer:
      return "computer";
    case Column::kMessage:
      return "message";
    case Column::kStrings:
      return "strings";
    case Column::kData:
      return "data";
    case Column::kRowTime:
      return "row_time";
    case Column::kError:
      return "error";
  }
  return "?";
}

std::optional<Column> column_by_name(std::string_view name) {
  for (Column c : kAllColumns)
    if (name == column_name(c)) return c;
  return std::nullopt;
}

std::string hex_text(const uint8_t *bytes, size_t n) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 0xF];
  }
  return out;
}

std::string joined_strings(const std::vector<std::string> &strings) {
  std::string out;
  for (size_t i = 0; i < strings.size(); ++i) {
    if (i != 0) out += ';';
    for (char c : strings[i]) {
      if (c == ';' || c == '\\') out += '\\';
      out += c;
    }
  }
  return out;
}

Cell column_value(const Record &r, Column c, TimeZone zone) {
  using K = Cell::Kind;
  auto text = [](std::string t) { return Cell{K::Text, std::move(t)}; };
  auto number = [](uint64_t n) { return Cell{K::Number, std::to_string(n)}; };
  switch (c) {
    case Column::kLog:
      return text(r.log);
    case Column::kRecord:
      return number(r.number);
    case Column::kEvent:
      return r.row[kRowEvent];
    case Column::kType:
      return r.row[kRowType];
    case Column::kCategory:
      return r.row[kRowCategory];
    case Column::kUser:
      return r.row[kRowUser];
    case Column::kSource:
      return r.row[kRowSource];
    case Column::kComputer:
      return r.row[kRowComputer];
    case Column::kMessage:
      return r.row[kRowMessage];
    case Column::kRowTime:
      return r.row[kRowTime];
    case Column::kError:
      return r.error;
    default:
      break;
  }
  if (!r.has_raw) return Cell{};
  switch (c) {
    case Column::kTime:
      return text(time_text(r.raw.time_written, zone));
    case Column::kGenerated:
      return text(time_text(r.raw.time_generated, zone));
    case Column::kEventId:
      return number(r.raw.event_id);
    case Column::kSid:
      return text(r.raw.sid);
    case Column::kStrings:
      return text(joined_strings(r.raw.strings));
    case Column::kData:
      return text(hex_text(r.raw.data.data(), r.raw.data.size()));
    default:
      return Cell{};
  }
}

}  // namespace vesk::walk
