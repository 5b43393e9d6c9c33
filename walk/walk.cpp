// One log, walked: the library's row of each record (VeskGetRec) beside the
// raw record, read by number through the platform's own event-log calls on
// a second handle of the same log, and the filters tested on the raw record
// before the library converts it.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>

#include "platform/platform.h"
#include "records/bytes.h"
#include "records/civil.h"
#include "records/record.h"
#include "vesk.h"
#include "walk/utf8.h"
#include "walk/variant.h"
#include "walk/walk.h"

#if !defined(_WIN32)
#include "platform/emulated/seam.h"
#endif

namespace vesk::walk {

namespace {

using WString = std::basic_string<WCHAR>;

// A walk gives up after this many numbers in a row that could not be read:
// a range of numbers that the log does not hold is not walked to its end.
constexpr int kUnreadableInARow = 1000;
// The raw reads' batch, as large as the library's own.
constexpr DWORD kBatchBytes = 65536;
// The largest record the service hands out.
constexpr DWORD kMaxRecordBytes = 0x7FFFF;

std::string narrow(const WCHAR *text, size_t n) {
  std::string out;
  append_utf8_units(out, n, [&](size_t i) { return static_cast<uint32_t>(text[i]); });
  return out;
}

// UTF-8 to UTF-16; a byte that does not start a valid sequence is taken as
// U+FFFD.
WString wide(std::string_view utf8) {
  WString out;
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    uint32_t cp = 0xFFFD;
    size_t len = 1;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0 || (c & 0xF0) == 0xE0 || (c & 0xF8) == 0xF0) {
      len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
      if (i + len <= utf8.size()) {
        cp = c & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
        for (size_t k = 1; k < len; ++k) {
          const unsigned char t = static_cast<unsigned char>(utf8[i + k]);
          if ((t & 0xC0) != 0x80) {
            cp = 0xFFFD;
            len = k;
            break;
          }
          cp = cp << 6 | (t & 0x3F);
        }
      } else {
        len = 1;
      }
    }
    i += len;
    if (cp >= 0x10000 && cp <= 0x10FFFF) {
      cp -= 0x10000;
      out += static_cast<WCHAR>(0xD800 + (cp >> 10));
      out += static_cast<WCHAR>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<WCHAR>(cp > 0x10FFFF ? 0xFFFD : cp);
    }
  }
  return out;
}

bool iequal_ascii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

