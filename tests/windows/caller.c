/* A Windows C caller of vesk.dll that includes only the public header.  It is
 * linked against the import library made with dlltool; on i686 it refers to
 * the decorated stdcall symbols (_VeskOpen@12 ...), which must resolve to the
 * DLL's plain export names.  It runs like the emulated C caller: it opens the
 * local Application log and prints what the six exports report. */
#include <stdio.h>

#include "vesk.h"

static void print_error(VESKHANDLE h) {
  VARIANT v;
  VariantInit(&v);
  if (VeskGetError(h, &v) == 1 && V_VT(&v) == VT_BSTR) {
    UINT n = SysStringLen(V_BSTR(&v));
    printf("error: ");
    for (UINT i = 0; i < n; i++) {
      WCHAR c = V_BSTR(&v)[i];
      putchar(c < 0x80 ? (int)c : '?');
    }
    printf("\n");
  }
  VariantClear(&v);
}

int main(void) {
  VESKHANDLE h = 0;
  int32_t oldest = 0, newest = 0;
  VARIANT row[8];
  int i;
  for (i = 0; i < 8; i++) VariantInit(&row[i]);

  if (VeskOpen(NULL, "Application", &h) != 0) {
    print_error(h);
    VeskClose(h);
    return 1;
  }
  if (VeskGetOldest(h, &oldest) != 0 || VeskGetNewest(h, &newest) != 0) print_error(h);
  printf("oldest %ld newest %ld\n", (long)oldest, (long)newest);
  if (newest >= oldest && VeskGetRec(h, (uint32_t)oldest, row) != 0) print_error(h);
  for (i = 0; i < 8; i++) VariantClear(&row[i]);
  VeskClose(h);
  return 0;
}
