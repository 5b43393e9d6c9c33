// The library alone over a log of a system drive image: every record of LOG
// turned into its row with VeskGetRec, nothing printed, one thread.  Prints
// rows per second (wall clock and processor time) and the peak resident
// memory.  walk-bench runs it on the real-shaped log beside the tool.
//
//   walk_rows --image DIR LOG
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "vesk.h"

int main(int argc, char **argv) {
  if (argc != 4 || std::strcmp(argv[1], "--image") != 0) {
    std::fprintf(stderr, "usage: walk_rows --image DIR LOG\n");
    return 2;
  }
  setenv("VESK_LOCAL_IMAGE", argv[2], 1);
  VESKHANDLE h = 0;
  int32_t oldest = 0, newest = 0;
  if (VeskOpen(nullptr, argv[3], &h) != 0 || VeskGetOldest(h, &oldest) != 0 ||
      VeskGetNewest(h, &newest) != 0) {
    std::fprintf(stderr, "walk_rows: cannot open %s in %s\n", argv[3], argv[2]);
    return 1;
  }
  VARIANT row[8];
  for (VARIANT &v : row) VariantInit(&v);
  uint64_t rows = 0, failed = 0, chars = 0;
  const auto wall = std::chrono::steady_clock::now();
  const std::clock_t cpu = std::clock();
  for (int64_t n = oldest; n <= newest && newest > 0; ++n) {
    if (VeskGetRec(h, static_cast<uint32_t>(n), row) != 0) ++failed;
    if (V_VT(&row[7]) == VT_BSTR) chars += SysStringLen(V_BSTR(&row[7]));
    ++rows;
  }
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
  const double cpu_secs = static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC;
  for (VARIANT &v : row) VariantClear(&v);
  VeskClose(h);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf(
      "library only: %llu rows (%llu with an error, %.0f message characters each) in "
      "%.2f s: %.0f rows/s, %.0f rows per processor second, peak %.1f MB\n",
      static_cast<unsigned long long>(rows), static_cast<unsigned long long>(failed),
      rows ? static_cast<double>(chars) / rows : 0.0, secs, rows / (secs + 1e-9),
      rows / (cpu_secs + 1e-9), usage.ru_maxrss / 1024.0);
  return 0;
}
