// The emulated platform's one seam for tests and tools: simulated computers
// (built in memory or loaded from a Windows system drive directory), failure
// injection into any call, call counts, live-object counts and the tick count.
//
// Callers that use only the six exports configure the platform through two
// environment variables, read at first use unless a test has called reset():
//   VESK_LOCAL_IMAGE    the local computer's system drive directory
//   VESK_REMOTE_IMAGES  ';'-separated NAME=DIR or DIR (named by its registry)
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/emulated/win32.h"

namespace vesk::emu {

// ---------------------------------------------------------------- calls

enum class Call : int {
#define VESK_EMU_CALL(name) name,
#include "platform/emulated/calls.def"
#undef VESK_EMU_CALL
  Count
};

const char *call_name(Call c);

// After `skip` further calls of `c` succeed, the next `times` calls (-1: all
// of them) fail with `code`.  Calls that return an error code return it;
// the others set it as the last error and return their failure value.
void fail(Call c, DWORD code, int times = -1, unsigned skip = 0);
void clear_faults();

// Calls made since the last reset_calls().
uint64_t calls(Call c);
void reset_calls();

// Milliseconds since the simulated boot, wrapping at 2^32.  Until a test sets
// it the tick count follows the host's monotonic clock.
void set_tick_count(DWORD value);
void advance_tick_count(DWORD ms);
void use_real_tick_count();

// Objects that are alive now: every one of them must be released by the time
// a caller has closed all its handles.
struct Live {
  long local_allocs = 0;
  long bstrs = 0;
  long reg_keys = 0;
  long event_logs = 0;
  long tokens = 0;
  long modules = 0;
};
Live live();

// Problems met while reading images (hive library errors, unreadable files).
// Kept for tests; printed on standard error when the environment configured
// the platform, since a caller of the six exports cannot see them otherwise.
std::vector<std::string> diagnostics();
void clear_diagnostics();
void report(std::string message);

// ---------------------------------------------------------------- text

// Names are compared as Windows compares registry, file and computer names:
// code unit by code unit after upper-casing.
char16_t upcase(char16_t c);
std::u16string fold(std::u16string_view s);
bool iequal(std::u16string_view a, std::u16string_view b);
std::u16string from_utf8(std::string_view s);
std::string to_utf8(std::u16string_view s);

// ---------------------------------------------------------------- files

// Random access to the bytes of a file, on the host or in memory.  Large
// files are read piece by piece, never loaded whole.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t size() const = 0;
  // Reads exactly n bytes at off; false if the range is not in the file or
  // the read fails.
  virtual bool read(uint64_t off, void *dst, size_t n) const = 0;
  // The first offset at or after `off` that may hold anything but zeros
  // (size() when none): a sparse file's holes can be passed without reading
  // them.  Sources that do not know give `off`.
  virtual uint64_t data_from(uint64_t off) const { return off; }
  // The host file descriptor the bytes are read from, for a caller that
  // maps them read-only; -1 when they are not in a host file.
  virtual int descriptor() const { return -1; }
  // All size() bytes in place, when the source holds them in memory:
  // readers may check and copy records where they lie.  Valid while the
  // source lives; null for sources that only read.
  virtual const uint8_t *bytes() const { return nullptr; }
};

std::shared_ptr<ByteSource> memory_source(std::vector<uint8_t> bytes);
// Null and *error set when the file cannot be opened.
std::shared_ptr<ByteSource> host_source(const std::filesystem::path &file,
                                        std::string *error);

// Finds `relative` (components separated by '\' or '/') below `dir`, each
// component matched without regard to case, and returns its real location.
// ".." is resolved first, as Windows does, and never rises above `dir`.
// Empty when absent, and when any step's real location (symbolic links
// followed) lies outside `within` (default: `dir`); such a refusal is
// reported.  Among names that differ only by case the exact one wins, else
// the first in sorted order; the ambiguity is reported.
std::optional<std::filesystem::path> find_case_insensitive(
    const std::filesystem::path &dir, std::u16string_view relative,
    const std::filesystem::path &within = {});

// ---------------------------------------------------------------- modules

// Loads `size` bytes at `bytes` as LoadLibraryExW loads a file with them as
// a data file: the same reader, a handle that FormatMessageW takes and
// FreeLibrary releases, counted in live().modules.  No path is resolved and
// the bytes are read in place, not copied; they need not outlive the call.
// Not a Win32 call: neither counted nor faultable.  Null with the calling
// thread's last error set as LoadLibraryExW sets it for such a file.
HMODULE load_module(const uint8_t *bytes, size_t size);

