// Scans over UTF-16 text, shared by the library and the emulated platform:
// where the processor has SSE2 they look at eight units per step, elsewhere
// at one.  Both paths give the same answers; the tests compare them on the
// same texts.
//
// The block path reads whole aligned blocks of 16 bytes, which may reach a
// little before a text's start or past its end, never into a page the text
// does not touch (as the C library's own string functions read).  That is
// what a sanitizer rightly reports, so under one the scans read only the
// text's own units.
//
// A predicate is written once for both paths, as an expression over `c`
// that holds for a single unit and, lane by lane, for a block of eight:
//   [](auto c) { return (c == 0) | (c == 0x25); }
// (Units are compared with integer constants: clang 14 fails on a vector
// compared with a char16_t one.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && (defined(__GNUC__) || defined(__clang__))
#define VESK_UNITS_BLOCKS 1
#include <emmintrin.h>
#else
#define VESK_UNITS_BLOCKS 0
#endif

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VESK_UNITS_READ_AHEAD 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer) || \
    __has_feature(thread_sanitizer)
#define VESK_UNITS_READ_AHEAD 0
#endif
#endif
#ifndef VESK_UNITS_READ_AHEAD
#define VESK_UNITS_READ_AHEAD VESK_UNITS_BLOCKS
#endif

namespace vesk::units {

#if VESK_UNITS_BLOCKS
using Block = uint16_t __attribute__((vector_size(16)));
constexpr size_t kBlockUnits = 8;

inline Block LoadBlock(const void *p) {
  Block b;
  std::memcpy(&b, p, sizeof b);
  return b;
}

// One bit per byte of a lane mask: two bits per unit whose lane is set.
template <class Lanes>
unsigned MaskBits(Lanes mask) {
  static_assert(sizeof(Lanes) == 16);
  return static_cast<unsigned>(_mm_movemask_epi8(reinterpret_cast<__m128i>(mask)));
}
#endif

// Unit i of the text at `p`, which need not be aligned (message tables
// inside a file are laid out by whoever wrote the file).
inline uint16_t UnitAt(const unsigned char *p, size_t i) {
  uint16_t c;
  std::memcpy(&c, p + 2 * i, sizeof c);
  return c;
}

// The first i < n at which `match` holds for unit i of the text at `p`, or
// n.  One unit at a time; the reference the block path is checked against.
template <class Match>
size_t FindOneByOne(const unsigned char *p, size_t n, Match match) {
  size_t i = 0;
  while (i < n && !match(UnitAt(p, i))) ++i;
  return i;
}

#if VESK_UNITS_READ_AHEAD
// The first unit of the 2-aligned text at `p` (n > 0 units) at which `match`
// holds, or n, reading whole aligned blocks: the first may start before the
// text and the last may end after it, but each holds a byte of the text, so
// none reaches into a page the text does not touch.  Lanes outside the
// text are left out of the answer.
template <class Match>
size_t FindReadingAhead(const unsigned char *p, size_t n, Match match) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(p);
  const unsigned char *block = p - (address & 15);
  const unsigned skip = static_cast<unsigned>(address & 15);  // bytes before the text
  unsigned bits = MaskBits(match(LoadBlock(block))) >> skip;
  size_t base = 0;  // the unit of the text at the start of `bits`
  for (;;) {
    if (bits != 0) {
      const size_t at = base + static_cast<size_t>(__builtin_ctz(bits)) / 2;
      return at < n ? at : n;
    }
    base += base == 0 ? (16 - skip) / 2 : kBlockUnits;
    if (base >= n) return n;
    block += 16;
    bits = MaskBits(match(LoadBlock(block)));
  }
}
#endif

// The same as FindOneByOne, a block of eight units per step where the
// processor allows.  All n units must be readable.
template <class Match>
size_t Find(const unsigned char *p, size_t n, Match match) {
  size_t i = 0;
#if VESK_UNITS_READ_AHEAD
  if ((reinterpret_cast<uintptr_t>(p) & 1) == 0)
    return n == 0 ? 0 : FindReadingAhead(p, n, match);
#endif
#if VESK_UNITS_BLOCKS
  for (; n - i >= kBlockUnits; i += kBlockUnits) {
    const unsigned bits = MaskBits(match(LoadBlock(p + 2 * i)));
    if (bits != 0) return i + static_cast<size_t>(__builtin_ctz(bits)) / 2;
  }
#endif
  return i + FindOneByOne(p + 2 * i, n - i, match);
}

