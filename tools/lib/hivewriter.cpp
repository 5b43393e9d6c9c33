// Hive files written from RegNode trees: an empty hive laid down here, then
// filled through the hive library.
#include "hivewriter.h"

#include <hivex.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "platform/emulated/seam.h"

namespace vesk::tools {
namespace {

namespace emu = vesk::emu;

std::vector<std::u16string_view> split(std::u16string_view path) {
  std::vector<std::u16string_view> out;
  size_t start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == u'\\') {
      if (i > start) out.push_back(path.substr(start, i - start));
      start = i + 1;
    }
  }
  return out;
}

void put16(std::vector<uint8_t> &b, size_t off, uint16_t v) {
  b[off] = static_cast<uint8_t>(v);
  b[off + 1] = static_cast<uint8_t>(v >> 8);
}

void put32(std::vector<uint8_t> &b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

void put64(std::vector<uint8_t> &b, size_t off, uint64_t v) {
  for (int i = 0; i < 8; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get32(const std::vector<uint8_t> &b, size_t off) {
  return static_cast<uint32_t>(b[off]) | static_cast<uint32_t>(b[off + 1]) << 8 |
         static_cast<uint32_t>(b[off + 2]) << 16 |
         static_cast<uint32_t>(b[off + 3]) << 24;
}

std::vector<uint8_t> utf16le(std::u16string_view text) {
  std::vector<uint8_t> out;
  out.reserve(text.size() * 2);
  for (char16_t c : text) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  return out;
}

// A self-relative security descriptor: owner BUILTIN\Administrators, group
// SYSTEM, and a DACL giving Everyone full access to the key and its subkeys.
std::vector<uint8_t> security_descriptor() {
  return {// Revision 1, control SE_SELF_RELATIVE | SE_DACL_PRESENT, owner at 20,
          // group at 36, no SACL, DACL at 48.
          0x01, 0x00, 0x04, 0x80, 20, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0, 48, 0, 0, 0,
          // S-1-5-32-544
          0x01, 0x02, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 0x02, 0, 0,
          // S-1-5-18
          0x01, 0x01, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0,
          // ACL revision 2, size 28, one ACE.
          0x02, 0x00, 28, 0, 1, 0, 0, 0,
          // ACCESS_ALLOWED_ACE, CONTAINER_INHERIT_ACE, size 20, KEY_ALL_ACCESS,
          // S-1-1-0.
          0x00, 0x02, 20, 0, 0x3F, 0x00, 0x0F, 0x00, 0x01, 0x01, 0, 0, 0, 0, 0, 1, 0, 0,
          0, 0};
}

bool valid_utf16(std::u16string_view s) {
  for (size_t i = 0; i < s.size(); ++i) {
    char16_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

// Refuses what a hive (or the library's interface, which takes C strings)
// cannot hold, before anything is written.
bool check(const RegNode &node, const std::string &path, bool is_root,
           std::string *error) {
  auto fail = [&](const std::string &what) {
    if (error) *error = "key " + (path.empty() ? std::string("\\") : path) + ": " + what;
    return false;
  };
  if (!is_root) {
    const auto &n = node.name();
    // (RegNode itself keeps names non-empty, without '\\' and unique.)
    if (n.size() > 255) return fail("key name longer than 255 characters");
    if (n.find(u'\0') != std::u16string::npos) return fail("key name holds a NUL");
    if (!valid_utf16(n)) return fail("key name is not valid UTF-16");
  }
  for (const auto &v : node.values()) {
    std::string shown = "value \"" + emu::to_utf8(v.name) + "\": ";
    if (v.name.find(u'\0') != std::u16string::npos)
      return fail(shown + "name holds a NUL");
    if (v.name.size() > 16383) return fail(shown + "name longer than 16383 characters");
    if (!valid_utf16(v.name)) return fail(shown + "name is not valid UTF-16");
    // The library's largest cell, less the cell's size field.
    if (v.data.size() > 1000000 - 8)
      return fail(shown + "data over the hive library's limit");
  }
  for (const auto &child : node.children())
    if (!check(child, path + "\\" + emu::to_utf8(child.name()), false, error))
      return false;
  return true;
}

std::string errno_text(int err) {
  return err != 0 ? std::string(std::strerror(err)) : std::string("unknown error");
}

bool fill(hive_h *h, hive_node_h node, const RegNode &desc, const std::string &path,
          std::string *error) {
  auto fail = [&](const std::string &what, int err) {
    if (error)
      *error = "key " + (path.empty() ? std::string("\\") : path) + ": " + what + ": " +
               errno_text(err);
    return false;
  };
  if (!desc.values().empty()) {
    std::vector<std::string> names;
    names.reserve(desc.values().size());
    for (const auto &v : desc.values()) names.push_back(emu::to_utf8(v.name));
    std::vector<hive_set_value> set(desc.values().size());
    for (size_t i = 0; i < set.size(); ++i) {
      const auto &v = desc.values()[i];
      set[i].key = names[i].data();
      // Any 32-bit type, not only the library's enumerators.
      static_assert(sizeof(hive_type) == sizeof(uint32_t));
      std::memcpy(&set[i].t, &v.type, sizeof v.type);
      set[i].len = v.data.size();
      set[i].value = const_cast<char *>(reinterpret_cast<const char *>(v.data.data()));
    }
    errno = 0;
    if (hivex_node_set_values(h, node, set.size(), set.data(), 0) != 0)
      return fail("setting its values", errno);
  }
  for (const auto &child : desc.children()) {
    std::string name = emu::to_utf8(child.name());
    errno = 0;
    hive_node_h added = hivex_node_add_child(h, node, name.c_str());
    if (added == 0) return fail("adding subkey \"" + name + "\"", errno);
    if (!fill(h, added, child, path + "\\" + name, error)) return false;
  }
  return true;
}

}  // namespace

// ------------------------------------------------------------------ RegNode

RegNode &RegNode::key(std::u16string_view path) {
  RegNode *here = this;
  for (auto part : split(path)) {
    RegNode *next = nullptr;
    for (auto &c : here->children_)
      if (emu::iequal(c.name_, part)) {
        next = &c;
        break;
      }
    if (!next) next = &here->children_.emplace_back(std::u16string(part));
    here = next;
  }
  return *here;
}

RegNode *RegNode::find(std::u16string_view path) {
  return const_cast<RegNode *>(static_cast<const RegNode *>(this)->find(path));
}

const RegNode *RegNode::find(std::u16string_view path) const {
  const RegNode *here = this;
  for (auto part : split(path)) {
    const RegNode *next = nullptr;
    for (const auto &c : here->children_)
      if (emu::iequal(c.name_, part)) {
        next = &c;
        break;
      }
    if (!next) return nullptr;
    here = next;
  }
  return here;
}

bool RegNode::remove(std::u16string_view path) {
  auto parts = split(path);
  if (parts.empty()) return false;
  RegNode *parent = this;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    parent = parent->find(parts[i]);
    if (!parent) return false;
  }
  for (auto it = parent->children_.begin(); it != parent->children_.end(); ++it)
    if (emu::iequal(it->name_, parts.back())) {
      parent->children_.erase(it);
      return true;
    }
  return false;
}

RegNode &RegNode::set(std::u16string_view name, uint32_t type,
                      std::vector<uint8_t> data) {
  for (auto &v : values_)
    if (emu::iequal(v.name, name)) {
      v.type = type;
      v.data = std::move(data);
      return *this;
    }
  values_.push_back(RegNodeValue{std::u16string(name), type, std::move(data)});
  return *this;
}

RegNode &RegNode::set_string(std::u16string_view name, std::u16string_view text,
                             uint32_t type, bool terminated) {
  auto data = utf16le(text);
  if (terminated) data.insert(data.end(), {0, 0});
  return set(name, type, std::move(data));
}

RegNode &RegNode::set_dword(std::u16string_view name, uint32_t value) {
  std::vector<uint8_t> data(4);
  put32(data, 0, value);
  return set(name, 4 /* REG_DWORD */, std::move(data));
}

RegNode &RegNode::set_qword(std::u16string_view name, uint64_t value) {
  std::vector<uint8_t> data(8);
  put64(data, 0, value);
  return set(name, 11 /* REG_QWORD */, std::move(data));
}

RegNode &RegNode::set_multi_string(std::u16string_view name,
                                   const std::vector<std::u16string> &strings) {
  std::vector<uint8_t> data;
  for (const auto &s : strings) {
    auto bytes = utf16le(s);
    data.insert(data.end(), bytes.begin(), bytes.end());
    data.insert(data.end(), {0, 0});
  }
  data.insert(data.end(), {0, 0});
  return set(name, 7 /* REG_MULTI_SZ */, std::move(data));
}

const RegNodeValue *RegNode::value(std::u16string_view name) const {
  for (const auto &v : values_)
    if (emu::iequal(v.name, name)) return &v;
  return nullptr;
}

bool RegNode::remove_value(std::u16string_view name) {
  for (auto it = values_.begin(); it != values_.end(); ++it)
    if (emu::iequal(it->name, name)) {
      values_.erase(it);
      return true;
    }
  return false;
}

// ------------------------------------------------------------------ hives

std::vector<uint8_t> empty_hive(const HiveOptions &options,
                                std::u16string_view root_name) {
  constexpr size_t kBase = 0x1000;  // the base block; cell offsets count from its end
  constexpr size_t kBin = 0x1000;
  constexpr uint32_t kRootCell = 0x20;  // first cell, after the bin's header
  std::vector<uint8_t> b(kBase + kBin, 0);

  // Root key name: one byte per character when every character fits.
  bool compressed = true;
  for (char16_t c : root_name)
    if (c > 0xFF) compressed = false;
  std::vector<uint8_t> name;
  for (char16_t c : root_name) {
    name.push_back(static_cast<uint8_t>(c & 0xFF));
    if (!compressed) name.push_back(static_cast<uint8_t>(c >> 8));
  }

  const uint32_t nk_size = static_cast<uint32_t>((4 + 76 + name.size() + 7) & ~size_t{7});
  const auto sd = security_descriptor();
  const uint32_t sk_cell = kRootCell + nk_size;
  const uint32_t sk_size = static_cast<uint32_t>((4 + 20 + sd.size() + 7) & ~size_t{7});
  const uint32_t free_cell = sk_cell + sk_size;

  // Base block.
  std::memcpy(&b[0], "regf", 4);
  put32(b, 4, 1);  // primary and secondary sequence numbers: in step
  put32(b, 8, 1);
  put64(b, 12, options.timestamp);
  put32(b, 20, 1);  // format 1.3: large values in single cells
  put32(b, 24, 3);
  put32(b, 28, 0);  // primary file
  put32(b, 32, 1);  // direct memory load
  put32(b, 36, kRootCell);
  put32(b, 40, static_cast<uint32_t>(kBin));
  put32(b, 44, 1);  // clustering factor
  std::u16string file_name =
      options.file_name.empty() ? std::u16string(root_name) : options.file_name;
  if (file_name.size() > 31) file_name = file_name.substr(file_name.size() - 31);
  for (size_t i = 0; i < file_name.size(); ++i) put16(b, 48 + 2 * i, file_name[i]);
  uint32_t sum = 0;
  for (size_t off = 0; off < 508; off += 4) sum ^= get32(b, off);
  put32(b, 508, sum);

  // Hive bin header.
  const size_t bin = kBase;
  std::memcpy(&b[bin], "hbin", 4);
  put32(b, bin + 4, 0);  // offset from the first bin
  put32(b, bin + 8, static_cast<uint32_t>(kBin));
  put64(b, bin + 20, options.timestamp);

  // Root key (nk).
  size_t nk = kBase + kRootCell;
  put32(b, nk, static_cast<uint32_t>(-static_cast<int32_t>(nk_size)));
  std::memcpy(&b[nk + 4], "nk", 2);
  put16(b, nk + 6, static_cast<uint16_t>(0x0004 | 0x0008 | (compressed ? 0x0020 : 0)));
  put64(b, nk + 8, options.timestamp);
  put32(b, nk + 20, 0xFFFFFFFFu);  // parent: none
  put32(b, nk + 24, 0);            // subkeys
  put32(b, nk + 28, 0);            // volatile subkeys
  put32(b, nk + 32, 0xFFFFFFFFu);  // subkey list
  put32(b, nk + 36, 0xFFFFFFFFu);  // volatile subkey list
  put32(b, nk + 40, 0);            // values
  put32(b, nk + 44, 0xFFFFFFFFu);  // value list
  put32(b, nk + 48, sk_cell);      // security
  put32(b, nk + 52, 0xFFFFFFFFu);  // class name
  put16(b, nk + 76, static_cast<uint16_t>(name.size()));
  put16(b, nk + 78, 0);
  if (!name.empty()) std::memcpy(&b[nk + 80], name.data(), name.size());

  // Its security cell (sk): alone on the list of security cells.
  size_t sk = kBase + sk_cell;
  put32(b, sk, static_cast<uint32_t>(-static_cast<int32_t>(sk_size)));
  std::memcpy(&b[sk + 4], "sk", 2);
  put32(b, sk + 8, sk_cell);
  put32(b, sk + 12, sk_cell);
  put32(b, sk + 16, 1);  // references
  put32(b, sk + 20, static_cast<uint32_t>(sd.size()));
  std::memcpy(&b[sk + 24], sd.data(), sd.size());

  // The rest of the bin is one free cell.
  put32(b, kBase + free_cell, static_cast<uint32_t>(kBin - free_cell));
  return b;
}

bool write_hive(const std::filesystem::path &file, const RegNode &root,
                std::string *error, const HiveOptions &options) {
  std::u16string root_name = options.root_name;
  if (root_name.empty()) root_name = root.name().empty() ? u"ROOT" : root.name();
  if (root_name.size() > 255 || !valid_utf16(root_name) ||
      root_name.find(u'\0') != std::u16string::npos) {
    if (error) *error = "unusable root key name";
    return false;
  }
  if (!check(root, "", true, error)) return false;

  auto fail = [&](const std::string &what) {
    if (error) *error = file.string() + ": " + what;
    std::error_code ec;
    std::filesystem::remove(file, ec);
    return false;
  };
  {
    auto bytes = empty_hive(options, root_name);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) return fail(std::string("cannot write: ") + errno_text(errno));
  }
  errno = 0;
  hive_h *h = hivex_open(file.c_str(), HIVEX_OPEN_WRITE);
  if (h == nullptr)
    return fail("the hive library refuses the empty hive: " + errno_text(errno));
  std::string what;
  bool ok = fill(h, hivex_root(h), root, "", &what);
  if (ok) {
    errno = 0;
    if (hivex_commit(h, file.c_str(), 0) != 0) {
      what = "committing: " + errno_text(errno);
      ok = false;
    }
  }
  hivex_close(h);
  if (!ok) return fail(what);
  return true;
}

bool write_system_hives(const std::filesystem::path &drive_dir, const RegNode &hklm,
                        std::string *error, std::u16string_view system_root) {
  namespace fs = std::filesystem;
  fs::path config = drive_dir / emu::to_utf8(system_root) / "system32" / "config";
  std::error_code ec;
  fs::create_directories(config, ec);
  if (ec) {
    if (error) *error = config.string() + ": " + ec.message();
    return false;
  }
  for (const char16_t *name : {u"SYSTEM", u"SOFTWARE", u"SAM"}) {
    const RegNode *node = hklm.find(name);
    RegNode empty{std::u16string(name)};
    HiveOptions options;
    options.root_name = name;
    if (!write_hive(config / emu::to_utf8(name), node ? *node : empty, error, options))
      return false;
  }
  return true;
}

}  // namespace vesk::tools
