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

// A walk asks for the numbers of a batch in the order in which they lie in
// it, forwards or backwards alike, so the record after the last hit is tried
// first.  The hint only ever points at the start of a record that a scan
// from the first byte reached, so the result is the one that scan gives.
const BYTE *FindWithHint(const BYTE *buffer, DWORD valid, DWORD number, DWORD *hint) {
  const BYTE *hit = nullptr;
  if (*hint != 0 && *hint < valid) {
    const BYTE *record = buffer + *hint;
    if (valid - *hint >= kRecordFixedBytes) {
      DWORD length = ReadU32(record + kRecordLength);
      if (length >= kRecordFixedBytes && length <= valid - *hint &&
          ReadU32(record + kRecordNumber) == number)
        hit = record;
    }
  }
  if (hit == nullptr) hit = FindInBatch(buffer, valid, number);
  *hint = hit != nullptr ? static_cast<DWORD>(hit - buffer) + ReadU32(hit + kRecordLength)
                         : 0;
  return hit;
}

}  // namespace

const BYTE *CEvtLog::ReadRecord(DWORD number) {
  if (const BYTE *hit = FindWithHint(buffer, bytes_valid, number, &scan_hint)) return hit;

  DWORD flags = EVENTLOG_SEEK_READ |
                (number < last_missed ? EVENTLOG_BACKWARDS_READ : EVENTLOG_FORWARDS_READ);
  last_missed = number;

  DWORD read = 0;
  DWORD needed = 0;
  if (ReadEventLogW(log, flags, number, buffer, kReadBufferBytes, &read, &needed)) {
    bytes_valid = read;
    // The seek read puts the asked-for record first; anything else is a
    // service fault, reported rather than handed on.
    if (FindInBatch(buffer, read, number) == buffer) {
      scan_hint = ReadU32(buffer + kRecordLength);
      return buffer;
    }
    SetError(VTEXT("ReadEventLog rc=%lu cbReq=%lu"),
             static_cast<DWORD>(ERROR_INVALID_DATA), needed);
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
      if (ReadEventLogW(log, flags, number, large_record, needed, &again,
                        &needed_again)) {
        if (again >= kRecordFixedBytes &&
            ReadU32(large_record + kRecordLength) <= again &&
            ReadU32(large_record + kRecordNumber) == number)
          return large_record;
        // Read, but not the record asked for: the service's data is wrong.
        SetError(VTEXT("ReadEventLog rc=%lu cbReq=%lu"),
                 static_cast<DWORD>(ERROR_INVALID_DATA), needed);
        return nullptr;
      }
      DWORD rc_again = GetLastError();
      // The log was cleared or cut between the two reads.
      if (rc_again == ERROR_HANDLE_EOF) return nullptr;
      SetError(VTEXT("ReadEventLog rc=%lu cbReq=%lu"), rc_again, needed_again);
      return nullptr;
    }
  }
  SetError(VTEXT("ReadEventLog rc=%lu cbReq=%lu"), rc, needed);
  return nullptr;
}
