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
  std::string from, to, limit, jobs;
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
  unsigned jobs = 0;  // 0: one per processor
  std::vector<std::string> logs;
};

// After this many errors of single records in one log, the rest are counted
// and not printed on standard error (their rows still carry them).
constexpr int kRecordErrorsShown = 20;
// A walk gives up after this many records in a row that could not be read
// (as the walk layer does).
constexpr int kUnreadableInARow = 1000;
// The most threads --jobs takes, and the most a walk uses: each thread
// holds a handle with its caches and a few blocks of rows, and past eight
// the memory would pass 64 MB for no gain on the machines this runs on.
constexpr uint64_t kMaxJobs = 64;
constexpr unsigned kMaxThreads = 8;

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
  if (!a.jobs.empty()) {
    if (!parse_number(a.jobs, kMaxJobs, &n) || n == 0)
      return usage_error("--jobs takes a number from 1 to 64, not '" + a.jobs + "'");
    o->jobs = static_cast<unsigned>(n);
  }

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

  // Whether rows can be rendered apart from the printer (not for a table,
  // whose widths come from all its rows).
  bool renders_rows() const { return format_ != Format::Table; }

  // Appends the row of `r` as this format prints it.
  void render(std::string &out, const Record &r) const {
    if (format_ == Format::Csv)
      vesk::cli::append_csv_record(out, r, layout_);
    else
      vesk::cli::append_json_record(out, r, layout_);
  }

  // `n` rows that render() made, in order.
  void add_rendered(std::string_view rows, uint64_t n) {
    rows_ += n;
    if (format_ == Format::Csv && !header_done_)
      out_.buffer() += vesk::cli::csv_header(layout_);
    header_done_ = true;
    out_.buffer() += rows;
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
    kFiltered,    // a record the filter leaves out: no row
  };
  struct Entry {
    uint32_t number;
    Kind kind;
    size_t end;         // where its row ends in `rows`
    std::string error;  // the library's error text for it, if any
    // For a readable record that came with an error: the record, for the
    // writer to give it the mirror's error.
    std::unique_ptr<Record> record;
  };
  std::string rows;
  std::vector<Entry> entries;
};

