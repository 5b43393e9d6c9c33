/* The six exports of vesk.dll as a Visual Basic style caller sees them, run
 * on a real Win32 implementation.  The program declares nothing but what
 * vesk.h gives, holds every result in a VARIANT, looks at its type and at the
 * length prefix of each BSTR, and frees everything with VariantClear.
 *
 * What the library reports is compared with what the same Win32 calls,
 * made here directly, report on this system: the record range, the code of
 * an unreachable remote registry, the Security privilege of the process.
 * Prints one line per failed check and a summary; the exit status is the
 * number of failed checks. */
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "vesk.h"

static int checks = 0;
static int failures = 0;

static void check(int ok, const char *what) {
  checks++;
  if (!ok) {
    printf("FAILED: %s\n", what);
    failures++;
  }
}

static void print_wide(const WCHAR *text, UINT n) {
  UINT i;
  for (i = 0; i < n; i++) {
    WCHAR c = text[i];
    if (c == '\n')
      printf("\\n");
    else if (c >= 0x20 && c < 0x7f)
      putchar((int)c);
    else
      printf("\\u%04x", (unsigned)c);
  }
}

/* A BSTR as Automation defines it: the length prefix counts the units up to
 * a terminating zero that follows them, with no zero inside. */
static int bstr_is_sound(BSTR b) {
  UINT n = SysStringLen(b);
  return b != NULL && SysStringByteLen(b) == 2 * n && b[n] == 0 && wcslen(b) == n;
}

/* VeskGetError must return 1 and exactly `expected` as a fresh BSTR; asking
 * twice gives the same text. */
static void expect_error(VESKHANDLE h, const WCHAR *expected, const char *what) {
  int round;
  for (round = 0; round < 2; round++) {
    VARIANT v;
    int32_t rc;
    VariantInit(&v);
    rc = VeskGetError(h, &v);
    check(rc == 1, what);
    check(V_VT(&v) == VT_BSTR, "the error text is a BSTR");
    if (V_VT(&v) == VT_BSTR) {
      BSTR b = V_BSTR(&v);
      check(bstr_is_sound(b), "the error BSTR's length prefix matches its text");
      if (wcscmp(b, expected) != 0) {
        printf("FAILED: %s: got \"", what);
        print_wide(b, SysStringLen(b));
        printf("\", expected \"");
        print_wide(expected, (UINT)wcslen(expected));
        printf("\"\n");
        failures++;
      }
      checks++;
    }
    check(VariantClear(&v) == S_OK && V_VT(&v) == VT_EMPTY,
          "VariantClear frees the error text");
  }
}

/* Nothing pending: 0, and a VARIANT that held a string is left empty. */
static void expect_no_error(VESKHANDLE h, const char *what) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = SysAllocString(L"left over from an earlier call");
  check(VeskGetError(h, &v) == 0, what);
  check(V_VT(&v) == VT_EMPTY, "VeskGetError leaves VT_EMPTY when nothing is pending");
  VariantClear(&v);
}

static void expect_row_empty(VARIANT *row) {
  int i, empty = 1;
  for (i = 0; i < 8; i++) empty = empty && V_VT(&row[i]) == VT_EMPTY;
  check(empty, "a record past the end leaves the row empty");
}

/* The range of a local log as the event log service itself reports it. */
static int service_range(const WCHAR *log, DWORD *oldest, DWORD *count) {
  HANDLE h = OpenEventLogW(NULL, log);
  int ok;
  if (h == NULL) return 0;
  ok = GetOldestEventLogRecord(h, oldest) && GetNumberOfEventLogRecords(h, count);
  CloseEventLog(h);
  return ok;
}

/* What ReadEventLogW says about record `number`: 0 when it reads, otherwise
 * its last error. */
static DWORD service_read(const WCHAR *log, DWORD number) {
  static BYTE buffer[65536];
  DWORD got = 0, needed = 0, rc = 0;
  HANDLE h = OpenEventLogW(NULL, log);
  if (h == NULL) return GetLastError();
  if (!ReadEventLogW(h, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, number, buffer,
                     sizeof buffer, &got, &needed))
    rc = GetLastError();
  CloseEventLog(h);
  return rc;
}

