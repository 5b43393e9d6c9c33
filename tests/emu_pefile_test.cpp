// Message files that are damaged or hostile: PE headers, resource trees and
// message tables built byte by byte, each fault giving the code Windows
// gives, never a crash, a hang or a huge allocation.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "msgdllwriter.h"
#include "pewriter.h"
#include "platform/emulated/seam.h"
#include "platform/platform.h"
#include "support/testlib.h"

namespace emu = vesk::emu;
using vesk::test::Utf8;

namespace {

void Put16(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  Put16(b, at, v & 0xFFFF);
  Put16(b, at + 2, v >> 16);
}

constexpr uint32_t kSectionRva = 0x1000;
constexpr uint32_t kSectionFile = 0x200;

struct Block {
  uint32_t low, high;
  std::vector<std::u16string> texts;
};

// A MESSAGE_RESOURCE_DATA with its blocks and entries, UTF-16 or ANSI (the
// texts then hold only code units below 0x100).
std::vector<uint8_t> Table(const std::vector<Block> &blocks, bool unicode = true) {
  std::vector<uint8_t> t;
  Put32(t, 0, static_cast<uint32_t>(blocks.size()));
  size_t at = 4 + 12 * blocks.size();
  for (size_t b = 0; b < blocks.size(); ++b) {
    Put32(t, 4 + 12 * b, blocks[b].low);
    Put32(t, 8 + 12 * b, blocks[b].high);
    Put32(t, 12 + 12 * b, static_cast<uint32_t>(at));
    for (const auto &text : blocks[b].texts) {
      size_t bytes = (text.size() + 1) * (unicode ? 2 : 1);
      size_t length = (4 + bytes + 3) & ~size_t{3};
      Put16(t, at, static_cast<uint32_t>(length));
      Put16(t, at + 2, unicode ? 1 : 0);
      t.resize(std::max(t.size(), at + length));
      for (size_t i = 0; i < text.size(); ++i) {
        if (unicode)
          Put16(t, at + 4 + 2 * i, text[i]);
        else
          t[at + 4 + i] = static_cast<uint8_t>(text[i]);
      }
      at += length;
    }
  }
  return t;
}

// A resource section: type 11, name 1, one data entry per language.
// Offsets: root 0x00, type directory 0x18, name directory 0x30, data
// entries from 0x40 + 8 * languages, tables after them.
std::vector<uint8_t> Resources(
    const std::vector<std::pair<uint16_t, std::vector<uint8_t>>> &tables) {
  std::vector<uint8_t> r;
  const uint32_t n = static_cast<uint32_t>(tables.size());
  Put16(r, 14, 1);  // root: one id entry
  Put32(r, 16, 11);
  Put32(r, 20, 0x80000018);
  Put16(r, 0x18 + 14, 1);  // type directory
  Put32(r, 0x18 + 16, 1);
  Put32(r, 0x18 + 20, 0x80000030);
  Put16(r, 0x30 + 14, static_cast<uint32_t>(n));  // name directory
  uint32_t entries = 0x40 + 8 * n;
  uint32_t data = entries + 16 * n;
  for (uint32_t i = 0; i < n; ++i) {
    Put32(r, 0x40 + 8 * i, tables[i].first);
    Put32(r, 0x44 + 8 * i, entries + 16 * i);
    Put32(r, entries + 16 * i, kSectionRva + data);
    Put32(r, entries + 16 * i + 4, static_cast<uint32_t>(tables[i].second.size()));
    r.resize(data);
    r.insert(r.end(), tables[i].second.begin(), tables[i].second.end());
    data = static_cast<uint32_t>((r.size() + 3) & ~size_t{3});
  }
  r.resize((r.size() + 0x1FF) & ~size_t{0x1FF});
  return r;
}

// A PE32 or PE32+ file whose one section holds `rsrc` as its resources.
std::vector<uint8_t> Pe(const std::vector<uint8_t> &rsrc, bool plus = false) {
  std::vector<uint8_t> f(kSectionFile, 0);
  f[0] = 'M', f[1] = 'Z';
  Put32(f, 0x3C, 0x40);
  Put32(f, 0x40, 0x00004550);
  Put16(f, 0x44, plus ? 0x8664 : 0x14C);
  Put16(f, 0x46, 1);                   // one section
  Put16(f, 0x54, plus ? 0xF0 : 0xE0);  // optional header size
  const size_t opt = 0x58;
  Put16(f, opt, plus ? 0x20B : 0x10B);
  Put32(f, opt + 60, kSectionFile);  // SizeOfHeaders
  const size_t count = opt + (plus ? 108 : 92);
  Put32(f, count, 16);
  Put32(f, count + 4 + 16, kSectionRva);
  Put32(f, count + 4 + 20, static_cast<uint32_t>(rsrc.size()));
  const size_t sec = opt + (plus ? 0xF0 : 0xE0);
  std::memcpy(&f[sec], ".rsrc", 5);
  Put32(f, sec + 8, static_cast<uint32_t>(rsrc.size()));
  Put32(f, sec + 12, kSectionRva);
  Put32(f, sec + 16, static_cast<uint32_t>(rsrc.size()));
  Put32(f, sec + 20, kSectionFile);
  f.insert(f.end(), rsrc.begin(), rsrc.end());
  return f;
}

class PeFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emu::reset();
    local_ = vesk::test::MakeComputer(u"PC");
    emu::set_local(local_);
  }
  void TearDown() override {
    EXPECT_EQ(emu::live().modules, 0);
    emu::reset();
  }

  // Loads `bytes` as a data file: the handle, or null and *error.
  HMODULE Load(const std::vector<uint8_t> &bytes, DWORD *error) {
    local_->add_file(u"C:\\WINDOWS\\system32\\f.dll", bytes);
    SetLastError(0);
    HMODULE h = LoadLibraryExW(u"f.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
    *error = h ? 0 : GetLastError();
    return h;
  }

  // Loads `bytes` and formats `id`: the text, or "error N" for a failed
  // load or look-up.
  std::string Lookup(const std::vector<uint8_t> &bytes, DWORD id, DWORD lang = 0) {
    DWORD error = 0;
    HMODULE h = Load(bytes, &error);
    if (!h) return "load " + std::to_string(error);
    WCHAR out[256];
    SetLastError(0);
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                             h, id, lang, out, 256, nullptr);
    std::string result = n ? Utf8(out) : "error " + std::to_string(GetLastError());
    EXPECT_TRUE(FreeLibrary(h));
    return result;
  }

  std::shared_ptr<emu::Computer> local_;
};

