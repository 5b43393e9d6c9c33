// The context's source and module caches, and formatting from them.
#include "messages/sources.h"

#include <algorithm>
#include <new>

#include "api/context.h"
#include "platform/units.h"

namespace {

// The word for a ModuleType in "Format error" texts.
LPCWSTR TypeWord(LONG type) {
  switch (type) {
    case kMessageModule:
      return VTEXT("Message");
    case kCategoryModule:
      return VTEXT("Category");
    case kParameterModule:
      return VTEXT("Parameter");
    default:
      return VTEXT("?");
  }
}

// A LocalAlloc'd copy of `text`, or null when no memory can be had.
LPWSTR CopyText(LPCWSTR text) {
  int units = lstrlenW(text) + 1;
  auto copy = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, static_cast<SIZE_T>(units) * 2));
  if (copy != nullptr) lstrcpyW(copy, text);
  return copy;
}

// Formatting goes through a staging area on the stack, so that a file that
// fails part way (a text too long for the buffer, say) never leaves part of
// its text in the caller's buffer.  It holds the largest capacity the
// library's callers pass; a larger buffer is formatted into directly.
constexpr DWORD kStagingUnits = 32010;

}  // namespace

// ---------------------------------------------------------------- the caches

namespace {

uint32_t SourceHash(uint32_t seed, LPCWSTR cut, LONG type) {
  return vesk::index::HashText(seed ^ vesk::index::Mix(static_cast<uint32_t>(type) + 1),
                               cut, kSourceNameChars);
}

uint32_t NumberHash(uint32_t seed, DWORD number) {
  return vesk::index::Mix(vesk::index::Mix(number ^ seed) + seed);
}

// Paths are at most a working text long (see find.cpp); any bound above
// that hashes them whole.
constexpr int kPathHashLimit = 0x7FFFFFFF;

}  // namespace

namespace {

// Whether an entry's stored name is spelled exactly as the first
// kSourceNameChars units of `name`, the part of it an entry keeps.
bool SameSpelling(LPCWSTR stored, LPCWSTR name) {
  int i = 0;
  for (; i < kSourceNameChars; ++i) {
    if (stored[i] != name[i]) return false;
    if (stored[i] == 0) return true;
  }
  return stored[i] == 0;
}

}  // namespace

CEvtSource *CEvtLog::GetSource(LPCWSTR name, LONG type) {
  if (name == nullptr) name = VTEXT("");
  // The same spelling as the last look-up of this type finds the same entry
  // (an entry is made only when no entry's name compares equal).
  const bool remembered = type >= 0 && type < 3;
  if (remembered) {
    CEvtSource *recent = recent_source[type];
    if (recent != nullptr && recent->name != nullptr && SameSpelling(recent->name, name))
      return recent;
  }
  // An entry keeps at most 99 characters of its name; compare likewise (a
  // shorter name is compared where it lies).
  WCHAR copy[kSourceNameChars + 1];
  LPCWSTR cut = name;
  if (vesk::units::LengthWithin(name, kSourceNameChars + 1) > kSourceNameChars) {
    lstrcpynW(copy, name, kSourceNameChars + 1);
    cut = copy;
  }
  auto same = [&](const CEvtSource *s) {
    return s->type == type && s->name != nullptr && lstrcmpiW(s->name, cut) == 0;
  };
  const uint32_t hash = SourceHash(source_index.seed(), cut, type);
  CEvtSource *found = nullptr;
  if (source_index.usable()) {
    const uint32_t ref =
        source_index.Find(hash, [&](uint32_t r) { return same(source_pool.At(r - 1)); });
    if (ref != 0) found = source_pool.At(ref - 1);
  } else {
    for (CEvtSource *s = sources; s != nullptr && found == nullptr; s = s->next)
      if (same(s)) found = s;
  }
  if (found != nullptr) {
    if (remembered) recent_source[type] = found;
    return found;
  }
  uint32_t ordinal = 0;
  void *memory = source_pool.Take(&ordinal);
  CEvtSource *s = memory != nullptr ? new (memory) CEvtSource : nullptr;
  if (s == nullptr) {
    // No entry can be had: hand out a spare one with no files, emptied of
    // what its previous use memoised, so that the number is still reported.
    static thread_local CEvtSource spare;
    spare.Release();
    spare.type = type;
    return &spare;
  }
  s->Find(this, name, type);
  s->next = sources;
  sources = s;
  source_index.Add(hash, ordinal + 1);
  if (remembered) recent_source[type] = s;
  return s;
}

