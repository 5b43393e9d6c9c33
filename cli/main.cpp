// Command-line caller of the six exports.
#include <cstdio>

#include "vesk.h"

int main() {
  VESKHANDLE h = 0;
  int32_t rc = VeskOpen(nullptr, "Application", &h);
  std::printf("open: %d\n", rc);
  VeskClose(h);
  return 0;
}
