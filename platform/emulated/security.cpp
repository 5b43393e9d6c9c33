// Process token and privileges, and the SID accessors.
#include <cstring>

#include "platform/emulated/handles.h"
#include "platform/emulated/internal.h"

namespace vesk::emu {
namespace {

// The open process tokens: the process has one token, which each handle
// names.
struct Token {};

detail::HandleTable<Token> &tokens() {
  static detail::HandleTable<Token> t(0x7000, 4, detail::LiveKind::Token);
  return t;
}

bool is_token(HANDLE h) { return tokens().contains(reinterpret_cast<uintptr_t>(h)); }

struct Privilege {
  const char16_t *name;
  DWORD luid;
};

// The privilege values Windows assigns (winnt.h SE_*_PRIVILEGE).
constexpr Privilege kPrivileges[] = {
    {u"SeCreateTokenPrivilege", 2},
    {u"SeAssignPrimaryTokenPrivilege", 3},
    {u"SeLockMemoryPrivilege", 4},
    {u"SeIncreaseQuotaPrivilege", 5},
    {u"SeMachineAccountPrivilege", 6},
    {u"SeTcbPrivilege", 7},
    {u"SeSecurityPrivilege", 8},
    {u"SeTakeOwnershipPrivilege", 9},
    {u"SeLoadDriverPrivilege", 10},
    {u"SeSystemProfilePrivilege", 11},
    {u"SeSystemtimePrivilege", 12},
    {u"SeProfileSingleProcessPrivilege", 13},
    {u"SeIncreaseBasePriorityPrivilege", 14},
    {u"SeCreatePagefilePrivilege", 15},
    {u"SeCreatePermanentPrivilege", 16},
    {u"SeBackupPrivilege", 17},
    {u"SeRestorePrivilege", 18},
    {u"SeShutdownPrivilege", 19},
    {u"SeDebugPrivilege", 20},
    {u"SeAuditPrivilege", 21},
    {u"SeSystemEnvironmentPrivilege", 22},
    {u"SeChangeNotifyPrivilege", 23},
    {u"SeRemoteShutdownPrivilege", 24},
    {u"SeUndockPrivilege", 25},
    {u"SeSyncAgentPrivilege", 26},
    {u"SeEnableDelegationPrivilege", 27},
    {u"SeManageVolumePrivilege", 28},
    {u"SeImpersonatePrivilege", 29},
    {u"SeCreateGlobalPrivilege", 30},
};

constexpr DWORD kSecurityLuid = 8;  // SeSecurityPrivilege
constexpr DWORD kMaxSubAuthorities = 15;

// A SID is valid when its revision is 1 and its sub-authorities are at most
// 15 (IsValidSid).
bool valid_sid(PSID sid) {
  if (sid == nullptr) return false;
  const BYTE *p = static_cast<const BYTE *>(sid);
  return p[0] == 1 && p[1] <= kMaxSubAuthorities;
}

DWORD sid_length(PSID sid) {
  return 8 + 4 * static_cast<DWORD>(static_cast<const BYTE *>(sid)[1]);
}

}  // namespace
}  // namespace vesk::emu

using namespace vesk::emu;

