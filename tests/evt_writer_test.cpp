// The event log file writer: record layout, the ring's write algorithm on
// hand-worked cases, dirty and empty logs, retention, streaming to a file,
// and a byte-for-byte match with logs Windows wrote.
#include <gtest/gtest.h>

#include <algorithm>

#include <filesystem>

#include "evt_util.h"
#include "support/testlib.h"

namespace {

using namespace vesk::evttest;
namespace fs = std::filesystem;

TEST(EvtWriter, RecordLayoutFollowsTheSizeFormula) {
  tools::EvtRecord r;
  r.source = u"Src";   // 8 bytes with NUL
  r.computer = u"PC";  // 6 bytes: names end at 0x46, SID at 0x48
  r.sid = tools::evt_sid(5, {32, 544});
  r.strings = {u"a", u"bc"};  // 4 + 6 bytes
  r.data = {1, 2, 3};
  r.event_id = 0xC0001234;
  r.event_type = 2;
  r.category = 7;
  auto b = tools::evt_encode_record(r, 42);
  // 0x38 + 8 + 6 = 0x46 -> 0x48, + SID 16 = 0x58, + strings 10 = 0x62, + data 3
  // = 0x65 -> 0x68, + 4.
  ASSERT_EQ(b.size(), 0x6Cu);
  EXPECT_EQ(tools::evt_record_size(r), 0x6Cu);
  EXPECT_EQ(U32(&b[0]), 0x6Cu);
  EXPECT_EQ(U32(&b[0x68]), 0x6Cu);
  EXPECT_EQ(U32(&b[4]), 0x654C664Cu);
  EXPECT_EQ(U32(&b[8]), 42u);
  EXPECT_EQ(U32(&b[0x14]), 0xC0001234u);
  EXPECT_EQ(U16(&b[0x18]), 2u);
  EXPECT_EQ(U16(&b[0x1A]), 2u);
  EXPECT_EQ(U16(&b[0x1C]), 7u);
  EXPECT_EQ(U32(&b[0x2C]), 0x48u);  // SID offset
  EXPECT_EQ(U32(&b[0x28]), 16u);
  EXPECT_EQ(U32(&b[0x24]), 0x58u);  // strings
  EXPECT_EQ(U32(&b[0x34]), 0x62u);  // data
  EXPECT_EQ(U32(&b[0x30]), 3u);
  EXPECT_TRUE(emu::evt_record_sound(b.data(), b.size(), 42));
  EXPECT_EQ(Parse(b.data()), Expected(r, 42));

  EXPECT_EQ(tools::evt_record_size(r, tools::EvtPadding::kReference), 0x6Cu);

  // Without a SID or data: the SID offset is the string offset and the data
  // offset is where the data would begin.  An aligned record gets a whole
  // DWORD of padding in Windows' way of padding, none in the reference's.
  tools::EvtRecord plain;
  plain.source = u"S";
  plain.computer = u"C";
  plain.strings = {std::u16string(29, u'x')};
  auto p = tools::evt_encode_record(plain, 1);
  ASSERT_EQ(p.size(), 0x84u);
  EXPECT_EQ(U32(&p[0x2C]), U32(&p[0x24]));
  EXPECT_EQ(U32(&p[0x34]), 0x40u + 60);
  EXPECT_EQ(U32(&p[0x7C]), 0u);
  EXPECT_EQ(U32(&p[0x80]), 0x84u);
  EXPECT_EQ(tools::evt_record_size(plain, tools::EvtPadding::kReference), 0x80u);
  auto q = tools::evt_encode_record(plain, 1, tools::EvtPadding::kReference);
  ASSERT_EQ(q.size(), 0x80u);
  EXPECT_EQ(U32(&q[0x7C]), 0x80u);
  EXPECT_TRUE(emu::evt_record_sound(q.data(), q.size(), 1));
}

TEST(EvtWriter, SidFromText) {
  auto sid = tools::evt_sid("S-1-5-21-1-2-3-500");
  EXPECT_EQ(sid, tools::evt_sid(5, {21, 1, 2, 3, 500}));
  EXPECT_EQ(SidText(sid.data(), sid.size()), "S-1-5-21-1-2-3-500");
  for (const char *bad :
       {"", "S-1", "S-2-5", "S-1-5-x", "X-1-5", "S-1-5--1", "S-1-5-4294967296"})
    EXPECT_TRUE(tools::evt_sid(bad).empty()) << bad;
}

// Records of 0x80 bytes in a ring whose record area is 0x200 bytes, worked
// by hand with the service's algorithm.
tools::EvtRecord Record80(uint32_t i) {
  tools::EvtRecord r;
  r.source = u"S";
  r.computer = u"C";
  r.strings = {std::u16string(27, static_cast<char16_t>(u'a' + i % 26))};
  r.time_written = 100 + i;
  return r;
}

TEST(EvtWriter, WrapDiscardsTheOldestRecordsAndStartsOverAtTheHeader) {
  ASSERT_EQ(tools::evt_record_size(Record80(0)), 0x80u);
  tools::EvtWriter w({.max_size = 0x230, .grow_in_steps = false});
  for (uint32_t i = 0; i < 3; ++i) ASSERT_TRUE(w.add(Record80(i)));
  EXPECT_EQ(w.end_offset(), 0x1B0u);
  EXPECT_EQ(w.discarded(), 0u);
  EXPECT_EQ(w.file_size(), 0x1B0u + 0x28);
  // The fourth ends exactly at the end of the file: the EOF record goes to
  // 0x30 (and not to the end of the file, an offset that is not in it).
  ASSERT_TRUE(w.add(Record80(3)));
  EXPECT_EQ(w.oldest(), 2u);
  EXPECT_EQ(w.start_offset(), 0xB0u);
  EXPECT_EQ(w.end_offset(), 0x30u);
  EXPECT_EQ(w.file_size(), 0x230u);
  ASSERT_TRUE(w.add(Record80(4)));
  ASSERT_TRUE(w.add(Record80(5)));
  EXPECT_EQ(w.oldest(), 4u);
  EXPECT_EQ(w.current(), 7u);
  EXPECT_EQ(w.start_offset(), 0x1B0u);
  EXPECT_EQ(w.end_offset(), 0x130u);
  EXPECT_EQ(w.discarded(), 3u);
  EXPECT_TRUE(w.flags() & 2) << "WRAP";
  ASSERT_TRUE(w.finish());
  auto b = w.bytes();
  EXPECT_EQ(U32(&b[0x10]), 0x1B0u);
  EXPECT_EQ(U32(&b[0x14]), 0x130u);
  EXPECT_EQ(U32(&b[0x18]), 7u);
  EXPECT_EQ(U32(&b[0x1C]), 4u);
  EXPECT_EQ(U32(&b[0x20]), 0x230u);
  EXPECT_EQ(U32(&b[0x1B0 + 8]), 4u);
  EXPECT_EQ(U32(&b[0x30 + 8]), 5u);
  EXPECT_EQ(U32(&b[0xB0 + 8]), 6u);
  EXPECT_EQ(U32(&b[0x130 + 4]), 0x11111111u);
}

TEST(EvtWriter, WrapPadsWhereAFixedPartWouldNotFitAndSplitsTheEofRecord) {
  tools::EvtWriter w({.max_size = 0x250, .grow_in_steps = false});
  for (uint32_t i = 0; i < 4; ++i) ASSERT_TRUE(w.add(Record80(i)));
  // The fourth record leaves 0x20 bytes: the EOF record is split.
  EXPECT_EQ(w.end_offset(), 0x230u);
  EXPECT_EQ(w.oldest(), 2u);
  ASSERT_TRUE(w.add(Record80(4)));
  EXPECT_EQ(w.start_offset(), 0x130u);
  EXPECT_EQ(w.end_offset(), 0xB0u);
  EXPECT_EQ(w.oldest(), 3u);
  ASSERT_TRUE(w.finish());
  auto b = w.bytes();
  ASSERT_EQ(b.size(), 0x250u);
  for (size_t at = 0x230; at < 0x250; at += 4) EXPECT_EQ(U32(&b[at]), 0x27u) << at;
  EXPECT_EQ(U32(&b[0x30 + 8]), 5u);
  auto log = OpenBytes(b);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->oldest(), 3u);
  EXPECT_EQ(log->count(), 3u);
}

