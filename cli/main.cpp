// vesk: prints the records of event logs through the library's six exports.
//
//   vesk [--image DIR] [--remote [NAME=]DIR]... [--machine NAME]
//        [--format table|csv|jsonl] [--from N] [--to N] [--reverse]
//        [--limit N] [--quiet] LOG...
//
// Rows go to standard output; what each open reports (the record range, or
// the error text) and the errors of single records go to standard error.
// Exit status: 0 when every log was walked, 1 when one could not be opened,
// its range read or its walk finished, 2 for a usage error.  A reader that
// goes away (vesk ... | head) ends the walk quietly with status 0.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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
#include "vesk.h"

#ifndef VESK_VERSION
#define VESK_VERSION "unknown"
#endif

namespace {

using vesk::cli::Cell;
using vesk::cli::Row;

enum class Format { Table, Csv, Jsonl };

struct Options {
  const char *machine = nullptr;
  const char *image = nullptr;
  std::vector<std::string> remotes;  // NAME=DIR or DIR
  Format format = Format::Table;
  std::optional<uint32_t> from, to;
  bool reverse = false;
  bool quiet = false;
  std::optional<uint64_t> limit;
  std::vector<const char *> logs;
};

// After this many errors of single records in one log, the rest are counted
// and not printed on standard error (their rows still carry them).
constexpr int kRecordErrorsShown = 20;
// A walk gives up after this many records in a row that could not be read:
// a range of numbers that the log does not hold is not walked to its end.
constexpr int kUnreadableInARow = 1000;

void usage(FILE *out) {
  std::fputs(
      "usage: vesk [--image DIR] [--remote [NAME=]DIR]... [--machine NAME]\n"
      "            [--format table|csv|jsonl] [--from N] [--to N] [--reverse]\n"
      "            [--limit N] [--quiet] LOG...\n"
      "       vesk --version\n"
      "\n"
      "Prints the records of each event LOG (Application, System, Security, ...)\n"
      "of the local computer, or of computer NAME, one row per record.\n"
      "\n"
      "  --image DIR       the local computer is the Windows system drive in DIR\n"
      "                    (a mounted image); replaces VESK_LOCAL_IMAGE\n"
      "  --remote [NAME=]DIR\n"
      "                    a remote computer NAME (or the name in its registry)\n"
      "                    is the system drive in DIR; repeatable; replaces\n"
      "                    VESK_REMOTE_IMAGES\n"
      "  --machine NAME    read the logs of remote computer NAME\n"
      "  --format F        table (default), csv (RFC 4180) or jsonl (JSON Lines)\n"
      "  --from N, --to N  only record numbers N and above, or N and below\n"
      "  --reverse         newest record first\n"
      "  --limit N         at most N rows per log\n"
      "  --quiet           no progress line and no per-log summary\n"
      "\n"
      "Columns: log, record, time, event, type, category, user, source,\n"
      "computer, message, error.  time is the local time at which the record\n"
      "was written, YYYY-MM-DDTHH:MM:SS to the even second, in the zone of this\n"
      "computer (set TZ for another, TZ=UTC for instance).  error is the text\n"
      "the library reported for the record, empty (null in JSON Lines) if none;\n"
      "a record that cannot be read still gives a row with log, record and\n"
      "error.  A slot the library left empty is empty (null in JSON Lines).\n"
      "\n"
      "Exit status: 0 every log was walked (rows with errors included); 1 a log\n"
      "could not be opened, its range read or its walk finished; 2 bad usage.\n",
      out);
}

bool parse_number(const char *text, uint64_t max, uint64_t *out) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char *end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || v > max) return false;
  *out = v;
  return true;
}

// A system drive directory given on the command line: it must exist, and the
// list of remote computers separates its entries with ';'.
bool check_image_dir(const char *option, const std::string &dir) {
  if (dir.empty() || dir.find(';') != std::string::npos) {
    std::fprintf(stderr, "vesk: %s: '%s' cannot name a directory here\n", option,
                 dir.c_str());
    return false;
  }
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) {
    std::fprintf(stderr, "vesk: %s: '%s' is not a directory\n", option, dir.c_str());
    return false;
  }
  return true;
}

enum class Parsed { Run, Help, Version, Bad };