static void local_log(const char *machine, const char *name, const WCHAR *wide) {
  VESKHANDLE h = 0;
  int32_t oldest = -7, newest = -7;
  DWORD service_oldest = 0, service_count = 0, read_rc;
  VARIANT row[8];
  int i;
  char what[160];

  snprintf(what, sizeof what, "VeskOpen(%s, %s) succeeds", machine ? machine : "NULL",
           name);
  check(VeskOpen(machine, name, &h) == 0, what);
  check(h != 0, "VeskOpen hands back a handle");
  expect_no_error(h, "no error pending after a successful open");

  check(VeskGetOldest(h, &oldest) == 0, "VeskGetOldest succeeds");
  check(VeskGetNewest(h, &newest) == 0, "VeskGetNewest succeeds");
  expect_no_error(h, "no error pending after the range calls");
  if (service_range(wide, &service_oldest, &service_count)) {
    check((DWORD)oldest == service_oldest,
          "oldest record as GetOldestEventLogRecord says");
    check((DWORD)newest == service_oldest + service_count - 1,
          "newest record is oldest + count - 1 (one below the oldest when empty)");
  } else {
    check(0, "the event log service gives the range of a log the library opened");
  }

  /* Past the end: -1 and no text, or the read failure as the service has it. */
  for (i = 0; i < 8; i++) VariantInit(&row[i]);
  read_rc = service_read(wide, (DWORD)newest + 1);
  check(VeskGetRec(h, (uint32_t)newest + 1, row) == -1,
        "VeskGetRec past the newest is -1");
  if (read_rc == ERROR_HANDLE_EOF) {
    expect_no_error(h, "the end of the log latches nothing");
    expect_row_empty(row);
  } else if (read_rc != 0) {
    VARIANT v;
    WCHAR prefix[64];
    VariantInit(&v);
    swprintf(prefix, 64, L"ReadEventLog rc=%lu cbReq=", (unsigned long)read_rc);
    check(VeskGetError(h, &v) == 1 && V_VT(&v) == VT_BSTR &&
              wcsncmp(V_BSTR(&v), prefix, wcslen(prefix)) == 0,
          "a failed read names ReadEventLog and its code");
    VariantClear(&v);
  }
  for (i = 0; i < 8; i++) VariantClear(&row[i]);
  check(VeskClose(h) == 0, "VeskClose returns 0");
}

static void unknown_computer(const char *log) {
  HKEY root = NULL;
  LONG rc = RegConnectRegistryW(L"NOSUCHHOST", HKEY_LOCAL_MACHINE, &root);
  WCHAR expected[64];
  VESKHANDLE h = 0;
  if (rc == ERROR_SUCCESS) {
    RegCloseKey(root);
    check(0, "the registry of NOSUCHHOST is out of reach");
    return;
  }
  swprintf(expected, 64, L"==>RegConnectKeyEx rc=%ld\n", (long)rc);
  check(VeskOpen("NOSUCHHOST", log, &h) == -1, "VeskOpen on an unknown computer fails");
  check(h != 0, "a failed open still hands back a handle");
  expect_error(h, expected, "the unknown computer's text");
  check(VeskClose(h) == 0, "VeskClose of a failed open returns 0");
}

/* SeSecurityPrivilege of this process: 1 enabled, 0 not, -1 unknown. */
static int security_privilege(int set, int enable) {
  HANDLE token = NULL;
  LUID luid;
  int state = -1;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                        &token))
    return -1;
  if (LookupPrivilegeValueW(NULL, L"SeSecurityPrivilege", &luid)) {
    if (set) {
      TOKEN_PRIVILEGES tp;
      tp.PrivilegeCount = 1;
      tp.Privileges[0].Luid = luid;
      tp.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
      AdjustTokenPrivileges(token, FALSE, &tp, 0, NULL, NULL);
    }
    {
      BYTE buffer[4096];
      DWORD size = 0, i;
      TOKEN_PRIVILEGES *all = (TOKEN_PRIVILEGES *)buffer;
      if (GetTokenInformation(token, TokenPrivileges, buffer, sizeof buffer, &size)) {
        state = 0;
        for (i = 0; i < all->PrivilegeCount; i++)
          if (all->Privileges[i].Luid.LowPart == luid.LowPart &&
              all->Privileges[i].Luid.HighPart == luid.HighPart)
            state = (all->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
      }
    }
  }
  CloseHandle(token);
  return state;
}

static void security_log(void) {
  VESKHANDLE h = 0;
  int32_t rc;
  if (security_privilege(1, 0) != 0) {
    printf(
        "note: SeSecurityPrivilege cannot be disabled here; privilege checks skipped\n");
    return;
  }
  /* A remote Security log takes no privilege step. */
  unknown_computer("Security");
  check(security_privilege(0, 0) == 0,
        "a remote Security open leaves the privilege alone");

  rc = VeskOpen(NULL, "sEcUrItY", &h);
  if (rc == 0) {
    check(security_privilege(0, 0) == 1,
          "opening the local Security log enables the privilege");
  } else {
    VARIANT v;
    VariantInit(&v);
    check(
        VeskGetError(h, &v) == 1 && V_VT(&v) == VT_BSTR &&
            wcsncmp(V_BSTR(&v), L"Unable to obtain SecurityName privilege, rc=", 44) == 0,
        "a refused privilege is reported as such");
    VariantClear(&v);
  }
  VeskClose(h);
}

int main(void) {
  local_log(NULL, "Application", L"Application");
  local_log("", "System", L"System");
  unknown_computer("System");
  security_log();
  printf("exports: %d checks, %d failed\n", checks, failures);
  return failures;
}
