#include "cli/format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "records/civil.h"

namespace vesk::cli {

namespace {

void append_utf8(std::string &out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Code points in UTF-8 text (continuation bytes are not counted).
size_t width(std::string_view utf8) {
  return static_cast<size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// A cell on one table line: a CR LF pair, a lone CR or LF, a tab or any other
// control character each become one space.
std::string one_line(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    out += (c < 0x20 || c == 0x7F) ? ' ' : static_cast<char>(c);
  }
  return out;
}

std::string number_text(uint32_t n) { return std::to_string(n); }

}  // namespace

namespace {

// Appends UTF-8 for `n` UTF-16 units; an unpaired surrogate becomes U+FFFD.
template <typename Unit>
void append_utf16(std::string &out, const Unit *text, size_t n) {
  if (out.capacity() < out.size() + n) out.reserve(out.size() + n);
  for (size_t i = 0; i < n; ++i) {
    const uint32_t u = static_cast<uint16_t>(text[i]);
    if (u < 0x80) {
      out += static_cast<char>(u);
    } else if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n &&
               static_cast<uint16_t>(text[i + 1]) >= 0xDC00 &&
               static_cast<uint16_t>(text[i + 1]) <= 0xDFFF) {
      append_utf8(out, 0x10000 + ((u - 0xD800) << 10) +
                           (static_cast<uint16_t>(text[i + 1]) - 0xDC00u));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      append_utf8(out, 0xFFFD);
    } else {
      append_utf8(out, u);
    }
  }
}

}  // namespace

std::string utf8_from_utf16(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  append_utf16(out, text.data(), text.size());
  return out;
}

std::string bstr_text(BSTR text) {
  std::string out;
  if (text != nullptr) append_utf16(out, text, SysStringLen(text));
  return out;
}

std::string automation_date_text(double date) {
  char buf[64];
  if (!(date > -657435.0 && date < 2958466.0)) {  // NaN included
    std::snprintf(buf, sizeof buf, "%.17g", date);
    return buf;
  }
  // The integer part counts days (towards zero), the fraction's magnitude is
  // the time of day on that day.
  const double whole = std::trunc(date);
  int64_t days = static_cast<int64_t>(whole);
  int64_t seconds = std::llround(std::fabs(date - whole) * 86400.0);
  if (seconds >= 86400) {  // rounded up to the next midnight
    seconds -= 86400;
    days += 1;
  }
  int64_t y, m, d;
  vesk::civil_from_days(days + vesk::days_from_civil(1899, 12, 30), y, m, d);
  // YYYY-MM-DDTHH:MM:SS, written digit by digit: every row has one, and
  // snprintf would be a good part of the time a row takes to print.
  const int64_t fields[6] = {y, m, d, seconds / 3600, seconds / 60 % 60, seconds % 60};
  static const char kSeparators[] = "--T::";
  char *p = buf;
  for (int i = 0; i < 6; ++i) {
    int width = i == 0 ? 4 : 2;
    int64_t v = fields[i];
    for (int k = width - 1; k >= 0; --k, v /= 10) p[k] = static_cast<char>('0' + v % 10);
    p += width;
    if (i < 5) *p++ = kSeparators[i];
  }
  return std::string(buf, static_cast<size_t>(p - buf));
}

void set_cell(Cell &cell, const VARIANT &value) {
  cell.text.clear();
  switch (V_VT(&value)) {
    case VT_EMPTY:
    case VT_NULL:
      cell.kind = Cell::Kind::Empty;
      break;
    case VT_I4:
      cell.kind = Cell::Kind::Number;
      cell.text = std::to_string(V_I4(&value));
      break;
    case VT_DATE:
      cell.kind = Cell::Kind::Text;
      cell.text = automation_date_text(V_DATE(&value));
      break;
    case VT_BSTR:
      cell.kind = Cell::Kind::Text;
      if (V_BSTR(&value) != nullptr)
        append_utf16(cell.text, V_BSTR(&value), SysStringLen(V_BSTR(&value)));
      break;
    default:
      cell.kind = Cell::Kind::Text;
      cell.text = "?vt=" + std::to_string(V_VT(&value));
  }
}

Cell cell_from_variant(const VARIANT &value) {
  Cell cell;
  set_cell(cell, value);
  return cell;
}

std::vector<std::string> column_names() {
  std::vector<std::string> names = {"log", "record"};
  names.insert(names.end(), std::begin(kSlotNames), std::end(kSlotNames));
  names.push_back("error");
  return names;
}

namespace {

// Eight bytes at a time: whether any byte of `w` is below `n` (n <= 0x80),
// or equal to `b`.  Exact as a yes or no for the whole word, which is all
// the scans below ask.
constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
inline uint64_t any_below(uint64_t w, uint8_t n) { return (w - kOnes * n) & ~w & kHighs; }
inline uint64_t any_equal(uint64_t w, uint8_t b) {
  const uint64_t x = w ^ (kOnes * b);
  return (x - kOnes) & ~x & kHighs;
}
inline uint64_t load8(const char *p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// The first byte at or after `i` that a JSON string must escape (a control
// character, '"' or '\\'), or `n`; skips clean words eight bytes at a time.
size_t json_special(const char *s, size_t i, size_t n) {
  for (; i + 8 <= n; i += 8) {
    const uint64_t w = load8(s + i);
    if (any_below(w, 0x20) | any_equal(w, '"') | any_equal(w, '\\')) break;
  }
  for (; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == '"' || c == '\\') return i;
  }
  return n;
}

// Whether a CSV field must be quoted: it holds ',', '"', CR or LF.
bool csv_needs_quotes(std::string_view text) {
  const char *s = text.data();
  const size_t n = text.size();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const uint64_t w = load8(s + i);
    if (any_equal(w, ',') | any_equal(w, '"') | any_equal(w, '\r') | any_equal(w, '\n'))
      return true;
  }
  for (; i < n; ++i)
    if (s[i] == ',' || s[i] == '"' || s[i] == '\r' || s[i] == '\n') return true;
  return false;
}

void append_csv_field(std::string &out, std::string_view text) {
  if (!csv_needs_quotes(text)) {
    out += text;
    return;
  }
  out += '"';
  // Runs up to each double quote, copied whole; the quote is doubled.
  for (size_t from = 0; from < text.size();) {
    const void *q = std::memchr(text.data() + from, '"', text.size() - from);
    const size_t to =
        q ? static_cast<size_t>(static_cast<const char *>(q) - text.data()) + 1
          : text.size();
    out.append(text.data() + from, to - from);
    if (q) out += '"';
    from = to;
  }
  out += '"';
}

void append_number(std::string &out, uint32_t n) {
  char digits[10];
  int i = 0;
  do {
    digits[i++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  while (i > 0) out += digits[--i];
}

}  // namespace

std::string csv_field(std::string_view text) {
  std::string out;
  append_csv_field(out, text);
  return out;
}

std::string csv_line(const std::vector<std::string> &fields) {
  std::string out;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i != 0) out += ',';
    append_csv_field(out, fields[i]);
  }
  out += "\r\n";
  return out;
}

