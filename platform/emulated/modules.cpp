// Message files loaded as data.
#include "platform/emulated/internal.h"

using namespace vesk::emu;

extern "C" {

BOOL WINAPI FreeLibrary(HMODULE module) {
  VESK_EMU_ENTER(FreeLibrary, FALSE);
  (void)module;
  // No module has been loaded through this platform yet.
  detail::set_error(ERROR_INVALID_HANDLE);
  return FALSE;
}

}  // extern "C"
