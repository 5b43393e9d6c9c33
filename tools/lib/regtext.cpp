// The .reg text parser (see regtext.h for the forms it accepts).
#include "regtext.h"

#include <fstream>
#include <iterator>

#include "platform/emulated/seam.h"

namespace vesk::tools {
namespace {

namespace emu = vesk::emu;

// Code page 1252 at 0x80..0x9F; every other byte is the code point itself.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t from_cp1252(uint8_t b) {
  return b >= 0x80 && b <= 0x9F ? kCp1252High[b - 0x80] : static_cast<char16_t>(b);
}

const char16_t *const kRoots[] = {u"HKEY_LOCAL_MACHINE", u"HKEY_CURRENT_USER",
                                  u"HKEY_CLASSES_ROOT", u"HKEY_USERS",
                                  u"HKEY_CURRENT_CONFIG"};

bool is_space(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view trim(std::u16string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

bool starts_with_ci(std::u16string_view s, std::u16string_view prefix) {
  return s.size() >= prefix.size() && emu::iequal(s.substr(0, prefix.size()), prefix);
}

int hex_digit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

class Parser {
 public:
  Parser(std::u16string_view text, RegNode *registry) : registry_(registry) {
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
      if (i == text.size() || text[i] == u'\n' || text[i] == u'\r') {
        lines_.push_back(text.substr(start, i - start));
        if (i + 1 < text.size() && text[i] == u'\r' && text[i + 1] == u'\n') ++i;
        start = i + 1;
      }
    }
  }

  bool run(std::string *error) {
    if (!header()) return report(error);
    for (; index_ < lines_.size(); ++index_) {
      std::u16string_view line = trim(lines_[index_]);
      if (line.empty() || line.front() == u';') continue;
      bool ok = line.front() == u'[' ? key_line(line)
                : (line.front() == u'"' || line.front() == u'@')
                    ? value_line(line)
                    : fail("not a key, value or comment line");
      if (!ok) return report(error);
    }
    return true;
  }

 private:
  bool report(std::string *error) {
    if (error) *error = "line " + std::to_string(index_ + 1) + ": " + message_;
    return false;
  }

  bool fail(std::string message) {
    message_ = std::move(message);
    return false;
  }

  bool header() {
    for (; index_ < lines_.size(); ++index_) {
      std::u16string_view line = trim(lines_[index_]);
      if (line.empty()) continue;
      if (line == u"REGEDIT4") {
        ansi_ = true;
      } else if (line != u"Windows Registry Editor Version 5.00") {
        return fail(
            "not a registry file: the first line is neither \"REGEDIT4\" nor "
            "\"Windows Registry Editor Version 5.00\"");
      }
      ++index_;
      return true;
    }
    index_ = 0;
    return fail("empty: no header line");
  }

  // "HKEY_LOCAL_MACHINE\rest" with the root spelled canonically; empty when
  // the root is not one regedit knows.
  std::u16string canonical(std::u16string_view path) {
    size_t end = path.find(u'\\');
    std::u16string_view root = path.substr(0, end);
    for (const char16_t *r : kRoots)
      if (emu::iequal(root, r))
        return std::u16string(r) +
               std::u16string(end == std::u16string_view::npos ? u"" : path.substr(end));
    return {};
  }

  bool key_line(std::u16string_view line) {
    size_t close = line.rfind(u']');
    if (close == std::u16string_view::npos) return fail("key line without ']'");
    std::u16string_view path = line.substr(1, close - 1);
    bool remove = !path.empty() && path.front() == u'-';
    if (remove) path.remove_prefix(1);
    std::u16string full = canonical(path);
    if (full.empty())
      return fail("key \"" + emu::to_utf8(path) +
                  "\" does not start with a root key such as HKEY_LOCAL_MACHINE");
    if (remove) {
      registry_->remove(full);
      current_ = nullptr;
      skipping_ = true;
    } else {
      current_ = &registry_->key(full);
      skipping_ = false;
    }
    return true;
  }

  // A quoted string starting at line[*pos] == '"'; *pos ends after the
  // closing quote.
  bool quoted(std::u16string_view line, size_t *pos, std::u16string *out) {
    out->clear();
    size_t i = *pos + 1;
    while (i < line.size()) {
      char16_t c = line[i];
      if (c == u'"') {
        *pos = i + 1;
        return true;
      }
      if (c == u'\\' && i + 1 < line.size()) {
        char16_t e = line[i + 1];
        switch (e) {
          case u'\\':
            out->push_back(u'\\');
            break;
          case u'"':
            out->push_back(u'"');
            break;
          case u'n':
            out->push_back(u'\n');
            break;
          case u'r':
            out->push_back(u'\r');
            break;
          case u'0':
            out->push_back(u'\0');
            break;
          default:  // not an escape regedit knows: kept as written
            out->push_back(u'\\');
            out->push_back(e);
        }
        i += 2;
        continue;
      }
      out->push_back(c);
      ++i;
    }
    return fail("string without its closing quote");
  }

  // Only blanks or a comment may follow the data.
  bool at_end(std::u16string_view rest) {
    rest = trim(rest);
    if (rest.empty() || rest.front() == u';') return true;
    return fail("unexpected text after the value: \"" + emu::to_utf8(rest) + "\"");
  }

  // Comma-separated hex bytes from line[pos], continued on the next line
  // after a trailing backslash.
  bool hex_bytes(std::u16string_view line, size_t pos, std::vector<uint8_t> *out) {
    for (;;) {
      while (pos < line.size() && is_space(line[pos])) ++pos;
      if (pos >= line.size() || line[pos] == u';') return true;
      if (line[pos] == u'\\') {
        if (!trim(line.substr(pos + 1)).empty())
          return fail("text after a continuation '\\'");
        if (index_ + 1 >= lines_.size())
          return fail("continuation '\\' on the last line");
        line = lines_[++index_];
        pos = 0;
        continue;
      }
      int hi = hex_digit(line[pos]);
      if (hi < 0)
        return fail("bad hex byte in \"" + emu::to_utf8(line.substr(pos)) + "\"");
      int v = hi;
      ++pos;
      if (pos < line.size() && hex_digit(line[pos]) >= 0) {
        v = v * 16 + hex_digit(line[pos]);
        ++pos;
      }
      out->push_back(static_cast<uint8_t>(v));
      while (pos < line.size() && is_space(line[pos])) ++pos;
      if (pos < line.size() && line[pos] == u',') {
        ++pos;
      } else if (pos < line.size() && line[pos] != u';' && line[pos] != u'\\') {
        return fail("bad hex byte list at \"" + emu::to_utf8(line.substr(pos)) + "\"");
      }
    }
  }

  // A hex number of 1-8 digits ending at `stop` (or the end); *pos moves past it.
  bool hex_number(std::u16string_view s, size_t *pos, char16_t stop, uint32_t *out) {
    size_t i = *pos;
    uint32_t v = 0;
    size_t digits = 0;
    while (i < s.size() && hex_digit(s[i]) >= 0) {
      v = v * 16 + static_cast<uint32_t>(hex_digit(s[i]));
      ++i;
      ++digits;
    }
    if (digits == 0 || digits > 8) return fail("expected 1 to 8 hex digits");
    if (stop != 0 && (i >= s.size() || s[i] != stop))
      return fail(std::string("expected '") + static_cast<char>(stop) + "'");
    *pos = i;
    *out = v;
    return true;
  }

  bool value_line(std::u16string_view line) {
    std::u16string name;
    size_t pos = 0;
    if (line.front() == u'@') {
      pos = 1;
    } else if (!quoted(line, &pos, &name)) {
      return false;
    }
    while (pos < line.size() && is_space(line[pos])) ++pos;
    if (pos >= line.size() || line[pos] != u'=')
      return fail("expected '=' after the name");
    ++pos;
    while (pos < line.size() && is_space(line[pos])) ++pos;
    std::u16string_view data = line.substr(pos);
    if (!current_) {
      if (skipping_) return true;  // values of a deleted key are ignored, as regedit does
      return fail("value before any key line");
    }
    if (!data.empty() && data.front() == u'"') {
      std::u16string text;
      size_t p = 0;
      if (!quoted(data, &p, &text) || !at_end(data.substr(p))) return false;
      current_->set_string(name, text, REG_SZ);
      return true;
    }
    if (trim(data) == u"-") {
      current_->remove_value(name);
      return true;
    }
    if (starts_with_ci(data, u"dword:")) {
      size_t p = 6;
      uint32_t v = 0;
      if (!hex_number(data, &p, 0, &v) || !at_end(data.substr(p))) return false;
      current_->set_dword(name, v);
      return true;
    }
    uint32_t type = REG_BINARY;
    bool text_form = false;
    size_t p = 0;
    if (starts_with_ci(data, u"hex:")) {
      p = 4;
    } else if (starts_with_ci(data, u"hex(") || starts_with_ci(data, u"str(")) {
      text_form = starts_with_ci(data, u"str(");
      p = 4;
      if (!hex_number(data, &p, u')', &type)) return false;
      if (p + 1 >= data.size() || data[p + 1] != u':')
        return fail("expected ':' after ')'");
      p += 2;
    } else {
      return fail("unknown value data \"" + emu::to_utf8(data) + "\"");
    }
    if (text_form) {
      std::u16string text;
      if (p >= data.size() || data[p] != u'"') return fail("expected a quoted string");
      if (!quoted(data, &p, &text) || !at_end(data.substr(p))) return false;
      current_->set_string(name, text, type);
      return true;
    }
    // hex_bytes may move on to continuation lines; it works on the raw line.
    size_t offset = static_cast<size_t>(data.data() - lines_[index_].data()) + p;
    std::vector<uint8_t> bytes;
    if (!hex_bytes(lines_[index_], offset, &bytes)) return false;
    if (ansi_ && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)) {
      std::vector<uint8_t> wide;
      wide.reserve(bytes.size() * 2);
      for (uint8_t b : bytes) {
        char16_t c = from_cp1252(b);
        wide.push_back(static_cast<uint8_t>(c & 0xFF));
        wide.push_back(static_cast<uint8_t>(c >> 8));
      }
      bytes = std::move(wide);
    }
    current_->set(name, type, std::move(bytes));
    return true;
  }

  RegNode *registry_;
  std::vector<std::u16string_view> lines_;
  size_t index_ = 0;
  bool ansi_ = false;
  RegNode *current_ = nullptr;
  bool skipping_ = false;
  std::string message_;
};

}  // namespace

