// advapi32's registry calls over the simulated computers' keys, with the
// argument checks, error codes and out-parameter rules of Windows.
//
// HKEY_LOCAL_MACHINE is the local computer's HKLM, looked up at every call.
// Other handles come from a table that maps each to the key it opened and
// the computer it belongs to, so a key stays usable while it is open even if
// the computer is taken out of the world.
#include <cstring>
#include "platform/emulated/handles.h"
#include "platform/emulated/internal.h"
#include "platform/units.h"

namespace vesk::emu {
namespace {

constexpr uint32_t kClassesRoot = 0x80000000u;
constexpr uint32_t kCurrentUser = 0x80000001u;
constexpr uint32_t kLocalMachine = 0x80000002u;
constexpr uint32_t kUsers = 0x80000003u;
constexpr uint32_t kCurrentConfig = 0x80000005u;
constexpr uint32_t kFirstPredefined = 0x80000000u;
constexpr uint32_t kLastPredefined = 0x80000006u;

// As on Windows, only the low 32 bits of a predefined key count.
uint32_t low32(HKEY key) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key));
}

bool is_predefined(HKEY key) {
  return low32(key) >= kFirstPredefined && low32(key) <= kLastPredefined;
}

struct OpenKey {
  std::shared_ptr<Computer> computer;
  std::shared_ptr<RegKey> key;
  REGSAM granted = KEY_ALL_ACCESS;  // what the handle may do
};

// The bits of an access mask a key can be opened with: its six rights, the
// standard rights (DELETE to SYNCHRONIZE), the two WOW64 view flags (which
// choose a view, grant nothing and are dropped), ACCESS_SYSTEM_SECURITY,
// MAXIMUM_ALLOWED and the four generic rights.  A key's security descriptor
// grants none of the other bits, so asking for one is refused.
constexpr REGSAM kKeyRights = 0x3F;
constexpr REGSAM kStandardRights = 0x001F0000;
constexpr REGSAM kViewFlags = KEY_WOW64_64KEY | KEY_WOW64_32KEY;
constexpr REGSAM kValidAccess = kKeyRights | kStandardRights | kViewFlags |
                                ACCESS_SYSTEM_SECURITY | MAXIMUM_ALLOWED | GENERIC_READ |
                                GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;

// The rights `access` asks for, the generic ones mapped to a key's own;
// 0 for a mask that cannot be granted, with *code set.  The emulated user
// is an administrator, whom a key's security grants all of its rights.
REGSAM granted_access(REGSAM access, DWORD *code) {
  if ((access & ~kValidAccess) != 0) {
    *code = ERROR_ACCESS_DENIED;
    return 0;
  }
  if ((access & ACCESS_SYSTEM_SECURITY) && !security_privilege_enabled()) {
    *code = ERROR_PRIVILEGE_NOT_HELD;
    return 0;
  }
  REGSAM granted = access & (kKeyRights | kStandardRights);
  if (access & GENERIC_READ) granted |= KEY_READ;
  if (access & GENERIC_WRITE) granted |= KEY_WRITE;
  if (access & GENERIC_EXECUTE) granted |= KEY_EXECUTE;
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) granted |= KEY_ALL_ACCESS;
  *code = 0;
  return granted;
}

// Handle values never collide with the predefined keys.
bool is_predefined_value(uintptr_t value) {
  return is_predefined(reinterpret_cast<HKEY>(value));
}

detail::HandleTable<OpenKey> &table() {
  static detail::HandleTable<OpenKey> t(0x1000, 4, detail::LiveKind::RegKey,
                                        is_predefined_value);
  return t;
}

// The roots this emulation keeps no contents for (the users' hives and what
// is built from them): present and empty.
std::shared_ptr<RegKey> empty_root() {
  static const std::shared_ptr<RegKey> key = std::make_shared<MemKey>();
  return key;
}

HKEY add_handle(OpenKey entry) {
  return reinterpret_cast<HKEY>(table().add(std::move(entry)));
}