TEST(EvtWriter, RecordsLargerThanTheRingAreRefused) {
  tools::EvtWriter w({.max_size = 0x200, .grow_in_steps = false});
  auto r = Record80(0);
  r.data.assign(0x200, 1);
  EXPECT_FALSE(w.add(r));
  EXPECT_FALSE(w.ok());
  EXPECT_FALSE(w.error().empty());
}

TEST(EvtWriter, DirtyHeaderKeepsTheStateAfterTheGivenRecords) {
  tools::EvtWriter w({.dirty = true, .dirty_after = 3});
  for (uint32_t i = 0; i < 8; ++i) ASSERT_TRUE(w.add(Sample(i)));
  ASSERT_TRUE(w.finish());
  auto b = w.bytes();
  EXPECT_EQ(U32(&b[0x24]) & 1, 1u);
  EXPECT_EQ(U32(&b[0x18]), 4u);  // current after three records
  EXPECT_EQ(U32(&b[0x1C]), 1u);
  uint32_t stale_end = U32(&b[0x14]);
  EXPECT_EQ(stale_end, 0x30u + tools::evt_record_size(Sample(0)) +
                           tools::evt_record_size(Sample(1)) +
                           tools::evt_record_size(Sample(2)));
  // The EOF record knows better.
  uint32_t end = w.end_offset();
  EXPECT_EQ(U32(&b[end + 4]), 0x11111111u);
  EXPECT_EQ(U32(&b[end + 0x1C]), 9u);

  tools::EvtWriter fresh({.dirty = true});
  ASSERT_TRUE(fresh.add(Sample(0)));
  ASSERT_TRUE(fresh.finish());
  auto f = fresh.bytes();
  EXPECT_EQ(U32(&f[0x10]), 0x30u);
  EXPECT_EQ(U32(&f[0x14]), 0x30u);
  EXPECT_EQ(U32(&f[0x18]), 1u);
  EXPECT_EQ(U32(&f[0x1C]), 0u);
}

