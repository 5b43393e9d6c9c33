// The walk over event logs that the command-line tool and the Python module
// share: a registered log of a computer, or a loose .evt file, record by
// record, each record as the library's row (the six exports) beside the raw
// record read through the platform's own event-log calls, with filters and a
// merged timeline over several logs.
//
// How to use it:
//
//   vesk::walk::Images images;             // which computers are served
//   images.local = "/mnt/winxp";           // (the emulated platform only)
//   std::string error;
//   if (!vesk::walk::configure(images, &error)) ...;   // once, before any open
//
//   vesk::walk::Options o;                  // machine, --as log, range, filter
//   o.filter.since = vesk::walk::parse_time("2011-07-27T06:00:00Z");
//   auto log = vesk::walk::Log::open("System", o, &error);   // or a file path
//   if (!log) ...;                         // error says why (unknown name, ...)
//   vesk::walk::Record r;                  // reused from record to record
//   while (log->next(r)) use(r);           // r.raw: the raw fields (r.has_raw),
//                                          // r.row: the library's eight slots,
//                                          // r.error: what the library latched
//   if (!log->complete()) ...;             // the walk had to stop early
//
//   vesk::walk::Merge m(std::move(logs));  // several logs as one timeline
//   while (m.next(r)) use(r);              // r.log names the log of each row
//
// column_value() gives each column of the tool (and each key of its JSON
// Lines) as text, so that every caller names and renders them alike.
//
// Records come one at a time and nothing of earlier records is kept, except
// that a Merge keeps 12 bytes per selected record (its write time, log and
// number) and reads the rows again in time order.  A Log is used by one
// thread at a time; the library converts rows on one handle at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::walk {

// ---------------------------------------------------------------- computers

// The computers served by the emulated platform: the local one's system
// drive directory and the remote ones ("NAME=DIR", or "DIR" named by its
// registry).  Empty: what VESK_LOCAL_IMAGE and VESK_REMOTE_IMAGES say.
struct Images {
  std::string local;
  std::vector<std::string> remotes;
};

// Hands the images to the platform; call once, before the first open.  False
// and *error when an image directory is not one, when a remote is named as
// the local computer itself, or (Windows) when images are given at all: the
// Windows build reads the computer it runs on and the network.
bool configure(const Images &images, std::string *error);

// Whether a local computer is served at all: on Windows always; on the
// emulated platform when an image was given (by configure or the environment).
bool have_local_computer();

// ---------------------------------------------------------------- records

// The raw record, as the event-log service hands it out.
struct RawRecord {
  uint32_t number = 0;
  uint32_t time_generated = 0;  // seconds since 1970-01-01 00:00:00 UTC
  uint32_t time_written = 0;
  uint32_t event_id = 0;  // all 32 bits
  uint16_t event_type = 0;
  uint16_t category = 0;
  std::string sid;                   // S-1-..., empty when the record names none
  std::vector<std::string> strings;  // the insertion strings, UTF-8
  std::vector<uint8_t> data;
  std::string source;
  std::string computer;
};

// One slot of the library's row, as text: a date slot as
// "YYYY-MM-DDTHH:MM:SS" (the library's local time), a number in decimal.
struct Cell {
  enum class Kind { Empty, Number, Text };
  Kind kind = Kind::Empty;
  std::string text;
};

// The slots of the library's row, by index.
enum Slot : int {
  kRowTime = 0,
  kRowEvent,
  kRowType,
  kRowCategory,
  kRowUser,
  kRowSource,
  kRowComputer,
  kRowMessage,
  kRowSlots
};

struct Record {
  std::string log;  // the log's label: its name, or a loose file's name
  uint32_t number = 0;
  bool has_raw = false;  // false: the raw record could not be read
  RawRecord raw;
  Cell row[kRowSlots];  // Empty when the library left the slot empty
  Cell error;           // Empty, or what the library latched for the record
};

// ---------------------------------------------------------------- options

// Seconds since 1970-01-01 00:00:00 UTC from ISO 8601 text with a zone:
// "2011-07-27T06:41:47Z", "2011-07-27T08:41:47+02:00" (also +0200, +02, a
// space for the T, and no seconds).  Empty when the text is not such a time.
std::optional<int64_t> parse_time(std::string_view text);

// Event types by their words (error, warning, information, success,
// failure, without regard to case) or numbers; empty for an unknown word.
std::optional<uint16_t> parse_type(std::string_view word);

// What a walk selects, tested on the raw record before the library converts
// it, so that a narrow filter over a big log costs little.
struct Filter {
  std::optional<int64_t> since;  // time written >= since
  std::optional<int64_t> until;  // time written < until
  // An id up to 0xFFFF matches the low 16 bits of the event identifier, a
  // larger one the whole identifier.
  std::vector<uint32_t> events;
  std::vector<std::string> sources;  // without regard to case
  std::vector<uint16_t> types;
  bool active() const;
  bool matches(const RawRecord &raw) const;
};

