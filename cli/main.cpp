// vesk: prints the records of event logs, and of loose .evt files, one row
// per record, through the walk layer (the library's row beside the raw
// record).  `vesk --help` lists the options.
//
// Rows go to standard output (or -o FILE); what each open reports (the
// record range, or the error text) and the errors of single records go to
// standard error.  Exit status: 0 when every log was walked, 1 when one could
// not be opened or its walk finished, or the output could not be written, 2
// for a usage error.  A reader that goes away (vesk ... | head) ends the walk
// quietly with status 0.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#define VESK_ISATTY(fd) _isatty(fd)
#define VESK_FILENO(f) _fileno(f)
#else
#include <unistd.h>
#define VESK_ISATTY(fd) isatty(fd)
#define VESK_FILENO(f) fileno(f)
#endif

#include "cli/format.h"
#include "walk/walk.h"

#ifndef VESK_VERSION
#define VESK_VERSION "unknown"
#endif

namespace {

using vesk::cli::Cell;
using vesk::walk::Column;
using vesk::walk::Record;

enum class Format { Table, Csv, Jsonl };

// The command line as given; checked and turned into the walk's options by
// check().
struct Args {
  std::string image, machine, format = "table", fields, output, since, until, as;
  std::string from, to, limit;
  std::vector<std::string> remotes, events, sources, types, logs;
  bool local = false, reverse = false, merge = false, list = false, quiet = false;
};

struct Options {
  Format format = Format::Table;
  vesk::cli::Layout layout;
  vesk::walk::Images images;
  vesk::walk::Options walk;
  std::string output;  // empty: standard output
  bool merge = false, list = false, quiet = false;
  std::vector<std::string> logs;
};

// After this many errors of single records in one log, the rest are counted
// and not printed on standard error (their rows still carry them).
constexpr int kRecordErrorsShown = 20;

const char kDescription[] =
    "Prints the records of each event LOG (Application, System, Security, ...)\n"
    "of the local computer, of computer NAME, or of a loose .evt FILE, one row\n"
    "per record, as a table, CSV or JSON Lines.";

const char kFooter[] =
    "Each argument that names an existing file is read as a loose .evt file;\n"
    "any other is a log that the computer must register.\n"
    "\n"
    "Columns (--fields picks and orders them; JSON Lines uses them as keys):\n"
    "  log        the log's name, or the loose file's name\n"
    "  record     the record number\n"
    "  time       when the record was written (TimeWritten), exact\n"
    "  generated  when the event happened (TimeGenerated)\n"
    "  event      the event number: the low 16 bits of the event identifier\n"
    "  event_id   the whole 32-bit event identifier, in decimal\n"
    "  type       Error, Warning, Information, Success, Failure or ?Invalid Type\n"
    "  category   None, the category's text, or ?Invalid Category\n"
    "  user       the account as DOMAIN\\name, or the SID when it cannot be named\n"
    "  sid        the record's SID as S-1-..., empty when it has none\n"
    "  source     the event source\n"
    "  computer   the computer that wrote the record\n"
    "  message    the formatted message, or 'Unable to format message. ...'\n"
    "  strings    the insertion strings: a JSON array in JSON Lines; elsewhere\n"
    "             joined with ';', a ';' or '\\' inside a string preceded by '\\'\n"
    "  data       the record's binary data in hex\n"
    "  row_time   the library's own time: local time to the even second\n"
    "  error      what the library reported for the record (null: nothing)\n"
    "Defaults: CSV and JSON Lines all columns in this order; the table\n"
    "time,log,record,type,event,source,category,user,error,message.\n"
    "\n"
    "Times are ISO 8601 in UTC (2011-07-27T06:41:47Z); with --local in the zone\n"
    "that TZ names, with its offset (2011-07-27T08:41:47+02:00).  --since and\n"
    "--until take such a time (Z or an offset is required) and select records\n"
    "written at or after --since and before --until.\n"
    "\n"
    "The table shows each column as wide as its widest cell in the first 100\n"
    "rows (at most 48 characters; wider cells are cut and end in '...'), the\n"
    "last column whole; line breaks and tabs become spaces and other control\n"
    "characters are shown escaped (\\x1b, \\u202e).  CSV and JSON Lines carry the\n"
    "texts as they are.\n"
    "\n"
    "Exit status: 0 every log was walked (rows with errors included); 1 a log\n"
    "could not be opened or its walk finished, or the output could not be\n"
    "written; 2 bad usage.";

bool parse_number(const std::string &text, uint64_t max, uint64_t *out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  char *end = nullptr;
  errno = 0;
  const bool hex =
      text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const unsigned long long v = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || v > max) return false;
  *out = v;
  return true;
}

