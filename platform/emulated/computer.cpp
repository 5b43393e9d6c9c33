// Simulated computers: their in-memory registry keys, drives, files and logs.
#include <fcntl.h>
#include <unistd.h>

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

 private:
  std::vector<uint8_t> bytes_;
};

class HostSource : public ByteSource {
 public:
  HostSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~HostSource() override { ::close(fd_); }
  uint64_t size() const override { return size_; }
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

std::optional<std::filesystem::path> find_case_insensitive(
    const std::filesystem::path &dir, std::u16string_view relative) {
  std::filesystem::path here = dir;
  for (auto part : components(relative)) {
    if (part == u".") continue;
    std::error_code ec;
    std::filesystem::path exact = here / to_utf8(part);
    if (std::filesystem::exists(exact, ec)) {
      here = exact;
      continue;
    }
    bool found = false;
    std::filesystem::directory_iterator it(here, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      std::string entry = it->path().filename().string();
      if (iequal(from_utf8(entry), part)) {
        here = it->path();
        found = true;
        break;
      }
    }
    if (!found) return std::nullopt;
  }
  return here;
}

// ------------------------------------------------------------------ MemKey

std::shared_ptr<RegKey> MemKey::child(std::u16string_view name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = children_.find(fold(name));
  return it == children_.end() ? nullptr : it->second;
}

std::optional<RegValue> MemKey::value(std::u16string_view name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = values_.find(fold(name));
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
  std::u16string key;
  for (auto part : components(windows_path)) {
    if (!key.empty()) key += u'\\';
    key += fold(part);
  }
  files_[key] = memory_source(std::move(bytes));
}

void Computer::add_log(std::u16string_view name, std::vector<uint8_t> bytes) {
  key(u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\" + std::u16string(name));
  std::lock_guard<std::mutex> lock(mutex_);
  logs_[fold(name)] = memory_source(std::move(bytes));
}

std::shared_ptr<ByteSource> Computer::memory_log(std::u16string_view name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = logs_.find(fold(name));
  return it == logs_.end() ? nullptr : it->second;
}

std::shared_ptr<ByteSource> Computer::open_file(std::u16string_view windows_path,
                                                DWORD *code) const {
  auto parts = components(windows_path);
  std::u16string key;
  for (auto part : parts) {
    if (!key.empty()) key += u'\\';
    key += fold(part);
  }
  std::filesystem::path drive;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(key);
    if (it != files_.end()) return it->second;
    // "X:" is a drive; anything else has no place on this computer.
    if (parts.empty() || parts[0].size() != 2 || parts[0][1] != u':') {
      if (code) *code = ERROR_PATH_NOT_FOUND;
      return nullptr;
    }
    auto d = drives_.find(upcase(parts[0][0]));
    if (d == drives_.end()) {
      if (code) *code = ERROR_PATH_NOT_FOUND;
      return nullptr;
    }
    drive = d->second;
  }
  std::u16string rest;
  for (size_t i = 1; i < parts.size(); ++i) {
    if (!rest.empty()) rest += u'\\';
    rest += parts[i];
  }
  auto found = find_case_insensitive(drive, rest);
  std::error_code ec;
  if (!found || !std::filesystem::is_regular_file(*found, ec)) {
    if (code) *code = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  std::string error;
  auto src = host_source(*found, &error);
  if (!src) {
    report(error);
    if (code) *code = ERROR_ACCESS_DENIED;
  }
  return src;
}

}  // namespace vesk::emu
