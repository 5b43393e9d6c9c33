// A classic event log file (.evt) as the event log service serves it: the
// header and end-of-file record checked, the ring of records indexed once by
// record number, and reads with ReadEventLogW's semantics.
//
// The file is read piece by piece through a ByteSource; the index holds one
// 32-bit offset per record, kept in fixed blocks, so a log of a million
// records costs 4 MB.
//
// Opening follows what the service does when it loads a log:
//   - the header must have both size fields 0x30, the signature and version
//     1.1; files above 4 GB are not event logs;
//   - a clean header (DIRTY not set) rules: its offsets and numbers describe
//     the log, and the end-of-file record is only looked for where EndOffset
//     points, known by its size and its four signature words.  Its own
//     offsets and numbers are not held against the header: a log that
//     Windows has cleared keeps the numbers from before the clear there.  A
//     clean header whose offsets lie outside the file, are not multiples of
//     4 or have no end-of-file record at EndOffset is refused;
//   - for a dirty header the end-of-file record is searched from the
//     header's EndOffset (or 0x30 when that offset is unusable), wrapping at
//     the end of the file; it must name its own offset, and it replaces the
//     header;
//   - the records are walked from StartOffset to EndOffset: a record split
//     across the end of the file continues at 0x30, and when fewer than 0x38
//     bytes remain after a record the next one starts at 0x30.
//
// Each step of the walk needs only the record's framing: a Length of at
// least 0x38 and a multiple of 4 that stays before the end-of-file record,
// and the same Length in the record's last DWORD.  A record whose framing
// holds is indexed even when its contents are damaged; its signature and
// record number are checked each time it is read, and a record without them
// fails that read with ERROR_EVENTLOG_FILE_CORRUPT while its neighbours stay
// readable.  Its names, SID, strings and data are served as they are, even
// when their offsets point outside the record: the reader reads them within
// the record's Length.  A record
// whose framing fails breaks the chain: the walk then goes backwards from the
// end-of-file record through the trailing Length copies (each record so
// found must also begin with that Length and the signature), so the records
// after the break stay readable too.  The numbers between the two walks fail
// with ERROR_EVENTLOG_FILE_CORRUPT; how many there are comes from the
// end-of-file record when the space between the walks can hold them, else
// one number stands for the whole damaged stretch.
//
// Record numbers are given by position: the oldest record has the number
// the ruling header gives (1 if that is 0 while there are records), the next
// one that plus one, and so on; a record that carries another number is
// damaged.  A clean walk sets the count to the records found.  Numbers stop
// at 0xFFFFFFFF: the range the service reports (the oldest number and a
// count) cannot pass it without passing 0, so a log whose numbering wraps
// is served up to the record numbered 0xFFFFFFFF, and the records after
// the wrap are left out (with a diagnostic).
//
// Why a file is refused and why a record fails is told through report(),
// prefixed with the label the log was opened with.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/emulated/seam.h"

namespace vesk::emu {

namespace evt {
constexpr uint32_t kHeaderSize = 0x30;
constexpr uint32_t kSignature = 0x654C664C;  // "LfLe"
constexpr uint32_t kRecordFixed = 0x38;
constexpr uint32_t kEofSize = 0x28;
constexpr uint32_t kPadding = 0x27;
constexpr uint32_t kMaxBatch = 0x7FFFF;

constexpr uint32_t kFlagDirty = 0x1;
constexpr uint32_t kFlagWrap = 0x2;
constexpr uint32_t kFlagLogFull = 0x4;
constexpr uint32_t kFlagArchive = 0x8;

// Offsets of the EVENTLOGRECORD fields.
constexpr uint32_t kLength = 0x00;
constexpr uint32_t kReserved = 0x04;
constexpr uint32_t kRecordNumber = 0x08;
constexpr uint32_t kTimeGenerated = 0x0C;
constexpr uint32_t kTimeWritten = 0x10;
constexpr uint32_t kEventId = 0x14;
constexpr uint32_t kEventType = 0x18;
constexpr uint32_t kNumStrings = 0x1A;
constexpr uint32_t kEventCategory = 0x1C;
constexpr uint32_t kStringOffset = 0x24;
constexpr uint32_t kUserSidLength = 0x28;
constexpr uint32_t kUserSidOffset = 0x2C;
constexpr uint32_t kDataLength = 0x30;
constexpr uint32_t kDataOffset = 0x34;
}  // namespace evt

// Whether the `length` bytes at `record` are a sound EVENTLOGRECORD numbered
// `number`: both Length fields equal `length` (at least 0x38, a multiple of
// 4), the signature and the record number.  Only this framing decides: the
// offsets of its names, SID, strings and data are not checked here.
bool evt_record_sound(const uint8_t *record, size_t length, uint32_t number);
// The same check, saying what is wrong: null for a sound record.
const char *evt_record_problem(const uint8_t *record, size_t length, uint32_t number);

// Record offsets in blocks of fixed size: the index of a large log grows
// without the copies (and the twice-the-size peak) of a vector that doubles.
// The first block is an ordinary vector, so a small log costs a small index.
class OffsetList {
 public:
  void push_back(uint32_t v) {
    if (size_ < kBlock) {
      head_.push_back(v);
    } else {
      uint64_t i = size_ - kBlock;
      if (i % kBlock == 0) blocks_.emplace_back(new uint32_t[kBlock]);
      blocks_[i / kBlock][i % kBlock] = v;
    }
    ++size_;
  }
  uint64_t size() const { return size_; }
  uint32_t operator[](uint64_t i) const {
    if (i < kBlock) return head_[i];
    i -= kBlock;
    return blocks_[i / kBlock][i % kBlock];
  }
  uint32_t back() const { return (*this)[size_ - 1]; }
  // Keeps the first n entries (n no more than size()).
  void truncate(uint64_t n) {
    size_ = n;
    if (n < kBlock) head_.resize(n);
    blocks_.resize(n <= kBlock ? 0 : (n - kBlock + kBlock - 1) / kBlock);
  }
  void clear() { truncate(0); }

