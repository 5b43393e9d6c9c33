// Converts every record of a large log into its row through VeskGetRec, with
// warm caches, and prints rows per second and peak resident memory.
//
//   row_bench [--records N] [--dir DIR] [--keep] [--reuse]
//
// The records are typical ones: a source with message, category and
// parameter files (the sample system's VeskDemo DLLs), two or three
// insertion strings, a SID from a handful, a category; one in eight has a
// parameter reference that goes through the expansion.  The log is written
// to DIR (default: the system's temporary directory) and served from disk
// through the emulated event log service.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "evtwriter.h"
#include "platform/emulated/seam.h"
#include "vesk.h"

namespace emu = vesk::emu;
namespace fs = std::filesystem;

namespace {

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

std::vector<uint8_t> ReadAll(const fs::path &file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

int main(int argc, char **argv) {
  uint32_t records = 1'000'000;
  fs::path dir = fs::temp_directory_path() / "vesk-row-bench";
  bool keep = false, reuse = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--records" && i + 1 < argc)
      records = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    else if (a == "--dir" && i + 1 < argc)
      dir = argv[++i];
    else if (a == "--keep")
      keep = true;
    else if (a == "--reuse")  // the log a --keep run left (for profiling)
      reuse = keep = true;
    else {
      std::fprintf(stderr, "usage: %s [--records N] [--dir DIR] [--keep] [--reuse]\n",
                   argv[0]);
      return 2;
    }
  }

  const fs::path dlls = VESK_SAMPLE_DLLS;
  std::vector<uint8_t> messages = ReadAll(dlls / "vdemomsg.dll");
  std::vector<uint8_t> parameters = ReadAll(dlls / "vdemoprm.dll");
  if (messages.empty() || parameters.empty()) {
    std::fprintf(stderr, "row_bench: the sample message DLLs are not in %s\n",
                 dlls.string().c_str());
    return 1;
  }

  const fs::path config = dir / "WINDOWS" / "system32" / "config";
  fs::create_directories(config);
  const fs::path file = config / "Bench.evt";
  const auto t0 = std::chrono::steady_clock::now();
  if (!reuse || !fs::exists(file)) {
    vesk::tools::EvtWriter w(file, {});
    const std::vector<std::vector<uint8_t>> sids = {
        vesk::tools::evt_sid("S-1-5-18"),
        vesk::tools::evt_sid("S-1-5-19"),
        vesk::tools::evt_sid("S-1-5-21-1-2-3-500"),
        vesk::tools::evt_sid("S-1-5-21-1-2-3-1003"),
        {}};
    vesk::tools::EvtRecord r;
    r.source = u"VeskDemo";
    r.computer = u"BENCH";
    for (uint32_t n = 1; n <= records; ++n) {
      r.time_generated = r.time_written = 1'200'000'000u + n;
      r.sid = sids[n % sids.size()];
      switch (n % 8) {
        case 0:  // a parameter reference, expanded
          r.event_id = 0x40000004;
          r.event_type = 4;
          r.category = 1;
          r.strings = {u"a;b", u"", u"c", u"%%1", u"%%2 of 3"};
          break;
        case 1:
        case 3:
        case 5:
          r.event_id = 0x80000002;
          r.event_type = 2;
          r.category = 2;
          r.strings = {u"C:\\Demo\\cache", u"85"};
          break;
        default:
          r.event_id = 0x40000001;
          r.event_type = 4;
          r.category = 1;
          r.strings = {u"Demo service", u"1.0.0"};
          r.strings[1].back() = static_cast<char16_t>(u'0' + n % 10);
      }
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
  std::printf("log: %u records, %.1f MB, written in %.1f s\n", records,
              fs::file_size(file) / 1e6, Seconds(std::chrono::steady_clock::now() - t0));

  emu::reset();
  auto computer = std::make_shared<emu::Computer>(u"BENCH");
  computer->key(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion")
      ->set_string(u"SystemRoot", u"C:\\WINDOWS");
  computer->key(u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Bench")
      ->set_string(u"File", u"%SystemRoot%\\system32\\config\\Bench.evt", REG_EXPAND_SZ);
  auto source =
      computer->key(u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Bench\\VeskDemo");
  source->set_string(u"EventMessageFile", u"%SystemRoot%\\system32\\vdemomsg.dll",
                     REG_EXPAND_SZ);
  source->set_string(u"CategoryMessageFile", u"%SystemRoot%\\system32\\vdemomsg.dll",
                     REG_EXPAND_SZ);
  source->set_string(u"ParameterMessageFile", u"%SystemRoot%\\system32\\vdemoprm.dll",
                     REG_EXPAND_SZ);
  computer->add_file(u"C:\\WINDOWS\\system32\\vdemomsg.dll", std::move(messages));
  computer->add_file(u"C:\\WINDOWS\\system32\\vdemoprm.dll", std::move(parameters));
  computer->add_drive(u'C', dir);
  emu::set_local(computer);

  VESKHANDLE h = 0;
  if (VeskOpen(nullptr, "Bench", &h) != 0) {
    std::fprintf(stderr, "open failed\n");
    return 1;
  }
  int32_t oldest = 0, newest = 0;
  VeskGetOldest(h, &oldest);
  VeskGetNewest(h, &newest);

  VARIANT row[8];
  for (VARIANT &v : row) VariantInit(&v);
  // Warm the caches: sources, modules, accounts.
  for (int32_t n = oldest; n < oldest + 64 && n <= newest; ++n)
    VeskGetRec(h, static_cast<uint32_t>(n), row);

  uint64_t rows = 0, failed = 0, chars = 0;
  const auto s = std::chrono::steady_clock::now();
  for (int64_t n = oldest; n <= newest; ++n) {
    if (VeskGetRec(h, static_cast<uint32_t>(n), row) != 0) ++failed;
    if (V_VT(&row[7]) == VT_BSTR) chars += SysStringLen(V_BSTR(&row[7]));
    ++rows;
  }
  const double secs = Seconds(std::chrono::steady_clock::now() - s);
  for (VARIANT &v : row) VariantClear(&v);
  VeskClose(h);

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf(
      "rows: %llu in %.3f s = %.2f million rows/s (%llu returned -1, %.1f message "
      "characters a row)\n",
      static_cast<unsigned long long>(rows), secs, rows / secs / 1e6,
      static_cast<unsigned long long>(failed), rows ? double(chars) / rows : 0.0);
  std::printf("peak resident memory: %.1f MB\n", usage.ru_maxrss / 1024.0);
  if (!keep) fs::remove_all(dir);
  return failed == 0 ? 0 : 1;
}
