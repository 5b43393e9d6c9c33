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

cli::Row sample_row() {
  cli::Row r;
  r.log = "Application";
  r.record = 7;
  r.cells = {{cli::Cell::Kind::Text, "2023-03-15T13:45:58"},
             {cli::Cell::Kind::Number, "1000"},
             {cli::Cell::Kind::Text, "Error"},
             {cli::Cell::Kind::Text, "None"},
             {cli::Cell::Kind::Text, ""},
             {cli::Cell::Kind::Text, "Disk, \"fast\""},
             {cli::Cell::Kind::Text, "PC1"},
             {cli::Cell::Kind::Text, "line one\r\nline two"}};
  return r;
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

  EXPECT_EQ(cli::csv_header(),
            "log,record,time,event,type,category,user,source,computer,message,error\r\n");
  EXPECT_EQ(
      cli::csv_row(sample_row()),
      "Application,7,2023-03-15T13:45:58,1000,Error,None,,\"Disk, \"\"fast\"\"\",PC1,"
      "\"line one\r\nline two\",\r\n");
  cli::Row failed = sample_row();
  failed.error = {cli::Cell::Kind::Text, "Format error, source=a,b type=Message msg=3"};
  EXPECT_EQ(cli::csv_row(failed).substr(cli::csv_row(sample_row()).size() - 2),
            "\"Format error, source=a,b type=Message msg=3\"\r\n");
}

TEST(CliFormat, JsonEscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(cli::json_string("plain"), "\"plain\"");
  EXPECT_EQ(cli::json_string("a\"b\\c/d"), "\"a\\\"b\\\\c/d\"");
  EXPECT_EQ(cli::json_string("\n\r\t\b\f"), "\"\\n\\r\\t\\b\\f\"");
  EXPECT_EQ(cli::json_string(std::string("\x01\x1f\x7f", 3)), "\"\\u0001\\u001f\x7f\"");
  EXPECT_EQ(cli::json_string(std::string("nul\0", 4)), "\"nul\\u0000\"");
  EXPECT_EQ(cli::json_string("\xe2\x82\xac \xf0\x9f\x98\x80"),
            "\"\xe2\x82\xac \xf0\x9f\x98\x80\"");

  cli::Row r = sample_row();
  r.cells[3] = {};  // an empty slot is null
  EXPECT_EQ(cli::json_row(r),
            "{\"log\":\"Application\",\"record\":7,\"time\":\"2023-03-15T13:45:58\","
            "\"event\":1000,\"type\":\"Error\",\"category\":null,\"user\":\"\","
            "\"source\":\"Disk, \\\"fast\\\"\",\"computer\":\"PC1\","
            "\"message\":\"line one\\r\\nline two\",\"error\":null}\n");
  // The error column comes last, as text when there is one.
  r.error = {cli::Cell::Kind::Text, "LoadLibrary rc=2 library=C:\\x.dll"};
  const std::string j = cli::json_row(r);
  EXPECT_EQ(j.substr(j.find(",\"error\":")),
            ",\"error\":\"LoadLibrary rc=2 library=C:\\\\x.dll\"}\n");
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
  cli::Row a = sample_row();
  cli::Row b = sample_row();
  b.log =
      "S\xc3\xa9"
      "curit\xc3\xa9";  // 8 code points, 10 bytes
  b.record = 12345;
  b.cells[7] = {cli::Cell::Kind::Text, "tab\there\x1b[31m"};
  b.cells[4] = {cli::Cell::Kind::Text, "NT AUTHORITY\\SYSTEM"};
  const std::string t = cli::table({a, b});

  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = t.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(t.substr(start, nl - start));
  ASSERT_EQ(start, t.size());
  ASSERT_EQ(lines.size(), 3u);

  EXPECT_EQ(lines[0].rfind("log          record  time", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].rfind("Application  7       2023", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2].rfind("S\xc3\xa9"
                           "curit\xc3\xa9     12345   2023",
                           0),
            0u)
      << lines[2];
  // Line breaks, tabs and escape characters inside a cell become spaces.
  EXPECT_NE(lines[1].find("line one line two"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("tab here [31m"), std::string::npos) << lines[2];
  // The message column starts at the same place on every line.
  auto column = [](const std::string &line, const std::string &what) {
    size_t pos = line.find(what), cps = 0;
    for (size_t i = 0; i < pos; ++i)
      cps += (static_cast<unsigned char>(line[i]) & 0xC0) != 0x80;
    return cps;
  };
  EXPECT_EQ(column(lines[0], "message"), column(lines[1], "line one"));
  EXPECT_EQ(column(lines[0], "message"), column(lines[2], "tab here"));
  for (const std::string &l : lines) EXPECT_NE(l.back(), ' ');
}

TEST(CliFormat, ErrorTextsFitForATerminal) {
  EXPECT_EQ(cli::display_text("==>RegConnectKeyEx rc=53\n"), "==>RegConnectKeyEx rc=53");
  EXPECT_EQ(cli::display_text("text\r\n\n"), "text");
  EXPECT_EQ(cli::display_text("OpenEventLog(NULL,x) rc=5"), "OpenEventLog(NULL,x) rc=5");
  EXPECT_EQ(cli::display_text("a\nb\tc\x1b[2J"), "a\\nb\\tc\\x1b[2J");
  EXPECT_EQ(cli::display_text("\n"), "");
}

}  // namespace