TEST(EvtWriter, EmptyLog) {
  for (bool steps : {true, false}) {
    auto b = tools::write_evt({}, {.grow_in_steps = steps});
    ASSERT_EQ(b.size(), steps ? 65536u : 0x58u);
    EXPECT_EQ(U32(&b[0x10]), 0x30u);
    EXPECT_EQ(U32(&b[0x14]), 0x30u);
    EXPECT_EQ(U32(&b[0x18]), 1u);
    EXPECT_EQ(U32(&b[0x1C]), 0u);
    EXPECT_EQ(U32(&b[0x30]), 0x28u);
    EXPECT_EQ(U32(&b[0x30 + 0x14]), 0x30u);
    EXPECT_EQ(U32(&b[0x30 + 0x24]), 0x28u);
  }
}

TEST(EvtWriter, ClearLeavesTheFileAsWindowsDoes) {
  tools::EvtWriter w;
  for (uint32_t i = 0; i < 25; ++i) ASSERT_TRUE(w.add(Sample(i)));
  const uint32_t end_before = w.end_offset();
  ASSERT_TRUE(w.clear());
  ASSERT_TRUE(w.finish());
  auto b = w.bytes();
  ASSERT_EQ(b.size(), 65536u);
  EXPECT_EQ(U32(&b[0x10]), 0x30u);
  EXPECT_EQ(U32(&b[0x14]), 0x30u);
  EXPECT_EQ(U32(&b[0x18]), 1u);
  EXPECT_EQ(U32(&b[0x1C]), 0u);
  EXPECT_EQ(U32(&b[0x24]) & 1, 0u) << "clean";
  // The end-of-file record at 0x30 keeps the log from before the clear.
  EXPECT_EQ(U32(&b[0x30]), 0x28u);
  EXPECT_EQ(U32(&b[0x30 + 0x14]), 0x30u);
  EXPECT_EQ(U32(&b[0x30 + 0x18]), end_before);
  EXPECT_EQ(U32(&b[0x30 + 0x1C]), 26u);
  EXPECT_EQ(U32(&b[0x30 + 0x20]), 1u);
  EXPECT_TRUE(std::all_of(b.begin() + 0x58, b.end(), [](uint8_t c) { return c == 0; }));
}

