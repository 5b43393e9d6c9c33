// Simulated computers: their in-memory registry keys, drives, files and logs.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/emulated/internal.h"

namespace vesk::emu {
namespace {

class MemorySource : public ByteSource {
 public:
  explicit MemorySource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  uint64_t size() const override { return bytes_.size(); }
  bool read(uint64_t off, void *dst, size_t n) const override {
    if (off > bytes_.size() || n > bytes_.size() - off) return false;
    if (n) std::memcpy(dst, bytes_.data() + off, n);
    return true;
  }
  const uint8_t *bytes() const override { return bytes_.data(); }

 private:
  std::vector<uint8_t> bytes_;
};

// A file of the host, read with pread.  It is not mapped: walking a mapped
// log costs a page fault per page touched, which on virtual machines (where
// faults are dear) made walks slower than the copy that pread makes.
class HostSource : public ByteSource {
 public:
  HostSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~HostSource() override { ::close(fd_); }
  uint64_t size() const override { return size_; }
  int descriptor() const override { return fd_; }
  uint64_t data_from(uint64_t off) const override {
    if (off >= size_) return size_;
    off_t data = ::lseek(fd_, static_cast<off_t>(off), SEEK_DATA);
    if (data >= 0) return static_cast<uint64_t>(data);
    return errno == ENXIO ? size_ : off;  // ENXIO: only a hole up to the end
  }
  bool read(uint64_t off, void *dst, size_t n) const override {
    if (off > size_ || n > size_ - off) return false;
    auto *p = static_cast<uint8_t *>(dst);
    while (n > 0) {
      ssize_t got = ::pread(fd_, p, n, static_cast<off_t>(off));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      p += got;
      off += static_cast<uint64_t>(got);
      n -= static_cast<size_t>(got);
    }
    return true;
  }

 private:
  int fd_;
  uint64_t size_;
};

// Splits a path into its components at '\' and '/', dropping empty ones.
std::vector<std::u16string_view> components(std::u16string_view path) {
  std::vector<std::u16string_view> out;
  size_t start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == u'\\' || path[i] == u'/') {
      if (i > start) out.push_back(path.substr(start, i - start));
      start = i + 1;
    }
  }
  return out;
}

}  // namespace

std::shared_ptr<ByteSource> memory_source(std::vector<uint8_t> bytes) {
  return std::make_shared<MemorySource>(std::move(bytes));
}

std::shared_ptr<ByteSource> host_source(const std::filesystem::path &file,
                                        std::string *error) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = file.string() + ": " + std::strerror(errno);
    return nullptr;
  }
  off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0) {
    if (error) *error = file.string() + ": " + std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  return std::make_shared<HostSource>(fd, static_cast<uint64_t>(end));
}

