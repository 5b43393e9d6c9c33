// Discovery of a source's message files in the registry of the log's
// computer, and the rewriting of their paths into ones this computer loads.
#include <new>

#include "api/context.h"
#include "messages/sources.h"

namespace {

// Working texts: at most 1039 characters and the terminator.
constexpr int kWorkUnits = 1040;
// The value is read into kWorkUnits units, less one byte.
constexpr DWORD kValueBytes = kWorkUnits * 2 - 1;

constexpr WCHAR kSystemRootVariable[] = VTEXT("%SYSTEMROOT%");
constexpr int kSystemRootVariableUnits = 12;

LPCWSTR ValueName(LONG type) {
  switch (type) {
    case kMessageModule:
      return VTEXT("EventMessageFile");
    case kCategoryModule:
      return VTEXT("CategoryMessageFile");
    case kParameterModule:
      return VTEXT("ParameterMessageFile");
    default:
      return nullptr;
  }
}

WCHAR UpcaseAscii(WCHAR c) { return c >= u'a' && c <= u'z' ? WCHAR(c - 0x20) : c; }

// Whether the units at `p` spell %SYSTEMROOT%, letters A to Z in any case.
// Stops at the first difference, so never reads past a terminator.
bool IsSystemRootVariable(const WCHAR *p) {
  for (int i = 0; i < kSystemRootVariableUnits; ++i) {
    if (UpcaseAscii(p[i]) != kSystemRootVariable[i]) return false;
  }
  return true;
}

// A path being built from one item of the value.  Appends past the capacity
// are counted but not stored, so an overlong item is refused as a whole.
struct BuiltPath {
  WCHAR text[kWorkUnits];
  int length = 0;

  void Append(WCHAR c) {
    if (length < kWorkUnits - 1) text[length] = c;
    ++length;
  }
  void Append(const WCHAR *s) {
    for (; *s != 0; ++s) Append(*s);
  }
  bool Fits() const { return length <= kWorkUnits - 1; }
  void Terminate() { text[Fits() ? length : kWorkUnits - 1] = 0; }
};

// Puts a reference to the module for `path` behind the source's references
// made so far, so that files are tried in the order the value lists them.
// `tail` is where the next reference goes.
void AddReference(CEvtLog *ctx, CEvtModuleRef ***tail, LPCWSTR path) {
  CEvtModule *module = ctx->GetModule(path);
  if (module == nullptr) return;
  CEvtModuleRef *ref = new (std::nothrow) CEvtModuleRef;
  if (ref == nullptr) return;
  ref->module = module;
  **tail = ref;
  *tail = &ref->next;
}

// Finishes one item: rewrites it for a remote computer and references its
// module.  False after a latched failure, which ends the discovery.
bool FinishItem(CEvtLog *ctx, CEvtModuleRef ***tail, BuiltPath *built) {
  // An empty item (a trailing ';' or ";;") names no file.
  if (built->length == 0) return true;
  if (!built->Fits()) {
    ctx->SetError(VTEXT("==>internal error, CEvtSource::Find, #2\n"));
    return false;
  }
  built->Terminate();
  if (ctx->machine == nullptr) {
    AddReference(ctx, tail, built->text);
    return true;
  }
  // \\MACHINE\X$rest: the first unit is taken as the drive letter and the
  // second, the colon, is dropped, whatever the two are.
  BuiltPath remote;
  remote.Append(VTEXT("\\\\"));
  remote.Append(ctx->machine);
  remote.Append(u'\\');
  remote.Append(built->text[0]);
  remote.Append(u'$');
  if (built->length > 2) remote.Append(built->text + 2);
  if (!remote.Fits()) {
    ctx->SetError(VTEXT("==>internal error, CEvtSource::Find, #3\n"));
    return false;
  }
  remote.Terminate();
  AddReference(ctx, tail, remote.text);
  return true;
}

// Turns the value's items into module references, from left to right.
void Parse(CEvtLog *ctx, CEvtSource *source, const WCHAR *value) {
  CEvtModuleRef **tail = &source->modules;
  while (*tail != nullptr) tail = &(*tail)->next;
  BuiltPath built;
  const WCHAR *p = value;
  for (;;) {
    WCHAR c = *p;
    if (c == 0 || c == u';') {
      if (!FinishItem(ctx, &tail, &built)) return;
      if (c == 0) return;
      built.length = 0;
      ++p;
    } else if (c == u'%') {
      if (!IsSystemRootVariable(p)) {
        ctx->SetError(VTEXT("==>unable to resolve environment variable, sz=%s\n"), value);
        return;
      }
      built.Append(ctx->system_root);
      p += kSystemRootVariableUnits;
    } else {
      built.Append(c);
      ++p;
    }
  }
}

}  // namespace