std::string Err(DWORD code) { return "error " + std::to_string(code); }

TEST_F(PeFileTest, BuiltTablesAreFoundInBothForms) {
  auto rsrc =
      Resources({{0x0409, Table({{1, 2, {u"one", u"two"}}, {0x10, 0x10, {u"sixteen"}}})},
                 {0x0407, Table({{1, 1, {u"eins"}}}, false)}});
  for (bool plus : {false, true}) {
    auto pe = Pe(rsrc, plus);
    EXPECT_EQ(Lookup(pe, 2), "two");
    EXPECT_EQ(Lookup(pe, 0x10), "sixteen");
    EXPECT_EQ(Lookup(pe, 1, 0x0407), "eins");
    EXPECT_EQ(Lookup(pe, 3), Err(ERROR_MR_MID_NOT_FOUND));
    EXPECT_EQ(Lookup(pe, 0x0F), Err(ERROR_MR_MID_NOT_FOUND));
  }
}

std::vector<uint8_t> FileBytes(const std::filesystem::path &file) {
  std::ifstream in(file, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

TEST_F(PeFileTest, WrittenMessageDllsReadBackInBothForms) {
  // The list form: any order, a repeated id (the first is kept), the ids at
  // both ends of the range, a language of its own.
  const auto listed = vesk::tools::write_message_dll(
      {{5, u"five"}, {0xFFFFFFFF, u"last"}, {4, u"four"}, {4, u"other"}, {0, u"zero"}},
      0x0407);
  ASSERT_FALSE(listed.empty());
  EXPECT_EQ(listed.size() % 0x200, 0u);
  EXPECT_EQ(Lookup(listed, 4, 0x0407), "four");
  EXPECT_EQ(Lookup(listed, 5, 0x0407), "five");
  EXPECT_EQ(Lookup(listed, 0, 0x0407), "zero");
  EXPECT_EQ(Lookup(listed, 0xFFFFFFFF, 0x0407), "last");
  EXPECT_EQ(Lookup(listed, 6, 0x0407), Err(ERROR_MR_MID_NOT_FOUND));
  EXPECT_EQ(Lookup(listed, 4, 0x0409), Err(ERROR_RESOURCE_LANG_NOT_FOUND));

  // The file form with the same table writes the same bytes, and a section
  // size past the table only adds a hole at the end.
  vesk::test::TempDir dir("pewriter");
  vesk::tools::MessageDllLayout layout;
  layout.blocks = {{0, 0}, {4, 5}, {0xFFFFFFFF, 0xFFFFFFFF}};
  layout.text = [](uint32_t id) -> std::u16string {
    return id == 0 ? u"zero" : id == 4 ? u"four" : id == 5 ? u"five" : u"last";
  };
  layout.language = 0x0407;
  layout.terminate_empty = true;
  std::string error;
  ASSERT_TRUE(vesk::tools::write_message_dll(dir.path() / "a.dll", layout, &error))
      << error;
  EXPECT_EQ(FileBytes(dir.path() / "a.dll"), listed);
  layout.section_size = 0x100000;
  ASSERT_TRUE(vesk::tools::write_message_dll(dir.path() / "b.dll", layout, &error))
      << error;
  const auto sparse = FileBytes(dir.path() / "b.dll");
  ASSERT_EQ(sparse.size(), 0x200u + 0x100000u);
  EXPECT_EQ(Lookup(sparse, 5, 0x0407), "five");
  EXPECT_TRUE(std::all_of(sparse.begin() + static_cast<ptrdiff_t>(listed.size()),
                          sparse.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(PeFileTest, LanguageFallbacks) {
  // A table under neutral German serves German of Austria, and neutral
  // serves any specific language.
  auto german = Pe(Resources({{0x0007, Table({{1, 1, {u"de"}}})}}));
  EXPECT_EQ(Lookup(german, 1, 0x0C07), "de");
  EXPECT_EQ(Lookup(german, 1, 0x0409), Err(ERROR_RESOURCE_LANG_NOT_FOUND));
  auto neutral = Pe(Resources({{0x0000, Table({{1, 1, {u"n"}}})}}));
  EXPECT_EQ(Lookup(neutral, 1, 0x0409), "n");
  // Under the system default (which skips the user's) en-US still wins.
  auto both = Pe(Resources(
      {{0x0407, Table({{1, 1, {u"de"}}})}, {0x0409, Table({{1, 1, {u"en"}}})}}));
  emu::set_user_language(0x0407);
  EXPECT_EQ(Lookup(both, 1, LANG_USER_DEFAULT), "de");
  EXPECT_EQ(Lookup(both, 1, 0), "de");
  emu::reset();
  emu::set_local(local_);
  EXPECT_EQ(emu::user_language(), 0x0409);
  EXPECT_EQ(Lookup(both, 1, 0), "en");
}

TEST_F(PeFileTest, HeadersThatAreNotAnImage) {
  auto good = Pe(Resources({{0x0409, Table({{1, 1, {u"x"}}})}}));
  struct Case {
    const char *what;
    size_t at;
    uint32_t value;
    int bytes;
  } cases[] = {
      {"no MZ", 0, 0x4D5A, 2},
      {"e_lfanew past the end", 0x3C, 0xFFFFFFF0, 4},
      {"e_lfanew inside the DOS header's end", 0x3C,
       static_cast<uint32_t>(good.size() - 2), 4},
      {"no PE signature", 0x40, 0x0000454E, 4},
      {"ROM image magic", 0x58, 0x107, 2},
      {"optional header past the end", 0x54, 0xFFFF, 2},
      {"section table past the end", 0x46, 0xFFFF, 2},
  };
  for (const auto &c : cases) {
    auto bytes = good;
    if (c.bytes == 2)
      Put16(bytes, c.at, c.value);
    else
      Put32(bytes, c.at, c.value);
    DWORD error = 0;
    EXPECT_EQ(Load(bytes, &error), nullptr) << c.what;
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_BAD_EXE_FORMAT)) << c.what;
  }
  for (size_t cut : {size_t{1}, size_t{2}, size_t{0x3C}, size_t{0x44}, size_t{0x100}}) {
    DWORD error = 0;
    EXPECT_EQ(Load({good.begin(), good.begin() + static_cast<ptrdiff_t>(cut)}, &error),
              nullptr);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_BAD_EXE_FORMAT)) << cut;
  }
}

TEST_F(PeFileTest, ImagesWithoutUsableResources) {
  auto good = Pe(Resources({{0x0409, Table({{1, 1, {u"x"}}})}}));
  // No resource directory: the load works, the look-up fails.
  auto none = good;
  Put32(none, 0x58 + 92 + 4 + 16, 0);
  EXPECT_EQ(Lookup(none, 1), Err(ERROR_RESOURCE_DATA_NOT_FOUND));
  auto few = good;  // only two data directories
  Put32(few, 0x58 + 92, 2);
  EXPECT_EQ(Lookup(few, 1), Err(ERROR_RESOURCE_DATA_NOT_FOUND));
  auto nowhere = good;  // an RVA in no section
  Put32(nowhere, 0x58 + 92 + 4 + 16, 0x9000);
  EXPECT_EQ(Lookup(nowhere, 1), Err(ERROR_RESOURCE_DATA_NOT_FOUND));
  auto cut = good;  // the section's data lies past the end of the file
  cut.resize(kSectionFile + 8);
  EXPECT_EQ(Lookup(cut, 1), Err(ERROR_RESOURCE_DATA_NOT_FOUND));
  // Another type only, and type 11 without name 1.
  auto other = good;
  Put32(other, kSectionFile + 16, 6);
  EXPECT_EQ(Lookup(other, 1), Err(ERROR_RESOURCE_TYPE_NOT_FOUND));
  auto unnamed = good;
  Put32(unnamed, kSectionFile + 0x18 + 16, 2);
  EXPECT_EQ(Lookup(unnamed, 1), Err(ERROR_RESOURCE_NAME_NOT_FOUND));
}

TEST_F(PeFileTest, DamagedTreesFailWithTheirLevelsCode) {
  auto good = Pe(Resources({{0x0409, Table({{1, 1, {u"x"}}})}}));
  const size_t r = kSectionFile;
  struct Case {
    const char *what;
    size_t at;
    uint32_t value;
    bool word;
    DWORD error;
  } cases[] = {
      {"root entries past the section", r + 14, 0xFFFF, true,
       ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"root names past the section", r + 12, 0xFFFF, true,
       ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"type points to a leaf", r + 20, 0x18, false, ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"type directory past the section", r + 20, 0xFFFFFFF0, false,
       ERROR_RESOURCE_NAME_NOT_FOUND},
      {"type directory is the root (a cycle)", r + 20, 0x80000000, false,
       ERROR_RESOURCE_NAME_NOT_FOUND},
      {"name points to a leaf", r + 0x18 + 20, 0x30, false,
       ERROR_RESOURCE_NAME_NOT_FOUND},
      {"language points to a directory", r + 0x44, 0x80000030, false,
       ERROR_RESOURCE_LANG_NOT_FOUND},
      {"data entry past the section", r + 0x44, 0x7FFFFFF0, false,
       ERROR_RESOURCE_DATA_NOT_FOUND},
      {"table RVA outside the section", r + 0x48, 0x10, false,
       ERROR_RESOURCE_DATA_NOT_FOUND},
      {"table size past the section", r + 0x4C, 0x7FFFFFFF, false,
       ERROR_RESOURCE_DATA_NOT_FOUND},
      {"table smaller than its count", r + 0x4C, 3, false, ERROR_RESOURCE_DATA_NOT_FOUND},
      {"absurd block count", r + 0x58, 0xFFFFFFFF, false, ERROR_RESOURCE_DATA_NOT_FOUND},
      {"entries past the table", r + 0x58 + 12, 0x7FFFFFF0, false,
       ERROR_RESOURCE_DATA_NOT_FOUND},
      {"entry length 0", r + 0x58 + 16, 0, true, ERROR_RESOURCE_DATA_NOT_FOUND},
      {"entry length 3", r + 0x58 + 16, 3, true, ERROR_RESOURCE_DATA_NOT_FOUND},
      {"entry past the table", r + 0x58 + 16, 0xFFFC, true,
       ERROR_RESOURCE_DATA_NOT_FOUND},
  };
  for (const auto &c : cases) {
    auto bytes = good;
    if (c.word)
      Put16(bytes, c.at, c.value);
    else
      Put32(bytes, c.at, c.value);
    EXPECT_EQ(Lookup(bytes, 1), Err(c.error)) << c.what;
  }
}

TEST_F(PeFileTest, EntryWalksEndWithinTheTable) {
  // A block that claims four billion ids over three entries: a look-up far
  // into it walks off the entries and stops there.
  auto table = Table({{1, 3, {u"a", u"b", u"c"}}});
  Put32(table, 8, 0xFFFFFFFF);
  auto pe = Pe(Resources({{0x0409, table}}));
  EXPECT_EQ(Lookup(pe, 3), "c");
  EXPECT_EQ(Lookup(pe, 0xFFFFFFF0), Err(ERROR_RESOURCE_DATA_NOT_FOUND));
  // A block with its ids upside down covers nothing.
  auto upside = Table({{5, 1, {u"a"}}});
  EXPECT_EQ(Lookup(Pe(Resources({{0x0409, upside}})), 1), Err(ERROR_MR_MID_NOT_FOUND));
}

TEST_F(PeFileTest, LongBlocksOfEqualAndMixedEntriesFindEveryText) {
  // A block of runs of entries of one length (of every run length, across
  // the points a look-up remembers) and of single odd ones, asked in an
  // order that makes those points at every depth; then a block that claims
  // more ids than it has entries, ending in a run.
  std::mt19937 rng(9);
  std::vector<std::u16string> texts;
  while (texts.size() < 3000) {
    const size_t run = 1 + rng() % 24;
    const size_t width = rng() % 5 == 0 ? 30 + rng() % 40 : 1 + rng() % 6;
    for (size_t k = 0; k < run; ++k)
      texts.push_back(
          std::u16string(width, static_cast<char16_t>(u'a' + texts.size() % 26)));
  }
  const auto last = static_cast<uint32_t>(100 + texts.size() - 1);
  auto pe = Pe(Resources({{0x0409, Table({{100, last, texts}})}}));
  std::vector<uint32_t> order(texts.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  // One load for all look-ups, so that each finds the points the ones
  // before it made.
  DWORD error = 0;
  HMODULE h = Load(pe, &error);
  ASSERT_NE(h, nullptr) << error;
  for (uint32_t i : order) {
    WCHAR out[256];
    ASSERT_NE(FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                             h, 100 + i, 0, out, 256, nullptr),
              0u)
        << i;
    ASSERT_EQ(Utf8(out), emu::to_utf8(texts[i])) << i;
  }
  EXPECT_TRUE(FreeLibrary(h));

  std::vector<std::u16string> tail(100, u"same");
  auto short_table = Table({{1, 1000, tail}});
  auto short_pe = Pe(Resources({{0x0409, short_table}}));
  EXPECT_EQ(Lookup(short_pe, 100), "same");
  EXPECT_EQ(Lookup(short_pe, 101), Err(ERROR_RESOURCE_DATA_NOT_FOUND));
  EXPECT_EQ(Lookup(short_pe, 1000), Err(ERROR_RESOURCE_DATA_NOT_FOUND));
}

TEST_F(PeFileTest, TextEndsAtItsNulOrTheEntry) {
  auto table = Table({{1, 2, {u"abc", u"de"}}});
  // The first entry's text fills it without a NUL: the entry's end ends it.
  Put16(table, 0x10 + 4 + 6, u'Z');  // 12-byte entry: 8 bytes of text
  auto pe = Pe(Resources({{0x0409, table}}));
  EXPECT_EQ(Lookup(pe, 1), "abcZ");
  EXPECT_EQ(Lookup(pe, 2), "de");
  // ANSI bytes 80-9F are code page 1252's.
  auto ansi = Table({{1, 1, {std::u16string{0x80, 0x85, 0x99, u'!'}}}}, false);
  EXPECT_EQ(Lookup(Pe(Resources({{0x0409, ansi}})), 1), "\u20ac\u2026\u2122!");
}

TEST_F(PeFileTest, OversizedResourceSectionIsRefusedWithoutReadingIt) {
  // A sparse host file: the header says the resource section is 80 MB.
  vesk::test::TempDir dir("pefile-big");
  auto pe = Pe(Resources({{0x0409, Table({{1, 1, {u"x"}}})}}));
  const uint32_t big = 80u << 20;
  const size_t sec = 0x58 + 0xE0;
  Put32(pe, sec + 8, big);
  Put32(pe, sec + 16, big);
  auto path = dir.path() / "WINDOWS" / "system32" / "big.dll";
  std::filesystem::create_directories(path.parent_path());
  int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, pe.data(), pe.size()), static_cast<ssize_t>(pe.size()));
  ASSERT_EQ(::ftruncate(fd, kSectionFile + big), 0);
  ::close(fd);
  local_->add_drive(u'C', dir.path());
  SetLastError(0);
  EXPECT_EQ(LoadLibraryExW(u"big", nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
}

}  // namespace