CEvtModule *CEvtLog::GetModule(LPCWSTR path) {
  auto same = [&](const CEvtModule *m) { return lstrcmpiW(m->path, path) == 0; };
  const uint32_t hash = vesk::index::HashText(module_index.seed(), path, kPathHashLimit);
  if (module_index.usable()) {
    if (CEvtModule *m = module_index.Find(hash, same)) return m;
  } else {
    for (CEvtModule *m = modules; m != nullptr; m = m->next)
      if (same(m)) return m;
  }
  CEvtModule *m = new (std::nothrow) CEvtModule;
  if (m == nullptr) return nullptr;
  m->path = CopyText(path);
  if (m->path == nullptr) {
    delete m;
    return nullptr;
  }
  m->module = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (m->module == nullptr) {
    DWORD rc = GetLastError();
    if (!error_pending) SetError(VTEXT("LoadLibrary rc=%lu library=%s"), rc, path);
  }
  m->next = modules;
  modules = m;
  module_index.Add(hash, m);
  return m;
}

// ---------------------------------------------------------------- a source

bool IsMissingMessage(DWORD code) {
  // ERROR_MR_MID_NOT_FOUND, and ERROR_RESOURCE_DATA_NOT_FOUND through
  // ERROR_RESOURCE_LANG_NOT_FOUND: no table, or no such number in it.
  return code == 317 || (code >= 1812 && code <= 1815);
}

bool CEvtSource::IsFailed(DWORD number) const {
  auto same = [&](const CEvtFailed *f) {
    ++failed_compared;
    return f->number == number;
  };
  if (failed_count > kFailedListed && indexes != nullptr && indexes->failed_filled &&
      indexes->failed.usable())
    return indexes->failed.Find(NumberHash(indexes->failed.seed(), number), same) !=
           nullptr;
  for (const CEvtFailed *f = failed; f != nullptr; f = f->next) {
    if (same(f)) return true;
  }
  return false;
}

CEvtModuleRef *CEvtSource::StartFor(DWORD number) const {
  if (found == nullptr) return modules;
  auto same = [&](const CEvtFound *f) { return f->number == number; };
  if (indexes != nullptr && indexes->found_filled && indexes->found.usable()) {
    const CEvtFound *f =
        indexes->found.Find(NumberHash(indexes->found.seed(), number), same);
    return f != nullptr ? f->ref : modules;
  }
  for (const CEvtFound *f = found; f != nullptr; f = f->next)
    if (same(f)) return f->ref;
  return modules;
}

namespace {

// Puts `added` (just put at the front of `list`) into `index`, or, when the
// index does not hold the list yet, every entry of it.
template <class Entry>
void IndexEntry(vesk::index::HashIndex<Entry> &index, bool *filled, Entry *list,
                Entry *added) {
  if (*filled) {
    index.Add(NumberHash(index.seed(), added->number), added);
    return;
  }
  for (Entry *e = list; e != nullptr; e = e->next)
    index.Add(NumberHash(index.seed(), e->number), e);
  *filled = true;
}

}  // namespace

void CEvtSource::AddFound(DWORD number, CEvtModuleRef *ref) {
  CEvtFound *f = new (std::nothrow) CEvtFound;
  if (f == nullptr) return;  // the files are simply tried from the first again
  f->number = number;
  f->ref = ref;
  f->next = found;
  found = f;
  if (indexes == nullptr) indexes = new (std::nothrow) CEvtSourceIndexes;
  if (indexes != nullptr) IndexEntry(indexes->found, &indexes->found_filled, found, f);
}

void CEvtSource::LatchFormatError(CEvtLog *ctx, DWORD number) const {
  ctx->SetError(VTEXT("Format error, source=%s type=%s msg=%lu"),
                name != nullptr ? name : VTEXT(""), TypeWord(type),
                static_cast<DWORD>(number & 0xFFFF));
}

