// The command-line tool's text forms: UTF-16 to UTF-8, Automation dates, and
// the quoting and escaping of the CSV, JSON Lines and table output.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "cli/format.h"
#include "walk/utf8.h"

namespace cli = vesk::cli;

namespace {

// A record as the walk hands it out: the raw fields and the library's row.
vesk::walk::Record sample_record() {
  using K = cli::Cell::Kind;
  vesk::walk::Record r;
  r.log = "Application";
  r.number = 7;
  r.has_raw = true;
  r.raw.number = 7;
  r.raw.time_written = 1678887959;    // 2023-03-15T13:45:59Z
  r.raw.time_generated = 1678887900;  // 2023-03-15T13:45:00Z
  r.raw.event_id = 0xC00003E8;
  r.raw.event_type = 1;
  r.raw.sid = "S-1-5-18";
  r.raw.strings = {"a;b", "c\\d", ""};
  r.raw.data = {0x00, 0xAB, 0x10};
  r.raw.source = "Disk, \"fast\"";
  r.raw.computer = "PC1";
  r.row[0] = {K::Text, "2023-03-15T13:45:58"};
  r.row[1] = {K::Number, "1000"};
  r.row[2] = {K::Text, "Error"};
  r.row[3] = {K::Text, "None"};
  r.row[4] = {K::Text, ""};
  r.row[5] = {K::Text, "Disk, \"fast\""};
  r.row[6] = {K::Text, "PC1"};
  r.row[7] = {K::Text, "line one\r\nline two"};
  return r;
}

cli::Layout layout(std::initializer_list<const char *> names,
                   vesk::walk::TimeZone zone = vesk::walk::TimeZone::kUtc) {
  cli::Layout l;
  for (const char *n : names) l.columns.push_back(*vesk::walk::column_by_name(n));
  l.zone = zone;
  return l;
}

cli::Layout all_columns() { return cli::Layout{cli::default_columns(false)}; }

std::vector<std::string> split_lines(const std::string &t) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = t.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(t.substr(start, nl - start));
  EXPECT_EQ(start, t.size()) << "the last line is not ended";
  return lines;
}

TEST(CliFormat, Utf8FromUtf16CoversEveryLengthAndBadSurrogates) {
  EXPECT_EQ(cli::utf8_from_utf16(u"Abc"), "Abc");
  EXPECT_EQ(cli::utf8_from_utf16(u"\u00e9"), "\xc3\xa9");
  EXPECT_EQ(cli::utf8_from_utf16(u"\u20ac"), "\xe2\x82\xac");
  EXPECT_EQ(cli::utf8_from_utf16(u"\U0001F600"), "\xf0\x9f\x98\x80");
  EXPECT_EQ(cli::utf8_from_utf16(u"\U0010FFFF"), "\xf4\x8f\xbf\xbf");

  const char16_t lone_high[] = {u'a', 0xD83D, u'b', 0};
  const char16_t lone_low[] = {0xDE00, u'x', 0};
  const char16_t high_at_end[] = {u'z', 0xD800, 0};
  const char16_t reversed_pair[] = {0xDE00, 0xD83D, 0};
  EXPECT_EQ(cli::utf8_from_utf16(lone_high),
            "a\xef\xbf\xbd"
            "b");
  EXPECT_EQ(cli::utf8_from_utf16(lone_low), "\xef\xbf\xbdx");
  EXPECT_EQ(cli::utf8_from_utf16(high_at_end), "z\xef\xbf\xbd");
  EXPECT_EQ(cli::utf8_from_utf16(reversed_pair), "\xef\xbf\xbd\xef\xbf\xbd");
  // A zero unit inside the text is kept: lengths, not terminators, end text.
  EXPECT_EQ(cli::utf8_from_utf16(std::u16string_view(u"a\0b", 3)),
            std::string("a\0b", 3));
}