// Parses argv into *o; prints the problem and returns Bad on a usage error.
Parsed parse(int argc, char **argv, Options *o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char *name) -> const char * {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "vesk: %s needs a value\n", name);
        return nullptr;
      }
      return argv[++i];
    };
    uint64_t n = 0;
    if (arg == "-h" || arg == "--help") {
      return Parsed::Help;
    } else if (arg == "--version") {
      return Parsed::Version;
    } else if (arg == "--machine") {
      if ((o->machine = value("--machine")) == nullptr) return Parsed::Bad;
    } else if (arg == "--image") {
      if ((o->image = value("--image")) == nullptr) return Parsed::Bad;
      if (!check_image_dir("--image", o->image)) return Parsed::Bad;
    } else if (arg == "--remote") {
      const char *v = value("--remote");
      if (v == nullptr) return Parsed::Bad;
      const std::string item = v;
      const size_t eq = item.find('=');
      if (eq == 0) {
        std::fprintf(stderr, "vesk: --remote: '%s' has an empty computer name\n", v);
        return Parsed::Bad;
      }
      if (!check_image_dir("--remote",
                           eq == std::string::npos ? item : item.substr(eq + 1)))
        return Parsed::Bad;
      o->remotes.push_back(item);
    } else if (arg == "--format") {
      const char *f = value("--format");
      if (f == nullptr) return Parsed::Bad;
      if (std::strcmp(f, "table") == 0) {
        o->format = Format::Table;
      } else if (std::strcmp(f, "csv") == 0) {
        o->format = Format::Csv;
      } else if (std::strcmp(f, "jsonl") == 0) {
        o->format = Format::Jsonl;
      } else {
        std::fprintf(stderr, "vesk: unknown format '%s'\n", f);
        return Parsed::Bad;
      }
    } else if (arg == "--from" || arg == "--to" || arg == "--limit") {
      const char *v = value(arg.c_str());
      if (v == nullptr) return Parsed::Bad;
      const uint64_t max = arg == "--limit" ? UINT64_MAX : UINT32_MAX;
      if (!parse_number(v, max, &n)) {
        std::fprintf(stderr, "vesk: %s takes a number, not '%s'\n", arg.c_str(), v);
        return Parsed::Bad;
      }
      if (arg == "--from") {
        o->from = static_cast<uint32_t>(n);
      } else if (arg == "--to") {
        o->to = static_cast<uint32_t>(n);
      } else {
        o->limit = n;
      }
    } else if (arg == "--reverse") {
      o->reverse = true;
    } else if (arg == "--quiet" || arg == "-q") {
      o->quiet = true;
    } else if (arg == "--") {
      for (++i; i < argc; ++i) o->logs.push_back(argv[i]);
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "vesk: unknown option '%s'\n", arg.c_str());
      return Parsed::Bad;
    } else {
      o->logs.push_back(argv[i]);
    }
  }
  if (o->logs.empty()) {
    std::fputs("vesk: no log named\n", stderr);
    return Parsed::Bad;
  }
  return Parsed::Run;
}

// Hands the images named on the command line to the emulated platform, which
// reads its two variables at the first open.  The Windows build reads the
// computer it runs on and its network, so there is nothing to hand over.
bool configure_images(const Options &o) {
  vesk::walk::Images images;
  if (o.image != nullptr) images.local = o.image;
  images.remotes = o.remotes;
  std::string error;
  if (!vesk::walk::configure(images, &error)) {
    std::fprintf(stderr, "vesk: %s\n", error.c_str());
    return false;
  }
  return true;
}

// Standard output went away (a closed pipe): the walk ends quietly.
struct OutputClosed {};
// Standard output failed otherwise (a full disk): the walk ends with 1.
struct OutputFailed {
  int error;
};

// Standard output, written in large pieces.
class Output {
 public:
  std::string &buffer() { return buffer_; }

  // Writes the buffer out once it is large enough (or now, when `force`).
  void drain(bool force = false) {
    if (buffer_.empty() || (!force && buffer_.size() < kChunk)) return;
    errno = 0;
    const size_t n = std::fwrite(buffer_.data(), 1, buffer_.size(), stdout);
    const bool ok = n == buffer_.size() && (!force || std::fflush(stdout) == 0);
    buffer_.clear();
    if (!ok) fail();
  }

  void flush() {
    drain(true);
    errno = 0;
    if (std::fflush(stdout) != 0) fail();
  }

 private:
  static constexpr size_t kChunk = 64 * 1024;

  [[noreturn]] static void fail() {
    const int e = errno;
    if (e == EPIPE) throw OutputClosed{};
    throw OutputFailed{e};
  }

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
    const double left = rate > 0 ? (total_ - done) / rate : 0;
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
  Printer(Format format, Output &out) : format_(format), out_(out) {}

