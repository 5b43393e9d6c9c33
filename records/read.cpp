// Reading raw records by number through the 64 KB batch buffer.
#include <new>

#include "api/context.h"
#include "records/bytes.h"

namespace {

// The record with `number` among the whole records of `buffer`, or null.
// The walk stops at a length that could not be a record or that runs past
// the bytes read, so a damaged buffer is a miss, never an endless loop or a
// read beyond it.
const BYTE *FindInBatch(const BYTE *buffer, DWORD valid, DWORD number) {
  DWORD total = 0;
  while (valid > total && valid - total >= kRecordFixedBytes) {
    const BYTE *record = buffer + total;
    DWORD length = ReadU32(record + kRecordLength);
    if (length < kRecordFixedBytes || length > valid - total) return nullptr;
    if (ReadU32(record + kRecordNumber) == number) return record;
    total += length;
  }
  return nullptr;
}

}  // namespace

const BYTE *CEvtLog::ReadRecord(DWORD number) {
  if (const BYTE *hit = FindInBatch(buffer, bytes_valid, number)) return hit;

  DWORD flags = EVENTLOG_SEEK_READ |
                (number < last_missed ? EVENTLOG_BACKWARDS_READ : EVENTLOG_FORWARDS_READ);
  last_missed = number;

  DWORD read = 0;
  DWORD needed = 0;
  if (ReadEventLogW(log, flags, number, buffer, kReadBufferBytes, &read, &needed)) {
    bytes_valid = read;
    // The seek read puts the asked-for record first; anything else is a
    // service fault, reported rather than handed on.
    if (FindInBatch(buffer, read, number) == buffer) return buffer;
    SetError(VTEXT("ReadEventLog rc=%lu cbReq=%lu"), static_cast<DWORD>(ERROR_INVALID_DATA),
             needed);
    return nullptr;
  }
  DWORD rc = GetLastError();
  if (rc == ERROR_HANDLE_EOF) return nullptr;

  // A record larger than the batch buffer is read again on its own, into a
  // buffer of the size the service asked for; the batch stays as it was.
  if (rc == ERROR_INSUFFICIENT_BUFFER && needed > kReadBufferBytes &&
      needed <= kMaxRecordBytes) {
    if (large_record_bytes < needed) {
      delete[] large_record;
      large_record = new (std::nothrow) BYTE[needed];
      large_record_bytes = large_record != nullptr ? needed : 0;
    }
    if (large_record != nullptr) {
      DWORD again = 0;
      DWORD needed_again = 0;
      if (ReadEventLogW(log, flags, number, large_record, needed, &again, &needed_again) &&
          again >= kRecordFixedBytes &&
          ReadU32(large_record + kRecordLength) <= again &&
          ReadU32(large_record + kRecordNumber) == number)
        return large_record;
      DWORD rc_again = GetLastError();
      SetError(VTEXT("ReadEventLog rc=%lu cbReq=%lu"), rc_again, needed_again);
      return nullptr;
    }
  }
  SetError(VTEXT("ReadEventLog rc=%lu cbReq=%lu"), rc, needed);
  return nullptr;
}
