// Turning one raw event record into the caller's row of eight values.
#pragma once

#include "platform/platform.h"

struct CEvtLog;

// Slots of the row, in order.
enum RowSlot {
  kSlotTime = 0,
  kSlotEvent = 1,
  kSlotType = 2,
  kSlotCategory = 3,
  kSlotUser = 4,
  kSlotSource = 5,
  kSlotComputer = 6,
  kSlotMessage = 7,
  kRowSlots = 8
};

// Fills row[0..7] from the EVENTLOGRECORD at `record`, reading nothing past
// the record's own Length.  Reports through the row and the context's latch.
void writerec(CEvtLog *ctx, const BYTE *record, VARIANT *row);
