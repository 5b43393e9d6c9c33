// UTF-16 to UTF-8 with a fast path for ASCII runs.
#include "walk/utf8.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace vesk::walk {

// The word-at-a-time path reads units as the bytes of a little-endian word.
static_assert(std::endian::native == std::endian::little);

namespace {

// Writes the UTF-8 form of unit i (and of its low surrogate, when it is a
// high one followed by one) at `p`; returns the units taken and moves `p`
// past what it wrote (at most 4 bytes; 3 per unit).
template <typename Unit>
inline size_t put_one(Unit unit, size_t i, size_t n, char *&p) {
  uint32_t cp = unit(i);
  size_t taken = 1;
  if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && unit(i + 1) >= 0xDC00 &&
      unit(i + 1) <= 0xDFFF) {
    cp = 0x10000 + ((cp - 0xD800) << 10) + (unit(i + 1) - 0xDC00u);
    taken = 2;
  } else if (cp >= 0xD800 && cp <= 0xDFFF) {
    cp = 0xFFFD;
  }
  if (cp < 0x80) {
    *p++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *p++ = static_cast<char>(0xC0 | (cp >> 6));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *p++ = static_cast<char>(0xE0 | (cp >> 12));
    *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *p++ = static_cast<char>(0xF0 | (cp >> 18));
    *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return taken;
}

// UTF-16 stored little-endian at `bytes` (any alignment), unit by unit.
struct LeUnits {
  const unsigned char *bytes;
  uint32_t operator()(size_t i) const {
    return static_cast<uint32_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  }
};

// Appends `n` units of `bytes`; see append_utf8.
void append_le(std::string &out, const unsigned char *bytes, size_t n) {
  // Room for the worst case (3 bytes a unit; a pair of 2 units takes 4),
  // written through a pointer and cut back to what was written.
  const size_t start = out.size();
  out.resize(start + 3 * n);
  char *const base = out.data();
  char *p = base + start;
  const LeUnits unit{bytes};
  size_t i = 0;
  while (i < n) {
    // Four units at once while they are all below 0x80.
    while (i + 4 <= n) {
      uint64_t w;
      std::memcpy(&w, bytes + 2 * i, sizeof w);
      if ((w & 0xFF80FF80FF80FF80ull) != 0) break;
      p[0] = static_cast<char>(w);
      p[1] = static_cast<char>(w >> 16);
      p[2] = static_cast<char>(w >> 32);
      p[3] = static_cast<char>(w >> 48);
      p += 4;
      i += 4;
    }
    if (i >= n) break;
    i += put_one(unit, i, n, p);
  }
  out.resize(static_cast<size_t>(p - base));
}

}  // namespace

void append_utf8_scalar(std::string &out, const char16_t *text, size_t n) {
  char buf[4];
  const auto unit = [text](size_t k) { return static_cast<uint32_t>(text[k]); };
  for (size_t i = 0; i < n;) {
    char *p = buf;
    i += put_one(unit, i, n, p);
    out.append(buf, static_cast<size_t>(p - buf));
  }
}

void append_utf8(std::string &out, const char16_t *text, size_t n) {
  append_le(out, reinterpret_cast<const unsigned char *>(text), n);
}

void append_utf8_le(std::string &out, const unsigned char *bytes, size_t n) {
  append_le(out, bytes, n);
}

}  // namespace vesk::walk
