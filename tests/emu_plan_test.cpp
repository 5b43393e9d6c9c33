// A message text's plan against the formatter it stands in for: random
// texts of runs, line breaks, escapes, inserts of every kind (malformed
// ones too), under both widths that do not wrap, with and without
// IGNORE_INSERTS and in buffers from none to ample, give the same code, the
// same count and the same buffer, every unit of it.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/emulated/msgformat.h"

namespace emu = vesk::emu;

namespace {

const char16_t *const kPieces[] = {
    u"plain text",
    u" ",
    u"\t",
    u"\r\n",
    u"\r",
    u"\n",
    u"%n",
    u"%r",
    u"%t",
    u"%%",
    u"%.",
    u"%!",
    u"%0",
    u"%1",
    u"%2",
    u"%6",
    u"%12",
    u"%1!s!",
    u"%2!10s!",
    u"%3!-8.3s!",
    u"%4!.2s!",
    u"%7!d!",
    u"%8!x!",
    u"%9!08X!",
    u"%10!u!",
    u"%11!+d!",
    u"%7!#x!",
    u"%8!-5d!",
    u"%9!c!",
    u"%7!*d!",
    u"%8!I64u!",
    u"%9!hx!",
    u"%10!lu!",
    u"%11!q!",
    u"%1!",
    u"%2!!",
    u"%3!s!tail",
    u"%99",
    u"%1!s",
    u"\u00e9t\u00e9",
    u"a long run of plain characters, more than sixteen",
};

// A text of `pieces` random pieces, now and then cut short by a NUL or
// ending in a lone '%'.
std::u16string RandomText(std::mt19937 &rng, int pieces) {
  std::u16string text;
  for (int i = 0; i < pieces; ++i) text += kPieces[rng() % std::size(kPieces)];
  switch (rng() % 8) {
    case 0:
      text.insert(rng() % (text.size() + 1), 1, u'\0');
      break;
    case 1:
      text += u'%';
      break;
    default:
      break;
  }
  return text;
}

struct Outcome {
  DWORD code;
  size_t written;
  std::vector<WCHAR> buffer;
  bool operator==(const Outcome &) const = default;
};

TEST(MessagePlan, FormatsEveryTextAsTheFormatterDoes) {
  // Elements 1-12 are texts (a NUL may cut an insert's format off, leaving
  // a text conversion of any of them); numeric conversions print their
  // places.  The rest of the 99 are null.
  static const char16_t *const kTexts[] = {
      u"alpha",  u"",  u"gamma delta", u"\u03a9", u"a text of some thirty characters",
      u"z",      u"7", u"8",           u"nine",   u"10",
      u"eleven", u"12"};
  std::vector<DWORD_PTR> array(99, 0);
  for (int i = 0; i < 12; ++i) array[i] = reinterpret_cast<DWORD_PTR>(kTexts[i]);
  emu::MessageArgs args;
  args.array = array.data();
  const emu::MessageArgs none;

  std::mt19937 rng(1234);
  int planned = 0;
  for (int round = 0; round < 3000; ++round) {
    const std::u16string text = RandomText(rng, 1 + static_cast<int>(rng() % 12));
    for (unsigned width : {0u, 0xFFu}) {
      for (bool ignore : {false, true}) {
        emu::MessagePlan plan;
        if (!plan.build(text.data(), text.size(), width, ignore)) continue;
        ++planned;
        for (size_t capacity : {0, 1, 2, 7, 30, 1000}) {
          for (const emu::MessageArgs *a :
               {static_cast<const emu::MessageArgs *>(&args), &none}) {
            Outcome direct{0, 99, std::vector<WCHAR>(capacity + 1, 0xAAAA)};
            direct.code =
                emu::format_message(text.data(), text.size(), width, ignore, *a,
                                    direct.buffer.data(), capacity, &direct.written);
            Outcome run{0, 99, std::vector<WCHAR>(capacity + 1, 0xAAAA)};
            run.code =
                plan.run(text.data(), *a, run.buffer.data(), capacity, &run.written);
            ASSERT_EQ(run, direct)
                << "text of " << text.size() << " units, width " << width
                << (ignore ? ", ignoring inserts" : "") << ", capacity " << capacity;
          }
        }
      }
    }
  }
  EXPECT_GT(planned, 10000);
}

TEST(MessagePlan, WrappingWidthsAndLongTextsAreNotPlanned) {
  emu::MessagePlan plan;
  const std::u16string text = u"wrap me %1 please";
  EXPECT_FALSE(plan.build(text.data(), text.size(), 40, false));
  EXPECT_TRUE(plan.build(text.data(), text.size(), 0xFF, false));
  // One step per insert and per run: a text of more steps than a plan holds
  // is left to the formatter.
  std::u16string many;
  for (size_t i = 0; i < emu::MessagePlan::kMostSteps; ++i) many += u"x%1";
  EXPECT_FALSE(plan.build(many.data(), many.size(), 0xFF, false));
}

}  // namespace
