// vesk: prints the records of event logs through the library's six exports.
//
//   vesk [--machine NAME] [--format table|csv|jsonl] [--from N] [--to N]
//        [--reverse] [--limit N] LOG...
//
// Rows go to standard output; what each open reports (the record range, or
// the error text) and the errors of single records go to standard error.
// Exit status: 0 when every log was opened and its range read, 1 when one
// was not, 2 for a usage error.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "cli/format.h"
#include "vesk.h"

namespace {

using vesk::cli::Cell;
using vesk::cli::Row;

enum class Format { Table, Csv, Jsonl };

struct Options {
  const char *machine = nullptr;
  Format format = Format::Table;
  std::optional<uint32_t> from, to;
  bool reverse = false;
  std::optional<uint64_t> limit;
  std::vector<const char *> logs;
};

// After this many errors of single records in one log, the rest are counted
// and not printed.
constexpr int kRecordErrorsShown = 20;
// A walk gives up after this many records in a row that could not be read:
// a range of numbers that the log does not hold is not walked to its end.
constexpr int kUnreadableInARow = 1000;

void usage(FILE *out) {
  std::fputs(
      "usage: vesk [--machine NAME] [--format table|csv|jsonl] [--from N] [--to N]\n"
      "            [--reverse] [--limit N] LOG...\n"
      "Prints the records of each event LOG (Application, System, Security, ...)\n"
      "of the local computer, or of computer NAME.\n",
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

// Parses argv into *o; prints the problem and returns false on a usage error.
bool parse(int argc, char **argv, Options *o, bool *help) {
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
      *help = true;
      return true;
    } else if (arg == "--machine") {
      if ((o->machine = value("--machine")) == nullptr) return false;
    } else if (arg == "--format") {
      const char *f = value("--format");
      if (f == nullptr) return false;
      if (std::strcmp(f, "table") == 0) {
        o->format = Format::Table;
      } else if (std::strcmp(f, "csv") == 0) {
        o->format = Format::Csv;
      } else if (std::strcmp(f, "jsonl") == 0) {
        o->format = Format::Jsonl;
      } else {
        std::fprintf(stderr, "vesk: unknown format '%s'\n", f);
        return false;
      }
    } else if (arg == "--from" || arg == "--to" || arg == "--limit") {
      const char *v = value(arg.c_str());
      if (v == nullptr) return false;
      const uint64_t max = arg == "--limit" ? UINT64_MAX : UINT32_MAX;
      if (!parse_number(v, max, &n)) {
        std::fprintf(stderr, "vesk: %s takes a number, not '%s'\n", arg.c_str(), v);
        return false;
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
    } else if (arg == "--") {
      for (++i; i < argc; ++i) o->logs.push_back(argv[i]);
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "vesk: unknown option '%s'\n", arg.c_str());
      return false;
    } else {
      o->logs.push_back(argv[i]);
    }
  }
  if (o->logs.empty()) {
    std::fputs("vesk: no log named\n", stderr);
    return false;
  }
  return true;
}

// Whether an error text is pending; *text gets it, fit for a terminal.
bool pending_error(VESKHANDLE h, std::string *text) {
  VARIANT v;
  VariantInit(&v);
  const bool pending = VeskGetError(h, &v) == 1;
  *text = pending ? vesk::cli::display_text(vesk::cli::cell_from_variant(v).text) : "";
  VariantClear(&v);
  return pending;
}

std::string error_text(VESKHANDLE h) {
  std::string text;
  pending_error(h, &text);
  return text;
}

class Printer {
 public:
  explicit Printer(Format format) : format_(format) {}

  void add(Row row) {
    switch (format_) {
      case Format::Table:
        table_.push_back(std::move(row));
        break;
      case Format::Csv:
        if (!header_done_) std::fputs(vesk::cli::csv_header().c_str(), stdout);
        header_done_ = true;
        std::fputs(vesk::cli::csv_row(row).c_str(), stdout);
        break;
      case Format::Jsonl:
        std::fputs(vesk::cli::json_row(row).c_str(), stdout);
        break;
    }
  }

  // Ends one log: a table is printed per log.
  void flush() {
    if (format_ == Format::Table && !table_.empty()) {
      std::fputs(vesk::cli::table(table_).c_str(), stdout);
      table_.clear();
    }
    std::fflush(stdout);
  }

