// The message formatter behind FormatMessageW: escapes, inserts with printf
// formats, line breaks under the width byte.  It writes straight into the
// caller's buffer and allocates nothing.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <vector>

#include "platform/emulated/win32.h"

namespace vesk::emu {

struct MessageArgs {
  const DWORD_PTR *array = nullptr;  // FORMAT_MESSAGE_ARGUMENT_ARRAY
  va_list *list = nullptr;           // otherwise
};

// Formats `text` (`length` units; a NUL ends it earlier) into `out`, which
// holds `capacity` units with the terminator.  `width` is the low byte of
// the flags.  Returns 0 with *written set to the units written (without the
// terminator, which is always written), or the error:
// ERROR_INVALID_PARAMETER for a '%' at the end of the text, an insert
// without arguments or a malformed !format! (the units written before it
// stay, unterminated); ERROR_INSUFFICIENT_BUFFER when the text does not fit,
// the buffer then holding its first capacity-1 units and a terminator
// (nothing at all when capacity is 0).
DWORD format_message(const WCHAR *text, size_t length, unsigned width,
                     bool ignore_inserts, const MessageArgs &args, WCHAR *out,
                     size_t capacity, size_t *written);

// Formats the whole text into `scratch`, which grows (doubling, up to about
// `limit` units) until the text fits; each try reads a copy of a va_list,
// and the caller's own is read once the text fits.  0 with *written, or the
// error of format_message (ERROR_INSUFFICIENT_BUFFER past the limit).
DWORD format_growing(const WCHAR *text, size_t length, unsigned width,
                     bool ignore_inserts, const MessageArgs &args,
                     std::vector<WCHAR> &scratch, size_t limit, size_t *written);

// A message text taken apart once, for the width bytes that never wrap (0
// and FORMAT_MESSAGE_MAX_WIDTH_MASK): its plain runs, line breaks, escapes
// and inserts in order, so that formatting the text again copies the runs
// and formats the inserts without reading the text for its marks.  Running
// a plan gives exactly what format_message gives for the same text, width,
// flag and arguments, failures and a short buffer included.
class MessagePlan {
 public:
  // The most steps a plan holds; a text of more is not planned.
  static constexpr size_t kMostSteps = 256;

  // Plans `text` (`length` units, a NUL ending it earlier).  False, and the
  // plan empty, for a wrapping width or a text of too many steps.
  bool build(const WCHAR *text, size_t length, unsigned width, bool ignore_inserts);

  // format_message over `text`, which holds the units the plan was built
  // from (wherever they lie now).
  DWORD run(const WCHAR *text, const MessageArgs &args, WCHAR *out, size_t capacity,
            size_t *written) const;

 private:
  struct Step {
    // kPlainInsert: an insert without a format (%1), a text conversion.
    enum Kind : uint8_t { kRun, kUnits, kCrlf, kInsert, kPlainInsert, kInvalid };
    Kind kind = kRun;
    uint8_t count = 0;  // kUnits: how many of `units`
    uint8_t nr = 0;     // kInsert: 1 to 99
    char16_t units[2] = {0, 0};
    uint32_t at = 0, n = 0;     // kRun: the units; kInsert: the insert as written
    uint32_t from = 0, to = 0;  // kInsert: its format between the bangs
  };
  std::vector<Step> steps_;
};

}  // namespace vesk::emu