// Names are compared as Windows compares log and source names: without
// regard to case (ASCII and Latin-1 letters).
std::string fold(std::string_view utf8) {
  std::string out(utf8);
  for (char &c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return out;
}

// The pending error text of a library handle; false when none.
bool library_error(VESKHANDLE h, std::string *text) {
  VARIANT v;
  VariantInit(&v);
  const bool pending = VeskGetError(h, &v) == 1;
  const Cell c = cell_from_variant(v);
  VariantClear(&v);
  *text = pending ? c.text : "";
  return pending;
}

// The text of a SID inside a record, as far as its bytes can be read:
// S-R-A-S1-S2-...
std::string sid_text(const BYTE *p, DWORD size) {
  if (size < 8) return {};
  uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = authority << 8 | p[i];
  std::string out = "S-" + std::to_string(p[0]) + "-";
  if (authority >> 32 != 0) {
    static const char kHex[] = "0123456789ABCDEF";
    out += "0x";
    for (int i = 2; i < 8; ++i) {
      out += kHex[p[i] >> 4];
      out += kHex[p[i] & 0xF];
    }
  } else {
    out += std::to_string(authority);
  }
  const DWORD subs = std::min<DWORD>(p[1], (size - 8) / 4);
  for (DWORD i = 0; i < subs; ++i) out += "-" + std::to_string(ReadU32(p + 8 + 4 * i));
  return out;
}

void text_field(const RecordView &view, DWORD offset, std::string &out) {
  const RecordText t = view.Text(offset);
  out.clear();
  if (t.text == nullptr) return;
  vesk::walk::append_utf8_le(out, view.bytes() + offset, t.units);
}

// The raw fields that the filter looks at, read without going past the
// record's Length.
void parse_head(const RecordView &view, RawRecord &raw) {
  raw.number = view.u32(kRecordNumber);
  raw.time_generated = view.u32(12);
  raw.time_written = view.u32(kRecordTimeWritten);
  raw.event_id = view.u32(kRecordEventId);
  raw.event_type = view.u16(kRecordEventType);
  raw.category = view.u16(kRecordEventCategory);
  text_field(view, kRecordSourceName, raw.source);
}

// The other raw fields, read the same way.  A string count larger than the
// strings the record holds gives the strings it holds.
void parse_rest(const RecordView &view, RawRecord &raw) {
  const BYTE *p = view.bytes();
  text_field(view, view.Text(kRecordSourceName).next, raw.computer);

  raw.sid.clear();
  const DWORD sid_size = view.u32(kRecordUserSidLength);
  const DWORD sid_offset = view.u32(kRecordUserSidOffset);
  if (sid_size != 0 && sid_offset <= view.length() &&
      sid_size <= view.length() - sid_offset)
    raw.sid = sid_text(p + sid_offset, sid_size);

  const WORD count = view.u16(kRecordNumStrings);
  DWORD at = view.u32(kRecordStringOffset);
  size_t kept = 0;
  for (WORD i = 0; i < count && at < view.length(); ++i) {
    const RecordText t = view.Text(at);
    if (t.text == nullptr) break;
    if (kept == raw.strings.size()) raw.strings.emplace_back();
    text_field(view, at, raw.strings[kept++]);
    at = t.next;
  }
  raw.strings.resize(kept);

  const DWORD data_size = view.u32(48);
  const DWORD data_offset = view.u32(52);
  raw.data.clear();
  if (data_size != 0 && data_offset < view.length()) {
    const DWORD n = std::min<DWORD>(data_size, view.length() - data_offset);
    raw.data.assign(p + data_offset, p + data_offset + n);
  }
}

// The registry of a computer: HKLM, local or remote.
class Registry {
 public:
  explicit Registry(const std::string &machine) {
    if (machine.empty()) {
      rc_ = ERROR_SUCCESS;
      root_ = HKEY_LOCAL_MACHINE;
      return;
    }
    const WString name = wide(machine);
    rc_ = RegConnectRegistryW(name.c_str(), HKEY_LOCAL_MACHINE, &root_);
    remote_ = rc_ == ERROR_SUCCESS && root_ != HKEY_LOCAL_MACHINE;
  }
  ~Registry() {
    if (remote_) RegCloseKey(root_);
  }
  Registry(const Registry &) = delete;
  Registry &operator=(const Registry &) = delete;

  bool ok() const { return rc_ == ERROR_SUCCESS; }
  LONG rc() const { return rc_; }

  // The names of the subkeys of `path`; false when it cannot be opened.
  bool subkeys(const WString &path, std::vector<std::string> *names) const {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root_, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
      return false;
    names->clear();
    WCHAR name[256];
    for (DWORD i = 0;; ++i) {
      DWORD units = 256;
      const LONG rc =
          RegEnumKeyExW(key, i, name, &units, nullptr, nullptr, nullptr, nullptr);
      if (rc == ERROR_NO_MORE_ITEMS) break;
      if (rc != ERROR_SUCCESS) continue;  // a name too long for a key: none is
      names->push_back(narrow(name, units));
    }
    RegCloseKey(key);
    return true;
  }

  // A string value's text; empty when missing.
  std::string string_value(const WString &path, const WString &value) const {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root_, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
    WCHAR text[1024];
    DWORD bytes = sizeof text - sizeof(WCHAR);
    DWORD type = 0;
    std::string out;
    if (RegQueryValueExW(key, value.c_str(), nullptr, &type,
                         reinterpret_cast<LPBYTE>(text), &bytes) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
      size_t n = bytes / sizeof(WCHAR);
      text[n] = 0;
      n = 0;
      while (text[n] != 0) ++n;
      out = narrow(text, n);
    }
    RegCloseKey(key);
    return out;
  }

 private:
  HKEY root_ = nullptr;
  LONG rc_ = ERROR_SUCCESS;
  bool remote_ = false;
};

const WString &eventlog_key() {
  static const WString k = wide("SYSTEM\\CurrentControlSet\\Services\\EventLog");
  return k;
}

bool standard_log(std::string_view name) {
  return iequal_ascii(name, "Application") || iequal_ascii(name, "System") ||
         iequal_ascii(name, "Security");
}

// Enables SeSecurityPrivilege for the process, as the library does before it
// opens a Security log, so that the raw handles can open it too.
void enable_security_privilege() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                        &token))
    return;
  TOKEN_PRIVILEGES privileges = {};
  static const WString kName = wide("SeSecurityPrivilege");
  if (LookupPrivilegeValueW(nullptr, kName.c_str(), &privileges.Privileges[0].Luid)) {
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  }
  CloseHandle(token);
}

