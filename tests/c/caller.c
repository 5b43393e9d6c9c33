/* A C caller that includes only the public header. */
#include <stdio.h>

#include "vesk.h"

int main(void) {
  VESKHANDLE h = 0;
  int32_t rc = VeskOpen(NULL, "Application", &h);
  printf("open: %d\n", (int)rc);
  VeskClose(h);
  return 0;
}
