// vesk: prints the records of event logs through the library's six exports.
//
//   vesk [--image DIR] [--remote [NAME=]DIR]... [--machine NAME]
//        [--format table|csv|jsonl] [--from N] [--to N] [--reverse]
//        [--limit N] [--jobs N] [--quiet] LOG...
//
// Rows go to standard output; what each open reports (the record range, or
// the error text) and the errors of single records go to standard error.
// Exit status: 0 when every log was walked, 1 when one could not be opened,
// its range read or its walk finished, 2 for a usage error.  A reader that
// goes away (vesk ... | head) ends the walk quietly with status 0.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
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
  unsigned jobs = 0;  // 0: one per processor
  std::vector<const char *> logs;
};

// After this many errors of single records in one log, the rest are counted
// and not printed on standard error (their rows still carry them).
constexpr int kRecordErrorsShown = 20;
// A walk gives up after this many records in a row that could not be read:
// a range of numbers that the log does not hold is not walked to its end.
constexpr int kUnreadableInARow = 1000;
// The most threads --jobs takes, and the most a walk uses: each thread
// holds a handle with its caches and a few blocks of rows, and past eight
// the memory would pass 64 MB for no gain on the machines this runs on.
constexpr unsigned kMaxJobs = 64;
constexpr unsigned kMaxThreads = 8;