 private:
  static constexpr uint64_t kBlock = 1 << 16;
  std::vector<uint32_t> head_;
  std::vector<std::unique_ptr<uint32_t[]>> blocks_;
  uint64_t size_ = 0;
};

class EvtLog {
 public:
  // Null with *error set (ERROR_EVENTLOG_FILE_CORRUPT) when `file` is not an
  // event log this service can load; the reason is reported, prefixed with
  // `label` (the log and its file), as are the damaged records met later.
  static std::unique_ptr<EvtLog> open(std::shared_ptr<ByteSource> file, DWORD *error,
                                      std::string label = "event log");

  // GetOldestEventLogRecord: 0 for an empty log.
  DWORD oldest() const { return oldest_; }
  // GetNumberOfEventLogRecords.
  DWORD count() const { return static_cast<DWORD>(count_); }

  // ReadEventLogW on this handle: 0 or the error code.  The flags must hold
  // exactly one of SEQUENTIAL/SEEK and one of FORWARDS/BACKWARDS (else 87,
  // and the outputs are left alone).  `buffer`, `read` and `needed` must not
  // be null.  Buffers above 0x7FFFF bytes are used up to 0x7FFFF, the most
  // the service returns in one batch.  Errors: 87 for a seek to 0 or below
  // the oldest record, 38 past the newest (or at the end of a sequential
  // walk), 122 with *needed when the first record does not fit, 1500 when
  // the first record is damaged.  A successful read moves this handle's
  // position past the last record returned, a 1500 past the damaged record;
  // the other errors leave it.  A failed read leaves `buffer` as it was, and
  // a successful one writes no byte past the records it returns.
  DWORD read(DWORD flags, DWORD number, void *buffer, DWORD size, DWORD *read,
             DWORD *needed);

  // What the open found, for tests.
  struct Layout {
    uint32_t start = 0;     // offset of the oldest record
    uint32_t end = 0;       // offset of the end-of-file record
    uint64_t ring_end = 0;  // the file size, where the ring wraps
    uint32_t flags = 0;     // header flags as stored
    bool dirty = false;     // the header was stale and the EOF record used
    bool cut = false;       // records after number 0xFFFFFFFF left out
    bool broken = false;    // a record's framing broke the chain
    uint64_t forward = 0;   // records reached walking forwards
    uint64_t backward = 0;  // records reached walking backwards after a break
  };
  const Layout &layout() const { return layout_; }

 private:
  EvtLog() = default;

  // File offset of the record with index i (0 = oldest), or empty for a
  // number lost in a break of the chain.
  std::optional<uint32_t> offset_of(uint64_t i) const;
  // The Length of the record with index i at `offset`, from where the next
  // record starts; false when that cannot be read.
  bool length_of(uint64_t i, uint32_t offset, uint32_t *length) const;
  bool ring_read(uint64_t pos, void *dst, size_t n) const;
  // read() of the records in pieces_ (starting at number n, going by step)
  // when the file is in memory.
  DWORD read_in_place(int64_t n, int64_t step, void *buffer, DWORD *read_out);
  // A read whose first record, pieces_[0] if any, failed (with `problem`
  // when its checks did).
  DWORD fail_read(int64_t n, int64_t step, const char *problem);
  uint64_t advance(uint64_t pos, uint64_t n) const;
  void note(const std::string &what) const;

  std::shared_ptr<ByteSource> file_;
  std::string label_;
  Layout layout_;
  DWORD oldest_ = 0;
  uint64_t count_ = 0;
  OffsetList forward_;        // offsets, oldest first
  OffsetList backward_;       // offsets, newest first
  uint32_t forward_end_ = 0;  // where the forward walk stopped

  // The sequential read position: the number the next sequential read starts
  // at, once a read has set it.
  bool started_ = false;
  int64_t position_ = 0;
  struct Piece {
    uint32_t offset;
    uint32_t length;
  };
  std::vector<Piece> pieces_;
  std::vector<uint8_t> scratch_;           // a batch being put together
  std::vector<uint8_t> backward_scratch_;  // a run read to be reversed
};

}  // namespace vesk::emu
