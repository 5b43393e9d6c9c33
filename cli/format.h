// Text forms of the rows that vesk hands out: UTF-8 from the BSTRs, ISO text
// from Automation dates, and the three output formats (CSV, JSON Lines and an
// aligned table).  Kept apart from main.cpp so that the tests can check the
// quoting and escaping directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vesk.h"
#include "walk/walk.h"

namespace vesk::cli {

// UTF-8 from UTF-16 code units; an unpaired surrogate becomes U+FFFD.
std::string utf8_from_utf16(std::u16string_view text);

// A BSTR's text (its length prefix, not a terminator, gives its end); a null
// BSTR is the empty string, as Automation reads it.
std::string bstr_text(BSTR text);

// An Automation date (days since 1899-12-30, the time of day as the fraction,
// which counts forwards from midnight also before 1899-12-30) as
// "YYYY-MM-DDTHH:MM:SS", rounded to the second.  The dates vesk hands out are
// already local time, so no zone is added.  Values outside 0100-01-01 to
// 9999-12-31 (and NaN) are given as the bare number.
std::string automation_date_text(double date);

// One slot of a row, as text.
using Cell = vesk::walk::Cell;

// VT_EMPTY and VT_NULL: Empty; VT_I4: Number; VT_DATE: its ISO text;
// VT_BSTR: UTF-8; any other type: "?vt=N".
Cell cell_from_variant(const VARIANT &value);

// Fills `cell` in place (its text keeps its capacity from row to row).
void set_cell(Cell &cell, const VARIANT &value);

// The eight slots' names in row order.
inline constexpr const char *kSlotNames[8] = {"time", "event",  "type",     "category",
                                              "user", "source", "computer", "message"};

// A row as the tool prints it: the log it came from, the record number, the
// eight slots, and the error text the library latched for it (Empty when
// none).
struct Row {
  std::string log;
  uint32_t record = 0;
  std::vector<Cell> cells;  // eight
  Cell error;
};

// The column names of every format: log, record, the eight slots, error.
std::vector<std::string> column_names();

// One CSV field (RFC 4180): quoted when it holds a comma, a double quote, a
// carriage return or a line feed, with double quotes doubled.
std::string csv_field(std::string_view text);
// One CSV record, CRLF-terminated.
std::string csv_line(const std::vector<std::string> &fields);
std::string csv_header();
std::string csv_row(const Row &row);
void append_csv_row(std::string &out, const Row &row);

// A JSON string literal for UTF-8 text: quote, backslash and every control
// character below 0x20 escaped.
std::string json_string(std::string_view utf8);
// Scans eight bytes at a time and copies the runs between escapes whole.
void append_json_string(std::string &out, std::string_view utf8);
// The same one byte at a time: the reference the fast form must match.
void append_json_string_scalar(std::string &out, std::string_view utf8);
// One JSON object on one line, LF-terminated, with the keys log, record, the
// eight slots and error in that order: empty slots and a row without error
// are null, the event number and the record number are numbers.
std::string json_row(const Row &row);
void append_json_row(std::string &out, const Row &row);

// Columns padded to the widest cell (counted in code points), one line per
// row under a header; line breaks, tabs and other control characters inside a
// cell are shown as spaces so that each row stays on one line.  The last
// column is not padded.
std::string table(const std::vector<Row> &rows);

// An error text made fit for a terminal: trailing line feeds and carriage
// returns dropped, other control characters written as \n, \r, \t or \xNN.
std::string display_text(std::string_view utf8);

}  // namespace vesk::cli