template <class Unit, class Match>
size_t Find(const Unit *s, size_t n, Match match) {
  static_assert(sizeof(Unit) == 2);
  return Find(reinterpret_cast<const unsigned char *>(s), n, match);
}

// The first unit of a terminated text, among its first `limit`, at which
// `match` holds; `match` must hold for the terminator.  Unlike Find, the
// units need only be readable up to the first match: none past it is read
// (beyond the aligned block that holds it), so the text may be shorter
// than `limit`.
template <class Unit, class Match>
size_t FindInText(const Unit *s, size_t limit, Match match) {
  static_assert(sizeof(Unit) == 2);
  const auto *p = reinterpret_cast<const unsigned char *>(s);
#if VESK_UNITS_READ_AHEAD
  if ((reinterpret_cast<uintptr_t>(p) & 1) == 0)
    return limit == 0 ? 0 : FindReadingAhead(p, limit, match);
#endif
  return FindOneByOne(p, limit, match);
}

// The number of units before the terminator, reading no further than
// `limit` units of the text, nor past its terminator.
template <class Unit>
size_t LengthWithin(const Unit *s, size_t limit) {
  return FindInText(s, limit, [](auto c) { return c == 0; });
}

// The number of units before the terminator.
template <class Unit>
size_t Length(const Unit *s) {
  return LengthWithin(s, SIZE_MAX);
}

// Copies n units from `from` to `to` (which do not overlap).  Copies of up
// to 16 units, the most common in a row, are made inline with two
// overlapping moves of a fixed size each, without calling the C library.
template <class Unit>
void CopyUnits(Unit *to, const Unit *from, size_t n) {
  static_assert(sizeof(Unit) == 2);
  auto *d = reinterpret_cast<unsigned char *>(to);
  const auto *s = reinterpret_cast<const unsigned char *>(from);
  const size_t bytes = 2 * n;
  if (n > 16) {
    std::memcpy(d, s, bytes);
  } else if (n >= 8) {
    std::memcpy(d, s, 16);
    std::memcpy(d + bytes - 16, s + bytes - 16, 16);
  } else if (n >= 4) {
    std::memcpy(d, s, 8);
    std::memcpy(d + bytes - 8, s + bytes - 8, 8);
  } else if (n >= 2) {
    std::memcpy(d, s, 4);
    std::memcpy(d + bytes - 4, s + bytes - 4, 4);
  } else if (n == 1) {
    std::memcpy(d, s, 2);
  }
}

// The units before the first terminator in s[0, n) (all n when there is
// none): returns how many there are, with each of them below 0x20 other
// than tab, line feed and carriage return written as a space.
template <class Unit>
size_t BlankControls(Unit *s, size_t n) {
  static_assert(sizeof(Unit) == 2);
  auto control = [](uint16_t c) {
    return c < 0x20 && c != 0x09 && c != 0x0A && c != 0x0D;
  };
  size_t i = 0;
#if VESK_UNITS_BLOCKS
  for (; n - i >= kBlockUnits; i += kBlockUnits) {
    const Block b = LoadBlock(s + i);
    if (MaskBits(b < 0x20) == 0) continue;  // the usual block: nothing to do
    // A control unit or the terminator lies in this block.
    const unsigned zero = MaskBits(b == 0);
    const size_t end =
        zero != 0 ? i + static_cast<size_t>(__builtin_ctz(zero)) / 2 : i + kBlockUnits;
    for (size_t k = i; k < end; ++k)
      if (control(static_cast<uint16_t>(s[k]))) s[k] = static_cast<Unit>(0x20);
    if (zero != 0) return end;
  }
#endif
  for (; i < n; ++i) {
    const uint16_t c = static_cast<uint16_t>(s[i]);
    if (c == 0) return i;
    if (control(c)) s[i] = static_cast<Unit>(0x20);
  }
  return n;
}

}  // namespace vesk::units
