// The event log file writer: the record layout and the ring's write
// algorithm (free space, padding, split records, discarding the oldest).
#include "evtwriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vesk::tools {
namespace {

constexpr uint32_t kHeader = 0x30;
constexpr uint32_t kFixed = 0x38;
constexpr uint32_t kEof = 0x28;
constexpr uint32_t kSignature = 0x654C664C;
constexpr uint32_t kGranularity = 64 * 1024;
constexpr uint64_t kNoLimit = 0xFFFFFFF0u;  // offsets are 32-bit

constexpr uint32_t kDirty = 0x1, kWrap = 0x2, kLogFull = 0x4;

void put32(uint8_t *p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

void put16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

uint32_t get32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t round_up(uint64_t v, uint64_t to) { return (v + to - 1) / to * to; }

// Random-access storage of the file being written.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual bool write(uint64_t off, const uint8_t *p, size_t n) = 0;
  virtual bool read(uint64_t off, uint8_t *p, size_t n) = 0;
  virtual bool resize(uint64_t n) = 0;
  virtual bool flush() { return true; }
};

class MemorySink : public Sink {
 public:
  bool write(uint64_t off, const uint8_t *p, size_t n) override {
    if (off + n > bytes.size()) return false;
    std::memcpy(bytes.data() + off, p, n);
    return true;
  }
  bool read(uint64_t off, uint8_t *p, size_t n) override {
    if (off + n > bytes.size()) return false;
    std::memcpy(p, bytes.data() + off, n);
    return true;
  }
  bool resize(uint64_t n) override {
    bytes.resize(n);
    return true;
  }
  std::vector<uint8_t> bytes;
};

// A host file, written through a buffer that takes the writes falling into
// or just after what it holds (a record, then the EOF record after it, then
// the next record over that EOF record).
class FileSink : public Sink {
 public:
  explicit FileSink(int fd) : fd_(fd) { buf_.reserve(kCapacity); }
  ~FileSink() override {
    flush();
    ::close(fd_);
  }
  bool write(uint64_t off, const uint8_t *p, size_t n) override {
    if (off >= base_ && off <= base_ + buf_.size() && off + n - base_ <= kCapacity) {
      size_t at = static_cast<size_t>(off - base_);
      if (at + n > buf_.size()) buf_.resize(at + n);
      std::memcpy(buf_.data() + at, p, n);
      return true;
    }
    if (!flush()) return false;
    if (n > kCapacity) return pwrite_all(off, p, n);
    base_ = off;
    buf_.assign(p, p + n);
    return true;
  }
  bool read(uint64_t off, uint8_t *p, size_t n) override {
    // Only a read that meets what the buffer holds needs it written first.
    if (!buf_.empty() && off < base_ + buf_.size() && off + n > base_ && !flush())
      return false;
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
  bool resize(uint64_t n) override {
    return ::ftruncate(fd_, static_cast<off_t>(n)) == 0;
  }
  bool flush() override {
    if (buf_.empty()) return true;
    bool ok = pwrite_all(base_, buf_.data(), buf_.size());
    buf_.clear();
    return ok;
  }

 private:
  static constexpr size_t kCapacity = 4 << 20;
  bool pwrite_all(uint64_t off, const uint8_t *p, size_t n) {
    while (n > 0) {
      ssize_t put = ::pwrite(fd_, p, n, static_cast<off_t>(off));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      p += put;
      off += static_cast<uint64_t>(put);
      n -= static_cast<size_t>(put);
    }
    return true;
  }
  int fd_;
  uint64_t base_ = 0;
  std::vector<uint8_t> buf_;
};

void append_utf16(std::vector<uint8_t> &out, std::u16string_view s) {
  for (char16_t c : s) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
}

struct Header {
  uint32_t start = kHeader, end = kHeader, current = 1, oldest = 0, flags = 0;
};

}  // namespace

uint32_t evt_record_size(const EvtRecord &r, EvtPadding padding) {
  if (r.strings.size() > 0xFFFF) return 0;
  uint64_t len = kFixed + 2 * (r.source.size() + 1) + 2 * (r.computer.size() + 1);
  len = round_up(len, 4) + r.sid.size();
  for (const auto &s : r.strings) len += 2 * (s.size() + 1);
  len += r.data.size();
  len = (padding == EvtPadding::kWindows ? len / 4 * 4 + 4 : round_up(len, 4)) + 4;
  return len > 0xFFFFFFF0u ? 0 : static_cast<uint32_t>(len);
}

std::vector<uint8_t> evt_encode_record(const EvtRecord &r, uint32_t number,
                                       EvtPadding padding) {
  uint32_t length = evt_record_size(r, padding);
  if (length == 0) return {};
  std::vector<uint8_t> out(kFixed, 0);
  out.reserve(length);
  append_utf16(out, r.source);
  append_utf16(out, r.computer);
  out.resize(round_up(out.size(), 4), 0);
  uint32_t sid_offset = static_cast<uint32_t>(out.size());
  out.insert(out.end(), r.sid.begin(), r.sid.end());
  uint32_t string_offset = static_cast<uint32_t>(out.size());
  for (const auto &s : r.strings) append_utf16(out, s);
  uint32_t data_offset = static_cast<uint32_t>(out.size());
  out.insert(out.end(), r.data.begin(), r.data.end());
  out.resize(length, 0);

  uint8_t *p = out.data();
  put32(p + 0x00, length);
  put32(p + 0x04, kSignature);
  put32(p + 0x08, number);
  put32(p + 0x0C, r.time_generated);
  put32(p + 0x10, r.time_written);
  put32(p + 0x14, r.event_id);
  put16(p + 0x18, r.event_type);
  put16(p + 0x1A, static_cast<uint16_t>(r.strings.size()));
  put16(p + 0x1C, r.category);
  put32(p + 0x24, string_offset);
  put32(p + 0x28, static_cast<uint32_t>(r.sid.size()));
  put32(p + 0x2C, r.sid.empty() ? string_offset : sid_offset);
  put32(p + 0x30, static_cast<uint32_t>(r.data.size()));
  put32(p + 0x34, data_offset);
  put32(p + length - 4, length);
  return out;
}

std::vector<uint8_t> evt_sid(uint64_t authority, std::initializer_list<uint32_t> subs) {
  std::vector<uint8_t> sid(8 + 4 * subs.size());
  sid[0] = 1;
  sid[1] = static_cast<uint8_t>(subs.size());
  for (int i = 0; i < 6; ++i)
    sid[2 + i] = static_cast<uint8_t>(authority >> (8 * (5 - i)));
  size_t at = 8;
  for (uint32_t s : subs) {
    put32(sid.data() + at, s);
    at += 4;
  }
  return sid;
}

std::vector<uint8_t> evt_sid(std::string_view text) {
  if (text.size() < 4 || (text[0] != 'S' && text[0] != 's') || text[1] != '-') return {};
  std::vector<uint64_t> parts;
  size_t i = 2;
  while (i <= text.size()) {
    size_t j = text.find('-', i);
    if (j == std::string_view::npos) j = text.size();
    if (j == i || j - i > 15) return {};
    uint64_t v = 0;
    for (size_t k = i; k < j; ++k) {
      if (text[k] < '0' || text[k] > '9') return {};
      v = v * 10 + static_cast<uint64_t>(text[k] - '0');
    }
    parts.push_back(v);
    i = j + 1;
  }
  if (parts.size() < 2 || parts[0] != 1 || parts[1] >= (uint64_t{1} << 48) ||
      parts.size() - 2 > 15)
    return {};
  std::vector<uint8_t> sid(8 + 4 * (parts.size() - 2));
  sid[0] = 1;
  sid[1] = static_cast<uint8_t>(parts.size() - 2);
  for (int b = 0; b < 6; ++b)
    sid[2 + b] = static_cast<uint8_t>(parts[1] >> (8 * (5 - b)));
  for (size_t k = 2; k < parts.size(); ++k) {
    if (parts[k] > 0xFFFFFFFFu) return {};
    put32(sid.data() + 8 + 4 * (k - 2), static_cast<uint32_t>(parts[k]));
  }
  return sid;
}

// ------------------------------------------------------------------ writer

struct EvtWriter::State {
  EvtOptions options;
  std::unique_ptr<Sink> sink;
  MemorySink *memory = nullptr;
  std::string error;
  bool finished = false;

