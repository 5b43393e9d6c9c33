/* A C caller that includes only the public header and links the shared
 * library, as any program that uses the six exports would.
 *
 *   vesk_c_caller [REMOTE]
 *
 * With VESK_LOCAL_IMAGE naming a Windows system drive, it opens the local
 * Application and System logs and walks them, opens System on REMOTE (when
 * given, a computer of VESK_REMOTE_IMAGES), then checks the failures a caller
 * meets: an unknown remote computer, a registered local log whose file is
 * missing (Archive on the sample system), a machine name over its limit.  Every
 * result is printed; the exit status is the number of checks that failed. */
#include <stdio.h>
#include <string.h>

#include "vesk.h"

static int failures = 0;

static void check(int ok, const char *what) {
  if (!ok) {
    printf("FAILED: %s\n", what);
    failures++;
  }
}

/* Writes a BSTR as ASCII, other units as \uXXXX, so that the output shows
 * exactly what the library returned (a line feed becomes \n). */
static void print_bstr(BSTR text) {
  unsigned int i, n = text ? SysStringLen(text) : 0;
  for (i = 0; i < n; i++) {
    unsigned int c = text[i];
    if (c == '\n')
      fputs("\\n", stdout);
    else if (c == '\r')
      fputs("\\r", stdout);
    else if (c == '\\')
      fputs("\\\\", stdout);
    else if (c >= 0x20 && c < 0x7F)
      putchar((int)c);
    else
      printf("\\u%04x", c);
  }
}

/* Prints the pending error text; returns 1 when there was one and it equals
 * `expected` (or `expected` is null), 0 otherwise. */
static int print_error(VESKHANDLE h, const char *expected) {
  VARIANT v;
  int32_t rc;
  int same = 0;
  VariantInit(&v);
  rc = VeskGetError(h, &v);
  printf("  VeskGetError: %d", (int)rc);
  if (rc == 1 && V_VT(&v) == VT_BSTR) {
    unsigned int i, n = SysStringLen(V_BSTR(&v));
    printf(" \"");
    print_bstr(V_BSTR(&v));
    printf("\"");
    same = 1;
    if (expected != NULL) {
      same = n == strlen(expected);
      for (i = 0; same && i < n; i++) same = V_BSTR(&v)[i] == (OLECHAR)expected[i];
    }
  } else if (rc == 1) {
    printf(" (not a BSTR: vt %u)", (unsigned)V_VT(&v));
  }
  printf("\n");
  VariantClear(&v);
  return same;
}

static void print_row(const VARIANT *row) {
  int i;
  for (i = 0; i < 8; i++) {
    printf(i == 0 ? "    " : " | ");
    switch (V_VT(&row[i])) {
      case VT_EMPTY:
        printf("(empty)");
        break;
      case VT_I4:
        printf("%ld", (long)V_I4(&row[i]));
        break;
      case VT_DATE:
        printf("%.6f", V_DATE(&row[i]));
        break;
      case VT_BSTR:
        print_bstr(V_BSTR(&row[i]));
        break;
      default:
        printf("(vt %u)", (unsigned)V_VT(&row[i]));
    }
  }
  printf("\n");
}

/* Opens `log` on `machine`, reads its range and walks it. */
static void walk(const char *machine, const char *log) {
  VESKHANDLE h = 0;
  int32_t rc, oldest = 0, newest = 0;
  uint32_t number, count, rows = 0, errors = 0;
  VARIANT row[8], probe;
  int i;

  printf("%s on %s\n", log,
         machine == NULL ? "the local computer (null)"
         : *machine == 0 ? "the local computer (empty name)"
                         : machine);
  rc = VeskOpen(machine, log, &h);
  printf("  VeskOpen: %d\n", (int)rc);
  if (rc != 0) {
    print_error(h, NULL);
    check(0, "the log opens");
    VeskClose(h);
    return;
  }
  VariantInit(&probe);
  check(VeskGetError(h, &probe) == 0 && V_VT(&probe) == VT_EMPTY,
        "an open that succeeded leaves no error text");

  check(VeskGetOldest(h, &oldest) == 0, "VeskGetOldest succeeds");
  check(VeskGetNewest(h, &newest) == 0, "VeskGetNewest succeeds");
  count = (uint32_t)newest - (uint32_t)oldest + 1u;
  printf("  oldest %ld, newest %ld: %lu records\n", (long)oldest, (long)newest,
         (unsigned long)count);
  check(count > 0 && count < 1000000u, "the sample log holds records");

  for (i = 0; i < 8; i++) VariantInit(&row[i]);
  for (number = (uint32_t)oldest; count > 0 && number <= (uint32_t)newest; number++) {
    rc = VeskGetRec(h, number, row);
    if (rc == 0) {
      rows++;
      check(V_VT(&row[0]) == VT_DATE && V_VT(&row[1]) == VT_I4 &&
                V_VT(&row[2]) == VT_BSTR && V_VT(&row[7]) == VT_BSTR,
            "a row holds a date, a number and texts");
      if (rows <= 3) print_row(row);
    } else {
      printf("  record %lu: VeskGetRec %d\n", (unsigned long)number, (int)rc);
      if (!print_error(h, NULL)) {
        check(0, "no record of the range is past the end of the log");
        break;
      }
      errors++;
    }
  }
  printf("  %lu rows, %lu records with errors\n", (unsigned long)rows,
         (unsigned long)errors);
  /* Past the newest record: -1 and no error text. */
  rc = VeskGetRec(h, (uint32_t)newest + 1u, row);
  printf("  record %lu (past the end): VeskGetRec %d\n",
         (unsigned long)((uint32_t)newest + 1u), (int)rc);
  check(rc == -1, "past the end gives -1");
  check(!print_error(h, NULL), "past the end latches no error text");
  for (i = 0; i < 8; i++) VariantClear(&row[i]);
  check(VeskClose(h) == 0, "VeskClose returns 0");
}

/* Opens a log that must fail, and compares the error text. */
static void must_fail(const char *machine, const char *log, const char *expected,
                      const char *what) {
  VESKHANDLE h = 0;
  int32_t rc = VeskOpen(machine, log, &h);
  printf("%s on %s\n  VeskOpen: %d\n", log,
         machine ? machine : "the local computer (null)", (int)rc);
  check(rc == -1, what);
  check(print_error(h, expected), "the failed open gives its error text");
  check(VeskClose(h) == 0, "VeskClose of a failed open returns 0");
}

int main(int argc, char **argv) {
  walk(NULL, "Application");
  walk("", "System"); /* an empty machine name is the local computer */
  if (argc > 1) walk(argv[1], "System");
  must_fail("NOSUCHCOMPUTER", "Application", "==>RegConnectKeyEx rc=53\n",
            "an unknown remote computer fails");
  /* Archive is registered, but its file is not on the drive. */
  must_fail(NULL, "Archive", "OpenEventLog(NULL,Archive) rc=2",
            "a local log without its file fails, naming the machine NULL");
  must_fail("ABCDEFGHIJKLMNOPQ", "Application", NULL,
            "a machine name over 15 characters is refused");
  printf("%d checks failed\n", failures);
  return failures;
}