extern "C" {

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  VESK_EMU_ENTER(OpenProcessToken, FALSE);
  (void)access;
  if (token == nullptr) {
    detail::set_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (process != reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1))) {
    detail::set_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *token = reinterpret_cast<HANDLE>(tokens().add(Token{}));
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE h) {
  VESK_EMU_ENTER(CloseHandle, FALSE);
  if (!tokens().remove(reinterpret_cast<uintptr_t>(h))) {
    detail::set_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI LookupPrivilegeValueW(LPCWSTR system, LPCWSTR name, PLUID luid) {
  VESK_EMU_ENTER(LookupPrivilegeValueW, FALSE);
  if (system != nullptr && system[0] != 0 && find_computer(system, nullptr) == nullptr) {
    detail::set_error(RPC_S_SERVER_UNAVAILABLE);
    return FALSE;
  }
  if (name == nullptr || luid == nullptr) {
    detail::set_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  for (const auto &p : kPrivileges) {
    if (iequal(p.name, name)) {
      luid->LowPart = p.luid;
      luid->HighPart = 0;
      return TRUE;
    }
  }
  detail::set_error(ERROR_NO_SUCH_PRIVILEGE);
  return FALSE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE token, BOOL disable_all, PTOKEN_PRIVILEGES state,
                                  DWORD bytes, PTOKEN_PRIVILEGES previous,
                                  PDWORD previous_bytes) {
  VESK_EMU_ENTER(AdjustTokenPrivileges, FALSE);
  (void)bytes;
  (void)previous;
  (void)previous_bytes;
  if (!is_token(token)) {
    detail::set_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!disable_all && state == nullptr) {
    detail::set_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The call succeeds also when it could not assign everything; the last
  // error tells which (it is set in both cases).
  if (disable_all) {
    set_security_privilege_enabled(false);
    detail::set_error(ERROR_SUCCESS);
    return TRUE;
  }
  if (!privilege_assigned()) {
    detail::set_error(ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
  }
  for (DWORD i = 0; i < state->PrivilegeCount; ++i) {
    const LUID_AND_ATTRIBUTES &p = state->Privileges[i];
    if (p.Luid.LowPart == kSecurityLuid && p.Luid.HighPart == 0)
      set_security_privilege_enabled((p.Attributes & SE_PRIVILEGE_ENABLED) != 0);
  }
  detail::set_error(ERROR_SUCCESS);
  return TRUE;
}

// The SID functions work on the binary layout: revision (1), sub-authority
// count n (at most 15), the 48-bit big-endian identifier authority and n
// little-endian 32-bit sub-authorities.  As on Windows, the accessors that
// return a pointer set the last error to ERROR_SUCCESS when they succeed;
// where Windows leaves the result of a bad SID or index undefined they fail
// with null and the error code.

BOOL WINAPI EqualSid(PSID a, PSID b) {
  VESK_EMU_ENTER(EqualSid, FALSE);
  if (!valid_sid(a) || !valid_sid(b)) {
    detail::set_error(ERROR_INVALID_SID);
    return FALSE;
  }
  detail::set_error(ERROR_SUCCESS);
  const DWORD length = sid_length(a);
  if (length != sid_length(b)) return FALSE;
  // From the end: SIDs of one domain differ in their last sub-authority.
  const BYTE *pa = static_cast<const BYTE *>(a);
  const BYTE *pb = static_cast<const BYTE *>(b);
  for (DWORD at = length; at >= 4; at -= 4) {
    uint32_t x, y;
    std::memcpy(&x, pa + at - 4, 4);
    std::memcpy(&y, pb + at - 4, 4);
    if (x != y) return FALSE;
  }
  return TRUE;
}

BOOL WINAPI CopySid(DWORD bytes, PSID dst, PSID src) {
  VESK_EMU_ENTER(CopySid, FALSE);
  if (!valid_sid(src) || dst == nullptr) {
    detail::set_error(dst == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_SID);
    return FALSE;
  }
  DWORD len = sid_length(src);
  if (bytes < len) {
    detail::set_error(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memmove(dst, src, len);
  return TRUE;
}

DWORD WINAPI GetLengthSid(PSID sid) {
  VESK_EMU_ENTER(GetLengthSid, 0);
  if (!valid_sid(sid)) {
    detail::set_error(ERROR_INVALID_SID);
    return 0;
  }
  return sid_length(sid);
}

PSID_IDENTIFIER_AUTHORITY WINAPI GetSidIdentifierAuthority(PSID sid) {
  VESK_EMU_ENTER(GetSidIdentifierAuthority, nullptr);
  if (!valid_sid(sid)) {
    detail::set_error(ERROR_INVALID_SID);
    return nullptr;
  }
  detail::set_error(ERROR_SUCCESS);
  return reinterpret_cast<PSID_IDENTIFIER_AUTHORITY>(static_cast<BYTE *>(sid) + 2);
}

BYTE *WINAPI GetSidSubAuthorityCount(PSID sid) {
  VESK_EMU_ENTER(GetSidSubAuthorityCount, nullptr);
  if (!valid_sid(sid)) {
    detail::set_error(ERROR_INVALID_SID);
    return nullptr;
  }
  detail::set_error(ERROR_SUCCESS);
  return static_cast<BYTE *>(sid) + 1;
}

// The address of sub-authority `index`.  The SID may lie at any address (in
// an event record, say): callers read the four bytes, not a DWORD.
DWORD *WINAPI GetSidSubAuthority(PSID sid, DWORD index) {
  VESK_EMU_ENTER(GetSidSubAuthority, nullptr);
  if (!valid_sid(sid)) {
    detail::set_error(ERROR_INVALID_SID);
    return nullptr;
  }
  if (index >= static_cast<const BYTE *>(sid)[1]) {
    detail::set_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  detail::set_error(ERROR_SUCCESS);
  return reinterpret_cast<DWORD *>(static_cast<BYTE *>(sid) + 8 + 4 * index);
}

// Resolves a SID on the computer `system` names (null or empty: the local
// one).  Sizes are in characters.  On success each size receives its
// text's length without the terminator; when either buffer is too small
// (a null buffer counts as none) both receive the size needed with the
// terminator and the call fails with ERROR_INSUFFICIENT_BUFFER; a SID that
// nothing maps fails with ERROR_NONE_MAPPED.
BOOL WINAPI LookupAccountSidW(LPCWSTR system, PSID sid, LPWSTR name, LPDWORD name_len,
                              LPWSTR domain, LPDWORD domain_len, PSID_NAME_USE use) {
  VESK_EMU_ENTER(LookupAccountSidW, FALSE);
  std::shared_ptr<Computer> computer = find_computer(system, nullptr);
  if (computer == nullptr) {
    detail::set_error(RPC_S_SERVER_UNAVAILABLE);
    return FALSE;
  }
  if (!valid_sid(sid)) {
    detail::set_error(ERROR_INVALID_SID);
    return FALSE;
  }
  if (name_len == nullptr || domain_len == nullptr) {
    detail::set_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  detail::Account account;
  if (!detail::find_account(*computer, static_cast<const uint8_t *>(sid), &account)) {
    detail::set_error(ERROR_NONE_MAPPED);
    return FALSE;
  }
  const DWORD name_units = static_cast<DWORD>(account.name.size()) + 1;
  const DWORD domain_units = static_cast<DWORD>(account.domain.size()) + 1;
  const DWORD name_room = name != nullptr ? *name_len : 0;
  const DWORD domain_room = domain != nullptr ? *domain_len : 0;
  if (name_room < name_units || domain_room < domain_units) {
    *name_len = name_units;
    *domain_len = domain_units;
    detail::set_error(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(name, account.name.c_str(), name_units * sizeof(WCHAR));
  std::memcpy(domain, account.domain.c_str(), domain_units * sizeof(WCHAR));
  *name_len = name_units - 1;
  *domain_len = domain_units - 1;
  if (use != nullptr) *use = account.use;
  return TRUE;
}

}  // extern "C"