TEST(CliFormat, BstrTextFollowsTheLengthPrefix) {
  BSTR b = SysAllocStringLen(u"x\0y", 3);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(cli::bstr_text(b), std::string("x\0y", 3));
  SysFreeString(b);
  EXPECT_EQ(cli::bstr_text(nullptr), "");
}

TEST(CliFormat, AutomationDatesAsIsoText) {
  EXPECT_EQ(cli::automation_date_text(0.0), "1899-12-30T00:00:00");
  EXPECT_EQ(cli::automation_date_text(2.25), "1900-01-01T06:00:00");
  EXPECT_EQ(cli::automation_date_text(29221.0), "1980-01-01T00:00:00");
  EXPECT_EQ(cli::automation_date_text(29280.0), "1980-02-29T00:00:00");
  EXPECT_EQ(cli::automation_date_text(45000.0 + (13 * 3600 + 45 * 60 + 58) / 86400.0),
            "2023-03-15T13:45:58");
  // Before 1899-12-30 the fraction still counts forwards from midnight.
  EXPECT_EQ(cli::automation_date_text(-1.25), "1899-12-29T06:00:00");
  EXPECT_EQ(cli::automation_date_text(-0.5), "1899-12-30T12:00:00");
  // Rounding to the second can reach the next midnight.
  EXPECT_EQ(cli::automation_date_text(45000.0 - 1e-9), "2023-03-15T00:00:00");
  EXPECT_EQ(cli::automation_date_text(44999.9999999), "2023-03-15T00:00:00");
  // The ends of the range, and values beyond them.
  EXPECT_EQ(cli::automation_date_text(-657434.0), "0100-01-01T00:00:00");
  EXPECT_EQ(cli::automation_date_text(2958465.0 + 86399.0 / 86400.0),
            "9999-12-31T23:59:59");
  EXPECT_EQ(cli::automation_date_text(2958466.0), "2958466");
  EXPECT_EQ(cli::automation_date_text(-657435.0), "-657435");
  EXPECT_EQ(cli::automation_date_text(std::numeric_limits<double>::quiet_NaN()), "nan");
}

TEST(CliFormat, CellsFromEachVariantType) {
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(cli::cell_from_variant(v).kind, cli::Cell::Kind::Empty);

  V_VT(&v) = VT_I4;
  V_I4(&v) = -5;
  cli::Cell c = cli::cell_from_variant(v);
  EXPECT_EQ(c.kind, cli::Cell::Kind::Number);
  EXPECT_EQ(c.text, "-5");

  V_VT(&v) = VT_DATE;
  V_DATE(&v) = 2.25;
  c = cli::cell_from_variant(v);
  EXPECT_EQ(c.kind, cli::Cell::Kind::Text);
  EXPECT_EQ(c.text, "1900-01-01T06:00:00");

  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = SysAllocString(u"\u00c4rger");
  c = cli::cell_from_variant(v);
  EXPECT_EQ(c.kind, cli::Cell::Kind::Text);
  EXPECT_EQ(c.text, "\xc3\x84rger");
  VariantClear(&v);

  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = nullptr;  // Automation reads a null BSTR as empty text
  c = cli::cell_from_variant(v);
  EXPECT_EQ(c.kind, cli::Cell::Kind::Text);
  EXPECT_EQ(c.text, "");

  V_VT(&v) = VT_R8;
  EXPECT_EQ(cli::cell_from_variant(v).text, "?vt=5");
}

