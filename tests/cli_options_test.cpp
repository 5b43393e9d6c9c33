// The command-line tool's options and errors, each through the built tool on
// a small image (the computer WINXP with Application, System and an empty
// Internet Explorer log): columns and --fields, times, the filters, --merge,
// --list, refused names, loose files, -o, and the table's escapes.
#include <gtest/gtest.h>

#include <fstream>

#include "evtwriter.h"
#include "hivewriter.h"
#include "regtext.h"
#include "support/cli_runner.h"
#include "support/testlib.h"

namespace fs = std::filesystem;
using vesk::test::RunTool;
using vesk::test::TempDir;
using vesk::test::TextLines;
using vesk::test::ToolRun;
using vesk::tools::EvtRecord;

namespace {

const char *const kRegistry = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\Select]
"Current"=dword:00000001

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Control\ComputerName\ComputerName]
"ComputerName"="WINXP"

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Services\EventLog\Application]
"File"=str(2):"%SystemRoot%\\system32\\config\\AppEvent.Evt"

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Services\EventLog\Application\Disk]

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Services\EventLog\Internet Explorer]
"File"=str(2):"%SystemRoot%\\system32\\config\\Internet.evt"

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Services\EventLog\System]
"File"=str(2):"%SystemRoot%\\system32\\config\\SysEvent.Evt"

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Services\EventLog\System\EventLog]

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion]
"SystemRoot"="C:\\WINDOWS"
)";

// 2011-07-27T06:41:47Z
constexpr uint32_t kT = 1311748907;
const std::vector<uint8_t> kSystemSid = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
const std::vector<uint8_t> kDomainSid = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0,    0, 1, 0,
                                         0, 0, 2, 0, 0, 0, 3, 0, 0,  0, 0xEB, 3, 0, 0};

EvtRecord Rec(uint32_t written, uint32_t id, uint16_t type, std::u16string source) {
  EvtRecord r;
  r.time_written = written;
  r.time_generated = written;
  r.event_id = id;
  r.event_type = type;
  r.source = std::move(source);
  r.computer = u"WINXP";
  return r;
}

