// Registry hive files (regf) written from a description of keys and values.
//
// The hive library can edit hives but not create one, so write_hive() lays
// down a minimal empty hive itself (base block, one hive bin, a root key and
// its security cell) and then fills it through the library.  Typical use:
//
//   vesk::tools::RegNode system(u"SYSTEM");
//   system.key(u"Select").set_dword(u"Current", 1);
//   system.key(u"ControlSet001\\Control\\ComputerName\\ComputerName")
//       .set_string(u"ComputerName", u"SERVER01");
//   std::string error;
//   if (!vesk::tools::write_hive(dir / "SYSTEM", system, &error)) ...
//
// or describe the registry as .reg text (see regtext.h) and write a whole
// system drive's hives with write_system_hives().
#pragma once

#include <cstdint>
#include <filesystem>
#include <list>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::tools {

struct RegNodeValue {
  std::u16string name;  // "" is the default value
  uint32_t type = 0;
  std::vector<uint8_t> data;  // exactly the bytes to store
};

// A registry key to be written: its name, its values and its subkeys, in the
// order they were added.  Names keep their case and are matched without
// regard to it, so one key never holds two subkeys or two values whose names
// differ only in case.
class RegNode {
 public:
  RegNode() = default;
  explicit RegNode(std::u16string name) : name_(std::move(name)) {}

  const std::u16string &name() const { return name_; }
  const std::vector<RegNodeValue> &values() const { return values_; }
  const std::list<RegNode> &children() const { return children_; }

  // The key at `path` below this one ("A\B"; empty components are skipped,
  // so "" is this key), created with what is missing.
  RegNode &key(std::u16string_view path);
  // The key at `path`, or null.
  RegNode *find(std::u16string_view path);
  const RegNode *find(std::u16string_view path) const;
  // Removes the subkey at `path` with everything below it; false if absent.
  bool remove(std::u16string_view path);

  // Sets (or replaces) a value; each returns *this.
  RegNode &set(std::u16string_view name, uint32_t type, std::vector<uint8_t> data);
  // UTF-16LE text, with its terminating zero unless told otherwise.
  RegNode &set_string(std::u16string_view name, std::u16string_view text,
                      uint32_t type = 1 /* REG_SZ */, bool terminated = true);
  RegNode &set_dword(std::u16string_view name, uint32_t value);
  RegNode &set_qword(std::u16string_view name, uint64_t value);
  // Each string with its zero, then the closing zero (REG_MULTI_SZ).
  RegNode &set_multi_string(std::u16string_view name,
                            const std::vector<std::u16string> &strings);
  const RegNodeValue *value(std::u16string_view name) const;
  bool remove_value(std::u16string_view name);

 private:
  std::u16string name_;
  std::vector<RegNodeValue> values_;
  std::list<RegNode> children_;  // stable addresses for key()'s callers
};

struct HiveOptions {
  // The hive root key's name; empty: the node's name, or "ROOT".
  std::u16string root_name;
  // The file name kept in the base block (its last 31 characters); empty:
  // the root key's name.
  std::u16string file_name;
  // Last-written time of the base block and of every key (a FILETIME); a
  // fixed default keeps written hives byte for byte reproducible.
  uint64_t timestamp = 127173888000000000ull;  // 2004-01-01 00:00 UTC
};

// The bytes of a valid hive with an empty root key: the base block with its
// checksum, one 4 KB hive bin holding the root key's cell, its security cell
// and a free cell for the rest.
std::vector<uint8_t> empty_hive(const HiveOptions &options,
                                std::u16string_view root_name);

// Writes `root`'s values and subkeys as the hive file `file` (replaced if it
// exists).  False with *error on failure, leaving no file behind.  Names that
// a hive cannot hold (with a NUL or an unpaired surrogate, key names over 255
// characters) and values over the hive library's limit of about 1 MB are
// refused.
//
// Subkeys are ordered and hashed by the hive library, which compares names
// byte by byte after lower-casing ASCII letters; Windows orders them by
// upper-cased UTF-16 units, so names with characters between 'Z' and 'a'
// ('_', '[', ...) or beyond ASCII may be out of the order Windows expects.
// hivex and this project's reader scan whole subkey lists and do not mind.
bool write_hive(const std::filesystem::path &file, const RegNode &root,
                std::string *error, const HiveOptions &options = {});

// Writes a system drive's hives: the SYSTEM, SOFTWARE and SAM subkeys of
// `hklm` (an empty hive for one that is missing) become
// <drive_dir>/<system_root>/system32/config/{SYSTEM,SOFTWARE,SAM}.
bool write_system_hives(const std::filesystem::path &drive_dir, const RegNode &hklm,
                        std::string *error, std::u16string_view system_root = u"WINDOWS");

}  // namespace vesk::tools