// The process-wide budget of what the module loader keeps resident: the
// bytes of every distinct message file it holds (a mapped file's holes
// excluded) and of its heap copies and indexes.  A LoadLibraryExW that would
// pass it fails with ERROR_NOT_ENOUGH_MEMORY.  kDefaultModuleBudget until a
// test sets another; module_bytes() is what is charged now.
constexpr uint64_t kDefaultModuleBudget = uint64_t{1} << 30;
void set_module_budget(uint64_t bytes);
uint64_t module_bytes();

// ---------------------------------------------------------------- registry

struct RegValue {
  DWORD type = REG_NONE;
  std::vector<uint8_t> data;
};

class RegKey {
 public:
  virtual ~RegKey() = default;
  // One path component; null when there is no such subkey.
  virtual std::shared_ptr<RegKey> child(std::u16string_view name) = 0;
  // "" is the default value.  Empty when there is no such value.
  virtual std::optional<RegValue> value(std::u16string_view name) = 0;
  // The names of the subkeys, in the order the key keeps them.
  virtual std::vector<std::u16string> subkeys() = 0;
  // The subkeys with their names, in the same order, taken in one pass; a
  // key whose child() has to search its subkeys gives them here without
  // searching once per name.
  virtual std::vector<std::pair<std::u16string, std::shared_ptr<RegKey>>> children() {
    std::vector<std::pair<std::u16string, std::shared_ptr<RegKey>>> out;
    for (auto &name : subkeys()) {
      auto key = child(name);
      if (key) out.emplace_back(std::move(name), std::move(key));
    }
    return out;
  }
};

// A key held in memory.  Names keep their case; lookups ignore it.
// Orders names as fold() makes them, folding as it compares: a name can be
// looked up as given, without a folded copy made first.
struct FoldedLess {
  using is_transparent = void;
  bool operator()(std::u16string_view a, std::u16string_view b) const;
};

class MemKey : public RegKey, public std::enable_shared_from_this<MemKey> {
 public:
  std::shared_ptr<RegKey> child(std::u16string_view name) override;
  std::optional<RegValue> value(std::u16string_view name) override;
  std::vector<std::u16string> subkeys() override;

  // Returns the key at `path` ("A\B\C") below this one, creating what is
  // missing.  A component that is a mounted key cannot be created through.
  std::shared_ptr<MemKey> create(std::u16string_view path);
  void set(std::u16string_view name, DWORD type, std::vector<uint8_t> data);
  // Stores UTF-16LE text, with its terminating zero unless told otherwise.
  void set_string(std::u16string_view name, std::u16string_view text, DWORD type = REG_SZ,
                  bool terminated = true);
  void set_dword(std::u16string_view name, DWORD value);
  // Makes `key` (a loaded hive, say) the subkey `name`.
  void mount(std::u16string_view name, std::shared_ptr<RegKey> key);

 private:
  std::mutex mutex_;
  std::map<std::u16string, std::shared_ptr<RegKey>, FoldedLess> children_;  // by fold()
  std::map<std::u16string, std::u16string> child_names_;                    // as given
  std::map<std::u16string, RegValue, FoldedLess> values_;                   // by fold()
};

// Opens a hive file with the hive library.  For a SYSTEM hive
// (`system_hive`), the subkey CurrentControlSet is served from
// ControlSet00N, N being Select\Current.  Null and *error set when the file
// is not a hive the library can open.
std::shared_ptr<RegKey> open_hive(const std::filesystem::path &file, bool system_hive,
                                  std::string *error);

// How many subkey names have been read from hive files in this process: one
// per subkey each time a key's subkeys are listed.  It shows how much of a
// hive a reader walks; only ever grows.
uint64_t hive_subkey_names_read();

// ---------------------------------------------------------------- computers

class Computer {
 public:
  explicit Computer(std::u16string name);

  const std::u16string &name() const { return name_; }
  // HKEY_LOCAL_MACHINE of this computer.
  const std::shared_ptr<MemKey> &hklm() const { return hklm_; }
  // HKLM\path, created if missing; null below a mounted hive, which is
  // read-only.
  std::shared_ptr<MemKey> key(std::u16string_view path) { return hklm_->create(path); }

  // Drive `letter` is the host directory `dir`.
  void add_drive(char16_t letter, std::filesystem::path dir);
  // A file held in memory, by its Windows path (C:\WINDOWS\x.dll); it is
  // found before anything on the drives.
  void add_file(std::u16string_view windows_path, std::vector<uint8_t> bytes);
  // A log served from `bytes`; its key under
  // SYSTEM\CurrentControlSet\Services\EventLog is created if missing.
  void add_log(std::u16string_view name, std::vector<uint8_t> bytes);

