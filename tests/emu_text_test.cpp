// The emulated text calls against Windows' behaviour: the lstr family,
// wsprintfW/wvsprintfW (conversions, the 1024-unit limit) and
// MultiByteToWideChar (code page 1252, UTF-8, buffer and parameter errors).
// Expected values follow Wine's conformance tests (user32/tests/wsprintf.c,
// kernel32/tests/codepage.c) and results recorded on Windows 10.
#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <functional>
#include <string>
#include <vector>

#include "platform/emulated/seam.h"
#include "platform/platform.h"

namespace emu = vesk::emu;

namespace {

constexpr DWORD kSentinelError = 0xDEADBEEF;
constexpr WCHAR kFill = 0x7F7F;

std::string U8(std::u16string_view s) { return emu::to_utf8(s); }

class EmuTextTest : public ::testing::Test {
 protected:
  void SetUp() override { emu::reset(); }
  void TearDown() override { emu::reset(); }
};

// ------------------------------------------------------------------ lstr

TEST_F(EmuTextTest, LstrlenCountsUnitsAndTakesNullAsEmptyWithoutAnError) {
  SetLastError(kSentinelError);
  EXPECT_EQ(lstrlenW(nullptr), 0);
  EXPECT_EQ(lstrlenW(u""), 0);
  EXPECT_EQ(lstrlenW(u"hello"), 5);
  EXPECT_EQ(lstrlenW(u"ab\0c"), 2);
  EXPECT_EQ(lstrlenW(u"\u4e2d\U0001F600"), 3);  // a surrogate pair is two units
  EXPECT_EQ(GetLastError(), kSentinelError);
}

TEST_F(EmuTextTest, LstrcpyAndLstrcatCopyWithTheTerminatorAndRefuseNull) {
  WCHAR buf[16];
  std::fill(std::begin(buf), std::end(buf), kFill);
  SetLastError(kSentinelError);
  EXPECT_EQ(lstrcpyW(buf, u"abc"), buf);
  EXPECT_EQ(U8(buf), "abc");
  EXPECT_EQ(buf[4], kFill);
  EXPECT_EQ(lstrcatW(buf, u"de"), buf);
  EXPECT_EQ(U8(buf), "abcde");
  EXPECT_EQ(buf[6], kFill);
  EXPECT_EQ(lstrcatW(buf, u""), buf);
  EXPECT_EQ(U8(buf), "abcde");
  EXPECT_EQ(GetLastError(), kSentinelError);

  // Windows catches the fault of a null pointer and reports a bad parameter.
  const std::pair<LPWSTR, LPCWSTR> nulls[] = {{buf, nullptr}, {nullptr, u"x"}};
  for (auto [dst, src] : nulls) {
    for (auto *call : {&lstrcpyW, &lstrcatW}) {
      SetLastError(kSentinelError);
      EXPECT_EQ(call(dst, src), nullptr);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
  }
  EXPECT_EQ(U8(buf), "abcde");
}

TEST_F(EmuTextTest, LstrcpynCountsTheTerminatorAndAlwaysWritesIt) {
  WCHAR buf[16];
  auto fill = [&] { std::fill(std::begin(buf), std::end(buf), kFill); };
  SetLastError(kSentinelError);

  fill();
  EXPECT_EQ(lstrcpynW(buf, u"abcdef", 4), buf);
  EXPECT_EQ(U8(buf), "abc");
  EXPECT_EQ(buf[4], kFill);

  fill();
  EXPECT_EQ(lstrcpynW(buf, u"abcdef", 7), buf);  // exactly enough
  EXPECT_EQ(U8(buf), "abcdef");
  EXPECT_EQ(buf[7], kFill);

  fill();
  EXPECT_EQ(lstrcpynW(buf, u"abcdef", 6), buf);  // one short
  EXPECT_EQ(U8(buf), "abcde");
  EXPECT_EQ(buf[6], kFill);

  fill();
  EXPECT_EQ(lstrcpynW(buf, u"abcdef", 1), buf);  // room for the terminator only
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(buf[1], kFill);

  fill();
  EXPECT_EQ(lstrcpynW(buf, u"ab", 10), buf);  // stops at the source's end
  EXPECT_EQ(U8(buf), "ab");
  EXPECT_EQ(buf[3], kFill);

  // The count is unsigned: 0 writes nothing at all, a negative one does not
  // limit the copy.
  fill();
  EXPECT_EQ(lstrcpynW(buf, u"abc", 0), buf);
  EXPECT_EQ(buf[0], kFill);
  fill();
  EXPECT_EQ(lstrcpynW(buf, u"abcdef", -1), buf);
  EXPECT_EQ(U8(buf), "abcdef");
  EXPECT_EQ(buf[7], kFill);
  EXPECT_EQ(GetLastError(), kSentinelError);

  // A null source is read only when there is room for a character.
  fill();
  EXPECT_EQ(lstrcpynW(buf, nullptr, 1), buf);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(GetLastError(), kSentinelError);
  EXPECT_EQ(lstrcpynW(buf, nullptr, 2), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(kSentinelError);
  EXPECT_EQ(lstrcpynW(nullptr, u"abc", 4), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(EmuTextTest, ComparisonsReturnMinusOneZeroOrOneAndOrderNullFirst) {
  EXPECT_EQ(lstrcmpiW(u"Application", u"APPLICATION"), 0);
  EXPECT_EQ(lstrcmpiW(u"\u00e4\u00f6\u00fc\u00ff", u"\u00c4\u00d6\u00dc\u0178"), 0);
  EXPECT_EQ(lstrcmpiW(u"\u0436\u0451", u"\u0416\u0401"), 0);  // Cyrillic
  EXPECT_EQ(lstrcmpiW(u"abc", u"abd"), -1);
  EXPECT_EQ(lstrcmpiW(u"abd", u"ABC"), 1);
  EXPECT_EQ(lstrcmpiW(u"ab", u"abc"), -1);
  EXPECT_EQ(lstrcmpiW(u"abc", u"ab"), 1);

  EXPECT_EQ(lstrcmpW(u"System", u"System"), 0);
  EXPECT_NE(lstrcmpW(u"System", u"SYSTEM"), 0);
  EXPECT_EQ(lstrcmpW(u"abc", u"abd"), -1);
  EXPECT_EQ(lstrcmpW(u"abc", u"ab"), 1);

  for (auto *cmp : {&lstrcmpW, &lstrcmpiW}) {
    EXPECT_EQ(cmp(nullptr, nullptr), 0);
    EXPECT_EQ(cmp(nullptr, u""), -1);
    EXPECT_EQ(cmp(u"", nullptr), 1);
    EXPECT_EQ(cmp(u"", u""), 0);
  }
}

// ------------------------------------------------------------------ wsprintf

std::u16string Format(const char16_t *fmt, ...) {
  std::vector<WCHAR> buf(1100, kFill);
  va_list args;
  va_start(args, fmt);
  int n = wvsprintfW(buf.data(), fmt, args);
  va_end(args);
  std::u16string out(buf.data());
  EXPECT_EQ(n, static_cast<int>(out.size())) << U8(out);
  return out;
}

TEST_F(EmuTextTest, FormatsIntegersWithFlagsWidthAndPrecision) {
  WCHAR buf[64];
  EXPECT_EQ(wsprintfW(buf, u"%010ld", -1), 10);
  EXPECT_EQ(U8(buf), "-000000001");

  EXPECT_EQ(U8(Format(u"%d %i %u", 42, -7, 42u)), "42 -7 42");
  EXPECT_EQ(U8(Format(u"%d", INT_MIN)), "-2147483648");
  EXPECT_EQ(U8(Format(u"%u", -1)), "4294967295");
  EXPECT_EQ(U8(Format(u"%x %X", 0xBEEFu, 0xBEEFu)), "beef BEEF");
  EXPECT_EQ(U8(Format(u"%x", -1)), "ffffffff");
  EXPECT_EQ(U8(Format(u"%ld %lu %lx", static_cast<LONG>(-5),
                      static_cast<DWORD>(4000000000u), static_cast<DWORD>(0xCAFEu))),
            "-5 4000000000 cafe");
  EXPECT_EQ(U8(Format(u"%hd %hu", 5, 6)), "5 6");
  EXPECT_EQ(U8(Format(u"[%5d][%-5d][%05d][%05d]", 42, 42, 42, -42)),
            "[   42][42   ][00042][-0042]");
  EXPECT_EQ(U8(Format(u"[%.5d][%8.5u]", 42, 42u)), "[00042][   00042]");
  EXPECT_EQ(U8(Format(u"[%#x][%#X]", 255u, 255u)), "[0xff][0XFF]");
  // The sub-authorities of a SID, as the account code formats them.
  EXPECT_EQ(U8(Format(u"S-1-%lu-%lu-%lu", static_cast<DWORD>(5), static_cast<DWORD>(21),
                      static_cast<DWORD>(4294967295u))),
            "S-1-5-21-4294967295");
}

TEST_F(EmuTextTest, Formats64BitAndPointerSizedValuesAsUser32Does) {
  struct Case {
    const char16_t *fmt;
    unsigned long long value;
    const char *expected;
  };
  // user32/tests/wsprintf.c i64_formats, 64-bit build.
  const Case cases[] = {
      {u"%I64X", (0x12345ULL << 32) | 0x67890a, "123450067890A"},
      {u"%I32X", (0x12345ULL << 32) | 0x67890a, "67890A"},
      {u"%I64d", 543210ULL * 1000000, "543210000000"},
      {u"%I64X", static_cast<unsigned long long>(-0x12345LL), "FFFFFFFFFFFEDCBB"},
      {u"%I32x", static_cast<unsigned long long>(-0x12345LL), "fffedcbb"},
      {u"%I64u", static_cast<unsigned long long>(-123LL), "18446744073709551493"},
      {u"%Id", static_cast<unsigned long long>(-12345LL), "-12345"},
      {u"%Ix", (0x12345ULL << 32) | 0x67890a, "123450067890a"},
      {u"%p", static_cast<unsigned long long>(-0x12345LL), "FFFFFFFFFFFEDCBB"},
  };
  static_assert(sizeof(void *) == 8, "the expected values are those of a 64-bit build");
  for (const auto &c : cases) {
    WCHAR buf[64];
    int n = wsprintfW(buf, c.fmt, c.value);
    EXPECT_EQ(U8(buf), c.expected) << U8(c.fmt);
    EXPECT_EQ(n, static_cast<int>(std::string(c.expected).size())) << U8(c.fmt);
  }
  EXPECT_EQ(U8(Format(u"%I64d", static_cast<long long>(LLONG_MIN))),
            "-9223372036854775808");
}

TEST_F(EmuTextTest, FormatsCharactersAndBothWidthsOfString) {
  // 16-bit text is copied unit by unit, surrogates and all.
  const char16_t *wide = u"\u00e9\u20ac\u4e2d\U0001F600!";
  EXPECT_EQ(Format(u"<%s>", wide), u"<\u00e9\u20ac\u4e2d\U0001F600!>");
  EXPECT_EQ(Format(u"%ls|%ws|%lS", wide, wide, wide),
            u"\u00e9\u20ac\u4e2d\U0001F600!|\u00e9\u20ac\u4e2d\U0001F600!|"
            u"\u00e9\u20ac\u4e2d\U0001F600!");
  // 8-bit text widens byte by byte.
  EXPECT_EQ(Format(u"%hs|%S", "caf\xe9", "ok"), u"caf\u00e9|ok");
  EXPECT_EQ(Format(u"%c%lc%wc%C%hc", u'\u20ac', u'x', u'y', 'z', 0xE9),
            u"\u20acxyz\u00e9");
  EXPECT_EQ(U8(Format(u"[%5s][%-5s][%.2s][%5.1s]", u"ab", u"ab", u"abcdef", u"xyz")),
            "[   ab][ab   ][ab][    x]");
  EXPECT_EQ(U8(Format(u"[%3c][%-3c]", u'a', u'b')), "[  a][b  ]");
  // A null string prints as "(null)" in either width, cut like any other.
  EXPECT_EQ(U8(Format(u"%s|%hs|%.3s", static_cast<const char16_t *>(nullptr),
                      static_cast<const char *>(nullptr),
                      static_cast<const char16_t *>(nullptr))),
            "(null)|(null)|(nu");
}

TEST_F(EmuTextTest, PercentSignsAndUnknownConversions) {
  EXPECT_EQ(U8(Format(u"100%%")), "100%");
  EXPECT_EQ(U8(Format(u"%%d")), "%d");
  // An unknown conversion prints its character and takes no argument.
  EXPECT_EQ(U8(Format(u"%y%d", 7)), "y7");
  // A lone percent sign at the end prints nothing.
  EXPECT_EQ(U8(Format(u"ab%")), "ab");
}

TEST_F(EmuTextTest, OutputStopsAt1023UnitsAndTheTerminator) {
  std::vector<WCHAR> buf(1100, kFill);
  std::u16string text(2000, u'b');

  // Cut: 1023 units, the terminator, nothing beyond; the limit is returned.
  EXPECT_EQ(wsprintfW(buf.data(), u"%s", text.c_str()), 1024);
  EXPECT_EQ(buf[1022], u'b');
  EXPECT_EQ(buf[1023], 0);
  EXPECT_EQ(buf[1024], kFill);
  EXPECT_EQ(lstrlenW(buf.data()), 1023);

  // Literal text is cut the same way.
  std::fill(buf.begin(), buf.end(), kFill);
  EXPECT_EQ(wsprintfW(buf.data(), text.c_str()), 1024);
  EXPECT_EQ(buf[1023], 0);
  EXPECT_EQ(buf[1024], kFill);

  // Output that ends just below the limit reports its length; output that
  // reaches 1023 units reports the limit although nothing was cut.
  std::fill(buf.begin(), buf.end(), kFill);
  EXPECT_EQ(wsprintfW(buf.data(), u"%s", text.substr(0, 1022).c_str()), 1022);
  EXPECT_EQ(buf[1022], 0);
  EXPECT_EQ(wsprintfW(buf.data(), u"%s", text.substr(0, 1023).c_str()), 1024);
  EXPECT_EQ(buf[1023], 0);

  // A field is fitted into the room left: its width and its digits are cut,
  // a right-aligned field keeps its text rather than its padding.
  std::u16string lead(1020, u'a');
  std::fill(buf.begin(), buf.end(), kFill);
  EXPECT_EQ(wsprintfW(buf.data(), (lead + u"%10s").c_str(), u"xyz"), 1024);
  EXPECT_EQ(std::u16string(buf.data() + 1020), u"xyz");
  EXPECT_EQ(wsprintfW(buf.data(), (lead + u"%d").c_str(), 123456), 1024);
  EXPECT_EQ(std::u16string(buf.data() + 1020), u"123");
  EXPECT_EQ(wsprintfW(buf.data(), (lead + u"%-8d|").c_str(), 5), 1024);
  EXPECT_EQ(std::u16string(buf.data() + 1020), u"5  ");

  // Near the limit a field with the 0x prefix must still not run past the
  // buffer (the prefix is not part of the field's width).
  std::u16string lead2(1016, u'a');
  struct Prefixed {
    const char16_t *fmt;
    int result;
  };
  for (const auto &c : {Prefixed{u"%#10x", 1024}, Prefixed{u"%#010x", 1024},
                        Prefixed{u"%#5X", 1024}, Prefixed{u"%#x", 1022}}) {
    std::fill(buf.begin(), buf.end(), kFill);
    EXPECT_EQ(wsprintfW(buf.data(), (lead2 + c.fmt).c_str(), 0xABCDu), c.result)
        << U8(c.fmt);
    EXPECT_EQ(buf[c.result == 1024 ? 1023 : c.result], 0) << U8(c.fmt);
    for (size_t i = 1024; i < buf.size(); ++i) ASSERT_EQ(buf[i], kFill) << U8(c.fmt);
  }
  EXPECT_EQ(std::u16string(buf.data() + 1016), u"0xabcd");
}

int VFormat(WCHAR *buf, const char16_t *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int n = wvsprintfW(buf, fmt, args);
  va_end(args);
  return n;
}

TEST_F(EmuTextTest, FormattingFaultsFailWithTheInjectedCode) {
  WCHAR buf[8] = {kFill, kFill};
  emu::fail(emu::Call::wsprintfW, 1234, 1);
  EXPECT_EQ(wsprintfW(buf, u"%d", 5), 0);
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_EQ(buf[0], kFill);
  EXPECT_EQ(wsprintfW(buf, u"%d", 5), 1);
  EXPECT_EQ(U8(buf), "5");
  // wsprintfW is counted as itself, not as wvsprintfW.
  EXPECT_EQ(emu::calls(emu::Call::wsprintfW), 2u);
  EXPECT_EQ(emu::calls(emu::Call::wvsprintfW), 0u);

  buf[0] = kFill;
  emu::fail(emu::Call::wvsprintfW, 99, 1);
  SetLastError(kSentinelError);
  EXPECT_EQ(VFormat(buf, u"%d", 7), 0);
  EXPECT_EQ(GetLastError(), 99u);
  EXPECT_EQ(buf[0], kFill);
  EXPECT_EQ(VFormat(buf, u"%d", 7), 1);
  EXPECT_EQ(U8(buf), "7");
  EXPECT_EQ(emu::calls(emu::Call::wvsprintfW), 2u);
}

// ------------------------------------------------------------------ MultiByteToWideChar

TEST_F(EmuTextTest, CodePage1252MapsAll32BytesFrom80To9F) {
  unsigned char src[32];
  for (int i = 0; i < 32; ++i) src[i] = static_cast<unsigned char>(0x80 + i);
  // unicode.org CP1252.TXT, with Windows' C1 controls for 81, 8D, 8F, 90, 9D.
  const std::u16string expected =
      u"\u20ac\u0081\u201a\u0192\u201e\u2026\u2020\u2021"
      u"\u02c6\u2030\u0160\u2039\u0152\u008d\u017d\u008f"
      u"\u0090\u2018\u2019\u201c\u201d\u2022\u2013\u2014"
      u"\u02dc\u2122\u0161\u203a\u0153\u009d\u017e\u0178";
  for (DWORD flags : {DWORD{0}, DWORD{MB_ERR_INVALID_CHARS}}) {
    for (UINT cp : {UINT{CP_ACP}, UINT{1252}}) {
      WCHAR dst[33];
      std::fill(std::begin(dst), std::end(dst), kFill);
      SetLastError(kSentinelError);
      EXPECT_EQ(MultiByteToWideChar(cp, flags, reinterpret_cast<const char *>(src), 32,
                                    dst, 32),
                32);
      EXPECT_EQ(GetLastError(), kSentinelError);
      EXPECT_EQ(std::u16string(dst, 32), expected) << "flags " << flags << " cp " << cp;
      EXPECT_EQ(dst[32], kFill);
    }
  }
  // The other bytes are the code points of the same value.
  char all[256];
  for (int i = 0; i < 256; ++i) all[i] = static_cast<char>(i);
  WCHAR wide[256];
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, all, 256, wide, 256), 256);
  for (int i = 0; i < 256; ++i) {
    if (i < 0x80 || i >= 0xA0) {
      EXPECT_EQ(wide[i], static_cast<WCHAR>(i)) << i;
    }
  }
}

TEST_F(EmuTextTest, MultiByteLengthsBuffersAndTerminators) {
  WCHAR dst[16];
  auto fill = [&] { std::fill(std::begin(dst), std::end(dst), kFill); };
  SetLastError(kSentinelError);

  // -1 (any negative length) converts the terminator too.
  fill();
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "foobar", -1, dst, 16), 7);
  EXPECT_EQ(U8(dst), "foobar");
  EXPECT_EQ(dst[7], kFill);
  fill();
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "foobar", -2002, dst, 10), 7);
  EXPECT_EQ(U8(dst), "foobar");
  // An explicit length adds no terminator.
  fill();
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "foobar", 3, dst, 16), 3);
  EXPECT_EQ(dst[2], u'o');
  EXPECT_EQ(dst[3], kFill);

  // No buffer: the size needed, nothing written.
  fill();
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "foobar", -1, nullptr, 0), 7);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "foobar", -1, dst, 0), 7);
  EXPECT_EQ(dst[0], kFill);
  EXPECT_EQ(GetLastError(), kSentinelError);

  // Too small: fails, after filling what room there is.
  fill();
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "foobar", -1, dst, 6), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::u16string(dst, 6), u"foobar");
  EXPECT_EQ(dst[6], kFill);
}

