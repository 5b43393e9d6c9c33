// The record range and the batch read buffer, over logs made by the writer
// and the real sample logs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "api/context.h"
#include "evtwriter.h"
#include "records/bytes.h"
#include "support/testlib.h"

namespace emu = vesk::emu;
using vesk::test::ErrorText;
using vesk::tools::EvtRecord;

namespace {

EvtRecord Record(uint32_t i, size_t text_units = 60) {
  EvtRecord r;
  r.time_generated = r.time_written = 1'100'000'000u + i;
  r.event_id = 1000 + i;
  r.source = u"TestSource";
  r.computer = u"WORKSTATION";
  r.strings = {std::u16string(text_units, u'a' + static_cast<char16_t>(i % 26))};
  return r;
}

std::vector<EvtRecord> Records(uint32_t n, size_t text_units = 60) {
  std::vector<EvtRecord> out;
  for (uint32_t i = 1; i <= n; ++i) out.push_back(Record(i, text_units));
  return out;
}

// `records` records, record `bad` without its signature (its framing holds,
// so the service fails that record alone).
std::vector<uint8_t> LogWithBadSignature(uint32_t records, uint32_t bad) {
  auto bytes = vesk::tools::write_evt(Records(records));
  uint32_t pos = 0x30;
  for (uint32_t i = 1; i < bad; ++i) pos += ReadU32(bytes.data() + pos);
  bytes[pos + 0x04] ^= 0xFF;
  return bytes;
}

std::vector<uint8_t> ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class ReadTest : public ::testing::Test {
 protected:
  void SetUp() override { emu::reset(); }
  void TearDown() override {
    if (handle_ != 0) VeskClose(handle_);
    EXPECT_EQ(emu::live().event_logs, 0);
    EXPECT_EQ(emu::live().bstrs, 0);
    emu::reset();
  }

  // Opens a local log held in memory.
  CEvtLog *OpenLog(std::vector<uint8_t> bytes, const char *name = "Application") {
    auto c = vesk::test::MakeComputer(u"WORKSTATION", {});
    c->add_log(emu::from_utf8(name), std::move(bytes));
    emu::set_local(c);
    if (VeskOpen(nullptr, name, &handle_) != 0) {
      ADD_FAILURE() << ErrorText(handle_);
      return nullptr;
    }
    emu::reset_calls();
    return vesk::FindContext(handle_);
  }

  DWORD Number(const BYTE *record) { return ReadU32(record + kRecordNumber); }
  uint64_t Reads() { return emu::calls(emu::Call::ReadEventLogW); }

  VESKHANDLE handle_ = 0;
};

TEST_F(ReadTest, RangeOfALogAndOfAnEmptyOne) {
  vesk::tools::EvtOptions wrap;
  wrap.max_size = 64 * 1024;
  auto *ctx = OpenLog(vesk::tools::write_evt(Records(2000), wrap));
  ASSERT_NE(ctx, nullptr);
  int32_t oldest = 0, newest = 0;
  ASSERT_EQ(VeskGetOldest(handle_, &oldest), 0);
  ASSERT_EQ(VeskGetNewest(handle_, &newest), 0);
  EXPECT_GT(oldest, 1) << "the ring overwrote the first records";
  EXPECT_EQ(newest, 2000);
  VeskClose(handle_);
  handle_ = 0;

  ctx = OpenLog(vesk::test::EmptyLog());
  ASSERT_NE(ctx, nullptr);
  ASSERT_EQ(VeskGetOldest(handle_, &oldest), 0);
  ASSERT_EQ(VeskGetNewest(handle_, &newest), 0);
  EXPECT_EQ(oldest, 0);
  EXPECT_EQ(newest, -1)
      << "one below the oldest: a loop from oldest to newest does nothing";
  EXPECT_EQ(ctx->ReadRecord(1), nullptr);
  EXPECT_EQ(ErrorText(handle_), "");
}

TEST_F(ReadTest, RangeCallsClearAnEarlierErrorAndReportTheirOwn) {
  auto *ctx = OpenLog(vesk::tools::write_evt(Records(5)));
  ASSERT_NE(ctx, nullptr);
  ctx->SetError(u"earlier");
  int32_t out = 0;
  ASSERT_EQ(VeskGetOldest(handle_, &out), 0);
  EXPECT_EQ(ErrorText(handle_), "");
  ctx->SetError(u"earlier");
  ASSERT_EQ(VeskGetNewest(handle_, &out), 0);
  EXPECT_EQ(out, 5);
  EXPECT_EQ(ErrorText(handle_), "");

  out = 42;
  emu::fail(emu::Call::GetOldestEventLogRecord, ERROR_INVALID_HANDLE, 1);
  EXPECT_EQ(VeskGetOldest(handle_, &out), 1);
  EXPECT_EQ(ErrorText(handle_), "GetOldestEventLogRecord rc=6");
  EXPECT_EQ(out, 42);
  emu::fail(emu::Call::GetOldestEventLogRecord, ERROR_INVALID_HANDLE, 1);
  EXPECT_EQ(VeskGetNewest(handle_, &out), 1);
  EXPECT_EQ(ErrorText(handle_), "GetOldestEventLogRecord rc=6");
  emu::fail(emu::Call::GetNumberOfEventLogRecords, ERROR_EVENTLOG_FILE_CORRUPT, 1);
  EXPECT_EQ(VeskGetNewest(handle_, &out), 1);
  EXPECT_EQ(ErrorText(handle_), "GetNumberOfEventLogRecords rc=1500");
  EXPECT_EQ(out, 42);
}

TEST_F(ReadTest, WalkingUpwardsReadsOneBatchPerBufferFull) {
  auto records = Records(3000);
  uint64_t bytes = 0;
  for (auto &r : records) bytes += vesk::tools::evt_record_size(r);
  auto *ctx = OpenLog(vesk::tools::write_evt(records));
  ASSERT_NE(ctx, nullptr);
  for (DWORD n = 1; n <= 3000; ++n) {
    const BYTE *r = ctx->ReadRecord(n);
    ASSERT_NE(r, nullptr) << n;
    ASSERT_EQ(Number(r), n);
    ASSERT_EQ(ReadU32(r + 20), 1000 + n);
  }
  // Whole records only: each batch holds slightly less than 64 KB.
  uint64_t full = (bytes + kReadBufferBytes - 1) / kReadBufferBytes;
  EXPECT_GE(Reads(), full);
  EXPECT_LE(Reads(), full + 1);
  EXPECT_EQ(ctx->ReadRecord(3001), nullptr);
  EXPECT_EQ(ErrorText(handle_), "") << "the end of the log is no error";
}

TEST_F(ReadTest, OneBatchServesItsNumbersInAnyOrder) {
  auto *ctx = OpenLog(vesk::tools::write_evt(Records(100)));
  ASSERT_NE(ctx, nullptr);
  ASSERT_NE(ctx->ReadRecord(10), nullptr);
  EXPECT_EQ(Reads(), 1u);
  for (DWORD n : {50u, 11u, 99u, 10u, 100u, 42u}) {
    const BYTE *r = ctx->ReadRecord(n);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(Number(r), n);
  }
  EXPECT_EQ(Reads(), 1u);
  // Below the batch: a backwards read that starts at the number asked for.
  const BYTE *r = ctx->ReadRecord(9);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r, ctx->buffer);
  EXPECT_EQ(Reads(), 2u);
  for (DWORD n = 9; n >= 1; --n) EXPECT_EQ(Number(ctx->ReadRecord(n)), n);
  EXPECT_EQ(Reads(), 2u);
}

