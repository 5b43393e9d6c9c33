#include "tests/windows/fmtcorpus.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>

namespace fmtcorpus {
namespace {

// Code page 1252 to UTF-16 (the table's .mc source and its ANSI entries).
WCHAR from_1252(unsigned char c) {
  static const uint16_t high[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
      0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  return static_cast<WCHAR>(c >= 0x80 && c < 0xA0 ? high[c - 0x80] : c);
}

wstring wide(const std::string &s) {
  wstring w;
  for (unsigned char c : s) w.push_back(from_1252(c));
  return w;
}

// The arguments: slot n (1-based) is element n - 1.  Set 0 mixes strings and
// numbers, each slot always read as the same kind by the corpus's inserts;
// set 1 holds numbers only, for width and precision taken from arguments.
constexpr int kSlots = 16;
const WCHAR kTest[] = {'t', 'e', 's', 't', 0};
const WCHAR kEmpty[] = {0};
const WCHAR kPercent[] = {'a', '%', '1', 'b', 0};
const WCHAR kTwoLines[] = {'t', 'w', 'o', '\r', '\n', 'l', 'i', 'n', 'e', 's', 0};
const WCHAR kEnd[] = {'e', 'n', 'd', 0};
const WCHAR kNonAscii[] = {0xE9, ' ', 0x3A9, ' ', 0x20AC, 0};
const char kAnsi[] = "ansi\xE9";

const wstring &long_text() {
  static const wstring text = [] {
    wstring t;
    for (int i = 0; i < 300; i++) t.push_back(static_cast<WCHAR>('a' + i % 26));
    return t;
  }();
  return text;
}

void argument_set(int set, DWORD_PTR out[kSlots]) {
  if (set == 1) {
    static const DWORD_PTR numbers[kSlots] = {6, 4,  2,  5,  3,  1,  7,  8,
                                              9, 10, 11, 12, 13, 14, 15, 16};
    for (int i = 0; i < kSlots; i++) out[i] = numbers[i];
    return;
  }
  const DWORD_PTR mixed[kSlots] = {
      reinterpret_cast<DWORD_PTR>(kTest),                // 1
      reinterpret_cast<DWORD_PTR>(kEmpty),               // 2
      reinterpret_cast<DWORD_PTR>(kPercent),             // 3
      42,                                                // 4
      0xFFFFFFFBu,                                       // 5: -5 as 32 bits
      0x1AB,                                             // 6
      'Z',                                               // 7
      0,                                                 // 8
      reinterpret_cast<DWORD_PTR>(kTwoLines),            // 9
      reinterpret_cast<DWORD_PTR>(long_text().c_str()),  // 10
      0,                                                 // 11: a null string
      reinterpret_cast<DWORD_PTR>(kAnsi),                // 12: ANSI text
      1234567,                                           // 13
      reinterpret_cast<DWORD_PTR>(kEnd),                 // 14
      65535,                                             // 15
      reinterpret_cast<DWORD_PTR>(kNonAscii),            // 16
  };
  for (int i = 0; i < kSlots; i++) out[i] = mixed[i];
}

// Inserts that read each slot of set 0 as what it holds.
const char *const kInserts[] = {
    "%1",      "%2",       "%3",      "%9",       "%14",        "%16",      "%1!s!",
    "%1!5s!",  "%1!-6s!|", "%1!.2s!", "%10!.5s!", "%10!12.3s!", "%14!ls!",  "%14!ws!",
    "%11",     "%11!s!",   "%12!S!",  "%12!hs!",  "%12!7hs!",   "%4!d!",    "%5!d!",
    "%5!i!",   "%5!u!",    "%6!x!",   "%6!X!",    "%6!#x!",     "%6!08X!",  "%4!-5d!|",
    "%5!+d!",  "%4!+d!",   "%4! d!",  "%13!lu!",  "%13!ld!",    "%7!c!",    "%7!wc!",
    "%7!lc!",  "%4!.3d!",  "%6!o!",   "%6!#o!",   "%8!d!",      "%8!x!",    "%15!hd!",
    "%15!hu!", "%4!5.2d!", "%100",    "%15!hhd!", "%15!hhu!",   "%13!hhx!", "%16!3s!",
    "%9!s!"};

// Escapes, line breaks and plain text.
const char *const kPieces[] = {
    "a",      "Bc",   "x y",  " ",     "  ",  "!",   ".",  "\t", "\r\n", "\n", "\r",
    "\r\r\n", "\xE9", "\x80", "%n",    "%r",  "%t",  "%%", "% ", "%.",   "%!", "%b",
    "%0",     "%Z",   "%\t",  "%\r\n", "%%1", "%1%", "x!", "%-", "%?",   "%,", "%^"};

// Texts whose inserts name arguments the corpus does not pass: formatted
// with inserts ignored only.
const char *const kIgnoredOnly[] = {"test%1%2!*.*s!%99", "%99", "%12345", "%1!*.*s!%0"};

// Inserts that take width or precision from the arguments (set 1 only).
const char *const kStarTexts[] = {
    "%1!*.*u!,%1!*.*u!", "%1!*.*u!,%4!*.*u!", "%1!*.*u!,%3!*.*u!",
    "%2!*d!|%3!d!",      "%1!-*d!|",          "%3!.*u!",
    "%1!*u!%2!u!%3!u!",  "%5!0*d!",           "%2!*.*x!%4!d!"};

// Texts written out: the escapes and inserts one by one and the failures.
const char *const kFixedTexts[] = {" %%%% ",
                                   " %.%.  %4!d!",
                                   "test%0test",
                                   "yah%!%0   ",
                                   "% %   ",
                                   "%n%r%t",
                                   "hi\n",
                                   "hi\r\n",
                                   "\r",
                                   "\r\r\n",
                                   "a\r\nb",
                                   "a\nb",
                                   "a\rb",
                                   "a\r\r\nb",
                                   "%1%3%2%1",
                                   "%4!4d!",
                                   "test%",
                                   "%",
                                   "%1!",
                                   "%1!d",
                                   "%1!!",
                                   "%10345",
                                   "%1%2%3%4!d!%5!d!",
                                   "%%%% %.%!",
                                   "%0test",
                                   "",
                                   "%0",
                                   "%2",
                                   "%2%2%2",
                                   "a%t%tb\r\n",
                                   "\t%t\t",
                                   "%n%n",
                                   "line\r\n%n",
                                   "%1!s!%0!",
                                   "%4!I64u!",
                                   "%13!I32u!",
                                   "%4!lld!",
                                   "%4!llx!",
                                   "%4!hhd!"};

const char *const kMessages[][4] = {
    {"Disk full.", nullptr},
    {"The %1 service entered the %2 state.", nullptr},
    {"Line one", "Line two", nullptr},
    {"Logon:%n%tUser:%t%1%n%tDomain:%t%14", nullptr},
    {"Tabs%twithin%ta line", "and%ta second", nullptr},
    {"Count %4!d!, hex %6!#x!, padded [%4!-5d!]", nullptr},
    {"Trailing spaces kept:% % % ", nullptr},
    {"No line end here%0", nullptr},
    {"Percent %% and bang %! and dot %.", nullptr},
    {"Carriage%rreturn", nullptr},
    {"Accents \xE9t\xE9 and euro \x80", nullptr},
    {"Null insert [%11]", "empty insert [%2]", nullptr},
    {"Insert with its own percent: %3", nullptr},
    {"Insert with a line break: %9", nullptr},
    {"%1", nullptr},
    {"Ten is %10!.4s!, and ten again %10!.2s!", nullptr},
    {"ANSI insert %12!S!", nullptr},
    {"Unknown escapes %b %Z %-", nullptr},
    {"", "Starts with an empty line", nullptr},
    {"Stops%0 here", nullptr},
    {"Two", "", "blank lines", nullptr},
    {"Number %5!d! signed %5!u! unsigned", nullptr},
    {"%t", nullptr},
    {"%n", nullptr},
    {"Char %7!c!, short %15!hd!", nullptr},
    {"Many: %1 %2 %3 %14 %16 %4!d! %13!lu!", nullptr},
    {"Insert ten then zero: %100", nullptr},
    {"Audit%n%tSubject:%n%t%tName:%t%1%n%t%tId:%t%13!lu!", nullptr},
};

// Deterministic pseudo-random numbers.
struct Random {
  uint32_t state = 0x2545F491u;
  uint32_t next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
  template <typename T, size_t N>
  const T &pick(const T (&items)[N]) {
    return items[next() % N];
  }
};

std::string random_text(Random &r) {
  std::string t;
  int pieces = 1 + r.next() % 8;
  for (int i = 0; i < pieces; i++) {
    std::string next = r.next() % 3 == 0 ? r.pick(kInserts) : r.pick(kPieces);
    // A bare insert followed by '!' or a digit would become another insert
    // (one that reads its argument as something else): keep them apart.
    if (!t.empty() && t.back() >= '0' && t.back() <= '9' &&
        (next[0] == '!' || (next[0] >= '0' && next[0] <= '9')))
      t += ' ';
    t += next;
  }
  if (r.next() % 40 == 0) t += "%";  // a lone '%' at the end
  return t;
}

void add_flag_variants(std::vector<Case> &out, Case c, bool star,
                       bool ignored_only = false) {
  for (DWORD width : {0u, 0xFFu}) {
    Case v = c;
    v.flags |= width;
    v.argset = star ? 1 : 0;
    // Inserts ignored (arguments never read), then each argument form.
    v.flags |= FORMAT_MESSAGE_IGNORE_INSERTS;
    v.args = Args::None;
    out.push_back(v);
    v.args = Args::Array;
    out.push_back(v);
    if (ignored_only) continue;
    v.flags &= ~static_cast<DWORD>(FORMAT_MESSAGE_IGNORE_INSERTS);
    v.args = Args::Array;
    out.push_back(v);
    v.args = Args::List;
    out.push_back(v);
    v.args = Args::None;
    out.push_back(v);
  }
}

Case string_case(const std::string &text) {
  Case c;
  c.flags = FORMAT_MESSAGE_FROM_STRING;
  c.text = wide(text);
  return c;
}

void append_escaped(std::string &out, const WCHAR *text, size_t n) {
  char hex[8];
  out += '"';
  for (size_t i = 0; i < n; i++) {
    unsigned c = text[i];
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
      out += static_cast<char>(c);
    } else {
      std::snprintf(hex, sizeof hex, "\\u%04X", c);
      out += hex;
    }
  }
  out += '"';
}

size_t units(const WCHAR *s) {
  size_t n = 0;
  while (s[n]) n++;
  return n;
}

DWORD call_list(DWORD flags, LPCVOID source, DWORD id, DWORD lang, LPWSTR buffer,
                DWORD size, ...) {
  va_list list;
  va_start(list, size);
  DWORD n = FormatMessageW(flags, source, id, lang, buffer, size, &list);
  va_end(list);
  return n;
}

struct Result {
  DWORD ret;
  DWORD error;
};

// One call; `buffer` receives the text (or the allocated block's address).
Result call(const Case &c, HMODULE module, HMODULE ansi_module, DWORD extra,
            LPWSTR buffer, DWORD size) {
  DWORD_PTR a[kSlots];
  argument_set(c.argset, a);
  LPCVOID source = c.text.c_str();
  if (c.table >= 0) source = c.ansi_dll ? ansi_module : module;
  DWORD flags = c.flags | extra;
  SetLastError(0xDEADBEEF);
  DWORD n;
  switch (c.args) {
    case Args::Array:
      n = FormatMessageW(flags | FORMAT_MESSAGE_ARGUMENT_ARRAY, source, c.id, c.lang,
                         buffer, size, reinterpret_cast<va_list *>(a));
      break;
    case Args::List:
      n = call_list(flags, source, c.id, c.lang, buffer, size, a[0], a[1], a[2], a[3],
                    a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11], a[12], a[13], a[14],
                    a[15]);
      break;
    default:
      n = FormatMessageW(flags, source, c.id, c.lang, buffer, size, nullptr);
      break;
  }
  return {n, n == 0 ? GetLastError() : 0};
}

void append_result(std::string &out, Result r, const WCHAR *text, size_t n) {
  char head[40];
  std::snprintf(head, sizeof head, "%lu,%lu,", static_cast<unsigned long>(r.ret),
                static_cast<unsigned long>(r.error));
  out += head;
  if (text == nullptr)
    out += "null";
  else
    append_escaped(out, text, n);
}

}  // namespace

