// Fetching one record as a row.
#include "api/context.h"
#include "records/writerec.h"

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
  // No record (the end of the log, or a read that failed): the row keeps
  // what it held.
  const BYTE *record = ctx->ReadRecord(number);
  if (record == nullptr) return -1;
  writerec(ctx, record, row);
  // A row can be complete and still come with -1: an error latched anywhere
  // in the conversion makes the call report it.
  return ctx->error_pending ? -1 : 0;
}

}  // extern "C"
