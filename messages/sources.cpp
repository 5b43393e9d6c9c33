// The context's source and module caches, and formatting from them.
#include "messages/sources.h"

#include <new>

#include "api/context.h"

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

CEvtSource *CEvtLog::GetSource(LPCWSTR name, LONG type) {
  if (name == nullptr) name = VTEXT("");
  // An entry keeps at most 99 characters of its name; compare likewise.
  WCHAR cut[kSourceNameChars + 1];
  lstrcpynW(cut, name, kSourceNameChars + 1);
  for (CEvtSource *s = sources; s != nullptr; s = s->next) {
    if (s->type == type && s->name != nullptr && lstrcmpiW(s->name, cut) == 0) return s;
  }
  CEvtSource *s = new (std::nothrow) CEvtSource;
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
  return s;
}

CEvtModule *CEvtLog::GetModule(LPCWSTR path) {
  for (CEvtModule *m = modules; m != nullptr; m = m->next) {
    if (lstrcmpiW(m->path, path) == 0) return m;
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
  return m;
}

// ---------------------------------------------------------------- a source

bool CEvtSource::IsFailed(DWORD number) const {
  for (const CEvtFailed *f = failed; f != nullptr; f = f->next) {
    if (f->number == number) return true;
  }
  return false;
}

void CEvtSource::AddFailed(CEvtLog *ctx, DWORD number) {
  CEvtFailed *f = new (std::nothrow) CEvtFailed;
  if (f != nullptr) {
    f->number = number;
    f->next = failed;
    failed = f;
  }
  ctx->SetError(VTEXT("Format error, source=%s type=%s msg=%lu"),
                name != nullptr ? name : VTEXT(""), TypeWord(type),
                static_cast<DWORD>(number & 0xFFFF));
}

DWORD CEvtSource::FormatFrom(CEvtLog *ctx, DWORD number, DWORD flags, LPWSTR buffer,
                             DWORD capacity, const WCHAR *const *arguments) {
  if (IsFailed(number)) return 0;
  WCHAR staging[kStagingUnits];
  LPWSTR target = capacity <= kStagingUnits ? staging : buffer;
  // FORMAT_MESSAGE_ARGUMENT_ARRAY takes the array in place of a va_list.
  auto args = reinterpret_cast<va_list *>(const_cast<WCHAR **>(arguments));
  for (CEvtModuleRef *r = modules; r != nullptr; r = r->next) {
    // A file that failed to load formats nothing; the files behind it may.
    if (r->module == nullptr || r->module->module == nullptr) continue;
    DWORD count = FormatMessageW(flags, r->module->module, number, LANG_USER_DEFAULT,
                                 target, capacity, args);
    if (count != 0 && count < capacity) {
      target[count] = 0;
      if (target != buffer) lstrcpynW(buffer, target, static_cast<int>(count + 1));
      return count;
    }
  }
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

void CEvtSource::Release() {
  if (name != nullptr) LocalFree(name);
  name = nullptr;
  while (failed != nullptr) {
    CEvtFailed *f = failed;
    failed = f->next;
    delete f;
  }
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
    delete s;
  }
}
