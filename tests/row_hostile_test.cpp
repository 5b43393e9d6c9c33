// Rows from records and images that an attacker or a damaged disk could
// leave: malformed SIDs, offsets that point outside the record, texts that
// cannot be copied, shares a remote computer does not have, inserts that
// print numbers; and the flags the row hands the platform, which the
// emulation checks as strictly as Windows does.  Everything goes through the
// exports, from a log and message file held in memory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "api/context.h"
#include "evtwriter.h"
#include "messages/convert.h"
#include "msgdllwriter.h"
#include "records/bytes.h"
#include "support/testlib.h"

namespace emu = vesk::emu;
using vesk::test::ErrorText;
using vesk::tools::EvtRecord;

namespace {

constexpr uint32_t kT = 1078128000;  // 2004-03-01 08:00:00 UTC
constexpr uint32_t kPlain = 0x40000011;
constexpr uint32_t kNumbers = 0x40000010;
constexpr uint32_t kPrecision = 0x40000012;

// The source's one message file: categories, messages and parameters.
std::vector<uint8_t> StrictDll() {
  return vesk::tools::write_message_dll({
      {1, u"Disk%1 %t\x1b[31mred\r\n"},  // an insert mark and an escape
      {2, u"Plain\r\n"},
      {kPlain, u"Text: %1\r\n"},
      {kNumbers, u"Value %1!d! hex %2!x! ptr %3!p! w[%4!*s!] c%5!c!\r\n"},
      {kPrecision, u"Head: %1!.5s! tail\r\n"},
      {7, u"seven\r\n"},  // a parameter text
  });
}

EvtRecord Record(uint32_t id, std::vector<std::u16string> strings = {},
                 uint16_t category = 0, std::vector<uint8_t> sid = {}) {
  EvtRecord r;
  r.time_generated = r.time_written = kT;
  r.event_id = id;
  r.category = category;
  r.source = u"Strict";
  r.computer = u"STRICTPC";
  r.strings = std::move(strings);
  r.sid = std::move(sid);
  return r;
}

std::string Text(const VARIANT &v) {
  if (V_VT(&v) == VT_EMPTY) return "<empty>";
  if (V_VT(&v) != VT_BSTR) return "<vt " + std::to_string(V_VT(&v)) + ">";
  if (V_BSTR(&v) == nullptr) return "<null>";
  return emu::to_utf8(std::u16string_view(reinterpret_cast<const char16_t *>(V_BSTR(&v)),
                                          SysStringLen(V_BSTR(&v))));
}

// The offset of record `number` (from 1) in a log write_evt made.
size_t RecordAt(const std::vector<uint8_t> &log, uint32_t number) {
  size_t at = 0x30;
  for (uint32_t n = 1; n < number; ++n) at += ReadU32(log.data() + at);
  return at;
}

void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

class HostileRowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emu::reset();
    setenv("TZ", "UTC", 1);
    tzset();
    for (VARIANT &v : row_) VariantInit(&v);
  }
  void TearDown() override {
    for (VARIANT &v : row_) VariantClear(&v);
    if (handle_ != 0) VeskClose(handle_);
    EXPECT_EQ(emu::live().bstrs, 0);
    EXPECT_EQ(emu::live().modules, 0);
    EXPECT_EQ(emu::live().local_allocs, 0);
    EXPECT_EQ(emu::live().reg_keys, 0);
    emu::reset();
  }

  // A computer whose log "App" holds `log` and whose source "Strict" names
  // `file` for its messages, categories and parameters.
  std::shared_ptr<emu::Computer> Computer(const std::u16string &name,
                                          std::vector<uint8_t> log,
                                          const std::u16string &file) {
    auto c = vesk::test::MakeComputer(name, {});
    c->add_log(u"App", std::move(log));
    auto src = c->key(u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\App\\Strict");
    for (const char16_t *value :
         {u"EventMessageFile", u"CategoryMessageFile", u"ParameterMessageFile"})
      src->set_string(value, file, REG_EXPAND_SZ);
    c->add_file(u"C:\\WINDOWS\\system32\\strict.dll", StrictDll());
    return c;
  }
  void Open(std::vector<uint8_t> log) {
    emu::set_local(
        Computer(u"STRICTPC", std::move(log), u"%SystemRoot%\\system32\\strict.dll"));
    ASSERT_EQ(VeskOpen(nullptr, "App", &handle_), 0) << ErrorText(handle_);
  }
  void Open(const std::vector<EvtRecord> &records) {
    Open(vesk::tools::write_evt(records));
  }

  int Get(uint32_t n) { return VeskGetRec(handle_, n, row_); }
  std::string Slot(int i) const { return Text(row_[i]); }
  CEvtLog *Ctx() const { return vesk::FindContext(handle_); }
  int Sources(LONG type) const {
    int n = 0;
    for (CEvtSource *s = Ctx()->sources; s != nullptr; s = s->next) n += s->type == type;
    return n;
  }
  // Every slot but the user's filled from a record of kPlain with the string
  // "x" and category 2.
  void ExpectRestOfRowFilled() {
    EXPECT_EQ(V_VT(&row_[0]), VT_DATE);
    EXPECT_EQ(V_VT(&row_[1]), VT_I4);
    EXPECT_EQ(Slot(2), "Information");
    EXPECT_EQ(Slot(3), "Plain ");
    EXPECT_EQ(Slot(5), "Strict");
    EXPECT_EQ(Slot(6), "STRICTPC");
    EXPECT_EQ(Slot(7), "Text: x ");
  }

  VESKHANDLE handle_ = 0;
  VARIANT row_[8];
};

