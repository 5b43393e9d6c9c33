// Hive files: the writer held against the hive library and against readers
// nobody here wrote (libregf's regfexport, hivex's hivexget and hivexsh), the
// .reg text parser, and open_hive's keys over good and bad files.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "hivewriter.h"
#include "platform/emulated/seam.h"
#include "regtext.h"
#include "support/testlib.h"

namespace emu = vesk::emu;
namespace fs = std::filesystem;
using vesk::test::AllDiagnostics;
using vesk::test::HasDiagnostic;
using vesk::test::TempDir;
using vesk::tools::RegNode;

namespace {

std::vector<uint8_t> ReadFile(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path &p, const std::vector<uint8_t> &bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

uint32_t Le32(const std::vector<uint8_t> &b, size_t off) {
  return static_cast<uint32_t>(b[off]) | static_cast<uint32_t>(b[off + 1]) << 8 |
         static_cast<uint32_t>(b[off + 2]) << 16 |
         static_cast<uint32_t>(b[off + 3]) << 24;
}

void SetLe32(std::vector<uint8_t> &b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

std::vector<uint8_t> Utf16(std::u16string_view s, bool terminated) {
  std::vector<uint8_t> out;
  for (char16_t c : s) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  if (terminated) out.insert(out.end(), {0, 0});
  return out;
}

// Follows `path` ("A\B") from `key`.
std::shared_ptr<emu::RegKey> Walk(std::shared_ptr<emu::RegKey> key,
                                  std::u16string_view path) {
  size_t start = 0;
  while (key && start < path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    key = key->child(path.substr(start, end - start));
    start = end + 1;
  }
  return key;
}

class HiveTest : public ::testing::Test {
 protected:
  void SetUp() override { emu::reset(); }
  void TearDown() override { emu::reset(); }

  fs::path Write(const RegNode &node, const std::string &name = "hive") {
    fs::path file = dir_.path() / name;
    std::string error;
    EXPECT_TRUE(vesk::tools::write_hive(file, node, &error)) << error;
    return file;
  }

  std::shared_ptr<emu::RegKey> Open(const fs::path &file, bool system = false) {
    std::string error;
    auto key = emu::open_hive(file, system, &error);
    EXPECT_NE(key, nullptr) << error;
    return key;
  }

  TempDir dir_{"hive"};
};

// A tree holding one value of every shape the registry stores.
RegNode EveryKindOfValue() {
  RegNode root(u"SOFTWARE");
  auto &k = root.key(u"Vendor\\Product");
  k.set_string(u"", u"the default");
  k.set_string(u"Terminated", u"C:\\WINDOWS");
  k.set_string(u"Unterminated", u"C:\\WINDOWS", REG_SZ, false);
  k.set(u"OddLength", REG_SZ, {0x41, 0x00, 0x42});
  k.set_string(u"Expand", u"%SystemRoot%\\System32\\msg.dll", REG_EXPAND_SZ);
  k.set_multi_string(u"Multi", {u"first", u"", u"third"});
  k.set_dword(u"Dword", 0xDEADBEEF);
  k.set_qword(u"Qword", 0x0102030405060708ull);
  k.set(u"EmptyBinary", REG_BINARY, {});
  k.set(u"None", REG_NONE, {1, 2, 3});
  k.set(u"OddType", 0x12345u, {9, 8, 7, 6, 5});
  std::vector<uint8_t> big(20000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  k.set(u"Big", REG_BINARY, big);
  return root;
}

// ------------------------------------------------------------------ writer

TEST_F(HiveTest, EmptyHiveHasAConsistentBaseBlockAndBin) {
  vesk::tools::HiveOptions options;
  auto b = vesk::tools::empty_hive(options, u"ROOT");
  ASSERT_EQ(b.size(), 0x2000u);
  EXPECT_EQ(std::memcmp(b.data(), "regf", 4), 0);
  EXPECT_EQ(Le32(b, 4), Le32(b, 8));  // cleanly written
  uint32_t sum = 0;
  for (size_t off = 0; off < 508; off += 4) sum ^= Le32(b, off);
  EXPECT_EQ(Le32(b, 508), sum);
  EXPECT_EQ(Le32(b, 40), 0x1000u);  // one bin
  EXPECT_EQ(std::memcmp(&b[0x1000], "hbin", 4), 0);
  EXPECT_EQ(Le32(b, 0x1008), 0x1000u);
  // The cells tile the bin exactly: root key, its security cell, free space.
  size_t root = 0x1000 + Le32(b, 36);
  EXPECT_EQ(std::memcmp(&b[root + 4], "nk", 2), 0);
  EXPECT_EQ(b[root + 6] & 0x04, 0x04);  // the hive's root
  size_t off = 0x1020;
  std::vector<std::string> kinds;
  while (off < 0x2000) {
    int32_t size = static_cast<int32_t>(Le32(b, off));
    ASSERT_NE(size, 0);
    uint32_t len = static_cast<uint32_t>(size < 0 ? -size : size);
    ASSERT_EQ(len % 8, 0u);
    kinds.push_back(size < 0 ? std::string(reinterpret_cast<const char *>(&b[off + 4]), 2)
                             : "free");
    off += len;
  }
  EXPECT_EQ(off, 0x2000u);
  EXPECT_EQ(kinds, (std::vector<std::string>{"nk", "sk", "free"}));
  size_t sk = 0x1000 + Le32(b, root + 4 + 44);
  EXPECT_EQ(std::memcmp(&b[sk + 4], "sk", 2), 0);
  EXPECT_EQ(Le32(b, sk + 16), 1u);  // referenced by the root alone

  fs::path file = dir_.path() / "empty";
  WriteFile(file, b);
  auto key = Open(file);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->child(u"anything"), nullptr);
  EXPECT_FALSE(key->value(u"").has_value());
  EXPECT_TRUE(emu::diagnostics().empty()) << AllDiagnostics();
}

TEST_F(HiveTest, ValuesReadBackByteForByte) {
  RegNode tree = EveryKindOfValue();
  auto key = Walk(Open(Write(tree)), u"Vendor\\Product");
  ASSERT_NE(key, nullptr);
  const RegNode *expected = tree.find(u"Vendor\\Product");
  ASSERT_NE(expected, nullptr);
  for (const auto &want : expected->values()) {
    SCOPED_TRACE(emu::to_utf8(want.name));
    auto got = key->value(want.name);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->type, want.type);
    EXPECT_EQ(got->data, want.data);
  }
  auto unterminated = key->value(u"Unterminated");
  ASSERT_TRUE(unterminated.has_value());
  EXPECT_EQ(unterminated->data.size(), 20u);  // nothing added on the way
  EXPECT_FALSE(key->value(u"Missing").has_value());
  EXPECT_TRUE(emu::diagnostics().empty()) << AllDiagnostics();
}

TEST_F(HiveTest, NamesKeepTheirCaseAndAreFoundWithoutRegardToIt) {
  RegNode root(u"ROOT");
  root.key(u"Größe\\Ключ").set_string(u"Имя", u"значение").set_dword(u"Mixed Case", 7);
  auto &many = root.key(u"Many");
  for (int i = 0; i < 300; ++i) many.key(u"Key" + emu::from_utf8(std::to_string(i)));
  auto hive = Open(Write(root));
  auto cyr = Walk(hive, u"GRÖSSE\\ключ");  // ß has no capital: not found that way
  EXPECT_EQ(cyr, nullptr);
  cyr = Walk(hive, u"gRÖße\\КЛЮЧ");
  ASSERT_NE(cyr, nullptr);
  auto v = cyr->value(u"иМЯ");
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->data, Utf16(u"значение", true));
  EXPECT_TRUE(cyr->value(u"MIXED case").has_value());
  auto m = hive->child(u"many");
  ASSERT_NE(m, nullptr);
  for (int i = 0; i < 300; i += 37)
    EXPECT_NE(m->child(u"KEY" + emu::from_utf8(std::to_string(i))), nullptr) << i;
  EXPECT_EQ(m->child(u"Key300"), nullptr);
}

TEST_F(HiveTest, ChildrenComeInOnePassInStoredOrderWithTheirKeys) {
  RegNode root(u"ROOT");
  auto &many = root.key(u"Many");
  for (int i = 0; i < 500; ++i)
    many.key(u"K" + emu::from_utf8(std::to_string(i)))
        .set_dword(u"N", static_cast<uint32_t>(i));
  auto m = Open(Write(root))->child(u"MANY");
  ASSERT_NE(m, nullptr);
  const auto names = m->subkeys();
  const auto children = m->children();
  ASSERT_EQ(children.size(), 500u);
  ASSERT_EQ(names.size(), children.size());
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(children[i].first, names[i]);
    ASSERT_NE(children[i].second, nullptr);
    auto v = children[i].second->value(u"N");
    ASSERT_TRUE(v.has_value());
    // Each key is the one its name says, and its own subkeys are searched.
    EXPECT_EQ(std::to_string(v->data[0] | v->data[1] << 8),
              emu::to_utf8(names[i]).substr(1));
    EXPECT_EQ(children[i].second->child(u"none"), nullptr);
  }
  // Looked up by name after the index is made, each name still finds its key.
  for (int i = 499; i >= 0; i -= 61) {
    auto k = m->child(u"k" + emu::from_utf8(std::to_string(i)));
    ASSERT_NE(k, nullptr) << i;
    EXPECT_EQ(k->value(u"N")->data[0], static_cast<uint8_t>(i));
  }
}

