// The emulated Automation calls against oleaut32: the BSTR layout and its
// allocation calls, VariantInit/VariantClear (Wine vartest test_VariantClear)
// and DosDateTimeToVariantTime (Wine vartest test_DosDateTimeToVariantTime).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/emulated/seam.h"
#include "platform/platform.h"

namespace emu = vesk::emu;

namespace {

constexpr DWORD kSentinelError = 0xDEADBEEF;
constexpr VARTYPE kByRef = 0x4000;
constexpr VARTYPE kArray = 0x2000;
constexpr VARTYPE kVector = 0x1000;
constexpr VARTYPE kReserved = 0x8000;

// The 32-bit count in front of a BSTR's text.
uint32_t ByteCount(BSTR s) {
  uint32_t n;
  std::memcpy(&n, reinterpret_cast<const char *>(s) - 4, 4);
  return n;
}

class EmuOleautTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emu::reset();
    bstrs_ = emu::live().bstrs;
  }
  void TearDown() override {
    EXPECT_EQ(emu::live().bstrs, bstrs_) << "BSTRs left alive";
    emu::reset();
  }
  long bstrs_ = 0;
};

// ------------------------------------------------------------------ BSTR

TEST_F(EmuOleautTest, BstrHoldsAByteCountPrefixAndATerminator) {
  BSTR s = SysAllocString(u"Event\u00e9");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(emu::live().bstrs, bstrs_ + 1);
  EXPECT_EQ(SysStringLen(s), 6u);
  EXPECT_EQ(ByteCount(s), 12u);
  EXPECT_EQ(std::u16string(s), u"Event\u00e9");
  EXPECT_EQ(s[6], 0);
  SysFreeString(s);
  EXPECT_EQ(emu::live().bstrs, bstrs_);
}

TEST_F(EmuOleautTest, SysAllocStringLenCopiesExactlyTheLengthGiven) {
  BSTR cut = SysAllocStringLen(u"abcdef", 3);
  ASSERT_NE(cut, nullptr);
  EXPECT_EQ(SysStringLen(cut), 3u);
  EXPECT_EQ(ByteCount(cut), 6u);
  EXPECT_EQ(std::u16string(cut), u"abc");

  // Embedded zeros are part of the string.
  BSTR embedded = SysAllocStringLen(u"a\0b", 3);
  ASSERT_NE(embedded, nullptr);
  EXPECT_EQ(SysStringLen(embedded), 3u);
  EXPECT_EQ(std::u16string(embedded, 3), std::u16string(u"a\0b", 3));
  EXPECT_EQ(embedded[3], 0);

  // No text: a string of that length, terminated.  Length 0 is an empty
  // string, not a null BSTR.
  BSTR blank = SysAllocStringLen(nullptr, 5);
  ASSERT_NE(blank, nullptr);
  EXPECT_EQ(SysStringLen(blank), 5u);
  EXPECT_EQ(ByteCount(blank), 10u);
  EXPECT_EQ(blank[5], 0);
  BSTR empty = SysAllocStringLen(nullptr, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SysStringLen(empty), 0u);
  EXPECT_EQ(empty[0], 0);
  EXPECT_EQ(emu::live().bstrs, bstrs_ + 4);

  for (BSTR b : {cut, embedded, blank, empty}) SysFreeString(b);
  EXPECT_EQ(emu::live().bstrs, bstrs_);
}

TEST_F(EmuOleautTest, NullAndImpossibleStrings) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  SysFreeString(nullptr);
  // A length whose byte count cannot be held gives no string.
  EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFFFu), nullptr);
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
  EXPECT_EQ(emu::live().bstrs, bstrs_);
}

TEST_F(EmuOleautTest, FreeingABstrTwiceIsReportedNotFollowed) {
  BSTR s = SysAllocString(u"x");
  SysFreeString(s);
  emu::clear_diagnostics();
  SysFreeString(s);
  EXPECT_EQ(emu::live().bstrs, bstrs_);
  ASSERT_EQ(emu::diagnostics().size(), 1u);
  EXPECT_NE(emu::diagnostics()[0].find("not a live BSTR"), std::string::npos);

  // A string that never came from SysAllocString is left alone too.
  static OLECHAR not_a_bstr[] = u"\0\0literal";
  emu::clear_diagnostics();
  SysFreeString(not_a_bstr + 2);
  EXPECT_EQ(emu::diagnostics().size(), 1u);
}

