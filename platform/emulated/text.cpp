// Text: the lstr family, wsprintfW/wvsprintfW and MultiByteToWideChar, with
// the results, limits and error codes of Windows.
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "platform/emulated/internal.h"
#include "platform/units.h"

namespace vesk::emu {
namespace {

constexpr DWORD kErrorInvalidFlags = ERROR_INVALID_FLAGS;

size_t length(const WCHAR *s) { return vesk::units::Length(s); }

// -1, 0 or 1, as CompareString's result less 2.  A null string sorts before
// any other; two null strings are equal.  Strings are ordered by code unit
// (after upper-casing for the case-insensitive form), which agrees with
// Windows on equality; the order of unequal strings can differ from the
// locale's collation.
int compare(const WCHAR *a, const WCHAR *b, bool ignore_case) {
  if (a == nullptr && b == nullptr) return 0;
  if (a == nullptr) return -1;
  if (b == nullptr) return 1;
  for (size_t i = 0;; ++i) {
    // Equal units stay equal after upper-casing.
    if (a[i] == b[i]) {
      if (a[i] == 0) return 0;
      continue;
    }
    char16_t x = ignore_case ? upcase(a[i]) : a[i];
    char16_t y = ignore_case ? upcase(b[i]) : b[i];
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
}

// ------------------------------------------------------------------ wsprintf

// Output holds at most this many units, the terminator included.
constexpr unsigned kFormatLimit = 1024;

enum class Kind { Unknown, Char, WChar, String, WString, Signed, Unsigned, Hex };
enum class Size { Int, IntPtr, I64 };

struct Field {
  bool left = false;    // '-'
  bool prefix = false;  // '#': 0x before hexadecimal digits
  bool zero = false;    // '0'
  bool upper = false;   // X and p
  bool shrt = false;    // h
  bool lng = false;     // l
  bool wide = false;    // w
  Size size = Size::Int;
  uint32_t width = 0;
  uint32_t precision = 0;
  Kind kind = Kind::Unknown;
};

// Reads [-][#][0][width][.precision][l|h|w|I64|I32|I]type after a '%'.
// Returns the units it used.  An unknown type character is not used: it is
// copied to the output as ordinary text.
size_t parse(const WCHAR *f, Field *s) {
  const WCHAR *p = f;
  if (*p == u'-') s->left = true, ++p;
  if (*p == u'#') s->prefix = true, ++p;
  if (*p == u'0') s->zero = true, ++p;
  for (; *p >= u'0' && *p <= u'9'; ++p) s->width = s->width * 10u + (*p - u'0');
  if (*p == u'.') {
    ++p;
    for (; *p >= u'0' && *p <= u'9'; ++p) s->precision = s->precision * 10u + (*p - u'0');
  }
  if (*p == u'l') {
    s->lng = true, ++p;
  } else if (*p == u'h') {
    s->shrt = true, ++p;
  } else if (*p == u'w') {
    s->wide = true, ++p;
  } else if (*p == u'I') {
    if (p[1] == u'6' && p[2] == u'4') {
      s->size = Size::I64, p += 3;
    } else if (p[1] == u'3' && p[2] == u'2') {
      p += 3;
    } else {
      s->size = Size::IntPtr, ++p;
    }
  }
  switch (*p) {
    case u'c':
      s->kind = s->shrt ? Kind::Char : Kind::WChar;
      break;
    case u'C':
      s->kind = s->lng ? Kind::WChar : Kind::Char;
      break;
    case u'd':
    case u'i':
      s->kind = Kind::Signed;
      break;
    case u's':
      s->kind = (s->shrt && !s->wide) ? Kind::String : Kind::WString;
      break;
    case u'S':
      s->kind = (s->lng || s->wide) ? Kind::WString : Kind::String;
      break;
    case u'u':
      s->kind = Kind::Unsigned;
      break;
    case u'p':
      s->width = 2 * sizeof(void *);
      s->zero = true;
      s->size = Size::IntPtr;
      s->upper = true;
      s->kind = Kind::Hex;
      break;
    case u'X':
      s->upper = true;
      s->kind = Kind::Hex;
      break;
    case u'x':
      s->kind = Kind::Hex;
      break;
    default:
      s->kind = Kind::Unknown;
      return static_cast<size_t>(p - f);
  }
  return static_cast<size_t>(p - f) + 1;
}

// The output buffer.  `room` counts the units still free, the terminator's
// included; nothing is written past the limit whatever a field asks for.
struct Sink {
  WCHAR *p;
  unsigned room;
  void put(char16_t c) {
    if (room > 1) {
      *p++ = c;
      --room;
    }
  }
  void repeat(char16_t c, uint32_t from, uint32_t to) {
    for (uint32_t i = from; i < to; ++i) put(c);
  }
  // As much of s[0, n) as the room allows, the terminator's unit kept.
  void put(const WCHAR *s, size_t n) {
    if (room <= 1) return;
    if (n > room - 1) n = room - 1;
    vesk::units::CopyUnits(p, s, n);
    p += n;
    room -= static_cast<unsigned>(n);
  }
};

// Formats as user32 does (Wine's wvsnprintfW): each field's width, precision
// and text are cut to the room left before it is written, so a right-aligned
// field that does not fit keeps its text rather than its padding.
int format(WCHAR *out, const WCHAR *fmt, va_list args) {
  static const char kNullA[] = "(null)";
  static const WCHAR kNullW[] = u"(null)";
  WCHAR *const start = out;
  Sink sink{out, kFormatLimit};
  while (*fmt != 0 && sink.room > 1) {
    if (*fmt != u'%') {
      // A run of plain text, up to the next '%' or the end.
      const size_t run = vesk::units::FindInText(
          fmt, sink.room - 1, [](auto c) { return (c == 0) | (c == 0x25); });
      sink.put(fmt, run);
      fmt += run;
      continue;
    }
    if (fmt[1] == u'%') {
      sink.put(u'%');
      fmt += 2;
      continue;
    }
    ++fmt;
    Field s;
    fmt += parse(fmt, &s);

    char16_t ch = 0;
    const char *str8 = nullptr;
    const WCHAR *str16 = nullptr;
    int64_t value = 0;
    switch (s.kind) {
      case Kind::WChar:
        ch = static_cast<char16_t>(va_arg(args, int));
        break;
      case Kind::Char:
        // An 8-bit character widens as a byte, the same as in an 8-bit string.
        ch = static_cast<unsigned char>(va_arg(args, int));
        break;
      case Kind::String:
        str8 = va_arg(args, const char *);
        break;
      case Kind::WString:
        str16 = va_arg(args, const WCHAR *);
        break;
      case Kind::Signed:
      case Kind::Unsigned:
      case Kind::Hex:
        if (s.size == Size::IntPtr)
          value = static_cast<int64_t>(va_arg(args, intptr_t));
        else if (s.size == Size::I64)
          value = static_cast<int64_t>(va_arg(args, long long));
        else
          value = va_arg(args, int);
        break;
      case Kind::Unknown:
        break;
    }

    // What may still be written in front of the terminator.
    const uint32_t avail = sink.room - 1;
    if (s.left) s.zero = false;
    if (s.width > avail) s.width = avail;
    // '#' has a meaning for hexadecimal only.
    if (s.kind != Kind::Hex) s.prefix = false;

    uint32_t len = 0;
    char number[24] = "";
    switch (s.kind) {
      case Kind::Char:
      case Kind::WChar:
        len = s.precision = 1;
        break;
      case Kind::String:
        if (str8 == nullptr) str8 = kNullA;
        while ((s.precision == 0 || len < s.precision) && len < avail && str8[len] != 0)
          ++len;
        s.precision = len;
        break;
      case Kind::WString:
        if (str16 == nullptr) str16 = kNullW;
        len = static_cast<uint32_t>(vesk::units::LengthWithin(
            str16, s.precision != 0 && s.precision < avail ? s.precision : avail));
        s.precision = len;
        break;
      case Kind::Signed:
      case Kind::Unsigned:
      case Kind::Hex: {
        const char *digits = s.upper ? "0123456789ABCDEF" : "0123456789abcdef";
        unsigned base = s.kind == Kind::Hex ? 16 : 10;
        uint64_t num = static_cast<uint64_t>(value);
        char *d = number;
        if (s.kind == Kind::Signed && value < 0) {
          *d++ = '-';
          num = 0 - num;
        }
        if (s.size == Size::Int) num = static_cast<uint32_t>(num);
        char rev[24];
        size_t n = 0;
        do {
          rev[n++] = digits[num % base];
          num /= base;
        } while (num != 0);
        while (n > 0) *d++ = rev[--n];
        *d = 0;
        len = static_cast<uint32_t>(d - number);
        if (len > avail) len = avail;
        if (s.precision < len) s.precision = len;
        if (s.precision > avail) s.precision = avail;
        if (s.zero && s.width > s.precision) s.precision = s.width;
        break;
      }
      case Kind::Unknown:
        break;
    }

    if (!s.left) sink.repeat(u' ', s.precision, s.width);
    switch (s.kind) {
      case Kind::Char:
      case Kind::WChar:
        sink.put(ch);
        break;
      case Kind::String:
        for (uint32_t i = 0; i < len; ++i) sink.put(static_cast<unsigned char>(str8[i]));
        break;
      case Kind::WString:
        sink.put(str16, len);
        break;
      case Kind::Signed:
      case Kind::Unsigned:
      case Kind::Hex: {
        // The prefix is left out when the room is nearly gone.
        if (s.prefix && sink.room > 3) {
          sink.put(u'0');
          sink.put(s.upper ? u'X' : u'x');
        }
        uint32_t sign = 0;
        if (number[0] == '-') {
          sink.put(u'-');
          sign = 1;
        }
        sink.repeat(u'0', len, s.precision);
        for (uint32_t i = sign; i < len; ++i) sink.put(static_cast<char16_t>(number[i]));
        break;
      }
      case Kind::Unknown:
        // Only the padding is written; the character follows as text.
        continue;
    }
    if (s.left) sink.repeat(u' ', s.precision, s.width);
  }
  *sink.p = 0;
  // Output that reached the limit reports the limit, whether or not it was
  // cut (user32 cannot tell the two apart either).
  return sink.room > 1 ? static_cast<int>(sink.p - start)
                       : static_cast<int>(kFormatLimit);
}

// ------------------------------------------------------------------ code pages

// Code page 1252.  Bytes 00-7F and A0-FF are the code points of the same
// value.  Of 80-9F, the five bytes the Unicode mapping leaves undefined (81,
// 8D, 8F, 90, 9D) are the C1 controls of the same value, as Windows'
// C_1252.NLS has them, so no byte is ever rejected.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

struct Table {
  char16_t units[256];
};

constexpr Table make_cp1252() {
  Table t{};
  for (int b = 0; b < 256; ++b)
    t.units[b] =
        (b >= 0x80 && b < 0xA0) ? kCp1252High[b - 0x80] : static_cast<char16_t>(b);
  return t;
}

constexpr Table kCp1252 = make_cp1252();

}  // namespace

char16_t detail::ansi_to_unicode(uint8_t byte) { return kCp1252.units[byte]; }

namespace {

// The flags MultiByteToWideChar knows.
constexpr DWORD kPrecomposed = 0x1;
constexpr DWORD kComposite = 0x2;
constexpr DWORD kUseGlyphChars = 0x4;
constexpr DWORD kKnownFlags =
    kPrecomposed | kComposite | kUseGlyphChars | MB_ERR_INVALID_CHARS;

int single_byte(const Table &table, DWORD flags, const unsigned char *src, int srclen,
                WCHAR *dst, int dstlen) {
  if (flags & ~kKnownFlags) {
    detail::set_error(kErrorInvalidFlags);
    return 0;
  }
  if (flags & (kComposite | kUseGlyphChars)) {
    report("MultiByteToWideChar: MB_COMPOSITE and MB_USEGLYPHCHARS are not supported");
    detail::set_error(kErrorInvalidFlags);
    return 0;
  }
  // Every byte of 1252 is defined, so MB_ERR_INVALID_CHARS rejects nothing.
  if (dstlen == 0) return srclen;
  int n = srclen;
  int result = srclen;
  if (dstlen < srclen) {
    // The buffer is filled as far as it goes, then the call fails.
    n = dstlen;
    result = 0;
    detail::set_error(ERROR_INSUFFICIENT_BUFFER);
  }
  for (int i = 0; i < n; ++i) dst[i] = table.units[src[i]];
  return result;
}

constexpr uint32_t kBadSequence = 0xFFFFFFFF;

// Decodes the sequence led by `lead` (already taken from *p), advancing *p
// over the bytes that belong to it.  A malformed sequence gives kBadSequence
// and leaves *p at the first byte that does not continue it; a sequence cut
// by the end of the input uses up the input.
uint32_t decode_utf8(unsigned char lead, const unsigned char **p,
                     const unsigned char *end) {
  // Continuation bytes that follow each lead byte; 0 marks an invalid lead
  // (a stray continuation byte, the overlong C0 and C1, F5-FF).
  unsigned extra = 0;
  if (lead >= 0xC2 && lead <= 0xDF)
    extra = 1;
  else if (lead >= 0xE0 && lead <= 0xEF)
    extra = 2;
  else if (lead >= 0xF0 && lead <= 0xF4)
    extra = 3;
  if (extra == 0) return kBadSequence;
  if (static_cast<size_t>(end - *p) < extra) {
    *p = end;
    return kBadSequence;
  }
  static const unsigned char kMask[4] = {0x7F, 0x1F, 0x0F, 0x07};
  uint32_t cp = lead & kMask[extra];
  const unsigned char *q = *p;
  for (unsigned i = 0; i < extra; ++i) {
    unsigned c = q[i] ^ 0x80u;
    if (c >= 0x40) return kBadSequence;
    cp = (cp << 6) | c;
    unsigned left = extra - 1 - i;  // continuation bytes still to come
    // Too large for Unicode: the byte is not taken.
    if (left == 1 && cp >= (0x110000u >> 6)) return kBadSequence;
    ++*p;
    // Overlong forms and surrogates are found as soon as the bits show them.
    if (left == 2 && cp < 0x10) return kBadSequence;
    if (left == 1 && extra == 2 && cp < 0x20) return kBadSequence;
    if (left == 1 && cp >= (0xD800u >> 6) && cp <= (0xDFFFu >> 6)) return kBadSequence;
  }
  if (cp < 0x80) return kBadSequence;
  return cp;
}

int utf8(DWORD flags, const unsigned char *src, int srclen, WCHAR *dst, int dstlen) {
  if (flags & ~kKnownFlags) {
    detail::set_error(kErrorInvalidFlags);
    return 0;
  }
  const unsigned char *p = src;
  const unsigned char *const end = src + srclen;
  bool unmapped = false;
  if (dstlen == 0) {
    int n = 0;
    while (p < end) {
      unsigned char c = *p++;
      ++n;
      if (c < 0x80) continue;
      uint32_t cp = decode_utf8(c, &p, end);
      if (cp == kBadSequence)
        unmapped = true;
      else if (cp > 0xFFFF)
        ++n;
    }
    if (unmapped && (flags & MB_ERR_INVALID_CHARS)) {
      detail::set_error(ERROR_NO_UNICODE_TRANSLATION);
      return 0;
    }
    return n;
  }
  int n = 0;
  bool full = false;
  while (p < end) {
    if (n == dstlen) {
      full = true;
      break;
    }
    unsigned char c = *p++;
    if (c < 0x80) {
      dst[n++] = c;
      continue;
    }
    uint32_t cp = decode_utf8(c, &p, end);
    if (cp == kBadSequence) {
      dst[n++] = 0xFFFD;
      unmapped = true;
    } else if (cp <= 0xFFFF) {
      dst[n++] = static_cast<WCHAR>(cp);
    } else {
      cp -= 0x10000;
      dst[n++] = static_cast<WCHAR>(0xD800 | (cp >> 10));
      // Half a pair is not a result: with no room for the low surrogate the
      // call fails like any other short buffer.
      if (n == dstlen) {
        full = true;
        break;
      }
      dst[n++] = static_cast<WCHAR>(0xDC00 | (cp & 0x3FF));
    }
  }
  if (full) {
    detail::set_error(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (unmapped && (flags & MB_ERR_INVALID_CHARS)) {
    detail::set_error(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  return n;
}

}  // namespace
}  // namespace vesk::emu

using namespace vesk::emu;

extern "C" {

int WINAPI lstrlenW(LPCWSTR s) {
  VESK_EMU_ENTER(lstrlenW, 0);
  // Null is a string of no characters, without an error.
  if (s == nullptr) return 0;
  return static_cast<int>(length(s));
}

LPWSTR WINAPI lstrcpyW(LPWSTR dst, LPCWSTR src) {
  VESK_EMU_ENTER(lstrcpyW, nullptr);
  // Windows catches the fault of a null pointer and reports it this way.
  if (dst == nullptr || src == nullptr) {
    detail::set_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::memmove(dst, src, (length(src) + 1) * sizeof(WCHAR));
  return dst;
}

LPWSTR WINAPI lstrcpynW(LPWSTR dst, LPCWSTR src, int max) {
  VESK_EMU_ENTER(lstrcpynW, nullptr);
  // The count is taken as unsigned: 0 copies nothing and writes no
  // terminator; a negative count does not limit the copy at all.
  UINT count = static_cast<UINT>(max);
  if (count == 0) return dst;
  if (dst == nullptr || (count > 1 && src == nullptr)) {
    detail::set_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const size_t n = count > 1 ? vesk::units::LengthWithin(src, count - 1) : 0;
  if (n == 0) {  // the source may be null then
    dst[0] = 0;
    return dst;
  }
  if (dst <= src || dst > src + n) {
    std::memmove(dst, src, n * sizeof(WCHAR));
    dst[n] = 0;
    return dst;
  }
  // A destination inside the source, ahead of it: unit by unit from the
  // front, as Windows copies, reading what the copy has already written.
  WCHAR *d = dst;
  const WCHAR *s = src;
  while (count > 1 && *s != 0) {
    *d++ = *s++;
    --count;
  }
  *d = 0;
  return dst;
}

LPWSTR WINAPI lstrcatW(LPWSTR dst, LPCWSTR src) {
  VESK_EMU_ENTER(lstrcatW, nullptr);
  if (dst == nullptr || src == nullptr) {
    detail::set_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::memmove(dst + length(dst), src, (length(src) + 1) * sizeof(WCHAR));
  return dst;
}

int WINAPI lstrcmpiW(LPCWSTR a, LPCWSTR b) {
  VESK_EMU_ENTER(lstrcmpiW, 0);
  return compare(a, b, true);
}

int WINAPI lstrcmpW(LPCWSTR a, LPCWSTR b) {
  VESK_EMU_ENTER(lstrcmpW, 0);
  return compare(a, b, false);
}

int WINAPI wvsprintfW(LPWSTR out, LPCWSTR fmt, va_list args) {
  VESK_EMU_ENTER(wvsprintfW, 0);
  // Windows faults on these.
  if (out == nullptr || fmt == nullptr) {
    detail::set_error(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return format(out, fmt, args);
}

int WINAPIV wsprintfW(LPWSTR out, LPCWSTR fmt, ...) {
  VESK_EMU_ENTER(wsprintfW, 0);
  if (out == nullptr || fmt == nullptr) {
    detail::set_error(ERROR_INVALID_PARAMETER);
    return 0;
  }
  va_list args;
  va_start(args, fmt);
  int n = format(out, fmt, args);
  va_end(args);
  return n;
}

int WINAPI MultiByteToWideChar(UINT codepage, DWORD flags, LPCSTR src, int srclen,
                               LPWSTR dst, int dstlen) {
  VESK_EMU_ENTER(MultiByteToWideChar, 0);
  // Output over its own input is refused too.
  if (src == nullptr || srclen == 0 || (dst == nullptr && dstlen != 0) || dstlen < 0 ||
      (dstlen > 0 && static_cast<const void *>(src) == static_cast<const void *>(dst))) {
    detail::set_error(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // Any negative length means the string and its terminator.
  if (srclen < 0) srclen = static_cast<int>(std::strlen(src) + 1);
  const auto *bytes = reinterpret_cast<const unsigned char *>(src);
  switch (codepage) {
    case CP_ACP:
    case 3:  // CP_THREAD_ACP: the same code page for a Western locale
    case 1252:
      return single_byte(kCp1252, flags, bytes, srclen, dst, dstlen);
    case CP_UTF8:
      return utf8(flags, bytes, srclen, dst, dstlen);
    default:
      detail::set_error(ERROR_INVALID_PARAMETER);
      return 0;
  }
}

}  // extern "C"
