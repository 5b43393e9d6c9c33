// Records turned into rows: the eight slots, the fixed words, the fallback
// text and its limits, the 99-string rule, the scrub, the memo of numbers
// that fail, the row's BSTRs, and records whose fields run past their own
// Length.  Messages come from the sample system's message DLLs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "api/context.h"
#include "evtwriter.h"
#include "records/record.h"
#include "records/writerec.h"
#include "support/testlib.h"

namespace emu = vesk::emu;
namespace fs = std::filesystem;
using vesk::test::ErrorText;
using vesk::tools::EvtRecord;

namespace {

constexpr uint32_t kT = 1078128000;  // 2004-03-01 08:00:00 UTC, day 38047

std::vector<uint8_t> ReadAll(const fs::path &file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

EvtRecord Demo(uint32_t id, std::vector<std::u16string> strings = {},
               uint16_t category = 0, uint16_t type = 4) {
  EvtRecord r;
  r.time_generated = r.time_written = kT;
  r.event_id = id;
  r.event_type = type;
  r.category = category;
  r.source = u"VeskDemo";
  r.computer = u"ROWPC";
  r.strings = std::move(strings);
  return r;
}

std::string Text(const VARIANT &v) {
  if (V_VT(&v) != VT_BSTR) return "<vt " + std::to_string(V_VT(&v)) + ">";
  return emu::to_utf8(std::u16string_view(reinterpret_cast<const char16_t *>(V_BSTR(&v)),
                                          SysStringLen(V_BSTR(&v))));
}

class RowTest : public ::testing::Test {
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
    emu::reset();
  }

  // Opens the log "App" holding `records`, with the VeskDemo source's
  // message, category and parameter files.
  void Open(const std::vector<EvtRecord> &records) {
    auto c = vesk::test::MakeComputer(u"ROWPC", {});
    c->add_log(u"App", vesk::tools::write_evt(records));
    auto src = c->key(u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\App\\VeskDemo");
    src->set_string(u"EventMessageFile", u"%SystemRoot%\\system32\\vdemomsg.dll",
                    REG_EXPAND_SZ);
    src->set_string(u"CategoryMessageFile", u"%SystemRoot%\\system32\\vdemomsg.dll",
                    REG_EXPAND_SZ);
    src->set_string(u"ParameterMessageFile", u"%SystemRoot%\\system32\\vdemoprm.dll",
                    REG_EXPAND_SZ);
    for (const char *dll : {"vdemomsg.dll", "vdemoprm.dll"}) {
      auto bytes = ReadAll(fs::path(VESK_SAMPLE_DLLS) / dll);
      ASSERT_FALSE(bytes.empty()) << dll;
      c->add_file(emu::from_utf8(std::string("C:\\WINDOWS\\system32\\") + dll),
                  std::move(bytes));
    }
    emu::set_local(c);
    ASSERT_EQ(VeskOpen(nullptr, "App", &handle_), 0) << ErrorText(handle_);
  }

  int Get(uint32_t n) { return VeskGetRec(handle_, n, row_); }
  std::string Slot(int i) const { return Text(row_[i]); }
  CEvtLog *Ctx() const { return vesk::FindContext(handle_); }
  int Sources(LONG type) const {
    int n = 0;
    for (CEvtSource *s = Ctx()->sources; s != nullptr; s = s->next) n += s->type == type;
    return n;
  }

  VESKHANDLE handle_ = 0;
  VARIANT row_[8];
};

const char kFallback[] = "Unable to format message. Insertion strings: ";

TEST_F(RowTest, EverySlotOfAFormattedRecord) {
  EvtRecord r = Demo(0x40000001, {u"Demo service", u"1.0.3"}, 1);
  r.time_written = kT + 13 * 60 + 59;  // an odd second
  r.time_generated = kT - 3600;        // not what the row shows
  Open({r});
  ASSERT_EQ(Get(1), 0) << ErrorText(handle_);
  ASSERT_EQ(V_VT(&row_[0]), VT_DATE);
  EXPECT_DOUBLE_EQ(V_DATE(&row_[0]), 38047 + (8 * 3600 + 13 * 60 + 58) / 86400.0);
  ASSERT_EQ(V_VT(&row_[1]), VT_I4);
  EXPECT_EQ(V_I4(&row_[1]), 1);
  EXPECT_EQ(Slot(2), "Information");
  EXPECT_EQ(Slot(3), "Startup ");
  ASSERT_EQ(V_VT(&row_[4]), VT_BSTR);  // no SID: an empty text, not a null BSTR
  EXPECT_NE(V_BSTR(&row_[4]), nullptr);
  EXPECT_EQ(SysStringLen(V_BSTR(&row_[4])), 0u);
  EXPECT_EQ(Slot(5), "VeskDemo");
  EXPECT_EQ(Slot(6), "ROWPC");
  EXPECT_EQ(Slot(7), "Demo service version 1.0.3 started. ");
}

TEST_F(RowTest, EventNumberTypeWordsAndCategories) {
  std::vector<EvtRecord> rs;
  for (uint16_t type : {0, 1, 2, 3, 4, 8, 16, 32})
    rs.push_back(Demo(0xC0000003, {u"E1", u"5"}, 0, type));
  rs.push_back(Demo(0x40000003));          // 9: same low bits, another identifier
  rs.push_back(Demo(0x40000005, {}, 99));  // 10: a category no file holds
  rs.push_back(Demo(0x40000005, {}, 99));  // 11: the same again
  rs.push_back(Demo(0x40000005, {}, 3));   // 12
  Open(rs);
  const char *words[] = {"?Invalid Type", "Error",   "Warning", "?Invalid Type",
                         "Information",   "Success", "Failure", "?Invalid Type"};
  for (uint32_t n = 1; n <= 8; ++n) {
    ASSERT_EQ(Get(n), 0) << n << ": " << ErrorText(handle_);
    EXPECT_EQ(Slot(2), words[n - 1]);
    EXPECT_EQ(V_I4(&row_[1]), 3);
    EXPECT_EQ(Slot(3), "None");
    EXPECT_EQ(Slot(7),
              "The request failed with E1 after 5 seconds.\r\n The client will retry. ");
  }
  // Category 0 made no category source entry.
  EXPECT_EQ(Sources(kCategoryModule), 0);

  // The identifier's upper bits select the message.
  EXPECT_EQ(Get(9), -1);
  EXPECT_EQ(V_I4(&row_[1]), 3);
  EXPECT_EQ(Slot(7), kFallback);
  EXPECT_EQ(ErrorText(handle_), "Format error, source=VeskDemo type=Message msg=3");

  EXPECT_EQ(Get(10), -1);
  EXPECT_EQ(Slot(3), "?Invalid Category");
  EXPECT_EQ(Slot(7), "Status report without details. ");
  EXPECT_EQ(ErrorText(handle_), "Format error, source=VeskDemo type=Category msg=99");
  EXPECT_EQ(Get(11), 0) << ErrorText(handle_);
  EXPECT_EQ(Slot(3), "?Invalid Category");
  EXPECT_EQ(Get(12), 0);
  EXPECT_EQ(Slot(3), "Network ");
  EXPECT_EQ(Sources(kCategoryModule), 1);
}

TEST_F(RowTest, FallbackTextSemicolonsAndItsLimit) {
  Open({Demo(0x99), Demo(0x99, {u"a;b", u"", u"c"}),
        Demo(0x40000004, {u"a;b", u"", u"c", u"d", u"e"}),
        Demo(0x98, {std::u16string(15000, u'x'), std::u16string(15000, u'y'),
                    std::u16string(15000, u'z')})});
  EXPECT_EQ(Get(1), -1);
  EXPECT_EQ(Slot(7), kFallback);  // its trailing space included
  EXPECT_EQ(Get(2), 0);           // the number failed before: no new error
  EXPECT_EQ(Slot(7), std::string(kFallback) + "a b;;c");
  EXPECT_EQ(Get(3), 0) << ErrorText(handle_);
  EXPECT_EQ(Slot(7), "Values: a;b||c|d|e. ");  // the formatted message keeps it

  EXPECT_EQ(Get(4), -1);
  const std::string t = Slot(7);
  ASSERT_EQ(t.size(), 32009u);
  EXPECT_EQ(t.substr(0, 46), std::string(kFallback) + "x");
  EXPECT_EQ(t.substr(45 + 15000, 2), ";y");
  // Cut in the middle of the third string.
  EXPECT_EQ(t.substr(45 + 30002), std::string(32009 - 45 - 30002, 'z'));
}

TEST_F(RowTest, NinetyNineStringsAreFormattedAHundredAreNot) {
  std::vector<std::u16string> many;
  for (int i = 1; i <= 100; ++i) {
    std::string v = "v";
    v += std::to_string(i);
    many.push_back(emu::from_utf8(v));
  }
  std::vector<std::u16string> ninety_nine(many.begin(), many.end() - 1);
  Open({Demo(0x4000000A, ninety_nine), Demo(0x4000000A, many, 1)});
  EXPECT_EQ(Get(1), 0) << ErrorText(handle_);
  EXPECT_EQ(Slot(7), "Batch of 99 values from v1 to v99 (the 50th is v50). ");

  for (VARIANT &v : row_) VariantClear(&v);
  const int message_sources = Sources(kMessageModule);
  EXPECT_EQ(Get(2), -1);
  EXPECT_EQ(ErrorText(handle_), "too many parameter strings, num=100");
  const std::string t = Slot(7);
  EXPECT_EQ(t.rfind(std::string(kFallback) + "v1;v2;v3;", 0), 0u) << t;
  EXPECT_EQ(t.substr(t.size() - 8), "v99;v100") << t;
  EXPECT_EQ(Slot(3), "Startup ");  // the rest of the row is complete
  EXPECT_EQ(Sources(kMessageModule), message_sources);
}

TEST_F(RowTest, PercentSignsGoThroughParameterExpansion) {
  Open({Demo(0x40000004, {u"%%1", u"%%2 of 3", u"50% off", u"plain", u"%%7"})});
  EXPECT_EQ(Get(1), -1);  // %%7: no parameter text, reported once
  // A lone percent sign stands as written.
  EXPECT_EQ(Slot(7), "Values: first|second of 3|50% off|plain|%%7. ");
  EXPECT_EQ(ErrorText(handle_), "Format error, source=VeskDemo type=Parameter msg=7");
}

TEST_F(RowTest, ControlCharactersBecomeSpacesExceptTabAndLineBreaks) {
  Open({Demo(0x80000008, {u"page\fbreak\a", u"tab\there\r\nnext\x1b[1m\x7f\u0085"}),
        Demo(0x97, {u"a\x01z", u"\t\r\n"})});
  ASSERT_EQ(Get(1), 0) << ErrorText(handle_);
  EXPECT_EQ(Slot(7),
            "Control text: [page break ] and [tab\there\r\nnext [1m\x7f\xc2\x85]. ");
  EXPECT_EQ(Get(2), -1);
  EXPECT_EQ(Slot(7), std::string(kFallback) + "a z;\t\r\n");
}

TEST_F(RowTest, FailedNumbersAreReportedOnceAndNotAskedAgain) {
  Open({Demo(0x77, {u"one"}), Demo(0x77, {u"two"}), Demo(0x40000005)});
  EXPECT_EQ(Get(1), -1);
  EXPECT_EQ(Slot(7), std::string(kFallback) + "one");
  EXPECT_EQ(Slot(5), "VeskDemo");  // the row is complete
  const uint64_t asked = emu::calls(emu::Call::FormatMessageW);
  EXPECT_EQ(Get(2), 0);
  EXPECT_EQ(ErrorText(handle_), "");
  EXPECT_EQ(Slot(7), std::string(kFallback) + "two");
  EXPECT_EQ(emu::calls(emu::Call::FormatMessageW), asked);
  EXPECT_EQ(Get(3), 0);
}

TEST_F(RowTest, RowBstrsAreFreedAndAMissingRecordLeavesTheRowAlone) {
  Open({Demo(0x40000001, {u"A", u"1"}, 1), Demo(0x40000001, {u"B", u"2"}, 1)});
  ASSERT_EQ(Get(1), 0);
  const long live = emu::live().bstrs;
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(Get(2 - i % 2), 0);
    EXPECT_EQ(emu::live().bstrs, live);  // the previous row's texts were freed
  }
  ASSERT_EQ(Get(2), 0);
  const BSTR message = V_BSTR(&row_[7]);
  EXPECT_EQ(Get(3), -1);  // past the end
  EXPECT_EQ(ErrorText(handle_), "");
  EXPECT_EQ(V_BSTR(&row_[7]), message);
  EXPECT_EQ(Slot(7), "B version 2 started. ");
}

// writerec over records that the platform might hand over damaged: nothing
// is read past the record's Length (the bytes end there, so a sanitizer
// sees any read beyond it), and what runs past it ends there or is absent.
class CutRecordTest : public RowTest {
 protected:
  // The record, cut to `length` bytes with its Length saying so.
  std::vector<uint8_t> Cut(const EvtRecord &r, size_t length) {
    std::vector<uint8_t> b = vesk::tools::evt_encode_record(r, 1);
    b.resize(length);
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(length >> (8 * i));
    return b;
  }
  void Write(const std::vector<uint8_t> &b) {
    Ctx()->ClearError();
    writerec(Ctx(), b.data(), row_);
  }
};

TEST_F(CutRecordTest, TextsAndSidEndAtTheRecordsEnd) {
  Open({Demo(0x40000005)});
  EvtRecord r = Demo(0x40000001, {u"Demo service", u"1.0.3"}, 1);
  r.sid = vesk::tools::evt_sid("S-1-5-18");
  const std::vector<uint8_t> whole = vesk::tools::evt_encode_record(r, 1);
  const RecordView v(whole.data());
  const uint32_t strings = v.u32(kRecordStringOffset);

  // The second string cut after "1.0".
  Write(Cut(r, strings + 2 * 13 + 6));
  EXPECT_EQ(Slot(7), "Demo service version 1.0 started. ");
  EXPECT_EQ(Slot(5), "VeskDemo");
  EXPECT_EQ(Slot(6), "ROWPC");

  // Cut inside the first string: the second is absent, an empty insert.
  Write(Cut(r, strings + 8));
  EXPECT_EQ(Slot(7), "Demo version  started. ");

  // Cut inside the SID: no user; the strings lie beyond, absent too.
  const uint32_t sid_at = v.u32(kRecordUserSidOffset);
  Write(Cut(r, sid_at + 4));
  EXPECT_EQ(Slot(4), "");
  EXPECT_EQ(Slot(7), " version  started. ");

  // Cut inside the computer name, and inside the source name.
  Write(Cut(r, 56 + 2 * 9 + 4));
  EXPECT_EQ(Slot(5), "VeskDemo");
  EXPECT_EQ(Slot(6), "RO");
  Write(Cut(r, 56 + 8));
  EXPECT_EQ(Slot(5), "Vesk");
  EXPECT_EQ(Slot(6), "");
  EXPECT_EQ(Slot(3), "?Invalid Category");  // no source "Vesk"

  // A string offset far beyond the record: no strings at all.
  std::vector<uint8_t> b = whole;
  for (int i = 0; i < 4; ++i) b[kRecordStringOffset + i] = 0xFF;
  Write(b);
  EXPECT_EQ(Slot(7), " version  started. ");
  EXPECT_EQ(Slot(6), "ROWPC");
}

}  // namespace