TEST(CliFormat, CsvQuotesAsRfc4180) {
  EXPECT_EQ(cli::csv_field("plain text"), "plain text");
  EXPECT_EQ(cli::csv_field(""), "");
  EXPECT_EQ(cli::csv_field(" padded "), " padded ");
  EXPECT_EQ(cli::csv_field("a,b"), "\"a,b\"");
  EXPECT_EQ(cli::csv_field("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(cli::csv_field("\""), "\"\"\"\"");
  EXPECT_EQ(cli::csv_field("two\nlines"), "\"two\nlines\"");
  EXPECT_EQ(cli::csv_field("cr\ronly"), "\"cr\ronly\"");
  EXPECT_EQ(cli::csv_field("tab\tis fine"), "tab\tis fine");

  EXPECT_EQ(cli::csv_header(all_columns()),
            "log,record,time,generated,event,event_id,type,category,user,sid,source,"
            "computer,message,strings,data,row_time,error\r\n");
  std::string row;
  cli::append_csv_record(row, sample_record(), all_columns());
  EXPECT_EQ(
      row,
      "Application,7,2023-03-15T13:45:59Z,2023-03-15T13:45:00Z,1000,3221226472,Error,"
      "None,,S-1-5-18,\"Disk, \"\"fast\"\"\",PC1,\"line one\r\nline two\","
      "a\\;b;c\\\\d;,00ab10,2023-03-15T13:45:58,\r\n");
  // The columns that --fields names, in its order; a record that could not be
  // read has empty raw columns.
  vesk::walk::Record failed;
  failed.log = "System";
  failed.number = 3;
  failed.error = {cli::Cell::Kind::Text, "ReadEventLog rc=1500 cbReq=0"};
  row.clear();
  cli::append_csv_record(row, failed, layout({"error", "record", "time", "strings"}));
  EXPECT_EQ(row, "ReadEventLog rc=1500 cbReq=0,3,,\r\n");
  EXPECT_EQ(cli::csv_header(layout({"error", "record", "time", "strings"})),
            "error,record,time,strings\r\n");
}

TEST(CliFormat, JsonEscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(cli::json_string("plain"), "\"plain\"");
  EXPECT_EQ(cli::json_string("a\"b\\c/d"), "\"a\\\"b\\\\c/d\"");
  EXPECT_EQ(cli::json_string("\n\r\t\b\f"), "\"\\n\\r\\t\\b\\f\"");
  EXPECT_EQ(cli::json_string(std::string("\x01\x1f\x7f", 3)), "\"\\u0001\\u001f\x7f\"");
  EXPECT_EQ(cli::json_string(std::string("nul\0", 4)), "\"nul\\u0000\"");
  EXPECT_EQ(cli::json_string("\xe2\x82\xac \xf0\x9f\x98\x80"),
            "\"\xe2\x82\xac \xf0\x9f\x98\x80\"");

  vesk::walk::Record r = sample_record();
  r.row[3] = {};  // an empty slot is null
  std::string j;
  cli::append_json_record(j, r, all_columns());
  EXPECT_EQ(
      j,
      "{\"log\":\"Application\",\"record\":7,\"time\":\"2023-03-15T13:45:59Z\","
      "\"generated\":\"2023-03-15T13:45:00Z\",\"event\":1000,\"event_id\":3221226472,"
      "\"type\":\"Error\",\"category\":null,\"user\":\"\",\"sid\":\"S-1-5-18\","
      "\"source\":\"Disk, \\\"fast\\\"\",\"computer\":\"PC1\","
      "\"message\":\"line one\\r\\nline two\",\"strings\":[\"a;b\",\"c\\\\d\",\"\"],"
      "\"data\":\"00ab10\",\"row_time\":\"2023-03-15T13:45:58\",\"error\":null}\n");
  // The error comes last, as text when there is one; a record that could not
  // be read has null raw columns, its strings too.
  vesk::walk::Record failed;
  failed.log = "System";
  failed.number = 3;
  failed.error = {cli::Cell::Kind::Text, "LoadLibrary rc=2 library=C:\\x.dll"};
  j.clear();
  cli::append_json_record(j, failed,
                          layout({"record", "time", "strings", "event_id", "error"}));
  EXPECT_EQ(j,
            "{\"record\":3,\"time\":null,\"strings\":null,\"event_id\":null,"
            "\"error\":\"LoadLibrary rc=2 library=C:\\\\x.dll\"}\n");
}

