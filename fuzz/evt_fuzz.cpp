// Feeds the input as an event log file through the emulated event log
// service and reads every record: sequentially forwards and backwards with
// buffers from too small to large, and by seek reads in both directions.
// Traps when a read hands out anything but whole, sound records in the read
// direction, reports a size it did not keep to, or touches the caller's
// buffer when it fails.
//
// Everything that does not depend on the input (the computer, its registry,
// the read buffers) is made once; one input costs the opens of its log and
// the reads.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/emulated/evtfile.h"
#include "platform/emulated/seam.h"
#include "platform/platform.h"

namespace {

namespace emu = vesk::emu;

uint32_t U32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// One read; checks what it handed out.  Returns the error code (0: read) and
// the first and last numbers returned.
// The read buffer, large enough for every size tried, made once.  Its bytes
// past what a read returns must stay as they were.
constexpr DWORD kLargest = 0x100000;
constexpr uint8_t kFill = 0xA5;
std::vector<uint8_t> &Buffer() {
  static std::vector<uint8_t> buf(kLargest, kFill);
  return buf;
}

// The first `n` bytes of the buffer back to kFill, after a read wrote them.
void Refill(std::vector<uint8_t> &buf, DWORD n) { std::memset(buf.data(), kFill, n); }

// Whether the first n bytes still hold kFill.
bool Untouched(const std::vector<uint8_t> &buf, DWORD n) {
  for (DWORD i = 0; i < n; ++i)
    if (buf[i] != kFill) return false;
  return true;
}

DWORD ReadOnce(HANDLE h, DWORD flags, DWORD number, std::vector<uint8_t> &buf, DWORD size,
               DWORD *first, DWORD *last) {
  DWORD read = 0xFFFFFFFF, needed = 0xFFFFFFFF;
  if (ReadEventLogW(h, flags, number, buf.data(), size, &read, &needed)) {
    Check(read <= kLargest);
    Check(read > 0 && read <= size && read <= emu::evt::kMaxBatch && needed == 0);
    const bool forwards = flags & EVENTLOG_FORWARDS_READ;
    DWORD at = 0, expect = 0;
    while (at < read) {
      Check(read - at >= emu::evt::kRecordFixed);
      uint32_t len = U32(buf.data() + at);
      uint32_t num = U32(buf.data() + at + 8);
      Check(len <= read - at && emu::evt_record_sound(buf.data() + at, len, num));
      if (at == 0) {
        *first = num;
        if (flags & EVENTLOG_SEEK_READ) Check(num == number);
      } else {
        Check(num == expect);
      }
      *last = num;
      expect = forwards ? num + 1 : num - 1;
      at += len;
    }
    // Nothing written past the records returned.
    for (DWORD i = read; i < size && i < read + 16; ++i) Check(buf[i] == kFill);
    Refill(buf, read);
    return 0;
  }
  // A failed read leaves the buffer as it was (its start, where a read
  // would have put the first record).
  Check(Untouched(buf, size < 64 ? size : 64));
  DWORD rc = GetLastError();
  Check(rc == ERROR_HANDLE_EOF || rc == ERROR_INSUFFICIENT_BUFFER ||
        rc == ERROR_EVENTLOG_FILE_CORRUPT || rc == ERROR_INVALID_PARAMETER);
  if (rc == ERROR_INSUFFICIENT_BUFFER) Check(read == 0 && needed > size);
  return rc;
}

// Sequential reads until the end, a bounded number of them, with buffers
// from none to larger than the service's batch, one size after the other.
// A buffer too small for the next record leaves the position, and the walk
// goes on with the next size; only the largest one failing ends it.
void ReadSequentially(HANDLE h, DWORD direction, DWORD count) {
  static const DWORD kSizes[] = {0x10000, 0x38, 0x100, 0, 0x1000, kLargest};
  constexpr uint64_t kKinds = sizeof kSizes / sizeof kSizes[0];
  std::vector<uint8_t> &buf = Buffer();
  DWORD previous = 0;
  bool any = false;
  for (uint64_t i = 0; i <= (uint64_t{count} + 2) * kKinds; ++i) {
    const DWORD size = kSizes[i % kKinds];
    DWORD first = 0, last = 0;
    DWORD rc =
        ReadOnce(h, EVENTLOG_SEQUENTIAL_READ | direction, 0, buf, size, &first, &last);
    if (rc == ERROR_HANDLE_EOF) return;
    if (rc == ERROR_INSUFFICIENT_BUFFER) {
      if (size == kLargest) return;
      continue;
    }
    if (rc != 0) continue;  // a damaged record: the next read goes past it
    if (any)
      Check(direction == EVENTLOG_FORWARDS_READ ? first > previous : first < previous);
    previous = last;
    any = true;
  }
  __builtin_trap();  // never reached the end
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::shared_ptr<emu::Computer> computer = [] {
    emu::reset();
    auto c = std::make_shared<emu::Computer>(u"FUZZ");
    emu::set_local(c);
    return c;
  }();
  // The log's key exists from the first input on; this replaces its bytes.
  computer->add_log(u"Application", std::vector<uint8_t>(data, data + size));
  // Diagnostics are kept in a list: one input's must not pile up.
  emu::clear_diagnostics();

  HANDLE h = OpenEventLogW(nullptr, u"Application");
  if (!h) {
    DWORD rc = GetLastError();
    Check(rc == ERROR_EVENTLOG_FILE_CORRUPT);
    Check(emu::live().event_logs == 0);
    return 0;
  }
  DWORD oldest = 0, count = 0;
  Check(GetOldestEventLogRecord(h, &oldest) && GetNumberOfEventLogRecords(h, &count));
  Check(count <= size / emu::evt::kRecordFixed + 1);
  Check(count == 0 || (oldest != 0 && oldest - 1 + uint64_t{count} <= 0xFFFFFFFFu));
  CloseEventLog(h);

  for (DWORD direction : {EVENTLOG_FORWARDS_READ, EVENTLOG_BACKWARDS_READ}) {
    HANDLE s = OpenEventLogW(nullptr, u"Application");
    Check(s != nullptr);
    ReadSequentially(s, direction, count);
    CloseEventLog(s);
  }

  // Seek reads of every number (a sample of them in a large log), and just
  // outside the log; mostly with a small buffer, as a large one makes every
  // read check a whole batch.
  HANDLE k = OpenEventLogW(nullptr, u"Application");
  Check(k != nullptr);
  std::vector<uint8_t> &buf = Buffer();
  const DWORD step = count > 256 ? count / 256 : 1;
  for (uint64_t i = 0; i < count; i += step) {
    const DWORD n = static_cast<DWORD>(oldest + i);
    for (DWORD direction : {EVENTLOG_FORWARDS_READ, EVENTLOG_BACKWARDS_READ}) {
      DWORD first = 0, last = 0;
      DWORD rc = ReadOnce(k, EVENTLOG_SEEK_READ | direction, n, buf,
                          i % 8 == 0 ? 0x10000 : 0x200, &first, &last);
      Check(rc != ERROR_HANDLE_EOF && rc != ERROR_INVALID_PARAMETER);
    }
  }
  DWORD first = 0, last = 0;
  Check(ReadOnce(k, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, oldest + count, buf,
                 0x10000, &first, &last) ==
        (oldest + count == 0 ? ERROR_INVALID_PARAMETER : ERROR_HANDLE_EOF));
  if (oldest > 1)
    Check(ReadOnce(k, EVENTLOG_SEEK_READ | EVENTLOG_BACKWARDS_READ, oldest - 1, buf,
                   0x10000, &first, &last) == ERROR_INVALID_PARAMETER);
  CloseEventLog(k);
  Check(emu::live().event_logs == 0);
  return 0;
}