const std::vector<TableMessage> &table() {
  static const std::vector<TableMessage> messages = [] {
    std::vector<TableMessage> m;
    DWORD id = 1;
    for (const auto &lines : kMessages) {
      TableMessage t{id++, {}};
      for (int i = 0; lines[i]; i++) t.lines.push_back(lines[i]);
      m.push_back(t);
    }
    return m;
  }();
  return messages;
}

std::string mc_source() {
  std::string s =
      "MessageIdTypedef=DWORD\r\nLanguageNames=(English=0x409:MSG00409)\r\n\r\n";
  for (const auto &m : table()) {
    s += "MessageId=" + std::to_string(m.id) + "\r\nLanguage=English\r\n";
    for (const auto &line : m.lines) s += line + "\r\n";
    s += ".\r\n\r\n";
  }
  return s;
}

wstring table_text(const TableMessage &m) {
  wstring t;
  for (const auto &line : m.lines) {
    t += wide(line);
    t.push_back('\r');
    t.push_back('\n');
  }
  return t;
}

std::vector<Case> corpus() {
  std::vector<Case> out;
  for (const char *t : kFixedTexts) add_flag_variants(out, string_case(t), false);
  for (const char *t : kIgnoredOnly) add_flag_variants(out, string_case(t), false, true);
  for (const char *t : kInserts)
    add_flag_variants(out, string_case(std::string("<") + t + ">"), false);
  for (const char *t : kStarTexts) add_flag_variants(out, string_case(t), true);
  Random r;
  for (int i = 0; i < 600; i++)
    add_flag_variants(out, string_case(random_text(r)), false);

  // The message table: each entry in both DLLs, and as its text alone.
  const auto &messages = table();
  for (int i = 0; i < static_cast<int>(messages.size()); i++) {
    // The text alone first: each table case then knows its twin.
    Case twin = string_case("");
    twin.text = table_text(messages[i]);
    const int first_twin = static_cast<int>(out.size());
    add_flag_variants(out, twin, false);
    const int per_text = static_cast<int>(out.size()) - first_twin;
    for (bool ansi : {false, true}) {
      Case c;
      c.flags = FORMAT_MESSAGE_FROM_HMODULE;
      c.table = i;
      c.ansi_dll = ansi;
      c.id = messages[i].id;
      const int first = static_cast<int>(out.size());
      add_flag_variants(out, c, false);
      for (int k = 0; k < per_text; k++) out[first + k].twin = first_twin + k;
    }
  }
  // Look-ups that fail or pick a language, and the choice of source.
  Case look;
  look.flags = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS;
  look.table = 0;
  for (DWORD id : {1u, 2u, 999u, 0u, 0x80000001u}) {
    for (DWORD lang : {0x0u, 0x409u, 0x407u, 0x809u, 0x400u, 0x800u, 0x9u}) {
      look.id = id;
      look.lang = lang;
      out.push_back(look);
    }
  }
  // Line wrapping under widths 1 to 254: texts of wrapping's own edge cases
  // and the first random texts again.
  const char *const kWrapTexts[] = {"short long line",
                                    "shortlongline",
                                    "short long    line",
                                    "   shortlong line",
                                    "shortlon",
                                    "a b c d e f g h i j",
                                    "tab\there and\tthere",
                                    "x%ny long line",
                                    "dash-dot.comma,bang!",
                                    "one\r\ntwo three\r\nfour",
                                    "%1 %2 %14 %16 %9 end"};
  Random w;
  std::vector<std::string> wrap_texts(std::begin(kWrapTexts), std::end(kWrapTexts));
  for (int i = 0; i < 100; i++) wrap_texts.push_back(random_text(w));
  for (DWORD width : {1u, 4u, 8u, 10u, 11u, 12u, 16u, 20u}) {
    for (const auto &t : wrap_texts) {
      Case c = string_case(t);
      c.flags |= width;
      c.args = Args::Array;
      out.push_back(c);
    }
  }

  Case both = string_case("string wins");
  both.flags |= FORMAT_MESSAGE_FROM_HMODULE;
  both.table = -1;
  out.push_back(both);
  Case none = string_case("no source flag");
  none.flags = 0;
  out.push_back(none);
  return out;
}

