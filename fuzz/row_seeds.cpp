// Writes the seed corpus of row_fuzz into the directory named on the command
// line: records of the fuzz computer's source as the event log writer lays
// them out, from TimeGenerated to the padding before the trailing Length
// (the part row_fuzz takes from its input): messages with inserts of every
// kind, parameter references, categories, a resolvable SID and malformed
// ones, many strings, a source no registry names.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "evtwriter.h"

namespace {

namespace tools = vesk::tools;

tools::EvtRecord Record(uint32_t id, std::vector<std::u16string> strings,
                        uint16_t category = 0, std::vector<uint8_t> sid = {}) {
  tools::EvtRecord r;
  r.time_generated = r.time_written = 1078128000u;
  r.event_id = id;
  r.category = category;
  r.source = u"Fuzz";
  r.computer = u"FUZZPC";
  r.strings = std::move(strings);
  r.sid = std::move(sid);
  return r;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: row_seeds DIR\n");
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::filesystem::create_directories(dir);
  std::vector<uint8_t> revision2 = tools::evt_sid("S-1-5-18");
  revision2[0] = 2;
  std::vector<std::u16string> many;
  for (int i = 1; i <= 100; ++i) many.push_back(u"v" + std::u16string(1 + i % 3, u'x'));
  std::vector<std::u16string> ninety_nine(many.begin(), many.end() - 1);
  tools::EvtRecord unregistered = Record(0x40000001, {u"a", u"b"});
  unregistered.source = u"Nobody";
  const tools::EvtRecord records[] = {
      Record(0x40000001, {u"Service", u"ok"}, 1, tools::evt_sid("S-1-5-21-1-2-3-1001")),
      Record(0x40000002, {u"1", u"2", u"3", u"4", u"5", u"6", u"7"}),
      Record(0x40000003, ninety_nine, 2),
      Record(0x40000003, many, 3),
      Record(0xC0000004, {u"%%100 and %%101 95%", u"narrow"}, 2,
             tools::evt_sid("S-1-5-18")),
      Record(0x40000001, {u"%%%%1", u"%%4294967397"}, 0, revision2),
      Record(0x40000009, {u"no message"}, 7, tools::evt_sid("S-1-5-21-9-9-9-500")),
      unregistered,
  };
  int n = 0;
  for (const tools::EvtRecord &r : records) {
    const std::vector<uint8_t> bytes = tools::evt_encode_record(r, 1);
    std::ofstream f(dir / ("record" + std::to_string(++n)), std::ios::binary);
    f.write(reinterpret_cast<const char *>(bytes.data()) + 12,
            static_cast<std::streamsize>(bytes.size() - 16));
    if (!f) {
      std::fprintf(stderr, "row_seeds: cannot write %s\n", dir.c_str());
      return 1;
    }
  }
  return 0;
}
