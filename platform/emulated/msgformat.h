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

}  // namespace vesk::emu
