// mkreallog: turns the sample system's local computer into one with a System
// log shaped like a real workstation's: 60 event sources, 56 of them
// registered over four message DLLs (one with categories, all with a
// parameter file), messages of 100 to 400 characters with 2 to 12 insertion
// strings (some under !printf! width formats), one record in ten with a %%N
// parameter reference, binary data on about a third of the records, SIDs
// from 36 accounts (well-known, local, and a domain's that cannot be
// resolved offline), and some records whose source is not registered or
// whose event number no file formats.  Most records come from a few busy
// sources, as in a real log.
//
//   mkreallog [--records N] [--reg FILE] [--dll-dir DIR] DRIVE LOG.evt
//
// DRIVE is the computer's system drive as mksample wrote it: its SYSTEM hive
// is written again from FILE (the sample's SYSTEM .reg) with the sources
// added, and the message DLLs are copied into its system32.  The log goes to
// LOG.evt (the System log's file in the drive, to be walked as "System").
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "evtwriter.h"
#include "hivewriter.h"
#include "platform/emulated/seam.h"
#include "regtext.h"

namespace {

namespace fs = std::filesystem;
namespace emu = vesk::emu;

struct Message {
  int file;  // index into kFiles
  uint32_t id;
  int inserts;
};

const Message kMessages[] = {
#include "realshape/catalogue.inc"
};

const char *const kFiles[] = {"rsnet", "rssvc", "rsdisk", "rskern"};
constexpr int kDiskFile = 2;  // the file with categories 1 to 6
constexpr int kRegistered = 56, kSources = 60;

// Registered sources per file, in order: 20, 14, 12 and 10.
int file_of_source(int s) { return s < 20 ? 0 : s < 34 ? 1 : s < 46 ? 2 : 3; }

std::u16string source_name(int s) {
  static const char *const kStems[] = {"Net", "Svc", "Disk", "Kern", "Ghost"};
  const int stem = s < kRegistered ? file_of_source(s) : 4;
  char name[32];
  std::snprintf(name, sizeof name, "Rs%s %02d", kStems[stem], s);
  return emu::from_utf8(name);
}

// A small deterministic generator, so that every run writes the same log.
struct Rng {
  uint64_t state;
  uint32_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state >> 33);
  }
  uint32_t below(uint32_t n) { return next() % n; }
};

std::u16string insert_text(Rng &rng, uint32_t n) {
  char buf[96];
  switch (rng.below(8)) {
    case 0:
      std::snprintf(buf, sizeof buf, "C:\\WINDOWS\\system32\\drivers\\drv%03u.sys",
                    rng.below(400));
      break;
    case 1:
      std::snprintf(buf, sizeof buf, "%u", rng.next() % 100000);
      break;
    case 2:
      std::snprintf(buf, sizeof buf, "0x%08X", rng.next());
      break;
    case 3:
      std::snprintf(buf, sizeof buf, "\\Device\\Harddisk%u\\DR%u", rng.below(4),
                    rng.below(8));
      break;
    case 4:
      std::snprintf(buf, sizeof buf, "192.168.%u.%u", rng.below(8), rng.below(255));
      break;
    case 5:
      std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%04X-%08X%04X}", rng.next(),
                    rng.below(0x10000), rng.below(0x10000), rng.below(0x10000),
                    rng.next(), rng.below(0x10000));
      break;
    case 6:
      std::snprintf(buf, sizeof buf, "record %u", n);
      break;
    default:
      std::snprintf(buf, sizeof buf, "%s", rng.below(2) ? "WORKGROUP" : "Remote Access");
  }
  return emu::from_utf8(buf);
}

std::vector<std::vector<uint8_t>> account_sids() {
  std::vector<std::string> text = {"S-1-5-18",     "S-1-5-19", "S-1-5-20", "S-1-5-32-544",
                                   "S-1-5-32-545", "S-1-1-0",  "S-1-5-11", "S-1-5-7",
                                   "S-1-5-4",      "S-1-5-6"};
  const std::string local = "S-1-5-21-1060284298-842925246-1957994488-";
  for (int rid : {500, 501, 513, 1003, 1004, 1005})
    text.push_back(local + std::to_string(rid));
  // A domain's accounts: no hive of this computer knows them.
  for (int rid = 1101; rid <= 1120; ++rid)
    text.push_back("S-1-5-21-3623811015-3361044348-30300820-" + std::to_string(rid));
  std::vector<std::vector<uint8_t>> out;
  for (const auto &t : text) out.push_back(vesk::tools::evt_sid(t));
  return out;
}

std::u16string system_path(const char *file) {
  return u"%SystemRoot%\\system32\\" + emu::from_utf8(file) + u".dll";
}

