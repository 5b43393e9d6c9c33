// The event log service over classic .evt files: OpenEventLogW finds the log
// in the registry of the computer that holds it, opens its file and indexes
// it; the handle keeps its own index and sequential read position.
#include <mutex>

#include "platform/emulated/evtfile.h"
#include "platform/emulated/handles.h"
#include "platform/emulated/internal.h"

namespace vesk::emu {
namespace {

struct OpenLog {
  std::mutex mutex;  // one read at a time on a handle
  std::unique_ptr<EvtLog> log;
};

// The live handles.
detail::HandleTable<std::shared_ptr<OpenLog>> &handles() {
  static detail::HandleTable<std::shared_ptr<OpenLog>> h(0x4C450000, 4,
                                                         detail::LiveKind::EventLog);
  return h;
}

std::shared_ptr<OpenLog> find_handle(HANDLE h) {
  std::shared_ptr<OpenLog> entry;
  handles().find(reinterpret_cast<uintptr_t>(h), &entry);
  return entry;
}

// The open log behind `h`, after the argument checks every call makes:
// null with the last error set (87 for a missing output, 6 for a handle
// that is not open).
std::shared_ptr<OpenLog> checked_handle(HANDLE h, bool outputs_present) {
  if (!outputs_present) {
    detail::set_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto entry = find_handle(h);
  if (!entry) detail::set_error(ERROR_INVALID_HANDLE);
  return entry;
}

std::shared_ptr<RegKey> lookup(std::shared_ptr<RegKey> key,
                               std::initializer_list<std::u16string_view> path) {
  for (auto part : path) {
    if (!key) break;
    key = key->child(part);
  }
  return key;
}

// A REG_SZ or REG_EXPAND_SZ value's text, up to its first NUL.
std::optional<std::u16string> string_value(const std::shared_ptr<RegKey> &key,
                                           std::u16string_view name) {
  if (!key) return std::nullopt;
  auto v = key->value(name);
  if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return std::nullopt;
  std::u16string text;
  for (size_t i = 0; i + 1 < v->data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(v->data[i] | v->data[i + 1] << 8);
    if (c == 0) break;
    text.push_back(c);
  }
  return text;
}

// Replaces %SystemRoot% (and %windir%, which names the same directory) in
// `path`, without regard to case; other variables stay as written.
std::u16string expand(std::u16string_view path, std::u16string_view system_root) {
  std::u16string out;
  size_t i = 0;
  while (i < path.size()) {
    size_t open = path.find(u'%', i);
    if (open == std::u16string_view::npos) break;
    size_t close = path.find(u'%', open + 1);
    if (close == std::u16string_view::npos) break;
    std::u16string_view name = path.substr(open + 1, close - open - 1);
    out.append(path.substr(i, open - i));
    if (iequal(name, u"SystemRoot") || iequal(name, u"windir")) {
      out.append(system_root);
      i = close + 1;
    } else {
      out.append(path.substr(open, close - open));
      i = close;
    }
  }
  out.append(path.substr(i));
  return out;
}

// The file the service keeps a log in when its key names none.
std::u16string default_file(std::u16string_view log) {
  std::u16string base;
  if (iequal(log, u"Application"))
    base = u"AppEvent.Evt";
  else if (iequal(log, u"System"))
    base = u"SysEvent.Evt";
  else if (iequal(log, u"Security"))
    base = u"SecEvent.Evt";
  else
    base = std::u16string(log) + u".evt";
  return u"%SystemRoot%\\system32\\config\\" + base;
}

// The bytes of the log `name` of `computer`: its in-memory log, else the
// file its key names (or the default file when `key` is null or names
// none).  Null and *code when the file cannot be found, which is reported.
// *where names the file for later diagnostics.
std::shared_ptr<ByteSource> log_file(const Computer &computer,
                                     const std::shared_ptr<RegKey> &key,
                                     std::u16string_view name, DWORD *code,
                                     std::string *where) {
  *where = "log " + to_utf8(name) + " on " + to_utf8(computer.name());
  if (auto mem = computer.memory_log(name)) return mem;
  auto version = lookup(computer.hklm(),
                        {u"SOFTWARE", u"Microsoft", u"Windows NT", u"CurrentVersion"});
  std::u16string root = string_value(version, u"SystemRoot").value_or(u"C:\\WINDOWS");
  if (root.empty()) root = u"C:\\WINDOWS";
  auto file = string_value(key, u"File");
  if (!file || file->empty()) file = default_file(name);
  const std::u16string path = expand(*file, root);
  *where += " (" + to_utf8(path) + ")";
  DWORD open_code = ERROR_FILE_NOT_FOUND;
  std::string why;
  auto src = computer.open_file(path, &open_code, &why);
  if (!src) {
    report(*where + ": the file cannot be opened: " + why);
    *code = open_code == ERROR_PATH_NOT_FOUND ? static_cast<DWORD>(ERROR_FILE_NOT_FOUND)
                                              : open_code;
  }
  return src;
}

bool standard_log(std::u16string_view name) {
  return iequal(name, u"Application") || iequal(name, u"System") ||
         iequal(name, u"Security");
}

// Why `computer` has no readable EventLog key: the first key of the path
// that is missing.
std::string missing_eventlog_key(const Computer &computer) {
  std::shared_ptr<RegKey> key = computer.hklm();
  std::string path = "HKLM";
  for (const char16_t *part :
       {u"SYSTEM", u"CurrentControlSet", u"Services", u"EventLog"}) {
    path += '\\';
    path += to_utf8(part);
    key = key->child(part);
    if (!key) break;
  }
  return path +
         " is missing (no SYSTEM hive, a damaged one, or a Select\\Current that "
         "names no control set)";
}

}  // namespace
}  // namespace vesk::emu

using namespace vesk::emu;

extern "C" {

HANDLE WINAPI OpenEventLogW(LPCWSTR machine, LPCWSTR log) {
  VESK_EMU_ENTER(OpenEventLogW, nullptr);
  if (log == nullptr) {
    detail::set_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  bool is_local = false;
  auto computer = find_computer(machine, &is_local);
  if (!computer) {
    detail::set_error(RPC_S_SERVER_UNAVAILABLE);
    return nullptr;
  }
  // A name the registry does not list opens the Application log, as on
  // Windows.  Without a readable EventLog key nothing can be looked up: the
  // three standard logs are served from their default files and any other
  // name is not found, rather than every name becoming Application.
  auto logs = lookup(computer->hklm(),
                     {u"SYSTEM", u"CurrentControlSet", u"Services", u"EventLog"});
  std::u16string name(log);
  std::shared_ptr<RegKey> key;
  const std::string where =
      "log \"" + to_utf8(name) + "\" on " + to_utf8(computer->name());
  if (logs) {
    key = !name.empty() ? logs->child(name) : nullptr;
    if (!key) {
      report(where + " is not registered; serving Application, as Windows does");
      name = u"Application";
      key = logs->child(name);
    }
  } else {
    if (name.empty()) name = u"Application";
    if (!standard_log(name)) {
      report(where + ": not found: " + missing_eventlog_key(*computer) +
             "; only Application, System and Security are served, from their default "
             "files");
      detail::set_error(ERROR_FILE_NOT_FOUND);
      return nullptr;
    }
    if (!computer->memory_log(name))
      report(where +
             ": served from its default file: " + missing_eventlog_key(*computer));
  }
  // The local Security log opens only for a process that has enabled
  // SeSecurityPrivilege; a remote one answers to the caller's rights there.
  if (is_local && iequal(name, u"Security") && !security_privilege_enabled()) {
    detail::set_error(ERROR_PRIVILEGE_NOT_HELD);
    return nullptr;
  }
  DWORD code = 0;
  std::string label;
  auto src = log_file(*computer, key, name, &code, &label);
  if (!src) {
    detail::set_error(code);
    return nullptr;
  }
  auto entry = std::make_shared<OpenLog>();
  entry->log = EvtLog::open(std::move(src), &code, label);
  if (!entry->log) {
    detail::set_error(code);
    return nullptr;
  }
  return reinterpret_cast<HANDLE>(handles().add(std::move(entry)));
}

BOOL WINAPI CloseEventLog(HANDLE log) {
  VESK_EMU_ENTER(CloseEventLog, FALSE);
  std::shared_ptr<OpenLog> entry;
  if (!handles().remove(reinterpret_cast<uintptr_t>(log), &entry)) {
    detail::set_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI GetOldestEventLogRecord(HANDLE log, PDWORD oldest) {
  VESK_EMU_ENTER(GetOldestEventLogRecord, FALSE);
  auto entry = checked_handle(log, oldest != nullptr);
  if (!entry) return FALSE;
  *oldest = entry->log->oldest();
  return TRUE;
}

BOOL WINAPI GetNumberOfEventLogRecords(HANDLE log, PDWORD count) {
  VESK_EMU_ENTER(GetNumberOfEventLogRecords, FALSE);
  auto entry = checked_handle(log, count != nullptr);
  if (!entry) return FALSE;
  *count = entry->log->count();
  return TRUE;
}

BOOL WINAPI ReadEventLogW(HANDLE log, DWORD flags, DWORD offset, LPVOID buffer,
                          DWORD bytes, DWORD *read, DWORD *needed) {
  VESK_EMU_ENTER(ReadEventLogW, FALSE);
  auto entry =
      checked_handle(log, buffer != nullptr && read != nullptr && needed != nullptr);
  if (!entry) return FALSE;
  std::lock_guard<std::mutex> lock(entry->mutex);
  DWORD rc = entry->log->read(flags, offset, buffer, bytes, read, needed);
  if (rc != 0) {
    detail::set_error(rc);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