TEST(CliFormat, FieldsNameColumnsOnceEach) {
  std::vector<vesk::walk::Column> cols;
  std::string error;
  ASSERT_TRUE(cli::parse_fields("time, log,event_id", &cols, &error)) << error;
  ASSERT_EQ(cols.size(), 3u);
  EXPECT_EQ(cols[0], vesk::walk::Column::kTime);
  EXPECT_EQ(cols[1], vesk::walk::Column::kLog);
  EXPECT_EQ(cols[2], vesk::walk::Column::kEventId);
  EXPECT_FALSE(cli::parse_fields("time,nope", &cols, &error));
  EXPECT_NE(error.find("no column named 'nope'"), std::string::npos) << error;
  EXPECT_FALSE(cli::parse_fields("time,time", &cols, &error));
  EXPECT_NE(error.find("named twice"), std::string::npos) << error;
  EXPECT_FALSE(cli::parse_fields("", &cols, &error));
  // JSON Lines and CSV: every column, log first and error last.
  const auto all = cli::default_columns(false);
  EXPECT_EQ(all.size(), std::size(vesk::walk::kAllColumns));
  EXPECT_EQ(all.front(), vesk::walk::Column::kLog);
  EXPECT_EQ(all.back(), vesk::walk::Column::kError);
}

// Text whose bytes are drawn from what the escapes care about, in runs long
// and short, at every alignment: the word-at-a-time scans must find exactly
// what the byte-at-a-time forms find.
std::string random_text(std::mt19937 &rng) {
  static const char *const kPieces[] = {"plain ascii text ",
                                        "\"",
                                        "\\",
                                        "\r\n",
                                        "\t",
                                        ",",
                                        "\x01",
                                        "\x1f",
                                        "\x7f",
                                        "caf\xc3\xa9 ",
                                        "\xe2\x82\xac",
                                        "\xf0\x9f\x98\x80",
                                        "abcdefgh",
                                        " "};
  std::string out;
  const int pieces = static_cast<int>(rng() % 12);
  for (int i = 0; i < pieces; ++i) out += kPieces[rng() % std::size(kPieces)];
  out.erase(0, rng() % 8);  // every alignment of the special bytes
  return out;
}

TEST(CliFormat, BulkJsonEscapingMatchesTheByteByByteForm) {
  std::mt19937 rng(17);
  for (int i = 0; i < 20000; ++i) {
    const std::string text = random_text(rng);
    std::string fast = "prefix", slow = "prefix";
    cli::append_json_string(fast, text);
    cli::append_json_string_scalar(slow, text);
    ASSERT_EQ(fast, slow) << text;
  }
  std::string all;
  for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
  std::string fast, slow;
  cli::append_json_string(fast, all);
  cli::append_json_string_scalar(slow, all);
  EXPECT_EQ(fast, slow);
  EXPECT_NE(fast.find("\\u001e\\u001f !\\\"#"), std::string::npos) << fast;
  EXPECT_NE(fast.find("[\\\\]"), std::string::npos) << fast;
}

TEST(CliFormat, BulkCsvQuotingMatchesTheRule) {
  std::mt19937 rng(18);
  for (int i = 0; i < 20000; ++i) {
    const std::string text = random_text(rng);
    std::string expected = text;
    if (text.find_first_of(",\"\r\n") != std::string::npos) {
      expected = "\"";
      for (char c : text) {
        if (c == '"') expected += '"';
        expected += c;
      }
      expected += '"';
    }
    ASSERT_EQ(cli::csv_field(text), expected) << text;
  }
}