bool usage_error(const std::string &text) {
  std::fprintf(stderr, "vesk: %s\n", text.c_str());
  return false;
}

// A system drive directory given on the command line: it must exist, and the
// list of remote computers separates its entries with ';'.
bool check_image_dir(const char *option, const std::string &dir) {
  if (dir.empty() || dir.find(';') != std::string::npos)
    return usage_error(std::string(option) + ": '" + dir +
                       "' cannot name a directory here");
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec))
    return usage_error(std::string(option) + ": '" + dir + "' is not a directory");
  return true;
}

// Checks the arguments and fills *o; prints the problem and returns false on
// a usage error.
bool check(const Args &a, Options *o) {
  if (a.format == "table")
    o->format = Format::Table;
  else if (a.format == "csv")
    o->format = Format::Csv;
  else if (a.format == "jsonl")
    o->format = Format::Jsonl;
  else
    return usage_error("unknown format '" + a.format + "'");
  if (!a.fields.empty()) {
    std::string error;
    if (!vesk::cli::parse_fields(a.fields, &o->layout.columns, &error))
      return usage_error("--fields: " + error);
  } else {
    o->layout.columns = vesk::cli::default_columns(o->format == Format::Table);
  }
  o->layout.zone = a.local ? vesk::walk::TimeZone::kLocal : vesk::walk::TimeZone::kUtc;

  if (!a.image.empty()) {
    if (!check_image_dir("--image", a.image)) return false;
    o->images.local = a.image;
  }
  for (const std::string &item : a.remotes) {
    const size_t eq = item.find('=');
    if (eq == 0)
      return usage_error("--remote: '" + item + "' has an empty computer name");
    if (!check_image_dir("--remote",
                         eq == std::string::npos ? item : item.substr(eq + 1)))
      return false;
    o->images.remotes.push_back(item);
  }
  o->walk.machine = a.machine;

  uint64_t n = 0;
  auto number = [&](const char *name, const std::string &text, uint64_t max,
                    auto *into) -> bool {
    if (text.empty()) return true;
    if (!parse_number(text, max, &n))
      return usage_error(std::string(name) + " takes a number, not '" + text + "'");
    *into = n;
    return true;
  };
  std::optional<uint64_t> from, to;
  if (!number("--from", a.from, UINT32_MAX, &from) ||
      !number("--to", a.to, UINT32_MAX, &to) ||
      !number("--limit", a.limit, UINT64_MAX, &o->walk.limit))
    return false;
  if (from) o->walk.from = static_cast<uint32_t>(*from);
  if (to) o->walk.to = static_cast<uint32_t>(*to);
  o->walk.reverse = a.reverse;

  auto time = [&](const char *name, const std::string &text,
                  std::optional<int64_t> *into) -> bool {
    if (text.empty()) return true;
    *into = vesk::walk::parse_time(text);
    if (!*into)
      return usage_error(std::string(name) + ": '" + text +
                         "' is not an ISO 8601 time with a zone (2011-07-27T06:41:47Z, "
                         "2011-07-27T08:41:47+02:00)");
    return true;
  };
  if (!time("--since", a.since, &o->walk.filter.since) ||
      !time("--until", a.until, &o->walk.filter.until))
    return false;
  for (const std::string &e : a.events) {
    if (!parse_number(e, UINT32_MAX, &n))
      return usage_error("--event takes event numbers, not '" + e + "'");
    o->walk.filter.events.push_back(static_cast<uint32_t>(n));
  }
  for (const std::string &s : a.sources) {
    if (s.empty()) return usage_error("--source: an empty source name");
    o->walk.filter.sources.push_back(s);
  }
  for (const std::string &t : a.types) {
    auto type = vesk::walk::parse_type(t);
    if (!type)
      return usage_error(
          "--type: unknown type '" + t +
          "' (error, warning, information, success, failure, or a number)");
    o->walk.filter.types.push_back(*type);
  }
  o->walk.as_log = a.as;
  o->output = a.output;
  o->merge = a.merge;
  o->list = a.list;
  o->quiet = a.quiet;
  o->logs = a.logs;
  if (o->list) {
    if (!o->logs.empty()) return usage_error("--list takes no LOG");
    return true;
  }
  if (o->logs.empty()) return usage_error("no log named");
  if (!a.as.empty()) {
    bool any_file = false;
    for (const std::string &l : o->logs)
      any_file = any_file || vesk::walk::is_log_file(l);
    if (!any_file)
      return usage_error("--as " + a.as + ": no argument is a loose .evt file");
  }
  return true;
}

