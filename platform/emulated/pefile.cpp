// PE headers, the resource tree and message tables, read from the bytes of a
// file with explicit little-endian readers.  Offsets and counts come from an
// untrusted file: every one is checked against the bytes actually kept
// before it is used, and every walk is bounded by those bytes.
#include "platform/emulated/pefile.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <queue>

#include "platform/emulated/internal.h"
#include "platform/units.h"

namespace vesk::emu {
namespace {

constexpr DWORD kReadFault = 30;  // ERROR_READ_FAULT

constexpr uint16_t kMz = 0x5A4D;
constexpr uint32_t kPe = 0x00004550;
constexpr uint16_t kMagic32 = 0x10B;
constexpr uint16_t kMagic64 = 0x20B;
constexpr uint32_t kFileHeaderBytes = 24;  // signature and file header
constexpr uint32_t kSectionBytes = 40;
constexpr uint32_t kResourceDirectory = 2;  // index in the data directories

constexpr uint16_t kMessageTableType = 11;
constexpr uint16_t kMessageTableName = 1;
constexpr uint32_t kDirectoryBytes = 16;
constexpr uint32_t kEntryBytes = 8;
constexpr uint32_t kDataEntryBytes = 16;
constexpr uint32_t kHighBit = 0x80000000u;

uint16_t u16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t u32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Reads n bytes at off into dst: 0, ERROR_BAD_EXE_FORMAT when the range is
// not in the file, the read fault otherwise.
DWORD read_at(const ByteSource &file, uint64_t off, void *dst, size_t n) {
  uint64_t size = file.size();
  if (off > size || n > size - off) return ERROR_BAD_EXE_FORMAT;
  return file.read(off, dst, n) ? 0 : kReadFault;
}

uint16_t primary(uint16_t lang) { return lang & 0x3FF; }
uint16_t sub(uint16_t lang) { return lang >> 10; }
uint16_t neutral_sub(uint16_t lang) { return primary(lang); }

constexpr uint16_t kSublangSysDefault = 2;
constexpr uint16_t kEnglishUs = 0x0409;

}  // namespace

std::unique_ptr<PeFile> PeFile::load(const ByteSource &file, DWORD *code,
                                     const FileView *view) {
  *code = 0;
  uint64_t size = file.size();
  if (size == 0) {
    *code = ERROR_FILE_INVALID;
    return nullptr;
  }
  uint8_t dos[64];
  if ((*code = read_at(file, 0, dos, sizeof dos)) != 0) return nullptr;
  if (u16(dos) != kMz) {
    *code = ERROR_BAD_EXE_FORMAT;
    return nullptr;
  }
  uint64_t nt = u32(dos + 0x3C);
  uint8_t head[kFileHeaderBytes + 2];
  if ((*code = read_at(file, nt, head, sizeof head)) != 0) return nullptr;
  uint16_t magic = u16(head + kFileHeaderBytes);
  if (u32(head) != kPe || (magic != kMagic32 && magic != kMagic64)) {
    *code = ERROR_BAD_EXE_FORMAT;
    return nullptr;
  }
  uint32_t sections = u16(head + 6);
  uint32_t optional_size = u16(head + 20);
  // The optional header and the section table must lie in the file; this is
  // checked before anything is allocated for them.
  uint64_t table_at = nt + kFileHeaderBytes + optional_size;
  uint64_t table_bytes = uint64_t{sections} * kSectionBytes;
  if (table_at > size || table_bytes > size - table_at) {
    *code = ERROR_BAD_EXE_FORMAT;
    return nullptr;
  }
  std::vector<uint8_t> optional(optional_size);
  if ((*code = read_at(file, nt + kFileHeaderBytes, optional.data(), optional.size())) !=
      0)
    return nullptr;

  static std::atomic<uint64_t> serials{0};
  auto file_ptr = std::unique_ptr<PeFile>(new PeFile());
  PeFile &pe = *file_ptr;
  pe.serial_ = ++serials;
  pe.pe32_plus_ = magic == kMagic64;
  const uint32_t count_at = pe.pe32_plus_ ? 108 : 92;
  const uint32_t dirs_at = count_at + 4;
  const uint32_t res_at = dirs_at + kResourceDirectory * 8;
  uint32_t resource_rva = 0, resource_size = 0;
  if (optional_size >= res_at + 8 &&
      u32(optional.data() + count_at) > kResourceDirectory) {
    resource_rva = u32(optional.data() + res_at);
    resource_size = u32(optional.data() + res_at + 4);
  }
  std::vector<uint8_t> table(static_cast<size_t>(table_bytes));
  if ((*code = read_at(file, table_at, table.data(), table.size())) != 0) return nullptr;
  if (resource_rva == 0 || resource_size == 0) return file_ptr;  // a PE without resources

  // The section that holds the directory, found by RVA; only its raw data
  // exists in a data-file mapping.
  for (uint32_t i = 0; i < sections; ++i) {
    const uint8_t *s = table.data() + i * kSectionBytes;
    uint32_t va = u32(s + 12), raw_size = u32(s + 16), raw_ptr = u32(s + 20);
    if (resource_rva < va || resource_rva - va >= raw_size) continue;
    uint64_t avail = raw_ptr < size ? size - raw_ptr : 0;
    uint64_t keep = std::min<uint64_t>(raw_size, avail);
    if (keep > kMaxResourceSection) {
      *code = ERROR_BAD_EXE_FORMAT;
      return nullptr;
    }
    if (view != nullptr && view->bytes != nullptr && view->size == size) {
      // Read in place: only the pages a look-up touches are ever read.
      pe.section_data_ = keep ? view->bytes + raw_ptr : nullptr;
      pe.view_owner_ = view->owner;
    } else {
      pe.section_copy_.resize(static_cast<size_t>(keep));
      if (keep && !file.read(raw_ptr, pe.section_copy_.data(), pe.section_copy_.size())) {
        *code = kReadFault;
        return nullptr;
      }
      pe.section_data_ = pe.section_copy_.data();
    }
    pe.section_size_ = keep;
    pe.section_rva_ = va;
    pe.resource_rva_ = resource_rva;
    pe.has_resources_ = true;
    break;
  }
  return file_ptr;
}

const uint8_t *PeFile::at_rva(uint64_t rva, uint64_t n) const {
  if (rva < section_rva_) return nullptr;
  uint64_t off = rva - section_rva_;
  if (off > section_size_ || n > section_size_ - off) return nullptr;
  return section_data_ + off;
}

const uint8_t *PeFile::at_offset(uint64_t off, uint64_t n) const {
  return at_rva(static_cast<uint64_t>(resource_rva_) + off, n);
}

bool PeFile::find_id(uint32_t dir, uint16_t id, uint32_t *target, bool *leaf) const {
  const uint8_t *d = at_offset(dir, kDirectoryBytes);
  if (!d) return false;
  uint32_t named = u16(d + 12), ids = u16(d + 14);
  const uint8_t *entries =
      at_offset(dir + uint64_t{kDirectoryBytes}, uint64_t{named + ids} * kEntryBytes);
  if (!entries) return false;
  // Named entries come first; ids follow.  A linear search finds an id
  // whether or not the linker sorted them.
  for (uint32_t i = named; i < named + ids; ++i) {
    const uint8_t *e = entries + i * kEntryBytes;
    uint32_t name = u32(e);
    if ((name & kHighBit) || (name & 0xFFFF) != id || (name >> 16) != 0) continue;
    uint32_t data = u32(e + 4);
    *leaf = !(data & kHighBit);
    *target = data & ~kHighBit;
    return true;
  }
  return false;
}

bool PeFile::first_id(uint32_t dir, uint32_t *target, bool *leaf) const {
  const uint8_t *d = at_offset(dir, kDirectoryBytes);
  if (!d) return false;
  uint32_t named = u16(d + 12), ids = u16(d + 14);
  if (named + ids == 0) return false;
  // Any language at all: the first entry, named or not.
  const uint8_t *e = at_offset(dir + uint64_t{kDirectoryBytes}, kEntryBytes);
  if (!e) return false;
  uint32_t data = u32(e + 4);
  *leaf = !(data & kHighBit);
  *target = data & ~kHighBit;
  return true;
}

DWORD PeFile::find_message(uint32_t id, uint16_t lang, const LanguageDefaults &defaults,
                           MessageText *out) const {
  // The table a thread used last, by the load's serial number (a serial
  // names one live PeFile only, which the caller holds) and the languages.
  struct Last {
    uint64_t serial = 0;
    uint16_t lang = 0, thread = 0, user = 0, system = 0;
    DWORD code = 0;
    const uint8_t *table = nullptr;
    uint32_t size = 0;
    const TableIndex *index = nullptr;  // lives as long as the PeFile
  };
  thread_local Last last;
  if (last.serial != serial_ || last.lang != lang || last.thread != defaults.thread ||
      last.user != defaults.user || last.system != defaults.system) {
    last = {serial_, lang, defaults.thread, defaults.user, defaults.system};
    // The file keeps the answer for the languages last asked too, so that a
    // source whose files are tried in turn does not walk each one's
    // resource tree again on every call.
    bool known = false;
    {
      std::lock_guard<std::mutex> lock(index_mutex_);
      const TableChoice &c = last_choice_;
      if (c.valid && c.lang == lang && c.thread == defaults.thread &&
          c.user == defaults.user && c.system == defaults.system) {
        last.code = c.code;
        last.table = c.table;
        last.size = c.size;
        last.index = c.index;
        known = true;
      }
    }
    if (!known) {
      last.code = find_table(lang, defaults, &last.table, &last.size);
      if (last.code == 0) last.index = table_index(last.table, last.size);
      std::lock_guard<std::mutex> lock(index_mutex_);
      last_choice_ = {
          true,      lang,       defaults.thread, defaults.user, defaults.system,
          last.code, last.table, last.size,       last.index};
    }
  }
  if (last.code != 0) return last.code;
  // The texts this thread found last, by the load, the table and the
  // number: a walk asks the same few hundred numbers again and again.
  struct Found {
    uint64_t serial = 0;  // 0: nothing kept here
    const uint8_t *table = nullptr;
    uint32_t id = 0;
    MessageText text;
  };
  thread_local Found found[1024];
  const uint64_t key = (reinterpret_cast<uintptr_t>(last.table) >> 2) ^ id;
  Found &f = found[(key * 0x9E3779B97F4A7C15ULL) >> 54];
  if (f.serial == serial_ && f.table == last.table && f.id == id) {
    *out = f.text;
    return 0;
  }
  const DWORD code = lookup_in_table(last.table, last.size, last.index, id, out);
  if (code == 0) f = {serial_, last.table, id, *out};
  return code;
}

uint64_t PeFile::heap_bytes() const {
  std::lock_guard<std::mutex> lock(index_mutex_);
  return section_copy_.capacity() + index_bytes_;
}

const PeFile::TableIndex *PeFile::table_index(const uint8_t *table, uint32_t size) const {
  const uint64_t key = static_cast<uint64_t>(table - section_data_) << 32 | size;
  std::lock_guard<std::mutex> lock(index_mutex_);
  auto &slot = indexes_[key];
  if (slot) return slot.get();
  slot = std::make_unique<TableIndex>();
  TableIndex &index = *slot;
  // A table whose block count does not fit fails every look-up before the
  // index is used.
  if (size < 4 || u32(table) > (size - 4) / 12) return slot.get();
  const uint32_t blocks = u32(table);
  auto low_of = [&](uint32_t b) { return u32(table + 4 + b * 12); };
  auto high_of = [&](uint32_t b) { return u32(table + 4 + b * 12 + 4); };
  for (uint32_t b = 0; b < blocks && index.ordered; ++b)
    index.ordered = low_of(b) <= high_of(b) && (b == 0 || low_of(b) > high_of(b - 1));
  if (!index.ordered) {
    // The first block in the table's order wins where blocks overlap, as a
    // walk over them finds it: a sweep over the blocks' bounds keeps the
    // lowest block number among those that cover each stretch.
    std::vector<uint32_t> by_low;
    for (uint32_t b = 0; b < blocks; ++b)
      if (low_of(b) <= high_of(b)) by_low.push_back(b);
    std::sort(by_low.begin(), by_low.end(), [&](uint32_t a, uint32_t b) {
      return low_of(a) != low_of(b) ? low_of(a) < low_of(b) : a < b;
    });
    std::vector<uint64_t> bounds;
    bounds.reserve(by_low.size() * 2);
    for (uint32_t b : by_low) {
      bounds.push_back(low_of(b));
      bounds.push_back(uint64_t{high_of(b)} + 1);
    }
    std::sort(bounds.begin(), bounds.end());
    bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
    std::priority_queue<uint32_t, std::vector<uint32_t>, std::greater<uint32_t>> active;
    size_t next = 0;
    for (uint64_t at : bounds) {
      if (at > 0xFFFFFFFFu) break;
      while (next < by_low.size() && low_of(by_low[next]) == at)
        active.push(by_low[next++]);
      while (!active.empty() && high_of(active.top()) < at) active.pop();
      uint32_t winner = active.empty() ? ~0u : active.top();
      if (index.segments.empty() || index.segments.back().block != winner)
        index.segments.push_back({static_cast<uint32_t>(at), winner});
    }
    index.segments.shrink_to_fit();
    index.bytes += index.segments.capacity() * sizeof(TableIndex::Segment);
  }
  index_bytes_ += sizeof(TableIndex) + index.bytes;
  return slot.get();
}

DWORD PeFile::find_table(uint16_t lang, const LanguageDefaults &defaults,
                         const uint8_t **table_out, uint32_t *size_out) const {
  if (!has_resources_) return ERROR_RESOURCE_DATA_NOT_FOUND;
  if (!at_offset(0, kDirectoryBytes)) return ERROR_RESOURCE_DATA_NOT_FOUND;
  uint32_t types = 0, names = 0;
  bool leaf = false;
  // Three levels, each a directory: type, name, language.  A level that
  // points to a leaf (or a language that points to a directory) is damaged
  // and counts as absent, which also rules out any cycle.
  if (!find_id(0, kMessageTableType, &types, &leaf) || leaf)
    return ERROR_RESOURCE_TYPE_NOT_FOUND;
  if (!find_id(types, kMessageTableName, &names, &leaf) || leaf)
    return ERROR_RESOURCE_NAME_NOT_FOUND;

  // The candidate languages, in the order Windows' resource look-up tries
  // them; the first one present wins.
  std::array<uint16_t, 10> tried{};
  size_t count = 0;
  auto add = [&](uint16_t l) {
    for (size_t i = 0; i < count; ++i)
      if (tried[i] == l) return;
    tried[count++] = l;
  };
  add(lang);
  add(neutral_sub(lang));
  add(0);
  bool any = primary(lang) == 0;
  if (any) {
    if (sub(lang) != kSublangSysDefault) {
      add(defaults.thread);
      add(defaults.user);
      add(neutral_sub(defaults.user));
    }
    add(defaults.system);
    add(neutral_sub(defaults.system));
    add(kEnglishUs);
  }
  uint32_t data = 0;
  bool found = false;
  for (size_t i = 0; i < count && !found; ++i)
    found = find_id(names, tried[i], &data, &leaf);
  if (!found && any) found = first_id(names, &data, &leaf);
  if (!found || !leaf) return ERROR_RESOURCE_LANG_NOT_FOUND;

  const uint8_t *entry = at_offset(data, kDataEntryBytes);
  if (!entry) return ERROR_RESOURCE_DATA_NOT_FOUND;
  uint32_t size = u32(entry + 4);
  const uint8_t *table = at_rva(u32(entry), size);
  if (!table) return ERROR_RESOURCE_DATA_NOT_FOUND;
  *table_out = table;
  *size_out = size;
  return 0;
}

DWORD PeFile::lookup_in_table(const uint8_t *table, uint32_t size,
                              const TableIndex *index, uint32_t id,
                              MessageText *out) const {
  if (size < 4) return ERROR_RESOURCE_DATA_NOT_FOUND;
  uint32_t blocks = u32(table);
  if (blocks > (size - 4) / 12) return ERROR_RESOURCE_DATA_NOT_FOUND;
  // The block that holds `id`: by bisection over the table's own blocks when
  // they are in order, else through the index's segments.
  const uint8_t *block = nullptr;
  if (index->ordered) {
    uint32_t lo = 0, hi = blocks;  // the first block whose low is above id
    while (lo < hi) {
      uint32_t mid = lo + (hi - lo) / 2;
      if (u32(table + 4 + mid * 12) <= id)
        lo = mid + 1;
      else
        hi = mid;
    }
    if (lo == 0) return ERROR_MR_MID_NOT_FOUND;
    block = table + 4 + (lo - 1) * 12;
    if (id > u32(block + 4)) return ERROR_MR_MID_NOT_FOUND;
  } else {
    const auto &segments = index->segments;
    auto it = std::upper_bound(
        segments.begin(), segments.end(), id,
        [](uint32_t v, const TableIndex::Segment &s) { return v < s.low; });
    if (it == segments.begin() || std::prev(it)->block == ~0u)
      return ERROR_MR_MID_NOT_FOUND;
    block = table + 4 + std::prev(it)->block * 12;
  }
  const uint32_t skip = id - u32(block);
  const uint32_t start = u32(block + 8);

  // Entries follow one another, each as long as its own length says; every
  // step of a walk stays within the table's bytes whatever the lengths are.
  // The length of the entry at `at`, or 0 when it is not an entry.
  auto entry_length = [&](uint64_t at) -> uint32_t {
    if (at > size || size - at < 4) return 0;
    uint32_t length = u16(table + at);
    if (length < 4 || length > size - at) return 0;
    return length;
  };
  uint64_t at = 0;
  {
    // The checkpoint at or below the entry, walked to on first need.
    std::lock_guard<std::mutex> lock(index_mutex_);
    auto &chain = index->chains[start];
    if (chain.at.empty()) {
      chain.at.push_back(start);
      index_bytes_ += 64;  // the map's node, about
    }
    const size_t need = skip / kCheckpointStride;
    while (chain.at.size() <= need && !chain.ended) {
      uint64_t walk = chain.at.back();
      for (uint32_t i = 0; i < kCheckpointStride && !chain.ended;) {
        uint32_t length = entry_length(walk);
        if (length == 0) {
          chain.ended = true;
          break;
        }
        // Entries of one length often follow one another (a table of
        // short texts, or of none): when the next eight are all as long as
        // this one, step over them at once.  Their lengths are read side by
        // side rather than each after the one before it.
        if (kCheckpointStride - i >= 8 && walk + 8 * uint64_t{length} <= size) {
          bool same = true;
          for (uint32_t k = 1; k < 8; ++k)
            same &= u16(table + walk + k * length) == length;
          if (same) {
            walk += 8 * uint64_t{length};
            i += 8;
            continue;
          }
        }
        walk += length;
        ++i;
      }
      if (!chain.ended) {
        size_t before = chain.at.capacity();
        chain.at.push_back(static_cast<uint32_t>(walk));
        index_bytes_ += (chain.at.capacity() - before) * sizeof(uint32_t);
      }
    }
    if (chain.at.size() <= need) return ERROR_RESOURCE_DATA_NOT_FOUND;
    at = chain.at[need];
  }
  for (uint32_t left = skip % kCheckpointStride;; --left) {
    uint32_t length = entry_length(at);
    if (length == 0) return ERROR_RESOURCE_DATA_NOT_FOUND;
    if (left == 0) {
      const uint8_t *text = table + at + 4;
      size_t bytes = length - 4;
      out->bytes = text;
      out->unicode = u16(table + at + 2) & 1;
      size_t n = 0;
      if (out->unicode) {
        n = units::Find(text, bytes / 2, [](auto c) { return c == 0; });
      } else {
        while (n < bytes && text[n] != 0) ++n;
      }
      out->length = n;
      return 0;
    }
    at += length;
  }
}

}  // namespace vesk::emu
