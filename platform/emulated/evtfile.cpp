// The classic event log file: opening (header, end-of-file record, the walk
// of the ring), the index, the record checks and ReadEventLogW's reads.
#include "platform/emulated/evtfile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

namespace vesk::emu {
namespace {

using namespace evt;

uint32_t le32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::string hex(uint64_t v) {
  char b[24];
  std::snprintf(b, sizeof b, "0x%llX", static_cast<unsigned long long>(v));
  return b;
}

// Bytes read around the walk's position at a time.
constexpr size_t kWindow = 256 * 1024;
// Bytes searched at a time for the end-of-file record.
constexpr uint64_t kScanChunk = 1024 * 1024;
// A search longer than this is announced in the diagnostics before it starts.
constexpr uint64_t kLongSearch = 64 * 1024 * 1024;

const uint8_t kEofSignature[20] = {0x28, 0,    0,    0,    0x11, 0x11, 0x11,
                                   0x11, 0x22, 0x22, 0x22, 0x22, 0x33, 0x33,
                                   0x33, 0x33, 0x44, 0x44, 0x44, 0x44};

// The record area [0x30, end) of a file, used as a ring that continues at
// 0x30 when it runs off the end of the file.  Positions lie in [0x30, end);
// distances are at most the capacity.
struct Ring {
  uint64_t end;
  uint64_t capacity() const { return end - kHeaderSize; }
  uint64_t advance(uint64_t pos, uint64_t n) const {
    uint64_t p = pos + n;
    return p >= end ? p - capacity() : p;
  }
  uint64_t retreat(uint64_t pos, uint64_t n) const {
    if (n <= pos - kHeaderSize) return pos - n;
    return end - (n - (pos - kHeaderSize));
  }
  uint64_t dist(uint64_t from, uint64_t to) const {
    return to >= from ? to - from : (end - from) + (to - kHeaderSize);
  }
};

// Reads through a window of the file, so that the walk over many small
// records costs a few large reads.
class Window {
 public:
  explicit Window(const ByteSource &src) : src_(src), size_(src.size()) {}

  bool read(uint64_t off, void *dst, size_t n, bool backwards = false) {
    if (off > size_ || n > size_ - off) return false;
    if (n > kWindow / 2) return src_.read(off, dst, n);
    if (off < base_ || off + n > base_ + len_) {
      // No larger than the file: a small log costs a small buffer.
      const size_t window = static_cast<size_t>(std::min<uint64_t>(kWindow, size_));
      if (buf_.size() < window) buf_.resize(window);
      uint64_t base = off;
      if (backwards) base = off + n > window ? off + n - window : 0;
      len_ = static_cast<size_t>(std::min<uint64_t>(window, size_ - base));
      base_ = base;
      if (!src_.read(base_, buf_.data(), len_)) {
        len_ = 0;
        return false;
      }
    }
    std::memcpy(dst, buf_.data() + (off - base_), n);
    return true;
  }

  // n bytes at ring position pos, continuing at 0x30 past the end.
  bool ring_read(const Ring &ring, uint64_t pos, void *dst, size_t n,
                 bool backwards = false) {
    size_t first = static_cast<size_t>(std::min<uint64_t>(n, ring.end - pos));
    if (!read(pos, dst, first, backwards)) return false;
    return first == n ||
           read(kHeaderSize, static_cast<uint8_t *>(dst) + first, n - first, backwards);
  }

  uint64_t data_from(uint64_t off) const { return src_.data_from(off); }

  bool ring_u32(const Ring &ring, uint64_t pos, uint32_t *v, bool backwards = false) {
    uint8_t b[4];
    if (!ring_read(ring, pos, b, 4, backwards)) return false;
    *v = le32(b);
    return true;
  }

