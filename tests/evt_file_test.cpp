// The event log file as the service reads it: the index, ReadEventLogW's
// reads, wrapped, dirty, empty and trimmed logs, and damaged files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "evt_util.h"
#include "support/testlib.h"

namespace {

using namespace vesk::evttest;
namespace fs = std::filesystem;

constexpr DWORD kSeqFwd = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ;
constexpr DWORD kSeqBack = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ;
constexpr DWORD kSeekFwd = EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ;
constexpr DWORD kSeekBack = EVENTLOG_SEEK_READ | EVENTLOG_BACKWARDS_READ;

// Offsets of the records of a log that has not wrapped.
std::vector<size_t> Offsets(const std::vector<uint8_t> &b) {
  std::vector<size_t> out;
  size_t end = U32(b.data() + 0x14);
  for (size_t at = 0x30; at < end; at += U32(b.data() + at)) out.push_back(at);
  return out;
}

std::vector<uint32_t> Numbers(const std::vector<Fields> &v) {
  std::vector<uint32_t> n;
  for (const auto &f : v) n.push_back(f.number);
  return n;
}

std::vector<uint32_t> Range(uint32_t from, uint32_t to) {  // inclusive, either way
  std::vector<uint32_t> v;
  if (from <= to)
    for (uint32_t i = from; i <= to; ++i) v.push_back(i);
  else
    for (uint32_t i = from; i >= to && i != 0; --i) v.push_back(i);
  return v;
}

struct Read {
  DWORD rc, read, needed;
  std::vector<uint32_t> numbers;
};

Read Do(emu::EvtLog &log, DWORD flags, DWORD number, DWORD size) {
  std::vector<uint8_t> buf(size + 16, 0xAB);
  Read r{};
  r.read = r.needed = 0xDEADBEEF;
  r.rc = log.read(flags, number, buf.data(), size, &r.read, &r.needed);
  if (r.rc == 0)
    for (DWORD at = 0; at < r.read; at += U32(buf.data() + at))
      r.numbers.push_back(U32(buf.data() + at + 8));
  return r;
}

// ------------------------------------------------------------------ reads

class EvtReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    records_ = Samples(50);
    bytes_ = tools::write_evt(records_);
    log_ = OpenBytes(bytes_);
    ASSERT_NE(log_, nullptr);
    offsets_ = Offsets(bytes_);
    ASSERT_EQ(offsets_.size(), 50u);
  }
  uint32_t Length(uint32_t number) { return U32(bytes_.data() + offsets_[number - 1]); }

  std::vector<tools::EvtRecord> records_;
  std::vector<uint8_t> bytes_;
  std::vector<size_t> offsets_;
  std::unique_ptr<emu::EvtLog> log_;
};

TEST_F(EvtReadTest, SequentialReadsGiveEveryRecordBothWays) {
  EXPECT_EQ(log_->oldest(), 1u);
  EXPECT_EQ(log_->count(), 50u);
  DWORD rc = 0;
  auto fwd = ReadAll(*log_, kSeqFwd, 65536, &rc);
  EXPECT_EQ(rc, static_cast<DWORD>(ERROR_HANDLE_EOF));
  ASSERT_EQ(fwd.size(), 50u);
  for (uint32_t i = 0; i < 50; ++i) EXPECT_EQ(fwd[i], Expected(records_[i], i + 1));

  auto fresh = OpenBytes(bytes_);
  auto back = ReadAll(*fresh, kSeqBack, 300, &rc);
  EXPECT_EQ(rc, static_cast<DWORD>(ERROR_HANDLE_EOF));
  EXPECT_EQ(Numbers(back), Range(50, 1));
  EXPECT_EQ(back.front(), Expected(records_[49], 50));
}

TEST_F(EvtReadTest, SeekReadsStartAtTheNumberAndFollowTheDirection) {
  Read r = Do(*log_, kSeekFwd, 10, 65536);
  ASSERT_EQ(r.rc, 0u);
  EXPECT_EQ(r.numbers, Range(10, 50));
  EXPECT_EQ(r.needed, 0u);
  r = Do(*log_, kSeekBack, 10, 65536);
  ASSERT_EQ(r.rc, 0u);
  EXPECT_EQ(r.numbers, Range(10, 1));
  r = Do(*log_, kSeekBack, 50, Length(50) + Length(49));
  EXPECT_EQ(r.numbers, Range(50, 49));
  r = Do(*log_, kSeekFwd, 1, Length(1));
  EXPECT_EQ(r.numbers, Range(1, 1));
}

TEST_F(EvtReadTest, ReadsMovePastTheLastRecordReturnedSeekReadsToo) {
  Read r = Do(*log_, kSeekFwd, 20, Length(20) + Length(21));
  EXPECT_EQ(r.numbers, Range(20, 21));
  EXPECT_EQ(Do(*log_, kSeqFwd, 0, Length(22)).numbers, Range(22, 22));
  r = Do(*log_, kSeekBack, 30, Length(30) + Length(29) + Length(28));
  EXPECT_EQ(r.numbers, Range(30, 28));
  EXPECT_EQ(Do(*log_, kSeqBack, 0, 65536).numbers, Range(27, 1));
  // Past the oldest the position stays past it: no start over at the newest.
  EXPECT_EQ(Do(*log_, kSeqBack, 0, 65536).rc, static_cast<DWORD>(ERROR_HANDLE_EOF));
  EXPECT_EQ(Do(*log_, kSeqBack, 0, 65536).rc, static_cast<DWORD>(ERROR_HANDLE_EOF));
  // Sequential reads ignore the number they are given.
  EXPECT_EQ(Do(*log_, kSeqFwd, 40, 65536).rc, static_cast<DWORD>(ERROR_HANDLE_EOF));
}