std::string run(const Case &c, HMODULE module, HMODULE ansi_module) {
  static WCHAR big[16384];
  std::string out;
  // A mark at the start shows whether a failed call wrote into the buffer.
  for (WCHAR &w : big) w = 0;
  for (int i = 0; i < 4; i++) big[i] = '#';
  Result r = call(c, module, ansi_module, 0, big, 16384 - 1);
  append_result(out, r, big, units(big));
  if (r.ret == 0 || r.ret >= 16000) return out;
  const DWORD n = r.ret;
  for (DWORD size : {n + 1, n}) {
    std::vector<WCHAR> small(size + 8, '#');
    Result s = call(c, module, ansi_module, 0, small.data(), size);
    out += '\t';
    // A buffer the call did not terminate is shown up to its size.
    size_t len = 0;
    while (len < size && small[len]) len++;
    append_result(out, s, small.data(), len);
  }
  LPWSTR allocated = nullptr;
  Result a = call(c, module, ansi_module, FORMAT_MESSAGE_ALLOCATE_BUFFER,
                  reinterpret_cast<LPWSTR>(&allocated), 0);
  out += '\t';
  append_result(out, a, allocated, allocated ? units(allocated) : 0);
  if (allocated) LocalFree(allocated);
  return out;
}

std::string describe(const Case &c) {
  std::string d;
  char head[96];
  std::snprintf(head, sizeof head, "flags 0x%04lX args %s set %d",
                static_cast<unsigned long>(c.flags),
                c.args == Args::Array  ? "array"
                : c.args == Args::List ? "va_list"
                                       : "none",
                c.argset);
  d = head;
  if (c.table >= 0) {
    std::snprintf(head, sizeof head, " %s table id %lu lang 0x%lX",
                  c.ansi_dll ? "ANSI" : "Unicode", static_cast<unsigned long>(c.id),
                  static_cast<unsigned long>(c.lang));
    d += head;
  } else {
    d += " text ";
    append_escaped(d, c.text.c_str(), c.text.size());
  }
  return d;
}

}  // namespace fmtcorpus
