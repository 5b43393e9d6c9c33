// Registry keys served from hive files through the hive library (hivex).
//
// One open hive is shared by every key taken from it and closed when the last
// of them goes.  The library is not safe for concurrent use of one handle, so
// each hive has its own mutex.  Every failure the library reports is passed to
// report() with the file name and the system's text for its errno, and the
// lookup that met it finds nothing.
#include <hivex.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <unordered_map>

#include "platform/emulated/internal.h"

namespace vesk::emu {
namespace {

std::string error_text(int err) {
  return err != 0 ? std::string(std::strerror(err)) : std::string("unknown error");
}

struct Hive {
  hive_h *handle = nullptr;
  std::string file;
  std::mutex mutex;
  // Messages already reported: a broken key is met again on every lookup,
  // and each distinct problem is worth telling once.
  std::set<std::string> reported;
  // SYSTEM hives: the key CurrentControlSet stands for (0: none).
  hive_node_h current_control_set = 0;
  // Keys with many subkeys (an EventLog key with thousands of sources, say)
  // are searched through an index of their folded subkey names, made in one
  // pass at the first search, so that looking up each of them is not a
  // walk over all of them.
  std::unordered_map<hive_node_h, std::unordered_map<std::u16string, hive_node_h>>
      children;

  ~Hive() {
    if (handle != nullptr) hivex_close(handle);
  }

  // Called with `mutex` held.
  void problem(const std::string &what) {
    std::string message = file + ": " + what;
    if (reported.insert(message).second) report(message);
  }
  void failed(const std::string &what, int err) {
    problem(what + ": " + error_text(err));
  }
};

std::string show(const std::string &path) { return path.empty() ? "\\" : path; }

// Subkey names read from any hive, for hive_subkey_names_read().
std::atomic<uint64_t> g_subkey_names_read{0};

template <typename T>
struct Freed {
  T *p;
  ~Freed() { std::free(p); }
};

// Calls `visit(child, name)` for each subkey of `node` in stored order until
// it returns true.  `path` names `node` in messages.  Called with the hive's
// mutex held.
template <typename Visit>
void each_child(Hive &hive, hive_node_h node, const std::string &path, Visit visit) {
  errno = 0;
  hive_node_h *children = hivex_node_children(hive.handle, node);
  if (children == nullptr) {
    hive.failed("key " + show(path) + ": cannot list its subkeys", errno);
    return;
  }
  Freed<hive_node_h> guard{children};
  for (size_t i = 0; children[i] != 0; ++i) {
    errno = 0;
    g_subkey_names_read.fetch_add(1, std::memory_order_relaxed);
    char *child_name = hivex_node_name(hive.handle, children[i]);
    if (child_name == nullptr) {
      hive.failed("key " + show(path) + ": cannot read the name of a subkey", errno);
      continue;
    }
    std::u16string name = from_utf8(child_name);
    std::free(child_name);
    if (visit(children[i], name)) return;
  }
}

// The subkey `name` of `node`, compared without regard to case; 0 when there
// is none or the subkeys cannot be read.  Called with the hive's mutex held.
hive_node_h find_child(Hive &hive, hive_node_h node, const std::string &path,
                       std::u16string_view name) {
  auto known = hive.children.find(node);
  if (known == hive.children.end()) {
    // The first of several subkeys whose names differ only in case wins, as
    // a walk in stored order finds it.
    std::unordered_map<std::u16string, hive_node_h> index;
    each_child(hive, node, path,
               [&](hive_node_h child, const std::u16string &child_name) {
                 index.emplace(fold(child_name), child);
                 return false;
               });
    known = hive.children.emplace(node, std::move(index)).first;
  }
  auto it = known->second.find(fold(name));
  return it == known->second.end() ? 0 : it->second;
}

// The value `name` of `node` ("" is the default value), its bytes exactly as
// stored.  Called with the hive's mutex held.
std::optional<RegValue> find_value(Hive &hive, hive_node_h node, const std::string &path,
                                   std::u16string_view name) {
  errno = 0;
  hive_value_h *values = hivex_node_values(hive.handle, node);
  if (values == nullptr) {
    hive.failed("key " + show(path) + ": cannot list its values", errno);
    return std::nullopt;
  }
  Freed<hive_value_h> guard{values};
  for (size_t i = 0; values[i] != 0; ++i) {
    errno = 0;
    char *key = hivex_value_key(hive.handle, values[i]);
    if (key == nullptr) {
      hive.failed("key " + show(path) + ": cannot read the name of a value", errno);
      continue;
    }
    bool match = iequal(from_utf8(key), name);
    std::free(key);
    if (!match) continue;
    hive_type type = hive_t_REG_NONE;
    size_t len = 0;
    errno = 0;
    char *bytes = hivex_value_value(hive.handle, values[i], &type, &len);
    if (bytes == nullptr && !(len == 0 && errno == 0)) {
      hive.failed("key " + show(path) + ": cannot read value \"" + to_utf8(name) + "\"",
                  errno);
      return std::nullopt;
    }
    RegValue out;
    // Types beyond the library's enumeration are common (applications use
    // their own): take the 32 bits as they are, not as an enumerator.
    static_assert(sizeof(hive_type) == sizeof(uint32_t));
    uint32_t raw_type = 0;
    std::memcpy(&raw_type, &type, sizeof raw_type);
    out.type = raw_type;
    if (bytes != nullptr) {
      auto *p = reinterpret_cast<const uint8_t *>(bytes);
      out.data.assign(p, p + len);
      std::free(bytes);
    }
    return out;
  }
  return std::nullopt;
}

class HiveKey : public RegKey {
 public:
  HiveKey(std::shared_ptr<Hive> hive, hive_node_h node, std::string path,
          bool system_root)
      : hive_(std::move(hive)),
        node_(node),
        path_(std::move(path)),
        system_root_(system_root) {}

