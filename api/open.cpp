// Opening a log, reading the latched error text, closing the handle.
#include <new>

#include "api/context.h"

namespace {

// Converts an ANSI name into a fixed field.  On failure latches a text that
// names the argument and its limit (the conversion fails when the name does
// not fit) and returns false.
bool ConvertName(CEvtLog *ctx, const char *text, WCHAR *field, int units,
                 LPCWSTR argument) {
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, field, units) != 0) return true;
  DWORD rc = GetLastError();
  field[0] = 0;
  if (rc == ERROR_INSUFFICIENT_BUFFER)
    ctx->SetError(VTEXT("VeskOpen: the %s is longer than %lu characters"), argument,
                  static_cast<DWORD>(units - 1));
  else
    ctx->SetError(VTEXT("VeskOpen: MultiByteToWideChar rc=%lu for the %s"), rc, argument);
  return false;
}

// Reads SystemRoot of the log's computer into the context.
bool ReadSystemRoot(CEvtLog *ctx) {
  ctx->system_root[0] = 0;
  HKEY root = HKEY_LOCAL_MACHINE;
  HKEY remote = nullptr;
  if (ctx->machine != nullptr) {
    LONG rc = RegConnectRegistryW(ctx->machine, HKEY_LOCAL_MACHINE, &remote);
    if (rc != ERROR_SUCCESS) {
      ctx->SetError(VTEXT("==>RegConnectKeyEx rc=%ld\n"), rc);
      return false;
    }
    root = remote;
  }
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExW(root, VTEXT("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"),
                          0, KEY_READ, &key);
  if (rc != ERROR_SUCCESS) {
    ctx->SetError(VTEXT("==>RegOpenKeyEx rc=%ld\n"), rc);
    if (remote != nullptr) RegCloseKey(remote);
    return false;
  }
  // One byte less than the field, so that the unit after the 260 that a
  // value can fill is always there to terminate it.
  DWORD bytes = 521;
  rc = RegQueryValueExW(key, VTEXT("SystemRoot"), nullptr, nullptr,
                        reinterpret_cast<LPBYTE>(ctx->system_root), &bytes);
  if (rc != ERROR_SUCCESS) {
    ctx->SetError(VTEXT("==>RegQueryValueEx rc=%ld\n"), rc);
    ctx->system_root[0] = 0;
    RegCloseKey(key);
    if (remote != nullptr) RegCloseKey(remote);
    return false;
  }
  // A value stored without its terminator ends where its data ends.
  DWORD units = bytes / 2;
  if (units < kSystemRootUnits) ctx->system_root[units] = 0;
  ctx->system_root[kSystemRootUnits] = 0;
  RegCloseKey(key);
  if (remote != nullptr) RegCloseKey(remote);
  return true;
}

// Takes the Security privilege for the local Security log.
bool TakeSecurityPrivilege(CEvtLog *ctx) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                        &token))
    return true;
  TOKEN_PRIVILEGES privileges = {};
  if (LookupPrivilegeValueW(nullptr, VTEXT("SeSecurityPrivilege"),
                            &privileges.Privileges[0].Luid)) {
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  }
  DWORD rc = GetLastError();
  CloseHandle(token);
  if (rc != 0) {
    ctx->SetError(VTEXT("Unable to obtain SecurityName privilege, rc=%lu\n"), rc);
    return false;
  }
  return true;
}

int32_t Open(CEvtLog *ctx, const char *machine, const char *log) {
  ctx->ClearError();
  if (machine != nullptr && machine[0] != 0) {
    if (!ConvertName(ctx, machine, ctx->machine_name, kMachineNameUnits,
                     VTEXT("machine name")))
      return -1;
    ctx->machine = ctx->machine_name;
  }
  if (log != nullptr && log[0] != 0) {
    if (!ConvertName(ctx, log, ctx->log_name, kLogNameUnits, VTEXT("log name")))
      return -1;
  }
  if (!ReadSystemRoot(ctx)) return -1;
  if (ctx->machine == nullptr && lstrcmpiW(ctx->log_name, VTEXT("Security")) == 0) {
    if (!TakeSecurityPrivilege(ctx)) return -1;
  }
  ctx->log = OpenEventLogW(ctx->machine, ctx->log_name);
  if (ctx->log == nullptr) {
    DWORD rc = GetLastError();
    ctx->SetError(VTEXT("OpenEventLog(%s,%s) rc=%lu"),
                  ctx->machine != nullptr ? ctx->machine : VTEXT("NULL"), ctx->log_name,
                  rc);
    return -1;
  }
  return 0;
}

}  // namespace

extern "C" {

VESK_EXTERN int32_t VESK_API VeskOpen(const char *machine, const char *log,
                                      VESKHANDLE *handle) {
  if (handle == nullptr) return -1;
  *handle = 0;
  CEvtLog *ctx = new (std::nothrow) CEvtLog;
  if (ctx == nullptr) return -1;
  if (!ctx->users.Alloc(kUserCacheSlots)) {
    delete ctx;
    return -1;
  }
  *handle = vesk::RegisterContext(ctx);
  if (*handle == 0) {
    delete ctx;
    return -1;
  }
  return Open(ctx, machine, log);
}

VESK_EXTERN int32_t VESK_API VeskGetError(VESKHANDLE handle, VARIANT *out) {
  if (out == nullptr) return 0;
  // A caller reads 0 as "nothing pending, and the VARIANT is empty", also
  // for a handle that is not (or no longer) open.
  VariantClear(out);
  CEvtLog *ctx = vesk::FindContext(handle);
  if (ctx == nullptr || !ctx->error_pending) return 0;
  V_VT(out) = VT_BSTR;
  V_BSTR(out) = SysAllocString(ctx->error_text);
  return 1;
}

VESK_EXTERN int32_t VESK_API VeskClose(VESKHANDLE handle) {
  CEvtLog *ctx = vesk::UnregisterContext(handle);
  if (ctx == nullptr) return 0;
  ctx->ClearError();
  ctx->Release();
  delete ctx;
  return 0;
}

}  // extern "C"