TEST_F(EvtReadTest, FreshHandlesStartAtTheOldestForwardsAndTheNewestBackwards) {
  auto a = OpenBytes(bytes_), b = OpenBytes(bytes_);
  EXPECT_EQ(Do(*a, kSeqFwd, 33, Length(1)).numbers, Range(1, 1));
  EXPECT_EQ(Do(*b, kSeqBack, 33, Length(50)).numbers, Range(50, 50));
  // Each handle keeps its own position.
  EXPECT_EQ(Do(*a, kSeqFwd, 0, Length(2)).numbers, Range(2, 2));
  EXPECT_EQ(Do(*b, kSeqBack, 0, Length(49)).numbers, Range(49, 49));
}

TEST_F(EvtReadTest, BufferOfExactlyOneRecordAndOneByteShort) {
  const uint32_t len = Length(7);
  Read r = Do(*log_, kSeekFwd, 7, len);
  EXPECT_EQ(r.rc, 0u);
  EXPECT_EQ(r.read, len);
  EXPECT_EQ(r.numbers, Range(7, 7));

  std::vector<uint8_t> buf(len, 0xAB);
  DWORD read = 77, needed = 77;
  EXPECT_EQ(log_->read(kSeekFwd, 12, buf.data(), Length(12) - 1, &read, &needed),
            static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(read, 0u);
  EXPECT_EQ(needed, Length(12));
  EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](uint8_t c) { return c == 0xAB; }))
      << "nothing is copied";
  EXPECT_EQ(Do(*log_, kSeqFwd, 0, 0).rc, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  // The failed reads did not move the position (the seek read of 7 did).
  EXPECT_EQ(Do(*log_, kSeqFwd, 0, Length(8)).numbers, Range(8, 8));
}

TEST_F(EvtReadTest, WholeRecordsOnlyOneAndAHalfGiveOne) {
  DWORD size = Length(3) + Length(4) / 2;
  Read r = Do(*log_, kSeekFwd, 3, size);
  EXPECT_EQ(r.rc, 0u);
  EXPECT_EQ(r.read, Length(3));
  EXPECT_EQ(r.numbers, Range(3, 3));
}

TEST_F(EvtReadTest, NumbersOutsideTheLog) {
  EXPECT_EQ(Do(*log_, kSeekFwd, 0, 65536).rc,
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Do(*log_, kSeekBack, 0, 65536).rc,
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Do(*log_, kSeekFwd, 51, 65536).rc, static_cast<DWORD>(ERROR_HANDLE_EOF));
  EXPECT_EQ(Do(*log_, kSeekBack, 51, 65536).rc, static_cast<DWORD>(ERROR_HANDLE_EOF));
  EXPECT_EQ(Do(*log_, kSeekFwd, 0xFFFFFFFF, 65536).rc,
            static_cast<DWORD>(ERROR_HANDLE_EOF));
  Read r = Do(*log_, kSeekFwd, 51, 65536);
  EXPECT_EQ(r.read, 0u);
  EXPECT_EQ(r.needed, 0u);

  // In a log whose oldest records were overwritten.
  auto wrapped = OpenBytes(
      tools::write_evt(Samples(200), {.max_size = 4000, .grow_in_steps = false}));
  ASSERT_NE(wrapped, nullptr);
  DWORD oldest = wrapped->oldest();
  ASSERT_GT(oldest, 1u);
  DWORD newest = oldest + wrapped->count() - 1;
  EXPECT_EQ(Do(*wrapped, kSeekFwd, oldest - 1, 65536).rc,
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Do(*wrapped, kSeekBack, 1, 65536).rc,
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Do(*wrapped, kSeekFwd, newest + 1, 65536).rc,
            static_cast<DWORD>(ERROR_HANDLE_EOF));
  EXPECT_EQ(Do(*wrapped, kSeekFwd, oldest, 65536).numbers.front(), oldest);
  EXPECT_EQ(Do(*wrapped, kSeekBack, newest, 65536).numbers, Range(newest, oldest));
}

TEST_F(EvtReadTest, FlagsNameExactlyOneModeAndOneDirection) {
  for (DWORD flags :
       {0u, 1u, 2u, 4u, 8u, 3u | 4u, 1u | 4u | 8u, 2u | 4u | 8u, 15u, 3u, 12u})
    EXPECT_EQ(Do(*log_, flags, 1, 65536).rc, static_cast<DWORD>(ERROR_INVALID_PARAMETER))
        << "flags " << flags;
  EXPECT_EQ(Do(*log_, kSeekFwd, 1, 65536).rc, 0u);
}

TEST(EvtRead, BatchesStopAtTheServiceMaximum) {
  std::vector<tools::EvtRecord> big;
  for (uint32_t i = 0; i < 120; ++i) {
    auto r = Sample(i);
    r.data.assign(8000, static_cast<uint8_t>(i));
    big.push_back(r);
  }
  auto log = OpenBytes(tools::write_evt(big));
  ASSERT_NE(log, nullptr);
  Read r = Do(*log, kSeqFwd, 0, 4 << 20);
  ASSERT_EQ(r.rc, 0u);
  EXPECT_LE(r.read, 0x7FFFFu);
  EXPECT_GT(r.read, 0x7FFFFu - 8200);
  EXPECT_EQ(r.numbers.front(), 1u);
  EXPECT_EQ(Do(*log, kSeqFwd, 0, 4 << 20).numbers.front(), r.numbers.back() + 1);
}

