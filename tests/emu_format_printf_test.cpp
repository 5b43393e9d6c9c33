// Insert formats whose results come from the printf behind FormatMessageW on
// a real Win32 implementation (the corpus run under Wine): empty bangs print
// nothing but use up their argument, and "hh" is read as "h".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/emulated/seam.h"
#include "platform/platform.h"

namespace {

struct Formatted {
  DWORD count;
  DWORD error;
  std::u16string text;
};

Formatted Format(const char16_t *text, std::vector<DWORD_PTR> args) {
  vesk::emu::reset();
  WCHAR out[64] = {};
  SetLastError(0);
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                           text, 0, 0, out, 64, reinterpret_cast<va_list *>(args.data()));
  return {n, n ? 0 : GetLastError(), out};
}

TEST(FormatPrintf, EmptyBangsPrintNothing) {
  const char16_t word[] = u"word";
  const DWORD_PTR w = reinterpret_cast<DWORD_PTR>(word);
  Formatted r = Format(u"[%1!!]", {w});
  EXPECT_EQ(r.text, u"[]");
  EXPECT_EQ(r.count, 2u);
  // Alone it leaves an empty result, which FormatMessageW reports as such.
  r = Format(u"%1!!", {w});
  EXPECT_EQ(r.count, 0u);
  EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_NO_WORK_DONE));
  // It is still an insert: without arguments the call fails.
  WCHAR out[8] = {};
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_STRING, u"%1!!", 0, 0, out, 8, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(FormatPrintf, DoubleHReadsAsShort) {
  EXPECT_EQ(Format(u"%1!hhx!", {0x12D687}).text, u"d687");
  EXPECT_EQ(Format(u"%1!hhd!", {0xFFFF}).text, u"-1");
  EXPECT_EQ(Format(u"%1!hhu!", {0x1FFFF}).text, u"65535");
}

}  // namespace