TEST_F(HostileRowTest, MalformedSidsKeepTheRestOfTheRow) {
  const std::vector<uint8_t> system = vesk::tools::evt_sid("S-1-5-18");
  std::vector<uint8_t> revision2 = system;
  revision2[0] = 2;
  // Sixteen sub-authorities: one more than a SID may have.
  std::vector<uint8_t> sixteen = {1, 16, 0, 0, 0, 0, 0, 5};
  for (uint32_t i = 0; i < 16; ++i)
    for (int b = 0; b < 4; ++b)
      sixteen.push_back(static_cast<uint8_t>((1000 + i) >> (8 * b)));
  // Three sub-authorities named, room for one.
  std::vector<uint8_t> short_of_room = {1, 3, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0};
  // Not even the authority.
  std::vector<uint8_t> four = {1, 1, 0, 0};
  Open(std::vector<EvtRecord>{
      Record(kPlain, {u"x"}, 2, revision2), Record(kPlain, {u"x"}, 2, sixteen),
      Record(kPlain, {u"x"}, 2, short_of_room), Record(kPlain, {u"x"}, 2, four),
      Record(kPlain, {u"x"}, 2, system)});

  EXPECT_EQ(Get(1), -1);
  EXPECT_EQ(ErrorText(handle_), "malformed SID, record=1");
  EXPECT_EQ(Slot(4), "S-2-5-18");
  ExpectRestOfRowFilled();

  EXPECT_EQ(Get(2), -1);
  EXPECT_EQ(ErrorText(handle_), "malformed SID, record=2");
  // As far as 63 characters hold it.
  EXPECT_EQ(Slot(4), "S-1-5-1000-1001-1002-1003-1004-1005-1006-1007-1008-1009-1010-10");
  ExpectRestOfRowFilled();

  EXPECT_EQ(Get(3), -1);
  EXPECT_EQ(ErrorText(handle_), "malformed SID, record=3");
  EXPECT_EQ(Slot(4), "S-1-5-21");
  ExpectRestOfRowFilled();

  EXPECT_EQ(Get(4), -1);
  EXPECT_EQ(ErrorText(handle_), "malformed SID, record=4");
  EXPECT_EQ(Slot(4), "");
  ExpectRestOfRowFilled();

  // The context goes on as before.
  EXPECT_EQ(Get(5), 0) << ErrorText(handle_);
  EXPECT_EQ(Slot(4), "NT AUTHORITY\\SYSTEM");
  ExpectRestOfRowFilled();
}

