// Message DLLs written byte by byte: a PE32 file whose one section holds a
// resource tree with one message table (type 11, name 1, English), for
// files the toolchain cannot make: tables of millions of entries, sections
// tens of megabytes long that are holes on disk.
//
//   vesk::tools::MessageDllLayout layout;
//   layout.blocks = {{1000, 1002}};
//   layout.text = [](uint32_t id) { return std::u16string(u"text of ") + ...; };
//   std::string error;
//   vesk::tools::write_message_dll("x.dll", layout, &error);
//
// The table is streamed to the file as it is made, so a table of 60 MB
// costs no more memory than a small one.  This is the one writer of the PE
// and resource layout: msgdllwriter.h's list-of-entries form writes through
// it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace vesk::tools {

struct MessageBlockRange {
  uint32_t low = 0;
  uint32_t high = 0;  // inclusive
};

struct MessageDllLayout {
  std::vector<MessageBlockRange> blocks;
  // The UTF-16 text of message `id`; an empty text makes the smallest entry
  // (4 bytes: a length and flags, no text).  Null: every text empty.
  std::function<std::u16string(uint32_t id)> text;
  // The size the resource section (and the file) is extended to past the
  // table, as a hole: 0 for none.  The section's raw size counts it.
  uint64_t section_size = 0;
  // The table's language in the resource tree.
  uint16_t language = 0x0409;
  // An empty text stored with its terminator (8 bytes), as a message
  // compiler stores it, rather than as the bare 4-byte header.
  bool terminate_empty = false;
};

// Writes the DLL; false with *error when the file cannot be written or the
// section would pass 4 GB.
bool write_message_dll(const std::filesystem::path &file, const MessageDllLayout &layout,
                       std::string *error);

// Writes the DLL to `out` up to the end of the table, padded to the section's
// file alignment; the hole past it (section_size) is the file form's
// business.  False with *error when the section would pass 4 GB or `out`
// fails.
bool write_message_dll(std::ostream &out, const MessageDllLayout &layout,
                       std::string *error);

}  // namespace vesk::tools