// UTF-16 with ASCII runs of every length and alignment around units that
// need two, three and four bytes, and unpaired surrogates at the edges.
TEST(WalkUtf8, FastConversionMatchesTheUnitByUnitForm) {
  static const char16_t kUnits[] = {u'a',   u'Z',   u' ',   0x7F,   0x80,
                                    0xE9,   0x7FF,  0x800,  0x20AC, 0xFFFF,
                                    0xD83D, 0xDE00, 0xDBFF, 0xDC00};
  std::mt19937 rng(19);
  for (int i = 0; i < 20000; ++i) {
    std::u16string text;
    const int n = static_cast<int>(rng() % 40);
    for (int k = 0; k < n; ++k)
      text += rng() % 3 ? static_cast<char16_t>(u'a' + rng() % 26) : kUnits[rng() % 14];
    std::string fast = "x", slow = "x";
    vesk::walk::append_utf8(fast, text.data(), text.size());
    vesk::walk::append_utf8_scalar(slow, text.data(), text.size());
    ASSERT_EQ(fast, slow) << "case " << i;
    // The same units stored little-endian at an odd address, as inside a
    // raw record.
    std::vector<unsigned char> bytes(1 + 2 * text.size());
    for (size_t k = 0; k < text.size(); ++k) {
      bytes[1 + 2 * k] = static_cast<unsigned char>(text[k] & 0xFF);
      bytes[2 + 2 * k] = static_cast<unsigned char>(text[k] >> 8);
    }
    std::string unaligned = "x";
    vesk::walk::append_utf8_le(unaligned, bytes.data() + 1, text.size());
    ASSERT_EQ(unaligned, slow) << "case " << i;
  }
  std::string out;
  const std::u16string mixed =
      u"abcd\u00e9\U0001F600" + std::u16string(1, char16_t(0xD800)) + u"xyz!";
  vesk::walk::append_utf8(out, mixed.data(), mixed.size());
  EXPECT_EQ(out, "abcd\xc3\xa9\xf0\x9f\x98\x80\xef\xbf\xbdxyz!");
}

TEST(CliFormat, TableAlignsByCodePointsAndKeepsRowsOnOneLine) {
  vesk::walk::Record a = sample_record();
  vesk::walk::Record b = sample_record();
  b.log =
      "S\xc3\xa9"
      "curit\xc3\xa9";  // 8 code points, 10 bytes
  b.number = 12345;
  b.row[7] = {cli::Cell::Kind::Text, "tab\there"};
  b.row[4] = {cli::Cell::Kind::Text, "NT AUTHORITY\\SYSTEM"};
  cli::Table table(layout({"log", "record", "user", "message"}));
  std::string t;
  table.add(a, t);
  table.add(b, t);
  EXPECT_EQ(t, "") << "the first rows are held back to size the columns";
  table.finish(t);
  const auto lines = split_lines(t);
  ASSERT_EQ(lines.size(), 3u);

  EXPECT_EQ(lines[0], "log          record  user                 message");
  EXPECT_EQ(lines[1], "Application  7                            line one line two");
  EXPECT_EQ(lines[2],
            "S\xc3\xa9"
            "curit\xc3\xa9     12345   NT AUTHORITY\\SYSTEM  tab here");
}

TEST(CliFormat, TableStreamsWithTheWidthsOfItsFirstRows) {
  cli::Table table(layout({"record", "source", "message"}), 2);
  vesk::walk::Record r = sample_record();
  std::string out;
  r.row[5].text = "ab";
  table.add(r, out);
  EXPECT_EQ(out, "");
  // The second row completes the sample: the widths are settled and
  // everything held goes out.
  r.row[5].text = "abcdefgh";
  table.add(r, out);
  auto lines = split_lines(out);
  ASSERT_EQ(lines.size(), 3u) << out;
  EXPECT_EQ(lines[0], "record  source    message");
  EXPECT_EQ(lines[1], "7       ab        line one line two");
  EXPECT_EQ(lines[2], "7       abcdefgh  line one line two");
  // Later rows keep those widths and go out at once: a longer cell is cut
  // and marked, the last column is never cut.
  out.clear();
  r.row[5].text = "abcdefghijKLMNOP";
  r.row[7].text = std::string(500, 'm');
  table.add(r, out);
  EXPECT_EQ(out, "7       abcdefg\xe2\x80\xa6  " + std::string(500, 'm') + "\n");
  out.clear();
  table.finish(out);
  EXPECT_EQ(out, "");
  // Every column is capped, also in the rows that size it.
  cli::Table capped(layout({"source", "record"}), 1);
  r.row[5].text = std::string(200, 's');
  out.clear();
  capped.add(r, out);
  capped.finish(out);
  lines = split_lines(out);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1],
            std::string(cli::Table::kTableWidthCap - 1, 's') + "\xe2\x80\xa6  7");
}