// ---------------------------------------------------------------- table index

class TableIndexTest : public PeFileTest {
 protected:
  // Loads `bytes` once and formats each of `ids` in turn.
  std::vector<std::string> LookupAll(const std::vector<uint8_t> &bytes,
                                     const std::vector<DWORD> &ids) {
    DWORD error = 0;
    HMODULE h = Load(bytes, &error);
    std::vector<std::string> out;
    if (!h) return {"load " + std::to_string(error)};
    for (DWORD id : ids) {
      WCHAR text[256];
      DWORD n =
          FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, h,
                         id, 0, text, 256, nullptr);
      out.push_back(n ? Utf8(text) : Err(GetLastError()));
    }
    EXPECT_TRUE(FreeLibrary(h));
    return out;
  }
};

std::vector<std::u16string> Numbered(const std::u16string &prefix, uint32_t from,
                                     uint32_t to) {
  std::vector<std::u16string> texts;
  for (uint32_t i = from; i <= to; ++i)
    texts.push_back(prefix + emu::from_utf8(std::to_string(i)));
  return texts;
}

TEST_F(TableIndexTest, OverlappingBlocksGiveTheFirstListedOneThatHoldsTheNumber) {
  auto pe = Pe(Resources({{0x0409, Table({{10, 20, Numbered(u"a", 10, 20)},
                                          {5, 15, Numbered(u"b", 5, 15)},
                                          {30, 30, {u"thirty"}},
                                          {18, 40, Numbered(u"c", 18, 40)}})}}));
  EXPECT_EQ(LookupAll(pe, {12, 7, 10, 15, 20, 21, 30, 29, 40, 41, 4}),
            (std::vector<std::string>{"a12", "b7", "a10", "a15", "a20", "c21", "thirty",
                                      "c29", "c40", Err(ERROR_MR_MID_NOT_FOUND),
                                      Err(ERROR_MR_MID_NOT_FOUND)}));
  // In order and apart, the same answers as a walk over them.
  auto ordered = Pe(Resources(
      {{0x0409, Table({{1, 3, Numbered(u"x", 1, 3)}, {7, 9, Numbered(u"y", 7, 9)}})}}));
  EXPECT_EQ(LookupAll(ordered, {0, 1, 3, 4, 6, 7, 9, 10}),
            (std::vector<std::string>{
                Err(ERROR_MR_MID_NOT_FOUND), "x1", "x3", Err(ERROR_MR_MID_NOT_FOUND),
                Err(ERROR_MR_MID_NOT_FOUND), "y7", "y9", Err(ERROR_MR_MID_NOT_FOUND)}));
}