TEST_F(EmuTextTest, MultiByteRefusesBadParameters) {
  WCHAR dst[16];
  std::fill(std::begin(dst), std::end(dst), kFill);
  struct Case {
    const char *what;
    UINT cp;
    DWORD flags;
    const char *src;
    int srclen;
    WCHAR *dst;
    int dstlen;
    DWORD error;
  };
  const Case cases[] = {
      {"null source", CP_ACP, 0, nullptr, -1, dst, 16, ERROR_INVALID_PARAMETER},
      {"source length 0", CP_ACP, 0, "abc", 0, dst, 16, ERROR_INVALID_PARAMETER},
      {"null output with a length", CP_ACP, 0, "abc", -1, nullptr, 16,
       ERROR_INVALID_PARAMETER},
      {"negative output length", CP_ACP, 0, "abc", -1, dst, -1, ERROR_INVALID_PARAMETER},
      {"unknown code page", 12345, 0, "abc", -1, dst, 16, ERROR_INVALID_PARAMETER},
      {"unknown flag", CP_ACP, 0x10, "abc", -1, dst, 16, 1004 /* ERROR_INVALID_FLAGS */},
      {"unknown flag, UTF-8", CP_UTF8, 0x10, "abc", -1, dst, 16, 1004},
  };
  for (const auto &c : cases) {
    SetLastError(kSentinelError);
    EXPECT_EQ(MultiByteToWideChar(c.cp, c.flags, c.src, c.srclen, c.dst, c.dstlen), 0)
        << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }
  EXPECT_EQ(dst[0], kFill);

  // Converting a buffer over itself is refused.
  WCHAR same[4] = {0, kFill, kFill, kFill};
  SetLastError(kSentinelError);
  EXPECT_EQ(
      MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char *>(same), 1, same, 1),
      0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// Windows 10 results for UTF-8 (ReactOS apitests kernel32/MultiByteToWideChar.c).
TEST_F(EmuTextTest, Utf8ReplacesBadSequencesAsWindowsDoes) {
  struct Case {
    const char *src;
    int srclen;
    DWORD flags;
    int dstlen;
    int result;
    DWORD error;
    std::u16string written;
  };
  const DWORD E = MB_ERR_INVALID_CHARS;
  const DWORD S = kSentinelError;
  const Case cases[] = {
      {"a", 2, 0, 4, 2, S, {u'a', 0}},
      {"a", 2, 0, 1, 0, ERROR_INSUFFICIENT_BUFFER, u"a"},
      {"\xC0", 2, 0, 4, 2, S, {0xFFFD, 0}},
      {"\xC0\xC0\x80", 4, 0, 5, 4, S, {0xFFFD, 0xFFFD, 0xFFFD, 0}},
      {"\xE0\xC0", 3, 0, 4, 3, S, {0xFFFD, 0xFFFD, 0}},
      {"\xE0\x20\xC0", 4, 0, 5, 4, S, {0xFFFD, 0x20, 0xFFFD, 0}},
      {"\x82\xA0\x82\xA2", -1, 0, 5, 5, S, {0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0}},
      // Rejected, but what was converted has been written.
      {"\xC0\xC0\x80",
       4,
       E,
       5,
       0,
       ERROR_NO_UNICODE_TRANSLATION,
       {0xFFFD, 0xFFFD, 0xFFFD, 0}},
      {"\xE0\x20\xC0",
       4,
       E,
       5,
       0,
       ERROR_NO_UNICODE_TRANSLATION,
       {0xFFFD, 0x20, 0xFFFD, 0}},
      // A short buffer is reported before a bad sequence.
      {"\xE0\xC0", 3, E, 1, 0, ERROR_INSUFFICIENT_BUFFER, {0xFFFD}},
      {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
       10,
       0,
       4,
       4,
       S,
       {0x65E5, 0x672C, 0x8A9E, 0}},
      {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", 10, E, 1, 0, ERROR_INSUFFICIENT_BUFFER,
       u"\u65e5"},
      // A sequence cut by the end of the input.
      {"\xE6\x97\xA5", 1, 0, 4, 1, S, {0xFFFD}},
      {"\xE6\x97\xA5", 1, E, 4, 0, ERROR_NO_UNICODE_TRANSLATION, {0xFFFD}},
      // Overlong forms, surrogates and values beyond U+10FFFF, taken apart
      // as Wine's decoder (which follows Windows) does.
      {"\xF8\xA3\xA3\xA3\xA3", 5, 0, 8, 5, S, {0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}},
      {"\xE0\x80\xAF", 3, 0, 8, 2, S, {0xFFFD, 0xFFFD}},
      {"\xED\xA0\x80", 3, 0, 8, 2, S, {0xFFFD, 0xFFFD}},
      {"\xF4\x90\x80\x80", 4, 0, 8, 3, S, {0xFFFD, 0xFFFD, 0xFFFD}},
      // Four bytes become a surrogate pair.
      {"\xF0\x9F\x98\x80!", 5, 0, 8, 3, S, u"\U0001F600!"},
      {"\xC3\xA9\xE2\x82\xAC", 5, 0, 8, 2, S, u"\u00e9\u20ac"},
  };
  for (const auto &c : cases) {
    WCHAR dst[10];
    std::fill(std::begin(dst), std::end(dst), kFill);
    SetLastError(kSentinelError);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, c.flags, c.src, c.srclen, dst, c.dstlen),
              c.result)
        << c.src;
    EXPECT_EQ(GetLastError(), c.error) << c.src;
    EXPECT_EQ(std::u16string(dst, c.written.size()), c.written) << c.src;
    EXPECT_EQ(dst[c.written.size()], kFill) << c.src;

    // Asking for the size gives the same count (or the same rejection).
    if (c.error != ERROR_INSUFFICIENT_BUFFER) {
      SetLastError(kSentinelError);
      EXPECT_EQ(MultiByteToWideChar(CP_UTF8, c.flags, c.src, c.srclen, nullptr, 0),
                c.result)
          << c.src;
      EXPECT_EQ(GetLastError(), c.error) << c.src;
    }
  }
}