// Output went away (a closed pipe): the walk ends quietly.
struct OutputClosed {};
// Output failed otherwise (a full disk): the walk ends with 1.
struct OutputFailed {
  int error;
};

// Standard output or the -o file, written in large pieces.
class Output {
 public:
  explicit Output(FILE *file) : file_(file) {}
  std::string &buffer() { return buffer_; }

  // Writes the buffer out once it is large enough (or now, when `force`).
  void drain(bool force = false) {
    if (buffer_.empty() || (!force && buffer_.size() < kChunk)) return;
    errno = 0;
    const size_t n = std::fwrite(buffer_.data(), 1, buffer_.size(), file_);
    const bool ok = n == buffer_.size() && (!force || std::fflush(file_) == 0);
    buffer_.clear();
    if (!ok) fail();
  }

  void flush() {
    drain(true);
    errno = 0;
    if (std::fflush(file_) != 0) fail();
  }

 private:
  static constexpr size_t kChunk = 64 * 1024;

  [[noreturn]] static void fail() {
    const int e = errno;
    if (e == EPIPE) throw OutputClosed{};
    throw OutputFailed{e};
  }

  FILE *file_;
  std::string buffer_;
};

// The progress line on a terminal's standard error: records done of the
// range, records per second and the time left, a few times a second, once
// a walk has taken more than a second.
class Progress {
 public:
  Progress(bool enabled, std::string label, uint64_t total)
      : enabled_(enabled),
        label_(std::move(label)),
        total_(total),
        start_(Clock::now()),
        last_(start_) {}
  ~Progress() { clear(); }

  void tick(uint64_t done) {
    if (!enabled_ || (done & 63) != 0) return;
    const auto now = Clock::now();
    if (now - last_ < std::chrono::milliseconds(250) ||
        now - start_ < std::chrono::seconds(1))
      return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = done / seconds;
    const double left = rate > 0 && total_ > done ? (total_ - done) / rate : 0;
    std::fprintf(stderr, "\rvesk: %s: %llu of %llu records, %.0f/s, %.0f s left\x1b[K",
                 label_.c_str(), static_cast<unsigned long long>(done),
                 static_cast<unsigned long long>(total_), rate, left);
    shown_ = true;
  }

  // Takes the line away before anything else is written on standard error.
  void clear() {
    if (!shown_) return;
    std::fputs("\r\x1b[K", stderr);
    shown_ = false;
  }

 private:
  using Clock = std::chrono::steady_clock;
  bool enabled_;
  std::string label_;
  uint64_t total_;
  Clock::time_point start_, last_;
  bool shown_ = false;
};

class Printer {
 public:
  Printer(Format format, vesk::cli::Layout layout, Output &out)
      : format_(format), layout_(layout), table_(layout), out_(out) {}

  void add(const Record &r) {
    ++rows_;
    switch (format_) {
      case Format::Table:
        table_.add(r, out_.buffer());
        break;
      case Format::Csv:
        if (!header_done_) out_.buffer() += vesk::cli::csv_header(layout_);
        header_done_ = true;
        vesk::cli::append_csv_record(out_.buffer(), r, layout_);
        break;
      case Format::Jsonl:
        vesk::cli::append_json_record(out_.buffer(), r, layout_);
        break;
    }
    out_.drain();
  }