TEST_F(EmuOleautTest, AFreedStringKeptForReuseIsStillNotLive) {
  // Freed blocks are kept for the next strings of their size: a string
  // freed into the keep is still caught when it is freed again, and a block
  // that comes back is a new string with nothing of the old text.
  const std::u16string garbage(27, u'#');
  BSTR a = SysAllocString(garbage.c_str());
  SysFreeString(a);
  emu::clear_diagnostics();
  SysFreeString(a);
  ASSERT_EQ(emu::diagnostics().size(), 1u);
  EXPECT_NE(emu::diagnostics()[0].find("not a live BSTR"), std::string::npos);

  BSTR c = SysAllocStringLen(nullptr, 27);  // a's size: likely a's block
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(SysStringLen(c), 27u);
  for (unsigned i = 0; i <= 27; ++i) ASSERT_EQ(c[i], 0) << "unit " << i;
  BSTR d = SysAllocString(u"second");
  EXPECT_EQ(std::u16string(d), u"second");
  EXPECT_EQ(ByteCount(d), 12u);
  SysFreeString(c);
  SysFreeString(d);
  emu::clear_diagnostics();
  SysFreeString(c);
  SysFreeString(d);
  EXPECT_EQ(emu::diagnostics().size(), 2u);
  EXPECT_EQ(emu::live().bstrs, bstrs_);
}

TEST_F(EmuOleautTest, ManyLiveStringsFreedInAnyOrderAreTrackedExactly) {
  // Enough strings for the set of live ones to grow several times, freed in
  // a shuffled order: every live one is released quietly, every freed one is
  // refused, however the entries around it moved.
  std::vector<BSTR> all;
  for (int i = 0; i < 5000; ++i) all.push_back(SysAllocStringLen(u"abcdefgh", i % 9));
  EXPECT_EQ(emu::live().bstrs, bstrs_ + 5000);
  std::mt19937 random(7);
  std::shuffle(all.begin(), all.end(), random);
  emu::clear_diagnostics();
  for (size_t i = 0; i < all.size(); i += 2) SysFreeString(all[i]);
  EXPECT_TRUE(emu::diagnostics().empty());
  EXPECT_EQ(emu::live().bstrs, bstrs_ + 2500);
  for (size_t i = 0; i < all.size(); i += 2) SysFreeString(all[i]);
  EXPECT_EQ(emu::diagnostics().size(), 2500u);
  emu::clear_diagnostics();
  for (size_t i = 1; i < all.size(); i += 2) {
    VARIANT v;
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = all[i];
    EXPECT_EQ(VariantClear(&v), S_OK);
  }
  EXPECT_TRUE(emu::diagnostics().empty());
}

TEST_F(EmuOleautTest, StringsReleasedOnAnotherThreadKeepTheLiveCountExact) {
  constexpr int kThreads = 4, kEach = 300;
  std::vector<std::vector<BSTR>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&made, t] {
      for (int i = 0; i < kEach; ++i) made[t].push_back(SysAllocString(u"row"));
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(emu::live().bstrs, bstrs_ + kThreads * kEach);
  // Each thread frees what the next one made; a string freed twice across
  // threads is still refused.
  threads.clear();
  emu::clear_diagnostics();
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&made, t] {
      for (BSTR s : made[(t + 1) % kThreads]) SysFreeString(s);
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(emu::live().bstrs, bstrs_);
  EXPECT_TRUE(emu::diagnostics().empty());
  SysFreeString(made[0][0]);
  EXPECT_EQ(emu::diagnostics().size(), 1u);
}

// ------------------------------------------------------------------ VARIANT

TEST_F(EmuOleautTest, VariantInitSetsOnlyTheType) {
  VARIANT v;
  std::memset(&v, 0xAB, sizeof v);
  VariantInit(&v);
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(v.wReserved1, 0xABABu);
  EXPECT_EQ(static_cast<uint32_t>(v.n3.lVal), 0xABABABABu);
}

TEST_F(EmuOleautTest, VariantClearFreesABstrAndEmptiesTheVariant) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  V_BSTR(&v) = SysAllocString(u"message");
  EXPECT_EQ(emu::live().bstrs, bstrs_ + 1);
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(emu::live().bstrs, bstrs_);
  // A second clear finds VT_EMPTY and frees nothing.
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(emu::live().bstrs, bstrs_);
  EXPECT_TRUE(emu::diagnostics().empty());

  // A null BSTR is an empty string, and clears without complaint.
  v.vt = VT_BSTR;
  V_BSTR(&v) = nullptr;
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_TRUE(emu::diagnostics().empty());
}