TEST(MalformedSidText, ReadsAsFarAsTheBytesGo) {
  auto text = [](std::vector<uint8_t> sid, DWORD room) {
    WCHAR out[kUserNameUnits];
    MalformedSidText(sid.data(), room, out);
    return vesk::test::Utf8(out);
  };
  // An authority of 2^32 or more in hexadecimal, as SID strings write it.
  EXPECT_EQ(text({9, 1, 1, 0, 0, 0, 0, 0, 7, 0, 0, 0}, 12), "S-9-0x010000000000-7");
  EXPECT_EQ(text({1, 1, 0, 0, 0, 0, 0x12, 0x34, 1, 1, 0, 0}, 12), "S-1-4660-257");
  // The count says two, the room holds one and a half.
  EXPECT_EQ(text({1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 1, 2}, 14), "S-1-5-32");
  EXPECT_EQ(text({1, 2, 0, 0, 0, 0, 0}, 7), "");
  EXPECT_FALSE(SidWellFormed(nullptr, 0));
  const std::vector<uint8_t> ok = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  EXPECT_TRUE(SidWellFormed(ok.data(), 12));
  EXPECT_FALSE(SidWellFormed(ok.data(), 11));
}

TEST_F(HostileRowTest, OffsetsOutsideTheRecordStillGiveItsRow) {
  auto log =
      vesk::tools::write_evt({Record(kPlain, {u"x"}, 2, vesk::tools::evt_sid("S-1-5-18")),
                              Record(kPlain, {u"x"}, 2), Record(kPlain, {u"x"}, 2)});
  Put32(log, RecordAt(log, 1) + 0x2C, 0xFFFFFFF0);  // UserSidOffset
  Put32(log, RecordAt(log, 2) + 0x24, 0x00FFFFF0);  // StringOffset
  Open(log);

  EXPECT_EQ(Get(1), -1);
  EXPECT_EQ(ErrorText(handle_), "malformed SID, record=1");
  EXPECT_EQ(Slot(4), "");
  ExpectRestOfRowFilled();

  // The string lies nowhere: the insert is empty, the rest is there.
  EXPECT_EQ(Get(2), 0) << ErrorText(handle_);
  EXPECT_EQ(Slot(7), "Text:  ");
  EXPECT_EQ(Slot(3), "Plain ");
  EXPECT_EQ(Get(3), 0) << ErrorText(handle_);
  ExpectRestOfRowFilled();
}

TEST_F(HostileRowTest, ATextThatCannotBeCopiedIsReported) {
  Open(std::vector<EvtRecord>{Record(kPlain, {u"x"}, 2), Record(kPlain, {u"x"}, 2)});
  // The message is copied by its length, after the empty user: the second
  // such copy fails.
  emu::fail(emu::Call::SysAllocStringLen, ERROR_NOT_ENOUGH_MEMORY, 1, 1);
  EXPECT_EQ(Get(1), -1);
  EXPECT_EQ(ErrorText(handle_), "SysAllocString failed, slot=7 length=8");
  EXPECT_EQ(V_VT(&row_[7]), VT_BSTR);
  EXPECT_EQ(Slot(7), "<null>");
  EXPECT_EQ(Slot(3), "Plain ");

  emu::fail(emu::Call::SysAllocString, ERROR_NOT_ENOUGH_MEMORY, 1);
  EXPECT_EQ(Get(2), -1);
  EXPECT_EQ(ErrorText(handle_), "SysAllocString failed, slot=5 length=6");
  EXPECT_EQ(Slot(7), "Text: x ");
  // An empty text needs no copy: the empty user of a record without a SID
  // is no failure even when its allocation is refused.
  emu::fail(emu::Call::SysAllocStringLen, ERROR_NOT_ENOUGH_MEMORY, 1);
  EXPECT_EQ(Get(1), 0) << ErrorText(handle_);
}

TEST_F(HostileRowTest, NumberInsertsPrintTheStringsPlaceNotItsAddress) {
  Open(std::vector<EvtRecord>{
      Record(kNumbers, {u"1534", u"ignored", u"too", u"here", u"s5", u"six"})});
  ASSERT_EQ(Get(1), 0) << ErrorText(handle_);
  // %1!d! and %2!x! print 1 and 2, %3!p! 3 with all its digits, %4!*s!
  // takes its width 4 from element 4 and its text from element 5, and %5!c!
  // is the character 5 (a control character, shown as a space).
  const std::string expected =
      "Value 1 hex 2 ptr " + std::string(2 * sizeof(void *) - 1, '0') + "3 w[  s5] c  ";
  EXPECT_EQ(Slot(7), expected);
  // The same row again, on a new handle: the same text.
  VeskClose(handle_);
  handle_ = 0;
  ASSERT_EQ(VeskOpen(nullptr, "App", &handle_), 0);
  ASSERT_EQ(Get(1), 0);
  EXPECT_EQ(Slot(7), expected);
}

