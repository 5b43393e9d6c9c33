#include "testlib.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace vesk::test {
namespace {

void Put32(std::vector<uint8_t> &out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

std::shared_ptr<emu::Computer> MakeComputer(const std::u16string &name,
                                            const std::vector<std::u16string> &logs) {
  auto c = std::make_shared<emu::Computer>(name);
  c->key(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion")
      ->set_string(u"SystemRoot", u"C:\\WINDOWS");
  for (const auto &log : logs) c->add_log(log, EmptyLog());
  return c;
}

std::vector<uint8_t> EmptyLog() {
  std::vector<uint8_t> out;
  // Header: sizes, signature, version 1.1, start = end = 0x30, next record
  // 1, oldest 0, maximum size, no flags, no retention.
  for (uint32_t v :
       {0x30u, 0x654C664Cu, 1u, 1u, 0x30u, 0x30u, 1u, 0u, 0x80000u, 0u, 0u, 0x30u})
    Put32(out, v);
  // End-of-file record at 0x30.
  for (uint32_t v : {0x28u, 0x11111111u, 0x22222222u, 0x33333333u, 0x44444444u, 0x30u,
                     0x30u, 1u, 0u, 0x28u})
    Put32(out, v);
  return out;
}

std::string Utf8(const WCHAR *text) {
  if (text == nullptr) return {};
  return emu::to_utf8(std::u16string_view(reinterpret_cast<const char16_t *>(text)));
}

std::string ErrorText(VESKHANDLE handle) {
  VARIANT v;
  VariantInit(&v);
  std::string out;
  if (VeskGetError(handle, &v) == 1 && V_VT(&v) == VT_BSTR) out = Utf8(V_BSTR(&v));
  VariantClear(&v);
  return out;
}

bool HasDiagnostic(const std::string &a, const std::string &b) {
  for (const auto &d : emu::diagnostics())
    if (d.find(a) != std::string::npos && d.find(b) != std::string::npos) return true;
  return false;
}

std::string AllDiagnostics() {
  std::string out;
  for (const auto &d : emu::diagnostics()) out += d + "\n";
  return out;
}

std::filesystem::path SamplesDir() {
  const char *env = std::getenv("VESK_SAMPLES");
  return env != nullptr && *env != '\0' ? std::filesystem::path(env)
                                        : std::filesystem::path(VESK_SAMPLES_DIR);
}

std::string SamplesMissing(const std::filesystem::path &dir) {
  return "the real sample logs are not in " + dir.string() +
         ": set VESK_SAMPLES to the folder that holds them";
}

TempDir::TempDir(const std::string &tag) {
  static std::atomic<int> counter{0};
  path_ =
      std::filesystem::temp_directory_path() /
      ("vesk-" + tag + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace vesk::test