void CEvtSource::AddFailed(CEvtLog *ctx, DWORD number) {
  void *memory = ctx->failed_pool.Take();
  CEvtFailed *f = memory != nullptr ? new (memory) CEvtFailed : nullptr;
  if (f != nullptr) {
    f->number = number;
    f->next = failed;
    failed = f;
    ++failed_count;
    // Past a walk's worth, the list is indexed (every entry so far, then
    // each one added).
    if (failed_count > kFailedListed) {
      if (indexes == nullptr) indexes = new (std::nothrow) CEvtSourceIndexes;
      if (indexes != nullptr)
        IndexEntry(indexes->failed, &indexes->failed_filled, failed, f);
    }
  }
  LatchFormatError(ctx, number);
}

DWORD CEvtSource::FormatFrom(CEvtLog *ctx, DWORD number, DWORD flags, LPWSTR buffer,
                             DWORD capacity, const WCHAR *const *arguments) {
  if (IsFailed(number)) return 0;
  WCHAR staging[kStagingUnits];
  LPWSTR target = capacity <= kStagingUnits ? staging : buffer;
  // FORMAT_MESSAGE_ARGUMENT_ARRAY takes the array in place of a va_list.
  auto args = reinterpret_cast<va_list *>(const_cast<WCHAR **>(arguments));
  // Whether a loaded file failed for this call's own text rather than for
  // want of the message.
  bool own_failure = false;
  // Whether a loaded file before this one said it lacks the number.
  bool passed_missing = false;
  CEvtModuleRef *start = StartFor(number);
  for (CEvtModuleRef *r = start; r != nullptr; r = r->next) {
    // A file that failed to load formats nothing; the files behind it may.
    if (r->module == nullptr || r->module->module == nullptr) continue;
    DWORD count = FormatMessageW(flags, r->module->module, number, LANG_USER_DEFAULT,
                                 target, capacity, args);
    if (count != 0 && count < capacity) {
      target[count] = 0;
      if (target != buffer) std::copy_n(target, count + 1, buffer);
      // Files that lack a number lack it for every record: the next call
      // with it starts at this file.
      if (passed_missing && !own_failure) AddFound(number, r);
      return count;
    }
    passed_missing = true;
    // A count that fills the buffer leaves no room for the terminator: the
    // text was too long.  An empty result, too long a text or a bad insert
    // come from the text this call was given, not from the file.
    if (count != 0 || !IsMissingMessage(GetLastError())) own_failure = true;
  }
  if (own_failure)
    LatchFormatError(ctx, number);
  else
    AddFailed(ctx, number);
  return 0;
}

// ---------------------------------------------------------------- release

void CEvtModule::Release() {
  if (module != nullptr) FreeLibrary(module);
  module = nullptr;
  if (path != nullptr) LocalFree(path);
  path = nullptr;
}

void CEvtSource::SetName(LPCWSTR text) {
  if (name != nullptr && name != short_name) LocalFree(name);
  name = nullptr;
  int units = 0;
  while (units < kSourceNameChars && text[units] != 0) ++units;
  if (units < kShortNameUnits) {
    name = short_name;
  } else {
    name = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, (units + 1) * sizeof(WCHAR)));
    if (name == nullptr) return;
  }
  for (int i = 0; i < units; ++i) name[i] = text[i];
  name[units] = 0;
}

void CEvtSource::Release() {
  if (name != nullptr && name != short_name) LocalFree(name);
  name = nullptr;
  delete indexes;
  indexes = nullptr;
  failed_count = 0;
  while (found != nullptr) {
    CEvtFound *f = found;
    found = f->next;
    delete f;
  }
  failed = nullptr;  // their memory is the context's pool's
  while (modules != nullptr) {
    CEvtModuleRef *r = modules;
    modules = r->next;
    delete r;
  }
}

void ReleaseModules(CEvtModule **list) {
  while (*list != nullptr) {
    CEvtModule *m = *list;
    *list = m->next;
    m->Release();
    delete m;
  }
}

void ReleaseSources(CEvtSource **list) {
  while (*list != nullptr) {
    CEvtSource *s = *list;
    *list = s->next;
    s->Release();
    s->~CEvtSource();
  }
}
