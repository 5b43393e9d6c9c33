// Expansion of parameter references inside insertion strings.
#include "messages/convert.h"

#include <new>

#include "api/context.h"
#include "messages/sources.h"

namespace {

// The text of one parameter message.
constexpr DWORD kParameterUnits = 32000;
// Category and parameter texts keep their insert marks and hard line breaks.
constexpr DWORD kParameterFlags = FORMAT_MESSAGE_FROM_HMODULE |
                                  FORMAT_MESSAGE_IGNORE_INSERTS |
                                  FORMAT_MESSAGE_MAX_WIDTH_MASK;
// An expansion buffer's first size, in units; it doubles as texts need.
constexpr DWORD kFirstUnits = 256;
constexpr DWORD kMostUnits = kExpansionChars + 1;

// One expansion buffer of a thread.  It only ever grows, so once a thread has
// met its longest strings, expanding allocates nothing.
class Expansion {
 public:
  Expansion() = default;
  ~Expansion() { delete[] units_; }
  Expansion(const Expansion &) = delete;
  Expansion &operator=(const Expansion &) = delete;

  // Starts a new expansion; false when no memory can be had for it.
  bool Begin() {
    count_ = 0;
    cut_ = false;
    failed_ = false;
    return Reserve(kFirstUnits);
  }
  // Appends one unit; false (and the expansion marked cut) past the limit or
  // when the buffer cannot grow.
  bool Put(WCHAR c) {
    if (count_ >= static_cast<DWORD>(kExpansionChars) ||
        (count_ + 1 >= capacity_ && !Reserve(count_ + 2))) {
      cut_ = true;
      return false;
    }
    units_[count_++] = c;
    return true;
  }
  // Appends units [from, to), or up to the terminator when `to` is null.
  bool Put(const WCHAR *from, const WCHAR *to) {
    for (const WCHAR *p = from; (to != nullptr ? p < to : *p != 0); ++p)
      if (!Put(*p)) return false;
    return true;
  }
  LPCWSTR Finish() {
    units_[count_] = 0;
    return units_;
  }
  // Marks the expansion cut when it is full: what is left is neither copied
  // nor looked up.
  bool Full() {
    if (count_ < static_cast<DWORD>(kExpansionChars)) return false;
    cut_ = true;
    return true;
  }
  bool cut() const { return cut_; }
  bool failed() const { return failed_; }

 private:
  bool Reserve(DWORD units) {
    if (units <= capacity_) return true;
    DWORD grown = capacity_ != 0 ? capacity_ : kFirstUnits;
    while (grown < units) grown *= 2;
    if (grown > kMostUnits) grown = kMostUnits;
    WCHAR *bigger = new (std::nothrow) WCHAR[grown];
    if (bigger == nullptr) {
      failed_ = true;
      return false;
    }
    for (DWORD i = 0; i < count_; ++i) bigger[i] = units_[i];
    delete[] units_;
    units_ = bigger;
    capacity_ = grown;
    return true;
  }

  WCHAR *units_ = nullptr;
  DWORD capacity_ = 0;
  DWORD count_ = 0;
  bool cut_ = false;
  bool failed_ = false;
};

// Each thread expands into its own table, so rows converted on two threads
// never overwrite each other's expansions.
thread_local Expansion t_expansions[kExpansionSlots];
// The text of one parameter message; per thread rather than on the stack,
// which FormatFrom's staging area below a row's own buffer already loads.
thread_local WCHAR t_parameter[kParameterUnits];

bool IsDigit(WCHAR c) { return c >= u'0' && c <= u'9'; }

}  // namespace

LPCWSTR convert(CEvtLog *ctx, LPCWSTR source, int index, LPCWSTR text) {
  if (index < 0 || index >= kExpansionSlots) {
    ctx->SetError(VTEXT("internal error, convert, #1"));
    return nullptr;
  }
  Expansion &out = t_expansions[index];
  if (!out.Begin()) {
    ctx->SetError(VTEXT("internal error, convert, #3"));
    return nullptr;
  }
  const WCHAR *p = text != nullptr ? text : VTEXT("");
  while (*p != 0 && !out.Full()) {
    if (p[0] != u'%' || p[1] != u'%' || !IsDigit(p[2])) {
      // Everything but a reference stands as it is, a lone '%' included.
      if (!out.Put(*p)) break;
      ++p;
      continue;
    }
    // "%%" and the digits behind it: a parameter message number, wrapping
    // modulo 2^32.
    const WCHAR *reference = p;
    p += 2;
    DWORD number = 0;
    for (; IsDigit(*p); ++p) number = number * 10 + static_cast<DWORD>(*p - u'0');
    CEvtSource *parameters = ctx->GetSource(source, kParameterModule);
    bool whole;
    if (parameters->FormatFrom(ctx, number, kParameterFlags, t_parameter, kParameterUnits,
                               nullptr) != 0)
      whole = out.Put(t_parameter, nullptr);
    else
      whole = out.Put(reference, p);
    if (!whole) break;
  }
  LPCWSTR result = out.Finish();
  if (out.failed()) {
    ctx->SetError(VTEXT("internal error, convert, #3"));
    return nullptr;
  }
  if (out.cut())
    ctx->SetError(VTEXT("convert: insertion string %lu cut at %lu characters"),
                  static_cast<DWORD>(index + 1), static_cast<DWORD>(kExpansionChars));
  return result;
}