// ---------------------------------------------------------------- layouts

// For ring sizes around a few records, the reader sees exactly the records
// the writer kept, across split records, padding and split EOF records.
TEST(EvtLayout, WrappedLogsReadBackAsWritten) {
  int splits = 0, paddings = 0, eof_splits = 0;
  for (uint32_t ring = 600; ring <= 1600; ring += 4) {
    tools::EvtWriter w({.max_size = ring, .grow_in_steps = false});
    std::vector<tools::EvtRecord> added;
    for (uint32_t i = 0; i < 40; ++i) {
      ASSERT_TRUE(w.add(Sample(i))) << w.error();
      added.push_back(Sample(i));
    }
    ASSERT_TRUE(w.finish());
    auto bytes = w.bytes();
    ASSERT_EQ(bytes.size(), ring);
    auto log = OpenBytes(bytes);
    ASSERT_NE(log, nullptr) << "ring " << ring;
    EXPECT_EQ(log->oldest(), w.oldest());
    EXPECT_EQ(log->count(), w.current() - w.oldest());
    EXPECT_FALSE(log->layout().broken);
    auto all = ReadAll(*log, kSeqFwd, 65536);
    ASSERT_EQ(all.size(), log->count()) << "ring " << ring;
    for (const auto &f : all) EXPECT_EQ(f, Expected(added[f.number - 1], f.number));
    auto back = ReadAll(*OpenBytes(bytes), kSeqBack, 400);
    EXPECT_EQ(Numbers(back), Range(w.current() - 1, w.oldest()));

    // What the ring looks like.
    uint32_t end = U32(bytes.data() + 0x14);
    if (ring - end < 0x28) ++eof_splits;
    for (size_t i = 0x30; i + 4 <= ring; i += 4)
      if (U32(bytes.data() + i) == 0x27 && ring - i < 0x38) {
        ++paddings;
        break;
      }
    for (uint32_t n = w.oldest(); n < w.current(); ++n) {
      Read one = Do(*log, kSeekBack, n, 65536);
      EXPECT_EQ(one.numbers, Range(n, w.oldest()));
    }
    // A record that wraps: its start plus its length passes the end.
    uint32_t pos = U32(bytes.data() + 0x10);
    for (uint32_t n = 0; n < log->count(); ++n) {
      uint32_t len = U32(bytes.data() + pos);
      if (pos + len > ring) ++splits;
      pos += len;
      if (pos >= ring) pos -= ring - 0x30;
      if (pos != end && ring - pos < 0x38) pos = 0x30;
    }
  }
  EXPECT_GT(splits, 0);
  EXPECT_GT(paddings, 0);
  EXPECT_GT(eof_splits, 0);
}

TEST(EvtLayout, DirtyHeaderIsReplacedByTheEndOfFileRecord) {
  auto records = Samples(30);
  for (uint32_t after : {0u, 1u, 12u}) {
    for (uint32_t ring : {0u, 1500u}) {
      auto bytes = tools::write_evt(records, {.max_size = ring,
                                              .grow_in_steps = false,
                                              .dirty = true,
                                              .dirty_after = after});
      EXPECT_EQ(U32(bytes.data() + 0x24) & 1, 1u);
      auto log = OpenBytes(bytes);
      ASSERT_NE(log, nullptr);
      EXPECT_TRUE(log->layout().dirty);
      auto clean = OpenBytes(
          tools::write_evt(records, {.max_size = ring, .grow_in_steps = false}));
      ASSERT_NE(clean, nullptr);
      EXPECT_EQ(log->oldest(), clean->oldest());
      EXPECT_EQ(log->count(), clean->count());
      EXPECT_EQ(ReadAll(*log, kSeqFwd, 65536), ReadAll(*clean, kSeqFwd, 65536));
    }
  }
}

TEST(EvtLayout, CleanHeaderRulesAndMustPointAtAnEndOfFileRecord) {
  auto good = tools::write_evt(Samples(10));
  const uint32_t end = U32(good.data() + 0x14);
  // The end-of-file record's own offsets and numbers are stale: a clean
  // header is followed.
  auto stale = good;
  Put32(stale, end + 0x14, 0x1000);
  Put32(stale, end + 0x18, 0x30);
  Put32(stale, end + 0x1C, 99);
  Put32(stale, end + 0x20, 7);
  auto log = OpenBytes(stale);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->oldest(), 1u);
  EXPECT_EQ(log->count(), 10u);
  EXPECT_EQ(Numbers(ReadAll(*log, kSeqFwd, 65536)), Range(1, 10));
  // Marked dirty, the same file has no end-of-file record to go by.
  stale[0x24] |= 1;
  DWORD error = 0;
  EXPECT_EQ(OpenBytes(stale, &error), nullptr);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_EVENTLOG_FILE_CORRUPT));

  // A clean header whose EndOffset points at a record, past the file, or
  // between DWORDs is refused, and the reason is told.
  emu::clear_diagnostics();
  for (uint32_t bad : {0x30u, static_cast<uint32_t>(good.size()) + 8, end + 2}) {
    auto b = good;
    Put32(b, 0x14, bad);
    EXPECT_EQ(OpenBytes(b, &error), nullptr) << bad;
  }
  EXPECT_TRUE(
      vesk::test::HasDiagnostic("no end-of-file record at the clean header's "
                                "EndOffset 0x30"))
      << vesk::test::AllDiagnostics();
  EXPECT_TRUE(vesk::test::HasDiagnostic("EndOffset", "outside the record area"));
  EXPECT_TRUE(vesk::test::HasDiagnostic("EndOffset", "not a multiple of 4"));
}