void CEvtSource::Find(CEvtLog *ctx, LPCWSTR source, LONG kind) {
  if (source == nullptr) source = VTEXT("");
  WCHAR cut[kSourceNameChars + 1];
  lstrcpynW(cut, source, kSourceNameChars + 1);
  SetName(cut);
  type = kind;
  LPCWSTR stored = name != nullptr ? name : cut;

  static constexpr WCHAR kKeyFormat[] =
      VTEXT("SYSTEM\\CurrentControlSet\\Services\\EventLog\\%s\\%s");
  static constexpr WCHAR kKeyPrefix[] =
      VTEXT("SYSTEM\\CurrentControlSet\\Services\\EventLog\\");
  WCHAR key_path[kWorkUnits];
  // The format without its two "%s", plus the two texts.
  int key_length = static_cast<int>(sizeof kKeyFormat / sizeof(WCHAR)) - 1 - 4 +
                   lstrlenW(ctx->log_name) + lstrlenW(stored);
  if (key_length >= kWorkUnits) {
    ctx->SetError(VTEXT("internal error, getmodule, #1"));
    return;
  }
  // The format's text with the two names put in its place (the same text
  // wsprintfW would make, without reading the format for it).
  {
    int n = 0;
    auto append = [&](LPCWSTR text) {
      while (*text != 0) key_path[n++] = *text++;
    };
    append(kKeyPrefix);
    append(ctx->log_name);
    key_path[n++] = u'\\';
    append(stored);
    key_path[n] = 0;
  }

  HKEY root = HKEY_LOCAL_MACHINE;
  HKEY remote = nullptr;
  if (ctx->machine != nullptr) {
    LONG rc = RegConnectRegistryW(ctx->machine, HKEY_LOCAL_MACHINE, &remote);
    if (rc != ERROR_SUCCESS) {
      ctx->SetError(VTEXT("==>RegConnectKeyEx rc=%ld source=%s key=%s\n"), rc, source,
                    key_path);
      return;
    }
    root = remote;
  }
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExW(root, key_path, 0, KEY_READ, &key);
  if (rc != ERROR_SUCCESS) {
    ctx->SetError(VTEXT("RegOpenKeyEx rc=%ld source=%s key=%s"), rc, stored, key_path);
    if (remote != nullptr) RegCloseKey(remote);
    return;
  }
  LPCWSTR value_name = ValueName(kind);
  if (value_name == nullptr) {
    ctx->SetError(VTEXT("invalid module type"));
    RegCloseKey(key);
    if (remote != nullptr) RegCloseKey(remote);
    return;
  }
  WCHAR value[kWorkUnits];
  DWORD bytes = kValueBytes;
  rc = RegQueryValueExW(key, value_name, nullptr, nullptr,
                        reinterpret_cast<LPBYTE>(value), &bytes);
  RegCloseKey(key);
  if (remote != nullptr) RegCloseKey(remote);
  if (rc != ERROR_SUCCESS) {
    ctx->SetError(VTEXT("RegQueryValueEx rc=%ld source=%s type=%s"), rc, stored,
                  value_name);
    return;
  }
  // A value stored without its terminator ends where the bytes read end.
  DWORD units = bytes <= kValueBytes ? bytes / 2 : kWorkUnits - 1;
  value[units] = 0;
  Parse(ctx, this, value);
}
