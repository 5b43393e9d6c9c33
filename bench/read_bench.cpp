// Walks every record of a large log through the read buffer, forwards and
// backwards, and prints records per second and peak resident memory.
//
//   read_bench [--records N] [--text-units U] [--dir DIR] [--keep]
//
// The log is written to DIR/bench.evt (default: the system's temporary
// directory) and served from disk through the emulated event log service,
// as a log of an image would be.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "api/context.h"
#include "evtwriter.h"
#include "platform/emulated/seam.h"
#include "records/bytes.h"

namespace emu = vesk::emu;

namespace {

long PeakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

long CurrentRssKb() {
  FILE *f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return -1;
  long pages = 0, resident = 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
  std::fclose(f);
  return resident * 4;
}

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

}  // namespace

int main(int argc, char **argv) {
  uint32_t records = 1'000'000;
  size_t text_units = 480;  // about 1 KB a record: a million make 1 GB
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "vesk-bench";
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--records" && i + 1 < argc)
      records = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    else if (a == "--text-units" && i + 1 < argc)
      text_units = std::strtoul(argv[++i], nullptr, 10);
    else if (a == "--dir" && i + 1 < argc)
      dir = argv[++i];
    else if (a == "--keep")
      keep = true;
    else {
      std::fprintf(stderr,
                   "usage: %s [--records N] [--text-units U] [--dir DIR] [--keep]\n",
                   argv[0]);
      return 2;
    }
  }

  std::filesystem::create_directories(dir / "WINDOWS" / "system32" / "config");
  std::filesystem::path file = dir / "WINDOWS" / "system32" / "config" / "Bench.evt";
  auto t0 = std::chrono::steady_clock::now();
  {
    vesk::tools::EvtWriter w(file, {});
    vesk::tools::EvtRecord r;
    r.source = u"BenchSource";
    r.computer = u"BENCH";
    r.strings = {std::u16string(text_units, u'x')};
    for (uint32_t n = 1; n <= records; ++n) {
      r.time_generated = r.time_written = 1'200'000'000u + n;
      r.event_id = n & 0xFFFF;
      if (!w.add(r)) {
        std::fprintf(stderr, "write failed: %s\n", w.error().c_str());
        return 1;
      }
    }
    if (!w.finish()) {
      std::fprintf(stderr, "write failed: %s\n", w.error().c_str());
      return 1;
    }
  }
  auto t1 = std::chrono::steady_clock::now();
  uint64_t size = std::filesystem::file_size(file);
  std::printf("log: %u records, %.1f MB, written in %.1f s\n", records, size / 1e6,
              Seconds(t1 - t0));
  long rss_before_open = CurrentRssKb();

  emu::reset();
  auto computer = std::make_shared<emu::Computer>(u"BENCH");
  computer->key(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion")
      ->set_string(u"SystemRoot", u"C:\\WINDOWS");
  computer->key(u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Bench")
      ->set_string(u"File", u"%SystemRoot%\\system32\\config\\Bench.evt", REG_EXPAND_SZ);
  computer->add_drive(u'C', dir);
  emu::set_local(computer);

  VESKHANDLE h = 0;
  auto t2 = std::chrono::steady_clock::now();
  if (VeskOpen(nullptr, "Bench", &h) != 0) {
    std::fprintf(stderr, "open failed\n");
    return 1;
  }
  auto t3 = std::chrono::steady_clock::now();
  std::printf("open (index built): %.2f s, resident %+ld KB\n", Seconds(t3 - t2),
              CurrentRssKb() - rss_before_open);
  CEvtLog *ctx = vesk::FindContext(h);
  int32_t oldest = 0, newest = 0;
  VeskGetOldest(h, &oldest);
  VeskGetNewest(h, &newest);

  uint64_t checksum = 0;
  for (int pass = 0; pass < 2; ++pass) {
    bool forwards = pass == 0;
    emu::reset_calls();
    auto s = std::chrono::steady_clock::now();
    uint64_t got = 0;
    for (int64_t i = 0; i <= static_cast<int64_t>(newest) - oldest; ++i) {
      DWORD n = static_cast<DWORD>(forwards ? oldest + i : newest - i);
      const BYTE *r = ctx->ReadRecord(n);
      if (r == nullptr) {
        std::fprintf(stderr, "record %u missing\n", n);
        return 1;
      }
      checksum += ReadU32(r + kRecordNumber);
      ++got;
    }
    auto e = std::chrono::steady_clock::now();
    double secs = Seconds(e - s);
    std::printf("%s: %llu records in %.3f s = %.2f million records/s, %llu reads\n",
                forwards ? "forwards " : "backwards",
                static_cast<unsigned long long>(got), secs, got / secs / 1e6,
                static_cast<unsigned long long>(emu::calls(emu::Call::ReadEventLogW)));
  }
  VeskClose(h);
  std::printf("peak resident memory: %.1f MB (checksum %llu)\n", PeakRssKb() / 1024.0,
              static_cast<unsigned long long>(checksum));
  if (!keep) std::filesystem::remove_all(dir);
  return 0;
}