TEST_F(TableIndexTest, EntriesOfALongBlockAreFoundInAnyOrderAndADamagedOneEndsIt) {
  const uint32_t count = 300;
  auto table = Table({{0, count - 1, Numbered(u"e", 0, count - 1)}});
  auto pe = Pe(Resources({{0x0409, table}}));
  EXPECT_EQ(LookupAll(pe, {299, 0, 63, 64, 65, 127, 128, 192, 1}),
            (std::vector<std::string>{"e299", "e0", "e63", "e64", "e65", "e127", "e128",
                                      "e192", "e1"}));
  // Entry 70 given a length below its header: the walk cannot pass it.
  size_t at = 4 + 12;
  for (uint32_t i = 0; i < 70; ++i) at += table[at] | table[at + 1] << 8;
  table[at] = 2;
  table[at + 1] = 0;
  auto damaged = Pe(Resources({{0x0409, table}}));
  EXPECT_EQ(LookupAll(damaged, {200, 69, 70, 71, 5, 64, 128}),
            (std::vector<std::string>{Err(ERROR_RESOURCE_DATA_NOT_FOUND), "e69",
                                      Err(ERROR_RESOURCE_DATA_NOT_FOUND),
                                      Err(ERROR_RESOURCE_DATA_NOT_FOUND), "e5", "e64",
                                      Err(ERROR_RESOURCE_DATA_NOT_FOUND)}));
}

