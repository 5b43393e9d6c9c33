// Expansion of parameter references in insertion strings, with parameter
// texts from a toolchain-built message file.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "support/message_util.h"

namespace emu = vesk::emu;
using vesk::test::MessageDll;
using vesk::test::RegisterSource;
using vesk::test::Utf8;

namespace {

constexpr char16_t kParameters[] = u"ParameterMessageFile";
// Parameter 5 of params.mc: the digits 0 to 9 ten times.
std::string Digits100() {
  std::string s;
  for (int i = 0; i < 10; ++i) s += "0123456789";
  return s;
}

class ConvertTest : public vesk::test::MessageTest {
 protected:
  void SetUp() override {
    MessageTest::SetUp();
    local_->add_file(u"C:\\WINDOWS\\system32\\params.dll", MessageDll("params", 32));
    RegisterSource(*local_, u"Application", u"Svc", kParameters,
                   u"%SystemRoot%\\system32\\params.dll");
    ctx_ = Open();
  }

  // The expansion of `text` at `index`, or "<null>".
  std::string Expand(const std::u16string &text, int index = 0,
                     const char16_t *source = u"Svc") {
    LPCWSTR out = convert(ctx_, source, index, text.c_str());
    return out == nullptr ? "<null>" : Utf8(out);
  }

