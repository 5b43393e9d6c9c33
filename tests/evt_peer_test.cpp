// The reader and the writer held against libevt's tools (Debian's
// libevt-utils): evtinfo and evtexport must read every file the writer makes
// with the same records as this reader, and this reader must read the Windows
// sample logs record for record as evtexport does.  Skipped when the tools
// are not installed.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

#include "evt_util.h"
#include "support/testlib.h"

namespace {

using namespace vesk::evttest;
namespace fs = std::filesystem;

const char *const kEvtExport = "/usr/bin/evtexport";
const char *const kEvtInfo = "/usr/bin/evtinfo";

std::string Run(const std::string &tool, const fs::path &file) {
  std::string cmd = tool + " '" + file.string() + "' 2>/dev/null";
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// "Jul 21, 2021 02:40:16 UTC" as seconds since 1970.
int64_t ParseTime(const std::string &text) {
  static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm tm{};
  char month[4] = {};
  if (std::sscanf(text.c_str(), "%3s %d, %d %d:%d:%d", month, &tm.tm_mday, &tm.tm_year,
                  &tm.tm_hour, &tm.tm_min, &tm.tm_sec) != 6)
    return -1;
  tm.tm_mon = -1;
  for (int i = 0; i < 12; ++i)
    if (std::string(month) == kMonths[i]) tm.tm_mon = i;
  tm.tm_year -= 1900;
  return timegm(&tm);
}

// The records evtexport prints, with the fields it shows (it shows no data).
std::vector<Fields> Exported(const fs::path &file) {
  std::vector<Fields> out;
  std::istringstream in(Run(kEvtExport, file));
  std::string line;
  static const std::regex field(R"(^([^\t]+)\t+: ?(.*)$)");
  static const std::regex number_in_parens(R"(\((\d+)\)$)");
  Fields *cur = nullptr;
  while (std::getline(in, line)) {
    std::smatch m;
    if (!std::regex_match(line, m, field)) continue;
    std::string key = m[1], value = m[2];
    if (key == "Event number") {
      out.emplace_back();
      cur = &out.back();
      cur->number = static_cast<uint32_t>(std::stoul(value));
      continue;
    }
    if (!cur) continue;
    std::smatch n;
    if (key == "Creation time") {
      cur->generated = static_cast<uint32_t>(ParseTime(value));
    } else if (key == "Written time") {
      cur->written = static_cast<uint32_t>(ParseTime(value));
    } else if (key == "Event type" && std::regex_search(value, n, number_in_parens)) {
      cur->type = static_cast<uint16_t>(std::stoul(n[1]));
    } else if (key == "Event identifier" &&
               std::regex_search(value, n, number_in_parens)) {
      cur->event_id = static_cast<uint32_t>(std::stoul(n[1]));
    } else if (key == "Event category") {
      cur->category = static_cast<uint16_t>(std::stoul(value));
    } else if (key == "Computer name") {
      cur->computer = value;
    } else if (key == "Source name") {
      cur->source = value;
    } else if (key == "User security identifier") {
      cur->sid = value;
    } else if (key.rfind("String: ", 0) == 0) {
      cur->strings.push_back(value);
    }
  }
  return out;
}

long InfoCount(const fs::path &file) {
  std::smatch m;
  std::string out = Run(kEvtInfo, file);
  static const std::regex count(R"(Number of records\t+: (\d+))");
  return std::regex_search(out, m, count) ? std::stol(m[1]) : -1;
}

// Our records without the data, which evtexport does not show.
std::vector<Fields> Ours(const std::vector<uint8_t> &bytes) {
  auto log = OpenBytes(bytes);
  EXPECT_NE(log, nullptr);
  if (!log) return {};
  auto all = ReadAll(*log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 65536);
  for (auto &f : all) f.data.clear();
  return all;
}

// The number of the first record that is followed by 0x27 padding to the
// end of the file (0 if none).  libevt does not know this padding: it takes
// the padding for a record of 0x27 bytes with a bad signature and stops, so
// it reads a wrapped log only up to there.
uint32_t FirstPadded(const std::vector<uint8_t> &bytes) {
  auto log = OpenBytes(bytes);
  if (!log) return 0;
  const auto &lay = log->layout();
  uint64_t pos = lay.start, ring = lay.ring_end;
  for (uint32_t i = 0; i < log->count(); ++i) {
    uint64_t next = pos + U32(bytes.data() + pos);
    if (next >= ring) next -= ring - 0x30;
    if (next != lay.end && ring - next < 0x38) return log->oldest() + i;
    pos = next;
  }
  return 0;
}

class EvtPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(kEvtExport) || !fs::exists(kEvtInfo))
      GTEST_SKIP() << "libevt-utils (evtexport, evtinfo) not installed";
    temp_ = std::make_unique<vesk::test::TempDir>("evt-peer");
    dir_ = temp_->path();
  }
  std::unique_ptr<vesk::test::TempDir> temp_;
  fs::path dir_;
};