  void add(const Row &row) {
    switch (format_) {
      case Format::Table:
        table_.push_back(row);
        break;
      case Format::Csv:
        if (!header_done_) out_.buffer() += vesk::cli::csv_header();
        header_done_ = true;
        vesk::cli::append_csv_row(out_.buffer(), row);
        break;
      case Format::Jsonl:
        vesk::cli::append_json_row(out_.buffer(), row);
        break;
    }
    out_.drain();
  }

  // Ends one log: a table is printed per log.
  void flush() {
    if (format_ == Format::Table && !table_.empty()) {
      out_.buffer() += vesk::cli::table(table_);
      table_.clear();
    }
    out_.flush();
  }

 private:
  Format format_;
  Output &out_;
  bool header_done_ = false;
  std::vector<Row> table_;
};

// Walks one open log; false when the walk had to stop before its end.
bool walk(vesk::walk::Log &log, const Options &o, Printer &printer) {
  // Messages name a remote log as MACHINE\LOG.
  const std::string label =
      o.machine && *o.machine ? std::string(o.machine) + "\\" + log.label() : log.label();
  const uint32_t first = log.oldest();
  const uint32_t count = log.count();
  if (!o.quiet) {
    if (count == 0)
      std::fprintf(stderr, "vesk: %s: empty\n", label.c_str());
    else
      std::fprintf(stderr, "vesk: %s: oldest %lu, newest %lu, %lu records\n",
                   label.c_str(), static_cast<unsigned long>(first),
                   static_cast<unsigned long>(first + count - 1u),
                   static_cast<unsigned long>(count));
  }
  const uint64_t span = log.span();
  const uint64_t todo = o.limit && *o.limit < span ? *o.limit : span;
  Progress progress(!o.quiet && VESK_ISATTY(VESK_FILENO(stderr)), label, todo);
  vesk::walk::Record rec;
  Row r{log.label(), 0, std::vector<Cell>(8), {}};
  int errors = 0;
  while (log.next(rec)) {
    if (rec.error.kind != Cell::Kind::Empty && errors++ < kRecordErrorsShown) {
      progress.clear();
      std::fprintf(stderr, "vesk: %s: record %lu: %s\n", label.c_str(),
                   static_cast<unsigned long>(rec.number),
                   vesk::cli::display_text(rec.error.text).c_str());
    }
    r.record = rec.number;
    for (int s = 0; s < 8; ++s) r.cells[s] = rec.row[s];
    r.error = rec.error;
    printer.add(r);
    progress.tick(log.scanned());
  }
  progress.clear();
  printer.flush();
  if (!log.complete())
    std::fprintf(stderr, "vesk: %s: %s\n", label.c_str(), log.stop_reason().c_str());
  if (errors > kRecordErrorsShown && !o.quiet)
    std::fprintf(stderr, "vesk: %s: %d records reported errors\n", label.c_str(), errors);
  return log.complete();
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  switch (parse(argc, argv, &o)) {
    case Parsed::Bad:
      std::fputs("usage: vesk [OPTION]... LOG...   (vesk --help tells more)\n", stderr);
      return 2;
    case Parsed::Help:
      usage(stdout);
      return 0;
    case Parsed::Version:
      std::printf("vesk %s\n", VESK_VERSION);
      return 0;
    case Parsed::Run:
      break;
  }
  if (!configure_images(o)) return 2;
#if defined(SIGPIPE)
  // A closed pipe shows as EPIPE from the writes, which end the walk quietly.
  std::signal(SIGPIPE, SIG_IGN);
#endif

  Output out;
  Printer printer(o.format, out);
  bool all_ok = true;
  try {
    vesk::walk::Options wo;
    if (o.machine != nullptr) wo.machine = o.machine;
    wo.from = o.from;
    wo.to = o.to;
    wo.reverse = o.reverse;
    wo.limit = o.limit;
    for (const char *log : o.logs) {
      std::string error;
      auto opened = vesk::walk::Log::open(log, wo, &error);
      if (!opened) {
        std::fprintf(stderr, "vesk: cannot open %s on %s: %s\n", log,
                     o.machine && *o.machine ? o.machine : "the local computer",
                     vesk::cli::display_text(error).c_str());
        all_ok = false;
      } else if (!walk(*opened, o, printer)) {
        all_ok = false;
      }
    }
    out.flush();
  } catch (const OutputClosed &) {
    return 0;
  } catch (const OutputFailed &failure) {
    std::fprintf(stderr, "vesk: cannot write the rows: %s\n",
                 std::strerror(failure.error));
    return 1;
  }
  return all_ok ? 0 : 1;
}
