// Helpers shared by the library's tests: computers in memory, minimal logs.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/emulated/seam.h"
#include "platform/platform.h"

namespace vesk::test {

// A computer with SystemRoot C:\WINDOWS and the given logs, each an empty
// event log file held in memory.
std::shared_ptr<emu::Computer> MakeComputer(const std::u16string &name,
                                            const std::vector<std::u16string> &logs = {
                                                u"Application", u"System", u"Security"});

// The bytes of a valid empty event log file (header and end-of-file record).
std::vector<uint8_t> EmptyLog();

// The latched text of a handle, as UTF-8 ("" when none is pending).
std::string ErrorText(VESKHANDLE handle);

// UTF-16 text as UTF-8.
std::string Utf8(const WCHAR *text);

// Whether one of the platform's diagnostics holds both `a` and `b`.
bool HasDiagnostic(const std::string &a, const std::string &b = "");

// Every diagnostic, a line each, for a failure message.
std::string AllDiagnostics();

// A fresh directory under the system's temporary directory, removed with
// everything in it on destruction.  Its name holds the process id and a
// counter, so tests that ctest runs side by side never share one.
// The folder of the real sample logs: $VESK_SAMPLES, else the shared samples
// beside the source tree.  Tests that read them skip when it is absent.
std::filesystem::path SamplesDir();
std::string SamplesMissing(const std::filesystem::path &dir);

class TempDir {
 public:
  explicit TempDir(const std::string &tag);
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::filesystem::path &path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace vesk::test

// Binds `dir` to the real sample logs' folder, or skips the test with a
// message that names VESK_SAMPLES.
#define VESK_REQUIRE_SAMPLES(dir)                               \
  const std::filesystem::path dir = ::vesk::test::SamplesDir(); \
  if (!std::filesystem::is_directory(dir))                      \
  GTEST_SKIP() << ::vesk::test::SamplesMissing(dir)
