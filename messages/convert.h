// Expansion of parameter references ("%%n") inside insertion strings.
#pragma once

#include "platform/platform.h"

struct CEvtLog;

// Number of insertion-string positions, and the most characters one
// expansion keeps (a longer one is cut there, with an error latched).
constexpr int kExpansionSlots = 99;
constexpr int kExpansionChars = 32000;

// Expands the parameter references ("%%" and at least one digit) of
// insertion string `index` (0 to 98) of a record of `source` into buffer
// `index` of the calling thread's expansion table, and returns it.  Every
// other unit, a lone '%' included, is kept as it stands.  The result stays
// valid until convert is next called with the same index on the same thread.
// Null after an internal error has been latched on the context.
LPCWSTR convert(CEvtLog *ctx, LPCWSTR source, int index, LPCWSTR text);