std::string csv_header() { return csv_line(column_names()); }

void append_csv_row(std::string &out, const Row &row) {
  append_csv_field(out, row.log);
  out += ',';
  append_number(out, row.record);
  for (const Cell &c : row.cells) {
    out += ',';
    append_csv_field(out, c.text);
  }
  out += ',';
  append_csv_field(out, row.error.text);
  out += "\r\n";
}

std::string csv_row(const Row &row) {
  std::string out;
  append_csv_row(out, row);
  return out;
}

namespace {

// The escape of a byte that a JSON string must escape.
void append_json_escape(std::string &out, unsigned char c) {
  static const char hex[] = "0123456789abcdef";
  switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\b':
      out += "\\b";
      break;
    case '\f':
      out += "\\f";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    default:
      out += "\\u00";
      out += hex[c >> 4];
      out += hex[c & 0xF];
  }
}

}  // namespace

void append_json_string(std::string &out, std::string_view utf8) {
  out.reserve(out.size() + utf8.size() + 2);
  out += '"';
  const char *s = utf8.data();
  const size_t n = utf8.size();
  for (size_t plain = 0; plain < n;) {
    const size_t i = json_special(s, plain, n);
    out.append(s + plain, i - plain);
    if (i == n) break;
    append_json_escape(out, static_cast<unsigned char>(s[i]));
    plain = i + 1;
  }
  out += '"';
}

void append_json_string_scalar(std::string &out, std::string_view utf8) {
  out += '"';
  for (char ch : utf8) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == '"' || c == '\\')
      append_json_escape(out, c);
    else
      out += ch;
  }
  out += '"';
}

std::string json_string(std::string_view utf8) {
  std::string out;
  append_json_string(out, utf8);
  return out;
}

namespace {

void append_json_cell(std::string &out, const Cell &c) {
  switch (c.kind) {
    case Cell::Kind::Empty:
      out += "null";
      break;
    case Cell::Kind::Number:
      out += c.text;
      break;
    case Cell::Kind::Text:
      append_json_string(out, c.text);
      break;
  }
}

}  // namespace

void append_json_row(std::string &out, const Row &row) {
  out += "{\"log\":";
  append_json_string(out, row.log);
  out += ",\"record\":";
  append_number(out, row.record);
  for (size_t i = 0; i < 8; ++i) {
    out += ",\"";
    out += kSlotNames[i];
    out += "\":";
    if (i < row.cells.size())
      append_json_cell(out, row.cells[i]);
    else
      out += "null";
  }
  out += ",\"error\":";
  append_json_cell(out, row.error);
  out += "}\n";
}

std::string json_row(const Row &row) {
  std::string out;
  append_json_row(out, row);
  return out;
}

std::string table(const std::vector<Row> &rows) {
  std::vector<std::vector<std::string>> lines;
  lines.push_back(column_names());
  for (const Row &r : rows) {
    std::vector<std::string> line = {one_line(r.log), number_text(r.record)};
    for (const Cell &c : r.cells) line.push_back(one_line(c.text));
    line.push_back(one_line(r.error.text));
    lines.push_back(std::move(line));
  }
  const size_t columns = lines.front().size();
  std::vector<size_t> widths(columns, 0);
  for (const auto &line : lines)
    for (size_t i = 0; i < line.size() && i < columns; ++i)
      widths[i] = std::max(widths[i], width(line[i]));

  std::string out;
  for (const auto &line : lines) {
    std::string text;
    for (size_t i = 0; i < line.size() && i < columns; ++i) {
      if (i != 0) text += "  ";
      text += line[i];
      if (i + 1 < columns) text.append(widths[i] - width(line[i]), ' ');
    }
    // Empty trailing cells leave padding behind: no line ends in spaces.
    text.erase(text.find_last_not_of(' ') + 1);
    out += text;
    out += '\n';
  }
  return out;
}

std::string display_text(std::string_view utf8) {
  while (!utf8.empty() && (utf8.back() == '\n' || utf8.back() == '\r'))
    utf8.remove_suffix(1);
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (char ch : utf8) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 0xF];
    } else {
      out += ch;
    }
  }
  return out;
}

}  // namespace vesk::cli
