// A PE32 or PE32+ file loaded as data, as LoadLibraryExW with
// LOAD_LIBRARY_AS_DATAFILE loads it: nothing is relocated or run; only the
// section that holds the resource directory is kept, and message tables are
// looked up in it.  Every field is read from the bytes with bounds checks.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/emulated/seam.h"

namespace vesk::emu {

// The largest resource section a data-file load keeps in memory.  Message
// files are small; a larger section is refused rather than read.
constexpr uint64_t kMaxResourceSection = 64u << 20;

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
  // kMaxResourceSection, the read error of the source otherwise.
  static std::unique_ptr<PeFile> load(const ByteSource &file, DWORD *code);

  // Finds message `id` in the message table (type 11, name 1) of language
  // `lang`, with the fallbacks Windows' resource look-up uses.  0, or
  // ERROR_RESOURCE_DATA_NOT_FOUND (no resources, or a damaged tree or
  // table), ERROR_RESOURCE_TYPE_NOT_FOUND, ERROR_RESOURCE_NAME_NOT_FOUND,
  // ERROR_RESOURCE_LANG_NOT_FOUND, ERROR_MR_MID_NOT_FOUND.
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
  DWORD lookup_in_table(const uint8_t *table, uint32_t size, uint32_t id,
                        MessageText *out) const;

  uint64_t serial_ = 0;  // unique to this load, never reused
  bool pe32_plus_ = false;
  bool has_resources_ = false;
  uint32_t resource_rva_ = 0;
  uint32_t section_rva_ = 0;      // RVA of section_[0]
  std::vector<uint8_t> section_;  // the raw data of the resource section
};

}  // namespace vesk::emu
