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
      {u"100%", "100"},           // a final single percent sign vanishes
      {u"a%bc", "abc"},           // a single one vanishes, the unit after it stays
      {u"%1%2", "12"},            // a digit too
      {u"%%1", "read"},           // a reference
      {u"x%%1y", "xready"},       // the digits end at the first non-digit
      {u"%%1%%2", "readwrite "},  // two in a row; ordinary line breaks are spaces
      {u"%%4", "two lines"},
      {u"%%", "zero"},                    // no digit: message 0
      {u"%%%x", "zerox"},                 // three: a reference, then a single one
      {u"%%%%", "zerozero"},              // four: two references
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

TEST_F(ConvertTest, ExpansionStopsAt1000Characters) {
  std::u16string a999(999, u'a');
  // A parameter text that crosses the limit is cut.
  EXPECT_EQ(Expand(a999 + u"%%5"), std::string(999, 'a') + "0");
  // A failed reference is cut as well.
  EXPECT_EQ(Expand(a999 + u"%%77"), std::string(999, 'a') + "%");
  TakeError(ctx_);
  // References after the limit cause no look-up and no error.
  uint64_t formats = emu::calls(emu::Call::FormatMessageW);
  EXPECT_EQ(Expand(std::u16string(1000, u'b') + u"%%78"), std::string(1000, 'b'));
  EXPECT_EQ(Expand(std::u16string(1500, u'c')), std::string(1000, 'c'));
  EXPECT_EQ(emu::calls(emu::Call::FormatMessageW), formats);
  EXPECT_EQ(TakeError(ctx_), "");
  // Ten 100-character texts fill it exactly, the eleventh is dropped.
  std::u16string eleven;
  for (int i = 0; i < 11; ++i) eleven += u"%%5";
  std::string ten;
  for (int i = 0; i < 10; ++i) ten += Digits100();
  EXPECT_EQ(Expand(eleven), ten);
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