void WriteLog(const fs::path &file, const std::vector<EvtRecord> &records) {
  const std::vector<uint8_t> bytes = vesk::tools::write_evt(records);
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

class CliOptions : public ::testing::Test {
 protected:
  void SetUp() override {
    vesk::tools::RegNode reg;
    std::string error;
    ASSERT_TRUE(vesk::tools::parse_reg(kRegistry, &reg, &error)) << error;
    image_ = dir_.path() / "winxp";
    ASSERT_TRUE(
        vesk::tools::write_system_hives(image_, *reg.find(u"HKEY_LOCAL_MACHINE"), &error))
        << error;
    const fs::path config = image_ / "WINDOWS" / "system32" / "config";

    std::vector<EvtRecord> app;
    app.push_back(Rec(kT, 0xC0000064, 1, u"Disk"));  // 100 in the low 16 bits
    app.back().time_generated = kT - 1500;           // 25 minutes before it was written
    app.back().sid = kSystemSid;
    app.back().strings = {u"a;b", u"c\\d"};
    app.back().data = {0xDE, 0xAD, 0x00, 0x01};
    app.push_back(Rec(kT + 60, 7036, 4, u"Service Control Manager"));
    app.back().strings = {u"x\x1b[31my",
                          u"\x202e"
                          u"exe.txt"};
    app.back().sid = kDomainSid;
    app.push_back(Rec(kT + 120, 100, 2, u"disk"));
    app.push_back(Rec(kT + 3600, 0x40000001, 8, u"Security"));
    WriteLog(config / "AppEvent.Evt", app);

    std::vector<EvtRecord> sys;
    sys.push_back(Rec(kT + 30, 6005, 4, u"EventLog"));
    sys.push_back(Rec(kT + 120, 6006, 4, u"EventLog"));  // written with Application's 3rd
    WriteLog(config / "SysEvent.Evt", sys);
    WriteLog(config / "Internet.evt", {});
  }

  ToolRun Vesk(std::vector<std::string> args,
               std::map<std::string, std::string> env = {}) {
    return RunTool(args, dir_.path(), std::move(env));
  }

  // The tool's JSON Lines output of `args` with --image, one line per row.
  std::vector<std::string> Rows(std::vector<std::string> args) {
    args.insert(args.begin(),
                {"--image", image_.string(), "--format", "jsonl", "--quiet"});
    ToolRun r = Vesk(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return TextLines(r.out);
  }

  TempDir dir_{"cli-options"};
  fs::path image_;
};

TEST_F(CliOptions, RawColumnsBesideTheRowInEveryFormat) {
  auto rows =
      Rows({"--fields=log,record,time,generated,event,event_id,type,user,sid,"
            "strings,data,row_time",
            "--to", "2", "Application"});
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(
      rows[0],
      "{\"log\":\"Application\",\"record\":1,\"time\":\"2011-07-27T06:41:47Z\","
      "\"generated\":\"2011-07-27T06:16:47Z\",\"event\":100,\"event_id\":3221225572,"
      "\"type\":\"Error\",\"user\":\"NT AUTHORITY\\\\SYSTEM\",\"sid\":\"S-1-5-18\","
      "\"strings\":[\"a;b\",\"c\\\\d\"],\"data\":\"dead0001\","
      "\"row_time\":\"2011-07-27T06:41:46\"}");
  // A SID that the computer cannot name: the user is the SID itself.
  EXPECT_NE(
      rows[1].find("\"user\":\"S-1-5-21-1-2-3-1003\",\"sid\":\"S-1-5-21-1-2-3-1003\""),
      std::string::npos)
      << rows[1];

  // CSV: the same columns, the strings joined with ';' (escaped inside).
  ToolRun csv = Vesk({"--image", image_.string(), "-q", "-f", "csv", "-F",
                      "record,event_id,strings,data,sid", "-n", "1", "Application"});
  EXPECT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out,
            "record,event_id,strings,data,sid\r\n"
            "1,3221225572,a\\;b;c\\\\d,dead0001,S-1-5-18\r\n");

  // --local: the zone TZ names, with its offset, also a half hour.
  ToolRun local = Vesk({"--image", image_.string(), "-q", "-f", "csv", "--local", "-F",
                        "time,generated,row_time", "-n", "1", "Application"},
                       {{"TZ", "CET-1CEST,M3.5.0,M10.5.0/3"}});
  EXPECT_EQ(
      local.out,
      "time,generated,row_time\r\n"
      "2011-07-27T08:41:47+02:00,2011-07-27T08:16:47+02:00,2011-07-27T08:41:46\r\n");
  local = Vesk({"--image", image_.string(), "-q", "-f", "csv", "--local", "-F", "time",
                "-n", "1", "Application"},
               {{"TZ", "XYZ+3:30"}});
  EXPECT_EQ(local.out, "time\r\n2011-07-27T03:11:47-03:30\r\n");
  // Without --local the zone does not matter.
  local = Vesk({"--image", image_.string(), "-q", "-f", "csv", "-F", "time", "-n", "1",
                "Application"},
               {{"TZ", "XYZ+3:30"}});
  EXPECT_EQ(local.out, "time\r\n2011-07-27T06:41:47Z\r\n");

  ToolRun bad =
      Vesk({"--image", image_.string(), "--fields", "time,nope", "Application"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("--fields: no column named 'nope'"), std::string::npos)
      << bad.err;
}

// The numbers of the rows, in their order.
std::string Numbers(const std::vector<std::string> &rows) {
  std::string out;
  for (const std::string &r : rows) {
    const size_t at = r.find("\"record\":");
    out += (out.empty() ? "" : " ") + r.substr(at + 9, r.find(',', at) - at - 9);
  }
  return out;
}

TEST_F(CliOptions, FiltersSelectOnTheRawRecord) {
  const std::string since = "--since=2011-07-27T06:42:47Z";  // kT + 60
  // Half-open: --until excludes a record written at that very second.
  EXPECT_EQ(Numbers(Rows({since, "--until", "2011-07-27T07:41:47Z", "Application"})),
            "2 3");
  EXPECT_EQ(Numbers(Rows({"--since", "2011-07-27T08:42:47+02:00", "Application"})),
            "2 3 4");
  EXPECT_EQ(Numbers(Rows({"--until", "2011-07-27T06:41:48Z", "Application"})), "1");
  // Low 16 bits, the whole identifier (decimal or hex), repeated or listed.
  EXPECT_EQ(Numbers(Rows({"--event", "100", "Application"})), "1 3");
  EXPECT_EQ(Numbers(Rows({"--event=3221225572", "Application"})), "1");
  EXPECT_EQ(Numbers(Rows({"-e", "0xC0000064", "Application"})), "1");
  EXPECT_EQ(Numbers(Rows({"-e", "7036,1", "--event", "9", "Application"})), "2 4");
  // Sources without regard to case; types by word.
  EXPECT_EQ(Numbers(Rows({"--source", "DISK", "Application"})), "1 3");
  EXPECT_EQ(Numbers(Rows({"-s", "Service Control Manager,security", "Application"})),
            "2 4");
  EXPECT_EQ(Numbers(Rows({"--type", "warning,Success", "Application"})), "3 4");
  // Filters combine, with the range and the limit.
  EXPECT_EQ(Numbers(Rows({"--type", "error,warning", "--event", "100", "--from", "2",
                          "Application"})),
            "3");
  EXPECT_EQ(
      Numbers(Rows({"--source", "disk", "--reverse", "--limit", "1", "Application"})),
      "3");

  for (const auto &[args, message] :
       std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--since", "2011-07-27T06:42:47"}, "--since: '2011-07-27T06:42:47' is not"},
           {{"--until", "yesterday"}, "--until: 'yesterday' is not"},
           {{"--event", "x1"}, "--event takes event numbers, not 'x1'"},
           {{"--event", "4294967296"}, "not '4294967296'"},
           {{"--type", "fatal"}, "--type: unknown type 'fatal'"},
           {{"--source", ""}, "empty source name"},
           {{"--from", "-3"}, ""},
       }) {
    std::vector<std::string> full = args;
    full.insert(full.begin(), {"--image", image_.string()});
    full.push_back("Application");
    ToolRun r = Vesk(full);
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(CliOptions, MergeOrdersByTimeThenLogThenRecord) {
  auto rows = Rows({"--merge", "--fields", "log,record,time", "Application", "System"});
  ASSERT_EQ(rows.size(), 6u);
  std::string order;
  for (const std::string &r : rows)
    order += r.substr(8, r.find('"', 8) - 8).substr(0, 1) +
             r.substr(r.find("record\":") + 8, 1);
  EXPECT_EQ(order, "A1S1A2A3S2A4");
  // A tie goes to the log named first.
  rows = Rows({"--merge", "--fields", "log,record", "System", "Application"});
  ASSERT_EQ(rows.size(), 6u);
  EXPECT_EQ(rows[3], "{\"log\":\"System\",\"record\":2}");
  EXPECT_EQ(rows[4], "{\"log\":\"Application\",\"record\":3}");
  // Reversed, with filters applied to every log.
  rows = Rows({"--merge", "--reverse", "--fields", "log,record", "--since",
               "2011-07-27T06:42:30Z", "Application", "System"});
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0], "{\"log\":\"Application\",\"record\":4}");
  EXPECT_EQ(rows[3], "{\"log\":\"Application\",\"record\":2}");
}

TEST_F(CliOptions, ListsTheLogsOfAComputer) {
  ToolRun r = Vesk({"--image", image_.string(), "--list"});
  EXPECT_EQ(r.status, 0) << r.err;
  const auto lines = TextLines(r.out);
  ASSERT_EQ(lines.size(), 4u) << r.out;
  EXPECT_EQ(lines[0].rfind("log ", 0), 0u);
  EXPECT_NE(lines[1].find("Application"), std::string::npos);
  EXPECT_NE(lines[1].find("%SystemRoot%\\system32\\config\\AppEvent.Evt"),
            std::string::npos);
  EXPECT_NE(lines[1].find("1..4 (4)"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("Internet Explorer"), std::string::npos);
  EXPECT_NE(lines[2].find("empty"), std::string::npos) << lines[2];
  EXPECT_NE(lines[3].find("1..2 (2)"), std::string::npos) << lines[3];

  // A computer without a registry: said so, and its standard logs listed.
  const fs::path bare = dir_.path() / "bare";
  fs::create_directories(bare / "WINDOWS" / "system32" / "config");
  WriteLog(bare / "WINDOWS" / "system32" / "config" / "SysEvent.Evt",
           {Rec(kT, 1, 4, u"X")});
  r = Vesk({"--image", bare.string(), "-l"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("has no event log registry"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("System       (default file)  1..1 (1)"), std::string::npos)
      << r.out;

  // Other names are refused there, and say why.
  r = Vesk({"--image", bare.string(), "DemoLog"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no log named 'DemoLog' on this computer; it has no event log "
                       "registry, so only Application, Security, System are served"),
            std::string::npos)
      << r.err;

  // --list takes no log; without an image there is nothing to list.
  EXPECT_EQ(Vesk({"--image", image_.string(), "--list", "System"}).status, 2);
  r = Vesk({"--list"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("--image DIR"), std::string::npos) << r.err;
}

TEST_F(CliOptions, RefusesWhatTheComputerDoesNotHave) {
  ToolRun r = Vesk({"--image", image_.string(), "Nope"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(
      r.err,
      "vesk: cannot open Nope on the local computer: no log named 'Nope' on WINXP; its "
      "logs: Application, Internet Explorer, System\n");
  // The other logs named are still walked.
  r = Vesk({"--image", image_.string(), "-f", "jsonl", "nope", "System"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(TextLines(r.out).size(), 2u);
  // Names are matched without regard to case.
  EXPECT_EQ(Vesk({"--image", image_.string(), "-q", "sYsTeM"}).status, 0);

  // An empty log says so.
  r = Vesk({"--image", image_.string(), "Internet Explorer"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "vesk: Internet Explorer: empty\n");
  EXPECT_EQ(r.out, "");

  // No image on this platform: the error says how to give one.
  r = Vesk({"System"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot open System on the local computer: no Windows system to "
                       "read: name its system drive with --image DIR"),
            std::string::npos)
      << r.err;

  // A remote computer under the local computer's own name.
  r = Vesk(
      {"--image", image_.string(), "--remote", "winxp=" + image_.string(), "System"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("winxp is the name of the local computer"), std::string::npos)
      << r.err;
}

TEST_F(CliOptions, LooseFilesWithAndWithoutAReferenceSystem) {
  const fs::path loose = dir_.path() / "evidence" / "AppEvent-copy.evt";
  fs::create_directories(loose.parent_path());
  fs::copy_file(image_ / "WINDOWS" / "system32" / "config" / "AppEvent.Evt", loose);

  // Without an image: every column but the names, from the file alone.
  ToolRun r = Vesk({"-f", "jsonl", "-F", "log,record,time,user,sid,message", "-n", "2",
                    loose.string()});
  EXPECT_EQ(r.status, 0) << r.err;
  auto lines = TextLines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.err;
  EXPECT_EQ(
      lines[0],
      "{\"log\":\"AppEvent-copy.evt\",\"record\":1,\"time\":\"2011-07-27T06:41:47Z\","
      "\"user\":\"NT AUTHORITY\\\\SYSTEM\",\"sid\":\"S-1-5-18\",\"message\":\"Unable "
      "to format message. Insertion strings: a b;c\\\\d\"}");
  EXPECT_NE(lines[1].find("\"user\":\"S-1-5-21-1-2-3-1003\""), std::string::npos);
  EXPECT_NE(r.err.find("vesk: AppEvent-copy.evt: oldest 1, newest 4, 4 records"),
            std::string::npos)
      << r.err;

  // With the image as the reference system its accounts name the users; the
  // records of each source go under the log that registers it.
  r = Vesk({"--image", image_.string(), "-f", "csv", "-q", "-F", "record,user,error",
            "-n", "2", loose.string(), "Application"});
  EXPECT_EQ(r.status, 0) << r.err;
  lines = TextLines(r.out);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[2], lines[4]);  // the loose copy's row 2 as the log's row 2

  // --as must name a log the reference registers, and needs a loose file.
  r = Vesk({"--image", image_.string(), "--as", "Nope", loose.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("--as: no log named 'Nope' on WINXP"), std::string::npos) << r.err;
  r = Vesk({"--image", image_.string(), "--as", "System", "Application"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("no argument is a loose .evt file"), std::string::npos) << r.err;
  r = Vesk({"--image", image_.string(), "--as=system", "-q", "-f", "csv", "-F", "record",
            loose.string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(TextLines(r.out).size(), 5u);

  // A file that is not an event log.
  const fs::path junk = dir_.path() / "junk.evt";
  std::ofstream(junk) << "not a log";
  r = Vesk({junk.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot open " + junk.string() + ": "), std::string::npos)
      << r.err;
}

TEST_F(CliOptions, TableEscapesAndOutputFile) {
  ToolRun r = Vesk({"--image", image_.string(), "-q", "-F", "record,strings", "--from",
                    "2", "--to", "2", "Application"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "record  strings\n2       x\\x1b[31my;\\u202eexe.txt\n");
  // CSV carries the text as it is.
  r = Vesk({"--image", image_.string(), "-q", "-f", "csv", "-F", "strings", "--from", "2",
            "--to", "2", "Application"});
  EXPECT_EQ(r.out,
            "strings\r\nx\x1b[31my;\u202e"
            "exe.txt\r\n");

  // -o FILE takes the rows; nothing goes to standard output.
  const fs::path file = dir_.path() / "rows.jsonl";
  r = Vesk({"--image", image_.string(), "-q", "--format=jsonl",
            "--output=" + file.string(), "System"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(TextLines(vesk::test::FileText(file)).size(), 2u);
  r = Vesk({"--image", image_.string(), "-o", (dir_.path() / "no" / "such").string(),
            "System"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;
}

TEST_F(CliOptions, HelpNamesEveryOption) {
  ToolRun r = Vesk({"-h"});
  EXPECT_EQ(r.status, 0);
  for (const char *option :
       {"-i,--image",   "-r,--remote", "-m,--machine", "-f,--format", "-F,--fields",
        "-o,--output",  "--local",     "--since",      "--until",     "-e,--event",
        "-s,--source",  "-t,--type",   "--from",       "--to",        "--reverse",
        "-n,--limit",   "--merge",     "--as",         "-l,--list",   "-q,--quiet",
        "-V,--version", "event_id",    "row_time",     "Exit status"})
    EXPECT_NE(r.out.find(option), std::string::npos) << option;
  r = Vesk({"--no-such-option", "System"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("usage: vesk"), std::string::npos) << r.err;
}

}  // namespace
