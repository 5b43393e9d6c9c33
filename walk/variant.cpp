// The library's Automation values as text.
#include "walk/variant.h"

#include <cmath>
#include <cstdio>

#include "records/civil.h"
#include "walk/utf8.h"

namespace vesk::walk {

namespace {

template <typename Unit>
void append_utf16(std::string &out, const Unit *text, size_t n) {
  static_assert(sizeof(Unit) == 2);
  append_utf8(out, reinterpret_cast<const char16_t *>(text), n);
}

}  // namespace

std::string utf8_from_utf16(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  append_utf16(out, text.data(), text.size());
  return out;
}

std::string bstr_text(BSTR text) {
  std::string out;
  if (text != nullptr) append_utf16(out, text, SysStringLen(text));
  return out;
}

std::string automation_date_text(double date) {
  char buf[64];
  if (!(date > -657435.0 && date < 2958466.0)) {  // NaN included
    std::snprintf(buf, sizeof buf, "%.17g", date);
    return buf;
  }
  // The integer part counts days (towards zero), the fraction's magnitude is
  // the time of day on that day.
  const double whole = std::trunc(date);
  int64_t days = static_cast<int64_t>(whole);
  int64_t seconds = std::llround(std::fabs(date - whole) * 86400.0);
  if (seconds >= 86400) {  // rounded up to the next midnight
    seconds -= 86400;
    days += 1;
  }
  int64_t y, m, d;
  vesk::civil_from_days(days + vesk::days_from_civil(1899, 12, 30), y, m, d);
  // YYYY-MM-DDTHH:MM:SS, written digit by digit: every row has one, and
  // snprintf would be a good part of the time a row takes to print.
  const int64_t fields[6] = {y, m, d, seconds / 3600, seconds / 60 % 60, seconds % 60};
  static const char kSeparators[] = "--T::";
  char *p = buf;
  for (int i = 0; i < 6; ++i) {
    int width = i == 0 ? 4 : 2;
    int64_t v = fields[i];
    for (int k = width - 1; k >= 0; --k, v /= 10) p[k] = static_cast<char>('0' + v % 10);
    p += width;
    if (i < 5) *p++ = kSeparators[i];
  }
  return std::string(buf, static_cast<size_t>(p - buf));
}

void set_cell(Cell &cell, const VARIANT &value) {
  cell.text.clear();
  switch (V_VT(&value)) {
    case VT_EMPTY:
    case VT_NULL:
      cell.kind = Cell::Kind::Empty;
      break;
    case VT_I4:
      cell.kind = Cell::Kind::Number;
      cell.text = std::to_string(V_I4(&value));
      break;
    case VT_DATE:
      cell.kind = Cell::Kind::Text;
      cell.text = automation_date_text(V_DATE(&value));
      break;
    case VT_BSTR:
      cell.kind = Cell::Kind::Text;
      if (V_BSTR(&value) != nullptr)
        append_utf16(cell.text, V_BSTR(&value), SysStringLen(V_BSTR(&value)));
      break;
    default:
      cell.kind = Cell::Kind::Text;
      cell.text = "?vt=" + std::to_string(V_VT(&value));
  }
}

Cell cell_from_variant(const VARIANT &value) {
  Cell cell;
  set_cell(cell, value);
  return cell;
}

}  // namespace vesk::walk
