// Feeds the input as a message DLL: loads it as a data file (through the
// same reader LoadLibraryExW uses, without its path look-up), then looks up
// numbers taken from the input and a few fixed ones, in several languages,
// with inserts ignored and with an argument array.  Traps when a call
// reports success with a text that breaks the buffer rules, or fails with a
// code outside the ones a data-file load and a message look-up give.
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/emulated/seam.h"
#include "platform/platform.h"

namespace {

namespace emu = vesk::emu;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

constexpr DWORD kBuffer = 300;

struct Setup {
  std::vector<std::u16string> strings;
  std::vector<DWORD_PTR> args;

  Setup() {
    emu::reset();
    for (int i = 0; i < 99; ++i)
      strings.push_back(u"arg" + std::u16string(1 + i % 5, u'x'));
    for (const auto &s : strings) args.push_back(reinterpret_cast<DWORD_PTR>(s.c_str()));
  }
};

bool LoadError(DWORD e) { return e == ERROR_FILE_INVALID || e == ERROR_BAD_EXE_FORMAT; }

bool LookupError(DWORD e) {
  return e == ERROR_RESOURCE_DATA_NOT_FOUND || e == ERROR_RESOURCE_TYPE_NOT_FOUND ||
         e == ERROR_RESOURCE_NAME_NOT_FOUND || e == ERROR_RESOURCE_LANG_NOT_FOUND ||
         e == ERROR_MR_MID_NOT_FOUND || e == ERROR_INSUFFICIENT_BUFFER ||
         e == ERROR_INVALID_PARAMETER || e == ERROR_NO_WORK_DONE;
}

void FormatOnce(HMODULE h, DWORD flags, DWORD id, DWORD lang, const Setup &s) {
  WCHAR out[kBuffer + 1];
  out[kBuffer] = 0x5A5A;  // past the size given: must stay
  SetLastError(0);
  DWORD n =
      FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | flags, h, id, lang, out, kBuffer,
                     reinterpret_cast<va_list *>(const_cast<DWORD_PTR *>(s.args.data())));
  Check(out[kBuffer] == 0x5A5A);
  if (n == 0) {
    DWORD e = GetLastError();
    Check(LookupError(e));
    if (e == ERROR_INSUFFICIENT_BUFFER) Check(out[kBuffer - 1] == 0);
    return;
  }
  Check(n < kBuffer && out[n] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Setup *setup = new Setup();
  // Read in place by the data-file loader, without a file to resolve.
  SetLastError(0);
  HMODULE h = emu::load_module(data, size);
  if (h == nullptr) {
    Check(LoadError(GetLastError()));
    return 0;
  }
  // Numbers: two fixed ones (one with severity bits) and words of the input
  // itself, which hold the ids of any table in it; languages: the default
  // (which takes any table) and a specific one.
  DWORD ids[6] = {1, 0xC0000001};
  size_t count = 2;
  for (size_t at = 0; at + 4 <= size && count < 6; at += size / 3 + 4) {
    std::memcpy(&ids[count], data + at, 4);
    ++count;
  }
  for (size_t i = 0; i < count; ++i) {
    FormatOnce(h, FORMAT_MESSAGE_IGNORE_INSERTS, ids[i], 0x0407, *setup);
    FormatOnce(h, FORMAT_MESSAGE_ARGUMENT_ARRAY | 0xFF, ids[i], LANG_USER_DEFAULT,
               *setup);
  }
  Check(FreeLibrary(h));
  Check(emu::live().modules == 0);
  return 0;
}
