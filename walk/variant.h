// The library's Automation values as text: UTF-8 from BSTRs and UTF-16,
// ISO text from Automation dates, and a row slot (VARIANT) as a Cell.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vesk.h"
#include "walk/walk.h"

namespace vesk::walk {

// UTF-16 units to UTF-8; an unpaired surrogate becomes U+FFFD.  `at(i)`
// gives unit i.
template <typename At>
inline void append_utf8_units(std::string &out, size_t n, At at) {
  for (size_t i = 0; i < n; ++i) {
    uint32_t cp = at(i);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && at(i + 1) >= 0xDC00 &&
        at(i + 1) <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (at(i + 1) - 0xDC00u);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
}

// UTF-8 from UTF-16 code units; an unpaired surrogate becomes U+FFFD.
std::string utf8_from_utf16(std::u16string_view text);

// A BSTR's text (its length prefix, not a terminator, gives its end); a null
// BSTR is the empty string, as Automation reads it.
std::string bstr_text(BSTR text);

// An Automation date (days since 1899-12-30, the time of day as the fraction,
// which counts forwards from midnight also before 1899-12-30) as
// "YYYY-MM-DDTHH:MM:SS", rounded to the second.  The dates the library hands
// out are already local time, so no zone is added.  Values outside
// 0100-01-01 to 9999-12-31 (and NaN) are given as the bare number.
std::string automation_date_text(double date);

// VT_EMPTY and VT_NULL: Empty; VT_I4: Number; VT_DATE: its ISO text;
// VT_BSTR: UTF-8; any other type: "?vt=N".
Cell cell_from_variant(const VARIANT &value);

// Fills `cell` in place (its text keeps its capacity from row to row).
void set_cell(Cell &cell, const VARIANT &value);

}  // namespace vesk::walk