// Whether the local computer was given (image or environment).
bool g_have_local = false;

#if !defined(_WIN32)
// Loose files are served under a log name of the reference computer for the
// length of one open; opens that do so take turns.
std::mutex g_serve_mutex;
#endif

}  // namespace

// ---------------------------------------------------------------- computers

bool configure(const Images &images, std::string *error) {
#if defined(_WIN32)
  if (!images.local.empty() || !images.remotes.empty()) {
    *error =
        "images are read by the emulated platform; this Windows build reads the logs of "
        "this computer (or of --machine NAME) itself";
    return false;
  }
  g_have_local = true;
  return true;
#else
  if (!images.local.empty()) setenv("VESK_LOCAL_IMAGE", images.local.c_str(), 1);
  if (!images.remotes.empty()) {
    std::string list;
    for (const std::string &r : images.remotes) list += (list.empty() ? "" : ";") + r;
    setenv("VESK_REMOTE_IMAGES", list.c_str(), 1);
  }
  const char *local = std::getenv("VESK_LOCAL_IMAGE");
  g_have_local = local != nullptr && *local != '\0';
  // A remote computer named as the local one would never be reached: the
  // local computer answers to its own name.
  if (g_have_local) {
    const std::string own = computer_name("");
    for (const std::string &r : images.remotes) {
      const size_t eq = r.find('=');
      if (eq == std::string::npos) continue;
      const std::string name = r.substr(0, eq);
      if (!own.empty() && fold(name) == fold(own)) {
        *error = "--remote " + r + ": " + name +
                 " is the name of the local computer (the image given with --image); "
                 "give the remote computer another name";
        return false;
      }
    }
  }
  return true;
#endif
}

bool have_local_computer() {
#if defined(_WIN32)
  return true;
#else
  // An image named by configure() or the environment, or a local computer
  // that a caller of the platform's seam set up with a registry.
  if (g_have_local) return true;
  auto system = vesk::emu::local()->hklm()->child(u"SYSTEM");
  return system != nullptr && !system->subkeys().empty();
#endif
}

std::string computer_name(const std::string &machine) {
  Registry reg(machine);
  std::string name;
  if (reg.ok())
    name = reg.string_value(
        wide("SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName"),
        wide("ComputerName"));
  if (name.empty()) name = machine;
  return name;
}

bool is_log_file(const std::string &name) {
  std::error_code ec;
  return std::filesystem::is_regular_file(name, ec);
}

// ---------------------------------------------------------------- one log

struct Log::Impl {
  // The library's handles: one for a registered log; for a loose file, one
  // per log of the reference computer that its records' sources need.
  struct Library {
    std::string log;
    VESKHANDLE h = 0;
    bool open = false;
    std::string error;
  };

  std::string label;
  std::string machine;
  Options o;
  bool loose = false;
  std::filesystem::path file;
  std::deque<Library> libraries;  // stable addresses: last_library points in
  std::map<std::string, std::string> source_logs;  // fold(source) -> log
  std::string default_log;