TEST_F(ReadTest, WalkingDownwardsReadsTheFirstBatchForwardsThenBackwards) {
  auto *ctx = OpenLog(vesk::tools::write_evt(Records(2000)));
  ASSERT_NE(ctx, nullptr);
  std::vector<DWORD> flags;
  DWORD last_missed = ctx->last_missed;
  for (DWORD n = 2000; n >= 1; --n) {
    uint64_t before = Reads();
    DWORD previous_miss = ctx->last_missed;
    const BYTE *r = ctx->ReadRecord(n);
    ASSERT_NE(r, nullptr) << n;
    ASSERT_EQ(Number(r), n);
    if (Reads() != before) {
      flags.push_back(n < previous_miss ? EVENTLOG_BACKWARDS_READ
                                        : EVENTLOG_FORWARDS_READ);
      EXPECT_EQ(ctx->last_missed, n);
    }
  }
  (void)last_missed;
  ASSERT_GE(flags.size(), 3u);
  EXPECT_EQ(flags[0], static_cast<DWORD>(EVENTLOG_FORWARDS_READ));
  for (size_t i = 1; i < flags.size(); ++i)
    EXPECT_EQ(flags[i], static_cast<DWORD>(EVENTLOG_BACKWARDS_READ)) << i;
  // The forwards batch at the newest number holds only that record, so the
  // walk costs one read more than a walk upwards.
  EXPECT_LE(Reads(), 2000u * 200 / kReadBufferBytes + 3);
}

