// The record-number range of an open log.
#include "api/context.h"

extern "C" {

VESK_EXTERN int32_t VESK_API VeskGetOldest(VESKHANDLE handle, int32_t *out) {
  CEvtLog *ctx = vesk::FindContext(handle);
  if (ctx == nullptr) return 1;
  ctx->ClearError();
  DWORD oldest = 0;
  if (!GetOldestEventLogRecord(ctx->log, out != nullptr ? &oldest : nullptr)) {
    ctx->SetError(VTEXT("GetOldestEventLogRecord rc=%lu"), GetLastError());
    return 1;
  }
  *out = static_cast<int32_t>(oldest);
  return 0;
}

VESK_EXTERN int32_t VESK_API VeskGetNewest(VESKHANDLE handle, int32_t *out) {
  CEvtLog *ctx = vesk::FindContext(handle);
  if (ctx == nullptr) return 1;
  ctx->ClearError();
  DWORD oldest = 0;
  DWORD count = 0;
  if (!GetOldestEventLogRecord(ctx->log, &oldest)) {
    ctx->SetError(VTEXT("GetOldestEventLogRecord rc=%lu"), GetLastError());
    return 1;
  }
  if (!GetNumberOfEventLogRecords(ctx->log, out != nullptr ? &count : nullptr)) {
    ctx->SetError(VTEXT("GetNumberOfEventLogRecords rc=%lu"), GetLastError());
    return 1;
  }
  // 32-bit arithmetic: an empty log gives one below the oldest.
  *out = static_cast<int32_t>(oldest + count - 1);
  return 0;
}

}  // extern "C"
