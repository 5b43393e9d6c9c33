// Expansion of parameter references ("%%n") inside insertion strings.
#pragma once

#include "platform/platform.h"

struct CEvtLog;

// Number of insertion-string positions, and the units of one expansion
// buffer (at most 1000 characters and the terminator).
constexpr int kExpansionSlots = 99;
constexpr int kExpansionUnits = 1001;

// Expands the parameter references of insertion string `index` (0 to 98) of
// a record of `source` into buffer `index` of the calling thread's expansion
// table, and returns it.  The result stays valid until convert is next called
// with the same index on the same thread.  Null after an internal error has
// been latched on the context.
LPCWSTR convert(CEvtLog *ctx, LPCWSTR source, int index, LPCWSTR text);