 private:
  const ByteSource &src_;
  uint64_t size_;
  std::vector<uint8_t> buf_;
  uint64_t base_ = 0;
  size_t len_ = 0;
};

// The offset of a sound end-of-file record, searched from `from` around the
// ring; its 40 bytes in *eof.
std::optional<uint64_t> find_eof(Window &w, const Ring &ring, uint64_t from,
                                 uint8_t eof[kEofSize]) {
  const uint64_t capacity = ring.capacity();
  std::vector<uint8_t> buf;
  uint64_t pos = from, scanned = 0;
  while (scanned < capacity) {
    // A hole of a sparse file reads as zeros and cannot hold the record,
    // which begins with 0x28: it is passed without reading it.
    const uint64_t data = w.data_from(pos);
    if (data > pos) {
      uint64_t skip = std::min(data, ring.end) - pos;
      skip = std::min(skip & ~uint64_t{3}, capacity - scanned);
      if (skip > 0) {
        scanned += skip;
        pos = ring.advance(pos, skip);
        continue;
      }
    }
    uint64_t chunk = std::min({kScanChunk, ring.end - pos, capacity - scanned});
    size_t need =
        static_cast<size_t>(std::min<uint64_t>(chunk + sizeof kEofSignature, capacity));
    buf.resize(need);
    if (!w.ring_read(ring, pos, buf.data(), need)) return std::nullopt;
    for (uint64_t i = 0; i < chunk; i += 4) {
      // The signature's first byte, found by memchr: a large empty stretch
      // (a sparse file) is passed at memory speed.
      const void *hit = std::memchr(buf.data() + i, kEofSignature[0], chunk - i);
      if (hit == nullptr) break;
      i = static_cast<uint64_t>(static_cast<const uint8_t *>(hit) - buf.data());
      if (i % 4 != 0) {
        i = i / 4 * 4;  // the loop steps on to the next multiple of 4
        continue;
      }
      uint8_t sig[sizeof kEofSignature];
      const uint8_t *at = buf.data() + i;
      if (i + sizeof kEofSignature > need) {
        // Only in a ring smaller than a chunk: the signature wraps past pos.
        if (!w.ring_read(ring, ring.advance(pos, i), sig, sizeof sig))
          return std::nullopt;
        at = sig;
      }
      if (std::memcmp(at, kEofSignature, sizeof kEofSignature) != 0) continue;
      uint64_t q = ring.advance(pos, i);
      if (!w.ring_read(ring, q, eof, kEofSize)) return std::nullopt;
      // The record must end with its size and name its own offset; a stale
      // copy elsewhere would not.
      if (le32(eof + 0x24) == kEofSize && le32(eof + 0x18) == q) return q;
    }
    scanned += chunk;
    pos = ring.advance(pos, chunk);
  }
  return std::nullopt;
}

}  // namespace

const char *evt_record_problem(const uint8_t *r, size_t length, uint32_t number) {
  if (length < kRecordFixed || length % 4 != 0 || length > 0xFFFFFFFFu)
    return "its length is below 0x38 or not a multiple of 4";
  if (le32(r + kLength) != length)
    return "its Length disagrees with its place in the file";
  if (le32(r + length - 4) != length)
    return "its trailing length differs from its Length";
  if (le32(r + kReserved) != kSignature) return "it lacks the LfLe signature";
  if (le32(r + kRecordNumber) != number) return "it carries another record number";

  // The fields inside (names, SID, strings, data) are the reader's to
  // check: a record whose offsets point astray is served all the same, so
  // that whatever else it holds can still be read.
  return nullptr;
}

bool evt_record_sound(const uint8_t *r, size_t length, uint32_t number) {
  return evt_record_problem(r, length, number) == nullptr;
}

std::unique_ptr<EvtLog> EvtLog::open(std::shared_ptr<ByteSource> file, DWORD *error,
                                     std::string label) {
  auto corrupt = [&](const std::string &why) -> std::unique_ptr<EvtLog> {
    report(label + ": not a usable event log: " + why);
    if (error) *error = ERROR_EVENTLOG_FILE_CORRUPT;
    return nullptr;
  };
  if (!file) return corrupt("no file");
  const uint64_t size = file->size();
  // The offsets are 32-bit; the ring must hold at least the EOF record.
  if (size < kHeaderSize + kEofSize)
    return corrupt("the file holds " + std::to_string(size) +
                   " bytes, fewer than a header and an end-of-file record");
  if (size > 0xFFFFFFFFu) return corrupt("the file is larger than 4 GB");

  uint8_t h[kHeaderSize];
  if (!file->read(0, h, sizeof h)) return corrupt("its header cannot be read");
  if (le32(h + 0x00) != kHeaderSize || le32(h + 0x2C) != kHeaderSize ||
      le32(h + 0x04) != kSignature)
    return corrupt("no event log header (size fields 0x30 and the LfLe signature)");
  if (le32(h + 0x08) != 1 || le32(h + 0x0C) != 1)
    return corrupt("format version " + std::to_string(le32(h + 0x08)) + "." +
                   std::to_string(le32(h + 0x0C)) + ", not 1.1");
  const uint32_t h_start = le32(h + 0x10), h_end = le32(h + 0x14);
  const uint32_t h_current = le32(h + 0x18), h_oldest = le32(h + 0x1C);
  const uint32_t h_flags = le32(h + 0x24);
  const bool dirty = (h_flags & kFlagDirty) != 0;

  const Ring ring{size};
  Window w(*file);

  uint64_t start, end;
  uint32_t current, oldest_number;
  if (!dirty) {
    // The header rules; the end-of-file record must be where it says.
    for (auto [name, value] : {std::pair{"StartOffset", h_start}, {"EndOffset", h_end}})
      if (value < kHeaderSize || value >= size || value % 4 != 0)
        return corrupt(std::string("the clean header's ") + name + " " + hex(value) +
                       (value % 4 != 0 ? " is not a multiple of 4"
                                       : " lies outside the record area of the file (" +
                                             std::to_string(size) + " bytes)"));
    uint8_t sig[sizeof kEofSignature];
    if (!w.ring_read(ring, h_end, sig, sizeof sig) ||
        std::memcmp(sig, kEofSignature, sizeof sig) != 0)
      return corrupt("no end-of-file record at the clean header's EndOffset " +
                     hex(h_end));
    start = h_start;
    end = h_end;
    current = h_current;
    oldest_number = h_oldest;
  } else {
    // The EOF record, searched from where the header says it is.
    uint64_t from = kHeaderSize;
    if (h_end >= kHeaderSize && h_end < size && h_end % 4 == 0) from = h_end;
    uint8_t eof[kEofSize];
    if (ring.capacity() > kLongSearch)
      report(label + ": the header is dirty; searching the " +
             std::to_string(ring.capacity() >> 20) +
             " MB record area for the end-of-file record");
    auto found = find_eof(w, ring, from, eof);
    if (!found)
      return corrupt(
          "the header is dirty and no end-of-file record naming its own "
          "offset was found in the " +
          std::to_string(ring.capacity()) + " bytes of the record area");
    end = *found;
    start = le32(eof + 0x14);
    current = le32(eof + 0x1C);
    oldest_number = le32(eof + 0x20);
    if (start < kHeaderSize || start >= size || start % 4 != 0)
      return corrupt("the end-of-file record at " + hex(end) +
                     " names the oldest record at " + hex(start) +
                     ", outside the record area or not a multiple of 4");
  }

  // The oldest record's fixed part is never split; a log that is not
  // wrapped holds at least one record between the two; and the free space
  // after the EOF record holds it.
  if (start != end && size - start < kRecordFixed)
    return corrupt("the oldest record at " + hex(start) +
                   " leaves no room for its fixed part before the end of the file");
  if (start < end && end - start < kRecordFixed)
    return corrupt("the " + std::to_string(end - start) + " bytes between " + hex(start) +
                   " and the end-of-file record at " + hex(end) + " hold no record");
  uint64_t free_space = start <= end ? (size - end) + (start - kHeaderSize) : start - end;
  if (free_space < kEofSize)
    return corrupt("the end-of-file record at " + hex(end) +
                   " overlaps the oldest record at " + hex(start));

  std::unique_ptr<EvtLog> log(new EvtLog());
  log->file_ = std::move(file);
  log->label_ = std::move(label);
  Layout &lay = log->layout_;
  lay.start = static_cast<uint32_t>(start);
  lay.end = static_cast<uint32_t>(end);
  lay.ring_end = size;
  lay.flags = h_flags;
  lay.dirty = dirty;

  // Forward from the oldest record, by the records' framing.
  uint64_t remaining = ring.dist(start, end);
  uint64_t pos = start;
  bool broken = false;
  std::string why;
  while (remaining > 0) {
    uint8_t fixed[kRecordFixed];
    uint32_t length = 0, tail = 0;
    if (size - pos < kRecordFixed || !w.read(pos, fixed, sizeof fixed)) {
      broken = true;
      why = "its fixed part does not fit before the end of the file";
      break;
    }
    length = le32(fixed);
    if (length < kRecordFixed || length % 4 != 0 || length > remaining) {
      broken = true;
      why = "its Length " + hex(length) +
            (length > remaining ? " runs past the end-of-file record"
                                : " is below 0x38 or not a multiple of 4");
      break;
    }
    if (!w.ring_u32(ring, ring.advance(pos, length - 4), &tail) || tail != length) {
      broken = true;
      why = "it has a bad trailing length (" + hex(tail) + ", its Length is " +
            hex(length) + ")";
      break;
    }
    log->forward_.push_back(static_cast<uint32_t>(pos));
    remaining -= length;
    uint64_t next = ring.advance(pos, length);
    if (remaining > 0 && size - next < kRecordFixed) {
      // Padding to the end of the file; the next record starts at 0x30.
      uint64_t pad = size - next;
      if (pad > remaining) {
        pos = next;
        broken = true;
        why = "the padding before the end of the file runs past the end-of-file record";
        break;
      }
      remaining -= pad;
      next = kHeaderSize;
    }
    pos = next;
  }
  log->forward_end_ = static_cast<uint32_t>(pos);

  // Backwards from the EOF record, through the trailing Length copies, as
  // far as the break.
  if (broken) {
    uint64_t left = ring.dist(pos, end);
    uint64_t p = end;
    while (left > 0) {
      uint64_t e = p, gap = 0;
      if (p == kHeaderSize) {
        // The record before ends at the end of the file or before padding.
        e = size & ~uint64_t{3};
        uint32_t v = 0;
        while (e >= kHeaderSize + 4 && size - (e - 4) < kRecordFixed &&
               w.ring_u32(ring, e - 4, &v, true) && v == kPadding)
          e -= 4;
        gap = size - e;
        if (gap >= kRecordFixed || e < kHeaderSize + kRecordFixed) break;
      }
      uint32_t length = 0;
      if (!w.ring_u32(ring, ring.retreat(e == size ? kHeaderSize : e, 4), &length, true))
        break;
      if (length < kRecordFixed || length % 4 != 0 || uint64_t{length} + gap > left)
        break;
      uint64_t s;
      if (p == kHeaderSize) {
        if (e - kHeaderSize < length) break;
        s = e - length;
      } else {
        s = ring.retreat(p, length);
      }
      uint8_t head[8];
      if (size - s < kRecordFixed || !w.read(s, head, sizeof head, true) ||
          le32(head) != length || le32(head + 4) != kSignature)
        break;
      left -= length + gap;
      log->backward_.push_back(static_cast<uint32_t>(s));
      p = s;
    }
  }

  // Numbering: the oldest number from the ruling header; the count from the
  // records found, and across a break from the header's count when the
  // space between the walks can hold that many.
  const uint64_t k = log->forward_.size();
  uint64_t m = log->backward_.size();
  uint64_t oldest = oldest_number;
  if (oldest == 0 && (k > 0 || broken)) oldest = 1;
  uint64_t total = k;
  if (broken) {
    uint64_t counted = oldest_number == 0 ? 0 : uint32_t(current - oldest_number);
    uint64_t gap_bytes = ring.dist(pos, m ? log->backward_.back() : end);
    uint64_t max_gap = std::max<uint64_t>(1, gap_bytes / kRecordFixed);
    uint64_t gap = (counted > k + m && counted - k - m <= max_gap) ? counted - k - m : 1;
    total = k + gap + m;
    log->note("the chain of records breaks at offset " + hex(pos) + ": " + why + "; " +
              std::to_string(k) + " records read from the oldest, " + std::to_string(m) +
              " back from the end-of-file record, " + std::to_string(gap) +
              " numbered records lost between them");
  }
  // Numbers stop at 0xFFFFFFFF: the records after it are left out, and the
  // last one kept ends where the first one left out begins.
  const uint64_t limit = 0x100000000ull - oldest;
  if (total > limit) {
    log->note("record numbers pass 0xFFFFFFFF; the " + std::to_string(total - limit) +
              " records after number 0xFFFFFFFF are not served");
    total = limit;
    if (log->forward_.size() > total) {
      log->forward_end_ = log->forward_[total];
      log->forward_.truncate(total);
    }
    log->backward_.clear();
    m = 0;
    lay.cut = true;
  }
  log->oldest_ = static_cast<DWORD>(oldest);
  log->count_ = total;
  lay.broken = broken;
  lay.forward = log->forward_.size();
  lay.backward = m;
  return log;
}

void EvtLog::note(const std::string &what) const { report(label_ + ": " + what); }

uint64_t EvtLog::advance(uint64_t pos, uint64_t n) const {
  return Ring{layout_.ring_end}.advance(pos, n);
}

bool EvtLog::ring_read(uint64_t pos, void *dst, size_t n) const {
  const uint64_t ring_end = layout_.ring_end;
  size_t first = static_cast<size_t>(std::min<uint64_t>(n, ring_end - pos));
  if (!file_->read(pos, dst, first)) return false;
  return first == n ||
         file_->read(kHeaderSize, static_cast<uint8_t *>(dst) + first, n - first);
}

std::optional<uint32_t> EvtLog::offset_of(uint64_t i) const {
  if (i >= count_) return std::nullopt;
  if (i < forward_.size()) return forward_[i];
  uint64_t j = count_ - 1 - i;
  if (j < backward_.size()) return backward_[j];
  return std::nullopt;
}

bool EvtLog::length_of(uint64_t i, uint32_t offset, uint32_t *length) const {
  uint64_t next;
  if (i < forward_.size())
    next = i + 1 < forward_.size() ? forward_[i + 1] : forward_end_;
  else {
    uint64_t j = count_ - 1 - i;
    next = j == 0 ? layout_.end : backward_[j - 1];
  }
  if (next != kHeaderSize) {
    *length = static_cast<uint32_t>(Ring{layout_.ring_end}.dist(offset, next));
    return true;
  }
  // Next at 0x30: the record ends at the end of the file or before padding,
  // so its own Length tells.
  uint8_t b[4];
  if (!file_->read(offset, b, 4)) return false;
  *length = le32(b);
  return *length >= kRecordFixed && *length <= layout_.ring_end - offset;
}

DWORD EvtLog::read(DWORD flags, DWORD number, void *buffer, DWORD size, DWORD *read_out,
                   DWORD *needed_out) {
  const DWORD mode = flags & (EVENTLOG_SEQUENTIAL_READ | EVENTLOG_SEEK_READ);
  const DWORD direction = flags & (EVENTLOG_FORWARDS_READ | EVENTLOG_BACKWARDS_READ);
  if (mode != EVENTLOG_SEQUENTIAL_READ && mode != EVENTLOG_SEEK_READ)
    return ERROR_INVALID_PARAMETER;
  if (direction != EVENTLOG_FORWARDS_READ && direction != EVENTLOG_BACKWARDS_READ)
    return ERROR_INVALID_PARAMETER;
  *read_out = 0;
  *needed_out = 0;
  const bool forwards = direction == EVENTLOG_FORWARDS_READ;
  const int64_t step = forwards ? 1 : -1;
  if (size > kMaxBatch) size = kMaxBatch;

  const int64_t oldest = oldest_;
  const int64_t newest = oldest + static_cast<int64_t>(count_) - 1;
  int64_t n;
  if (mode == EVENTLOG_SEEK_READ) {
    if (number == 0 || number < oldest) return ERROR_INVALID_PARAMETER;
    n = number;
    if (n > newest) return ERROR_HANDLE_EOF;
  } else {
    n = started_ ? position_ : (forwards ? oldest : newest);
    if (count_ == 0 || n < oldest || n > newest) return ERROR_HANDLE_EOF;
  }

  // The records that fit, in the order they go into the buffer.
  std::vector<Piece> &pieces = pieces_;
  pieces.clear();
  uint64_t total = 0;
  for (int64_t at = n; at >= oldest && at <= newest; at += step) {
    uint64_t i = static_cast<uint64_t>(at - oldest);
    auto offset = offset_of(i);
    uint32_t length = 0;
    if (!offset || !length_of(i, *offset, &length)) break;
    if (total + length > size) {
      if (pieces.empty()) {
        *needed_out = length;
        return ERROR_INSUFFICIENT_BUFFER;
      }
      break;
    }
    pieces.push_back({*offset, length});
    total += length;
  }

  if (file_->bytes() != nullptr) return read_in_place(n, step, buffer, read_out);

  // The records are put together in a buffer of this handle's, so that a
  // read that fails leaves the caller's buffer as it was.  Runs of records
  // that lie one after the other in the file take one read each; backwards,
  // a run's records go out in the reverse of their order in the file.
  if (scratch_.size() < total) scratch_.resize(total);
  if (backward_scratch_.size() < total && !forwards) backward_scratch_.resize(total);
  uint8_t *out = scratch_.data();
  size_t copied = 0, usable = 0;
  for (size_t a = 0; a < pieces.size();) {
    size_t b = a;
    uint64_t run = pieces[a].length;
    while (b + 1 < pieces.size()) {
      const Piece &cur = pieces[b], &nxt = pieces[b + 1];
      bool adjacent = forwards ? advance(cur.offset, cur.length) == nxt.offset
                               : advance(nxt.offset, nxt.length) == cur.offset;
      if (!adjacent) break;
      ++b;
      run += pieces[b].length;
    }
    bool ok;
    if (forwards) {
      ok = ring_read(pieces[a].offset, out + copied, run);
    } else {
      uint8_t *tmp = backward_scratch_.data();
      ok = ring_read(pieces[b].offset, tmp, run);
      if (ok) {
        size_t from = run;
        size_t to = copied;
        for (size_t j = a; j <= b; ++j) {
          from -= pieces[j].length;
          std::memcpy(out + to, tmp + from, pieces[j].length);
          to += pieces[j].length;
        }
      }
    }
    if (!ok) break;
    copied += run;
    usable = b + 1;
    a = b + 1;
  }

  // Only sound records are handed out, up to the first unsound one.
  size_t good = 0, good_bytes = 0;
  const char *problem = nullptr;
  while (good < usable) {
    problem =
        evt_record_problem(out + good_bytes, pieces[good].length,
                           static_cast<uint32_t>(n + step * static_cast<int64_t>(good)));
    if (problem != nullptr) break;
    good_bytes += pieces[good].length;
    ++good;
  }

  started_ = true;
  if (good == 0) return fail_read(n, step, problem);
  std::memcpy(buffer, out, good_bytes);
  position_ = n + step * static_cast<int64_t>(good);
  *read_out = static_cast<DWORD>(good_bytes);
  return 0;
}

DWORD EvtLog::fail_read(int64_t n, int64_t step, const char *problem) {
  if (problem != nullptr)
    note("record " + std::to_string(n) + " at offset " + hex(pieces_[0].offset) + ": " +
         problem);
  else if (pieces_.empty())
    note("record " + std::to_string(n) +
         " lies in a damaged stretch of the file where the chain of records broke");
  else
    note("record " + std::to_string(n) + " at offset " + hex(pieces_[0].offset) +
         " cannot be read");
  // The position moves past the damaged record, so that a reader going on
  // sequentially reaches its neighbours.
  position_ = n + step;
  return ERROR_EVENTLOG_FILE_CORRUPT;
}

DWORD EvtLog::read_in_place(int64_t n, int64_t step, void *buffer, DWORD *read_out) {
  // The file is in memory: each record is checked where it lies (one split
  // across the end of the ring is first put together in this handle's
  // buffer), and only the sound ones are copied, once, into the caller's
  // buffer, which a failed read therefore leaves as it was.
  const uint8_t *file = file_->bytes();
  const uint64_t ring_end = layout_.ring_end;
  size_t good = 0, good_bytes = 0;
  const char *problem = nullptr;
  for (; good < pieces_.size(); ++good) {
    const Piece &p = pieces_[good];
    const uint8_t *record = file + p.offset;
    if (p.offset >= ring_end || p.length > ring_end - p.offset) {
      if (scratch_.size() < p.length) scratch_.resize(p.length);
      if (!ring_read(p.offset, scratch_.data(), p.length)) break;
      record = scratch_.data();
    }
    problem = evt_record_problem(
        record, p.length, static_cast<uint32_t>(n + step * static_cast<int64_t>(good)));
    if (problem != nullptr) break;
    good_bytes += p.length;
  }
  started_ = true;
  if (good == 0) return fail_read(n, step, problem);
  auto *out = static_cast<uint8_t *>(buffer);
  for (size_t i = 0, at = 0; i < good; at += pieces_[i].length, ++i)
    ring_read(pieces_[i].offset, out + at, pieces_[i].length);
  position_ = n + step * static_cast<int64_t>(good);
  *read_out = static_cast<DWORD>(good_bytes);
  return 0;
}

}  // namespace vesk::emu
