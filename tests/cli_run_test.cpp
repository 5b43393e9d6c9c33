// The command-line tool as a user runs it: images named with --image and
// --remote, the error column and the rows of records that cannot be read,
// exit statuses, and the ends of a walk whose output goes away.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "evtwriter.h"
#include "hivewriter.h"
#include "platform/emulated/seam.h"
#include "regtext.h"
#include "support/testlib.h"

extern char **environ;

namespace fs = std::filesystem;
using vesk::test::TempDir;
using vesk::tools::EvtRecord;

namespace {

const char *const kRegistry = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\Select]
"Current"=dword:00000001

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Control\ComputerName\ComputerName]
"ComputerName"="RUNPC"

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Services\EventLog\Application]
"File"=str(2):"%SystemRoot%\\system32\\config\\AppEvent.Evt"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion]
"SystemRoot"="C:\\WINDOWS"
)";

struct Outcome {
  int status = -1;
  std::string out, err;
};

std::string Slurp(const fs::path &file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class CliRun : public ::testing::Test {
 protected:
  void SetUp() override {
    vesk::tools::RegNode reg;
    std::string error;
    ASSERT_TRUE(vesk::tools::parse_reg(kRegistry, &reg, &error)) << error;
    image_ = dir_.path() / "runpc";
    ASSERT_TRUE(
        vesk::tools::write_system_hives(image_, *reg.find(u"HKEY_LOCAL_MACHINE"), &error))
        << error;
    // Five records; the third is damaged, so the service refuses it.
    std::vector<EvtRecord> records;
    for (uint32_t i = 1; i <= 5; ++i) {
      EvtRecord r;
      r.time_generated = r.time_written = 1078128000 + i * 60;
      r.event_id = 1;
      r.source = u"NoSuchSource";
      r.computer = u"RUNPC";
      r.strings = {u"text " + vesk::emu::from_utf8(std::to_string(i))};
      records.push_back(r);
    }
    std::vector<uint8_t> log = vesk::tools::write_evt(records);
    size_t offset = 0x30;
    for (int i = 0; i < 2; ++i) offset += vesk::tools::evt_record_size(records[i]);
    std::memcpy(&log[offset + 4], "XXXX", 4);  // the record signature
    std::ofstream(image_ / "WINDOWS" / "system32" / "config" / "AppEvent.Evt",
                  std::ios::binary)
        .write(reinterpret_cast<const char *>(log.data()),
               static_cast<std::streamsize>(log.size()));
  }

  // Runs the tool with `args`; `env` is added to (or, with an empty value,
  // removed from) this process's environment.  `out_fd` replaces the file
  // that takes standard output.
  Outcome Vesk(std::vector<std::string> args, std::map<std::string, std::string> env = {},
               int out_fd = -1) {
    for (const char *name : {"VESK_LOCAL_IMAGE", "VESK_REMOTE_IMAGES"})
      env.emplace(name, "");
    env.emplace("TZ", "UTC");
    std::vector<std::string> env_text;
    for (char **e = environ; *e != nullptr; ++e) {
      std::string item = *e;
      if (env.count(item.substr(0, item.find('='))) == 0) env_text.push_back(item);
    }
    for (const auto &[name, value] : env)
      if (!value.empty()) env_text.push_back(name + "=" + value);

    const std::string program = std::string(VESK_BINARY_DIR) + "/cli/vesk";
    args.insert(args.begin(), program);
    std::vector<char *> argv, envp;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto &e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);

    const fs::path out = dir_.path() / "out", err = dir_.path() / "err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out_fd >= 0)
      posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    else
      posix_spawn_file_actions_addopen(&actions, 1, out.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    Outcome run;
    const int rc =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(rc, 0) << std::strerror(rc);
    if (rc != 0) return run;
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = out_fd >= 0 ? "" : Slurp(out);
    run.err = Slurp(err);
    return run;
  }

  TempDir dir_{"cli-run"};
  fs::path image_;
};

TEST_F(CliRun, UnreadableRecordStillGivesARowWithItsError) {
  Outcome r = Vesk({"--image", image_.string(), "--format", "jsonl", "Application"});
  EXPECT_EQ(r.status, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 5u) << r.out;
  EXPECT_EQ(lines[2],
            "{\"log\":\"Application\",\"record\":3,\"time\":null,\"generated\":null,"
            "\"event\":null,\"event_id\":null,\"type\":null,\"category\":null,"
            "\"user\":null,\"sid\":null,\"source\":null,\"computer\":null,"
            "\"message\":null,\"strings\":null,\"data\":null,\"row_time\":null,"
            "\"error\":\"ReadEventLog rc=1500 cbReq=0\"}");
  // The records around it are whole rows, keys in their order.
  EXPECT_EQ(
      lines[3].rfind(
          "{\"log\":\"Application\",\"record\":4,"
          "\"time\":\"2004-03-01T08:04:00Z\",\"generated\":\"2004-03-01T08:04:00Z\","
          "\"event\":1,\"event_id\":1,"
          "\"type\":\"Information\",\"category\":\"None\",\"user\":\"\",\"sid\":\"\","
          "\"source\":\"NoSuchSource\",\"computer\":\"RUNPC\",\"message\":",
          0),
      0u)
      << lines[3];
  // Standard error keeps its summary: the range and the failed record.
  EXPECT_NE(r.err.find("vesk: Application: oldest 1, newest 5, 5 records\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("vesk: Application: record 3: ReadEventLog rc=1500 cbReq=0\n"),
            std::string::npos)
      << r.err;
  // Standard error is a file here: no progress line.
  EXPECT_EQ(r.err.find('\r'), std::string::npos) << r.err;

  Outcome csv = Vesk({"--image", image_.string(), "--format", "csv", "--quiet", "--from",
                      "3", "--to", "3", "Application"});
  EXPECT_EQ(csv.status, 0);
  EXPECT_EQ(
      csv.out,
      "log,record,time,generated,event,event_id,type,category,user,sid,source,computer,"
      "message,strings,data,row_time,error\r\n"
      "Application,3,,,,,,,,,,,,,,,ReadEventLog rc=1500 cbReq=0\r\n");
  // --quiet drops the range, not the error of the record (nor the platform's
  // diagnostic that says why the record could not be read).
  EXPECT_NE(csv.err.find("vesk: Application: record 3: ReadEventLog rc=1500 cbReq=0\n"),
            std::string::npos)
      << csv.err;
  EXPECT_NE(csv.err.find("record 3 at offset 0x118: it lacks the LfLe signature\n"),
            std::string::npos)
      << csv.err;
  EXPECT_EQ(csv.err.find("oldest"), std::string::npos) << csv.err;
}

// --jobs: the walk over several threads prints the walk of one thread byte
// for byte, forwards and backwards, over part of the range and up to a
// limit, with records that cannot be read among the others.
TEST_F(CliRun, JobsPrintTheSameBytesAsOneThread) {
  std::vector<EvtRecord> records;
  const std::u16string sources[] = {u"NoSuchSource", u"Other", u"Third source"};
  for (uint32_t i = 1; i <= 1500; ++i) {
    EvtRecord r;
    r.time_generated = r.time_written = 1078128000 + i * 7;
    r.event_id = 1 + i % 5;
    r.event_type = static_cast<uint16_t>(1 << (i % 3));
    r.source = sources[i % 3];
    r.computer = u"RUNPC";
    r.strings = {u"text " + vesk::emu::from_utf8(std::to_string(i)), u"a \"quoted\", b"};
    if (i % 4 == 0) r.sid = vesk::tools::evt_sid("S-1-5-18");
    records.push_back(r);
  }
  std::vector<uint8_t> log = vesk::tools::write_evt(records);
  // Every 97th record damaged.
  size_t offset = 0x30;
  for (uint32_t i = 1; i <= records.size(); ++i) {
    if (i % 97 == 0) std::memcpy(&log[offset + 4], "XXXX", 4);
    offset += vesk::tools::evt_record_size(records[i - 1]);
  }
  std::ofstream(image_ / "WINDOWS" / "system32" / "config" / "AppEvent.Evt",
                std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char *>(log.data()),
             static_cast<std::streamsize>(log.size()));

  const std::vector<std::vector<std::string>> variants = {
      {"--format", "jsonl"},
      {"--format", "csv"},
      {"--format", "jsonl", "--reverse"},
      {"--format", "csv", "--from", "200", "--to", "1301"},
      {"--format", "jsonl", "--limit", "777"},
      {"--format", "jsonl", "--reverse", "--from", "1000", "--to", "5000", "--limit",
       "600"},
  };
  for (const auto &variant : variants) {
    std::vector<std::string> args = {"--image", image_.string(), "--quiet"};
    args.insert(args.end(), variant.begin(), variant.end());
    auto with_jobs = [&](const char *jobs) {
      auto a = args;
      a.insert(a.end(), {"--jobs", jobs, "Application"});
      return Vesk(a);
    };
    const Outcome one = with_jobs("1");
    ASSERT_EQ(one.status, 0) << one.err;
    ASSERT_GT(one.out.size(), 10000u);
    for (const char *jobs : {"2", "3", "8"}) {
      const Outcome many = with_jobs(jobs);
      EXPECT_EQ(many.status, 0) << many.err;
      EXPECT_TRUE(many.out == one.out) << "--jobs " << jobs << " " << variant.back();
      // The records' errors are told in the same order.
      auto record_lines = [](const std::string &err) {
        std::string out;
        for (const auto &line : Lines(err))
          if (line.find(": record ") != std::string::npos &&
              line.find("offset") == std::string::npos)
            out += line + "\n";
        return out;
      };
      EXPECT_EQ(record_lines(many.err), record_lines(one.err));
    }
  }
  const Outcome bad = Vesk({"--image", image_.string(), "--jobs", "0", "Application"});
  EXPECT_EQ(bad.status, 2);
}

TEST_F(CliRun, FlagsNameTheImagesAndWinOverTheVariables) {
  const fs::path elsewhere = dir_.path() / "nothing-here";
  fs::create_directories(elsewhere);
  // The variables name an empty directory; the flags win.
  Outcome r = Vesk(
      {"--image", image_.string(), "--remote", "OTHER=" + image_.string(), "--machine",
       "other", "--format", "jsonl", "--quiet", "--limit", "1", "Application"},
      {{"VESK_LOCAL_IMAGE", elsewhere.string()},
       {"VESK_REMOTE_IMAGES", "OTHER=" + elsewhere.string()}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Lines(r.out).size(), 1u) << r.out;
  EXPECT_NE(r.out.find("\"computer\":\"RUNPC\""), std::string::npos) << r.out;

  // A remote image named by the computer name in its registry.
  Outcome named = Vesk({"--remote", image_.string(), "--machine", "RUNPC", "--format",
                        "csv", "--quiet", "--reverse", "--limit", "1", "Application"});
  EXPECT_EQ(named.status, 0) << named.err;
  EXPECT_NE(named.out.find("\r\nApplication,5,"), std::string::npos) << named.out;

  // Directories that cannot be images are usage errors.
  EXPECT_EQ(Vesk({"--image", (dir_.path() / "missing").string(), "Application"}).status,
            2);
  EXPECT_EQ(Vesk({"--remote", "=" + image_.string(), "Application"}).status, 2);
  EXPECT_EQ(Vesk({"--remote", "A=" + image_.string() + ";B", "Application"}).status, 2);
}

TEST_F(CliRun, ExitStatuses) {
  Outcome unknown =
      Vesk({"--image", image_.string(), "--machine", "NOSUCHPC", "Application"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("==>RegConnectKeyEx rc=53"), std::string::npos)
      << unknown.err;
  EXPECT_EQ(unknown.out, "");

  // One log that opens and one that does not: the rows of the first, status 1.
  Outcome mixed = Vesk({"--image", image_.string(), "--remote", "X=" + image_.string(),
                        "--machine", "NOSUCHPC", "--format", "jsonl", "Application"});
  EXPECT_EQ(mixed.status, 1);

  EXPECT_EQ(Vesk({"--format", "xml", "Application"}).status, 2);
  EXPECT_EQ(Vesk({"--limit", "-1", "Application"}).status, 2);
  EXPECT_EQ(Vesk({}).status, 2);

  Outcome version = Vesk({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("vesk ", 0), 0u) << version.out;
  Outcome help = Vesk({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("TZ"), std::string::npos);
}

TEST_F(CliRun, ClosedPipeEndsQuietlyAndOtherWriteFailuresDoNot) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);  // nobody will ever read: the first write meets EPIPE
  Outcome r = Vesk({"--image", image_.string(), "--format", "jsonl", "--quiet", "--from",
                    "4", "Application"},
                   {}, fds[1]);
  close(fds[1]);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("cannot write"), std::string::npos) << r.err;

  // A full disk is a failure, not the end of a reader.
  const int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  Outcome f = Vesk({"--image", image_.string(), "--format", "csv", "--quiet", "--from",
                    "4", "Application"},
                   {}, full);
  close(full);
  EXPECT_EQ(f.status, 1);
  EXPECT_NE(f.err.find("cannot write the rows"), std::string::npos) << f.err;
}

}  // namespace