 private:
  Format format_;
  bool header_done_ = false;
  std::vector<Row> table_;
};

// Walks one open log; false when its range cannot be read.
bool walk(VESKHANDLE h, const char *log, const char *label, const Options &o,
          Printer &printer) {
  int32_t oldest = 0, newest = 0;
  if (VeskGetOldest(h, &oldest) != 0 || VeskGetNewest(h, &newest) != 0) {
    std::fprintf(stderr, "vesk: %s: %s\n", label, error_text(h).c_str());
    return false;
  }
  // Record numbers are 32-bit unsigned and so is the count: an empty log has
  // newest = oldest - 1.
  const uint32_t first = static_cast<uint32_t>(oldest);
  const uint32_t last = static_cast<uint32_t>(newest);
  const uint32_t count = last - first + 1u;
  std::fprintf(stderr, "vesk: %s: oldest %lu, newest %lu, %lu records\n", label,
               static_cast<unsigned long>(first), static_cast<unsigned long>(last),
               static_cast<unsigned long>(count));
  if (count == 0) return true;

  uint32_t lo = first, hi = last;  // inclusive
  if (o.from && *o.from > lo) lo = *o.from;
  if (o.to && *o.to < hi) hi = *o.to;
  if (lo > hi) return true;

  VARIANT row[8];
  for (VARIANT &v : row) VariantInit(&v);
  uint64_t shown = 0;
  int errors = 0, unreadable = 0;
  const uint64_t span = static_cast<uint64_t>(hi) - lo + 1;
  for (uint64_t i = 0; i < span; ++i) {
    if (o.limit && shown >= *o.limit) break;
    const uint32_t number =
        o.reverse ? hi - static_cast<uint32_t>(i) : lo + static_cast<uint32_t>(i);
    for (VARIANT &v : row) VariantClear(&v);
    const bool ok = VeskGetRec(h, number, row) == 0;
    if (!ok) {
      std::string text;
      if (!pending_error(h, &text)) {
        // Past the end of the log: a forward walk is done, a backward one
        // goes on down to the records that are there.
        if (!o.reverse) break;
        if (++unreadable == kUnreadableInARow) break;
        continue;
      }
      if (errors++ < kRecordErrorsShown)
        std::fprintf(stderr, "vesk: %s: record %lu: %s\n", label,
                     static_cast<unsigned long>(number), text.c_str());
      // A failure can come with a row (a message that no file formats): the
      // time slot is filled whenever the record was read.
      if (V_VT(&row[0]) == VT_EMPTY) {
        if (++unreadable == kUnreadableInARow) {
          std::fprintf(stderr,
                       "vesk: %s: %d records in a row could not be read; stopping\n",
                       label, unreadable);
          break;
        }
        continue;
      }
    }
    unreadable = 0;
    Row r{log, number, {}};
    for (const VARIANT &v : row) r.cells.push_back(vesk::cli::cell_from_variant(v));
    printer.add(std::move(r));
    ++shown;
  }
  for (VARIANT &v : row) VariantClear(&v);
  printer.flush();
  if (errors > kRecordErrorsShown)
    std::fprintf(stderr, "vesk: %s: %d records reported errors\n", label, errors);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  bool help = false;
  if (!parse(argc, argv, &o, &help)) {
    usage(stderr);
    return 2;
  }
  if (help) {
    usage(stdout);
    return 0;
  }

  Printer printer(o.format);
  bool all_ok = true;
  for (const char *log : o.logs) {
    VESKHANDLE h = 0;
    // Messages name a remote log as MACHINE\LOG.
    const std::string label =
        o.machine && *o.machine ? std::string(o.machine) + "\\" + log : std::string(log);
    if (VeskOpen(o.machine, log, &h) != 0) {
      std::fprintf(stderr, "vesk: cannot open %s on %s: %s\n", log,
                   o.machine && *o.machine ? o.machine : "the local computer",
                   error_text(h).c_str());
      all_ok = false;
    } else if (!walk(h, log, label.c_str(), o, printer)) {
      all_ok = false;
    }
    VeskClose(h);
  }
  return all_ok ? 0 : 1;
}