  uint64_t ring = 0;       // the full ring size (file size once wrapped)
  uint64_t file_size = 0;  // current file size
  Header log;              // what the EOF record says
  uint64_t live = 0;       // records in the log
  uint64_t written = 0;    // records added
  uint64_t discarded = 0;
  Header snapshot;  // the header a dirty file keeps
  bool snapped = false;

  bool fail(std::string what) {
    if (error.empty()) error = std::move(what);
    return false;
  }

  // n bytes at `pos` of the ring, continuing at 0x30 past its end.
  bool ring_write(uint64_t pos, const uint8_t *p, size_t n) {
    size_t first = static_cast<size_t>(std::min<uint64_t>(n, file_size - pos));
    if (!sink->write(pos, p, first)) return false;
    if (first < n) {
      log.flags |= kWrap;
      return sink->write(kHeader, p + first, n - first);
    }
    return true;
  }

  // The EOF record at log.end, carrying the offsets and numbers of `h`.
  bool write_eof(const Header &h) {
    uint8_t eof[kEof];
    put32(eof + 0x00, kEof);
    put32(eof + 0x04, 0x11111111);
    put32(eof + 0x08, 0x22222222);
    put32(eof + 0x0C, 0x33333333);
    put32(eof + 0x10, 0x44444444);
    put32(eof + 0x14, h.start);
    put32(eof + 0x18, h.end);
    put32(eof + 0x1C, h.current);
    put32(eof + 0x20, h.oldest);
    put32(eof + 0x24, kEof);
    return ring_write(log.end, eof, sizeof eof);
  }
  bool write_eof() { return write_eof(log); }