TEST(CliFormat, TableNeverWritesControlCharacters) {
  // C0 controls (but the line breaks and tabs, which become spaces), DEL, C1
  // controls and the bidirectional overrides and isolates, in every column.
  EXPECT_EQ(cli::table_text("a\x1b[31mred"), "a\\x1b[31mred");
  EXPECT_EQ(cli::table_text(std::string("nul\0bel\x07"
                                        "del\x7f",
                                        12)),
            "nul\\x00bel\\x07del\\x7f");
  EXPECT_EQ(cli::table_text("one\r\ntwo\nthree\rfour\tfive"), "one two three four five");
  EXPECT_EQ(cli::table_text("c1 \xc2\x80 \xc2\x9b \xc2\x9f end"),
            "c1 \\u0080 \\u009b \\u009f end");
  EXPECT_EQ(cli::table_text("\xe2\x80\xaa"
                            "A\xe2\x80\xae"
                            "B\xe2\x81\xa6"
                            "C\xe2\x81\xa9"),
            "\\u202aA\\u202eB\\u2066C\\u2069");
  // Their neighbours pass: U+00A0, U+2029, U+202F, U+2065, U+206A, and the
  // ellipsis the table itself writes.
  const std::string kept =
      "\xc2\xa0\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa\xe2\x80\xa6";
  EXPECT_EQ(cli::table_text(kept), kept);

  vesk::walk::Record r = sample_record();
  r.log = "L\x1b]0;title\x07";
  r.raw.strings = {"\xe2\x80\xaegnp.exe"};
  r.row[7].text = "evil\x1b[2J\xc2\x9b";
  cli::Table table(layout({"log", "strings", "message"}));
  std::string out;
  table.add(r, out);
  table.finish(out);
  for (char c : out)
    EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << out;
  EXPECT_NE(out.find("L\\x1b]0;title\\x07"), std::string::npos) << out;
  EXPECT_NE(out.find("\\u202egnp.exe"), std::string::npos) << out;
  EXPECT_NE(out.find("evil\\x1b[2J\\u009b"), std::string::npos) << out;
  // CSV and JSON Lines carry the texts as they are (JSON escapes C0 by its
  // rules, and nothing else).
  std::string csv, json;
  cli::append_csv_record(csv, r, layout({"message"}));
  EXPECT_EQ(csv, "evil\x1b[2J\xc2\x9b\r\n");
  cli::append_json_record(json, r, layout({"message"}));
  EXPECT_EQ(json, "{\"message\":\"evil\\u001b[2J\xc2\x9b\"}\n");
}

TEST(CliFormat, ErrorTextsFitForATerminal) {
  EXPECT_EQ(cli::display_text("==>RegConnectKeyEx rc=53\n"), "==>RegConnectKeyEx rc=53");
  EXPECT_EQ(cli::display_text("text\r\n\n"), "text");
  EXPECT_EQ(cli::display_text("OpenEventLog(NULL,x) rc=5"), "OpenEventLog(NULL,x) rc=5");
  EXPECT_EQ(cli::display_text("a\nb\tc\x1b[2J"), "a\\nb\\tc\\x1b[2J");
  EXPECT_EQ(cli::display_text("\n"), "");
  EXPECT_EQ(cli::display_text("x\xe2\x80\xae\xc2\x85"), "x\\u202e\\u0085");
}

}  // namespace