// Converts places [first, first + n) of the walk over numbers lo..hi (hi
// down, when reverse) with `log`, one record at a time by number.
void convert_block(vesk::walk::Log &log, const Printer &printer,
                   const vesk::walk::Options &wo, uint32_t lo, uint32_t hi,
                   uint64_t first, uint64_t n, Block &b) {
  Record rec;
  for (uint64_t at = first; at < first + n; ++at) {
    const uint32_t number =
        wo.reverse ? hi - static_cast<uint32_t>(at) : lo + static_cast<uint32_t>(at);
    if (!log.read(number, rec, true)) {
      const Block::Kind kind = wo.reverse ? Block::Kind::kMissing : Block::Kind::kEnd;
      b.entries.push_back({number, kind, b.rows.size(), {}, nullptr});
      if (kind == Block::Kind::kEnd) return;
      continue;
    }
    if (rec.has_raw && !wo.filter.matches(rec.raw)) {
      b.entries.push_back({number, Block::Kind::kFiltered, b.rows.size(), {}, nullptr});
      continue;
    }
    printer.render(b.rows, rec);
    Block::Entry e{number, rec.has_raw ? Block::Kind::kRow : Block::Kind::kUnreadable,
                   b.rows.size(),
                   rec.error.kind != Cell::Kind::Empty ? rec.error.text : "", nullptr};
    if (rec.has_raw && rec.error.kind != Cell::Kind::Empty)
      e.record = std::make_unique<Record>(rec);
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
  ParallelWalk(std::vector<vesk::walk::Log *> logs, const Printer &printer,
               const vesk::walk::Options &wo, uint32_t lo, uint32_t hi, uint64_t places)
      : logs_(std::move(logs)),
        printer_(printer),
        wo_(wo),
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
      convert_block(*logs_[w], printer_, wo_, lo_, hi_, first,
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
  const vesk::walk::Options &wo_;
  uint32_t lo_, hi_;
  uint64_t places_, block_ = 0, blocks_ = 0, window_ = 0;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable ready_cv_, room_cv_;
  std::map<uint64_t, Block> ready_;
  uint64_t taken_ = 0;  // blocks handed to the writer
  bool stop_ = false;
};

// The walk of one log over several threads (see ParallelWalk); the caller
// has printed the summary.  Null when the walk is not shared: a table, or
// too few records, or no further handle could be opened.
std::optional<bool> walk_shared(vesk::walk::Log &log, const std::string &name,
                                const Options &o, Printer &printer, Progress &progress,
                                const std::string &label) {
  const unsigned jobs =
      std::min(kMaxThreads,
               o.jobs != 0 ? o.jobs : std::max(1u, std::thread::hardware_concurrency()));
  const uint64_t todo = log.span();
  if (jobs < 2 || !printer.renders_rows() || todo < 64) return std::nullopt;
  std::vector<std::unique_ptr<vesk::walk::Log>> more;
  for (unsigned j = 0; j < jobs && j < todo / 16; ++j) {  // the last is the mirror
    std::string error;
    auto other = vesk::walk::Log::open(name, o.walk, &error);
    if (!other) return std::nullopt;
    more.push_back(std::move(other));
  }
  if (more.size() < 2) return std::nullopt;
  std::unique_ptr<vesk::walk::Log> mirror = std::move(more.back());
  more.pop_back();
  std::vector<vesk::walk::Log *> logs = {&log};
  for (auto &m : more) logs.push_back(m.get());
  const uint32_t first = log.oldest(), count = log.count();
  uint32_t lo = first, hi = count ? first + count - 1u : first;
  if (o.walk.from && *o.walk.from > lo) lo = *o.walk.from;
  if (o.walk.to && *o.walk.to < hi) hi = *o.walk.to;

  ParallelWalk parallel(std::move(logs), printer, o.walk, lo, hi, todo);
  parallel.start();
  Block b;
  bool complete = true, over = false;
  std::string reason;
  int unreadable = 0, errors = 0;
  uint64_t done = 0, shown = 0;
  Record check;
  std::string rerendered;
  while (!over && parallel.next(b)) {
    size_t from = 0;
    for (Block::Entry &e : b.entries) {
      if (o.walk.limit && shown >= *o.walk.limit) {
        over = true;
        break;
      }
      ++done;
      if (e.kind == Block::Kind::kEnd) {
        over = true;
        break;
      }
      if (e.kind == Block::Kind::kRow || e.kind == Block::Kind::kFiltered)
        unreadable = 0;
      else if (++unreadable >= kUnreadableInARow)
        over = true;
      if (e.kind == Block::Kind::kRow || e.kind == Block::Kind::kUnreadable) {
        std::string_view text = std::string_view(b.rows).substr(from, e.end - from);
        from = e.end;
        const std::string *error = &e.error;
        if (e.record) {
          // The mirror's error is the one the walk of one thread gives.
          if (mirror->read(e.number, check, true) &&
              check.error.text != e.record->error.text) {
            e.record->error = check.error;
            rerendered.clear();
            printer.render(rerendered, *e.record);
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
        printer.add_rendered(text, 1);
        ++shown;
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
    std::fprintf(stderr, "vesk: %s: %d records reported errors\n", label.c_str(), errors);
  return complete;
}

// Walks one open log; false when the walk had to stop before its end.
bool walk(vesk::walk::Log &log, const std::string &name, const Options &o,
          Printer &printer) {
  summary(o, log);
  const std::string label = display_label(o, log);
  const uint64_t span = log.span();
  Progress progress(!o.quiet && VESK_ISATTY(VESK_FILENO(stderr)), label, span);
  if (auto shared = walk_shared(log, name, o, printer, progress, label)) return *shared;
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
  app.add_option("-j,--jobs", a.jobs,
                 "convert with N threads, each with its own handle (default: one per "
                 "processor, at most 8); the rows come out as with one thread, byte "
                 "for byte")
      ->type_name("N");
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
      else if (!walk(*log, name, o, printer))
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
