// Formats messages from a cached source, memoised failures and parameter
// expansions, and prints how many of each one core does per second.
//
//   messages_bench [--seconds S]
//
// The message file is the toolchain-built one of the tests, served from
// memory by a simulated local computer.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>

#include "api/context.h"
#include "messages/convert.h"
#include "platform/emulated/seam.h"

namespace emu = vesk::emu;

namespace {

std::vector<uint8_t> ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "messages_bench: cannot read %s\n", path.c_str());
    std::exit(1);
  }
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Runs `step` in batches until `seconds` of this process's processor time
// have passed; returns calls per processor second.  Processor time rather
// than wall time, so that other work on a shared machine does not count.
template <typename Step>
double Rate(double seconds, Step step) {
  uint64_t calls = 0;
  std::clock_t start = std::clock();
  double elapsed = 0;
  do {
    for (int i = 0; i < 10000; ++i) step();
    calls += 10000;
    elapsed = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  } while (elapsed < seconds);
  return static_cast<double>(calls) / elapsed;
}

}  // namespace

int main(int argc, char **argv) {
  double seconds = 2.0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--seconds" && i + 1 < argc) {
      seconds = std::strtod(argv[++i], nullptr);
    } else {
      std::fprintf(stderr, "usage: %s [--seconds S]\n", argv[0]);
      return 2;
    }
  }

  emu::reset();
  auto local = std::make_shared<emu::Computer>(u"BENCH");
  local->add_file(u"C:\\WINDOWS\\system32\\app.dll",
                  ReadFile(std::string(VESK_MESSAGE_DLL_DIR) + "/app32.dll"));
  local->add_file(u"C:\\WINDOWS\\system32\\params.dll",
                  ReadFile(std::string(VESK_MESSAGE_DLL_DIR) + "/params32.dll"));
  auto source =
      local->key(u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Bench");
  source->set_string(u"EventMessageFile", u"%SystemRoot%\\system32\\app.dll",
                     REG_EXPAND_SZ);
  source->set_string(u"ParameterMessageFile", u"%SystemRoot%\\system32\\params.dll",
                     REG_EXPAND_SZ);
  emu::set_local(local);

  auto ctx = std::make_unique<CEvtLog>();
  lstrcpyW(ctx->log_name, u"Application");
  lstrcpyW(ctx->system_root, u"C:\\WINDOWS");

  static WCHAR buffer[32010];
  const WCHAR *args[99] = {u"Alpha", u"4", u"HOST", u"ok"};
  CEvtSource *messages = ctx->GetSource(u"Bench", kMessageModule);
  DWORD count = messages->FormatFrom(ctx.get(), 1000, 0x28FF, buffer, 32010, args);
  if (count == 0 || ctx->error_pending) {
    std::fprintf(stderr, "messages_bench: message 1000 does not format\n");
    return 1;
  }
  std::printf("message: %s\n", emu::to_utf8(buffer).c_str());

  double format = Rate(seconds, [&] {
    messages->FormatFrom(ctx.get(), 1000, 0x28FF, buffer, 32010, args);
  });
  double lookup_format = Rate(seconds, [&] {
    ctx->GetSource(u"Bench", kMessageModule)
        ->FormatFrom(ctx.get(), 1000, 0x28FF, buffer, 32010, args);
  });
  messages->FormatFrom(ctx.get(), 4242, 0x28FF, buffer, 32010, args);  // memoised now
  ctx->ClearError();
  double memo = Rate(seconds, [&] {
    messages->FormatFrom(ctx.get(), 4242, 0x28FF, buffer, 32010, args);
  });
  LPCWSTR expanded = convert(ctx.get(), u"Bench", 0, u"Access mode %%1 granted");
  if (expanded == nullptr || ctx->error_pending) {
    std::fprintf(stderr, "messages_bench: the parameter reference does not expand\n");
    return 1;
  }
  std::printf("expansion: %s\n", emu::to_utf8(expanded).c_str());
  double expand =
      Rate(seconds, [&] { convert(ctx.get(), u"Bench", 0, u"Access mode %%1 granted"); });

  std::printf("FormatFrom, cached source, 4 inserts:           %12.0f messages/s\n",
              format);
  std::printf("GetSource then FormatFrom, the same:            %12.0f messages/s\n",
              lookup_format);
  std::printf("FormatFrom, memoised failure:                   %12.0f calls/s\n", memo);
  std::printf("convert, one parameter reference:               %12.0f strings/s\n",
              expand);
  ctx.reset();
  emu::reset();
  return 0;
}
