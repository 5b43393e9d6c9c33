// The context's message caches: one CEvtSource per pair of source name and
// kind of text, one CEvtModule per message file.
#pragma once

#include "messages/index.h"
#include "platform/platform.h"

struct CEvtLog;

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

// A number that a later file of a source formats, every loaded file before
// it having said that it holds no such message: the next call starts there.
struct CEvtFound {
  CEvtFound *next = nullptr;
  DWORD number = 0;
  CEvtModuleRef *ref = nullptr;
};

// The indexes of a source's memos, made only for a source that needs one
// (more than kFailedListed failed numbers, or any number found behind
// another file): most sources never do, and an image can name thousands.
struct CEvtSourceIndexes {
  vesk::index::HashIndex<CEvtFailed> failed;
  vesk::index::HashIndex<CEvtFound> found;
  // Whether every entry of the list is in its index.
  bool failed_filled = false;
  bool found_filled = false;
};

struct CEvtSource {
  CEvtSource *next = nullptr;
  // Tried in this order: the order in which the registry value lists them.
  CEvtModuleRef *modules = nullptr;
  // At most 99 characters: in `short_name` when they fit, else a
  // LocalAlloc'd copy.
  LPWSTR name = nullptr;
  CEvtFailed *failed = nullptr;
  CEvtFound *found = nullptr;
  // How many memo entries IsFailed has compared with the number asked: a
  // look-up compares about one whatever the memo's length.
  mutable uint64_t failed_compared = 0;
  // Made at the first need; null while none is needed or none can be had
  // (the lists are walked then).
  CEvtSourceIndexes *indexes = nullptr;
  LONG type = kMessageModule;
  // Most sources memoise a handful of numbers, walked in the list; past
  // kFailedListed the index is made and kept.
  DWORD failed_count = 0;
  // A name of fewer than kShortNameUnits characters, with its terminator.
  static constexpr int kShortNameUnits = 16;
  WCHAR short_name[kShortNameUnits];

  CEvtSource() = default;
  ~CEvtSource() { Release(); }
  CEvtSource(const CEvtSource &) = delete;
  CEvtSource &operator=(const CEvtSource &) = delete;

  // Points `name` at a copy of `text` (at most 99 characters): the entry's
  // own room when it fits, else a LocalAlloc'd copy (null when none can be
  // had).
  void SetName(LPCWSTR text);

  // Stores the name (at most 99 characters) and the type, and fills the
  // module references from the registry of the context's computer.  Reports
  // failures through the context's latch only.
  void Find(CEvtLog *ctx, LPCWSTR source, LONG kind);

  // Whether `number` (all 32 bits) is in the memo of numbers that no file of
  // this source holds.
  bool IsFailed(DWORD number) const;
  // Puts `number` in the memo and latches its "Format error" text.
  void AddFailed(CEvtLog *ctx, DWORD number);
  // The reference to start formatting `number` at: the first one, or the
  // one found to hold it behind files that do not.
  CEvtModuleRef *StartFor(DWORD number) const;
  void AddFound(DWORD number, CEvtModuleRef *ref);
  // Latches the "Format error" text for `number` without memoising it.
  void LatchFormatError(CEvtLog *ctx, DWORD number) const;

  // Formats `number` from the source's message files, tried in the order of
  // its references, into `buffer` (`capacity` units with the terminator).
  // `arguments` is the insertion array for FORMAT_MESSAGE_ARGUMENT_ARRAY, or
  // null.  Returns the count of units written without the terminator; 0 when
  // nothing was formatted, and the buffer then holds what the caller put in.
  // The number is memoised as failed only when every loaded file said it
  // holds no such message (or no message table at all); a failure of this
  // call's own text (too long for the buffer, a bad insert, an empty result)
  // is latched but not memoised, so the next call with the number tries
  // again.
  DWORD FormatFrom(CEvtLog *ctx, DWORD number, DWORD flags, LPWSTR buffer, DWORD capacity,
                   const WCHAR *const *arguments);

  // Frees the name and the module references, and forgets the failed and
  // found numbers; the modules themselves stay, and the failed numbers'
  // memory goes with the context's pool.
  void Release();
};

// How many failed numbers a source walks in its list before it indexes them.
constexpr DWORD kFailedListed = 8;

// The longest source name a source entry keeps.
constexpr int kSourceNameChars = 99;

// Whether a FormatMessageW failure with `code` says that the file holds no
// such message, rather than that this call's text could not be made.
bool IsMissingMessage(DWORD code);

// Releases a whole list from the front, unlinking each entry first.
void ReleaseModules(CEvtModule **list);
// Source entries live in the context's pool: they are destroyed in place.
void ReleaseSources(CEvtSource **list);