TEST_F(HostileRowTest, CategoryTextIsFormattedWithoutInsertsAndNotScrubbed) {
  Open(std::vector<EvtRecord>{Record(kPlain, {u"a\x1b", u"b"}, 1)});
  ASSERT_EQ(Get(1), 0) << ErrorText(handle_);
  // Its insert mark stays, its escape character too; the message's is a space.
  EXPECT_EQ(Slot(3), "Disk%1 \t\x1b[31mred ");
  EXPECT_EQ(Slot(7), "Text: a  ");
}

TEST_F(HostileRowTest, FailedGetuserLeavesThePartlyFilledRow) {
  Open(std::vector<EvtRecord>{
      Record(kPlain, {u"x"}, 2, vesk::tools::evt_sid("S-1-5-21-1-2-3-1001"))});
  emu::fail(emu::Call::CopySid, ERROR_INVALID_SID, 1);
  EXPECT_EQ(Get(1), -1);
  EXPECT_EQ(ErrorText(handle_), "internal error, getuser, #4");
  EXPECT_EQ(V_VT(&row_[0]), VT_DATE);
  EXPECT_EQ(V_VT(&row_[1]), VT_I4);
  EXPECT_EQ(Slot(5), "Strict");
  EXPECT_EQ(Slot(6), "STRICTPC");
  for (int slot : {2, 3, 4, 7}) EXPECT_EQ(V_VT(&row_[slot]), VT_EMPTY) << slot;
  EXPECT_EQ(Get(1), 0) << ErrorText(handle_);
  EXPECT_EQ(Slot(4), "S-1-5-21-1-2-3-1001");
}

TEST_F(HostileRowTest, OnlyStringsWithAPercentSignAreExpanded) {
  const std::u16string long_plain(kExpansionChars + 500, u'p');
  Open(std::vector<EvtRecord>{Record(kPrecision, {long_plain}),
                              Record(kPrecision, {long_plain + u"%"}),
                              Record(kPlain, {u"%%7 of 8"})});
  // Without a percent sign: passed as it is, whole, and no parameter source
  // is looked up.
  EXPECT_EQ(Get(1), 0) << ErrorText(handle_);
  EXPECT_EQ(Slot(7), "Head: ppppp tail ");
  EXPECT_EQ(Sources(kParameterModule), 0);
  // With one: through the expansion, which keeps 32000 characters.
  EXPECT_EQ(Get(2), -1);
  EXPECT_EQ(ErrorText(handle_), "convert: insertion string 1 cut at 32000 characters");
  EXPECT_EQ(Slot(7), "Head: ppppp tail ");
  EXPECT_EQ(Get(3), 0) << ErrorText(handle_);
  EXPECT_EQ(Slot(7), "Text: seven  of 8 ");  // the parameter's line break is a space
  EXPECT_EQ(Sources(kParameterModule), 1);
}

TEST_F(HostileRowTest, AShareTheRemoteComputerLacksFailsWith67) {
  EvtRecord bare = Record(kPlain, {u"x"});
  bare.source = u"Bare";
  std::vector<uint8_t> log = vesk::tools::write_evt({Record(kPlain, {u"x"}), bare});
  emu::set_local(vesk::test::MakeComputer(u"HERE"));
  // Files on drive D, which the server does not have; and a bare name, which
  // the rewriting for the administrative share turns into "s$bare.dll".
  auto server = Computer(u"SRV", log, u"D:\\apps\\strict.dll");
  server->key(u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\App\\Bare")
      ->set_string(u"EventMessageFile", u"svbare.dll", REG_EXPAND_SZ);
  emu::add_remote(server);
  ASSERT_EQ(VeskOpen("SRV", "App", &handle_), 0) << ErrorText(handle_);
  EXPECT_EQ(Get(1), -1);
  EXPECT_EQ(ErrorText(handle_),
            "LoadLibrary rc=67 library=\\\\SRV\\D$\\apps\\strict.dll");
  EXPECT_EQ(Slot(7), "Unable to format message. Insertion strings: x");
  EXPECT_EQ(Get(2), -1);
  EXPECT_EQ(ErrorText(handle_), "LoadLibrary rc=67 library=\\\\SRV\\s$bare.dll");
}

}  // namespace