  std::shared_ptr<RegKey> child(std::u16string_view name) override {
    if (name.empty()) return nullptr;
    std::lock_guard<std::mutex> lock(hive_->mutex);
    std::string path = path_ + "\\" + to_utf8(name);
    if (system_root_ && iequal(name, u"CurrentControlSet")) {
      // The control set the system would boot with; a key of that name in
      // the file (left there by some tool) is used only when there is none.
      if (hive_->current_control_set != 0)
        return std::make_shared<HiveKey>(hive_, hive_->current_control_set, path, false);
    }
    hive_node_h found = find_child(*hive_, node_, path_, name);
    if (found == 0) return nullptr;
    return std::make_shared<HiveKey>(hive_, found, path, false);
  }

  std::optional<RegValue> value(std::u16string_view name) override {
    std::lock_guard<std::mutex> lock(hive_->mutex);
    return find_value(*hive_, node_, path_, name);
  }

  std::vector<std::u16string> subkeys() override {
    std::lock_guard<std::mutex> lock(hive_->mutex);
    std::vector<std::u16string> out;
    each_child(*hive_, node_, path_, [&](hive_node_h, const std::u16string &name) {
      out.push_back(name);
      return false;
    });
    return out;
  }

  std::vector<std::pair<std::u16string, std::shared_ptr<RegKey>>> children() override {
    // The root of a SYSTEM hive stands CurrentControlSet for another key.
    if (system_root_) return RegKey::children();
    std::lock_guard<std::mutex> lock(hive_->mutex);
    std::vector<std::pair<std::u16string, std::shared_ptr<RegKey>>> out;
    each_child(*hive_, node_, path_, [&](hive_node_h child, const std::u16string &name) {
      out.emplace_back(name, std::make_shared<HiveKey>(
                                 hive_, child, path_ + "\\" + to_utf8(name), false));
      return false;
    });
    return out;
  }

