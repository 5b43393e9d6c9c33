// Message files: LoadLibraryExW as a data file, FreeLibrary, FormatMessageW.
//
// A data-file load reads the file once, keeps its resource section and
// hands out an opaque handle (bit 0 set, as Windows marks data-file
// mappings) that stays valid until FreeLibrary.  Paths resolve as Windows
// resolves them: "C:\..." on the local computer, "\\NAME\X$\..." on drive X
// of computer NAME, a name without a drive or share through the local
// system32 folder and then the Windows folder; ".dll" is added to a name
// without an extension.
#include <bit>
#include <cstring>
#include <vector>

#include "platform/emulated/handles.h"
#include "platform/emulated/internal.h"
#include "platform/emulated/msgformat.h"
#include "platform/emulated/pefile.h"

namespace vesk::emu {
namespace {

// The live modules; each handle has bit 0 set, as a data-file load's has.
detail::HandleTable<std::shared_ptr<const PeFile>> &modules() {
  static detail::HandleTable<std::shared_ptr<const PeFile>> m(0x6D100001, 0x10,
                                                              detail::LiveKind::Module);
  return m;
}

std::shared_ptr<const PeFile> find_module(HMODULE h) {
  std::shared_ptr<const PeFile> pe;
  modules().find(reinterpret_cast<uintptr_t>(h), &pe);
  return pe;
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

// The longest text FORMAT_MESSAGE_ALLOCATE_BUFFER hands out, in units.
// Windows' documentation names 128 KB, but its FormatMessageW hands out
// texts of a million units; this bound only keeps the host's memory safe.
constexpr size_t kAllocateLimit = 16u << 20;

// Reads `file` as a data-file module and hands out its handle; null with the
// last error set when it is not a module.
HMODULE load_data_file(const ByteSource &file) {
  DWORD code = 0;
  std::shared_ptr<const PeFile> pe = PeFile::load(file, &code);
  if (!pe) {
    detail::set_error(code);
    return nullptr;
  }
  return reinterpret_cast<HMODULE>(modules().add(std::move(pe)));
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
  return load_data_file(*bytes);
}

BOOL WINAPI FreeLibrary(HMODULE module) {
  VESK_EMU_ENTER(FreeLibrary, FALSE);
  std::shared_ptr<const PeFile> pe;
  if (!modules().remove(reinterpret_cast<uintptr_t>(module), &pe)) {
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
  std::shared_ptr<const PeFile> pe;
  if (flags & FORMAT_MESSAGE_FROM_STRING) {
    text = static_cast<const WCHAR *>(source);
    if (text == nullptr) {
      detail::set_error(ERROR_INVALID_PARAMETER);
      return 0;
    }
    while (text[length] != 0) ++length;
  } else if (flags & FORMAT_MESSAGE_FROM_HMODULE) {
    DWORD code = ERROR_RESOURCE_DATA_NOT_FOUND;  // the program itself has none
    MessageText m;
    if (source != nullptr) {
      pe = find_module(static_cast<HMODULE>(const_cast<void *>(source)));
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
    code = format_message(text, length, width, ignore, margs, buffer, size, &written);
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
