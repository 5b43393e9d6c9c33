// The per-handle log context and its first-error latch.
#pragma once

#include "accounts/usercache.h"
#include "messages/pool.h"
#include "messages/sources.h"
#include "platform/platform.h"

// Capacities of the context's fixed text fields, in UTF-16 units with the
// terminating zero.
constexpr int kErrorTextUnits = 256;
// The most wvsprintfW writes, the terminator included.
constexpr int kFormatUnits = 1024;
constexpr int kLogNameUnits = 32;
constexpr int kMachineNameUnits = 16;
constexpr int kSystemRootUnits = 260;
constexpr DWORD kReadBufferBytes = 65536;
// The largest read the event log service accepts.
constexpr DWORD kMaxRecordBytes = 0x7FFFF;

struct CEvtLog {
  CEvtLog();
  ~CEvtLog();
  CEvtLog(const CEvtLog &) = delete;
  CEvtLog &operator=(const CEvtLog &) = delete;

  // Latches the first failure of an exported call; later ones are dropped.
  // Formats with wvsprintfW: %s (UTF-16), %lu, %ld, %hu.
  void SetError(LPCWSTR format, ...);
  void ClearError() { error_pending = 0; }

  // The record with that number inside the read buffer (or, for a record
  // larger than the buffer, inside a buffer of its own), or null.  Valid until
  // the next ReadRecord.
  const BYTE *ReadRecord(DWORD number);

  // The source entry for (name, type), made and discovered on first use.
  // Never null.
  CEvtSource *GetSource(LPCWSTR name, LONG type);
  // The module entry for a message-file path, made and loaded on first use.
  CEvtModule *GetModule(LPCWSTR path);

  // Releases the message caches, the user cache and the log handle.
  void Release();

  CEvtSource *sources = nullptr;
  CEvtModule *modules = nullptr;
  // Indexes over the two lists, by (type, name) and by path.
  // Source entries by their number in source_pool, plus one.
  vesk::index::RefIndex<uint32_t> source_index;
  vesk::index::HashIndex<CEvtModule> module_index;
  // The entry GetSource gave last for each type: a row asks for its
  // source's entries once per type, and neighbouring rows often share one.
  CEvtSource *recent_source[3] = {};
  // The memory of the source entries and of their failed numbers.
  vesk::pool::EntryPool<CEvtSource> source_pool;
  vesk::pool::EntryPool<CEvtFailed> failed_pool;
  CUserCache users;
  int error_pending = 0;
  WCHAR error_text[kErrorTextUnits] = {};
  HANDLE log = nullptr;
  WCHAR log_name[kLogNameUnits] = {};
  alignas(8) BYTE buffer[kReadBufferBytes];
  DWORD bytes_valid = 0;
  DWORD last_missed = 0;
  // Where the record after the last hit starts in the read buffer (0: none).
  DWORD scan_hint = 0;
  WCHAR *machine = nullptr;
  WCHAR machine_name[kMachineNameUnits] = {};
  WCHAR system_root[kSystemRootUnits + 1] = {};

  // A record too large for the read buffer, read on its own.
  BYTE *large_record = nullptr;
  DWORD large_record_bytes = 0;
};

// The table of live contexts behind the 32-bit handles.  A handle names a
// slot and the slot's generation, so a closed handle is never mistaken for
// a context opened later in the same slot.
namespace vesk {
// 0 when no slot is free.
VESKHANDLE RegisterContext(CEvtLog *context);
// Null for a null, unknown or closed handle.
CEvtLog *FindContext(VESKHANDLE handle);
// Removes the handle from the table and returns its context (null if none).
CEvtLog *UnregisterContext(VESKHANDLE handle);
}  // namespace vesk