TEST_F(ReadTest, RecordLargerThanTheBufferIsReadOnItsOwn) {
  auto records = Records(20);
  records[9].data.assign(100 * 1024, 0xAB);  // record 10: about 100 KB
  auto *ctx = OpenLog(vesk::tools::write_evt(records));
  ASSERT_NE(ctx, nullptr);
  ASSERT_NE(ctx->ReadRecord(5), nullptr);
  DWORD valid = ctx->bytes_valid;
  EXPECT_LT(valid, kReadBufferBytes);
  ASSERT_NE(ctx->ReadRecord(9), nullptr);  // same batch, which stops before 10
  EXPECT_EQ(Reads(), 1u);

  const BYTE *big = ctx->ReadRecord(10);
  ASSERT_NE(big, nullptr) << ErrorText(handle_);
  EXPECT_EQ(Number(big), 10u);
  EXPECT_GT(ReadU32(big), kReadBufferBytes);
  EXPECT_EQ(ReadU32(big + 0x30), 100u * 1024) << "its data length";
  EXPECT_EQ(ErrorText(handle_), "");
  EXPECT_EQ(Reads(), 3u) << "the batch read, then the record alone";
  EXPECT_EQ(ctx->bytes_valid, valid) << "the batch is unchanged";
  EXPECT_EQ(ctx->last_missed, 10u);
  EXPECT_EQ(Number(ctx->ReadRecord(6)), 6u);
  EXPECT_EQ(Reads(), 3u) << "and still serves its numbers";
  EXPECT_EQ(Number(ctx->ReadRecord(11)), 11u);
}

TEST_F(ReadTest, LargeRecordGoneBeforeItsSecondReadIsTheEndOfTheLog) {
  auto records = Records(20);
  records[9].data.assign(100 * 1024, 0xAB);
  auto *ctx = OpenLog(vesk::tools::write_evt(records));
  ASSERT_NE(ctx, nullptr);
  // The sizing read answers 122; the read of the record alone meets the end.
  emu::fail(emu::Call::ReadEventLogW, ERROR_HANDLE_EOF, 1, 1);
  EXPECT_EQ(ctx->ReadRecord(10), nullptr);
  EXPECT_EQ(Reads(), 2u);
  EXPECT_EQ(ErrorText(handle_), "") << "silent, as the end of the log";
  emu::fail(emu::Call::ReadEventLogW, ERROR_INVALID_HANDLE, 1, 1);
  EXPECT_EQ(ctx->ReadRecord(10), nullptr);
  EXPECT_EQ(ErrorText(handle_), "ReadEventLog rc=6 cbReq=0");
}

TEST_F(ReadTest, FailedReadLeavesThePreviousBatchServing) {
  // Record 500, beyond the first batch, damaged inside.
  auto *ctx = OpenLog(LogWithBadSignature(600, 500));
  ASSERT_NE(ctx, nullptr);
  ASSERT_NE(ctx->ReadRecord(1), nullptr);
  const DWORD valid = ctx->bytes_valid;
  ASSERT_LT(valid / 200, 500u) << "record 500 lies beyond the first batch";
  std::vector<BYTE> before(ctx->buffer, ctx->buffer + valid);
  EXPECT_EQ(ctx->ReadRecord(500), nullptr);
  EXPECT_EQ(ErrorText(handle_), "ReadEventLog rc=1500 cbReq=0");
  EXPECT_EQ(Reads(), 2u);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), ctx->buffer))
      << "the failed read left the buffer as it was";
  const BYTE *r = ctx->ReadRecord(7);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Number(r), 7u);
  EXPECT_EQ(Reads(), 2u) << "a hit in the old batch, with no new read";
}

TEST_F(ReadTest, RecordOverTheServiceLimitLatchesTheSizeItNeeds) {
  auto records = Records(3);
  records[1].data.assign(0x80000, 0x01);
  uint32_t size = vesk::tools::evt_record_size(records[1]);
  auto *ctx = OpenLog(vesk::tools::write_evt(records));
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(ctx->ReadRecord(2), nullptr);
  EXPECT_EQ(ErrorText(handle_), "ReadEventLog rc=122 cbReq=" + std::to_string(size));
  ctx->ClearError();
  EXPECT_EQ(Number(ctx->ReadRecord(3)), 3u) << "the next number reads";
}

