// A PE32 or PE32+ file loaded as data, as LoadLibraryExW with
// LOAD_LIBRARY_AS_DATAFILE loads it: nothing is relocated or run; only the
// section that holds the resource directory is kept, and message tables are
// looked up in it.  Every field is read from the bytes with bounds checks.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/emulated/seam.h"

namespace vesk::emu {

// The largest resource section a data-file load keeps.  Message files are
// small; a larger section is refused rather than read.
constexpr uint64_t kMaxResourceSection = 64u << 20;

// A file's bytes read in place (a read-only mapping, say), kept alive by
// `owner` for as long as a PeFile made from them lives.
struct FileView {
  const uint8_t *bytes = nullptr;
  uint64_t size = 0;
  std::shared_ptr<const void> owner;
};

// Entries between two checkpoints of a message-table block's index.
constexpr uint32_t kCheckpointStride = 64;

// One message of a table: its text, up to the first NUL, in the file's bytes.
struct MessageText {
  const uint8_t *bytes = nullptr;
  size_t length = 0;     // in code units: bytes for ANSI, pairs for UTF-16
  bool unicode = false;  // UTF-16LE; otherwise the ANSI code page
};

// The language choices a look-up falls back on (see find_message).
struct LanguageDefaults {
  uint16_t thread = 0x0409;
  uint16_t user = 0x0409;
  uint16_t system = 0x0409;
};

class PeFile {
 public:
  // Reads the headers and the resource section of `file`.  Null with *code:
  // ERROR_FILE_INVALID for an empty file, ERROR_BAD_EXE_FORMAT for anything
  // that is not a PE32/PE32+ image or whose resource section is over
  // kMaxResourceSection, the read error of the source otherwise.  With a
  // `view` of the same bytes the section is not copied but read in place.
  static std::unique_ptr<PeFile> load(const ByteSource &file, DWORD *code,
                                      const FileView *view = nullptr);

  // The bytes of the heap this file holds: its copied section and its
  // message-table indexes.
  uint64_t heap_bytes() const;

  // Finds message `id` in the message table (type 11, name 1) of language
  // `lang`, with the fallbacks Windows' resource look-up uses.  0, or
  // ERROR_RESOURCE_DATA_NOT_FOUND (no resources, or a damaged tree or
  // table), ERROR_RESOURCE_TYPE_NOT_FOUND, ERROR_RESOURCE_NAME_NOT_FOUND,
  // ERROR_RESOURCE_LANG_NOT_FOUND, ERROR_MR_MID_NOT_FOUND.
  // Unique to this load and never reused: it tells this file's texts from
  // those of a file loaded later at the same addresses.
  uint64_t serial() const { return serial_; }

  DWORD find_message(uint32_t id, uint16_t lang, const LanguageDefaults &defaults,
                     MessageText *out) const;

  bool is_pe32_plus() const { return pe32_plus_; }

 private:
  PeFile() = default;
  // The bytes at resource-directory offset `off`, `n` of them; null when
  // they are not all in the kept section.
  const uint8_t *at_offset(uint64_t off, uint64_t n) const;
  // The same for an RVA.
  const uint8_t *at_rva(uint64_t rva, uint64_t n) const;
  // The sub-directory or leaf of entry `id` in the directory at `dir`.
  // False when the directory is damaged or has no such id; *leaf tells
  // which of the two the entry points to, *target its offset.
  bool find_id(uint32_t dir, uint16_t id, uint32_t *target, bool *leaf) const;
  // The offset of the first id entry's target in the directory at `dir`.
  bool first_id(uint32_t dir, uint32_t *target, bool *leaf) const;
  // The message table for `lang`: 0 with its bytes, or the look-up error.
  DWORD find_table(uint16_t lang, const LanguageDefaults &defaults, const uint8_t **table,
                   uint32_t *size) const;

  // A message table's index, made at the first look-up in it: the table's
  // blocks in a form searched in O(log n), and for each block asked, the
  // offset of every kCheckpointStride-th entry, so that no look-up walks a
  // block from its start.
  struct TableIndex {
    // Blocks in ascending, disjoint order, as the table lists them: then
    // the table's own array is searched by bisection and `segments` stays
    // empty.
    bool ordered = true;
    // Otherwise: disjoint ranges [low, next low) with the first block (in
    // the table's order) that holds them, or none (~0u).
    struct Segment {
      uint32_t low;
      uint32_t block;
    };
    std::vector<Segment> segments;
    // Block start offset -> entry offsets at 0, 64, 128, ... as far as a
    // look-up needed them; extended, never rebuilt.
    struct Chain {
      std::vector<uint32_t> at;
      // The walk met an entry that is not one before checkpoint at.size().
      bool ended = false;
    };
    mutable std::unordered_map<uint32_t, Chain> chains;
    uint64_t bytes = 0;  // heap held by this index
  };
  const TableIndex *table_index(const uint8_t *table, uint32_t size) const;
  DWORD lookup_in_table(const uint8_t *table, uint32_t size, const TableIndex *index,
                        uint32_t id, MessageText *out) const;

  uint64_t serial_ = 0;  // unique to this load, never reused
  bool pe32_plus_ = false;
  bool has_resources_ = false;
  uint32_t resource_rva_ = 0;
  uint32_t section_rva_ = 0;               // RVA of section_data_[0]
  const uint8_t *section_data_ = nullptr;  // the raw data of the resource section
  uint64_t section_size_ = 0;
  std::vector<uint8_t> section_copy_;       // the section when it was read, not viewed
  std::shared_ptr<const void> view_owner_;  // keeps a viewed section alive

  // The table chosen for the languages asked last.
  struct TableChoice {
    bool valid = false;
    uint16_t lang = 0, thread = 0, user = 0, system = 0;
    DWORD code = 0;
    const uint8_t *table = nullptr;
    uint32_t size = 0;
    const TableIndex *index = nullptr;
  };

  mutable std::mutex index_mutex_;
  mutable TableChoice last_choice_;
  // By the table's offset in the section and its size.
  mutable std::unordered_map<uint64_t, std::unique_ptr<TableIndex>> indexes_;
  mutable uint64_t index_bytes_ = 0;
};

}  // namespace vesk::emu