bool parse_reg_text(std::u16string_view text, RegNode *registry, std::string *error) {
  return Parser(text, registry).run(error);
}

bool parse_reg(std::string_view bytes, RegNode *registry, std::string *error) {
  std::u16string text;
  if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
      static_cast<uint8_t>(bytes[1]) == 0xFE) {
    if (bytes.size() % 2 != 0) {
      if (error) *error = "UTF-16 text with an odd number of bytes";
      return false;
    }
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
      text.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                           static_cast<uint8_t>(bytes[i + 1]) << 8));
  } else if (bytes.size() >= 3 && static_cast<uint8_t>(bytes[0]) == 0xEF &&
             static_cast<uint8_t>(bytes[1]) == 0xBB &&
             static_cast<uint8_t>(bytes[2]) == 0xBF) {
    text = emu::from_utf8(bytes.substr(3));
  } else {
    size_t first = bytes.find_first_not_of(" \t\r\n");
    if (first != std::string_view::npos && bytes.substr(first, 8) == "REGEDIT4") {
      for (char c : bytes) text.push_back(from_cp1252(static_cast<uint8_t>(c)));
    } else {
      text = emu::from_utf8(bytes);
    }
  }
  return parse_reg_text(text, registry, error);
}

bool parse_reg_file(const std::filesystem::path &file, RegNode *registry,
                    std::string *error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    if (error) *error = file.string() + ": cannot open";
    return false;
  }
  std::string bytes((std::istreambuf_iterator<char>(in)),
                    std::istreambuf_iterator<char>());
  if (in.bad()) {
    if (error) *error = file.string() + ": cannot read";
    return false;
  }
  std::string why;
  if (!parse_reg(bytes, registry, &why)) {
    if (error) *error = file.string() + ": " + why;
    return false;
  }
  return true;
}

}  // namespace vesk::tools