TEST_F(EmuOleautTest, VariantClearOnScalarsChangesTheTypeOnly) {
  const VARTYPE scalars[] = {VT_EMPTY, VT_NULL, VT_I2,   VT_I4,
                             VT_R4,    VT_R8,   VT_DATE, 19 /* VT_UI4 */};
  for (VARTYPE vt : scalars) {
    VARIANT v;
    std::memset(&v, 0, sizeof v);
    v.vt = vt;
    v.n3.lVal = -1;
    EXPECT_EQ(VariantClear(&v), S_OK) << vt;
    EXPECT_EQ(v.vt, VT_EMPTY) << vt;
    EXPECT_EQ(v.n3.lVal, -1) << vt;  // the value is not overwritten
  }
}

TEST_F(EmuOleautTest, VariantClearRefusesBadTypesAndLeavesTheVariant) {
  BSTR s = SysAllocString(u"kept");
  const VARTYPE bad[] = {
      15,      // no such type
      24,      // VT_VOID
      0x0FFF,  // beyond every type
      static_cast<VARTYPE>(VT_BSTR | kVector),
      static_cast<VARTYPE>(VT_BSTR | kReserved),
      static_cast<VARTYPE>(VT_EMPTY | kByRef),
      static_cast<VARTYPE>(VT_NULL | kArray),
  };
  for (VARTYPE vt : bad) {
    VARIANT v;
    std::memset(&v, 0, sizeof v);
    v.vt = vt;
    V_BSTR(&v) = s;
    EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE) << std::hex << vt;
    EXPECT_EQ(v.vt, vt);
    EXPECT_EQ(V_BSTR(&v), s);
  }
  EXPECT_EQ(emu::live().bstrs, bstrs_ + 1);

  // By reference the variant does not own the string: it is not freed.
  VARIANT ref;
  ref.vt = VT_BSTR | kByRef;
  ref.n3.byref = &s;
  EXPECT_EQ(VariantClear(&ref), S_OK);
  EXPECT_EQ(ref.vt, VT_EMPTY);
  EXPECT_EQ(emu::live().bstrs, bstrs_ + 1);
  SysFreeString(s);

  // Windows does not check for a null VARIANT; here it is refused.
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

// ------------------------------------------------------------------ DOS dates

USHORT DosDate(unsigned d, unsigned m, unsigned y) {
  return static_cast<USHORT>((d & 0x1F) | ((m & 0xF) << 5) | (((y - 1980) & 0x7F) << 9));
}
USHORT DosTime(unsigned h, unsigned mn, unsigned s) {
  return static_cast<USHORT>(((s >> 1) & 0x1F) | ((mn & 0x3F) << 5) | ((h & 0x1F) << 11));
}

TEST_F(EmuOleautTest, DosDateTimeToVariantTimeMatchesOleaut32) {
  struct Case {
    unsigned d, m, y, h, mn, s;
    INT result;
    double date;
  };
  // Wine's vartest, checked there against Windows.
  const Case cases[] = {
      {1, 1, 1980, 0, 0, 0, TRUE, 29221.0},
      {31, 12, 2099, 0, 0, 0, TRUE, 73050.0},
      {31, 12, 2100, 0, 0, 0, FALSE, 0},      // past the DOS range
      {0, 1, 1980, 0, 0, 0, TRUE, 29220.0},   // day 0: 31/12/1979
      {1, 0, 1980, 0, 0, 0, TRUE, 29190.0},   // month 0: 1/12/1979
      {0, 0, 1980, 0, 0, 0, TRUE, 29189.0},   // both: 30/11/1979
      {29, 2, 1981, 0, 0, 0, TRUE, 29646.0},  // rolls to 1/3/1981
      {30, 2, 1981, 0, 0, 0, TRUE, 29647.0},  // rolls to 2/3/1981
      {29, 2, 1980, 0, 0, 0, TRUE, 29280.0},  // a leap day
      {2, 13, 1980, 0, 0, 0, FALSE, 0},
      {1, 1, 1980, 0, 0, 29, TRUE, 29221.00032407407},  // seconds are even: 28
      {1, 1, 1980, 0, 0, 31, TRUE, 29221.00034722222},  // 30
      {1, 1, 1980, 0, 59, 0, TRUE, 29221.04097222222},
      {1, 1, 1980, 0, 60, 0, FALSE, 0},
      {1, 1, 1980, 23, 0, 0, TRUE, 29221.95833333333},
      {1, 1, 1980, 24, 0, 0, FALSE, 0},
  };
  for (const auto &c : cases) {
    double out = -12345.0;
    INT r =
        DosDateTimeToVariantTime(DosDate(c.d, c.m, c.y), DosTime(c.h, c.mn, c.s), &out);
    EXPECT_EQ(r, c.result) << c.d << "/" << c.m << "/" << c.y << " " << c.h << ":" << c.mn
                           << ":" << c.s;
    if (c.result) {
      EXPECT_NEAR(out, c.date, 1e-11) << c.d << "/" << c.m << "/" << c.y;
    } else {
      EXPECT_EQ(out, -12345.0) << "written on failure";
    }
  }
}

