// The write time of a record as the Automation date of the row's time slot.
#pragma once

#include "platform/platform.h"

// The Automation date (days since 1899-12-30 00:00, the time of day as the
// fraction) of a local calendar time, with the second lowered to an even
// one.  Years 1980 to 2099 go through DosDateTimeToVariantTime; the years
// an MS-DOS date cannot hold are computed here directly, summed in the same
// order so that both ways give the same value for the same time.  False for
// a month, day, hour or minute out of range.
bool VariantTimeFromLocal(int year, int month, int day, int hour, int minute, int second,
                          double *out);

// The Automation date of the local time of this computer (its zone and
// daylight-saving rules) at `seconds` after 1970-01-01 00:00:00 UTC, taken
// as an unsigned 32-bit count: the whole range up to 2106 converts, in every
// build.  False only when the local time cannot be had.
bool LocalVariantTime(DWORD seconds, double *out);
