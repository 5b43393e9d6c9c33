// Expansion of parameter references inside insertion strings.
#include "messages/convert.h"

#include "api/context.h"
#include "messages/sources.h"

namespace {

constexpr int kExpansionChars = kExpansionUnits - 1;
// The text of one parameter message.
constexpr DWORD kParameterUnits = 32000;
// Category and parameter texts keep their insert marks and hard line breaks.
constexpr DWORD kParameterFlags = FORMAT_MESSAGE_FROM_HMODULE |
                                  FORMAT_MESSAGE_IGNORE_INSERTS |
                                  FORMAT_MESSAGE_MAX_WIDTH_MASK;

// Each thread expands into its own table, so rows converted on two threads
// never overwrite each other's expansions.
thread_local WCHAR t_expansions[kExpansionSlots][kExpansionUnits];
// The text of one parameter message; per thread rather than on the stack,
// which FormatFrom's staging area below a row's own buffer already loads.
thread_local WCHAR t_parameter[kParameterUnits];

bool IsDigit(WCHAR c) { return c >= u'0' && c <= u'9'; }

// Appends units [from, to) (or up to the terminator when `to` is null) to
// the expansion, stopping at its limit.
void Copy(WCHAR *out, int *count, const WCHAR *from, const WCHAR *to) {
  for (const WCHAR *p = from; (to != nullptr ? p < to : *p != 0); ++p) {
    if (*count >= kExpansionChars) return;
    out[(*count)++] = *p;
  }
}

}  // namespace

LPCWSTR convert(CEvtLog *ctx, LPCWSTR source, int index, LPCWSTR text) {
  if (index < 0 || index >= kExpansionSlots) {
    ctx->SetError(VTEXT("internal error, convert, #1"));
    return nullptr;
  }
  WCHAR *out = t_expansions[index];
  int count = 0;
  const WCHAR *p = text != nullptr ? text : VTEXT("");
  while (*p != 0 && count < kExpansionChars) {
    if (p[0] != u'%') {
      out[count++] = *p++;
    } else if (p[1] != u'%') {
      // A single percent sign vanishes and the unit after it stays; at the
      // end of the text it simply vanishes.
      if (p[1] == 0) break;
      out[count++] = p[1];
      p += 2;
    } else {
      // "%%" and the digits behind it: a parameter message number, wrapping
      // modulo 2^32.
      const WCHAR *reference = p;
      p += 2;
      DWORD number = 0;
      for (; IsDigit(*p); ++p) number = number * 10 + static_cast<DWORD>(*p - u'0');
      CEvtSource *parameters = ctx->GetSource(source, kParameterModule);
      if (parameters->FormatFrom(ctx, number, kParameterFlags, t_parameter,
                                 kParameterUnits, nullptr) != 0)
        Copy(out, &count, t_parameter, nullptr);
      else
        Copy(out, &count, reference, p);
    }
  }
  out[count] = 0;
  if (lstrlenW(out) > kExpansionChars) {
    ctx->SetError(VTEXT("internal error, convert, #2\n"));
    return nullptr;
  }
  return out;
}