// A log that Windows XP has cleared: a clean header of an empty log, the
// end-of-file record at 0x30 still carrying the numbers from before.
TEST(EvtLayout, ClearedLogIsEmptyAndReadsWhatIsWrittenAfterwards) {
  for (bool dirty : {false, true}) {
    SCOPED_TRACE(dirty ? "dirty" : "clean");
    tools::EvtWriter w({.dirty = dirty, .dirty_after = 25});
    for (uint32_t i = 0; i < 25; ++i) ASSERT_TRUE(w.add(Sample(i)));
    ASSERT_TRUE(w.clear());
    if (!dirty) {
      tools::EvtWriter copy;  // the cleared file alone
      for (uint32_t i = 0; i < 25; ++i) ASSERT_TRUE(copy.add(Sample(i)));
      ASSERT_TRUE(copy.clear());
      ASSERT_TRUE(copy.finish());
      auto cleared = OpenBytes(copy.bytes());
      ASSERT_NE(cleared, nullptr);
      EXPECT_EQ(cleared->oldest(), 0u);
      EXPECT_EQ(cleared->count(), 0u);
      EXPECT_EQ(Do(*cleared, kSeqFwd, 0, 65536).rc, static_cast<DWORD>(ERROR_HANDLE_EOF));
      EXPECT_EQ(Do(*cleared, kSeekFwd, 1, 65536).rc,
                static_cast<DWORD>(ERROR_HANDLE_EOF));
    }
    // Written again after the clear: the new records from number 1.  A
    // dirty header still describes the log before the clear.
    for (uint32_t i = 100; i < 104; ++i) ASSERT_TRUE(w.add(Sample(i)));
    ASSERT_TRUE(w.finish());
    auto log = OpenBytes(w.bytes());
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(log->oldest(), 1u);
    EXPECT_EQ(log->count(), 4u);
    auto all = ReadAll(*log, kSeqFwd, 65536);
    ASSERT_EQ(all.size(), 4u);
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(all[i], Expected(Sample(100 + i), i + 1));
  }
}

