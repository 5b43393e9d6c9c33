#include "api/context.h"

#include <cstring>

CEvtLog::CEvtLog() { std::memset(buffer, 0, sizeof buffer); }

CEvtLog::~CEvtLog() { Release(); }

void CEvtLog::SetError(LPCWSTR format, ...) {
  if (error_pending) return;
  // wvsprintfW writes at most kFormatUnits units, the terminator included.
  WCHAR scratch[kFormatUnits];
  scratch[0] = 0;
  va_list args;
  va_start(args, format);
  wvsprintfW(scratch, format, args);
  va_end(args);
  lstrcpynW(error_text, scratch, kErrorTextUnits);
  error_pending = 1;
}

void CEvtLog::Release() {
  if (log != nullptr) {
    CloseEventLog(log);
    log = nullptr;
  }
  for (CEvtSource *&s : recent_source) s = nullptr;
  source_index.Release();
  module_index.Release();
  ReleaseModules(&modules);
  ReleaseSources(&sources);
  source_pool.Release();
  failed_pool.Release();
  users.Release();
  delete[] large_record;
  large_record = nullptr;
  large_record_bytes = 0;
}
