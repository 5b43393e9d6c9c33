// Message files: LoadLibraryExW as a data file, FreeLibrary, FormatMessageW.
//
// A data-file load maps a host file read-only and reads its resource
// section in place, so only the pages a look-up touches are ever read and a
// sparse file's holes cost nothing.  Each real file (its device and inode,
// whatever path named it) is mapped once per process and shared by every
// handle that loads it; the mapping goes with the last FreeLibrary.  What
// the loader holds is charged against a process-wide budget (see seam.h).
// Each load hands out an opaque handle of its own (bit 0 set, as Windows
// marks data-file mappings) that stays valid until FreeLibrary.  Paths resolve as Windows
// resolves them: "C:\..." on the local computer, "\\NAME\X$\..." on drive X
// of computer NAME, a name without a drive or share through the local
// system32 folder and then the Windows folder; ".dll" is added to a name
// without an extension.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>
#include <vector>

#include "platform/emulated/handles.h"
#include "platform/emulated/internal.h"
#include "platform/emulated/msgformat.h"
#include "platform/emulated/pefile.h"

namespace vesk::emu {
namespace {

// What makes two loads the same file: a host file's device and inode, or
// the in-memory source itself (kept alive by its load, so that its address
// is not reused while the load lives).
struct FileKey {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileKey &) const = default;
};
struct FileKeyHash {
  size_t operator()(const FileKey &k) const {
    return std::hash<uint64_t>()(k.device * 0x9E3779B97F4A7C15ull ^ k.inode);
  }
};
constexpr uint64_t kMemoryDevice = ~uint64_t{0};

struct Modules {
  // The live handles; each has bit 0 set, as a data-file load's has.
  detail::HandleTable<std::shared_ptr<const PeFile>> handles{0x6D100001, 0x10,
                                                             detail::LiveKind::Module};
  // Guards the table of files below.
  std::mutex mutex;
  // The loaded files, shared while any handle holds them.  Entries of files
  // released since are swept out when the table has doubled.
  std::unordered_map<FileKey, std::weak_ptr<const PeFile>, FileKeyHash> files;
  size_t sweep_at = 64;
  // Bytes charged against the budget by the live files.
  std::atomic<uint64_t> charged{0};
  std::atomic<uint64_t> budget{kDefaultModuleBudget};
};

Modules &modules() {
  static Modules m;
  return m;
}

std::shared_ptr<const PeFile> find_module(HMODULE h) {
  std::shared_ptr<const PeFile> pe;
  modules().handles.find(reinterpret_cast<uintptr_t>(h), &pe);
  return pe;
}

// The file behind a module handle, by the handles this thread asked last:
// a walk formats from the same few handles again and again.  An answer
// stands while no handle has been freed since; the table keeps the file
// alive while its handle is live.  Null for a handle that is not live.
const PeFile *module_file(HMODULE h) {
  struct Known {
    uintptr_t value = 0;
    uint64_t removals = 0;
    const PeFile *file = nullptr;
  };
  thread_local Known known[16];
  const auto value = reinterpret_cast<uintptr_t>(h);
  Known &k = known[(value * 0x9E3779B97F4A7C15ULL) >> 60];
  const uint64_t removals = modules().handles.removals();
  if (k.file != nullptr && k.value == value && k.removals == removals) return k.file;
  std::shared_ptr<const PeFile> pe = find_module(h);
  if (!pe) return nullptr;
  k = {value, removals, pe.get()};
  return pe.get();
}

bool is_separator(char16_t c) { return c == u'\\' || c == u'/'; }

// The local computer's Windows folder, from SystemRoot in its registry.
std::u16string system_root(const Computer &computer) {
  std::shared_ptr<RegKey> key = computer.hklm();
  for (auto part : {u"SOFTWARE", u"Microsoft", u"Windows NT", u"CurrentVersion"})
    if (key) key = key->child(part);
  std::u16string root;
  if (auto v = key ? key->value(u"SystemRoot") : std::nullopt;
      v && (v->type == REG_SZ || v->type == REG_EXPAND_SZ)) {
    for (size_t i = 0; i + 1 < v->data.size(); i += 2) {
      char16_t c = static_cast<char16_t>(v->data[i] | v->data[i + 1] << 8);
      if (c == 0) break;
      root.push_back(c);
    }
  }
  while (!root.empty() && is_separator(root.back())) root.pop_back();
  return root.size() >= 2 && root[1] == u':' ? root : u"C:\\WINDOWS";
}

// ".dll" for a last component without an extension; a trailing '.' says
// the name has none and is dropped.
std::u16string with_extension(std::u16string_view path) {
  size_t base = path.size();
  while (base > 0 && !is_separator(path[base - 1])) --base;
  std::u16string out(path);
  std::u16string_view name = path.substr(base);
  if (!name.empty() && name.back() == u'.')
    out.pop_back();
  else if (name.find(u'.') == std::u16string_view::npos)
    out += u".dll";
  return out;
}

struct Place {
  std::shared_ptr<Computer> computer;
  std::u16string path;  // on that computer: "X:\..."
};

// The places `name` may be at, in the order they are tried; 0 or the error
// that ends the load before any file is looked at.
DWORD places_of(std::u16string_view name, std::vector<Place> *out) {
  if (name.size() >= 4 && name.substr(0, 4) == u"\\\\?\\") name.remove_prefix(4);
  if (name.size() >= 2 && is_separator(name[0]) && is_separator(name[1])) {
    // \\NAME\X$\rest: drive X of computer NAME.
    std::u16string_view rest = name.substr(2);
    size_t end = 0;
    while (end < rest.size() && !is_separator(rest[end])) ++end;
    std::u16string server(rest.substr(0, end));
    rest.remove_prefix(end);
    while (!rest.empty() && is_separator(rest.front())) rest.remove_prefix(1);
    auto computer = find_computer(server.c_str(), nullptr);
    if (server.empty() || !computer) return ERROR_BAD_NETPATH;
    end = 0;
    while (end < rest.size() && !is_separator(rest[end])) ++end;
    std::u16string_view share = rest.substr(0, end);
    char16_t letter = share.size() == 2 ? upcase(share[0]) : 0;
    // The redirector answers for a share the server does not have, the
    // administrative share of a drive it lacks included.
    if (share.size() != 2 || share[1] != u'$' || letter < u'A' || letter > u'Z' ||
        !computer->has_drive(letter))
      return ERROR_BAD_NET_NAME;
    std::u16string path{letter, u':', u'\\'};
    path += rest.substr(end);
    out->push_back({computer, with_extension(path)});
    return 0;
  }
  auto here = local();
  if (name.size() >= 2 && name[1] == u':') {
    std::u16string path(name.substr(0, 2));
    path += u'\\';
    path += name.substr(2);
    out->push_back({here, with_extension(path)});
    return 0;
  }
  std::u16string root = system_root(*here);
  if (!name.empty() && is_separator(name[0])) {
    // Rooted: on the drive of the Windows folder.
    out->push_back({here, with_extension(root.substr(0, 2) + std::u16string(name))});
    return 0;
  }
  // A bare name, or a relative path: the system folder, then the Windows
  // folder.
  std::u16string rel = with_extension(name);
  out->push_back({here, root + u"\\system32\\" + rel});
  out->push_back({here, root + u"\\" + rel});
  return 0;
}

constexpr DWORD kDataFileFlags = LOAD_LIBRARY_AS_DATAFILE |
                                 LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE |
                                 LOAD_LIBRARY_AS_IMAGE_RESOURCE;
// Every flag LoadLibraryExW knows: 0x1 (DONT_RESOLVE_DLL_REFERENCES), the
// data-file flags, 0x8 (LOAD_WITH_ALTERED_SEARCH_PATH), 0x10
// (LOAD_IGNORE_CODE_AUTHZ_LEVEL), 0x80 (LOAD_LIBRARY_REQUIRE_SIGNED_TARGET)
// and the search-path flags 0x100 to 0x4000.  Any other bit fails the load
// with ERROR_INVALID_PARAMETER.
constexpr DWORD kKnownLoadFlags = 0x7FFB;

// The message text of a table entry as UTF-16, in a buffer of the calling
// thread that only ever grows.
const WCHAR *decode(const MessageText &m) {
  // UTF-16LE text at an even address is read where it lies; the formatter
  // reads no further than its length.
  if (m.unicode && std::endian::native == std::endian::little &&
      reinterpret_cast<uintptr_t>(m.bytes) % alignof(WCHAR) == 0)
    return reinterpret_cast<const WCHAR *>(m.bytes);
  thread_local std::vector<WCHAR> text;
  if (text.size() < m.length + 1) text.resize(m.length + 1);
  if (m.unicode && std::endian::native == std::endian::little)
    std::memcpy(text.data(), m.bytes, m.length * sizeof(WCHAR));
  else if (m.unicode)
    for (size_t i = 0; i < m.length; ++i)
      text[i] = static_cast<WCHAR>(m.bytes[2 * i] | m.bytes[2 * i + 1] << 8);
  else
    for (size_t i = 0; i < m.length; ++i) text[i] = detail::ansi_to_unicode(m.bytes[i]);
  text[m.length] = 0;
  return text.data();
}

// The plan of a module's message text, for the texts this thread formats
// again and again: a text is planned the second time it is asked in a row of
// the same slot, so that texts asked once (a log of many distinct numbers)
// are never planned for nothing.  Null when the text is formatted directly.
const MessagePlan *plan_for(const PeFile &pe, const MessageText &m, unsigned width,
                            bool ignore, const WCHAR *text, size_t length) {
  struct Slot {
    uint64_t serial = 0;  // 0: empty
    const uint8_t *bytes = nullptr;
    size_t length = 0;
    unsigned mode = 0;  // width byte, IGNORE_INSERTS, UTF-16
    enum State : uint8_t { kSeen, kPlanned, kUnplanned } state = kSeen;
    MessagePlan plan;
  };
  constexpr size_t kSlots = 1024;
  thread_local std::unique_ptr<Slot[]> slots;
  if (!slots) {
    slots.reset(new (std::nothrow) Slot[kSlots]);
    if (!slots) return nullptr;
  }
  const unsigned mode = (width & 0xFF) | (ignore ? 0x100u : 0) | (m.unicode ? 0x200u : 0);
  const uint64_t key = reinterpret_cast<uintptr_t>(m.bytes) ^ (m.length << 20) ^ mode;
  Slot &slot = slots[(key * 0x9E3779B97F4A7C15ULL) >> 54];
  if (slot.serial != pe.serial() || slot.bytes != m.bytes || slot.length != m.length ||
      slot.mode != mode) {
    slot.serial = pe.serial();
    slot.bytes = m.bytes;
    slot.length = m.length;
    slot.mode = mode;
    slot.state = Slot::kSeen;
    return nullptr;
  }
  if (slot.state == Slot::kSeen)
    slot.state =
        slot.plan.build(text, length, width, ignore) ? Slot::kPlanned : Slot::kUnplanned;
  return slot.state == Slot::kPlanned ? &slot.plan : nullptr;
}

// The longest text FORMAT_MESSAGE_ALLOCATE_BUFFER hands out, in units.
// Windows' documentation names 128 KB, but its FormatMessageW hands out
// texts of a million units; this bound only keeps the host's memory safe.
constexpr size_t kAllocateLimit = 16u << 20;

// Hands out a new handle for the loaded file `pe`.
HMODULE new_handle(std::shared_ptr<const PeFile> pe) {
  return reinterpret_cast<HMODULE>(modules().handles.add(std::move(pe)));
}

// Takes `bytes` from the budget; false (and nothing taken) past it.
bool charge(uint64_t bytes) {
  auto &m = modules();
  uint64_t now = m.charged.load();
  do {
    uint64_t budget = m.budget.load();
    if (now > budget || bytes > budget - now) return false;
  } while (!m.charged.compare_exchange_weak(now, now + bytes));
  return true;
}

// The file as a shared PeFile that gives its charge back and lets `keep`
// go when the last holder drops it.
std::shared_ptr<const PeFile> shared_file(std::unique_ptr<PeFile> pe, uint64_t charged,
                                          std::shared_ptr<const void> keep) {
  return std::shared_ptr<const PeFile>(
      pe.release(), [charged, keep = std::move(keep)](const PeFile *p) mutable {
        delete p;
        keep.reset();
        modules().charged -= charged;
      });
}

// Reads `file` as a data-file module and hands out its handle; null with the
// last error set when it is not a module.  `view`, when given, holds the
// same bytes in place; `charged` is what was taken from the budget for them.
HMODULE load_data_file(const ByteSource &file, const FileView *view = nullptr,
                       uint64_t charged = 0, std::shared_ptr<const void> keep = nullptr) {
  DWORD code = 0;
  std::unique_ptr<PeFile> pe = PeFile::load(file, &code, view);
  if (!pe) {
    modules().charged -= charged;
    detail::set_error(code);
    return nullptr;
  }
  // A copied section is charged too: past the budget, the load fails.
  uint64_t copied = pe->heap_bytes();
  if (copied != 0 && !charge(copied)) {
    modules().charged -= charged;
    detail::set_error(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return new_handle(shared_file(std::move(pe), charged + copied, std::move(keep)));
}

// The bytes of a host file that are not in holes, counted up to `limit`
// (and a little past it): what mapping it could ever make resident.
uint64_t data_bytes(int fd, uint64_t size, uint64_t limit) {
  uint64_t total = 0;
  uint64_t at = 0;
  while (at < size && total <= limit) {
    off_t data = ::lseek(fd, static_cast<off_t>(at), SEEK_DATA);
    if (data < 0) return errno == ENXIO ? total : size;  // ENXIO: a hole to the end
    off_t hole = ::lseek(fd, data, SEEK_HOLE);
    if (hole < 0 || hole <= data) return size;  // no answer: count it all
    total += static_cast<uint64_t>(hole - data);
    at = static_cast<uint64_t>(hole);
  }
  return total;
}

// A read-only mapping of a whole host file, unmapped with its last holder.
struct Mapping {
  void *bytes = MAP_FAILED;
  size_t size = 0;
  ~Mapping() {
    if (bytes != MAP_FAILED) ::munmap(bytes, size);
  }
};

// Loads the file behind `source` once per process: a second load of the same
// file, by whatever name, shares the first one's mapping and its indexes.
HMODULE load_shared(const std::shared_ptr<ByteSource> &source) {
  auto &m = modules();
  const int fd = source->descriptor();
  FileKey key{kMemoryDevice, reinterpret_cast<uintptr_t>(source.get())};
  struct stat st {};
  if (fd >= 0 && ::fstat(fd, &st) == 0)
    key = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  std::shared_ptr<const PeFile> loaded;
  {
    std::lock_guard<std::mutex> lock(m.mutex);
    auto it = m.files.find(key);
    if (it != m.files.end()) loaded = it->second.lock();
  }
  if (loaded) return new_handle(std::move(loaded));
  const uint64_t size = source->size();
  HMODULE handle = nullptr;
  const uint8_t *in_place = source->bytes();
  if (in_place != nullptr && size != 0) {
    // The source holds the bytes already (a host file it mapped, bytes in
    // memory): read them there, and keep the source for as long as the load.
    uint64_t resident = fd >= 0 ? data_bytes(fd, size, m.budget.load()) : size;
    if (!charge(resident)) {
      report("LoadLibraryExW: the module budget is spent");
      detail::set_error(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    FileView view{in_place, size, source};
    handle = load_data_file(*source, &view, resident, source);
  } else if (fd >= 0 && size != 0 && size <= SIZE_MAX) {
    uint64_t resident = data_bytes(fd, size, m.budget.load());
    if (!charge(resident)) {
      report("LoadLibraryExW: the module budget is spent");
      detail::set_error(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    auto mapping = std::make_shared<Mapping>();
    mapping->size = static_cast<size_t>(size);
    mapping->bytes = ::mmap(nullptr, mapping->size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (mapping->bytes == MAP_FAILED) {
      // Not mappable (a special file, say): read as any other source.
      m.charged -= resident;
      handle = load_data_file(*source, nullptr, 0, source);
    } else {
      FileView view{static_cast<const uint8_t *>(mapping->bytes), size, mapping};
      handle = load_data_file(*source, &view, resident, mapping);
    }
  } else {
    handle = load_data_file(*source, nullptr, 0, source);
  }
  if (handle == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(m.mutex);
  std::shared_ptr<const PeFile> live;
  // Two threads may load the same file at once: the later one's copy is
  // used for its own handle only.
  if (m.handles.find(reinterpret_cast<uintptr_t>(handle), &live)) {
    auto &slot = m.files[key];
    if (slot.expired()) slot = std::move(live);
  }
  if (m.files.size() >= m.sweep_at) {
    std::erase_if(m.files, [](const auto &entry) { return entry.second.expired(); });
    m.sweep_at = std::max<size_t>(64, m.files.size() * 2);
  }
  return handle;
}

// Bytes of the caller's, read in place.
class BorrowedBytes : public ByteSource {
 public:
  BorrowedBytes(const uint8_t *bytes, size_t size) : bytes_(bytes), size_(size) {}
  uint64_t size() const override { return size_; }
  bool read(uint64_t off, void *dst, size_t n) const override {
    if (off > size_ || n > size_ - off) return false;
    if (n) std::memcpy(dst, bytes_ + off, n);
    return true;
  }

 private:
  const uint8_t *bytes_;
  size_t size_;
};

}  // namespace

HMODULE load_module(const uint8_t *bytes, size_t size) {
  return load_data_file(BorrowedBytes(size != 0 ? bytes : nullptr, size));
}

void set_module_budget(uint64_t bytes) { modules().budget = bytes; }

uint64_t module_bytes() { return modules().charged.load(); }

}  // namespace vesk::emu

using namespace vesk::emu;

extern "C" {

HMODULE WINAPI LoadLibraryExW(LPCWSTR path, HANDLE file, DWORD flags) {
  VESK_EMU_ENTER(LoadLibraryExW, nullptr);
  if (path == nullptr || path[0] == 0 || file != nullptr) {
    detail::set_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if ((flags & ~kKnownLoadFlags) != 0) {
    detail::set_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!(flags & kDataFileFlags)) {
    // Nothing runs on this platform: a module can only be read as data.
    report("LoadLibraryExW: only data-file loads are supported");
    detail::set_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::vector<Place> places;
  DWORD code = places_of(path, &places);
  if (code != 0) {
    detail::set_error(code);
    return nullptr;
  }
  std::shared_ptr<ByteSource> bytes;
  for (const auto &place : places) {
    code = ERROR_FILE_NOT_FOUND;
    bytes = place.computer->open_file(place.path, &code);
    if (bytes) break;
    // A missing folder or drive is reported as a missing file by a data-file
    // load, and the search goes on; anything else ends it.
    if (code == ERROR_PATH_NOT_FOUND) code = ERROR_FILE_NOT_FOUND;
    if (code != ERROR_FILE_NOT_FOUND) break;
  }
  if (!bytes) {
    detail::set_error(code);
    return nullptr;
  }
  return load_shared(bytes);
}

BOOL WINAPI FreeLibrary(HMODULE module) {
  VESK_EMU_ENTER(FreeLibrary, FALSE);
  std::shared_ptr<const PeFile> pe;
  if (!modules().handles.remove(reinterpret_cast<uintptr_t>(module), &pe)) {
    detail::set_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI FormatMessageW(DWORD flags, LPCVOID source, DWORD id, DWORD lang,
                            LPWSTR buffer, DWORD size, va_list *args) {
  VESK_EMU_ENTER(FormatMessageW, 0);
  const bool allocate = flags & FORMAT_MESSAGE_ALLOCATE_BUFFER;
  if (allocate && buffer != nullptr) *reinterpret_cast<LPWSTR *>(buffer) = nullptr;
  if (!(flags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE |
                 FORMAT_MESSAGE_FROM_SYSTEM)) ||
      buffer == nullptr) {
    detail::set_error(ERROR_INVALID_PARAMETER);
    return 0;
  }

  // The text: a string wins over a module, a module over the system.
  const WCHAR *text = nullptr;
  size_t length = 0;
  const PeFile *pe = nullptr;
  MessageText m;  // the module's text, when it comes from a module
  if (flags & FORMAT_MESSAGE_FROM_STRING) {
    text = static_cast<const WCHAR *>(source);
    if (text == nullptr) {
      detail::set_error(ERROR_INVALID_PARAMETER);
      return 0;
    }
    while (text[length] != 0) ++length;
  } else if (flags & FORMAT_MESSAGE_FROM_HMODULE) {
    DWORD code = ERROR_RESOURCE_DATA_NOT_FOUND;  // the program itself has none
    if (source != nullptr) {
      pe = module_file(static_cast<HMODULE>(const_cast<void *>(source)));
      if (!pe) {
        code = ERROR_INVALID_HANDLE;
      } else if (lang > 0xFFFF) {
        code = ERROR_RESOURCE_LANG_NOT_FOUND;
      } else {
        LANGID user = user_language();
        code = pe->find_message(id, static_cast<uint16_t>(lang), {user, user, user}, &m);
      }
    }
    if (code != 0) {
      detail::set_error(code);
      return 0;
    }
    text = decode(m);
    length = m.length;
  } else {
    // The emulated system holds no message tables of its own.
    detail::set_error(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }

  MessageArgs margs;
  if (!(flags & FORMAT_MESSAGE_IGNORE_INSERTS)) {
    if (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY)
      margs.array = reinterpret_cast<const DWORD_PTR *>(args);
    else
      margs.list = args;
  }
  const bool ignore = flags & FORMAT_MESSAGE_IGNORE_INSERTS;
  const unsigned width = flags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
  size_t written = 0;
  DWORD code;
  if (!allocate) {
    // Too small a buffer fails with ERROR_INSUFFICIENT_BUFFER and holds the
    // first size-1 units of the text and a terminator (untouched when size
    // is 0), as on Windows since Vista.
    const MessagePlan *plan =
        pe != nullptr ? plan_for(*pe, m, width, ignore, text, length) : nullptr;
    code = plan != nullptr ? plan->run(text, margs, buffer, size, &written)
                           : format_message(text, length, width, ignore, margs, buffer,
                                            size, &written);
  } else {
    // The result's length is not known in advance.
    std::vector<WCHAR> scratch;
    code = format_growing(text, length, width, ignore, margs, scratch, kAllocateLimit,
                          &written);
    if (code == ERROR_INSUFFICIENT_BUFFER) code = ERROR_MORE_DATA;
    if (code == 0 && written > 0) {
      size_t units = std::max<size_t>(written + 1, size);
      auto *out = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, units * sizeof(WCHAR)));
      if (out == nullptr) {
        code = ERROR_NOT_ENOUGH_MEMORY;
      } else {
        std::copy(scratch.begin(), scratch.begin() + static_cast<ptrdiff_t>(written) + 1,
                  out);
        *reinterpret_cast<LPWSTR *>(buffer) = out;
      }
    }
  }
  if (code == 0 && written == 0) code = ERROR_NO_WORK_DONE;
  if (code != 0) {
    detail::set_error(code);
    return 0;
  }
  return static_cast<DWORD>(written);
}

}  // extern "C"
