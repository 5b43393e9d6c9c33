// Resource-only message DLLs with a message table, laid out as a linker
// lays out a resource-only PE32 file.
#include "msgdllwriter.h"

#include <algorithm>
#include <cstring>

namespace vesk::tools {
namespace {

constexpr uint32_t kSectionRva = 0x1000;
constexpr uint32_t kSectionFile = 0x200;    // headers fill the first 0x200 bytes
constexpr uint32_t kMessageTableType = 11;  // RT_MESSAGETABLE

void Put16(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  Put16(b, at, v & 0xFFFF);
  Put16(b, at + 2, v >> 16);
}

// MESSAGE_RESOURCE_DATA: the blocks, then each block's entries (length,
// flags 1 for UTF-16, the text with its terminator, padded to 4 bytes).
std::vector<uint8_t> Table(const std::vector<MessageEntry> &sorted) {
  std::vector<std::pair<size_t, size_t>> blocks;  // [first, last] entries
  for (size_t i = 0; i < sorted.size(); ++i) {
    if (!blocks.empty() && sorted[i].id == sorted[blocks.back().second].id + 1)
      blocks.back().second = i;
    else
      blocks.push_back({i, i});
  }
  std::vector<uint8_t> t;
  Put32(t, 0, static_cast<uint32_t>(blocks.size()));
  size_t at = 4 + 12 * blocks.size();
  for (size_t b = 0; b < blocks.size(); ++b) {
    Put32(t, 4 + 12 * b, sorted[blocks[b].first].id);
    Put32(t, 8 + 12 * b, sorted[blocks[b].second].id);
    Put32(t, 12 + 12 * b, static_cast<uint32_t>(at));
    for (size_t e = blocks[b].first; e <= blocks[b].second; ++e) {
      const std::u16string &text = sorted[e].text;
      const size_t length = (4 + 2 * (text.size() + 1) + 3) & ~size_t{3};
      t.resize(std::max(t.size(), at + length));
      Put16(t, at, static_cast<uint32_t>(length));
      Put16(t, at + 2, 1);
      for (size_t i = 0; i < text.size(); ++i) Put16(t, at + 4 + 2 * i, text[i]);
      at += length;
    }
  }
  return t;
}

// The resource section: root (type 11), type directory (name 1), name
// directory (the language), one data entry, the table.
std::vector<uint8_t> Resources(const std::vector<uint8_t> &table, uint16_t language) {
  std::vector<uint8_t> r;
  Put16(r, 14, 1);
  Put32(r, 16, kMessageTableType);
  Put32(r, 20, 0x80000018);
  Put16(r, 0x18 + 14, 1);
  Put32(r, 0x18 + 16, 1);
  Put32(r, 0x18 + 20, 0x80000030);
  Put16(r, 0x30 + 14, 1);
  Put32(r, 0x40, language);
  Put32(r, 0x44, 0x48);
  constexpr uint32_t kData = 0x58;
  Put32(r, 0x48, kSectionRva + kData);
  Put32(r, 0x4C, static_cast<uint32_t>(table.size()));
  r.resize(kData);
  r.insert(r.end(), table.begin(), table.end());
  r.resize((r.size() + 0x1FF) & ~size_t{0x1FF});
  return r;
}

}  // namespace

std::vector<uint8_t> write_message_dll(std::vector<MessageEntry> entries,
                                       uint16_t language) {
  std::stable_sort(
      entries.begin(), entries.end(),
      [](const MessageEntry &a, const MessageEntry &b) { return a.id < b.id; });
  const std::vector<uint8_t> rsrc = Resources(Table(entries), language);
  std::vector<uint8_t> f(kSectionFile, 0);
  f[0] = 'M';
  f[1] = 'Z';
  Put32(f, 0x3C, 0x40);
  Put32(f, 0x40, 0x00004550);  // "PE\0\0"
  Put16(f, 0x44, 0x14C);       // i386
  Put16(f, 0x46, 1);           // one section
  Put16(f, 0x54, 0xE0);        // optional header size
  Put16(f, 0x56, 0x2102);      // executable image, 32-bit, DLL
  const size_t opt = 0x58;
  Put16(f, opt, 0x10B);              // PE32
  Put32(f, opt + 32, 0x1000);        // SectionAlignment
  Put32(f, opt + 36, kSectionFile);  // FileAlignment
  Put32(f, opt + 56, kSectionRva + static_cast<uint32_t>(rsrc.size()));  // SizeOfImage
  Put32(f, opt + 60, kSectionFile);                                      // SizeOfHeaders
  Put32(f, opt + 92, 16);                // data directories
  Put32(f, opt + 96 + 16, kSectionRva);  // the resource directory
  Put32(f, opt + 96 + 20, static_cast<uint32_t>(rsrc.size()));
  const size_t sec = opt + 0xE0;
  std::memcpy(&f[sec], ".rsrc", 5);
  Put32(f, sec + 8, static_cast<uint32_t>(rsrc.size()));
  Put32(f, sec + 12, kSectionRva);
  Put32(f, sec + 16, static_cast<uint32_t>(rsrc.size()));
  Put32(f, sec + 20, kSectionFile);
  Put32(f, sec + 36, 0x40000040);  // initialised data, readable
  f.insert(f.end(), rsrc.begin(), rsrc.end());
  return f;
}

}  // namespace vesk::tools
