// The tool against a reader nobody here wrote: every record's written time,
// generated time and event identifier as evtexport (libevt-utils) reads them,
// on the sample system's logs and on the real logs of the shared samples; and
// a loose copy of each sample log read with the sample system as reference
// gives the rows the log gives in place.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "records/civil.h"
#include "support/cli_runner.h"
#include "support/testlib.h"

namespace fs = std::filesystem;
using vesk::test::RunTool;
using vesk::test::TempDir;
using vesk::test::TextLines;
using vesk::test::ToolRun;

namespace {

struct Times {
  std::string written, generated;
  uint64_t id = 0;
  bool operator==(const Times &) const = default;
};

std::ostream &operator<<(std::ostream &o, const Times &t) {
  return o << "{" << t.written << ", " << t.generated << ", " << t.id << "}";
}

// "Jul 21, 2021 02:40:16 UTC" as "2021-07-21T02:40:16Z".
std::string IsoFromEvtexport(const std::string &text) {
  static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::smatch m;
  static const std::regex kTime(R"(^(\w{3}) (\d{2}), (\d{4}) (\d{2}:\d{2}:\d{2}) UTC$)");
  if (!std::regex_match(text, m, kTime)) return "?" + text;
  int month = 0;
  for (int i = 0; i < 12; ++i)
    if (m[1] == kMonths[i]) month = i + 1;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%s-%02d-%sT%sZ", m[3].str().c_str(), month,
                m[2].str().c_str(), m[4].str().c_str());
  return buf;
}

// Each record of `file` as evtexport reads it, by record number.
std::map<uint32_t, Times> Evtexport(const fs::path &file) {
  std::map<uint32_t, Times> out;
  const std::string command = "evtexport '" + file.string() + "' 2>/dev/null";
  FILE *p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  std::string text;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
  pclose(p);
  uint32_t number = 0;
  static const std::regex kLine(R"(^([A-Za-z ]+?)\s*:\s*(.*)$)");
  for (const std::string &line : TextLines(text)) {
    std::smatch m;
    if (!std::regex_match(line, m, kLine)) continue;
    const std::string key = m[1], value = m[2];
    if (key == "Event number") {
      number = static_cast<uint32_t>(std::stoul(value));
      out[number];
    } else if (key == "Creation time") {
      out[number].generated = IsoFromEvtexport(value);
    } else if (key == "Written time") {
      out[number].written = IsoFromEvtexport(value);
    } else if (key == "Event identifier") {
      out[number].id = std::stoull(value.substr(0, value.find(' ')), nullptr, 16);
    }
  }
  return out;
}

// The same fields from the tool's JSON Lines.
std::map<uint32_t, Times> FromTool(const std::string &jsonl) {
  std::map<uint32_t, Times> out;
  static const std::regex kRow(
      R"re(^\{"record":(\d+),"time":"([^"]+)","generated":"([^"]+)","event_id":(\d+)\}$)re");
  for (const std::string &line : TextLines(jsonl)) {
    std::smatch m;
    if (!std::regex_match(line, m, kRow)) {
      ADD_FAILURE() << "unexpected row " << line;
      continue;
    }
    out[static_cast<uint32_t>(std::stoul(m[1]))] = Times{m[2], m[3], std::stoull(m[4])};
  }
  return out;
}

bool HaveEvtexport() { return std::system("evtexport -V >/dev/null 2>&1") == 0; }

class CliPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveEvtexport()) GTEST_SKIP() << "evtexport (libevt-utils) is not installed";
  }
  TempDir dir_{"cli-peer"};
};

// One line of the sample's manifest: role, computer, drive, log, count, file.
struct SampleLog {
  std::string role, computer, drive, log, file;
};

std::vector<SampleLog> MakeSample(const fs::path &dir) {
  const std::string command = std::string(VESK_BINARY_DIR) +
                              "/tools/mksample --reg-dir " + VESK_SOURCE_DIR +
                              "/tools/sample " + dir.string() + " >/dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  std::vector<SampleLog> logs;
  for (const std::string &line : TextLines(vesk::test::FileText(dir / "logs.tsv"))) {
    std::vector<std::string> f;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');) f.push_back(field);
    if (f.size() == 6) logs.push_back({f[0], f[1], f[2], f[3], f[5]});
  }
  EXPECT_FALSE(logs.empty());
  return logs;
}

