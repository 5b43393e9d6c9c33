// Fetching one record as a row.
#include "api/context.h"

extern "C" {

VESK_EXTERN int32_t VESK_API VeskGetRec(VESKHANDLE handle, uint32_t number,
                                        VARIANT *row) {
  CEvtLog *ctx = vesk::FindContext(handle);
  if (ctx == nullptr) return -1;
  ctx->ClearError();
  // Without a row a -1 must not read as the end of the log.
  if (row == nullptr) {
    ctx->SetError(VTEXT("VeskGetRec: no row to fill (the row pointer is null)"));
    return -1;
  }
  const BYTE *record = ctx->ReadRecord(number);
  if (record == nullptr) return -1;
  // Turning the record into the eight values needs the message and account
  // lookups, which this build does not have yet: the row stays untouched.
  ctx->SetError(VTEXT("VeskGetRec: row conversion is not available in this build"));
  return -1;
}

}  // extern "C"