// Numbers that pass 0xFFFFFFFF go on at 1: the log is served up to
// 0xFFFFFFFF, and the last record kept reads whole.
TEST(EvtLayout, NumbersPastTheLimitAreCutCleanly) {
  auto bytes = tools::write_evt(Samples(8), {.first_number = 0xFFFFFFFE});
  ASSERT_EQ(U32(bytes.data() + 0x18), 7u) << "0 is skipped";
  emu::clear_diagnostics();
  auto log = OpenBytes(bytes);
  ASSERT_NE(log, nullptr);
  EXPECT_TRUE(log->layout().cut);
  EXPECT_TRUE(vesk::test::HasDiagnostic("pass 0xFFFFFFFF", "6 records"))
      << vesk::test::AllDiagnostics();
  EXPECT_EQ(log->oldest(), 0xFFFFFFFEu);
  EXPECT_EQ(log->count(), 2u);
  Read last = Do(*log, kSeekFwd, 0xFFFFFFFF, 65536);
  ASSERT_EQ(last.rc, 0u);
  EXPECT_EQ(last.numbers, std::vector<uint32_t>{0xFFFFFFFF});
  EXPECT_EQ(Do(*log, kSeekBack, 0xFFFFFFFF, 65536).numbers,
            (std::vector<uint32_t>{0xFFFFFFFF, 0xFFFFFFFE}));
  auto fresh = OpenBytes(bytes);
  auto all = ReadAll(*fresh, kSeqFwd, 65536);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1], Expected(Sample(1), 0xFFFFFFFF));
  EXPECT_EQ(Do(*log, kSeekFwd, 1, 65536).rc, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(EvtLayout, EmptyLog) {
  for (bool steps : {true, false}) {
    auto log = OpenBytes(tools::write_evt({}, {.grow_in_steps = steps}));
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(log->oldest(), 0u);
    EXPECT_EQ(log->count(), 0u);
    EXPECT_EQ(Do(*log, kSeqFwd, 0, 65536).rc, static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(Do(*log, kSeqBack, 0, 65536).rc, static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(Do(*log, kSeekFwd, 1, 65536).rc, static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(Do(*log, kSeekFwd, 0, 65536).rc,
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
}

struct SampleRecord {
  uint32_t number, event_id;
  uint16_t type, category;
  const char *text;
};
const SampleRecord kSampleRecords[] = {
    {1, 1, 4, 1, "Test log entry, information"},
    {2, 2, 1, 1, "Test log entry, error"},
    {3, 3, 2, 1, "Test log entry, warning"},
    {4, 0xFFFE, 16, 99, "Test log entry, failure audit"},
    {5, 5, 8, 1, "Test log entry, success audit"}};

TEST(EvtLayout, WindowsSampleLogsTrimmedAndDirty) {
  VESK_REQUIRE_SAMPLES(samples);
  for (const char *name : {"TestLog.evt", "TestLog-dirty.evt"}) {
    SCOPED_TRACE(name);
    auto bytes = ReadFile((samples / name).string());
    ASSERT_FALSE(bytes.empty());
    auto log = OpenBytes(bytes);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(log->layout().dirty, std::string(name) == "TestLog-dirty.evt");
    EXPECT_EQ(log->oldest(), 1u);
    EXPECT_EQ(log->count(), 5u);
    auto all = ReadAll(*log, kSeqFwd, 65536);
    ASSERT_EQ(all.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
      const auto &s = kSampleRecords[i];
      EXPECT_EQ(all[i].number, s.number);
      EXPECT_EQ(all[i].event_id, s.event_id);
      EXPECT_EQ(all[i].type, s.type);
      EXPECT_EQ(all[i].category, s.category);
      EXPECT_EQ(all[i].source, "TestApp");
      EXPECT_EQ(all[i].computer, "POPSICKL-79ADD4");
      EXPECT_EQ(all[i].strings, std::vector<std::string>{s.text});
      EXPECT_EQ(all[i].generated, all[i].written);
    }
    EXPECT_EQ(all[0].generated, 1626835216u);  // Jul 21, 2021 02:40:16 UTC
    EXPECT_EQ(all[3].data.size(), 32u);
    // Backwards through a buffer of one record at a time.
    auto one = OpenBytes(bytes);
    EXPECT_EQ(Numbers(ReadAll(*one, kSeqBack, 0xD0)), Range(5, 1));
  }
}

// Reading a log from a host file goes piece by piece, never the whole file.
class CountingSource : public emu::ByteSource {
 public:
  explicit CountingSource(std::shared_ptr<emu::ByteSource> inner)
      : inner_(std::move(inner)) {}
  uint64_t size() const override { return inner_->size(); }
  uint64_t data_from(uint64_t off) const override { return inner_->data_from(off); }
  bool read(uint64_t off, void *dst, size_t n) const override {
    largest = std::max(largest, n);
    total += n;
    return inner_->read(off, dst, n);
  }
  mutable size_t largest = 0;
  mutable uint64_t total = 0;

 private:
  std::shared_ptr<emu::ByteSource> inner_;
};

TEST(EvtLayout, HostFileIsIndexedInOnePassOfBoundedReads) {
  vesk::test::TempDir dir("evt-host");
  fs::path file = dir.path() / "big.evt";
  const uint32_t n = 60000;
  {
    tools::EvtWriter w(file, {});
    ASSERT_TRUE(w.ok()) << w.error();
    for (uint32_t i = 0; i < n; ++i) ASSERT_TRUE(w.add(Sample(i)));
    ASSERT_TRUE(w.finish());
  }
  std::string err;
  auto src = std::make_shared<CountingSource>(emu::host_source(file, &err));
  DWORD error = 0;
  auto log = emu::EvtLog::open(src, &error);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->count(), n);
  EXPECT_LE(src->largest, 256u * 1024);
  EXPECT_LE(src->total, fs::file_size(file) + 512 * 1024) << "one pass over the file";
  uint64_t before = src->total;
  Read r = Do(*log, kSeekBack, n / 2, 65536);
  ASSERT_EQ(r.rc, 0u);
  EXPECT_EQ(r.numbers.front(), n / 2);
  EXPECT_LE(src->total - before, 65536u + 4096) << "a read costs the records it copies";
  // The seek read left the position below the records it returned.
  const uint32_t next = n / 2 - static_cast<uint32_t>(r.numbers.size());
  auto rest = ReadAll(*log, kSeqFwd, 65536);
  ASSERT_EQ(rest.size(), n - next + 1);
  EXPECT_EQ(rest.front().number, next);
  EXPECT_EQ(rest.back(), Expected(Sample(n - 1), n));
}

// A dirty header sends the service looking for the end-of-file record
// around the whole ring; the holes of a sparse file are passed unread.
TEST(EvtLayout, SearchOfASparseFilePassesItsHoles) {
  vesk::test::TempDir dir("evt-sparse");
  const uint64_t size = 0xC0000000;  // 3 GB, nearly all of it a hole
  const uint32_t far = 0xA0000000;
  auto header = tools::write_evt({}, {.grow_in_steps = false, .dirty = true});
  std::vector<uint8_t> eof(header.begin() + 0x30, header.begin() + 0x58);
  Put32(eof, 0x14, far);  // an empty log whose end-of-file record lies far on
  Put32(eof, 0x18, far);
  header.resize(0x30);
  for (bool found : {true, false}) {
    SCOPED_TRACE(found);
    fs::path file = dir.path() / (found ? "far.evt" : "none.evt");
    {
      std::ofstream f(file, std::ios::binary);
      f.write(reinterpret_cast<const char *>(header.data()), 0x30);
      if (found) {
        f.seekp(far);
        f.write(reinterpret_cast<const char *>(eof.data()), 0x28);
      }
    }
    fs::resize_file(file, size);
    std::string err;
    auto src = std::make_shared<CountingSource>(emu::host_source(file, &err));
    emu::clear_diagnostics();
    DWORD error = 0;
    auto log = emu::EvtLog::open(src, &error, "sparse");
    EXPECT_EQ(log != nullptr, found);
    if (log) {
      EXPECT_EQ(log->count(), 0u);
    }
    EXPECT_LT(src->total, 16u << 20) << "the holes were read";
    EXPECT_TRUE(vesk::test::HasDiagnostic("sparse: the header is dirty; searching"))
        << vesk::test::AllDiagnostics();
  }
}

// ---------------------------------------------------------------- damage

DWORD OpenError(const std::vector<uint8_t> &bytes) {
  DWORD error = 0;
  auto log = OpenBytes(bytes, &error);
  return log ? 0 : error;
}

TEST(EvtDamage, FilesThatAreNotEventLogs) {
  const DWORD corrupt = ERROR_EVENTLOG_FILE_CORRUPT;
  EXPECT_EQ(OpenError({}), corrupt);
  EXPECT_EQ(OpenError(std::vector<uint8_t>(10, 0)), corrupt);
  EXPECT_EQ(OpenError(std::vector<uint8_t>(0x30, 0)), corrupt);
  EXPECT_EQ(OpenError(std::vector<uint8_t>(65536, 0)), corrupt);
  std::mt19937 rng(7);
  std::vector<uint8_t> garbage(65536);
  for (auto &c : garbage) c = static_cast<uint8_t>(rng());
  EXPECT_EQ(OpenError(garbage), corrupt);

  const auto good = tools::write_evt(Samples(5));
  ASSERT_EQ(OpenError(good), 0u);
  struct Patch {
    size_t at;
    uint32_t value;
  };
  for (Patch p : {Patch{0x00, 0x31},
                  {0x2C, 0x2C},
                  {0x04, 0x654C664D},
                  {0x08, 2},
                  {0x0C, 0},
                  {0x10, 0x32},
                  {0x10, 0x7FFFFFF0},
                  {0x14, 0x33}}) {
    auto b = good;
    Put32(b, p.at, p.value);
    EXPECT_EQ(OpenError(b), corrupt) << "field at " << p.at;
  }
  // No end-of-file record anywhere.
  auto b = good;
  Put32(b, U32(b.data() + 0x14) + 4, 0);
  EXPECT_EQ(OpenError(b), corrupt);
  // Under a dirty header, an end-of-file record that names another offset.
  b = good;
  Put32(b, U32(b.data() + 0x14) + 0x18, 0x30);
  b[0x24] |= 1;
  EXPECT_EQ(OpenError(b), corrupt);
}

TEST(EvtDamage, CutShortAtEveryLength) {
  const auto good = tools::write_evt(Samples(12), {.grow_in_steps = false});
  const size_t end = U32(good.data() + 0x14);
  for (size_t n = 0; n < good.size(); ++n) {
    std::vector<uint8_t> cut(good.begin(), good.begin() + n);
    DWORD error = 0;
    auto log = OpenBytes(cut, &error);
    if (n < end + 0x28) {
      EXPECT_EQ(log, nullptr) << n;
      EXPECT_EQ(error, static_cast<DWORD>(ERROR_EVENTLOG_FILE_CORRUPT));
    }
  }
}

// Record 8 (which has a SID, strings and data) damaged in one way at a time.
constexpr uint32_t kBad = 8;

class EvtBadRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bytes_ = tools::write_evt(Samples(12));
    offsets_ = Offsets(bytes_);
    ASSERT_FALSE(Sample(kBad - 1).sid.empty());
    ASSERT_FALSE(Sample(kBad - 1).data.empty());
    ASSERT_FALSE(Sample(kBad - 1).strings.empty());
  }
  // The damaged record gives 1500; its neighbours read, in batches that stop
  // before it.
  void ExpectOnlyBad(const std::function<void(std::vector<uint8_t> &, size_t)> &patch,
                     bool chain_broken) {
    auto b = bytes_;
    patch(b, offsets_[kBad - 1]);
    auto log = OpenBytes(b);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(log->layout().broken, chain_broken);
    EXPECT_EQ(log->count(), 12u);
    for (uint32_t n = 1; n <= 12; ++n) {
      Read r = Do(*log, kSeekFwd, n, 65536);
      if (n == kBad) {
        EXPECT_EQ(r.rc, static_cast<DWORD>(ERROR_EVENTLOG_FILE_CORRUPT));
        EXPECT_EQ(r.read, 0u);
      } else {
        ASSERT_EQ(r.rc, 0u) << n;
        EXPECT_EQ(r.numbers, n < kBad ? Range(n, kBad - 1) : Range(n, 12));
      }
    }
    EXPECT_EQ(Do(*log, kSeekBack, 12, 65536).numbers, Range(12, kBad + 1));
    EXPECT_EQ(Do(*log, kSeekBack, kBad - 1, 65536).numbers, Range(kBad - 1, 1));
    // A sequential reader meets the error once and goes on past it.
    auto seq = OpenBytes(b);
    EXPECT_EQ(Do(*seq, kSeqFwd, 0, 65536).numbers, Range(1, kBad - 1));
    EXPECT_EQ(Do(*seq, kSeqFwd, 0, 65536).rc,
              static_cast<DWORD>(ERROR_EVENTLOG_FILE_CORRUPT));
    EXPECT_EQ(Do(*seq, kSeqFwd, 0, 65536).numbers, Range(kBad + 1, 12));
  }
  // The damaged record is served with everything else, byte for byte as it
  // lies in the file, forwards, backwards and sequentially: its fields are
  // the reader's business, its framing holds.
  void ExpectServedAsItStands(
      const std::function<void(std::vector<uint8_t> &, size_t)> &patch) {
    auto b = bytes_;
    const size_t at = offsets_[kBad - 1];
    patch(b, at);
    auto log = OpenBytes(b);
    ASSERT_NE(log, nullptr);
    EXPECT_FALSE(log->layout().broken);
    EXPECT_EQ(Do(*log, kSeekFwd, 1, 65536).numbers, Range(1, 12));
    EXPECT_EQ(Do(*log, kSeekBack, 12, 65536).numbers, Range(12, 1));
    auto seq = OpenBytes(b);
    EXPECT_EQ(Do(*seq, kSeqFwd, 0, 65536).numbers, Range(1, 12));
    const uint32_t length = U32(b.data() + at);
    std::vector<uint8_t> buf(65536);
    DWORD read = 0, needed = 0;
    ASSERT_EQ(log->read(kSeekFwd, kBad, buf.data(), 65536, &read, &needed), 0u);
    ASSERT_GE(read, length);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + length, b.begin() + at));
  }
  std::vector<uint8_t> bytes_;
  std::vector<size_t> offsets_;
};

TEST_F(EvtBadRecordTest, FieldsOutsideTheRecordAreServedAsTheyStand) {
  auto set = [](size_t field, uint32_t v) {
    return [=](std::vector<uint8_t> &b, size_t at) { Put32(b, at + field, v); };
  };
  ExpectServedAsItStands(set(0x24, 0x10000));     // StringOffset past the end
  ExpectServedAsItStands(set(0x24, 0x20));        // StringOffset inside the fixed part
  ExpectServedAsItStands(set(0x2C, 0xFFFFFFF0));  // UserSidOffset
  ExpectServedAsItStands([](std::vector<uint8_t> &b, size_t at) {
    Put32(b, at + 0x28, 0xFFFFFFFC);  // UserSidLength wraps 32 bits
    Put32(b, at + 0x2C, 0x40);
  });
  ExpectServedAsItStands([](std::vector<uint8_t> &b, size_t at) {
    Put32(b, at + 0x30, 0xFFFFFFF8);  // DataLength
    Put32(b, at + 0x34, 0x40);
  });
  ExpectServedAsItStands([](std::vector<uint8_t> &b, size_t at) {
    b[at + 0x1A] = 0xFF;  // NumStrings: more strings than the record holds
    b[at + 0x1B] = 0xFF;
  });
  ExpectServedAsItStands([](std::vector<uint8_t> &b, size_t at) {
    uint32_t len = U32(b.data() + at);  // names without a terminator
    for (size_t i = 0x38; i < len - 4; ++i) b[at + i] = 'A';
  });
}

TEST_F(EvtBadRecordTest, SignatureOrNumberWrongFailsTheRecordAlone) {
  auto set = [](size_t field, uint32_t v) {
    return [=](std::vector<uint8_t> &b, size_t at) { Put32(b, at + field, v); };
  };
  ExpectOnlyBad(set(0x04, 0x12345678), false);  // signature
  ExpectOnlyBad(set(0x08, 99), false);          // RecordNumber out of sequence
}

TEST_F(EvtBadRecordTest, BrokenFramingIsWalkedAroundFromTheEnd) {
  ExpectOnlyBad([](std::vector<uint8_t> &b, size_t at) { Put32(b, at, 0); }, true);
  ExpectOnlyBad([](std::vector<uint8_t> &b, size_t at) { Put32(b, at, 0x37); }, true);
  ExpectOnlyBad(
      [](std::vector<uint8_t> &b, size_t at) {  // trailing copy disagrees
        uint32_t len = U32(b.data() + at);
        Put32(b, at + len - 4, len + 4);
      },
      true);
  ExpectOnlyBad([](std::vector<uint8_t> &b, size_t at) { Put32(b, at, 0x7FFFFFFC); },
                true);
}

TEST(EvtDamage, RecordsInABrokenStretchFailAndTheRestRead) {
  auto bytes = tools::write_evt(Samples(20));
  auto offsets = Offsets(bytes);
  // Records 8 to 10 overwritten with zeros.
  std::fill(bytes.begin() + offsets[7], bytes.begin() + offsets[10], 0);
  auto log = OpenBytes(bytes);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->count(), 20u);
  for (uint32_t n = 1; n <= 20; ++n) {
    DWORD rc = Do(*log, kSeekFwd, n, 65536).rc;
    EXPECT_EQ(rc,
              n >= 8 && n <= 10 ? static_cast<DWORD>(ERROR_EVENTLOG_FILE_CORRUPT) : 0u)
        << n;
  }
}

