// Writes resource-only message DLLs: a PE32 file whose one section holds a
// message table (resource type 11, name 1) in one language, its entries in
// UTF-16.  Tests, fuzz targets and benchmarks make message files of any
// content with it, without the toolchain's message compiler.
//
//   auto dll = vesk::tools::write_message_dll({{1, u"Startup"},
//                                              {0x40000001, u"%1 started.\r\n"}});
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vesk::tools {

struct MessageEntry {
  uint32_t id = 0;
  std::u16string text;  // as stored: a message compiler ends each with CR LF
};

// The bytes of the DLL; the entries in any order (they are sorted by id, one
// block per run of consecutive ids).  `language` is the table's language.
std::vector<uint8_t> write_message_dll(std::vector<MessageEntry> entries,
                                       uint16_t language = 0x0409);

}  // namespace vesk::tools