TEST_F(EmuTextTest, Utf8NeverReturnsHalfASurrogatePair) {
  WCHAR dst[4] = {kFill, kFill, kFill, kFill};
  SetLastError(kSentinelError);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", 4, dst, 1), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", 4, dst, 2), 2);
  EXPECT_EQ(dst[0], 0xD83D);
  EXPECT_EQ(dst[1], 0xDE00);
}

// ------------------------------------------------------------------ faults

TEST_F(EmuTextTest, InjectedFaultsFailEachTextCallAndAreCounted) {
  WCHAR buf[8] = {u'x', 0};
  const DWORD code = 0xE0000001;
  struct Case {
    emu::Call call;
    std::function<bool()> fails;  // true when the call returned its failure value
  };
  const Case cases[] = {
      {emu::Call::lstrlenW, [&] { return lstrlenW(u"abc") == 0; }},
      {emu::Call::lstrcpyW, [&] { return lstrcpyW(buf, u"abc") == nullptr; }},
      {emu::Call::lstrcpynW, [&] { return lstrcpynW(buf, u"abc", 4) == nullptr; }},
      {emu::Call::lstrcatW, [&] { return lstrcatW(buf, u"abc") == nullptr; }},
      {emu::Call::lstrcmpiW, [&] { return lstrcmpiW(u"a", u"b") == 0; }},
      {emu::Call::lstrcmpW, [&] { return lstrcmpW(u"a", u"b") == 0; }},
      {emu::Call::MultiByteToWideChar,
       [&] { return MultiByteToWideChar(CP_ACP, 0, "abc", -1, buf, 8) == 0; }},
  };
  for (const auto &c : cases) {
    emu::reset();
    emu::fail(c.call, code, 1);
    SetLastError(kSentinelError);
    EXPECT_TRUE(c.fails()) << emu::call_name(c.call);
    EXPECT_EQ(GetLastError(), code) << emu::call_name(c.call);
    EXPECT_FALSE(c.fails()) << emu::call_name(c.call) << " fails only once";
    EXPECT_EQ(emu::calls(c.call), 2u) << emu::call_name(c.call);
  }
}

}  // namespace
