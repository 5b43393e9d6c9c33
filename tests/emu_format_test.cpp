// FormatMessageW's formatting: a conformance table of texts, flags and
// arguments with their exact results and counts, as Windows gives them, and
// the buffer rules (too small, exact fit, allocated, arguments consumed).
#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "platform/emulated/seam.h"
#include "platform/platform.h"
#include "support/testlib.h"

namespace emu = vesk::emu;
using vesk::test::Utf8;

namespace {

constexpr DWORD kString = FORMAT_MESSAGE_FROM_STRING;
constexpr DWORD kArray = FORMAT_MESSAGE_ARGUMENT_ARRAY;
constexpr DWORD kIgnore = FORMAT_MESSAGE_IGNORE_INSERTS;
constexpr DWORD kNoWrap = FORMAT_MESSAGE_MAX_WIDTH_MASK;

DWORD_PTR W(const char16_t *s) { return reinterpret_cast<DWORD_PTR>(s); }
DWORD_PTR A(const char *s) { return reinterpret_cast<DWORD_PTR>(s); }

struct Result {
  DWORD count;
  DWORD error;  // the last error when count is 0
  std::u16string text;
};

// Formats through the va_list form; every argument must be pointer-sized.
Result FormatV(DWORD flags, const char16_t *text, DWORD size, ...) {
  std::vector<WCHAR> out(size > 0 ? size : 1, u'x');
  va_list list;
  va_start(list, size);
  SetLastError(0);
  DWORD n = FormatMessageW(kString | flags, text, 0, 0, out.data(), size, &list);
  va_end(list);
  return {n, n ? 0 : GetLastError(), out.data()};
}

Result FormatArray(DWORD flags, const char16_t *text, const std::vector<DWORD_PTR> &args,
                   DWORD size = 256) {
  std::vector<WCHAR> out(size > 0 ? size : 1, u'x');
  out.back() = 0;
  SetLastError(0);
  DWORD n = FormatMessageW(
      kString | kArray | flags, text, 0, 0, out.data(), size,
      args.empty() ? nullptr
                   : reinterpret_cast<va_list *>(const_cast<DWORD_PTR *>(args.data())));
  return {n, n ? 0 : GetLastError(), out.data()};
}

struct Row {
  DWORD flags;
  const char16_t *text;
  std::vector<DWORD_PTR> args;
  const char16_t *expect;  // null: the call fails with `error`
  DWORD error = 0;
};

void Check(const std::vector<Row> &rows) {
  for (const auto &r : rows) {
    SCOPED_TRACE(Utf8(r.text));
    Result got = FormatArray(r.flags, r.text, r.args);
    if (r.expect == nullptr) {
      EXPECT_EQ(got.count, 0u);
      EXPECT_EQ(got.error, r.error);
    } else {
      EXPECT_EQ(Utf8(got.text.c_str()), Utf8(r.expect));
      EXPECT_EQ(got.count, std::u16string(r.expect).size());
    }
  }
}

class FormatTest : public ::testing::Test {
 protected:
  void SetUp() override { emu::reset(); }
  void TearDown() override {
    EXPECT_EQ(emu::live().local_allocs, 0);
    emu::reset();
  }
};

TEST_F(FormatTest, Escapes) {
  Check({
      {0, u"test", {}, u"test"},
      {0, u" %%%% ", {}, u" %% "},
      {0, u" %.%.  %1!d!", {0x1ab}, u" ..  427"},
      {0, u"test%0test", {}, u"test"},
      {0, u"yah%!%0   ", {}, u"yah!"},
      {0, u"% %   ", {}, u"    "},
      {0, u"%n%r%t", {}, u"\r\n\r\t"},
      {0, u"%b%q%Z", {}, u"bqZ"},
      {0, u"", {}, nullptr, ERROR_NO_WORK_DONE},
      {0, u"%0test", {}, nullptr, ERROR_NO_WORK_DONE},
      {0, u"%", {}, nullptr, ERROR_INVALID_PARAMETER},
      {0, u"test%", {}, nullptr, ERROR_INVALID_PARAMETER},
      {0, u"%1", {}, nullptr, ERROR_INVALID_PARAMETER},
      {0, u"%1!d", {5}, nullptr, ERROR_INVALID_PARAMETER},
  });
}

TEST_F(FormatTest, LineBreaksUnderTheWidthByte) {
  Check({
      {0, u"hi\n", {}, u"hi\r\n"},
      {0, u"hi\r\n", {}, u"hi\r\n"},
      {0, u"\r", {}, u"\r\n"},
      {0, u"\r\r\n", {}, u"\r\n\r\n"},
      {0, u"a\rb", {}, u"a\r\nb"},
      {kNoWrap, u"hi\n", {}, u"hi "},
      {kNoWrap, u"hi\r\n", {}, u"hi "},
      {kNoWrap, u"\r", {}, u" "},
      {kNoWrap, u"\r\r\n", {}, u"  "},
      {kNoWrap, u"Disk full.\r\n", {}, u"Disk full. "},
      // %n and %r are hard breaks; %t is a TAB under every width byte.
      {kNoWrap, u"a%nb%rc", {}, u"a\r\nb\rc"},
      {kNoWrap, u"Account:%tAlice%n", {}, u"Account:\tAlice\r\n"},
      {kNoWrap, u"a\r\n%1", {W(u"x\r\ny")}, u"a x\r\ny"},  // inserts are not changed
  });
}

TEST_F(FormatTest, WrapsAtWidths1To254) {
  Check({
      {20, u"short long line", {}, u"short long line"},
      {11, u"short long line", {}, u"short long\r\nline"},
      {10, u"short long line", {}, u"short\r\nlong line"},
      {8, u"shortlon", {}, u"shortlon\r\n"},
      {8, u"shortlongline", {}, u"shortlon\r\ngline"},
      {7, u"short long line", {}, u"short\r\nlong\r\nline"},
      {16, u"short long    line", {}, u"short long\r\nline"},
      {12, u"short long    line", {}, u"short long\r\n  line"},
      {12,
       u"short long    wordlongerthanaline",
       {},
       u"short long\r\n\r\nwordlongerth\r\nanaline"},
      {15, u"   short line", {}, u"   short line"},
      {11, u"   shortlong line", {}, u"\r\nshortlong\r\nline"},
      {11, u"l1%n   shortlong line", {}, u"l1\r\n\r\nshortlong\r\nline"},
      {5, u"                ", {}, u"\r\n\r\n\r\n "},
      {5, u"l1               ", {}, u"l1\r\n\r\n\r\n  "},
      {11, u"short\nlong line", {}, u"short long\r\nline"},
      {8, u"shortlon%n", {}, u"shortlon\r\n\r\n"},
      {10, u"short%nlong line", {}, u"short\r\nlong line"},
      {8, u"short%rlong line", {}, u"short\rlong\r\nline"},
      {11, u"short long\tline", {}, u"short\r\nlong\tline"},
      {11, u"short long-line", {}, u"short\r\nlong-line"},
      {kIgnore | 8, u"short%nlong line%1", {}, u"short\r\nlong\r\nline%1"},
  });
}

TEST_F(FormatTest, IgnoreInsertsKeepsInsertsAndEscapes) {
  Check({
      {kIgnore, u"test%1%2!*.*s!%99", {}, u"test%1%2!*.*s!%99"},
      {kIgnore, u"%%% %.%!", {}, u"%%% %.%!"},
      {kIgnore, u"%1!d!%n%r%t%0tail", {}, u"%1!d!\r\n\r\t"},
      {kIgnore | kNoWrap, u"hi\r\n", {}, u"hi "},
      {kIgnore, u"%", {}, nullptr, ERROR_INVALID_PARAMETER},
  });
}

TEST_F(FormatTest, InsertsAndPrintfFormats) {
  std::vector<DWORD_PTR> twelve;
  for (const char16_t *s :
       {u"a", u"b", u"c", u"d", u"e", u"f", u"g", u"h", u"i", u"j", u"k", u"L"})
    twelve.push_back(W(s));
  Check({
      {0, u"%1!s!", {W(u"test")}, u"test"},
      {0, u"%1%2", {W(u"te"), W(u"st")}, u"test"},
      {0, u"%1%3%2%1", {W(u"t"), W(u"s"), W(u"e")}, u"test"},
      {0, u"%1!ls!%2!ws!%3!S!%4!hs!", {W(u"a"), W(u"b"), A("c"), A("d")}, u"abcd"},
      {0, u"%1!S!", {A("\x80\xe4")}, u"\u20ac\u00e4"},  // code page 1252
      {0, u"%1!c!%2!lc!%3!wc!%4!C!%5!hc!", {'t', 'e', 's', 't', 's'}, u"tests"},
      {0, u"%1!c!", {0x20AC}, u"\u20ac"},
      {0, u"%1!C!", {0x80}, u"\u20ac"},
      {0, u"%1", {0}, u"(null)"},
      {0, u"%1!S!", {0}, u"(null)"},
      {0, u"%12|%123", twelve, u"L|L3"},
      {0, u"%1!d!%2!d!%3!d!", {1, 2, 3}, u"123"},
      {0, u"%1!4d!|%1!-4d!|%2!4d!", {1, 11}, u"   1|1   |  11"},
      {0, u"%1!4x!|%1!4X!|%1!-4X!|%2!4X!", {11, 0x1ab}, u"   b|   B|B   | 1AB"},
      {0, u"%1!4.2u!", {3}, u"  03"},
      {0, u"%1!3s!|%1!-3s!|%2!.3s!", {W(u"t"), W(u"abcdef")}, u"  t|t  |abc"},
      {0,
       u"%1!+d!|%1! d!|%2!05d!|%2!+5d!",
       {5, static_cast<DWORD_PTR>(-42)},
       u"+5| 5|-0042|  -42"},
      {0, u"%1!#x!|%1!#X!|%2!#x!|%3!#o!|%3!o!", {255, 0, 8}, u"0xff|0XFF|0|010|10"},
      {0, u"%1!.0d!|%1!d!", {0}, u"|0"},
      {0, u"%1!d!|%1!u!|%1!hd!|%1!hu!", {0xFFFFFFFFu}, u"-1|4294967295|-1|65535"},
      {0, u"%1!I64u!", {0xFFFFFFFFFFFFFFFFull}, u"18446744073709551615"},
      {0, u"%1!I64d!|%1!lld!|%1!I32d!", {0xFFFFFFFFFFFFFFFFull}, u"-1|-1|-1"},
      {0, u"%1!u!", {0x1FFFFFFFFull}, u"4294967295"},
      {0, u"%1!-5c!|", {'x'}, u"x    |"},
      {0, u"%1!05s!", {W(u"ab")}, u"000ab"},
      {0, u"%1!d! units!", {7}, u"7 units!"},
      {0, u"%1!d units!", {7}, u"7 units"},      // text after the type is kept
      {0, u"%1!f!|%1!q!", {7}, u"%1!f!|%1!q!"},  // formats without a conversion
      // Widths and precisions from the array: the insert's own element first,
      // then the elements after the highest one used.
      {0, u"%1!*s!", {4, W(u"t")}, u"   t"},
      {0, u"%1!*.*u!", {5, 3, 1}, u"  001"},
      {0, u"%1!*.*u!,%1!*.*u!", {6, 4, 2, 5, 3, 1}, u"  0002, 00003"},
      {0, u"%1!*.*u!,%4!*.*u!", {6, 4, 2, 5, 3, 1}, u"  0002,  001"},
      {0, u"%1!*d!|", {static_cast<DWORD_PTR>(-4), 7}, u"7   |"},
  });
}

TEST_F(FormatTest, VaListArguments) {
  Result r = FormatV(0, u"%1!s!|%2|%3!d!", 64, W(u"one"), W(u"two"), DWORD_PTR{3});
  EXPECT_EQ(Utf8(r.text.c_str()), "one|two|3");
  EXPECT_EQ(r.count, 9u);
  r = FormatV(0, u"%2%1", 64, W(u"b"), W(u"a"));
  EXPECT_EQ(Utf8(r.text.c_str()), "ab");
  r = FormatV(0, u"%1", 64, DWORD_PTR{0});
  EXPECT_EQ(Utf8(r.text.c_str()), "(null)");
  // A width or precision shifts the following numbers, as Windows counts.
  r = FormatV(0, u"%1!*.*u!,%1!*.*u!", 64, DWORD_PTR{5}, DWORD_PTR{3}, DWORD_PTR{1},
              DWORD_PTR{4}, DWORD_PTR{2});
  EXPECT_EQ(Utf8(r.text.c_str()), "  001, 0002");
  r = FormatV(0, u"%1!*.*u!,%3!*.*u!", 64, DWORD_PTR{5}, DWORD_PTR{3}, DWORD_PTR{1},
              DWORD_PTR{6}, DWORD_PTR{4}, DWORD_PTR{2});
  EXPECT_EQ(Utf8(r.text.c_str()), "  001,  0002");
  EXPECT_EQ(r.count, 12u);
}

TEST_F(FormatTest, ArrayIsNeverReadPastInsert99) {
  std::vector<DWORD_PTR> args(98, 1);
  args.push_back(0);
  // Width from element 98, the value from element 99.
  EXPECT_EQ(Utf8(FormatArray(0, u"%98!*d!|%99", args).text.c_str()), "0|(null)");
  // Widths taken from elements 100 and 101 would lie past any array an
  // insert can name.
  Result r = FormatArray(0, u"%99!*.*d!", args);
  EXPECT_EQ(r.count, 0u);
  EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  r = FormatArray(0, u"%1!*d!%1!*d!%1!*d!", {2, 3, 4, 5});
  EXPECT_EQ(Utf8(r.text.c_str()), " 3 4 5");
}

// ------------------------------------------------------------------ buffers

TEST_F(FormatTest, BufferTooSmallKeepsTheTruncatedText) {
  WCHAR out[8];
  auto fill = [&] {
    for (auto &c : out) c = u'x';
  };
  struct Case {
    DWORD size;
    DWORD count;
    DWORD error;
    std::u16string buffer;  // the first 6 units afterwards
  } cases[] = {
      {0, 0, ERROR_INSUFFICIENT_BUFFER, u"xxxxxx"},
      {1, 0, ERROR_INSUFFICIENT_BUFFER, std::u16string(u"\0xxxxx", 6)},
      {4, 0, ERROR_INSUFFICIENT_BUFFER, std::u16string(u"tes\0xx", 6)},
      {5, 4, 0, std::u16string(u"test\0x", 6)},  // exact fit: text and terminator
  };
  for (const auto &c : cases) {
    fill();
    SetLastError(0);
    DWORD n = FormatMessageW(kString, u"test", 0, 0, out, c.size, nullptr);
    EXPECT_EQ(n, c.count) << c.size;
    if (n == 0) {
      EXPECT_EQ(GetLastError(), c.error) << c.size;
    }
    EXPECT_EQ(std::u16string(out, 6), c.buffer) << c.size;
  }
  // Under a wrapping width the buffer holds the beginning of the wrapped
  // text, line break included.
  fill();
  SetLastError(0);
  EXPECT_EQ(FormatMessageW(kString | 7, u"short long line", 0, 0, out, 7, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::u16string(out, 8), std::u16string(u"short\r\0x", 8));
  // Failures other than the size leave what was written, unterminated, and
  // an insert without arguments leaves the buffer untouched.
  fill();
  EXPECT_EQ(FormatMessageW(kString, u"te%", 0, 0, out, 8, nullptr), 0u);
  EXPECT_EQ(std::u16string(out, 6), u"texxxx");
  fill();
  EXPECT_EQ(FormatMessageW(kString, u"%1", 0, 0, out, 8, nullptr), 0u);
  EXPECT_EQ(std::u16string(out, 6), u"xxxxxx");
}

TEST_F(FormatTest, ArgumentsAreConsumedUpToTheOverflow) {
  auto run = [](const char16_t *text, ...) {
    va_list list;
    va_start(list, text);
    WCHAR out[1] = {u'x'};
    SetLastError(0);
    DWORD n = FormatMessageW(kString, text, 0, 0, out, 1, &list);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(out[0], 0);
    auto *next = va_arg(list, const char16_t *);
    va_end(list);
    return std::u16string(next);
  };
  EXPECT_EQ(run(u"%1!s! %2!s!", u"eaten", u"unused"), u"unused");
}

TEST_F(FormatTest, AllocatedBuffer) {
  for (DWORD size : {0u, 4u, 5u, 1024u}) {
    WCHAR *buf = reinterpret_cast<WCHAR *>(0x1);
    DWORD n = FormatMessageW(kString | FORMAT_MESSAGE_ALLOCATE_BUFFER, u"test", 0, 0,
                             reinterpret_cast<LPWSTR>(&buf), size, nullptr);
    ASSERT_EQ(n, 4u);
    EXPECT_EQ(Utf8(buf), "test");
    EXPECT_EQ(LocalFree(buf), nullptr);
  }
  WCHAR *buf = reinterpret_cast<WCHAR *>(0x1);
  SetLastError(0);
  EXPECT_EQ(FormatMessageW(kString | FORMAT_MESSAGE_ALLOCATE_BUFFER, u"", 0, 0,
                           reinterpret_cast<LPWSTR>(&buf), 0, nullptr),
            0u);
  EXPECT_EQ(buf, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_WORK_DONE));
  // A long result: far past any first guess of the size.
  std::u16string big(100000, u'a');
  for (size_t i = 0; i < big.size(); i += 7) big[i] = u' ';
  std::vector<DWORD_PTR> args{W(big.c_str())};
  DWORD n = FormatMessageW(kString | kArray | FORMAT_MESSAGE_ALLOCATE_BUFFER, u"<%1>", 0,
                           0, reinterpret_cast<LPWSTR>(&buf), 0,
                           reinterpret_cast<va_list *>(args.data()));
  ASSERT_EQ(n, big.size() + 2);
  EXPECT_EQ(std::u16string(buf, n), u"<" + big + u">");
  LocalFree(buf);
}

TEST_F(FormatTest, BadArguments) {
  WCHAR out[16];
  struct Case {
    DWORD flags;
    LPWSTR buffer;
    DWORD error;
  } cases[] = {
      {0, out, ERROR_INVALID_PARAMETER},  // no source
      {kString, nullptr, ERROR_INVALID_PARAMETER},
      {FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_INVALID_PARAMETER},
      {FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
       ERROR_INVALID_PARAMETER},
      // The emulated system holds no message tables of its own.
      {FORMAT_MESSAGE_FROM_SYSTEM, out, ERROR_MR_MID_NOT_FOUND},
      // The program itself has no resources.
      {FORMAT_MESSAGE_FROM_HMODULE, out, ERROR_RESOURCE_DATA_NOT_FOUND},
  };
  for (const auto &c : cases) {
    SetLastError(0);
    EXPECT_EQ(FormatMessageW(c.flags, nullptr, 1, 0, c.buffer, 16, nullptr), 0u);
    EXPECT_EQ(GetLastError(), c.error) << c.flags;
  }
  // A string wins over a module and the system.
  DWORD n =
      FormatMessageW(kString | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM,
                     u"s", 1, 0, out, 16, nullptr);
  EXPECT_EQ(n, 1u);
}

}  // namespace

namespace {

// An argument array element read as a number that holds an address in the
// process (an insertion string's, say) prints its place in the array: the
// same call gives the same text on every run.  Numbers print as numbers.
TEST_F(FormatTest, AddressesReadAsNumbersPrintTheirPlaceInTheArray) {
  static const char16_t text[] = u"text";
  const auto address = reinterpret_cast<DWORD_PTR>(text);
  const std::u16string zeros(2 * sizeof(void *) - 1, u'0');
  Result r =
      FormatArray(0, u"%1!d!|%2!d!|%1!s!|%3!p!|%3!X!|%2!p!", {address, 42, address});
  EXPECT_EQ(r.text, u"1|42|text|" + zeros + u"3|3|" + zeros.substr(1) + u"2A");
  // A width or precision taken from the array as well.
  r = FormatArray(0, u"[%1!*s!][%3!.*s!]", {address, address, address, address});
  EXPECT_EQ(r.text, u"[text][tex]");
  r = FormatArray(0, u"[%1!*s!]", {7, address});
  EXPECT_EQ(r.text, u"[   text]");
  // A character conversion.
  r = FormatArray(0, u"%2!c!", {address, address});
  EXPECT_EQ(r.text, std::u16string(1, u'\x02'));
}

}  // namespace