// What a walk over the blocks in their order, and over a block's entries
// from its start, finds for `id`: the text's first unit, or an error code.
std::string WalkedLookup(const std::vector<uint8_t> &t, uint32_t id) {
  auto u16 = [&](size_t at) { return static_cast<uint32_t>(t[at] | t[at + 1] << 8); };
  auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
  const uint32_t size = static_cast<uint32_t>(t.size());
  const uint32_t blocks = u32(0);
  if (blocks > (size - 4) / 12) return Err(ERROR_RESOURCE_DATA_NOT_FOUND);
  for (uint32_t b = 0; b < blocks; ++b) {
    uint32_t low = u32(4 + 12 * b), high = u32(8 + 12 * b);
    if (id < low || id > high) continue;
    uint64_t at = u32(12 + 12 * b);
    for (uint32_t skip = id - low;; --skip) {
      if (at > size || size - at < 4) return Err(ERROR_RESOURCE_DATA_NOT_FOUND);
      uint32_t length = u16(at);
      if (length < 4 || length > size - at) return Err(ERROR_RESOURCE_DATA_NOT_FOUND);
      if (skip == 0)
        return length >= 6 && u16(at + 4) ? std::string(1, char(u16(at + 4))) : "";
      at += length;
    }
  }
  return Err(ERROR_MR_MID_NOT_FOUND);
}