void usage(FILE *out) {
  std::fputs(
      "usage: vesk [--image DIR] [--remote [NAME=]DIR]... [--machine NAME]\n"
      "            [--format table|csv|jsonl] [--from N] [--to N] [--reverse]\n"
      "            [--limit N] [--jobs N] [--quiet] LOG...\n"
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
      "  --jobs N          convert with N threads (default: one per processor,\n"
      "                    at most 8); the rows come out in the same order, the\n"
      "                    same bytes\n"
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
    } else if (arg == "--jobs" || arg == "-j") {
      const char *v = value(arg.c_str());
      if (v == nullptr) return Parsed::Bad;
      if (!parse_number(v, kMaxJobs, &n) || n == 0) {
        std::fprintf(stderr, "vesk: %s takes a number from 1 to %u, not '%s'\n",
                     arg.c_str(), kMaxJobs, v);
        return Parsed::Bad;
      }
      o->jobs = static_cast<unsigned>(n);
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

  // Whether rows can be rendered apart from the printer (not for a table,
  // whose widths come from all its rows).
  bool renders_rows() const { return format_ != Format::Table; }

  // Appends the row as this format prints it.
  void render(std::string &out, const Row &row) const {
    if (format_ == Format::Csv)
      vesk::cli::append_csv_row(out, row);
    else
      vesk::cli::append_json_row(out, row);
  }

  // Rows that render() made, in order.
  void add_rendered(std::string_view rows) {
    if (format_ == Format::Csv && !header_done_) out_.buffer() += vesk::cli::csv_header();
    header_done_ = true;
    out_.buffer() += rows;
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

// ---------------------------------------------------------------- --jobs

// The library reports some failures once per handle: the first record that
// meets a source it cannot find, a message file it cannot load or a message
// number that no file formats gets the error, later ones do not.  Which
// records carry those errors thus depends on what the handle has converted
// before, and a thread's handle has met only its own blocks.  Whether a
// source, file or number fails does not depend on the handle, and what one
// thread's handle has met the walk of one thread has met too.  So a record
// that its thread converted without an error has none in the walk of one
// thread either; and every record where a failure is first met anywhere
// comes with an error from its thread.  The writer therefore keeps one more
// handle, the mirror, that converts in order the records that came with an
// error: the mirror has then met every failure that the walk of one thread
// would have met before, and the error it reports is that walk's.

// A stretch of consecutive places of a walk, converted by one thread: its
// rows as the format prints them, and what the writer needs to know of each
// record to end the walk where the walk of one thread ends it and to give
// each row the error that walk gives it.
struct Block {
  enum class Kind : uint8_t {
    kRow,         // a record and its row
    kUnreadable,  // a record that could not be read, with its row
    kMissing,     // a number past the end, met walking backwards: no row
    kEnd,         // a number past the end walking forwards: the walk is over
  };
  struct Entry {
    uint32_t number;
    Kind kind;
    size_t end;         // where its row ends in `rows`
    std::string error;  // the library's error text for it, if any
    // For a readable record that came with an error: its row, for the
    // writer to give the mirror's error.
    std::unique_ptr<Row> row;
  };
  std::string rows;
  std::vector<Entry> entries;
};

// Converts places [first, first + n) of the walk over numbers lo..hi (hi
// down, when reverse) with `log`, one record at a time by number.
void convert_block(vesk::walk::Log &log, const Printer &printer, bool reverse,
                   uint32_t lo, uint32_t hi, uint64_t first, uint64_t n, Block &b) {
  vesk::walk::Record rec;
  Row r{log.label(), 0, std::vector<Cell>(8), {}};
  for (uint64_t at = first; at < first + n; ++at) {
    const uint32_t number =
        reverse ? hi - static_cast<uint32_t>(at) : lo + static_cast<uint32_t>(at);
    if (!log.read(number, rec, true)) {
      const Block::Kind kind = reverse ? Block::Kind::kMissing : Block::Kind::kEnd;
      b.entries.push_back({number, kind, b.rows.size(), {}, nullptr});
      if (kind == Block::Kind::kEnd) return;
      continue;
    }
    r.record = rec.number;
    for (int s = 0; s < 8; ++s) r.cells[s] = rec.row[s];
    r.error = rec.error;
    printer.render(b.rows, r);
    Block::Entry e{number, rec.has_raw ? Block::Kind::kRow : Block::Kind::kUnreadable,
                   b.rows.size(),
                   rec.error.kind != Cell::Kind::Empty ? rec.error.text : "", nullptr};
    if (rec.has_raw && rec.error.kind != Cell::Kind::Empty)
      e.row = std::make_unique<Row>(r);
    b.entries.push_back(std::move(e));
  }
}

// The walk of one log over several threads, each with its own handle (the
// library converts rows on one handle at a time).  The places of the walk
// are cut into blocks dealt out in turn; the calling thread writes the
// blocks in order, so the output is the walk of one thread, byte for byte.
// Workers run at most a few blocks ahead of the writer, which bounds the
// memory.  Returns whether the walk finished; *reason says why not.
class ParallelWalk {
 public:
  ParallelWalk(std::vector<vesk::walk::Log *> logs, const Printer &printer, bool reverse,
               uint32_t lo, uint32_t hi, uint64_t places)
      : logs_(std::move(logs)),
        printer_(printer),
        reverse_(reverse),
        lo_(lo),
        hi_(hi),
        places_(places) {
    const uint64_t jobs = logs_.size();
    // Blocks small enough that every thread has work in a short walk, large
    // enough that handing them over and the reads that pass a block's end
    // cost little next to converting them, and few enough records in flight
    // (2 * 8192 at most, a few megabytes of rows) whatever the thread count.
    block_ = std::clamp<uint64_t>(places_ / (jobs * 4), 16,
                                  std::max<uint64_t>(64, 8192 / jobs));
    blocks_ = (places_ + block_ - 1) / block_;
    window_ = 2 * jobs;
  }

  ~ParallelWalk() { finish(); }

  void start() {
    for (size_t w = 0; w < logs_.size(); ++w)
      threads_.emplace_back([this, w] { work(w); });
  }

  // The next block in order; false when there are no more.
  bool next(Block &out) {
    if (taken_ == blocks_) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    ready_cv_.wait(lock, [&] { return ready_.count(taken_) != 0; });
    out = std::move(ready_[taken_]);
    ready_.erase(taken_);
    ++taken_;
    room_cv_.notify_all();
    return true;
  }

  // Stops the workers and waits for them.
  void finish() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    room_cv_.notify_all();
    for (auto &t : threads_) t.join();
    threads_.clear();
  }

 private:
  void work(size_t w) {
    for (uint64_t k = w; k < blocks_; k += logs_.size()) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        room_cv_.wait(lock, [&] { return stop_ || k < taken_ + window_; });
        if (stop_) return;
      }
      Block b;
      const uint64_t first = k * block_;
      convert_block(*logs_[w], printer_, reverse_, lo_, hi_, first,
                    std::min(block_, places_ - first), b);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ready_.emplace(k, std::move(b));
      }
      ready_cv_.notify_all();
    }
  }

  std::vector<vesk::walk::Log *> logs_;
  const Printer &printer_;
  bool reverse_;
  uint32_t lo_, hi_;
  uint64_t places_, block_ = 0, blocks_ = 0, window_ = 0;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable ready_cv_, room_cv_;
  std::map<uint64_t, Block> ready_;
  uint64_t taken_ = 0;  // blocks handed to the writer
  bool stop_ = false;
};

