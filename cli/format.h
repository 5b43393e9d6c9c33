// The tool's three output formats over the walk's records: CSV (RFC 4180),
// JSON Lines and a streamed, aligned table, each with the columns chosen by
// --fields in their order.  Kept apart from main.cpp so that the tests can
// check the quoting and escaping directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "walk/variant.h"
#include "walk/walk.h"

namespace vesk::cli {

using vesk::walk::automation_date_text;
using vesk::walk::bstr_text;
using vesk::walk::Cell;
using vesk::walk::cell_from_variant;
using vesk::walk::Column;
using vesk::walk::joined_strings;
using vesk::walk::Record;
using vesk::walk::set_cell;
using vesk::walk::utf8_from_utf16;

// The columns of one output and how its times are written.
struct Layout {
  std::vector<Column> columns;
  walk::TimeZone zone = walk::TimeZone::kUtc;
};

// Each format's columns when --fields is not given: CSV and JSON Lines all
// of them (log first, error last); the table the ones a reader scans, the
// message last.
std::vector<Column> default_columns(bool table);

// The columns of a --fields list ("time,log,message"); false and *error
// for an unknown or repeated name.
bool parse_fields(std::string_view list, std::vector<Column> *out, std::string *error);

// One CSV field (RFC 4180): quoted when it holds a comma, a double quote, a
// carriage return or a line feed, with double quotes doubled.
std::string csv_field(std::string_view text);
// The header line, CRLF-terminated.
std::string csv_header(const Layout &layout);
// One record's line, CRLF-terminated; empty values are empty fields.
void append_csv_record(std::string &out, const Record &r, const Layout &layout);

// A JSON string literal for UTF-8 text: quote, backslash and every control
// character below 0x20 escaped.
std::string json_string(std::string_view utf8);
// Scans eight bytes at a time and copies the runs between escapes whole.
void append_json_string(std::string &out, std::string_view utf8);
// The same one byte at a time: the reference the fast form must match.
void append_json_string_scalar(std::string &out, std::string_view utf8);
// One JSON object on one line, LF-terminated, with the layout's columns as
// keys in their order: record, event and event_id are numbers, strings an
// array of strings, a value the record does not have is null.
void append_json_record(std::string &out, const Record &r, const Layout &layout);

// A cell's text made fit for one line of a terminal: a CR LF pair, a lone
// CR or LF and a tab each become one space; any other C0 control character
// and DEL are written \xNN, C1 controls (U+0080 to U+009F) and the
// bidirectional overrides and isolates (U+202A to U+202E, U+2066 to U+2069)
// \uNNNN, so that no text can move the cursor, change colours or reorder
// what the terminal shows.
std::string table_text(std::string_view utf8);

// The table: every column as wide as its widest cell among the header and
// the first `sample` rows, at most kTableWidthCap code points; later cells
// wider than their column are cut and end in "…".  The last column is
// neither padded nor cut.  Rows are written as they come once the sample is
// in, so memory stays bounded whatever the number of rows.
class Table {
 public:
  static constexpr size_t kSampleRows = 100;
  static constexpr size_t kTableWidthCap = 48;

  explicit Table(Layout layout, size_t sample = kSampleRows);
  // Adds a row; appends to `out` what can be written now.
  void add(const Record &r, std::string &out);
  // Appends what is still held back (the header and the sample).
  void finish(std::string &out);

 private:
  void write_line(const std::vector<std::string> &cells, std::string &out) const;
  void settle(std::string &out);

  Layout layout_;
  size_t sample_;
  bool settled_ = false;
  std::vector<size_t> widths_;
  std::vector<std::vector<std::string>> held_;
  std::vector<std::string> line_;
};

// An error text made fit for a terminal: trailing line feeds and carriage
// returns dropped, line breaks and tabs written as \n, \r, \t, and the other
// control characters as table_text writes them.
std::string display_text(std::string_view utf8);

}  // namespace vesk::cli