  CEvtLog *ctx_ = nullptr;
};

TEST_F(ConvertTest, ScanningAndExpansion) {
  struct Case {
    const char16_t *text;
    std::string expected;
  };
  const Case cases[] = {
      {u"", ""},
      {u"no reference", "no reference"},
      {u"100%", "100%"},          // a lone percent sign stands as written
      {u"a%bc", "a%bc"},          // and so does the unit after it
      {u"%1%2", "%1%2"},          // a digit too
      {u"%TEMP%", "%TEMP%"},      //
      {u"%%1", "read"},           // a reference
      {u"x%%1y", "xready"},       // the digits end at the first non-digit
      {u"%%1%%2", "readwrite "},  // two in a row; ordinary line breaks are spaces
      {u"%%4", "two lines"},
      {u"%%", "%%"},                      // no digit: no reference
      {u"%%x", "%%x"},                    //
      {u"%%%1", "%read"},                 // a lone one, then a reference
      {u"%%%%", "%%%%"},                  //
      {u"%%3", "has %%1 and %1 inside"},  // a parameter text is not expanded again
      {u"%%01", "read"},
      {u"%%4294967297", "read"},  // wraps modulo 2^32 to 1
  };
  for (const Case &c : cases) {
    EXPECT_EQ(Expand(c.text), c.expected) << Utf8(c.text);
  }
  EXPECT_EQ(TakeError(ctx_), "");
  EXPECT_EQ(emu::calls(emu::Call::RegOpenKeyExW), 2u) << "the open, then one discovery";
  EXPECT_EQ(emu::calls(emu::Call::LoadLibraryExW), 1u);
}

TEST_F(ConvertTest, ReferencesThatFailStayAsWrittenAndAreReportedOnce) {
  EXPECT_EQ(Expand(u"a%%77b"), "a%%77b");
  EXPECT_EQ(TakeError(ctx_), "Format error, source=Svc type=Parameter msg=77");
  uint64_t formats = emu::calls(emu::Call::FormatMessageW);
  EXPECT_EQ(Expand(u"c%%77%%1", 5), "c%%77read");
  EXPECT_EQ(TakeError(ctx_), "");
  EXPECT_EQ(emu::calls(emu::Call::FormatMessageW), formats + 1) << "77 is memoised";
  // 65613 is another number, reported with its low 16 bits.
  EXPECT_EQ(Expand(u"%%65613"), "%%65613");
  EXPECT_EQ(TakeError(ctx_), "Format error, source=Svc type=Parameter msg=77");

  // A source with no parameter files: the discovery's text comes first.
  EXPECT_EQ(Expand(u"%%1", 0, u"Bare"), "%%1");
  EXPECT_EQ(TakeError(ctx_),
            "RegOpenKeyEx rc=2 source=Bare key=SYSTEM\\CurrentControlSet\\"
            "Services\\EventLog\\Application\\Bare");
  EXPECT_EQ(Expand(u"%%1", 0, u"Bare"), "%%1");
  EXPECT_EQ(TakeError(ctx_), "");
}

TEST_F(ConvertTest, ParameterFileThatFailedToLoadIsSkipped) {
  RegisterSource(*local_, u"Application", u"Front", kParameters,
                 u"%SystemRoot%\\system32\\params.dll;%SystemRoot%\\system32\\gone.dll");
  CEvtLog *ctx = Open();
  LPCWSTR out = convert(ctx, u"Front", 3, u"mode %%1");
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(Utf8(out), "mode read");
  EXPECT_EQ(TakeError(ctx), "LoadLibrary rc=2 library=C:\\WINDOWS\\system32\\gone.dll");
  EXPECT_EQ(Utf8(convert(ctx, u"Front", 3, u"%%2%%1")), "write read");
  EXPECT_EQ(TakeError(ctx), "");
}

TEST_F(ConvertTest, ExpansionIsKeptWholeUpTo32000Characters) {
  constexpr size_t kLimit = 32000;
  const std::string cut1 = "convert: insertion string 1 cut at 32000 characters";
  // Far past the old limit of 1000, and exactly at the new one: whole.
  EXPECT_EQ(Expand(std::u16string(1500, u'c') + u"%%1"), std::string(1500, 'c') + "read");
  EXPECT_EQ(Expand(std::u16string(kLimit, u'c')), std::string(kLimit, 'c'));
  std::u16string exact;
  std::string digits;
  for (int i = 0; i < 320; ++i) exact += u"%%5", digits += Digits100();
  EXPECT_EQ(Expand(exact), digits);
  EXPECT_EQ(TakeError(ctx_), "");

  // One character more is cut, and the cut reported with the string's place.
  EXPECT_EQ(Expand(exact + u"%%5"), digits);
  EXPECT_EQ(TakeError(ctx_), cut1);
  EXPECT_EQ(Expand(std::u16string(kLimit + 500, u'c'), 4), std::string(kLimit, 'c'));
  EXPECT_EQ(TakeError(ctx_), "convert: insertion string 5 cut at 32000 characters");
  // A parameter text that crosses the limit is cut.
  std::u16string a(kLimit - 1, u'a');
  EXPECT_EQ(Expand(a + u"%%5"), std::string(kLimit - 1, 'a') + "0");
  EXPECT_EQ(TakeError(ctx_), cut1);
  // A failed reference is cut as well; its own report comes first.
  EXPECT_EQ(Expand(a + u"%%77"), std::string(kLimit - 1, 'a') + "%");
  EXPECT_EQ(TakeError(ctx_), "Format error, source=Svc type=Parameter msg=77");
  // References after the limit cause no look-up.
  uint64_t formats = emu::calls(emu::Call::FormatMessageW);
  EXPECT_EQ(Expand(std::u16string(kLimit, u'b') + u"%%78"), std::string(kLimit, 'b'));
  EXPECT_EQ(emu::calls(emu::Call::FormatMessageW), formats);
  EXPECT_EQ(TakeError(ctx_), cut1);
}

TEST_F(ConvertTest, ABufferOnlyGrowsSoLaterExpansionsReuseIt) {
  LPCWSTR big = convert(ctx_, u"Svc", 7, std::u16string(20000, u'x').c_str());
  ASSERT_NE(big, nullptr);
  for (size_t n : {1u, 500u, 20000u}) {
    std::u16string text = std::u16string(n, u'y') + u"%%1";
    LPCWSTR again = convert(ctx_, u"Svc", 7, text.c_str());
    EXPECT_EQ(again, big) << n;
    EXPECT_EQ(Utf8(again), std::string(n, 'y') + "read");
  }
  EXPECT_EQ(TakeError(ctx_), "");
}

TEST_F(ConvertTest, EachPositionHasItsOwnBufferAndBadIndexesAreRefused) {
  LPCWSTR first = convert(ctx_, u"Svc", 0, u"first %%1");
  LPCWSTR second = convert(ctx_, u"Svc", 98, u"second");
  EXPECT_NE(first, second);
  EXPECT_EQ(convert(ctx_, u"Svc", 0, u"third"), first);
  EXPECT_EQ(Utf8(first), "third");
  EXPECT_EQ(Utf8(second), "second");
  for (int index : {-1, 99, 1000}) {
    EXPECT_EQ(convert(ctx_, u"Svc", index, u"x"), nullptr);
    EXPECT_EQ(TakeError(ctx_), "internal error, convert, #1");
  }
  EXPECT_EQ(Utf8(first), "third");
  EXPECT_EQ(Utf8(second), "second");
}

TEST_F(ConvertTest, ThreadsExpandIntoTablesOfTheirOwn) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 60;
  CEvtLog *contexts[kThreads];
  contexts[0] = ctx_;
  for (int t = 1; t < kThreads; ++t) contexts[t] = Open();
  std::atomic<int> wrong{0};
  std::atomic<int> checked{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      CEvtLog *ctx = contexts[t];
      LPCWSTR out[kExpansionSlots];
      for (int round = 0; round < kRounds; ++round) {
        // Fill every position, then check that each still holds this
        // thread's own expansion.
        for (int k = 0; k < kExpansionSlots; ++k) {
          std::string text = "t" + std::to_string(t) + "r" + std::to_string(round) + "k" +
                             std::to_string(k) + "%%" + std::to_string(1 + (k + t) % 2);
          out[k] = convert(ctx, u"Svc", k, emu::from_utf8(text).c_str());
        }
        for (int k = 0; k < kExpansionSlots; ++k) {
          std::string expected = "t" + std::to_string(t) + "r" + std::to_string(round) +
                                 "k" + std::to_string(k) +
                                 ((k + t) % 2 == 0 ? "read" : "write ");
          if (out[k] == nullptr || Utf8(out[k]) != expected) ++wrong;
          ++checked;
        }
      }
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(checked.load(), kThreads * kRounds * kExpansionSlots);
  EXPECT_EQ(wrong.load(), 0);
  for (CEvtLog *ctx : contexts) EXPECT_EQ(TakeError(ctx), "");
}

}  // namespace
