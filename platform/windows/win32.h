// Windows: the system's own headers and libraries serve every call.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <oleauto.h>
#include <winreg.h>

#include "vesk.h"

static_assert(sizeof(WCHAR) == 2, "WCHAR is 16 bits");
