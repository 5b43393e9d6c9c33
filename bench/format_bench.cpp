// Formats a typical table message (four %n inserts, width byte 0xFF) from a
// message DLL loaded as a data file, as the row conversion does for every
// record, and prints messages per second and the allocations made per call.
//
//   format_bench [--messages N] [--dll PATH]
//
// The DLL is the one the build makes with windmc, windres and the linker
// from tests/messages/en_de.mc; it is served from memory as the local
// computer's C:\WINDOWS\system32\benchmsg.dll.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "platform/emulated/seam.h"
#include "platform/platform.h"

namespace emu = vesk::emu;

namespace {

uint64_t g_allocations = 0;

}  // namespace

// Every allocation of the program goes through here, the platform's
// included, so that the timed loop can show it makes none.
void *operator new(size_t n) {
  ++g_allocations;
  if (void *p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }

namespace {

struct Run {
  double seconds;
  uint64_t allocations;
  uint64_t units;
};

Run Time(HMODULE h, DWORD id, DWORD flags, const DWORD_PTR *args, uint64_t n) {
  WCHAR buf[512];
  uint64_t units = 0;
  uint64_t before = g_allocations;
  auto start = std::chrono::steady_clock::now();
  for (uint64_t i = 0; i < n; ++i)
    units +=
        FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | flags, h, id, LANG_USER_DEFAULT, buf,
                       512, reinterpret_cast<va_list *>(const_cast<DWORD_PTR *>(args)));
  double s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return {s, g_allocations - before, units};
}

void Print(const char *what, const Run &r, uint64_t n) {
  std::printf(
      "%-44s %10.0f messages/s  %6.1f ns/message  %llu allocations  %.1f units/message\n",
      what, n / r.seconds, 1e9 * r.seconds / n,
      static_cast<unsigned long long>(r.allocations), static_cast<double>(r.units) / n);
}

}  // namespace

int main(int argc, char **argv) {
  uint64_t n = 5'000'000;
  std::string dll = VESK_BENCH_MSGDLL;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--messages" && i + 1 < argc)
      n = std::strtoull(argv[++i], nullptr, 10);
    else if (a == "--dll" && i + 1 < argc)
      dll = argv[++i];
    else {
      std::fprintf(stderr, "usage: format_bench [--messages N] [--dll PATH]\n");
      return 2;
    }
  }
  std::ifstream in(dll, std::ios::binary);
  std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  if (bytes.empty()) {
    std::fprintf(stderr, "format_bench: cannot read %s\n", dll.c_str());
    return 1;
  }
  emu::reset();
  auto local = std::make_shared<emu::Computer>(u"BENCHPC");
  local->add_file(u"C:\\WINDOWS\\system32\\benchmsg.dll", std::move(bytes));
  emu::set_local(local);
  HMODULE h = LoadLibraryExW(u"benchmsg", nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (h == nullptr) {
    std::fprintf(stderr, "format_bench: LoadLibraryExW failed: %u\n", GetLastError());
    return 1;
  }
  // Message 2: "User %1 logged on to %2 from %3 (%4).\r\n".
  const char16_t *strings[] = {u"alice", u"WORKSTATION-17", u"192.168.100.23",
                               u"Kerberos"};
  DWORD_PTR args[99] = {};
  for (int i = 0; i < 4; ++i) args[i] = reinterpret_cast<DWORD_PTR>(strings[i]);

  WCHAR sample[512];
  DWORD len = FormatMessageW(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY | 0xFF, h, 2,
      LANG_USER_DEFAULT, sample, 512, reinterpret_cast<va_list *>(args));
  std::printf("message: ");
  for (DWORD i = 0; i < len; ++i)
    std::putchar(sample[i] < 0x80 ? static_cast<char>(sample[i]) : '?');
  std::printf(" (%u units)\n", len);

  Time(h, 2, FORMAT_MESSAGE_ARGUMENT_ARRAY | 0xFF, args, n / 10);  // warm up
  Print("four inserts, width 0xFF",
        Time(h, 2, FORMAT_MESSAGE_ARGUMENT_ARRAY | 0xFF, args, n), n);
  Print("four inserts, width 0", Time(h, 2, FORMAT_MESSAGE_ARGUMENT_ARRAY, args, n), n);
  Print("inserts ignored, width 0xFF",
        Time(h, 2, FORMAT_MESSAGE_IGNORE_INSERTS | 0xFF, args, n), n);
  uint64_t live = emu::calls(emu::Call::LocalAlloc);
  std::printf("LocalAlloc calls during the runs: %llu\n",
              static_cast<unsigned long long>(live));
  FreeLibrary(h);
  return 0;
}