  bool grow_to(uint64_t size) {
    if (size <= file_size) return true;
    if (!sink->resize(size)) return fail("cannot grow the file");
    file_size = size;
    return true;
  }

  // Where the record after the one at `pos` of `length` bytes starts.
  uint64_t next_record(uint64_t pos, uint64_t length) const {
    uint64_t next = pos + length;
    if (next >= ring) next -= ring - kHeader;
    if (next != log.end && ring - next < kFixed) next = kHeader;
    return next;
  }

  bool add(const EvtRecord &r) {
    if (finished) return fail("records added after finish()");
    if (!error.empty()) return false;
    const uint64_t length = evt_record_size(r, options.padding);
    if (length == 0 || length + kEof > ring - kHeader)
      return fail("record larger than the log can hold");
    const uint32_t number = r.number != 0 ? r.number : log.current;

    uint64_t write_at = log.end;
    uint64_t upper = log.start <= log.end ? ring : log.start;
    uint64_t free =
        log.start <= log.end ? ring - log.end + log.start - kHeader : log.start - log.end;
    bool pad = false;
    if (log.start < log.end && ring - log.end < kFixed) {
      // The fixed part would not fit before the end of the file: pad to it
      // and start over at 0x30.
      pad = true;
      write_at = kHeader;
      upper = log.start;
      free = log.start - kHeader;
    }
    if (options.max_size == 0 && write_at + length + kEof > ring)
      return fail("the log would pass 4 GB");
    if (upper - write_at < length + kEof) {
      // Discard the oldest records until the record and an EOF record fit.
      uint64_t start = log.start;
      uint32_t oldest = log.oldest;
      uint64_t left = live;
      while (free < length + kEof && left > 0) {
        uint8_t fixed[kFixed];
        if (!sink->read(start, fixed, sizeof fixed))
          return fail("cannot read back a record");
        uint32_t old_length = get32(fixed);
        uint32_t old_written = get32(fixed + 0x10);
        if (options.retention != 0 &&
            (r.time_written < old_written ||
             r.time_written - old_written < options.retention)) {
          log.flags |= kLogFull;
          return false;
        }
        free += old_length;
        // Padding after the last record before the end of the file is freed
        // with it.
        uint64_t old_end = start + old_length;
        if (old_end <= ring && ring - old_end < kFixed) free += ring - old_end;
        start = next_record(start, old_length);
        --left;
        if (++oldest == 0) oldest = 1;
      }
      discarded += live - left;
      live = left;
      if (live == 0) {
        // All gone: the log starts over at 0x30.
        start = kHeader;
        write_at = kHeader;
        log.end = kHeader;
        pad = false;
      }
      log.start = static_cast<uint32_t>(start);
      log.oldest = oldest;
      log.flags |= kWrap;
    }

    // Grow the file: to the whole ring when the write wraps, else as the
    // growth policy says.
    uint64_t needed = write_at + length + kEof;
    if (write_at < log.end || needed > ring) {
      if (!grow_to(ring)) return false;
    } else if (options.grow_in_steps) {
      if (!grow_to(std::min(ring, round_up(needed, kGranularity)))) return false;
    } else {
      if (!grow_to(needed)) return false;
    }

    if (pad && write_at < log.end) {
      uint64_t n = (ring - log.end) & ~uint64_t{3};
      std::vector<uint8_t> fill(n);
      for (size_t i = 0; i + 4 <= fill.size(); i += 4) put32(fill.data() + i, 0x27);
      if (!sink->write(log.end, fill.data(), fill.size())) return fail("write failed");
      log.flags |= kWrap;
    }

    std::vector<uint8_t> bytes = evt_encode_record(r, number, options.padding);
    if (!ring_write(write_at, bytes.data(), bytes.size())) return fail("write failed");
    if (live == 0) log.oldest = log.current;
    uint64_t end = write_at + length;
    if (end >= file_size) end -= file_size - kHeader;
    log.end = static_cast<uint32_t>(end);
    if (++log.current == 0) log.current = 1;
    log.flags &= ~kLogFull;
    ++live;
    ++written;
    if (!write_eof()) return fail("write failed");
    if (options.dirty && !snapped && written == options.dirty_after) {
      snapshot = log;
      snapped = true;
    }
    return true;
  }