// Walks one open log; false when the walk had to stop before its end.
// `name` and `wo` open the further handles of a walk over several threads.
bool walk(vesk::walk::Log &log, const char *name, const vesk::walk::Options &wo,
          const Options &o, Printer &printer) {
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

  // Over several threads when there is enough to share.
  const unsigned jobs =
      std::min(kMaxThreads,
               o.jobs != 0 ? o.jobs : std::max(1u, std::thread::hardware_concurrency()));
  std::vector<std::unique_ptr<vesk::walk::Log>> more;
  if (jobs > 1 && printer.renders_rows() && todo >= 64) {
    for (unsigned j = 1; j < jobs && j < todo / 16; ++j) {
      std::string error;
      auto other = vesk::walk::Log::open(name, wo, &error);
      if (!other) break;
      more.push_back(std::move(other));
    }
  }
  std::unique_ptr<vesk::walk::Log> mirror;
  if (!more.empty()) {
    std::string error;
    mirror = vesk::walk::Log::open(name, wo, &error);
    if (!mirror) more.clear();
  }
  if (!more.empty()) {
    std::vector<vesk::walk::Log *> logs = {&log};
    for (auto &m : more) logs.push_back(m.get());
    vesk::walk::Record check;
    std::string rerendered;
    uint32_t lo = first, hi = count ? first + count - 1u : first;
    if (o.from && *o.from > lo) lo = *o.from;
    if (o.to && *o.to < hi) hi = *o.to;
    ParallelWalk parallel(std::move(logs), printer, o.reverse, lo, hi, todo);
    parallel.start();
    Block b;
    bool complete = true;
    std::string reason;
    int unreadable = 0, errors = 0;
    uint64_t done = 0;
    bool over = false;
    while (!over && parallel.next(b)) {
      size_t from = 0;
      for (const Block::Entry &e : b.entries) {
        ++done;
        if (e.kind == Block::Kind::kEnd) {
          over = true;
          break;
        }
        if (e.kind == Block::Kind::kRow)
          unreadable = 0;
        else if (++unreadable >= kUnreadableInARow)
          over = true;
        if (e.kind != Block::Kind::kMissing) {
          std::string_view text = std::string_view(b.rows).substr(from, e.end - from);
          from = e.end;
          const std::string *error = &e.error;
          if (e.row) {
            // The mirror's error is the one the walk of one thread gives.
            if (mirror->read(e.number, check, true) &&
                check.error.text != e.row->error.text) {
              e.row->error = check.error;
              rerendered.clear();
              printer.render(rerendered, *e.row);
              text = rerendered;
              error = &check.error.text;
            }
          }
          if (!error->empty() && errors++ < kRecordErrorsShown) {
            progress.clear();
            std::fprintf(stderr, "vesk: %s: record %lu: %s\n", label.c_str(),
                         static_cast<unsigned long>(e.number),
                         vesk::cli::display_text(*error).c_str());
          }
          printer.add_rendered(text);
        }
        if (over) {
          complete = false;
          reason = std::to_string(kUnreadableInARow) +
                   " records in a row could not be read (up to record " +
                   std::to_string(e.number) + "); stopping";
          break;
        }
        progress.tick(done);
      }
    }
    parallel.finish();
    progress.clear();
    printer.flush();
    if (!complete) std::fprintf(stderr, "vesk: %s: %s\n", label.c_str(), reason.c_str());
    if (errors > kRecordErrorsShown && !o.quiet)
      std::fprintf(stderr, "vesk: %s: %d records reported errors\n", label.c_str(),
                   errors);
    return complete;
  }

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
      } else if (!walk(*opened, log, wo, o, printer)) {
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