// Records with text beyond ASCII, every event type, SIDs and none.
std::vector<tools::EvtRecord> PeerRecords(uint32_t n) {
  auto v = Samples(n);
  for (uint32_t i = 0; i < n; i += 7) {
    v[i].strings.push_back(u"Gr\u00fc\u00dfe \u2713 \u65e5\u672c");
    v[i].computer = u"\u00c4RGER";
  }
  return v;
}

TEST_F(EvtPeerTest, FilesTheWriterMakesReadTheSameInLibevt) {
  struct Variant {
    const char *name;
    uint32_t records;
    tools::EvtOptions options;
  };
  // With the reference formula's padding, a record with neither strings nor
  // data has its string offset at the trailing Length, which the format
  // allows and libevt refuses (Windows never writes one: its padding is 1 to
  // 4 bytes); such records are left out of that variant.
  const Variant variants[] = {
      {"plain", 80, {}},
      {"trimmed", 40, {.grow_in_steps = false}},
      {"wrapped", 400, {.max_size = 9000, .grow_in_steps = false}},
      {"wrapped-64k", 2000, {.max_size = 65536}},
      {"dirty", 50, {.dirty = true, .dirty_after = 20}},
      {"dirty-fresh", 30, {.dirty = true}},
      {"dirty-wrapped",
       400,
       {.max_size = 7000, .grow_in_steps = false, .dirty = true, .dirty_after = 150}},
      {"reference-padding-wrapped",
       60,
       {.max_size = 5000,
        .grow_in_steps = false,
        .padding = tools::EvtPadding::kReference}},
      {"empty", 0, {}},
  };
  int padded_files = 0;
  for (const auto &v : variants) {
    SCOPED_TRACE(v.name);
    auto records = PeerRecords(v.records);
    if (v.options.padding == tools::EvtPadding::kReference)
      for (auto &r : records)
        if (r.strings.empty() && r.data.empty()) r.strings.push_back(u"s");
    auto bytes = tools::write_evt(records, v.options);
    fs::path file = dir_ / (std::string(v.name) + ".evt");
    WriteFile(file.string(), bytes);
    auto ours = Ours(bytes);
    auto theirs = Exported(file);
    if (uint32_t padded = FirstPadded(bytes)) {
      // libevt stops at the padding (see FirstPadded); up to there it agrees.
      ASSERT_GT(ours.size(), padded - ours.front().number + 1);
      ours.resize(padded - ours.front().number + 1);
      ++padded_files;
    }
    EXPECT_EQ(InfoCount(file), static_cast<long>(ours.size()));
    ASSERT_EQ(theirs.size(), ours.size());
    for (size_t i = 0; i < ours.size(); ++i)
      EXPECT_EQ(theirs[i], ours[i]) << "record " << i;
    if (std::string(v.name).find("wrapped") != std::string::npos) {
      EXPECT_LT(ours.size(), v.records) << "the ring wrapped";
      EXPECT_GT(ours.front().number, 1u);
    }
  }
  EXPECT_GT(padded_files, 0) << "one of the files has padding";
}

// A log cleared as Windows XP clears it reads as empty in both readers, and
// once written again both read its new records.
TEST_F(EvtPeerTest, ClearedLogsReadTheSameInLibevt) {
  for (uint32_t after : {0u, 6u}) {
    SCOPED_TRACE(after);
    tools::EvtWriter w;
    for (auto &r : PeerRecords(25)) ASSERT_TRUE(w.add(r));
    ASSERT_TRUE(w.clear());
    for (auto &r : PeerRecords(after)) ASSERT_TRUE(w.add(r));
    ASSERT_TRUE(w.finish());
    fs::path file = dir_ / ("cleared-" + std::to_string(after) + ".evt");
    WriteFile(file.string(), w.bytes());
    auto ours = Ours(w.bytes());
    EXPECT_EQ(ours.size(), after);
    EXPECT_EQ(InfoCount(file), static_cast<long>(after));
    EXPECT_EQ(Exported(file), ours);
  }
}

TEST_F(EvtPeerTest, WindowsSamplesReadRecordForRecordAsEvtexportReadsThem) {
  VESK_REQUIRE_SAMPLES(samples);
  for (const char *name : {"TestLog.evt", "TestLog-dirty.evt"}) {
    SCOPED_TRACE(name);
    fs::path file = samples / name;
    auto ours = Ours(ReadFile(file.string()));
    auto theirs = Exported(file);
    ASSERT_EQ(ours.size(), 5u);
    EXPECT_EQ(theirs, ours);
    EXPECT_EQ(InfoCount(file), 5);
  }
}

}  // namespace