  bool finish() {
    if (finished) return fail("finish() called twice");
    finished = true;
    if (!error.empty()) return false;
    Header h = log;
    h.flags &= ~kDirty;
    if (options.dirty) {
      h = snapped ? snapshot
                  : Header{kHeader, kHeader,
                           options.first_number == 0 ? 1 : options.first_number, 0, 0};
      h.flags |= kDirty;
    }
    uint8_t header[kHeader] = {};
    put32(header + 0x00, kHeader);
    put32(header + 0x04, kSignature);
    put32(header + 0x08, 1);
    put32(header + 0x0C, 1);
    put32(header + 0x10, h.start);
    put32(header + 0x14, h.end);
    put32(header + 0x18, h.current);
    put32(header + 0x1C, h.oldest);
    uint32_t max_field = options.header_max_size;
    if (max_field == 0)
      max_field = static_cast<uint32_t>(options.max_size != 0 ? ring : file_size);
    put32(header + 0x20, max_field);
    put32(header + 0x24, h.flags);
    put32(header + 0x28, options.retention);
    put32(header + 0x2C, kHeader);
    if (!sink->write(0, header, sizeof header) || !sink->flush())
      return fail("write failed");
    return true;
  }

  bool clear() {
    if (finished) return fail("clear() called after finish()");
    if (!error.empty()) return false;
    const Header before = log;
    uint64_t initial =
        options.grow_in_steps ? std::min<uint64_t>(ring, kGranularity) : kHeader + kEof;
    if (!sink->flush() || !sink->resize(0) || !sink->resize(initial))
      return fail("cannot clear the file");
    file_size = initial;
    discarded += live;
    live = 0;
    log = Header{kHeader, kHeader, 1, 0, 0};
    if (!write_eof(before)) return fail("write failed");
    return true;
  }

  bool start_log() {
    if (options.max_size == 0) {
      ring = kNoLimit;
    } else if (options.grow_in_steps) {
      ring = round_up(std::max<uint64_t>(options.max_size, kGranularity), kGranularity);
      if (ring > kNoLimit) ring = kNoLimit;
    } else {
      ring = options.max_size & ~uint32_t{3};
      if (ring < kHeader + kEof) return fail("max_size below the size of an empty log");
    }
    log = Header{kHeader, kHeader, options.first_number == 0 ? 1 : options.first_number,
                 0, 0};
    uint64_t initial =
        options.grow_in_steps ? std::min<uint64_t>(ring, kGranularity) : kHeader + kEof;
    if (!grow_to(initial)) return false;
    if (!write_eof()) return fail("write failed");
    if (options.dirty && options.dirty_after == 0) {
      snapshot = log;
      snapped = true;
    }
    return true;
  }
};

EvtWriter::EvtWriter(EvtOptions options) : s_(std::make_unique<State>()) {
  s_->options = options;
  auto mem = std::make_unique<MemorySink>();
  s_->memory = mem.get();
  s_->sink = std::move(mem);
  s_->start_log();
}

EvtWriter::EvtWriter(const std::filesystem::path &file, EvtOptions options)
    : s_(std::make_unique<State>()) {
  s_->options = options;
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    s_->fail(file.string() + ": " + std::strerror(errno));
    return;
  }
  s_->sink = std::make_unique<FileSink>(fd);
  s_->start_log();
}

EvtWriter::~EvtWriter() = default;

bool EvtWriter::ok() const { return s_->error.empty(); }
const std::string &EvtWriter::error() const { return s_->error; }
bool EvtWriter::add(const EvtRecord &r) { return s_->sink && s_->add(r); }
bool EvtWriter::clear() { return s_->sink && s_->clear(); }
bool EvtWriter::finish() { return s_->sink && s_->finish(); }

std::vector<uint8_t> EvtWriter::bytes() const {
  return s_->memory ? s_->memory->bytes : std::vector<uint8_t>{};
}

uint32_t EvtWriter::oldest() const { return s_->log.oldest; }
uint32_t EvtWriter::current() const { return s_->log.current; }
uint32_t EvtWriter::start_offset() const { return s_->log.start; }
uint32_t EvtWriter::end_offset() const { return s_->log.end; }
uint32_t EvtWriter::flags() const { return s_->log.flags; }
uint64_t EvtWriter::file_size() const { return s_->file_size; }
uint64_t EvtWriter::discarded() const { return s_->discarded; }

std::vector<uint8_t> write_evt(const std::vector<EvtRecord> &records,
                               const EvtOptions &options) {
  EvtWriter w(options);
  for (const auto &r : records) w.add(r);
  w.finish();
  return w.bytes();
}

}  // namespace vesk::tools