namespace {

namespace fs = std::filesystem;

// The components of a path as Windows resolves it before it looks at any
// disk: "." is dropped and ".." removes the component before it, but never
// one of the first `fixed` (the drive): at the root ".." stays at the root.
std::vector<std::u16string_view> normalise(std::u16string_view path, size_t fixed) {
  std::vector<std::u16string_view> out;
  for (auto part : components(path)) {
    if (part == u".") continue;
    if (part == u"..") {
      if (out.size() > fixed) out.pop_back();
      continue;
    }
    out.push_back(part);
  }
  return out;
}

// Whether `path` is `root` or lies below it; both are canonical.
bool inside(const fs::path &path, const fs::path &root) {
  auto p = path.begin();
  for (auto r = root.begin(); r != root.end(); ++r, ++p)
    if (p == path.end() || *p != *r) return false;
  return true;
}

// Whether Windows accepts `name` as a file name component.
bool valid_name(std::u16string_view name) {
  for (char16_t c : name)
    if (c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' ||
        c == u'?' || c == u'*')
      return false;
  return true;
}

struct Resolved {
  std::optional<fs::path> path;  // canonical, inside the bound
  DWORD code = 0;                // ERROR_PATH_NOT_FOUND or ERROR_FILE_NOT_FOUND
  std::string why;               // what was missing
};

// Finds `parts` below `dir`, each matched without regard to case.  Every step
// is taken to its real location (links followed) and refused unless that
// lies inside `bound`, so nothing in the tree can lead out of it.  Among
// entries that differ only by case the exact one wins, else the first in
// sorted order, and the ambiguity is reported.
Resolved resolve(const fs::path &dir, const std::vector<std::u16string_view> &parts,
                 const fs::path &bound) {
  Resolved r;
  std::error_code ec;
  const fs::path root = fs::canonical(bound, ec);
  if (ec) {
    r.code = ERROR_PATH_NOT_FOUND;
    r.why = bound.string() + ": " + ec.message();
    return r;
  }
  fs::path here = fs::canonical(dir, ec);
  if (ec || !inside(here, root)) {
    r.code = ERROR_PATH_NOT_FOUND;
    r.why = dir.string() + (ec ? ": " + ec.message() : ": outside " + root.string());
    return r;
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    const DWORD missing = last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    if (!valid_name(parts[i])) {
      r.code = missing;
      r.why = "\"" + to_utf8(parts[i]) + "\" is not a valid file name";
      return r;
    }
    const std::string wanted = to_utf8(parts[i]);
    std::vector<std::string> matches;
    bool exact = false;
    for (fs::directory_iterator it(here, ec), end; !ec && it != end; it.increment(ec)) {
      std::string entry = it->path().filename().string();
      if (entry == wanted)
        exact = true;
      else if (iequal(from_utf8(entry), parts[i]))
        matches.push_back(std::move(entry));
    }
    if (!exact && matches.empty()) {
      r.code = missing;
      r.why = "no " + wanted + " in " + here.string();
      return r;
    }
    std::string chosen = wanted;
    if (!exact) {
      std::sort(matches.begin(), matches.end());
      chosen = matches.front();
    }
    if (matches.size() + (exact ? 1 : 0) > 1) {
      std::string all = exact ? wanted : std::string();
      for (const auto &m : matches) all += (all.empty() ? "" : ", ") + m;
      report(here.string() + ": names that differ only by case (" + all + "); using " +
             chosen + " for " + wanted);
    }
    const fs::path entry = here / chosen;
    fs::path real = fs::canonical(entry, ec);
    if (ec) {
      r.code = missing;
      r.why = entry.string() + ": " + ec.message();
      return r;
    }
    if (!inside(real, root)) {
      report(entry.string() + ": refused: it leads to " + real.string() +
             ", outside the image directory " + root.string());
      r.code = missing;
      r.why = entry.string() + " leads outside the image";
      return r;
    }
    if (!last && !fs::is_directory(real, ec)) {
      r.code = ERROR_PATH_NOT_FOUND;
      r.why = real.string() + " is not a directory";
      return r;
    }
    here = std::move(real);
  }
  r.path = std::move(here);
  return r;
}

// The key of a Windows path in the table of memory files.
std::u16string memory_key(const std::vector<std::u16string_view> &parts) {
  std::u16string key;
  for (auto part : parts) {
    if (!key.empty()) key += u'\\';
    key += fold(part);
  }
  return key;
}

}  // namespace

std::optional<std::filesystem::path> find_case_insensitive(
    const std::filesystem::path &dir, std::u16string_view relative,
    const std::filesystem::path &within) {
  return resolve(dir, normalise(relative, 0), within.empty() ? dir : within).path;
}

// ------------------------------------------------------------------ MemKey

namespace {

char16_t fold_unit(char16_t c) {
  if (c < 0x80) return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
  return upcase(c);
}

}  // namespace