TEST_F(HiveTest, ManySubkeysAreLookedUpWithoutReadingEveryNameEachTime) {
  constexpr int kKeys = 3000;
  RegNode root(u"ROOT");
  auto &many = root.key(u"Many");
  for (int i = 0; i < kKeys; ++i) many.key(u"Src" + emu::from_utf8(std::to_string(i)));
  auto m = Open(Write(root))->child(u"Many");
  ASSERT_NE(m, nullptr);
  const uint64_t before = emu::hive_subkey_names_read();
  // Every name in reverse stored order, differently cased, then names that
  // are not there: a search per look-up would read ~kKeys^2/2 names.
  for (int i = kKeys - 1; i >= 0; --i)
    ASSERT_NE(m->child(u"sRC" + emu::from_utf8(std::to_string(i))), nullptr) << i;
  for (int i = kKeys; i < 2 * kKeys; ++i)
    ASSERT_EQ(m->child(u"Src" + emu::from_utf8(std::to_string(i))), nullptr) << i;
  const uint64_t read = emu::hive_subkey_names_read() - before;
  EXPECT_GE(read, static_cast<uint64_t>(kKeys));  // the names were read at all
  EXPECT_LE(read, static_cast<uint64_t>(kKeys) + 16);
  // Listing with the keys reads each name once more, not once per key.
  const uint64_t listed = emu::hive_subkey_names_read();
  EXPECT_EQ(m->children().size(), static_cast<size_t>(kKeys));
  EXPECT_LE(emu::hive_subkey_names_read() - listed, static_cast<uint64_t>(kKeys) + 16);
}