  HANDLE raw = nullptr;
  std::vector<BYTE> batch = std::vector<BYTE>(kBatchBytes);
  DWORD valid = 0;
  DWORD hint = 0;
  DWORD last_missed = 0;
  std::vector<BYTE> large;

  uint32_t oldest = 0, count = 0;
  uint32_t lo = 0, hi = 0;
  uint64_t span = 0, position = 0, shown = 0, scanned = 0;
  int unreadable = 0;
  bool complete = true;
  std::string stop_reason;
  VARIANT row[kRowSlots];

  Impl() {
    for (VARIANT &v : row) VariantInit(&v);
  }
  ~Impl() {
    for (VARIANT &v : row) VariantClear(&v);
    for (Library &l : libraries)
      if (l.h != 0) VeskClose(l.h);
    if (raw != nullptr) CloseEventLog(raw);
  }

  // The record `number` among the whole records of the batch, or null.
  const BYTE *find_in_batch(DWORD number) {
    if (hint != 0 && hint < valid && valid - hint >= kRecordFixedBytes) {
      const BYTE *r = batch.data() + hint;
      const DWORD length = ReadU32(r + kRecordLength);
      if (length >= kRecordFixedBytes && length <= valid - hint &&
          ReadU32(r + kRecordNumber) == number) {
        hint += length;
        return r;
      }
    }
    DWORD total = 0;
    while (valid > total && valid - total >= kRecordFixedBytes) {
      const BYTE *r = batch.data() + total;
      const DWORD length = ReadU32(r + kRecordLength);
      if (length < kRecordFixedBytes || length > valid - total) break;
      if (ReadU32(r + kRecordNumber) == number) {
        hint = total + length;
        return r;
      }
      total += length;
    }
    hint = 0;
    return nullptr;
  }

  enum class Read { kOk, kEnd, kUnreadable };

  // The raw record `number`: its bytes in *out.
  Read read_raw(DWORD number, const BYTE **out) {
    if ((*out = find_in_batch(number)) != nullptr) return Read::kOk;
    const DWORD flags =
        EVENTLOG_SEEK_READ |
        (number < last_missed ? EVENTLOG_BACKWARDS_READ : EVENTLOG_FORWARDS_READ);
    last_missed = number;
    DWORD read = 0, needed = 0;
    valid = 0;
    if (ReadEventLogW(raw, flags, number, batch.data(), kBatchBytes, &read, &needed)) {
      valid = read;
      if ((*out = find_in_batch(number)) != nullptr) return Read::kOk;
      return Read::kUnreadable;
    }
    const DWORD rc = GetLastError();
    if (rc == ERROR_HANDLE_EOF) return Read::kEnd;
    if (rc == ERROR_INSUFFICIENT_BUFFER && needed > kBatchBytes &&
        needed <= kMaxRecordBytes) {
      large.resize(needed);
      if (ReadEventLogW(raw, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, number,
                        large.data(), needed, &read, &needed) &&
          read >= kRecordFixedBytes && ReadU32(large.data() + kRecordLength) <= read &&
          ReadU32(large.data() + kRecordNumber) == number) {
        *out = large.data();
        return Read::kOk;
      }
    }
    return Read::kUnreadable;
  }

  // The library handle that converts a record of `source`.
  Library *library_for(const std::string &source, std::string *error);
  Library *remember(const std::string &source, Library *l) {
    last_source = source;
    last_library = l;
    return l;
  }
  std::string last_source;
  Library *last_library = nullptr;
  bool open_library(Library &l);

  // Fills out.row and out.error from the library.
  void fill_row(uint32_t number, Record &out) {
    // Emptied in place: the texts keep their capacity from record to record.
    for (Cell &c : out.row) {
      c.kind = Cell::Kind::Empty;
      c.text.clear();
    }
    out.error.kind = Cell::Kind::Empty;
    out.error.text.clear();
    std::string why;
    Library *lib = library_for(out.has_raw ? out.raw.source : std::string(), &why);
    if (lib == nullptr) {
      if (!why.empty()) out.error = Cell{Cell::Kind::Text, why};
      return;
    }
    if (VeskGetRec(lib->h, number, row) != 0) {
      std::string text;
      if (library_error(lib->h, &text)) out.error = Cell{Cell::Kind::Text, text};
    }
    for (int s = 0; s < kRowSlots; ++s) set_cell(out.row[s], row[s]);
    for (VARIANT &v : row) VariantClear(&v);
  }

