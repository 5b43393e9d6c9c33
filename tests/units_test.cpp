// The block scans over UTF-16 text against the unit-by-unit reference: the
// same answers at every alignment, length and place of the mark, with
// marks just outside the text that the block path reads but must not see.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "platform/units.h"

namespace units = vesk::units;

namespace {

constexpr auto kMark = [](auto c) { return (c == 0) | (c == 0x25) | (c == 0x0D); };

// A buffer with room around the text: the text starts `shift` units past a
// 16-byte boundary and is surrounded by units that match every predicate
// used here, so a scan that looks past either end answers wrongly.
struct Placed {
  Placed(const std::vector<char16_t> &text, size_t shift) {
    storage.assign(text.size() + 64, 0);
    auto base = reinterpret_cast<uintptr_t>(storage.data());
    size_t first = (16 - (base & 15)) / 2 % 8 + 8;  // a 16-byte boundary, 8 units in
    start = first + shift;
    for (size_t i = 0; i < storage.size(); ++i) storage[i] = i % 2 ? u'%' : 0x0D;
    for (size_t i = 0; i < text.size(); ++i) storage[start + i] = text[i];
  }
  char16_t *data() { return storage.data() + start; }
  std::vector<char16_t> storage;
  size_t start = 0;
};

std::vector<char16_t> RandomText(std::mt19937 &rng, size_t n, int mark_every) {
  std::vector<char16_t> text(n);
  for (char16_t &c : text) {
    int pick = static_cast<int>(rng() % static_cast<unsigned>(mark_every));
    if (pick == 0)
      c = u"\0%\r\n\t\x1f\x7f"[rng() % 7];
    else
      c = static_cast<char16_t>(0x20 + rng() % 0xFF00);  // never below 0x20
  }
  return text;
}

size_t ReferenceFind(const char16_t *s, size_t n) {
  return units::FindOneByOne(reinterpret_cast<const unsigned char *>(s), n, kMark);
}

TEST(Units, FindAgreesWithTheReferenceAtEveryAlignmentAndLength) {
  std::mt19937 rng(7);
  for (size_t length = 0; length <= 70; ++length) {
    for (size_t shift = 0; shift < 8; ++shift) {
      for (int mark_every : {3, 17, 1000}) {
        const auto text = RandomText(rng, length, mark_every);
        Placed placed(text, shift);
        const size_t expect = ReferenceFind(text.data(), text.size());
        ASSERT_EQ(units::Find(placed.data(), length, kMark), expect)
            << "length " << length << " shift " << shift;
        ASSERT_EQ(
            units::LengthWithin(placed.data(), length),
            units::FindOneByOne(reinterpret_cast<const unsigned char *>(text.data()),
                                length, [](auto c) { return c == 0; }));
      }
    }
  }
}

TEST(Units, FindReadsTextAtAnOddAddress) {
  // Message tables inside a file may put a text at any byte.
  std::mt19937 rng(11);
  for (size_t length = 0; length <= 40; ++length) {
    const auto text = RandomText(rng, length, 9);
    std::vector<unsigned char> bytes(2 * length + 3, 0x25);
    if (length != 0) std::memcpy(bytes.data() + 1, text.data(), 2 * length);
    EXPECT_EQ(units::Find(bytes.data() + 1, length, kMark),
              ReferenceFind(text.data(), length));
  }
}

TEST(Units, LengthStopsAtTheFirstTerminatorWhereverTheTextLies) {
  std::mt19937 rng(3);
  for (size_t length = 0; length <= 50; ++length) {
    for (size_t shift = 0; shift < 8; ++shift) {
      std::vector<char16_t> text(length + 1);
      for (size_t i = 0; i < length; ++i)
        text[i] = static_cast<char16_t>(1 + rng() % 0xFFFE);
      text[length] = 0;
      Placed placed(text, shift);
      // Terminators in front of the text, which the first block reads.
      for (size_t i = 0; i < placed.start; ++i) placed.storage[i] = 0;
      placed.data()[length + 1] = 0;  // and a second terminator behind it
      ASSERT_EQ(units::Length(placed.data()), length) << "shift " << shift;
    }
  }
}

TEST(Units, BlankControlsStopsAtTheTerminatorAndKeepsTabsAndLineBreaks) {
  std::mt19937 rng(5);
  for (size_t length = 0; length <= 60; ++length) {
    for (int mark_every : {2, 11, 1000}) {
      auto text = RandomText(rng, length, mark_every);
      std::vector<char16_t> expect = text;
      size_t expect_n = length;
      for (size_t i = 0; i < length; ++i) {
        const char16_t c = expect[i];
        if (c == 0) {
          expect_n = i;
          break;
        }
        if (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') expect[i] = u' ';
      }
      std::vector<char16_t> got = text;
      ASSERT_EQ(units::BlankControls(got.data(), length), expect_n);
      // Units after the terminator are left as they were.
      for (size_t i = 0; i < length; ++i)
        ASSERT_EQ(got[i], i < expect_n ? expect[i] : text[i]) << "unit " << i;
    }
  }
}

TEST(Units, CopyUnitsCopiesExactlyTheUnitsAsked) {
  for (size_t n = 0; n <= 40; ++n) {
    std::vector<char16_t> from(n), to(n + 8, u'#');
    for (size_t i = 0; i < n; ++i) from[i] = static_cast<char16_t>(u'a' + i);
    units::CopyUnits(to.data() + 4, from.data(), n);
    for (size_t i = 0; i < to.size(); ++i)
      ASSERT_EQ(to[i], i >= 4 && i < 4 + n ? from[i - 4] : u'#') << n << " at " << i;
  }
}

}  // namespace
