// Hostile images against ordinary ones: for each attack, a generated system
// drive (an event log, message DLLs on disk, the registry that names them)
// is walked through VeskGetRec, and so is an ordinary image with the same
// number of records; each walk runs in a process of its own and prints its
// time and its peak resident memory.
//
//   attack_bench [--dir DIR] [--keep] [--reuse] [CASE...]
//
// --keep leaves the images in DIR; --reuse walks the images a --keep run
// left there instead of making them again (for profiling the walk alone).
//
// CASEs (all when none is named):
//   memo       20 records of 99 strings, each string ~170 %%N references to
//              distinct numbers that no parameter file holds
//   ids        100,000 records with distinct event ids that no file holds
//   sources    50,000 records from 50,000 distinct unregistered sources
//   sparse     30 sparse 64 MB message DLLs named by one source
//   spellings  one sparse 64 MB DLL named 20 ways by each of two sources
//   block      a message table with one block of 15.7 million entries,
//              100 distinct ids asked by 100,000 records
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "evtwriter.h"
#include "pewriter.h"
#include "platform/emulated/seam.h"
#include "vesk.h"

namespace emu = vesk::emu;
namespace fs = std::filesystem;
using vesk::tools::EvtRecord;
using vesk::tools::MessageDllLayout;

namespace {

constexpr char16_t kLogKey[] = u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Bench";
constexpr uint32_t kSparseBytes = (64u << 20) - 0x200;
constexpr uint32_t kBlockEntries = 15'700'000;

std::u16string U16(const std::string &s) { return std::u16string(s.begin(), s.end()); }

fs::path System32(const fs::path &drive) { return drive / "WINDOWS" / "system32"; }

void Check(bool ok, const std::string &what) {
  if (!ok) {
    std::fprintf(stderr, "attack_bench: %s\n", what.c_str());
    std::exit(1);
  }
}

// A small message file: ids 1000 to 1010 with one insert.
void WriteOrdinaryDll(const fs::path &file, uint64_t section = 0) {
  MessageDllLayout layout;
  layout.blocks = {{1000, 1010}};
  layout.text = [](uint32_t id) {
    return u"Ordinary message " + U16(std::to_string(id)) + u": %1.";
  };
  layout.section_size = section;
  std::string error;
  Check(vesk::tools::write_message_dll(file, layout, &error), error);
}

// One image: its drive's files and its registry.
struct Image {
  std::function<void(const fs::path &drive)> make;
  std::function<void(emu::Computer &)> registry;
};

struct Case {
  const char *name;
  Image attack, ordinary;
};

void WriteLog(const fs::path &drive, uint32_t count,
              const std::function<void(uint32_t n, EvtRecord &)> &fill) {
  fs::create_directories(System32(drive) / "config");
  vesk::tools::EvtWriter w(System32(drive) / "config" / "Bench.evt", {});
  EvtRecord r;
  r.computer = u"BENCH";
  for (uint32_t n = 1; n <= count; ++n) {
    r.time_generated = r.time_written = 1'200'000'000u + n;
    r.source = u"Bench";
    r.event_id = 1000;
    r.strings = {u"x"};
    fill(n, r);
    Check(w.add(r), w.error());
  }
  Check(w.finish(), w.error());
}

void Register(emu::Computer &c, const std::u16string &source, const std::u16string &value,
              const std::u16string &files) {
  c.key(std::u16string(kLogKey) + u"\\" + source)
      ->set_string(value, files, REG_EXPAND_SZ);
}

// The ordinary image: `count` records of a source with one small file.
Image Ordinary(uint32_t count,
               std::function<void(uint32_t, EvtRecord &)> fill = nullptr) {
  return {[count, fill](const fs::path &drive) {
            WriteLog(drive, count, [&](uint32_t n, EvtRecord &r) {
              if (fill) fill(n, r);
            });
            WriteOrdinaryDll(System32(drive) / "ordinary.dll");
          },
          [](emu::Computer &c) {
            Register(c, u"Bench", u"EventMessageFile", u"ordinary.dll");
            Register(c, u"Bench", u"ParameterMessageFile", u"ordinary.dll");
          }};
}

std::vector<Case> Cases() {
  std::vector<Case> cases;
  // 20 records, 99 strings, 170 references each to distinct numbers.
  {
    auto refs = [](uint32_t n, EvtRecord &r) {
      r.strings.clear();
      for (uint32_t s = 0; s < 99; ++s) {
        std::u16string text;
        for (uint32_t k = 0; k < 170; ++k)
          text += u"%%" + U16(std::to_string(100000 + ((n * 99 + s) * 170 + k)));
        r.strings.push_back(text);
      }
    };
    auto plain = [](uint32_t, EvtRecord &r) {
      r.strings.assign(99, std::u16string(1360, u'p'));
    };
    cases.push_back({"memo", Ordinary(20, refs), Ordinary(20, plain)});
  }
  cases.push_back(
      {"ids",
       Ordinary(100'000, [](uint32_t n, EvtRecord &r) { r.event_id = 2'000'000 + n; }),
       Ordinary(100'000)});
  {
    Image attack = Ordinary(50'000, [](uint32_t n, EvtRecord &r) {
      r.source = u"Src" + U16(std::to_string(n));
    });
    cases.push_back({"sources", attack, Ordinary(50'000)});
  }
  {
    Image attack{
        [](const fs::path &drive) {
          WriteLog(drive, 10'000, [](uint32_t, EvtRecord &r) { r.event_id = 1005; });
          for (int i = 0; i < 30; ++i) {
            MessageDllLayout layout;
            // Only the last file holds the records' number.
            layout.blocks = {{i == 29 ? 1000u : 5000u, i == 29 ? 1010u : 5001u}};
            layout.text = [](uint32_t) { return std::u16string(u"Sparse text %1."); };
            layout.section_size = kSparseBytes;
            std::string error;
            Check(
                vesk::tools::write_message_dll(
                    System32(drive) / ("s" + std::to_string(i) + ".dll"), layout, &error),
                error);
          }
        },
        [](emu::Computer &c) {
          std::u16string files;
          for (int i = 0; i < 30; ++i)
            files += (i ? u";s" : u"s") + U16(std::to_string(i)) + u".dll";
          Register(c, u"Bench", u"EventMessageFile", files);
        }};
    cases.push_back({"sparse", attack, Ordinary(10'000, [](uint32_t, EvtRecord &r) {
                       r.event_id = 1005;
                     })});
  }
  {
    Image attack{[](const fs::path &drive) {
                   WriteLog(drive, 10'000, [](uint32_t n, EvtRecord &r) {
                     r.source = n % 2 ? u"Bench" : u"Other";
                     r.event_id = 1005;
                   });
                   WriteOrdinaryDll(System32(drive) / "b.dll", kSparseBytes);
                 },
                 [](emu::Computer &c) {
                   // b;.\b;.\.\b;... and %SystemRoot%\system32\b.dll;
                   // %SystemRoot%\system32\.\b.dll;...
                   std::u16string bare, rooted;
                   for (int i = 0; i < 20; ++i) {
                     std::u16string dots;
                     for (int k = 0; k < i; ++k) dots += u".\\";
                     bare += (i ? u";" : u"") + dots + u"b";
                     rooted += (i ? u";" : u"") +
                               std::u16string(u"%SystemRoot%\\system32\\") + dots +
                               u"b.dll";
                   }
                   Register(c, u"Bench", u"EventMessageFile", bare);
                   Register(c, u"Other", u"EventMessageFile", rooted);
                 }};
    cases.push_back({"spellings", attack, Ordinary(10'000, [](uint32_t, EvtRecord &r) {
                       r.event_id = 1005;
                     })});
  }
  {
    Image attack{[](const fs::path &drive) {
                   WriteLog(drive, 100'000, [](uint32_t n, EvtRecord &r) {
                     r.event_id = kBlockEntries - 100 + n % 100;
                   });
                   MessageDllLayout layout;
                   layout.blocks = {{0, kBlockEntries - 1}};
                   layout.text = [](uint32_t id) {
                     return id >= kBlockEntries - 100
                                ? std::u16string(u"Deep message %1.")
                                : std::u16string();
                   };
                   std::string error;
                   Check(vesk::tools::write_message_dll(System32(drive) / "deep.dll",
                                                        layout, &error),
                         error);
                 },
                 [](emu::Computer &c) {
                   Register(c, u"Bench", u"EventMessageFile", u"deep.dll");
                 }};
    cases.push_back({"block", attack, Ordinary(100'000)});
  }
  return cases;
}

// Runs `work` in a child process and waits for it.
void InChild(const std::function<void()> &work) {
  std::fflush(stdout);
  pid_t pid = fork();
  Check(pid >= 0, "fork failed");
  if (pid == 0) {
    work();
    std::fflush(stdout);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  Check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "a child process failed");
}

// Walks the image's log; prints the time, the rows with an error and the
// peak resident memory of this process.
void Walk(const char *label, const Image &image, const fs::path &drive) {
  emu::reset();
  auto computer = std::make_shared<emu::Computer>(u"BENCH");
  computer->key(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion")
      ->set_string(u"SystemRoot", u"C:\\WINDOWS");
  computer->key(kLogKey)->set_string(
      u"File", u"%SystemRoot%\\system32\\config\\Bench.evt", REG_EXPAND_SZ);
  image.registry(*computer);
  computer->add_drive(u'C', drive);
  emu::set_local(computer);

  const auto start = std::chrono::steady_clock::now();
  VESKHANDLE h = 0;
  Check(VeskOpen(nullptr, "Bench", &h) == 0, "open failed");
  int32_t oldest = 0, newest = 0;
  VeskGetOldest(h, &oldest);
  VeskGetNewest(h, &newest);
  VARIANT row[8];
  for (VARIANT &v : row) VariantInit(&v);
  uint64_t rows = 0, errors = 0;
  for (int64_t n = oldest; n <= newest; ++n) {
    if (VeskGetRec(h, static_cast<uint32_t>(n), row) != 0) ++errors;
    ++rows;
  }
  for (VARIANT &v : row) VariantClear(&v);
  VeskClose(h);
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("  %-9s %7llu rows in %8.3f s, %llu with an error; peak resident %.1f MB\n",
              label, static_cast<unsigned long long>(rows), secs,
              static_cast<unsigned long long>(errors), usage.ru_maxrss / 1024.0);
}

}  // namespace

int main(int argc, char **argv) {
  fs::path dir = fs::temp_directory_path() / "vesk-attack-bench";
  bool keep = false, reuse = false;
  std::vector<std::string> chosen;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--dir" && i + 1 < argc)
      dir = argv[++i];
    else if (a == "--keep")
      keep = true;
    else if (a == "--reuse")
      reuse = keep = true;
    else if (!a.empty() && a[0] != '-')
      chosen.push_back(a);
    else {
      std::fprintf(stderr, "usage: %s [--dir DIR] [--keep] [--reuse] [CASE...]\n",
                   argv[0]);
      return 2;
    }
  }
  std::printf("command:");
  for (int i = 0; i < argc; ++i) std::printf(" %s", argv[i]);
  std::printf("\n");
  for (const Case &c : Cases()) {
    bool wanted = chosen.empty();
    for (const auto &name : chosen) wanted = wanted || name == c.name;
    if (!wanted) continue;
    std::printf("%s:\n", c.name);
    const fs::path attack = dir / c.name / "attack", ordinary = dir / c.name / "ordinary";
    if (!reuse || !fs::exists(dir / c.name)) {
      fs::remove_all(dir / c.name);
      InChild([&] { c.attack.make(attack); });
      InChild([&] { c.ordinary.make(ordinary); });
    }
    InChild([&] { Walk("attack", c.attack, attack); });
    InChild([&] { Walk("ordinary", c.ordinary, ordinary); });
    if (!keep) fs::remove_all(dir / c.name);
  }
  return 0;
}