TEST(EvtWriter, RetentionKeepsYoungRecords) {
  tools::EvtWriter w({.max_size = 0x230, .grow_in_steps = false, .retention = 1000});
  for (uint32_t i = 0; i < 3; ++i) ASSERT_TRUE(w.add(Record80(i)));
  EXPECT_FALSE(w.add(Record80(3))) << "record 1 is younger than the retention";
  EXPECT_TRUE(w.ok());
  EXPECT_TRUE(w.flags() & 4) << "LOGFULL";
  EXPECT_EQ(w.current(), 4u);
  auto late = Record80(3);
  late.time_written = 100 + 1000;
  EXPECT_TRUE(w.add(late));
  EXPECT_FALSE(w.flags() & 4);
  EXPECT_EQ(w.oldest(), 2u);
  ASSERT_TRUE(w.finish());
  EXPECT_EQ(U32(&w.bytes()[0x28]), 1000u);
}

TEST(EvtWriter, StreamsLargeLogsToAFile) {
  vesk::test::TempDir dir("evt-writer");
  fs::path file = dir.path() / "stream.evt";
  const uint32_t n = 100000;
  uint32_t oldest = 0, current = 0;
  {
    tools::EvtWriter w(file, {.max_size = 4 << 20});
    ASSERT_TRUE(w.ok()) << w.error();
    for (uint32_t i = 0; i < n; ++i) ASSERT_TRUE(w.add(Sample(i))) << w.error();
    ASSERT_TRUE(w.finish());
    oldest = w.oldest();
    current = w.current();
    EXPECT_GT(w.discarded(), 0u);
  }
  EXPECT_EQ(fs::file_size(file), 4u << 20);
  std::string err;
  DWORD error = 0;
  auto log = emu::EvtLog::open(emu::host_source(file, &err), &error);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->oldest(), oldest);
  EXPECT_EQ(log->count(), current - oldest);
  auto all = ReadAll(*log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 65536);
  ASSERT_EQ(all.size(), current - oldest);
  EXPECT_EQ(all.front(), Expected(Sample(oldest - 1), oldest));
  EXPECT_EQ(all.back(), Expected(Sample(n - 1), n));
}

// The records of the sample logs, written again.
std::vector<tools::EvtRecord> SampleLogRecords() {
  struct R {
    uint32_t time, id;
    uint16_t type, category;
    const char16_t *text, *data;
  };
  const R rs[] = {
      {0x60f78910, 1, 4, 1, u"Test log entry, information", nullptr},
      {0x60f7892e, 2, 1, 1, u"Test log entry, error", nullptr},
      {0x60f7893c, 3, 2, 1, u"Test log entry, warning", nullptr},
      {0x60f7906a, 0xfffe, 16, 99, u"Test log entry, failure audit", u"Test Binary Data"},
      {0x60f791a3, 5, 8, 1, u"Test log entry, success audit", u"Test Binary Data 2"}};
  std::vector<tools::EvtRecord> out;
  for (const R &x : rs) {
    tools::EvtRecord r;
    r.time_generated = r.time_written = x.time;
    r.event_id = x.id;
    r.event_type = x.type;
    r.category = x.category;
    r.source = u"TestApp";
    r.computer = u"POPSICKL-79ADD4";
    r.strings = {x.text};
    if (x.data)
      for (const char16_t *c = x.data; *c; ++c) {
        r.data.push_back(static_cast<uint8_t>(*c));
        r.data.push_back(0);
      }
    out.push_back(r);
  }
  return out;
}

TEST(EvtWriter, WritesTheWindowsSampleLogsByteForByte) {
  VESK_REQUIRE_SAMPLES(samples);
  auto trimmed = ReadFile((samples / "TestLog.evt").string());
  ASSERT_EQ(trimmed.size(), 984u);
  EXPECT_EQ(
      tools::write_evt(SampleLogRecords(),
                       {.max_size = 984, .grow_in_steps = false, .retention = 604800}),
      trimmed);

  // The dirty one is the same log in a 64 KB file whose header was never
  // flushed; beyond the EOF record it holds what the disk held before.
  auto dirty = ReadFile((samples / "TestLog-dirty.evt").string());
  ASSERT_EQ(dirty.size(), 65536u);
  auto ours = tools::write_evt(SampleLogRecords(), {.dirty = true, .retention = 86400});
  ASSERT_EQ(ours.size(), 65536u);
  EXPECT_TRUE(std::equal(ours.begin(), ours.begin() + 984, dirty.begin()));
}

}  // namespace