TEST_F(ReadTest, FailedReadsLatchTheirCodeAndKeepThePreviousBatch) {
  vesk::tools::EvtOptions wrap;
  wrap.max_size = 64 * 1024;
  auto *ctx = OpenLog(vesk::tools::write_evt(Records(1000), wrap));
  ASSERT_NE(ctx, nullptr);
  int32_t oldest = 0;
  ASSERT_EQ(VeskGetOldest(handle_, &oldest), 0);
  ASSERT_NE(ctx->ReadRecord(oldest + 3), nullptr);
  DWORD valid = ctx->bytes_valid;

  EXPECT_EQ(ctx->ReadRecord(oldest - 1), nullptr) << "overwritten";
  EXPECT_EQ(ErrorText(handle_), "ReadEventLog rc=87 cbReq=0");
  EXPECT_EQ(ctx->bytes_valid, valid);
  EXPECT_NE(ctx->ReadRecord(oldest + 4), nullptr) << "the previous batch still hits";
  ctx->ClearError();

  EXPECT_EQ(ctx->ReadRecord(0), nullptr);
  EXPECT_EQ(ErrorText(handle_), "ReadEventLog rc=87 cbReq=0");
  ctx->ClearError();

  ctx->bytes_valid = 0;
  emu::fail(emu::Call::ReadEventLogW, ERROR_INVALID_HANDLE, 1);
  EXPECT_EQ(ctx->ReadRecord(999), nullptr);
  EXPECT_EQ(ErrorText(handle_), "ReadEventLog rc=6 cbReq=0");
  EXPECT_EQ(ctx->last_missed, 999u) << "the miss counts whatever the outcome";
}

TEST_F(ReadTest, DamagedBufferEndsTheWalkAsAMiss) {
  auto *ctx = OpenLog(vesk::tools::write_evt(Records(50)));
  ASSERT_NE(ctx, nullptr);
  ASSERT_NE(ctx->ReadRecord(1), nullptr);
  ASSERT_EQ(Reads(), 1u);
  // A zero length in the middle of the batch.
  DWORD first = ReadU32(ctx->buffer);
  std::memset(ctx->buffer + first, 0, 4);
  const BYTE *r = ctx->ReadRecord(30);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Number(r), 30u);
  EXPECT_EQ(Reads(), 2u) << "a miss, read again from the service";

  // A length that runs past the bytes read (the hint of the last hit is
  // dropped too, as the buffer no longer holds what the service wrote).
  ctx->buffer[1] = 0xFF;
  ctx->buffer[2] = 0xFF;
  ctx->scan_hint = 0;
  uint64_t before = Reads();
  r = ctx->ReadRecord(31);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Number(r), 31u);
  EXPECT_EQ(Reads(), before + 1);

  // Bytes valid beyond the buffer's records never reads past them either.
  ctx->bytes_valid = 3;
  ctx->scan_hint = 0;
  before = Reads();
  EXPECT_NE(ctx->ReadRecord(32), nullptr);
  EXPECT_EQ(Reads(), before + 1);
}

TEST_F(ReadTest, CorruptRecordFailsItsReadAndItsNeighboursStayReadable) {
  auto *ctx = OpenLog(LogWithBadSignature(10, 5));
  ASSERT_NE(ctx, nullptr);
  const BYTE *r = ctx->ReadRecord(1);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(ctx->ReadRecord(5), nullptr);
  EXPECT_EQ(ErrorText(handle_), "ReadEventLog rc=1500 cbReq=0");
  ctx->ClearError();
  EXPECT_EQ(Number(ctx->ReadRecord(6)), 6u);
  for (DWORD n : {1u, 2u, 3u, 4u, 7u, 10u}) EXPECT_EQ(Number(ctx->ReadRecord(n)), n);
  EXPECT_EQ(ErrorText(handle_), "");
}

TEST_F(ReadTest, RealSampleLogsReadRecordForRecord) {
  VESK_REQUIRE_SAMPLES(samples);
  for (const char *file : {"TestLog.evt", "TestLog-dirty.evt"}) {
    SCOPED_TRACE(file);
    auto bytes = ReadFile((samples / file).string());
    ASSERT_FALSE(bytes.empty());
    auto *ctx = OpenLog(std::move(bytes), "TestLog");
    ASSERT_NE(ctx, nullptr);
    int32_t oldest = 0, newest = 0;
    ASSERT_EQ(VeskGetOldest(handle_, &oldest), 0);
    ASSERT_EQ(VeskGetNewest(handle_, &newest), 0);
    EXPECT_EQ(oldest, 1);
    EXPECT_EQ(newest, 5);
    // The types as evtexport reads them.
    const WORD types[] = {4, 1, 2, 16, 8};
    for (int32_t n = oldest; n <= newest; ++n) {
      const BYTE *r = ctx->ReadRecord(static_cast<DWORD>(n));
      ASSERT_NE(r, nullptr) << ErrorText(handle_);
      EXPECT_EQ(Number(r), static_cast<DWORD>(n));
      EXPECT_EQ(ReadU16(r + 24), types[n - 1]);
      EXPECT_EQ(vesk::test::Utf8(reinterpret_cast<const WCHAR *>(r + 56)), "TestApp");
    }
    EXPECT_EQ(ctx->ReadRecord(static_cast<DWORD>(newest) + 1), nullptr);
    EXPECT_EQ(ErrorText(handle_), "");
    VeskClose(handle_);
    handle_ = 0;
  }
}

}  // namespace
