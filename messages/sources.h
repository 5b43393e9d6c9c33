// The context's message caches: one CEvtSource per pair of source name and
// kind of text, one CEvtModule per message file.
#pragma once

#include "platform/platform.h"

// Kind of message text, and the registry value that lists its files.
enum ModuleType : LONG {
  kMessageModule = 0,    // "EventMessageFile"
  kCategoryModule = 1,   // "CategoryMessageFile"
  kParameterModule = 2,  // "ParameterMessageFile"
};

// One message file of a context, loaded once as a data file.  A file that
// failed to load stays cached with a null handle.
struct CEvtModule {
  CEvtModule *next = nullptr;
  LPWSTR path = nullptr;  // LocalAlloc'd copy
  HMODULE module = nullptr;

  // Frees the module handle and the path.
  void Release();
};

// A module reference of a source: the source does not own the module.
struct CEvtModuleRef {
  CEvtModuleRef *next = nullptr;
  CEvtModule *module = nullptr;
};

// A number that none of a source's files formats.
struct CEvtFailed {
  CEvtFailed *next = nullptr;
  DWORD number = 0;
};

struct CEvtSource {
  CEvtSource *next = nullptr;
  CEvtModuleRef *modules = nullptr;
  LPWSTR name = nullptr;  // LocalAlloc'd copy, at most 99 characters
  LONG type = kMessageModule;
  CEvtFailed *failed = nullptr;

  // Frees the name, the module references and the failed numbers; the
  // modules themselves stay.
  void Release();
};

// Releases a whole list from the front, unlinking each entry first.
void ReleaseModules(CEvtModule **list);
void ReleaseSources(CEvtSource **list);
