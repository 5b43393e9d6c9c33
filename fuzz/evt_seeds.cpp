// Writes the seed corpus of evt_fuzz into the directory named on the command
// line: event logs made by the writer, plain, trimmed, wrapped (with split
// records, padding and split end-of-file records), dirty, empty, cleared and
// numbered past 0xFFFFFFFF.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "evtwriter.h"

namespace {

namespace tools = vesk::tools;

tools::EvtRecord Record(uint32_t i) {
  static const uint16_t kTypes[] = {1, 2, 4, 8, 16};
  tools::EvtRecord r;
  r.time_generated = 1200000000u + i * 60;
  r.time_written = r.time_generated + i % 2;
  r.event_id = (i % 3 == 0 ? 0xC0000000u : 0x40000000u) | (7000 + i % 40);
  r.event_type = kTypes[i % 5];
  r.category = static_cast<uint16_t>(i % 4);
  r.source = i % 2 ? u"Service Control Manager" : u"EventLog";
  r.computer = u"SEEDHOST";
  if (i % 3 == 1) r.sid = tools::evt_sid(5, {21, 100 + i, 200, 300, 1000 + i});
  for (uint32_t k = 0; k < i % 4; ++k)
    r.strings.push_back(std::u16string(1 + (i + k) % 9, u'a' + k));
  if (i % 5 == 3) r.data.assign(1 + i % 13, static_cast<uint8_t>(i));
  return r;
}

// `records` records; when `cleared_after` is given, the log is cleared
// after that many, as Windows clears it, and the rest are written after.
bool Write(const std::filesystem::path &dir, const std::string &name, uint32_t records,
           const tools::EvtOptions &options, uint32_t cleared_after = UINT32_MAX) {
  tools::EvtWriter w(options);
  for (uint32_t i = 0; i < records; ++i) {
    if (i == cleared_after) w.clear();
    w.add(Record(i));
  }
  if (records == cleared_after) w.clear();
  if (!w.finish()) {
    std::fprintf(stderr, "evt_seeds: %s: %s\n", name.c_str(), w.error().c_str());
    return false;
  }
  auto bytes = w.bytes();
  std::ofstream f(dir / (name + ".evt"), std::ios::binary);
  f.write(reinterpret_cast<const char *>(bytes.data()),
          static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: evt_seeds DIR\n");
    return 2;
  }
  std::filesystem::path dir(argv[1]);
  std::filesystem::create_directories(dir);
  bool ok = true;
  ok &= Write(dir, "plain", 12, {.grow_in_steps = false});
  ok &= Write(dir, "empty", 0, {.grow_in_steps = false});
  ok &=
      Write(dir, "dirty", 10, {.grow_in_steps = false, .dirty = true, .dirty_after = 4});
  // Cleared as Windows leaves it, and written again after the clear.
  ok &= Write(dir, "cleared", 25, {.grow_in_steps = false}, 25);
  ok &= Write(dir, "cleared-written", 31, {.grow_in_steps = false}, 25);
  ok &= Write(dir, "cleared-dirty", 31,
              {.grow_in_steps = false, .dirty = true, .dirty_after = 25}, 25);
  // Numbers that pass 0xFFFFFFFF.
  ok &=
      Write(dir, "numbers-wrap", 8, {.grow_in_steps = false, .first_number = 0xFFFFFFFE});
  ok &= Write(dir, "reference-padding", 10,
              {.grow_in_steps = false, .padding = tools::EvtPadding::kReference});
  // Small rings: across these sizes the ring wraps with split records,
  // 0x27 padding and split end-of-file records.
  for (uint32_t ring = 0x200; ring <= 0x600; ring += 0x24) {
    std::string n = std::to_string(ring);
    ok &= Write(dir, "wrapped-" + n, 40, {.max_size = ring, .grow_in_steps = false});
    if (ring % 0x48 == 0)
      ok &= Write(
          dir, "dirty-wrapped-" + n, 40,
          {.max_size = ring, .grow_in_steps = false, .dirty = true, .dirty_after = 25});
  }
  return ok ? 0 : 1;
}