// What `key` stands for; 0, or the error for a handle that is not one.
// Follows `path` from *key, one component at a time; components are
// separated by one or more backslashes, and trailing ones end nothing.
// False when a component is missing.
bool walk(std::u16string_view path, std::shared_ptr<RegKey> *key) {
  size_t pos = 0;
  while (pos < path.size()) {
    size_t end = path.find(u'\\', pos);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > pos) {
      *key = (*key)->child(path.substr(pos, end - pos));
      if (!*key) return false;
    }
    pos = end + 1;
  }
  return true;
}

DWORD resolve(HKEY key, OpenKey *out) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  if (is_predefined(key)) {
    switch (low32(key)) {
      case kLocalMachine: {
        auto c = local();
        *out = OpenKey{c, c->hklm()};
        return 0;
      }
      case kClassesRoot:
      case kCurrentUser:
      case kUsers:
      case kCurrentConfig:
        *out = OpenKey{local(), empty_root()};
        return 0;
      default:  // performance data and the like: not served here
        return ERROR_INVALID_HANDLE;
    }
  }
  return table().find(reinterpret_cast<uintptr_t>(key), out) ? 0 : ERROR_INVALID_HANDLE;
}

}  // namespace
}  // namespace vesk::emu

using namespace vesk::emu;

extern "C" {

LONG WINAPI RegConnectRegistryW(LPCWSTR machine, HKEY key, PHKEY result) {
  VESK_EMU_ENTER_RC(RegConnectRegistryW);
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  bool is_local = false;
  auto computer = find_computer(machine, &is_local);
  if (!computer) return ERROR_BAD_NETPATH;
  if (is_local) {
    // The key itself, as opening it with no subkey would give.
    OpenKey entry;
    DWORD code = resolve(key, &entry);
    if (code != 0) return static_cast<LONG>(code);
    *result = key;
    return ERROR_SUCCESS;
  }
  if (!is_predefined(key)) return ERROR_INVALID_HANDLE;
  // A remote registry offers only its machine and users roots.
  switch (low32(key)) {
    case kLocalMachine:
      *result = add_handle(OpenKey{computer, computer->hklm()});
      return ERROR_SUCCESS;
    case kUsers:
      *result = add_handle(OpenKey{computer, empty_root()});
      return ERROR_SUCCESS;
    default:
      return ERROR_INVALID_HANDLE;
  }
}

LONG WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subkey, DWORD options, REGSAM access,
                          PHKEY result) {
  VESK_EMU_ENTER_RC(RegOpenKeyExW);
  (void)options;
  // A predefined key with no subkey is handed back as it is.
  if (result != nullptr && (subkey == nullptr || subkey[0] == 0) && is_predefined(key)) {
    *result = key;
    return ERROR_SUCCESS;
  }
  // The one leading backslash allowed, and only under HKEY_CLASSES_ROOT.
  if (low32(key) == kClassesRoot && subkey != nullptr && subkey[0] == u'\\') ++subkey;
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  OpenKey entry;
  DWORD code = resolve(key, &entry);
  if (code != 0) return static_cast<LONG>(code);
  std::u16string_view path = subkey ? std::u16string_view(subkey) : std::u16string_view();
  if (!path.empty() && path.front() == u'\\') return ERROR_BAD_PATHNAME;
  // The key below which this thread opened its last path, by the path up to
  // its last backslash: a walk opens the keys of many sources of one log,
  // paths alike in all but their last component, and each open then walks
  // only that one.  It stands while no key of any computer has changed.
  struct LastParent {
    std::shared_ptr<RegKey> root;  // kept, so that its address names it
    std::u16string prefix;
    std::shared_ptr<RegKey> parent;
    uint64_t generation = 0;
  };
  thread_local LastParent last;
  const uint64_t generation = detail::registry_generation();
  const size_t known = last.prefix.size();
  auto no_backslash = [](std::u16string_view rest) {
    return vesk::units::Find(rest.data(), rest.size(),
                             [](auto c) { return c == 0x5C; }) == rest.size();
  };
  if (last.parent && last.root == entry.key && last.generation == generation &&
      known <= path.size() &&
      std::memcmp(path.data(), last.prefix.data(), known * sizeof(char16_t)) == 0 &&
      no_backslash(path.substr(known))) {
    entry.key = last.parent;
    path = path.substr(known);
  } else if (const size_t cut = path.rfind(u'\\'); cut != std::u16string_view::npos) {
    const std::u16string_view prefix = path.substr(0, cut + 1);
    {
      std::shared_ptr<RegKey> root = entry.key;
      if (!walk(prefix, &entry.key)) return ERROR_FILE_NOT_FOUND;
      last.root = std::move(root);
      last.prefix.assign(prefix);
      last.parent = entry.key;
      last.generation = generation;
    }
    path = path.substr(cut + 1);
  }
  if (!walk(path, &entry.key)) return ERROR_FILE_NOT_FOUND;
  // The access is checked against the key found, as the open's access check
  // is made on the key it opens.
  entry.granted = granted_access(access, &code);
  if (code != 0) return static_cast<LONG>(code);
  *result = add_handle(std::move(entry));
  return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD bytes) {
  VESK_EMU_ENTER_RC(RegQueryValueExW);
  if ((data != nullptr && bytes == nullptr) || reserved != nullptr)
    return ERROR_INVALID_PARAMETER;
  OpenKey entry;
  DWORD code = resolve(key, &entry);
  if (code != 0) return static_cast<LONG>(code);
  if (!(entry.granted & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (data == nullptr && bytes != nullptr) *bytes = 0;
  auto value = entry.key->value(name ? std::u16string_view(name) : std::u16string_view());
  if (!value) return ERROR_FILE_NOT_FOUND;
  if (value->data.size() > 0xFFFFFFFFu) return ERROR_INVALID_DATA;
  DWORD size = static_cast<DWORD>(value->data.size());
  LONG status = ERROR_SUCCESS;
  if (data != nullptr) {
    // Copied exactly as stored: a string kept without its terminating zero
    // comes back without one.
    if (size > *bytes)
      status = ERROR_MORE_DATA;
    else if (size != 0)
      std::memcpy(data, value->data.data(), size);
  }
  if (type != nullptr) *type = value->type;
  if (bytes != nullptr) *bytes = size;
  return status;
}

LONG WINAPI RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD name_units,
                          LPDWORD reserved, LPWSTR class_name, LPDWORD class_units,
                          PFILETIME last_write) {
  VESK_EMU_ENTER_RC(RegEnumKeyExW);
  if (reserved != nullptr || name == nullptr || name_units == nullptr ||
      (class_name != nullptr && class_units == nullptr))
    return ERROR_INVALID_PARAMETER;
  OpenKey entry;
  DWORD code = resolve(key, &entry);
  if (code != 0) return static_cast<LONG>(code);
  if (!(entry.granted & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  // Subkeys in the order the key keeps them (a hive's: sorted by name).
  const std::vector<std::u16string> names = entry.key->subkeys();
  if (index >= names.size()) return ERROR_NO_MORE_ITEMS;
  const std::u16string &found = names[index];
  // The buffer holds the name and its terminator, or nothing is written.
  if (found.size() + 1 > *name_units) return ERROR_MORE_DATA;
  std::memcpy(name, found.data(), found.size() * sizeof(WCHAR));
  name[found.size()] = 0;
  *name_units = static_cast<DWORD>(found.size());
  if (class_name != nullptr) {
    if (*class_units == 0) return ERROR_MORE_DATA;
    class_name[0] = 0;
    *class_units = 0;
  }
  // The images keep no write times that the emulation serves.
  if (last_write != nullptr) *last_write = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY key) {
  VESK_EMU_ENTER_RC(RegCloseKey);
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  if (is_predefined(key)) return ERROR_SUCCESS;
  OpenKey released;
  if (!table().remove(reinterpret_cast<uintptr_t>(key), &released))
    return ERROR_INVALID_HANDLE;
  return ERROR_SUCCESS;
}

}  // extern "C"
