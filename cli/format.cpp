#include "cli/format.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace vesk::cli {

namespace {

// Code points in UTF-8 text (continuation bytes are not counted).
size_t width(std::string_view utf8) {
  return static_cast<size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// The first `n` code points of UTF-8 text.
std::string_view first_code_points(std::string_view utf8, size_t n) {
  size_t i = 0;
  for (size_t seen = 0; i < utf8.size(); ++i) {
    if ((static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80 && seen++ == n) break;
  }
  return utf8.substr(0, i);
}

void append_number_text(std::string &out, uint32_t n) {
  char digits[10];
  int i = 0;
  do {
    digits[i++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  while (i > 0) out += digits[--i];
}

// A column's value: the library's slots are referred to, not copied.
const Cell &value(const Record &r, Column c, walk::TimeZone zone, Cell &scratch) {
  switch (c) {
    case Column::kEvent:
      return r.row[walk::kRowEvent];
    case Column::kType:
      return r.row[walk::kRowType];
    case Column::kCategory:
      return r.row[walk::kRowCategory];
    case Column::kUser:
      return r.row[walk::kRowUser];
    case Column::kSource:
      return r.row[walk::kRowSource];
    case Column::kComputer:
      return r.row[walk::kRowComputer];
    case Column::kMessage:
      return r.row[walk::kRowMessage];
    case Column::kRowTime:
      return r.row[walk::kRowTime];
    case Column::kError:
      return r.error;
    default:
      scratch = walk::column_value(r, c, zone);
      return scratch;
  }
}

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
// character, a double quote or a backslash), or `n`; skips clean words
// eight bytes at a time.
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

const char kHex[] = "0123456789abcdef";

// Appends `text` with the escapes of table_text; `lines` keeps the line
// breaks and tabs as escapes too (the error texts on standard error).
void append_escaped(std::string &out, std::string_view text, bool escape_lines) {
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\r' || c == '\n' || c == '\t') {
      if (escape_lines) {
        out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : "\\t";
      } else {
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        out += ' ';
      }
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else if (c == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      // U+0080 to U+009F: C2 80 to C2 9F.
      const unsigned char low = static_cast<unsigned char>(text[i + 1]);
      out += "\\u00";
      out += kHex[low >> 4];
      out += kHex[low & 0xF];
      ++i;
    } else if (c == 0xE2 && i + 2 < text.size() &&
               ((static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                 static_cast<unsigned char>(text[i + 2]) >= 0xAA &&
                 static_cast<unsigned char>(text[i + 2]) <= 0xAE) ||
                (static_cast<unsigned char>(text[i + 1]) == 0x81 &&
                 static_cast<unsigned char>(text[i + 2]) >= 0xA6 &&
                 static_cast<unsigned char>(text[i + 2]) <= 0xA9))) {
      // U+202A to U+202E: E2 80 AA to E2 80 AE; U+2066 to U+2069: E2 81 A6
      // to E2 81 A9.
      const unsigned cp = ((c & 0x0Fu) << 12) |
                          ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6) |
                          (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
      out += "\\u";
      out += kHex[cp >> 12];
      out += kHex[(cp >> 8) & 0xF];
      out += kHex[(cp >> 4) & 0xF];
      out += kHex[cp & 0xF];
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
}

}  // namespace

std::vector<Column> default_columns(bool table) {
  if (!table)
    return std::vector<Column>(std::begin(walk::kAllColumns),
                               std::end(walk::kAllColumns));
  return {Column::kTime,  Column::kLog,    Column::kRecord,   Column::kType,
          Column::kEvent, Column::kSource, Column::kCategory, Column::kUser,
          Column::kError, Column::kMessage};
}

bool parse_fields(std::string_view list, std::vector<Column> *out, std::string *error) {
  out->clear();
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t end = list.find(',', pos);
    if (end == std::string_view::npos) end = list.size();
    std::string_view name = list.substr(pos, end - pos);
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    pos = end + 1;
    auto c = walk::column_by_name(name);
    if (!c) {
      std::string all;
      for (Column k : walk::kAllColumns)
        all += (all.empty() ? "" : ",") + std::string(walk::column_name(k));
      *error = "no column named '" + std::string(name) + "'; the columns: " + all;
      return false;
    }
    if (std::find(out->begin(), out->end(), *c) != out->end()) {
      *error = "column '" + std::string(name) + "' named twice";
      return false;
    }
    out->push_back(*c);
  }
  return true;
}

std::string csv_field(std::string_view text) {
  std::string out;
  append_csv_field(out, text);
  return out;
}

std::string csv_header(const Layout &layout) {
  std::string out;
  for (size_t i = 0; i < layout.columns.size(); ++i) {
    if (i != 0) out += ',';
    out += walk::column_name(layout.columns[i]);
  }
  out += "\r\n";
  return out;
}

void append_csv_record(std::string &out, const Record &r, const Layout &layout) {
  Cell scratch;
  for (size_t i = 0; i < layout.columns.size(); ++i) {
    if (i != 0) out += ',';
    const Column c = layout.columns[i];
    if (c == Column::kRecord) {
      append_number_text(out, r.number);
      continue;
    }
    append_csv_field(out, value(r, c, layout.zone, scratch).text);
  }
  out += "\r\n";
}

namespace {

// The escape of a byte that a JSON string must escape.
void append_json_escape(std::string &out, unsigned char c) {
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
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
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

void append_json_record(std::string &out, const Record &r, const Layout &layout) {
  Cell scratch;
  out += '{';
  for (size_t i = 0; i < layout.columns.size(); ++i) {
    const Column c = layout.columns[i];
    if (i != 0) out += ',';
    out += '"';
    out += walk::column_name(c);
    out += "\":";
    if (c == Column::kRecord) {
      append_number_text(out, r.number);
    } else if (c == Column::kStrings) {
      if (!r.has_raw) {
        out += "null";
        continue;
      }
      out += '[';
      for (size_t k = 0; k < r.raw.strings.size(); ++k) {
        if (k != 0) out += ',';
        append_json_string(out, r.raw.strings[k]);
      }
      out += ']';
    } else {
      const Cell &v = value(r, c, layout.zone, scratch);
      switch (v.kind) {
        case Cell::Kind::Empty:
          out += "null";
          break;
        case Cell::Kind::Number:
          out += v.text;
          break;
        case Cell::Kind::Text:
          append_json_string(out, v.text);
          break;
      }
    }
  }
  out += "}\n";
}

std::string table_text(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  append_escaped(out, utf8, false);
  return out;
}

std::string display_text(std::string_view utf8) {
  while (!utf8.empty() && (utf8.back() == '\n' || utf8.back() == '\r'))
    utf8.remove_suffix(1);
  std::string out;
  append_escaped(out, utf8, true);
  return out;
}

Table::Table(Layout layout, size_t sample)
    : layout_(std::move(layout)), sample_(sample), widths_(layout_.columns.size(), 0) {
  std::vector<std::string> header;
  for (Column c : layout_.columns) header.emplace_back(walk::column_name(c));
  held_.push_back(std::move(header));
}

void Table::write_line(const std::vector<std::string> &cells, std::string &out) const {
  const size_t start = out.size();
  for (size_t i = 0; i < cells.size(); ++i) {
    if (i != 0) out += "  ";
    const std::string &cell = cells[i];
    if (i + 1 == cells.size()) {
      out += cell;
      break;
    }
    const size_t w = width(cell);
    if (w > widths_[i]) {
      out += first_code_points(cell, widths_[i] - 1);
      out += "\xe2\x80\xa6";  // …
    } else {
      out += cell;
      out.append(widths_[i] - w, ' ');
    }
  }
  // Empty trailing cells leave padding behind: no line ends in spaces.
  size_t end = out.size();
  while (end > start && out[end - 1] == ' ') --end;
  out.resize(end);
  out += '\n';
}

void Table::settle(std::string &out) {
  settled_ = true;
  for (const auto &line : held_)
    for (size_t i = 0; i < line.size(); ++i)
      widths_[i] = std::max(widths_[i], std::min(width(line[i]), kTableWidthCap));
  // A column is never narrower than its name.
  for (size_t i = 0; i < widths_.size(); ++i)
    widths_[i] = std::max(widths_[i], width(walk::column_name(layout_.columns[i])));
  for (const auto &line : held_) write_line(line, out);
  held_.clear();
  held_.shrink_to_fit();
}

void Table::add(const Record &r, std::string &out) {
  line_.resize(layout_.columns.size());
  Cell scratch;
  for (size_t i = 0; i < layout_.columns.size(); ++i) {
    const Column c = layout_.columns[i];
    line_[i].clear();
    if (c == Column::kRecord)
      append_number_text(line_[i], r.number);
    else
      append_escaped(line_[i], value(r, c, layout_.zone, scratch).text, false);
  }
  if (settled_) {
    write_line(line_, out);
    return;
  }
  held_.push_back(line_);
  if (held_.size() - 1 >= sample_) settle(out);  // the header and the sample
}

void Table::finish(std::string &out) {
  if (!settled_) settle(out);
}

}  // namespace vesk::cli