TEST_F(TableIndexTest, RandomTablesGiveWhatAWalkGives) {
  uint32_t state = 12345;
  auto next = [&](uint32_t n) {
    state = state * 1103515245u + 12345u;
    return (state >> 8) % n;
  };
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    // Blocks that overlap, come in any order or are inverted, over a run of
    // entries some of which are damaged.
    const uint32_t nblocks = 1 + next(12);
    const uint32_t entries = 150 + next(200);
    std::vector<uint8_t> t;
    Put32(t, 0, nblocks);
    const uint32_t first = 4 + 12 * nblocks;
    std::vector<uint32_t> offsets;
    size_t at = first;
    for (uint32_t e = 0; e < entries; ++e) {
      offsets.push_back(static_cast<uint32_t>(at));
      uint32_t length = next(40) == 0 ? next(4) : 8;  // a damaged length now and then
      Put16(t, at, length);
      Put16(t, at + 2, 1);
      Put16(t, at + 4, 'a' + e % 26);
      Put16(t, at + 6, 0);
      at += 8;
    }
    for (uint32_t b = 0; b < nblocks; ++b) {
      uint32_t low = next(300), span = next(4) == 0 ? 0 : next(200);
      uint32_t high = next(10) == 0 ? low - 1 : low + span;  // now and then inverted
      Put32(t, 4 + 12 * b, low);
      Put32(t, 8 + 12 * b, high);
      Put32(t, 12 + 12 * b, offsets[next(entries)]);
    }
    std::vector<DWORD> ids;
    for (int i = 0; i < 120; ++i) ids.push_back(next(520));
    std::vector<std::string> expected;
    for (DWORD id : ids) expected.push_back(WalkedLookup(t, id));
    EXPECT_EQ(LookupAll(Pe(Resources({{0x0409, t}})), ids), expected);
  }
}