// Random damage to valid files: opening and reading every record both ways,
// with small and large buffers, never crashes, hangs or allocates without
// bound, and every record handed out is sound.
TEST(EvtDamage, RandomDamageIsHandledSafely) {
  std::vector<std::vector<uint8_t>> seeds = {
      tools::write_evt(Samples(25), {.grow_in_steps = false}),
      tools::write_evt(Samples(60), {.max_size = 1500, .grow_in_steps = false}),
      tools::write_evt(
          Samples(60),
          {.max_size = 1400, .grow_in_steps = false, .dirty = true, .dirty_after = 20}),
  };
  std::mt19937 rng(12345);
  int opened = 0;
  for (int iter = 0; iter < 1500; ++iter) {
    auto b = seeds[iter % seeds.size()];
    int edits = 1 + static_cast<int>(rng() % 6);
    for (int e = 0; e < edits; ++e) {
      size_t at = rng() % b.size();
      switch (rng() % 4) {
        case 0:
          b[at] = static_cast<uint8_t>(rng());
          break;
        case 1:
          if (at + 4 <= b.size()) Put32(b, at & ~size_t{3}, rng() % 0x200);
          break;
        case 2:
          if (at + 4 <= b.size()) Put32(b, at & ~size_t{3}, static_cast<uint32_t>(rng()));
          break;
        case 3:
          b.resize(std::max<size_t>(at, 1));
          break;
      }
    }
    auto log = OpenBytes(b);
    if (!log) continue;
    ++opened;
    EXPECT_LE(log->count(), b.size() / 0x38 + 1);
    for (DWORD flags : {kSeqFwd, kSeqBack}) {
      for (DWORD size : {0x40u, 0x200u, 65536u}) {
        auto fresh = OpenBytes(b);
        ASSERT_NE(fresh, nullptr);
        std::vector<uint8_t> buf(size);
        int guard = 0;
        for (; guard < 5000; ++guard) {
          DWORD read = 0, needed = 0;
          DWORD rc = fresh->read(flags, 0, buf.data(), size, &read, &needed);
          if (rc == ERROR_HANDLE_EOF) break;
          if (rc == ERROR_INSUFFICIENT_BUFFER) {
            EXPECT_GT(needed, size);
            break;
          }
          if (rc != 0) {
            EXPECT_EQ(rc, static_cast<DWORD>(ERROR_EVENTLOG_FILE_CORRUPT));
            continue;
          }
          for (DWORD at = 0; at < read;) {
            uint32_t len = U32(buf.data() + at);
            ASSERT_TRUE(
                emu::evt_record_sound(buf.data() + at, len, U32(buf.data() + at + 8)));
            at += len;
          }
        }
        EXPECT_LT(guard, 5000);
      }
    }
  }
  EXPECT_GT(opened, 100);
}

