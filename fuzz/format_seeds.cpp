// Writes the seed corpus of format_fuzz into the directory named on the
// command line: message texts with escapes, inserts and printf formats,
// under the width bytes 0, 0xFF and a wrapping width, with their insertion
// strings (see format_fuzz.cpp for the layout).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Seed {
  uint8_t width;
  bool ignore;
  uint16_t capacity;
  std::u16string text;
  std::vector<std::u16string> args;
};

bool Write(const std::filesystem::path &dir, int n, const Seed &s) {
  std::string bytes;
  bytes.push_back(static_cast<char>(s.width));
  bytes.push_back(s.ignore ? 1 : 0);
  bytes.push_back(static_cast<char>(s.capacity & 0xFF));
  bytes.push_back(static_cast<char>(s.capacity >> 8));
  auto put = [&](const std::u16string &text) {
    for (char16_t c : text) {
      bytes.push_back(static_cast<char>(c & 0xFF));
      bytes.push_back(static_cast<char>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
  };
  put(s.text);
  for (const auto &a : s.args) put(a);
  std::ofstream f(dir / ("seed-" + std::to_string(n)), std::ios::binary);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: format_seeds DIR\n");
    return 2;
  }
  std::filesystem::path dir(argv[1]);
  std::filesystem::create_directories(dir);
  const std::vector<Seed> seeds = {
      {0xFF,
       false,
       512,
       u"User %1 logged on to %2 from %3 (%4).\r\n",
       {u"alice", u"PC1", u"10.0.0.1"}},
      {0, false, 512, u"First line%nsecond line\r\nthird%0rest", {}},
      {0xFF, true, 512, u"test%1%2!*.*s!%99 %%% %.%! %n%r%t", {}},
      {0,
       false,
       512,
       u"%1!-6s!|%2!04x!|%3!+d!|%4!c!|%1%%%t.",
       {u"ab", u"\x1f", u"7", u"Z"}},
      {0,
       false,
       512,
       u"%1!*.*u!,%1!*.*u!,%4!*.*s!,%5!.3S!",
       {u"\x06", u"\x04", u"\x02", u"\x05", u"abcdef"}},
      {11, false, 512, u"   shortlong line and a wordlongerthanaline\tx", {}},
      {5, false, 512, u"l1               %1", {u"y y y y y y"}},
      {0, false, 4, u"test", {}},
      {0, false, 0, u"test%", {}},
      {0xFF, false, 512, u"%12%123%1!I64u!%1!#o!%1!hd!%1!p!", {u"a", u"b"}},
      {0, false, 512, u"%1!d units!%2!f!%3!5!", {u"1", u"2", u"3"}},
      {0, false, 512, u"Account:%t%1%nDomain:%t%2%n", {}},
  };
  bool ok = true;
  for (size_t i = 0; i < seeds.size(); ++i)
    ok &= Write(dir, static_cast<int>(i), seeds[i]);
  return ok ? 0 : 1;
}