  // The bytes of a file named by a Windows path ("C:\dir\f"), resolved in the
  // computer's memory files, then its drives without regard to case.  The
  // path is resolved as Windows resolves it: ".." stops at the drive's root.
  // Nothing outside the directory of the drive is ever opened: a file or
  // directory whose real location (symbolic links followed) lies outside it
  // is refused, and the refusal reported; links that stay inside work.  Null
  // with *code set to ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND (and
  // ERROR_ACCESS_DENIED when the host cannot open a file found), and *why,
  // when given, saying what was missing.
  std::shared_ptr<ByteSource> open_file(std::u16string_view windows_path, DWORD *code,
                                        std::string *why = nullptr) const;
  // Whether the computer has drive `letter`, and so the administrative share
  // "X$" for it: drive C, a drive added with add_drive, or one that a file
  // added with add_file lies on.
  bool has_drive(char16_t letter) const;
  // The in-memory log of that name, if add_log gave one.
  std::shared_ptr<ByteSource> memory_log(std::u16string_view name) const;
  // Serves the log `name` from `source` (a loose .evt file, say) instead of
  // the file the registry names, without touching the registry; null goes
  // back to the registry's file.  Returns what served it before, so that a
  // caller can serve a file for the length of one open and then restore it.
  std::shared_ptr<ByteSource> serve_log(std::u16string_view name,
                                        std::shared_ptr<ByteSource> source);

  // The accounts that LookupAccountSidW finds on this computer (see
  // add_account); made at the first look-up.
  struct Accounts;
  Accounts &accounts();

 private:
  std::u16string name_;
  std::shared_ptr<MemKey> hklm_;
  mutable std::mutex mutex_;
  std::map<char16_t, std::filesystem::path> drives_;             // upper-case letter
  std::map<std::u16string, std::shared_ptr<ByteSource>> files_;  // fold(path)
  std::u16string file_drives_;  // upper-case letters of the files' drives
  std::map<std::u16string, std::shared_ptr<ByteSource>> logs_;  // fold(name)
  std::shared_ptr<Accounts> accounts_;
};

// A computer from a directory that holds a Windows system drive: the hives
// are read from <system root>/system32/config/{SYSTEM,SOFTWARE,SAM}, the
// name from ComputerName unless `name` is given, and the directory becomes
// drive C (or the drive that SystemRoot names).  Problems with single hives
// are reported (see diagnostics()) and leave that part of the registry
// empty; a directory that does not exist gives null and *error.
std::shared_ptr<Computer> load_image(const std::filesystem::path &dir,
                                     std::u16string name, std::string *error);

// ---------------------------------------------------------------- accounts

// LookupAccountSidW on a computer resolves the well-known SIDs (with the
// English names of Windows XP and Server 2003), the accounts of its SAM hive
// (HKLM\SAM, read once at its first look-up: the machine's domain SID and
// the users, groups and aliases of its account domain, with the computer's
// name as their domain) and the accounts added here, which are found first.
// `sid` is a binary SID.
void add_account(Computer &computer, std::vector<uint8_t> sid, std::u16string domain,
                 std::u16string name, SID_NAME_USE use = SidTypeUser);

// ---------------------------------------------------------------- the world

// Back to nothing: no computers (the local one is an empty computer named
// LOCALHOST), no faults, call counts zero, real tick count, privileges
// granted, diagnostics cleared.  The environment is no longer consulted.
void reset();
void set_local(std::shared_ptr<Computer> computer);
std::shared_ptr<Computer> local();
// A remote computer found by its own name, and by `alias` if given.
void add_remote(std::shared_ptr<Computer> computer, std::u16string alias = {});
// Null, empty or the local computer's own name: the local computer.
// "\\NAME" or "NAME" without regard to case: that remote computer.
// Null for an unknown name.  `is_local` tells which of the two it found.
std::shared_ptr<Computer> find_computer(const char16_t *name, bool *is_local);

// Whether AdjustTokenPrivileges assigns what it is asked for (the default) or
// leaves it unassigned with ERROR_NOT_ALL_ASSIGNED.
void set_privilege_assigned(bool assigned);
bool privilege_assigned();

// Whether the process has enabled SeSecurityPrivilege, which opening the
// local Security log needs (ERROR_PRIVILEGE_NOT_HELD otherwise).  reset()
// clears it; AdjustTokenPrivileges sets it.
void set_security_privilege_enabled(bool enabled);
bool security_privilege_enabled();

// ---------------------------------------------------------------- language

// The language of the emulated user (also its thread and system default),
// which message look-ups under LANG_USER_DEFAULT or LANG_NEUTRAL prefer.
// English, United States (0x0409) until a test sets another; reset()
// restores it.
void set_user_language(LANGID lang);
LANGID user_language();

}  // namespace vesk::emu