bool FoldedLess::operator()(std::u16string_view a, std::u16string_view b) const {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const char16_t x = fold_unit(a[i]), y = fold_unit(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

std::shared_ptr<RegKey> MemKey::child(std::u16string_view name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = children_.find(name);
  return it == children_.end() ? nullptr : it->second;
}

std::optional<RegValue> MemKey::value(std::u16string_view name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = values_.find(name);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

std::vector<std::u16string> MemKey::subkeys() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::u16string> out;
  out.reserve(child_names_.size());
  for (const auto &[folded, name] : child_names_) out.push_back(name);
  return out;
}

std::shared_ptr<MemKey> MemKey::create(std::u16string_view path) {
  std::shared_ptr<MemKey> here = shared_from_this();
  for (auto part : components(path)) {
    std::shared_ptr<MemKey> next;
    {
      std::lock_guard<std::mutex> lock(here->mutex_);
      std::u16string folded = fold(part);
      auto &slot = here->children_[folded];
      if (!slot) {
        slot = std::make_shared<MemKey>();
        here->child_names_[folded] = std::u16string(part);
        detail::registry_changed();
      }
      next = std::dynamic_pointer_cast<MemKey>(slot);
    }
    if (!next) return nullptr;
    here = next;
  }
  return here;
}

void MemKey::set(std::u16string_view name, DWORD type, std::vector<uint8_t> data) {
  std::lock_guard<std::mutex> lock(mutex_);
  values_[fold(name)] = RegValue{type, std::move(data)};
  detail::registry_changed();
}

void MemKey::set_string(std::u16string_view name, std::u16string_view text, DWORD type,
                        bool terminated) {
  std::vector<uint8_t> data;
  data.reserve((text.size() + 1) * 2);
  for (char16_t c : text) {
    data.push_back(static_cast<uint8_t>(c & 0xFF));
    data.push_back(static_cast<uint8_t>(c >> 8));
  }
  if (terminated) {
    data.push_back(0);
    data.push_back(0);
  }
  set(name, type, std::move(data));
}

void MemKey::set_dword(std::u16string_view name, DWORD value) {
  set(name, REG_DWORD,
      {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
       static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
}

void MemKey::mount(std::u16string_view name, std::shared_ptr<RegKey> key) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::u16string folded = fold(name);
  children_[folded] = std::move(key);
  child_names_[folded] = std::u16string(name);
  detail::registry_changed();
}

// ---------------------------------------------------------------- Computer

Computer::Computer(std::u16string name)
    : name_(std::move(name)), hklm_(std::make_shared<MemKey>()) {
  hklm_->create(u"SYSTEM");
  hklm_->create(u"SOFTWARE");
  hklm_->create(u"SAM");
}

void Computer::add_drive(char16_t letter, std::filesystem::path dir) {
  std::lock_guard<std::mutex> lock(mutex_);
  drives_[upcase(letter)] = std::move(dir);
}

void Computer::add_file(std::u16string_view windows_path, std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (windows_path.size() >= 2 && windows_path[1] == u':' &&
      file_drives_.find(upcase(windows_path[0])) == std::u16string::npos)
    file_drives_.push_back(upcase(windows_path[0]));
  files_[memory_key(normalise(windows_path, 1))] = memory_source(std::move(bytes));
}

void Computer::add_log(std::u16string_view name, std::vector<uint8_t> bytes) {
  key(u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\" + std::u16string(name));
  std::lock_guard<std::mutex> lock(mutex_);
  logs_[fold(name)] = memory_source(std::move(bytes));
}

bool Computer::has_drive(char16_t letter) const {
  const char16_t upper = upcase(letter);
  if (upper == u'C') return true;
  std::lock_guard<std::mutex> lock(mutex_);
  return drives_.count(upper) != 0 || file_drives_.find(upper) != std::u16string::npos;
}

std::shared_ptr<ByteSource> Computer::memory_log(std::u16string_view name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = logs_.find(fold(name));
  return it == logs_.end() ? nullptr : it->second;
}

std::shared_ptr<ByteSource> Computer::serve_log(std::u16string_view name,
                                                std::shared_ptr<ByteSource> source) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<ByteSource> &slot = logs_[fold(name)];
  std::shared_ptr<ByteSource> previous = std::move(slot);
  slot = std::move(source);
  if (!slot) logs_.erase(fold(name));
  return previous;
}

std::shared_ptr<ByteSource> Computer::open_file(std::u16string_view windows_path,
                                                DWORD *code, std::string *why) const {
  auto fail = [&](DWORD c, std::string text) -> std::shared_ptr<ByteSource> {
    if (code) *code = c;
    if (why) *why = std::move(text);
    return nullptr;
  };
  const auto parts = normalise(windows_path, 1);
  std::filesystem::path drive;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(memory_key(parts));
    if (it != files_.end()) return it->second;
    // "X:" is a drive; anything else has no place on this computer.
    if (parts.empty() || parts[0].size() != 2 || parts[0][1] != u':')
      return fail(ERROR_PATH_NOT_FOUND, "not a path on a drive");
    auto d = drives_.find(upcase(parts[0][0]));
    if (d == drives_.end())
      return fail(ERROR_PATH_NOT_FOUND,
                  "no drive " + to_utf8(parts[0]) + " on " + to_utf8(name_));
    drive = d->second;
  }
  auto found = resolve(drive, {parts.begin() + 1, parts.end()}, drive);
  if (!found.path) return fail(found.code, found.why);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(*found.path, ec))
    return fail(ERROR_FILE_NOT_FOUND, found.path->string() + " is not a regular file");
  std::string error;
  auto src = host_source(*found.path, &error);
  if (!src) {
    report(error);
    return fail(ERROR_ACCESS_DENIED, error);
  }
  return src;
}

}  // namespace vesk::emu