struct Options {
  std::string machine;  // empty: the local computer
  // A loose file's records take their sources from this log of the reference
  // computer; empty: for each record, the log that registers its source.
  std::string as_log;
  std::optional<uint32_t> from, to;  // record numbers, inclusive
  bool reverse = false;              // newest first
  std::optional<uint64_t> limit;     // at most this many records
  Filter filter;
};

// ---------------------------------------------------------------- one log

// A log's registry entry: --list.
struct LogInfo {
  std::string name;
  std::string file;  // as the registry names it; empty when it names none
  bool opened = false;
  std::string error;  // why it could not be opened
  uint32_t oldest = 0, count = 0;
};

// The logs a computer registers, in the registry's order.  False and *error
// when the computer cannot be reached; *has_registry false when it has no
// EventLog key (then the three standard logs are listed, from their default
// files).
bool list_logs(const std::string &machine, std::vector<LogInfo> *logs, bool *has_registry,
               std::string *error);

// The name of a computer as its registry gives it ("" for the local computer
// asks the local one); `machine` itself when the registry does not say.
std::string computer_name(const std::string &machine);

// Whether `name` names an existing file, and is thus read as a loose log.
bool is_log_file(const std::string &name);

class Log {
 public:
  // Opens a registered log of o.machine (refused when the computer does not
  // register it) or, when `name` names an existing file, that loose file.
  // Null and *error on failure.
  static std::unique_ptr<Log> open(const std::string &name, const Options &o,
                                   std::string *error);
  virtual ~Log();

  // The label rows carry: the log's name, or the loose file's name.
  const std::string &label() const;
  // The record range; count 0 for an empty log.
  uint32_t oldest() const;
  uint32_t count() const;
  // How many record numbers the range options (from, to) leave to walk.
  uint64_t span() const;

  // The next selected record (range, filter, limit); false at the end.  A
  // record that cannot be read at all comes with only its number and error,
  // whatever the filter.
  bool next(Record &out);
  // The same without the library's row (row and error Empty): the raw
  // fields alone, as a merge scans them.
  bool next_raw(Record &out);
  // Records looked at so far (selected or not), for progress.
  uint64_t scanned() const;
  // False when the walk stopped before its end: a long run of numbers that
  // could not be read.
  bool complete() const;
  // Why the walk stopped early, if it did.
  const std::string &stop_reason() const;

  // Reads one record by number: its raw fields (when `with_row`, also the
  // library's row).  False when the number is past the end of the log.
  bool read(uint32_t number, Record &out, bool with_row);

  struct Impl;

 private:
  explicit Log(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------- merge

// The selected records of several logs in one order: by time written, then
// by the log's place in the list, then by record number (reversed with
// Options::reverse of the first log).  The first next() scans every log's
// raw records (12 bytes kept per selected record); each row is then read
// again when its turn comes.  A record that cannot be read sorts first.
class Merge {
 public:
  explicit Merge(std::vector<std::unique_ptr<Log>> logs, bool reverse = false);
  ~Merge();
  bool next(Record &out);
  // The logs, in their order.
  const std::vector<std::unique_ptr<Log>> &logs() const;
  // Selected records in all (known after the first next()).
  uint64_t total() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------- columns

// Every column of the tool, in JSON Lines order.
enum class Column {
  kLog,
  kRecord,
  kTime,       // exact TimeWritten
  kGenerated,  // TimeGenerated
  kEvent,      // the library's event number (low 16 bits)
  kEventId,    // all 32 bits, decimal
  kType,
  kCategory,
  kUser,
  kSid,
  kSource,
  kComputer,
  kMessage,
  kStrings,
  kData,     // hex
  kRowTime,  // the library's slot 0: local time to the even second
  kError,
};

inline constexpr Column kAllColumns[] = {
    Column::kLog,     Column::kRecord,  Column::kTime,   Column::kGenerated,
    Column::kEvent,   Column::kEventId, Column::kType,   Column::kCategory,
    Column::kUser,    Column::kSid,     Column::kSource, Column::kComputer,
    Column::kMessage, Column::kStrings, Column::kData,   Column::kRowTime,
    Column::kError};

const char *column_name(Column c);
std::optional<Column> column_by_name(std::string_view name);

// How times are written: UTC with Z, or the local zone (TZ) with its offset.
enum class TimeZone { kUtc, kLocal };

// "2011-07-27T06:41:47Z" or, local, "2011-07-27T08:41:47+02:00".
std::string time_text(int64_t seconds, TimeZone zone);

// A column's value as text; Empty when the record has none (a record that
// could not be read, a slot the library left empty).  Number kind for the
// record number, event, event_id.  kStrings: joined_strings (a JSON writer
// makes an array of raw.strings instead).
Cell column_value(const Record &r, Column c, TimeZone zone);

// The insertion strings as one text: joined with ';', a ';' or '\' inside a
// string preceded by '\', so that the list can be split again.
std::string joined_strings(const std::vector<std::string> &strings);

// Lower-case hex of bytes.
std::string hex_text(const uint8_t *bytes, size_t n);

}  // namespace vesk::walk