  // Ends the output.
  void finish() {
    if (format_ == Format::Table && rows_ != 0) table_.finish(out_.buffer());
    out_.flush();
  }

  // Writes what is there so far, for a reader that follows along.
  void flush() { out_.flush(); }

 private:
  Format format_;
  uint64_t rows_ = 0;
  vesk::cli::Layout layout_;
  vesk::cli::Table table_;
  Output &out_;
  bool header_done_ = false;
};

// How a log is named in messages: a remote one as MACHINE\LOG.
std::string display_label(const Options &o, const vesk::walk::Log &log) {
  std::string label = log.label();
  if (!o.walk.machine.empty() && !vesk::walk::is_log_file(label))
    label = o.walk.machine + "\\" + label;
  return vesk::cli::display_text(label);
}

void summary(const Options &o, const vesk::walk::Log &log) {
  if (o.quiet) return;
  const std::string label = display_label(o, log);
  if (log.count() == 0) {
    std::fprintf(stderr, "vesk: %s: empty\n", label.c_str());
    return;
  }
  std::fprintf(stderr, "vesk: %s: oldest %lu, newest %lu, %lu records\n", label.c_str(),
               static_cast<unsigned long>(log.oldest()),
               static_cast<unsigned long>(log.oldest() + log.count() - 1u),
               static_cast<unsigned long>(log.count()));
}

// Counts the errors of single records and prints the first ones.
class RecordErrors {
 public:
  void note(const std::string &label, const Record &r, Progress &progress) {
    if (r.error.kind == Cell::Kind::Empty) return;
    if (count_[label]++ < kRecordErrorsShown) {
      progress.clear();
      std::fprintf(stderr, "vesk: %s: record %lu: %s\n", label.c_str(),
                   static_cast<unsigned long>(r.number),
                   vesk::cli::display_text(r.error.text).c_str());
    }
  }
  void report(const Options &o) const {
    if (o.quiet) return;
    for (const auto &[label, n] : count_)
      if (n > kRecordErrorsShown)
        std::fprintf(stderr, "vesk: %s: %d records reported errors\n", label.c_str(), n);
  }

 private:
  std::map<std::string, int> count_;
};

// Walks one open log; false when the walk had to stop before its end.
bool walk(vesk::walk::Log &log, const Options &o, Printer &printer) {
  summary(o, log);
  const std::string label = display_label(o, log);
  const uint64_t span = log.span();
  Progress progress(!o.quiet && VESK_ISATTY(VESK_FILENO(stderr)), label, span);
  Record rec;
  RecordErrors errors;
  while (log.next(rec)) {
    errors.note(label, rec, progress);
    printer.add(rec);
    progress.tick(log.scanned());
  }
  progress.clear();
  printer.flush();
  if (!log.complete())
    std::fprintf(stderr, "vesk: %s: %s\n", label.c_str(), log.stop_reason().c_str());
  errors.report(o);
  return log.complete();
}

// The rows of every log in one timeline.
bool merge(std::vector<std::unique_ptr<vesk::walk::Log>> logs, const Options &o,
           Printer &printer) {
  std::vector<std::string> labels;
  for (const auto &log : logs) {
    summary(o, *log);
    labels.push_back(display_label(o, *log));
  }
  vesk::walk::Merge m(std::move(logs), o.walk.reverse);
  Record rec;
  RecordErrors errors;
  std::optional<Progress> progress;
  uint64_t done = 0;
  while (m.next(rec)) {
    if (!progress)
      progress.emplace(!o.quiet && VESK_ISATTY(VESK_FILENO(stderr)), "merge", m.total());
    errors.note(vesk::cli::display_text(rec.log), rec, *progress);
    printer.add(rec);
    progress->tick(++done);
  }
  if (progress) progress->clear();
  bool complete = true;
  for (size_t i = 0; i < m.logs().size(); ++i)
    if (!m.logs()[i]->complete()) {
      std::fprintf(stderr, "vesk: %s: %s\n", labels[i].c_str(),
                   m.logs()[i]->stop_reason().c_str());
      complete = false;
    }
  errors.report(o);
  return complete;
}

