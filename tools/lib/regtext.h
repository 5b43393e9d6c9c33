// .reg text (as regedit exports and imports it) applied to a RegNode tree, so
// that tests and the sample system can describe registries as text:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SYSTEM\Select]
//   "Current"=dword:00000001
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion]
//   "SystemRoot"="C:\\WINDOWS"
//   "Path"=hex(2):25,00,53,00,00,00
//
// The tree's children are the root keys (HKEY_LOCAL_MACHINE, HKEY_USERS,
// ...), spelled in full as regedit requires.  Accepted: the header line
// "REGEDIT4" or "Windows Registry Editor Version 5.00"; key lines [path] and
// [-path] (deletes the subtree); value lines "name"= or @= followed by
// "text" (REG_SZ with its terminator), dword:1-8 hex digits, hex:bytes
// (REG_BINARY), hex(N):bytes (type N in hex), - (deletes the value), and
// str(N):"text" (type N holding the text with its terminator, a convenience
// for readable REG_EXPAND_SZ); escapes \\ \" \n \r \0 in quoted text; hex
// data continued over lines ending in '\'; comment lines starting with ';'.
//
// Hex data is stored byte for byte.  Unlike regedit, which appends a missing
// terminator to string types, nothing is added, so that values stored
// without one can be described.  In a REGEDIT4 file the hex data of string
// types (1, 2, 7) is ANSI text (code page 1252) and is widened to UTF-16, one
// unit per byte, as regedit does.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "hivewriter.h"

namespace vesk::tools {

// Applies decoded .reg text.  False with *error ("line N: ...") on malformed
// input; `registry` may then hold the lines before the bad one.
bool parse_reg_text(std::u16string_view text, RegNode *registry, std::string *error);

// Applies the bytes of a .reg file: UTF-16LE after a byte order mark, UTF-8
// after one, a REGEDIT4 file as code page 1252, anything else as UTF-8.
bool parse_reg(std::string_view bytes, RegNode *registry, std::string *error);

bool parse_reg_file(const std::filesystem::path &file, RegNode *registry,
                    std::string *error);

}  // namespace vesk::tools