TEST_F(EmuOleautTest, DosDateTimeRejectsSecondsPast59AndTheTopYears) {
  double out = -1;
  // The seconds field holds 30 and 31 (60 and 62 seconds): invalid.
  USHORT jan1 = DosDate(1, 1, 1980);
  EXPECT_EQ(DosDateTimeToVariantTime(jan1, 30, &out), FALSE);
  EXPECT_EQ(DosDateTimeToVariantTime(jan1, 31, &out), FALSE);
  EXPECT_EQ(DosDateTimeToVariantTime(jan1, 29, &out), TRUE);
  EXPECT_NEAR(out, 29221.0 + 58.0 / 86400.0, 1e-11);
  // Years 2100-2107 fit the field but not the range.
  EXPECT_EQ(DosDateTimeToVariantTime(static_cast<USHORT>(0xFFFF), 0, &out), FALSE);
  EXPECT_EQ(DosDateTimeToVariantTime(DosDate(1, 1, 2107), 0, &out), FALSE);
  // 31/4 rolls over into May; the end of the day is just below the next one.
  EXPECT_EQ(DosDateTimeToVariantTime(DosDate(31, 4, 2000), DosTime(23, 59, 58), &out),
            TRUE);
  EXPECT_NEAR(out, 36647.0 + 86398.0 / 86400.0, 1e-11);  // 1/5/2000 23:59:58
  EXPECT_EQ(DosDateTimeToVariantTime(jan1, 0, nullptr), FALSE);
}

// ------------------------------------------------------------------ faults

TEST_F(EmuOleautTest, InjectedFaultsFailTheAutomationCalls) {
  const DWORD code = 0xE0000002;
  emu::fail(emu::Call::SysAllocString, code, 1);
  SetLastError(kSentinelError);
  EXPECT_EQ(SysAllocString(u"x"), nullptr);
  EXPECT_EQ(GetLastError(), code);

  emu::fail(emu::Call::SysAllocStringLen, code, 1);
  EXPECT_EQ(SysAllocStringLen(nullptr, 0), nullptr);
  EXPECT_EQ(emu::live().bstrs, bstrs_);

  BSTR s = SysAllocString(u"abc");
  emu::fail(emu::Call::SysStringLen, code, 1);
  EXPECT_EQ(SysStringLen(s), 0u);
  EXPECT_EQ(SysStringLen(s), 3u);

  // VariantClear returns the injected code and leaves the variant as it was.
  VARIANT v;
  v.vt = VT_BSTR;
  V_BSTR(&v) = s;
  emu::fail(emu::Call::VariantClear, static_cast<DWORD>(DISP_E_BADVARTYPE), 1);
  EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
  EXPECT_EQ(v.vt, VT_BSTR);
  EXPECT_EQ(emu::live().bstrs, bstrs_ + 1);

  // A failed SysFreeString frees nothing.
  emu::fail(emu::Call::SysFreeString, code, 1);
  SysFreeString(s);
  EXPECT_EQ(emu::live().bstrs, bstrs_ + 1);
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(emu::live().bstrs, bstrs_);

  emu::fail(emu::Call::VariantInit, code, 1);
  v.vt = VT_I4;
  VariantInit(&v);
  EXPECT_EQ(v.vt, VT_I4);

  double out = -1;
  emu::fail(emu::Call::DosDateTimeToVariantTime, code, 1);
  SetLastError(kSentinelError);
  EXPECT_EQ(DosDateTimeToVariantTime(DosDate(1, 1, 1980), 0, &out), FALSE);
  EXPECT_EQ(GetLastError(), code);
  EXPECT_EQ(out, -1);

  EXPECT_EQ(emu::calls(emu::Call::SysAllocString), 2u);
  EXPECT_EQ(emu::calls(emu::Call::VariantClear), 2u);
  EXPECT_EQ(emu::calls(emu::Call::SysFreeString), 1u);  // VariantClear frees directly
}

}  // namespace
