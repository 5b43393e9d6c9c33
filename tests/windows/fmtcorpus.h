// A generated corpus of FormatMessageW calls: message texts with every
// escape and insert form, message-table entries, flags, widths 0 and 0xFF,
// argument arrays and va_lists, buffer sizes around the exact fit.  The same
// source builds for Windows, where the system's FormatMessageW formats it,
// and for the emulated platform, so that the two results can be compared
// case by case.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace fmtcorpus {

using wstring = std::basic_string<WCHAR>;

enum class Args { None, Array, List };

struct Case {
  DWORD flags = 0;        // FORMAT_MESSAGE_*; width byte included
  wstring text;           // FROM_STRING: the message text
  int table = -1;         // FROM_HMODULE: index of the message in table()
  bool ansi_dll = false;  // FROM_HMODULE: the table with ANSI entries
  DWORD id = 0;           // FROM_HMODULE: message number asked for
  DWORD lang = 0;         // FROM_HMODULE: language asked for
  Args args = Args::None;
  int argset = 0;  // 0: mixed strings and numbers; 1: numbers only
  int twin = -1;   // a table case: the index of the case that formats its
                   // text as a string with the same flags and arguments
};

// One message of the table the corpus DLLs hold: its number and its lines,
// as written in the .mc source.
struct TableMessage {
  DWORD id;
  std::vector<std::string> lines;  // code page 1252, no line ends
};
const std::vector<TableMessage> &table();

// The message-compiler source of table(): English (0x409) only.
std::string mc_source();

// The text a table entry holds once compiled: each line ended by CR LF.
wstring table_text(const TableMessage &m);

// Every case, in a fixed order.
std::vector<Case> corpus();

// One case formatted with the platform's FormatMessageW; `module` is the
// Unicode DLL of table(), `ansi_module` the ANSI one.  The result is one
// line (without its line end): the call with a large buffer, then, when it
// succeeded with n units, with n + 1 units, n units and
// FORMAT_MESSAGE_ALLOCATE_BUFFER.  Each call as ret,error,"text"; the
// error only where the call failed.
std::string run(const Case &c, HMODULE module, HMODULE ansi_module);

// The case in words, for reports.
std::string describe(const Case &c);

}  // namespace fmtcorpus