// A source that can only read: the service then puts each batch together in
// its own buffer instead of checking and copying records where they lie.
class ReadOnlySource : public emu::ByteSource {
 public:
  explicit ReadOnlySource(std::vector<uint8_t> bytes)
      : inner_(emu::memory_source(bytes)) {}
  uint64_t size() const override { return inner_->size(); }
  bool read(uint64_t off, void *dst, size_t n) const override {
    return inner_->read(off, dst, n);
  }

 private:
  std::shared_ptr<emu::ByteSource> inner_;
};

// Logs in memory are served in place, other sources through the service's
// buffer; on damaged and wrapped logs (records split across the end of the
// ring) both give the same results, the same bytes and leave the rest of the
// caller's buffer, or all of it after a failure, as it was.
TEST(EvtDamage, InPlaceAndAssembledReadsAgree) {
  std::vector<std::vector<uint8_t>> seeds = {
      tools::write_evt(Samples(25), {.grow_in_steps = false}),
      tools::write_evt(Samples(60), {.max_size = 1500, .grow_in_steps = false}),
      tools::write_evt(Samples(60), {.max_size = 1100, .grow_in_steps = false}),
  };
  std::mt19937 rng(4711);
  int compared = 0, failures = 0;
  for (int iter = 0; iter < 150; ++iter) {
    emu::clear_diagnostics();
    auto b = seeds[iter % seeds.size()];
    for (int e = iter < 30 ? 0 : 1 + static_cast<int>(rng() % 3); e > 0; --e) {
      size_t at = (rng() % b.size()) & ~size_t{3};
      if (at + 4 <= b.size()) Put32(b, at, rng() % 2 ? rng() % 0x100 : rng());
    }
    DWORD e1 = 0, e2 = 0;
    auto in_place = emu::EvtLog::open(emu::memory_source(b), &e1);
    auto assembled = emu::EvtLog::open(std::make_shared<ReadOnlySource>(b), &e2);
    ASSERT_EQ(in_place == nullptr, assembled == nullptr);
    if (!in_place) continue;
    const DWORD flags[] = {kSeqFwd, kSeqBack, kSeekFwd, kSeekBack};
    for (int step = 0; step < 80; ++step) {
      const DWORD f = flags[rng() % 4];
      const DWORD number = in_place->oldest() + rng() % (in_place->count() + 2);
      const DWORD size = rng() % 2 ? 0x38 + rng() % 0x300 : 8192;
      std::vector<uint8_t> a(size + 8, 0xAB), c(size + 8, 0xAB);
      DWORD ra = 1, na = 1, rc_ = 1, nc = 1;
      const DWORD rca = in_place->read(f, number, a.data(), size, &ra, &na);
      const DWORD rcc = assembled->read(f, number, c.data(), size, &rc_, &nc);
      ASSERT_EQ(rca, rcc) << "iteration " << iter << " step " << step;
      EXPECT_EQ(ra, rc_);
      EXPECT_EQ(na, nc);
      ASSERT_EQ(a, c) << "iteration " << iter << " step " << step;
      if (rca != 0) {
        ++failures;
        EXPECT_TRUE(std::all_of(a.begin(), a.end(), [](uint8_t x) { return x == 0xAB; }));
      }
      EXPECT_TRUE(
          std::all_of(a.begin() + ra, a.end(), [](uint8_t x) { return x == 0xAB; }));
      ++compared;
    }
  }
  EXPECT_GT(compared, 8000);
  EXPECT_GT(failures, 100);
}

}  // namespace