// vesk --list: the logs of a computer, with their files and record ranges.
int list(const Options &o) {
  std::vector<vesk::walk::LogInfo> logs;
  bool has_registry = true;
  std::string error;
  const std::string computer = vesk::walk::computer_name(o.walk.machine);
  const std::string shown =
      vesk::cli::display_text(computer.empty() ? "the local computer" : computer);
  if (!vesk::walk::list_logs(o.walk.machine, &logs, &has_registry, &error)) {
    std::fprintf(stderr, "vesk: cannot read the logs of %s: %s\n", shown.c_str(),
                 error.c_str());
    return 1;
  }
  if (!has_registry)
    std::fprintf(stderr,
                 "vesk: %s has no event log registry (no SYSTEM hive, or a damaged "
                 "one): only the standard logs are served, from their default files\n",
                 shown.c_str());
  std::vector<std::vector<std::string>> lines = {{"log", "file", "records"}};
  for (const auto &l : logs) {
    std::string records;
    if (!l.opened)
      records = "cannot be opened: " + l.error;
    else if (l.count == 0)
      records = "empty";
    else
      records = std::to_string(l.oldest) + ".." +
                std::to_string(static_cast<uint32_t>(l.oldest + l.count - 1u)) + " (" +
                std::to_string(l.count) + ")";
    lines.push_back({vesk::cli::table_text(l.name),
                     vesk::cli::table_text(l.file.empty() ? "(default file)" : l.file),
                     records});
  }
  size_t w0 = 0, w1 = 0;
  auto width = [](const std::string &s) {
    size_t n = 0;
    for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
  };
  for (const auto &l : lines) {
    w0 = std::max(w0, width(l[0]));
    w1 = std::max(w1, width(l[1]));
  }
  std::string out;
  for (const auto &l : lines) {
    out += l[0] + std::string(w0 - width(l[0]) + 2, ' ');
    out += l[1] + std::string(w1 - width(l[1]) + 2, ' ');
    out += l[2] + "\n";
  }
  std::fputs(out.c_str(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  Args a;
  CLI::App app(kDescription, "vesk");
  app.footer(kFooter);
  app.set_help_flag("-h,--help", "print this help and exit");
  app.set_version_flag("-V,--version", std::string("vesk ") + VESK_VERSION,
                       "print the version and exit");
  app.get_formatter()->column_width(28);
  app.add_option("-i,--image", a.image,
                 "the local computer is the Windows system drive in DIR (a mounted "
                 "image; for loose files, the reference system); replaces "
                 "VESK_LOCAL_IMAGE")
      ->type_name("DIR");
  app.add_option("-r,--remote", a.remotes,
                 "a remote computer NAME (or the name in its registry) is the system "
                 "drive in DIR; repeatable; replaces VESK_REMOTE_IMAGES")
      ->type_name("[NAME=]DIR")
      ->allow_extra_args(false);
  app.add_option("-m,--machine", a.machine, "read the logs of remote computer NAME")
      ->type_name("NAME");
  app.add_option("-f,--format", a.format, "table (default), csv (RFC 4180) or jsonl")
      ->type_name("FORMAT");
  app.add_option("-F,--fields", a.fields,
                 "the columns to print, in this order (comma-separated)")
      ->type_name("LIST");
  app.add_option("-o,--output", a.output, "write the rows to FILE, not standard output")
      ->type_name("FILE");
  app.add_flag("--local", a.local,
               "times in the local zone (TZ) with its offset, not UTC");
  app.add_option("--since", a.since, "only records written at or after TIME")
      ->type_name("TIME");
  app.add_option("--until", a.until, "only records written before TIME")
      ->type_name("TIME");
  app.add_option("-e,--event", a.events,
                 "only these event numbers: up to 65535 the low 16 bits, above that "
                 "the whole identifier (decimal or 0x hex)")
      ->type_name("N[,N...]")
      ->delimiter(',')
      ->allow_extra_args(false);
  app.add_option("-s,--source", a.sources, "only records of these sources (any case)")
      ->type_name("NAME[,...]")
      ->delimiter(',')
      ->allow_extra_args(false);
  app.add_option("-t,--type", a.types,
                 "only these types: error, warning, information, success, failure")
      ->type_name("WORD[,...]")
      ->delimiter(',')
      ->allow_extra_args(false);
  app.add_option("--from", a.from, "only record numbers N and above")->type_name("N");
  app.add_option("--to", a.to, "only record numbers N and below")->type_name("N");
  app.add_flag("--reverse", a.reverse, "newest record first");
  app.add_option("-n,--limit", a.limit, "at most N rows per log")->type_name("N");
  app.add_flag("--merge", a.merge,
               "one timeline of every log and file named, ordered by the time "
               "written, then the log's place on the command line, then the record "
               "number (memory: 12 bytes per record)");
  app.add_option("--as", a.as,
                 "read loose files as this log of the reference system (default: for "
                 "each record, the log that registers its source)")
      ->type_name("LOG");
  app.add_flag("-l,--list", a.list,
               "list the logs of the computer, with their files and record ranges");
  app.add_flag("-q,--quiet", a.quiet, "no progress line and no per-log summary");
  app.add_option("logs", a.logs, "event logs by name, or .evt files")
      ->type_name("LOG|FILE");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion &e) {
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    std::fprintf(stderr, "vesk: %s\n", e.what());
    std::fputs("usage: vesk [OPTION]... LOG|FILE...   (vesk --help tells more)\n",
               stderr);
    return 2;
  }
  Options o;
  if (!check(a, &o)) {
    std::fputs("usage: vesk [OPTION]... LOG|FILE...   (vesk --help tells more)\n",
               stderr);
    return 2;
  }
  {
    std::string error;
    if (!vesk::walk::configure(o.images, &error)) {
      std::fprintf(stderr, "vesk: %s\n", error.c_str());
      return 2;
    }
  }
  if (o.list) {
    if (o.walk.machine.empty() && !vesk::walk::have_local_computer()) {
      std::fputs(
          "vesk: --list: no Windows system to read: name its system drive with --image "
          "DIR (or VESK_LOCAL_IMAGE)\n",
          stderr);
      return 1;
    }
    return list(o);
  }
#if defined(SIGPIPE)
  // A closed pipe shows as EPIPE from the writes, which end the walk quietly.
  std::signal(SIGPIPE, SIG_IGN);
#endif

  FILE *file = stdout;
  if (!o.output.empty()) {
    file = std::fopen(o.output.c_str(), "wb");
    if (file == nullptr) {
      std::fprintf(stderr, "vesk: cannot write %s: %s\n", o.output.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }
  struct Closer {
    FILE *f;
    ~Closer() {
      if (f != stdout) std::fclose(f);
    }
  } closer{file};

  Output out(file);
  Printer printer(o.format, o.layout, out);
  bool all_ok = true;
  try {
    std::vector<std::unique_ptr<vesk::walk::Log>> opened;
    for (const std::string &name : o.logs) {
      std::string error;
      auto log = vesk::walk::Log::open(name, o.walk, &error);
      if (!log) {
        std::string where;
        if (!vesk::walk::is_log_file(name))
          where = o.walk.machine.empty()
                      ? " on the local computer"
                      : " on " + vesk::cli::display_text(o.walk.machine);
        std::fprintf(stderr, "vesk: cannot open %s%s: %s\n",
                     vesk::cli::display_text(name).c_str(), where.c_str(),
                     vesk::cli::display_text(error).c_str());
        all_ok = false;
        continue;
      }
      if (o.merge)
        opened.push_back(std::move(log));
      else if (!walk(*log, o, printer))
        all_ok = false;
    }
    if (o.merge && !opened.empty() && !merge(std::move(opened), o, printer))
      all_ok = false;
    printer.finish();
  } catch (const OutputClosed &) {
    return 0;
  } catch (const OutputFailed &failure) {
    std::fprintf(stderr, "vesk: cannot write the rows: %s\n",
                 std::strerror(failure.error));
    return 1;
  }
  return all_ok ? 0 : 1;
}