  bool read(uint32_t number, Record &out, bool with_row) {
    out.log = label;
    out.number = number;
    const BYTE *p = nullptr;
    const Read r = read_raw(number, &p);
    if (r == Read::kEnd) return false;
    out.has_raw = r == Read::kOk;
    if (out.has_raw) {
      const RecordView view(p);
      parse_head(view, out.raw);
      parse_rest(view, out.raw);
    }
    if (with_row) {
      fill_row(number, out);
    } else {
      for (Cell &c : out.row) c = Cell{};
      out.error = Cell{};
    }
    return true;
  }

  bool next(Record &out, bool with_row) {
    while (position < span && complete) {
      if (o.limit && shown >= *o.limit) return false;
      const uint32_t number = o.reverse ? hi - static_cast<uint32_t>(position)
                                        : lo + static_cast<uint32_t>(position);
      ++position;
      ++scanned;
      out.log = label;
      out.number = number;
      const BYTE *p = nullptr;
      const Read r = read_raw(number, &p);
      if (r == Read::kEnd) {
        // Past the end of the log: a forward walk is done, a backward one
        // goes on down to the records that are there.
        if (!o.reverse) return false;
        if (++unreadable >= kUnreadableInARow) stop(number);
        continue;
      }
      if (r == Read::kUnreadable) {
        out.has_raw = false;
        if (++unreadable >= kUnreadableInARow) stop(number);
      } else {
        unreadable = 0;
        out.has_raw = true;
        // The fields the filter needs first: a record left out costs no more.
        const RecordView view(p);
        parse_head(view, out.raw);
        if (!o.filter.matches(out.raw)) continue;
        parse_rest(view, out.raw);
      }
      if (with_row) {
        fill_row(number, out);
      } else {
        for (Cell &c : out.row) c = Cell{};
        out.error = Cell{};
      }
      ++shown;
      return true;
    }
    return false;
  }

  void stop(uint32_t number) {
    complete = false;
    stop_reason = std::to_string(kUnreadableInARow) +
                  " records in a row could not be read (up to record " +
                  std::to_string(number) + "); stopping";
  }
};

bool Log::Impl::open_library(Library &l) {
  l.open = true;
  const char *machine_arg = machine.empty() ? nullptr : machine.c_str();
#if defined(_WIN32)
  if (loose) {
    l.error = "the Windows build reads a loose file's raw records only";
    return false;
  }
  (void)machine_arg;
  if (VeskOpen(machine_arg, l.log.c_str(), &l.h) != 0) {
    library_error(l.h, &l.error);
    return false;
  }
  return true;
#else
  if (!loose) {
    if (VeskOpen(machine_arg, l.log.c_str(), &l.h) != 0) {
      library_error(l.h, &l.error);
      return false;
    }
    return true;
  }
  std::lock_guard<std::mutex> lock(g_serve_mutex);
  bool is_local = false;
  auto computer = vesk::emu::find_computer(
      machine.empty() ? nullptr : vesk::emu::from_utf8(machine).c_str(), &is_local);
  if (!computer) {
    l.error = "no computer named " + machine;
    return false;
  }
  std::string why;
  auto source = vesk::emu::host_source(file, &why);
  if (!source) {
    l.error = why;
    return false;
  }
  const std::u16string name = vesk::emu::from_utf8(l.log);
  auto previous = computer->serve_log(name, source);
  bool ok = VeskOpen(machine_arg, l.log.c_str(), &l.h) == 0;
  if (!ok) library_error(l.h, &l.error);
  if (ok && raw == nullptr) {
    raw = OpenEventLogW(machine.empty() ? nullptr : wide(machine).c_str(), name.c_str());
    if (raw == nullptr) l.error = "OpenEventLog rc=" + std::to_string(GetLastError());
    ok = raw != nullptr;
  }
  computer->serve_log(name, previous);
  return ok;
#endif
}