const std::vector<std::string> kTimesAndId = {"-f", "jsonl", "-q", "-F",
                                              "record,time,generated,event_id"};

TEST_F(CliPeer, SampleSystemTimesAndIdentifiersAsEvtexportReadsThem) {
  const fs::path sample = dir_.path() / "sample";
  size_t records = 0;
  for (const SampleLog &l : MakeSample(sample)) {
    std::vector<std::string> args = kTimesAndId;
    args.insert(args.end(), {"--image", (sample / "samplepc").string(), "--remote",
                             "FILESRV=" + (sample / "filesrv").string()});
    if (l.role == "remote") args.insert(args.end(), {"--machine", l.computer});
    args.push_back(l.log);
    ToolRun in_place = RunTool(args, dir_.path());
    EXPECT_EQ(in_place.status, 0) << l.log << ": " << in_place.err;
    const auto theirs = Evtexport(l.file);
    EXPECT_EQ(FromTool(in_place.out), theirs) << l.computer << " " << l.log;
    // The file alone, as a loose file, gives the same.
    std::vector<std::string> loose = kTimesAndId;
    loose.push_back(l.file);
    ToolRun alone = RunTool(loose, dir_.path());
    EXPECT_EQ(alone.status, 0) << alone.err;
    EXPECT_EQ(FromTool(alone.out), theirs) << l.file;
    records += theirs.size();
  }
  EXPECT_GT(records, 100u);
}

TEST_F(CliPeer, RealLogsTimesAndIdentifiersAsEvtexportReadsThem) {
  VESK_REQUIRE_SAMPLES(samples);
  size_t logs = 0;
  for (const auto &entry : fs::directory_iterator(samples)) {
    if (entry.path().extension() != ".evt") continue;
    ++logs;
    std::vector<std::string> args = kTimesAndId;
    args.push_back(entry.path().string());
    ToolRun r = RunTool(args, dir_.path());
    EXPECT_EQ(r.status, 0) << entry.path() << ": " << r.err;
    const auto theirs = Evtexport(entry.path());
    EXPECT_FALSE(theirs.empty()) << entry.path();
    EXPECT_EQ(FromTool(r.out), theirs) << entry.path();
  }
  EXPECT_GT(logs, 0u) << "no .evt file in " << samples;
}

TEST_F(CliPeer, LooseCopyWithTheSampleSystemAsReferenceGivesTheSameRows) {
  const fs::path sample = dir_.path() / "sample";
  const fs::path evidence = dir_.path() / "evidence";
  fs::create_directories(evidence);
  const std::vector<std::string> columns = {
      "-f", "jsonl", "-q", "-F",
      "record,time,event_id,type,category,user,source,computer,message,strings,error"};
  size_t compared = 0;
  for (const SampleLog &l : MakeSample(sample)) {
    // Each computer is the reference for its own logs.
    const std::vector<std::string> images = {
        "--image", (sample / (l.role == "local" ? "samplepc" : "filesrv")).string()};
    std::vector<std::string> args = columns;
    args.insert(args.end(), images.begin(), images.end());
    args.push_back(l.log);
    ToolRun in_place = RunTool(args, dir_.path());
    ASSERT_EQ(in_place.status, 0) << in_place.err;

    const fs::path copy =
        evidence / (l.computer + "-" + fs::path(l.file).filename().string());
    fs::copy_file(l.file, copy, fs::copy_options::overwrite_existing);
    args = columns;
    args.insert(args.end(), images.begin(), images.end());
    args.push_back(copy.string());
    ToolRun loose = RunTool(args, dir_.path());
    ASSERT_EQ(loose.status, 0) << loose.err;
    EXPECT_EQ(loose.out, in_place.out) << l.computer << " " << l.log;
    EXPECT_NE(in_place.out.find("\"message\":"), std::string::npos);
    ++compared;
  }
  EXPECT_GE(compared, 8u);
}

}  // namespace