bool register_sources(const fs::path &drive, const fs::path &reg, const fs::path &dlls) {
  vesk::tools::RegNode registry;
  std::string error;
  if (!vesk::tools::parse_reg_file(reg, &registry, &error)) {
    std::fprintf(stderr, "mkreallog: %s: %s\n", reg.string().c_str(), error.c_str());
    return false;
  }
  vesk::tools::RegNode *system = registry.find(u"HKEY_LOCAL_MACHINE\\SYSTEM");
  if (system == nullptr) {
    std::fprintf(stderr, "mkreallog: %s has no SYSTEM key\n", reg.string().c_str());
    return false;
  }
  auto &log = system->key(u"ControlSet001\\Services\\EventLog\\System");
  for (int s = 0; s < kRegistered; ++s) {
    const int file = file_of_source(s);
    auto &key = log.key(source_name(s));
    key.set_string(u"EventMessageFile", system_path(kFiles[file]), 2 /* REG_EXPAND_SZ */);
    key.set_string(u"ParameterMessageFile", system_path("rsparam"), 2);
    key.set_dword(u"TypesSupported", 7);
    if (file == kDiskFile) {
      key.set_string(u"CategoryMessageFile", system_path(kFiles[file]), 2);
      key.set_dword(u"CategoryCount", 6);
    }
  }
  vesk::tools::HiveOptions options;
  options.root_name = u"SYSTEM";
  const auto config = emu::find_case_insensitive(drive, u"WINDOWS\\system32\\config");
  const auto system32 = emu::find_case_insensitive(drive, u"WINDOWS\\system32");
  if (!config || !system32) {
    std::fprintf(stderr, "mkreallog: %s is not a system drive\n", drive.string().c_str());
    return false;
  }
  if (!vesk::tools::write_hive(*config / "SYSTEM", *system, &error, options)) {
    std::fprintf(stderr, "mkreallog: %s\n", error.c_str());
    return false;
  }
  for (const char *file : {"rsnet", "rssvc", "rsdisk", "rskern", "rsparam"}) {
    std::error_code ec;
    const std::string name = std::string(file) + ".dll";
    fs::copy_file(dlls / name, *system32 / name, fs::copy_options::overwrite_existing,
                  ec);
    if (ec) {
      std::fprintf(stderr, "mkreallog: %s: %s\n", (dlls / name).string().c_str(),
                   ec.message().c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  uint32_t records = 200'000;
  fs::path reg = VESK_SAMPLE_REG, dlls = VESK_REALSHAPE_DLLS;
  std::vector<const char *> paths;
  bool bad = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--records") == 0 && i + 1 < argc)
      records = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    else if (std::strcmp(argv[i], "--reg") == 0 && i + 1 < argc)
      reg = argv[++i];
    else if (std::strcmp(argv[i], "--dll-dir") == 0 && i + 1 < argc)
      dlls = argv[++i];
    else if (argv[i][0] != '-')
      paths.push_back(argv[i]);
    else
      bad = true;
  }
  if (bad || paths.size() != 2) {
    std::fprintf(
        stderr,
        "usage: mkreallog [--records N] [--reg FILE] [--dll-dir DIR] DRIVE LOG.evt\n");
    return 2;
  }
  if (!register_sources(paths[0], reg, dlls)) return 1;

  // Messages by file, for picking one of a source's file.
  std::vector<std::vector<const Message *>> by_file(4);
  for (const Message &m : kMessages) by_file[m.file].push_back(&m);
  const auto sids = account_sids();

  vesk::tools::EvtWriter w(paths[1], {});
  vesk::tools::EvtRecord r;
  r.computer = u"SAMPLEPC";
  Rng rng{17};
  uint32_t time = 1078128000u;
  for (uint32_t n = 1; n <= records; ++n) {
    time += rng.below(40);
    r.time_generated = r.time_written = time;
    // Half the records from the eight busiest sources.
    const int s = rng.below(2) ? static_cast<int>(rng.below(8) * 7 % kRegistered)
                               : static_cast<int>(rng.below(kSources));
    r.source = source_name(s);
    int inserts;
    if (s >= kRegistered) {
      r.event_id = 0x40000000u | (7000 + rng.below(20));
      inserts = 2 + static_cast<int>(rng.below(4));
      r.category = 0;
    } else {
      const int file = file_of_source(s);
      const auto &list = by_file[file];
      const Message &m = *list[(static_cast<size_t>(s) * 5 + rng.below(9)) % list.size()];
      inserts = m.inserts;
      r.event_id = m.id;
      if (rng.below(100) == 0) r.event_id = 0x40000000u | 999;  // no file formats it
      r.category = file == kDiskFile ? static_cast<uint16_t>(1 + rng.below(6)) : 0;
    }
    const uint32_t severity = r.event_id >> 30;
    r.event_type = severity == 3 ? 1 : severity == 2 ? 2 : 4;
    r.strings.clear();
    for (int k = 0; k < inserts; ++k) r.strings.push_back(insert_text(rng, n));
    if (n % 10 == 0)
      r.strings[rng.below(static_cast<uint32_t>(inserts))] =
          u"%%" + emu::from_utf8(std::to_string(1001 + rng.below(50)));
    r.sid.clear();
    if (rng.below(5) < 2) r.sid = sids[rng.below(static_cast<uint32_t>(sids.size()))];
    r.data.clear();
    if (rng.below(3) == 0) r.data.assign(8 + 4 * rng.below(15), static_cast<uint8_t>(n));
    if (!w.add(r)) {
      std::fprintf(stderr, "mkreallog: %s\n", w.error().c_str());
      return 1;
    }
  }
  if (!w.finish()) {
    std::fprintf(stderr, "mkreallog: %s\n", w.error().c_str());
    return 1;
  }
  std::printf("mkreallog: %u records in %s, %d sources over %zu messages\n", records,
              paths[1], kSources, std::size(kMessages));
  return 0;
}
