// The outside world as the library sees it: the Win32 and Automation subset
// it calls, with Win32 names, signatures, types and error codes.  On Windows
// these are the system's own declarations; elsewhere the emulated platform
// declares and implements the same names.
#pragma once

#if defined(_WIN32)
#include "platform/windows/win32.h"
#else
#include "platform/emulated/win32.h"
#endif

// Wide (UTF-16) literal: VTEXT("Security").
#if defined(_WIN32)
#define VTEXT_(s) L##s
#else
#define VTEXT_(s) u##s
#endif
#define VTEXT(s) VTEXT_(s)