TEST_F(HiveTest, WriterRefusesWhatAHiveCannotHoldAndLeavesNoFile) {
  struct Case {
    const char *what;
    RegNode tree;
  };
  std::vector<Case> cases;
  {
    RegNode t;
    t.key(std::u16string(u"a\0b", 3));
    cases.push_back({"NUL in a key name", t});
  }
  {
    RegNode t;
    t.key(std::u16string(300, u'k'));
    cases.push_back({"key name over 255", t});
  }
  {
    RegNode t;
    t.key(u"K").set(std::u16string(u"v\0w", 3), REG_DWORD, {1, 0, 0, 0});
    cases.push_back({"NUL in a value name", t});
  }
  {
    RegNode t;
    t.key(u"K").set(u"Lone", REG_SZ, {}).set(std::u16string(1, char16_t(0xD800)), 3, {});
    cases.push_back({"unpaired surrogate", t});
  }
  {
    RegNode t;
    t.key(u"K").set(u"Huge", REG_BINARY, std::vector<uint8_t>(2000000, 1));
    cases.push_back({"value over the library's limit", t});
  }
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    fs::path file = dir_.path() / "refused";
    std::string error;
    EXPECT_FALSE(vesk::tools::write_hive(file, c.tree, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(fs::exists(file));
  }
}

// ------------------------------------------------------------------ peers

std::optional<std::string> RunCommand(const std::string &command) {
  FILE *p = popen(command.c_str(), "r");
  if (p == nullptr) return std::nullopt;
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int rc = pclose(p);
  if (rc != 0) return std::nullopt;
  return out;
}

bool Installed(const char *tool) {
  return RunCommand(std::string("command -v ") + tool + " >/dev/null 2>&1").has_value();
}

struct PeerValue {
  std::string type;  // as regfexport names it, e.g. "REG_SZ"
  size_t size = 0;
  std::string data;  // the text after "Data:" on its line, or the hex dump's bytes
};

// regfexport's listing: key path (without the root's name) -> values.
std::map<std::string, std::map<std::string, PeerValue>> ParseRegfexport(
    const std::string &out) {
  std::map<std::string, std::map<std::string, PeerValue>> keys;
  std::istringstream in(out);
  std::string line, key, value;
  bool in_dump = false;
  while (std::getline(in, line)) {
    if (line.rfind("Key path: ", 0) == 0) {
      std::string path = line.substr(10);
      size_t slash = path.find('\\');
      key = slash == std::string::npos ? "" : path.substr(slash + 1);
      keys[key];
      in_dump = false;
    } else if (line.rfind("Value: ", 0) == 0) {
      size_t space = line.find(' ', 7);
      value = space == std::string::npos ? "" : line.substr(space + 1);
      if (value == "(default)") value = "";
      keys[key][value];
      in_dump = false;
    } else if (line.rfind("Type: ", 0) == 0) {
      size_t open = line.rfind('('), close = line.rfind(')');
      if (open != std::string::npos && close != std::string::npos && close > open)
        keys[key][value].type = line.substr(open + 1, close - open - 1);
      else
        keys[key][value].type = line.substr(6);
    } else if (line.rfind("Data size: ", 0) == 0) {
      keys[key][value].size = std::stoul(line.substr(11));
    } else if (line == "Data:") {
      in_dump = true;
    } else if (line.rfind("Data: ", 0) == 0) {
      keys[key][value].data = line.substr(6);
    } else if (in_dump && line.size() > 10 && line[8] == ':') {
      // "00000000: 61 00 ...  ascii": the 16 hex columns.
      std::string hex = line.substr(10, 49);
      std::istringstream bytes(hex);
      std::string b;
      while (bytes >> b) keys[key][value].data += b;
    } else if (line.empty()) {
      in_dump = false;
    }
  }
  return keys;
}

std::string Hex(const std::vector<uint8_t> &b) {
  std::string out;
  char buf[3];
  for (uint8_t c : b) {
    std::snprintf(buf, sizeof buf, "%02x", c);
    out += buf;
  }
  return out;
}

TEST_F(HiveTest, IndependentReaderSeesTheSameKeysAndValues) {
  if (!Installed("regfexport"))
    GTEST_SKIP() << "regfexport (libregf-utils) not installed";
  RegNode tree = EveryKindOfValue();
  tree.key(u"Vendor\\Other\\Deep");
  tree.key(u"Größe").set_dword(u"Zahl", 5);
  fs::path file = Write(tree);
  auto out = RunCommand("regfexport '" + file.string() + "' 2>&1");
  ASSERT_TRUE(out.has_value());
  auto keys = ParseRegfexport(*out);
  std::vector<std::string> paths;
  for (const auto &[k, v] : keys) paths.push_back(k);
  EXPECT_EQ(paths, (std::vector<std::string>{"", "Größe", "Vendor", "Vendor\\Other",
                                             "Vendor\\Other\\Deep", "Vendor\\Product"}));
  const auto &product = keys["Vendor\\Product"];
  const RegNode *expected = tree.find(u"Vendor\\Product");
  EXPECT_EQ(product.size(), expected->values().size());
  const std::map<uint32_t, std::string> names = {{REG_NONE, "REG_NONE"},
                                                 {REG_SZ, "REG_SZ"},
                                                 {REG_EXPAND_SZ, "REG_EXPAND_SZ"},
                                                 {REG_BINARY, "REG_BINARY"},
                                                 {REG_DWORD, "REG_DWORD_LITTLE_ENDIAN"},
                                                 {REG_MULTI_SZ, "REG_MULTI_SZ"},
                                                 {REG_QWORD, "REG_QWORD_LITTLE_ENDIAN"}};
  for (const auto &want : expected->values()) {
    std::string name = emu::to_utf8(want.name);
    SCOPED_TRACE(name);
    auto it = product.find(name);
    ASSERT_NE(it, product.end());
    // libregf pads a 1- or 3-byte string held in its value record to whole
    // UTF-16 units, and reads other data under 4 bytes held there from the
    // wrong end; hivex and Windows keep it at the start.
    bool odd_inline = want.data.size() < 4 && want.data.size() % 2 == 1 &&
                      (want.type == REG_SZ || want.type == REG_EXPAND_SZ);
    EXPECT_EQ(it->second.size, want.data.size() + (odd_inline ? 1 : 0));
    auto type = names.find(want.type);
    if (type != names.end()) {
      EXPECT_EQ(it->second.type, type->second);
    }
    if ((want.type == REG_BINARY || want.type == REG_MULTI_SZ) && want.data.size() >= 4) {
      EXPECT_EQ(it->second.data, Hex(want.data));
    }
  }
  EXPECT_EQ(product.at("Terminated").data, "C:\\WINDOWS");
  EXPECT_EQ(product.at("").data, "the default");
  EXPECT_EQ(product.at("Dword").data, std::to_string(0xDEADBEEFu));
  EXPECT_EQ(keys["Größe"]["Zahl"].data, "5");
}

TEST_F(HiveTest, HiveToolsReadWrittenHives) {
  if (!Installed("hivexget") || !Installed("hivexsh"))
    GTEST_SKIP() << "hivexget/hivexsh (libhivex-bin) not installed";
  RegNode tree = EveryKindOfValue();
  tree.key(u"Vendor\\Zeta");
  tree.key(u"Vendor\\alpha");
  fs::path file = Write(tree);
  auto s = RunCommand("hivexget '" + file.string() + "' '\\Vendor\\Product' Terminated");
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(*s, "C:\\WINDOWS\n");
  s = RunCommand("hivexget '" + file.string() + "' '\\VENDOR\\product' Dword");
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(*s, std::to_string(static_cast<int32_t>(0xDEADBEEF)) + "\n");
  s = RunCommand("hivexget '" + file.string() + "' '\\Vendor\\Product' Multi");
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(*s, "first\n\nthird\n\n");  // it counts the closing NUL as a last, empty one
  // Subkeys listed in the order the system keeps them: by upper-cased name.
  fs::path script = dir_.path() / "script";
  std::ofstream(script) << "cd Vendor\nls\n";
  s = RunCommand("hivexsh -f '" + script.string() + "' '" + file.string() + "'");
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(*s, "alpha\nProduct\nZeta\n");
}

// Recursively: the same names (case kept), values and subkeys, in any order.
void ExpectSameTree(const RegNode &want, const RegNode &got, const std::string &path) {
  SCOPED_TRACE(path);
  EXPECT_EQ(got.values().size(), want.values().size());
  for (const auto &v : want.values()) {
    const auto *g = got.value(v.name);
    ASSERT_NE(g, nullptr) << emu::to_utf8(v.name);
    EXPECT_EQ(g->name, v.name);
    EXPECT_EQ(g->type, v.type) << emu::to_utf8(v.name);
    EXPECT_EQ(g->data, v.data) << emu::to_utf8(v.name);
  }
  EXPECT_EQ(got.children().size(), want.children().size());
  for (const auto &c : want.children()) {
    const RegNode *g = got.find(c.name());
    ASSERT_NE(g, nullptr) << emu::to_utf8(c.name());
    EXPECT_EQ(g->name(), c.name());
    ExpectSameTree(c, *g, path + "\\" + emu::to_utf8(c.name()));
  }
}

TEST_F(HiveTest, HiveToolsExportRoundTripsThroughTheRegParser) {
  if (!Installed("hivexregedit"))
    GTEST_SKIP() << "hivexregedit (libwin-hivex-perl) not installed";
  // Its export prints names in the encoding the hive stores them in, so the
  // names here are ASCII; the data is anything.
  RegNode tree = EveryKindOfValue();
  tree.set_string(u"AtRoot", u"x", REG_EXPAND_SZ);
  tree.key(u"Vendor\Empty Key");
  fs::path file = Write(tree);
  auto out =
      RunCommand("hivexregedit --export --prefix 'HKEY_LOCAL_MACHINE\\SOFTWARE' '" +
                 file.string() + "' '\\'");
  ASSERT_TRUE(out.has_value());
  RegNode parsed;
  std::string error;
  ASSERT_TRUE(vesk::tools::parse_reg(*out, &parsed, &error)) << error;
  const RegNode *software = parsed.find(u"HKEY_LOCAL_MACHINE\\SOFTWARE");
  ASSERT_NE(software, nullptr);
  ExpectSameTree(tree, *software, "");
}

// ------------------------------------------------------------------ .reg text

TEST_F(HiveTest, RegTextForms) {
  const char *text = R"(Windows Registry Editor Version 5.00

; a comment
[HKEY_LOCAL_MACHINE\SOFTWARE\Vendor]
@="default"
"Quoted"="a \"b\" c:\\d"
"Dword"=dword:0000002a
"Short"=dword:7
"Bin"=hex:de,ad,be,ef
"Expand"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,74,\
  00,25,00,00,00
"NoTerm"=hex(1):41,00,42,00
"Empty"=hex(0):
"Q"=hex(b):01,00,00,00,00,00,00,00
"Readable"=str(2):"%SystemRoot%\\x.dll"
"Gone"="soon"
"Gone"=-

[hkey_local_machine\SOFTWARE\Vendor\Sub\]
"Name with = sign" = "spaced"

[HKEY_LOCAL_MACHINE\SOFTWARE\Doomed\Child]
"x"=dword:1
[-HKEY_LOCAL_MACHINE\SOFTWARE\Doomed]
"ignored"="value of a deleted key"
)";
  RegNode reg;
  std::string error;
  ASSERT_TRUE(vesk::tools::parse_reg(text, &reg, &error)) << error;
  const RegNode *v = reg.find(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor");
  ASSERT_NE(v, nullptr);
  auto value = [&](std::u16string_view name) {
    const auto *x = v->value(name);
    return x ? *x : vesk::tools::RegNodeValue{u"<missing>", 0xFFFF, {}};
  };
  EXPECT_EQ(value(u"").data, Utf16(u"default", true));
  EXPECT_EQ(value(u"Quoted").data, Utf16(u"a \"b\" c:\\d", true));
  EXPECT_EQ(value(u"Dword").type, REG_DWORD);
  EXPECT_EQ(value(u"Dword").data, (std::vector<uint8_t>{42, 0, 0, 0}));
  EXPECT_EQ(value(u"Short").data, (std::vector<uint8_t>{7, 0, 0, 0}));
  EXPECT_EQ(value(u"Bin").type, REG_BINARY);
  EXPECT_EQ(value(u"Bin").data, (std::vector<uint8_t>{0xde, 0xad, 0xbe, 0xef}));
  EXPECT_EQ(value(u"Expand").type, REG_EXPAND_SZ);
  EXPECT_EQ(value(u"Expand").data, Utf16(u"%SystemRoot%", true));
  EXPECT_EQ(value(u"NoTerm").data, Utf16(u"AB", false));  // stored as written
  EXPECT_EQ(value(u"Empty").type, REG_NONE);
  EXPECT_TRUE(value(u"Empty").data.empty());
  EXPECT_EQ(value(u"Q").type, REG_QWORD);
  EXPECT_EQ(value(u"Readable").type, REG_EXPAND_SZ);
  EXPECT_EQ(value(u"Readable").data, Utf16(u"%SystemRoot%\\x.dll", true));
  EXPECT_EQ(v->value(u"Gone"), nullptr);
  const RegNode *sub = reg.find(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Sub");
  ASSERT_NE(sub, nullptr);
  ASSERT_NE(sub->value(u"Name with = sign"), nullptr);
  EXPECT_EQ(reg.find(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Doomed"), nullptr);
  // Root names are kept as regedit spells them.
  EXPECT_EQ(reg.children().size(), 1u);
  EXPECT_EQ(reg.children().front().name(), u"HKEY_LOCAL_MACHINE");
}

TEST_F(HiveTest, RegTextErrorsNameTheirLine) {
  struct Case {
    const char *text;
    const char *line;
  };
  const Case cases[] = {
      {"REGEDIT5\n", "line 1:"},
      {"", "line 1:"},
      {"REGEDIT4\n\n\"v\"=dword:1\n", "line 3:"},
      {"REGEDIT4\n[HKLM\\SOFTWARE]\n", "line 2:"},
      {"REGEDIT4\n[HKEY_USERS\\X]\n\"v\"=dword:123456789\n", "line 3:"},
      {"REGEDIT4\n[HKEY_USERS\\X]\n\"v\"=hex:zz\n", "line 3:"},
      {"REGEDIT4\n[HKEY_USERS\\X]\n\"v\"=hex:01,\\", "line 3:"},
      {"REGEDIT4\n[HKEY_USERS\\X]\n\"v\"=\"open\n", "line 3:"},
      {"REGEDIT4\n[HKEY_USERS\\X]\n\"v\"=\"a\" junk\n", "line 3:"},
      {"REGEDIT4\n[HKEY_USERS\\X]\n\"v\" \"a\"\n", "line 3:"},
      {"REGEDIT4\n[HKEY_USERS\\X]\n\"v\"=sz:a\n", "line 3:"},
      {"REGEDIT4\n[HKEY_USERS\\X\n", "line 2:"},
      {"REGEDIT4\n[HKEY_USERS\\X]\nplain words\n", "line 3:"},
      {"REGEDIT4\n[HKEY_USERS\\X]\n\"v\"=hex(2:00\n", "line 3:"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    RegNode reg;
    std::string error;
    EXPECT_FALSE(vesk::tools::parse_reg(c.text, &reg, &error));
    EXPECT_EQ(error.rfind(c.line, 0), 0u) << error;
  }
}

TEST_F(HiveTest, RegTextEncodings) {
  // Version 5.00 as regedit writes it: UTF-16LE with a byte order mark, CR LF.
  std::u16string text =
      u"Windows Registry Editor Version "
      u"5.00\r\n\r\n[HKEY_USERS\\S]\r\n\"Ключ\"=\"знач\"\r\n";
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  RegNode reg;
  std::string error;
  ASSERT_TRUE(vesk::tools::parse_reg(bytes, &reg, &error)) << error;
  const RegNode *s = reg.find(u"HKEY_USERS\\S");
  ASSERT_NE(s, nullptr);
  ASSERT_NE(s->value(u"ключ"), nullptr);
  EXPECT_EQ(s->value(u"ключ")->data, Utf16(u"знач", true));

  // REGEDIT4 is ANSI (code page 1252); its string hex data is widened.
  RegNode ansi;
  ASSERT_TRUE(vesk::tools::parse_reg(
      "REGEDIT4\r\n\r\n[HKEY_USERS\\A]\r\n\"Caf\xE9\"=\"\x80 5\"\r\n"
      "\"P\"=hex(2):25,41,25,80,00\r\n\"B\"=hex:80\r\n",
      &ansi, &error))
      << error;
  const RegNode *a = ansi.find(u"HKEY_USERS\\A");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(a->value(u"Café"), nullptr);
  EXPECT_EQ(a->value(u"Café")->data, Utf16(u"€ 5", true));
  EXPECT_EQ(a->value(u"P")->data, Utf16(std::u16string(u"%A%€\0", 5), false));
  EXPECT_EQ(a->value(u"B")->data, (std::vector<uint8_t>{0x80}));  // binary stays binary
}

TEST_F(HiveTest, RegTextDescribesHivesThatReadBack) {
  const char *text = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\Select]
"Current"=dword:00000002

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet002\Services\EventLog\Application\Demo]
"EventMessageFile"=str(2):"%SystemRoot%\\System32\\demo.dll"
"TypesSupported"=dword:00000007
)";
  RegNode reg;
  std::string error;
  ASSERT_TRUE(vesk::tools::parse_reg(text, &reg, &error)) << error;
  ASSERT_TRUE(vesk::tools::write_system_hives(dir_.path(),
                                              *reg.find(u"HKEY_LOCAL_MACHINE"), &error))
      << error;
  fs::path config = dir_.path() / "WINDOWS" / "system32" / "config";
  for (const char *name : {"SYSTEM", "SOFTWARE", "SAM"})
    EXPECT_TRUE(fs::is_regular_file(config / name)) << name;
  auto system = Open(config / "SYSTEM", true);
  auto demo = Walk(system, u"CurrentControlSet\\Services\\EventLog\\Application\\Demo");
  ASSERT_NE(demo, nullptr);
  auto v = demo->value(u"EventMessageFile");
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->type, REG_EXPAND_SZ);
  EXPECT_EQ(v->data, Utf16(u"%SystemRoot%\\System32\\demo.dll", true));
  auto software = Open(config / "SOFTWARE");
  EXPECT_EQ(software->child(u"Microsoft"), nullptr);  // written empty
}

// ------------------------------------------------------------------ open_hive

RegNode SystemWithControlSets() {
  RegNode sys(u"SYSTEM");
  for (int n : {1, 2, 3}) {
    char name[32];
    std::snprintf(name, sizeof name, "ControlSet%03d", n);
    sys.key(emu::from_utf8(name) + u"\\Control")
        .set_dword(u"Which", static_cast<uint32_t>(n));
  }
  return sys;
}

uint32_t Which(const std::shared_ptr<emu::RegKey> &system) {
  auto control = Walk(system, u"CurrentControlSet\\Control");
  if (!control) return 0;
  auto v = control->value(u"Which");
  return v && v->data.size() == 4 ? v->data[0] : 0;
}

TEST_F(HiveTest, CurrentControlSetIsTheOneSelectCurrentNames) {
  RegNode sys = SystemWithControlSets();
  sys.key(u"Select").set_dword(u"Current", 2).set_dword(u"Default", 1);
  fs::path file = Write(sys);
  auto system = Open(file, true);
  EXPECT_EQ(Which(system), 2u);
  EXPECT_NE(Walk(system, u"currentcontrolset\\CONTROL"), nullptr);
  EXPECT_TRUE(emu::diagnostics().empty()) << AllDiagnostics();
  // Only a SYSTEM hive has one.
  auto plain = Open(file, false);
  EXPECT_EQ(plain->child(u"CurrentControlSet"), nullptr);
  // And only at its root.
  EXPECT_EQ(Walk(system, u"ControlSet001\\CurrentControlSet"), nullptr);
}

TEST_F(HiveTest, WithoutSelectCurrentControlSetFallsBackToTheFirstSet) {
  fs::path file = Write(SystemWithControlSets());
  auto system = Open(file, true);
  EXPECT_EQ(Which(system), 1u);
  EXPECT_TRUE(HasDiagnostic(file.string(), "ControlSet001")) << AllDiagnostics();
}

TEST_F(HiveTest, BrokenSelectLeavesNoCurrentControlSetAndSaysWhy) {
  struct Case {
    const char *what;
    std::vector<uint8_t> data;
    uint32_t type;
    const char *said;
    uint32_t which;  // what CurrentControlSet then is (0: none)
  };
  const Case cases[] = {
      {"names a missing set", {9, 0, 0, 0}, REG_DWORD, "ControlSet009", 0},
      {"not a DWORD", Utf16(u"2", true), REG_SZ, "REG_DWORD", 1},
      {"too short", {2, 0}, REG_DWORD, "REG_DWORD", 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    emu::clear_diagnostics();
    RegNode sys = SystemWithControlSets();
    sys.key(u"Select").set(u"Current", c.type, c.data);
    fs::path file = Write(sys, std::string("select-") + c.said);
    auto system = Open(file, true);
    EXPECT_EQ(Which(system), c.which);
    EXPECT_TRUE(HasDiagnostic(file.string(), c.said)) << AllDiagnostics();
  }
}

TEST_F(HiveTest, FilesThatAreNotHivesAreRefusedWithTheReason) {
  RegNode tree = EveryKindOfValue();
  auto good = ReadFile(Write(tree, "good"));
  ASSERT_GT(good.size(), 0x3000u);
  std::vector<uint8_t> garbage(0x4000);
  for (size_t i = 0; i < garbage.size(); ++i)
    garbage[i] = static_cast<uint8_t>(i * 31 + 7);
  auto bad_sum = good;
  bad_sum[100] ^= 0x55;
  auto truncated = good;
  truncated.resize(0x3000);
  auto tiny = good;
  tiny.resize(0x1800);
  struct Case {
    const char *name;
    std::optional<std::vector<uint8_t>> bytes;  // none: no file at all
    const char *reason;
  };
  const Case cases[] = {
      {"missing", std::nullopt, "No such file"},
      {"emptyfile", std::vector<uint8_t>{}, "8192"},
      {"tiny", tiny, "8192"},
      {"garbage", garbage, "regf"},
      {"checksum", bad_sum, "checksum"},
      {"truncated", truncated, "truncated"},  // the library itself would open it
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    emu::clear_diagnostics();
    fs::path file = dir_.path() / c.name;
    if (c.bytes) WriteFile(file, *c.bytes);
    std::string error;
    EXPECT_EQ(emu::open_hive(file, true, &error), nullptr);
    EXPECT_NE(error.find(file.string()), std::string::npos) << error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_TRUE(HasDiagnostic(file.string(), c.reason)) << AllDiagnostics();
  }
}

TEST_F(HiveTest, DamagedKeysAreReportedOnceAndFoundAbsent) {
  RegNode tree(u"ROOT");
  tree.set_dword(u"AtRoot", 1);
  tree.key(u"Child").set_dword(u"Kept", 2);
  fs::path file = Write(tree);
  auto bytes = ReadFile(file);
  size_t root = 0x1000 + Le32(bytes, 36);
  ASSERT_EQ(std::memcmp(&bytes[root + 4], "nk", 2), 0);
  SetLe32(bytes, root + 4 + 28, 0x7FFFFF00u);  // subkey list: outside the file
  SetLe32(bytes, root + 4 + 40, 0x7FFFFF00u);  // value list: the same
  fs::path damaged = dir_.path() / "damaged";
  WriteFile(damaged, bytes);
  auto key = Open(damaged);
  ASSERT_NE(key, nullptr);  // the base block is intact
  EXPECT_EQ(key->child(u"Child"), nullptr);
  EXPECT_EQ(key->child(u"Child"), nullptr);
  EXPECT_FALSE(key->value(u"AtRoot").has_value());
  std::string fault = std::strerror(EFAULT);
  size_t subkey_reports = 0, value_reports = 0;
  for (const auto &d : emu::diagnostics()) {
    EXPECT_NE(d.find(damaged.string()), std::string::npos) << d;
    EXPECT_NE(d.find(fault), std::string::npos) << d;
    if (d.find("subkeys") != std::string::npos) ++subkey_reports;
    if (d.find("values") != std::string::npos) ++value_reports;
  }
  EXPECT_EQ(subkey_reports, 1u) << AllDiagnostics();
  EXPECT_EQ(value_reports, 1u) << AllDiagnostics();
}

TEST_F(HiveTest, KeysKeepTheirHiveOpenAndLookupsMayComeFromManyThreads) {
  RegNode tree = EveryKindOfValue();
  std::shared_ptr<emu::RegKey> product = Walk(Open(Write(tree)), u"Vendor\\Product");
  ASSERT_NE(product, nullptr);  // the root key is gone; its hive is not
  const RegNode *expected = tree.find(u"Vendor\\Product");
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i)
        for (const auto &want : expected->values()) {
          auto got = product->value(want.name);
          if (!got || got->data != want.data) ++mismatches;
        }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