 private:
  std::shared_ptr<Hive> hive_;
  hive_node_h node_;
  std::string path_;  // from the hive's root, for messages
  bool system_root_;
};

// What is wrong with a file's base block, from its first bytes; empty when
// nothing obvious is.  Used to explain the library's refusals, and to refuse
// a hive whose bins run past the end of the file (cut short in a copy, say),
// which the library would open and serve in part.
std::string base_block_problem(const std::filesystem::path &file, bool *truncated) {
  *truncated = false;
  std::string ignored;
  auto src = host_source(file, &ignored);
  if (!src) return {};
  if (src->size() < 0x2000) return "shorter than the 8192 bytes of the smallest hive";
  uint8_t header[512];
  if (!src->read(0, header, sizeof header)) return "cannot read its base block";
  if (std::memcmp(header, "regf", 4) != 0) return "no \"regf\" signature";
  auto le32 = [&](size_t off) {
    return static_cast<uint32_t>(header[off]) |
           static_cast<uint32_t>(header[off + 1]) << 8 |
           static_cast<uint32_t>(header[off + 2]) << 16 |
           static_cast<uint32_t>(header[off + 3]) << 24;
  };
  uint32_t sum = 0;
  for (size_t off = 0; off < 508; off += 4) sum ^= le32(off);
  if (sum != le32(508)) return "bad checksum in its base block";
  uint64_t bins = le32(40);
  if (0x1000 + bins > src->size()) {
    *truncated = true;
    return "truncated: its hive bins run past the end of the file (" +
           std::to_string(0x1000 + bins) + " bytes declared, " +
           std::to_string(src->size()) + " present)";
  }
  return {};
}

// Resolves CurrentControlSet the way the system does at boot: ControlSet00N,
// N being Select\Current.  Called with the hive's mutex held.
void resolve_control_set(Hive &hive, hive_node_h root) {
  std::optional<uint32_t> current;
  hive_node_h select = find_child(hive, root, "", u"Select");
  if (select != 0) {
    auto v = find_value(hive, select, "\\Select", u"Current");
    if (v && v->type == REG_DWORD && v->data.size() == 4) {
      current = static_cast<uint32_t>(v->data[0]) |
                static_cast<uint32_t>(v->data[1]) << 8 |
                static_cast<uint32_t>(v->data[2]) << 16 |
                static_cast<uint32_t>(v->data[3]) << 24;
    } else if (v) {
      hive.problem("Select\\Current is not a 4-byte REG_DWORD");
    }
  }
  if (current) {
    char name[32];
    std::snprintf(name, sizeof name, "ControlSet%03u", static_cast<unsigned>(*current));
    hive.current_control_set = find_child(hive, root, "", from_utf8(name));
    if (hive.current_control_set == 0)
      hive.problem(std::string("Select\\Current names ") + name +
                   ", which is missing; there is no CurrentControlSet");
    return;
  }
  hive.current_control_set = find_child(hive, root, "", u"ControlSet001");
  if (hive.current_control_set != 0)
    hive.problem("no Select\\Current; CurrentControlSet is ControlSet001");
  else
    hive.problem(
        "no Select\\Current and no ControlSet001; there is no CurrentControlSet");
}

}  // namespace

std::shared_ptr<RegKey> open_hive(const std::filesystem::path &file, bool system_hive,
                                  std::string *error) {
  auto hive = std::make_shared<Hive>();
  hive->file = file.string();
  bool truncated = false;
  std::string why = base_block_problem(file, &truncated);
  if (truncated) {
    std::string message = hive->file + ": " + why;
    report(message);
    if (error) *error = message;
    return nullptr;
  }
  errno = 0;
  hive->handle = hivex_open(file.c_str(), 0);
  if (hive->handle == nullptr) {
    int err = errno;
    std::string message =
        hive->file + ": the hive library cannot open it: " + error_text(err);
    if (!why.empty()) message += " (" + why + ")";
    report(message);
    if (error) *error = message;
    return nullptr;
  }
  errno = 0;
  hive_node_h root = hivex_root(hive->handle);
  if (root == 0) {
    std::string message = hive->file + ": no root key: " + error_text(errno);
    report(message);
    if (error) *error = message;
    return nullptr;
  }
  if (system_hive) {
    std::lock_guard<std::mutex> lock(hive->mutex);
    resolve_control_set(*hive, root);
  }
  return std::make_shared<HiveKey>(hive, root, std::string(), system_hive);
}

uint64_t hive_subkey_names_read() {
  return g_subkey_names_read.load(std::memory_order_relaxed);
}

}  // namespace vesk::emu
