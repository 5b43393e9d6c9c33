// Message DLLs written byte by byte (see pewriter.h).
#include "pewriter.h"

#include <algorithm>
#include <cstring>
#include <fstream>

namespace vesk::tools {
namespace {

constexpr uint32_t kSectionRva = 0x1000;
constexpr uint32_t kSectionFile = 0x200;
// Root, type and name directories with one entry each, a language directory
// with one, and the data entry: the table starts at 0x60 in the section.
constexpr uint32_t kTableOffset = 0x60;

void put16(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  put16(b, at, v & 0xFFFF);
  put16(b, at + 2, v >> 16);
}

// The stored length of an entry with `units` UTF-16 units of text: a 4-byte
// header, the text and its terminator, rounded up to 4 bytes; just the
// header for no text unless `terminate_empty`.
uint64_t entry_bytes(size_t units, bool terminate_empty) {
  if (units == 0 && !terminate_empty) return 4;
  return (4 + (units + 1) * 2 + 3) & ~uint64_t{3};
}

// The section's size: what it holds, aligned to the file alignment, or the
// layout's size when that is larger.
uint64_t section_bytes(const MessageDllLayout &layout, uint64_t used) {
  return std::max<uint64_t>(layout.section_size, (used + 0x1FF) & ~0x1FFull);
}

}  // namespace

bool write_message_dll(std::ostream &out, const MessageDllLayout &layout,
                       std::string *error) {
  auto text_of = [&](uint32_t id) {
    return layout.text ? layout.text(id) : std::u16string();
  };
  // First pass: the table's size, so the headers can be written first.
  const uint64_t nblocks = layout.blocks.size();
  uint64_t table = 4 + 12 * nblocks;
  std::vector<uint32_t> block_at;
  for (const auto &b : layout.blocks) {
    block_at.push_back(static_cast<uint32_t>(table));
    for (uint64_t id = b.low; id <= b.high; ++id)
      table +=
          entry_bytes(text_of(static_cast<uint32_t>(id)).size(), layout.terminate_empty);
  }
  const uint64_t used = kTableOffset + table;
  const uint64_t section = section_bytes(layout, used);
  if (section > 0xFFFFFFFFull - kSectionRva || table > 0xFFFFFFFFull) {
    *error = "the section would pass 4 GB";
    return false;
  }

  std::vector<uint8_t> head(kSectionFile, 0);
  head[0] = 'M', head[1] = 'Z';
  put32(head, 0x3C, 0x40);
  put32(head, 0x40, 0x00004550);
  put16(head, 0x44, 0x14C);
  put16(head, 0x46, 1);       // one section
  put16(head, 0x54, 0xE0);    // optional header size
  put16(head, 0x56, 0x2102);  // executable image, 32-bit, DLL
  const size_t opt = 0x58;
  put16(head, opt, 0x10B);              // PE32
  put32(head, opt + 32, 0x1000);        // SectionAlignment
  put32(head, opt + 36, kSectionFile);  // FileAlignment
  put32(head, opt + 56, static_cast<uint32_t>(kSectionRva + section));  // SizeOfImage
  put32(head, opt + 60, kSectionFile);                                  // SizeOfHeaders
  put32(head, opt + 92, 16);  // data directories
  put32(head, opt + 96 + 16, kSectionRva);
  put32(head, opt + 96 + 20, static_cast<uint32_t>(used));
  const size_t sec = opt + 0xE0;
  std::memcpy(&head[sec], ".rsrc", 5);
  put32(head, sec + 8, static_cast<uint32_t>(section));
  put32(head, sec + 12, kSectionRva);
  put32(head, sec + 16, static_cast<uint32_t>(section));
  put32(head, sec + 20, kSectionFile);
  put32(head, sec + 36, 0x40000040);  // initialised data, readable

  // The resource tree: root -> type 11 -> name 1 -> language 0x409 -> data.
  std::vector<uint8_t> tree(kTableOffset, 0);
  put16(tree, 0x00 + 14, 1);
  put32(tree, 0x00 + 16, 11);
  put32(tree, 0x00 + 20, 0x80000018);
  put16(tree, 0x18 + 14, 1);
  put32(tree, 0x18 + 16, 1);
  put32(tree, 0x18 + 20, 0x80000030);
  put16(tree, 0x30 + 14, 1);
  put32(tree, 0x30 + 16, layout.language);
  put32(tree, 0x30 + 20, 0x48);  // a leaf: the data entry
  put32(tree, 0x48, kSectionRva + kTableOffset);
  put32(tree, 0x48 + 4, static_cast<uint32_t>(table));

  out.write(reinterpret_cast<const char *>(head.data()), head.size());
  out.write(reinterpret_cast<const char *>(tree.data()), tree.size());
  std::vector<uint8_t> buf;
  put32(buf, 0, static_cast<uint32_t>(nblocks));
  for (size_t i = 0; i < layout.blocks.size(); ++i) {
    put32(buf, 4 + 12 * i, layout.blocks[i].low);
    put32(buf, 8 + 12 * i, layout.blocks[i].high);
    put32(buf, 12 + 12 * i, block_at[i]);
  }
  out.write(reinterpret_cast<const char *>(buf.data()), buf.size());
  for (const auto &b : layout.blocks) {
    for (uint64_t id = b.low; id <= b.high; ++id) {
      std::u16string t = text_of(static_cast<uint32_t>(id));
      const uint64_t length = entry_bytes(t.size(), layout.terminate_empty);
      buf.assign(length, 0);
      put16(buf, 0, static_cast<uint32_t>(length));
      put16(buf, 2, 1);  // UTF-16
      for (size_t i = 0; i < t.size(); ++i) put16(buf, 4 + 2 * i, t[i]);
      out.write(reinterpret_cast<const char *>(buf.data()), buf.size());
    }
  }
  // Zeros to the file alignment; a larger section_size is left to the
  // file form, as a hole.
  const uint64_t padded = (used + 0x1FF) & ~0x1FFull;
  static const char kZeros[0x200] = {};
  out.write(kZeros, static_cast<std::streamsize>(padded - used));
  if (!out) {
    *error = "cannot write";
    return false;
  }
  return true;
}

bool write_message_dll(const std::filesystem::path &file, const MessageDllLayout &layout,
                       std::string *error) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!out) {
    *error = file.string() + ": cannot create";
    return false;
  }
  if (!write_message_dll(out, layout, error)) {
    *error = file.string() + ": " + *error;
    return false;
  }
  out.close();
  if (!out) {
    *error = file.string() + ": cannot write";
    return false;
  }
  // The rest of the section as a hole.
  const uint64_t size = static_cast<uint64_t>(std::filesystem::file_size(file));
  const uint64_t want =
      kSectionFile + std::max<uint64_t>(layout.section_size, size - kSectionFile);
  std::error_code ec;
  std::filesystem::resize_file(file, want, ec);
  if (ec) {
    *error = file.string() + ": " + ec.message();
    return false;
  }
  return true;
}

}  // namespace vesk::tools