Log::Impl::Library *Log::Impl::library_for(const std::string &source,
                                           std::string *error) {
  // Records of one source tend to come in runs: the last answer is kept.
  if (last_library != nullptr && source == last_source) return last_library;
  std::string log = default_log;
  if (loose && o.as_log.empty()) {
    auto it = source_logs.find(fold(source));
    if (it != source_logs.end()) log = it->second;
  }
  last_library = nullptr;
  for (Library &l : libraries) {
    if (!iequal_ascii(l.log, log)) continue;
    if (!l.open) open_library(l);
    if (l.h == 0 || !l.error.empty()) {
      *error = l.error;
      return nullptr;
    }
    return remember(source, &l);
  }
  libraries.push_back(Library{log});
  Library &l = libraries.back();
  if (!open_library(l) || !l.error.empty()) {
    *error = l.error;
    return nullptr;
  }
  return remember(source, &l);
}

Log::Log(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Log::~Log() = default;

const std::string &Log::label() const { return impl_->label; }
uint32_t Log::oldest() const { return impl_->oldest; }
uint32_t Log::count() const { return impl_->count; }
uint64_t Log::span() const { return impl_->span; }
bool Log::next(Record &out) { return impl_->next(out, true); }
bool Log::next_raw(Record &out) { return impl_->next(out, false); }
uint64_t Log::scanned() const { return impl_->scanned; }
bool Log::complete() const { return impl_->complete; }
const std::string &Log::stop_reason() const { return impl_->stop_reason; }
bool Log::read(uint32_t number, Record &out, bool with_row) {
  return impl_->read(number, out, with_row);
}

bool list_logs(const std::string &machine, std::vector<LogInfo> *logs, bool *has_registry,
               std::string *error) {
  logs->clear();
  Registry reg(machine);
  if (!reg.ok()) {
    *error = "RegConnectRegistry rc=" + std::to_string(reg.rc());
    return false;
  }
  enable_security_privilege();
  std::vector<std::string> names;
  *has_registry = reg.subkeys(eventlog_key(), &names);
  if (!*has_registry) names = {"Application", "Security", "System"};
  const WString machine_w = wide(machine);
  for (const std::string &name : names) {
    LogInfo info;
    info.name = name;
    if (*has_registry)
      info.file = reg.string_value(eventlog_key() + wide("\\" + name), wide("File"));
    HANDLE h =
        OpenEventLogW(machine.empty() ? nullptr : machine_w.c_str(), wide(name).c_str());
    if (h == nullptr) {
      info.error = "OpenEventLog rc=" + std::to_string(GetLastError());
    } else {
      DWORD oldest = 0, count = 0;
      if (GetOldestEventLogRecord(h, &oldest) && GetNumberOfEventLogRecords(h, &count)) {
        info.opened = true;
        info.oldest = oldest;
        info.count = count;
      } else {
        info.error = "GetNumberOfEventLogRecords rc=" + std::to_string(GetLastError());
      }
      CloseEventLog(h);
    }
    logs->push_back(std::move(info));
  }
  return true;
}

std::unique_ptr<Log> Log::open(const std::string &name, const Options &o,
                               std::string *error) {
  auto impl = std::make_unique<Impl>();
  impl->o = o;
  impl->machine = o.machine;
  while (!impl->machine.empty() && impl->machine.front() == '\\')
    impl->machine.erase(0, 1);
  const std::string &machine = impl->machine;
  const std::string where = machine.empty() ? computer_name("") : machine;
  impl->loose = is_log_file(name);
  Registry reg(machine);
  std::vector<std::string> logs;
  const bool has_registry = reg.ok() && reg.subkeys(eventlog_key(), &logs);
  // A log name the computer does not register: refused, where the library
  // (as Windows) would serve Application under that name.
  auto find_log = [&](const std::string &log) -> std::optional<std::string> {
    if (!has_registry) {
      if (standard_log(log)) return log;
      return std::nullopt;
    }
    for (const std::string &l : logs)
      if (fold(l) == fold(log)) return l;
    return std::nullopt;
  };
  auto unknown = [&](const std::string &log) {
    std::string list;
    for (const std::string &l :
         has_registry ? logs
                      : std::vector<std::string>{"Application", "Security", "System"})
      list += (list.empty() ? "" : ", ") + l;
    return "no log named '" + log + "' on " + (where.empty() ? "this computer" : where) +
           (has_registry
                ? "; its logs: " + list
                : "; it has no event log registry, so only " + list + " are served");
  };

  if (!impl->loose) {
    impl->label = name;
    if (machine.empty() && !have_local_computer()) {
      *error =
          "no Windows system to read: name its system drive with --image DIR (or "
          "VESK_LOCAL_IMAGE), or give a .evt file";
      return nullptr;
    }
    if (reg.ok() && !find_log(name)) {
      *error = unknown(name);
      return nullptr;
    }
    impl->default_log = name;
    impl->libraries.push_back(Impl::Library{name});
    Impl::Library &l = impl->libraries.back();
    if (!impl->open_library(l)) {
      *error = l.error;
      return nullptr;
    }
    const WString machine_w = wide(machine);
    impl->raw =
        OpenEventLogW(machine.empty() ? nullptr : machine_w.c_str(), wide(name).c_str());
    if (impl->raw == nullptr) {
      *error = "OpenEventLog rc=" + std::to_string(GetLastError());
      return nullptr;
    }
  } else {
    impl->file = name;
    impl->label = std::filesystem::path(name).filename().string();
    if (!o.as_log.empty()) {
      auto found = find_log(o.as_log);
      if (!found) {
        *error = "--as: " + unknown(o.as_log);
        return nullptr;
      }
      impl->default_log = *found;
    } else {
      // Each record's source is looked up under the log that registers it.
      for (const std::string &log : logs) {
        std::vector<std::string> sources;
        if (reg.subkeys(eventlog_key() + wide("\\" + log), &sources))
          for (const std::string &s : sources) impl->source_logs.emplace(fold(s), log);
      }
      impl->default_log =
          find_log("Application")
              .value_or(logs.empty() ? std::string("Application") : logs.front());
    }
#if defined(_WIN32)
    const WString file_w = impl->file.wstring();
    impl->raw = OpenBackupEventLogW(nullptr, file_w.c_str());
    if (impl->raw == nullptr) {
      *error = "OpenBackupEventLog rc=" + std::to_string(GetLastError());
      return nullptr;
    }
#else
    if (!have_local_computer() && machine.empty()) {
      // No reference system: a bare computer, so that the library still
      // gives every column but messages, categories and account names.
      auto computer = vesk::emu::local();
      computer->key(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion")
          ->set_string(u"SystemRoot", u"C:\\WINDOWS");
    }
    impl->libraries.push_back(Impl::Library{impl->default_log});
    Impl::Library &l = impl->libraries.back();
    if (!impl->open_library(l)) {
      *error = l.error;
      return nullptr;
    }
#endif
  }

  DWORD oldest = 0, count = 0;
  if (!GetOldestEventLogRecord(impl->raw, &oldest) ||
      !GetNumberOfEventLogRecords(impl->raw, &count)) {
    *error = "GetNumberOfEventLogRecords rc=" + std::to_string(GetLastError());
    return nullptr;
  }
  impl->oldest = oldest;
  impl->count = count;
  if (count != 0) {
    uint32_t lo = oldest, hi = oldest + count - 1u;
    if (o.from && *o.from > lo) lo = *o.from;
    if (o.to && *o.to < hi) hi = *o.to;
    impl->lo = lo;
    impl->hi = hi;
    impl->span = lo <= hi ? static_cast<uint64_t>(hi) - lo + 1 : 0;
  }
  return std::unique_ptr<Log>(new Log(std::move(impl)));
}

}  // namespace vesk::walk
