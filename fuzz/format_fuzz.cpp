// Feeds arbitrary message text and insertion strings to FormatMessageW:
//   byte 0      the width byte
//   byte 1      bit 0: FORMAT_MESSAGE_IGNORE_INSERTS
//   bytes 2-3   the buffer size in units, modulo 1024
//   the rest    UTF-16LE units: the text, then insertion strings, each ended
//               by a NUL; inserts past the last string are null pointers.
// Traps when a result breaks the buffer rules or the call fails with a code
// FormatMessageW does not give for a string, and, under the width bytes that
// do not wrap, when the text's plan formats it otherwise than the formatter.
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/emulated/msgformat.h"
#include "platform/emulated/seam.h"
#include "platform/platform.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

constexpr size_t kMaxUnits = 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool configured = (vesk::emu::reset(), true);
  (void)configured;
  if (size < 4) return 0;
  const DWORD width = data[0];
  const bool ignore = data[1] & 1;
  const DWORD capacity = (data[2] | data[3] << 8) % kMaxUnits;
  // The units, with a NUL after the last so that every piece ends.
  thread_local std::vector<WCHAR> units;
  units.clear();
  for (size_t i = 4; i + 1 < size; i += 2)
    units.push_back(static_cast<WCHAR>(data[i] | data[i + 1] << 8));
  units.push_back(0);
  DWORD_PTR args[99] = {};
  size_t piece = 0, start = 0;
  for (size_t i = 0; i < units.size() && piece < 100; ++i) {
    if (units[i] != 0) continue;
    if (piece > 0) args[piece - 1] = reinterpret_cast<DWORD_PTR>(&units[start]);
    ++piece;
    start = i + 1;
  }
  // The plan of the text against the formatter, unit for unit.
  if (width == 0 || width == 0xFF) {
    size_t length = 0;
    while (units[length] != 0) ++length;
    thread_local vesk::emu::MessagePlan plan;
    if (plan.build(units.data(), length, width, ignore)) {
      vesk::emu::MessageArgs margs;
      if (!ignore) margs.array = args;
      thread_local std::vector<WCHAR> direct(kMaxUnits + 1), planned(kMaxUnits + 1);
      for (auto &c : direct) c = 0x5A5A;
      for (auto &c : planned) c = 0x5A5A;
      size_t direct_n = 7, planned_n = 7;
      const DWORD a = vesk::emu::format_message(
          units.data(), length, width, ignore, margs, direct.data(), capacity, &direct_n);
      const DWORD b = plan.run(units.data(), margs, planned.data(), capacity, &planned_n);
      Check(a == b && direct_n == planned_n && direct == planned);
    }
  }
  thread_local std::vector<WCHAR> out(kMaxUnits + 1);
  for (auto &c : out) c = 0x5A5A;
  const DWORD flags = FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY | width |
                      (ignore ? FORMAT_MESSAGE_IGNORE_INSERTS : 0);
  SetLastError(0);
  DWORD n = FormatMessageW(flags, units.data(), 0, 0, out.data(), capacity,
                           reinterpret_cast<va_list *>(args));
  Check(out[capacity] == 0x5A5A);  // nothing past the size given
  if (n > 0) {
    Check(n < capacity && out[n] == 0);
    return 0;
  }
  DWORD e = GetLastError();
  Check(e == ERROR_INVALID_PARAMETER || e == ERROR_INSUFFICIENT_BUFFER ||
        e == ERROR_NO_WORK_DONE);
  if (e == ERROR_INSUFFICIENT_BUFFER && capacity > 0) Check(out[capacity - 1] == 0);
  if (e == ERROR_NO_WORK_DONE) Check(out[0] == 0);
  return 0;
}
