// mkbiglog: writes a large Application log for the sample computer, with
// records of the sources that its registry and message DLLs know (VeskDemo,
// MsiInstaller, Application Error, VeskBackup), so that a walk formats real
// messages, categories, parameter references and account names.
//
//   mkbiglog [--records N] FILE.evt
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "evtwriter.h"
#include "platform/emulated/seam.h"

namespace emu = vesk::emu;

int main(int argc, char **argv) {
  uint32_t records = 200'000;
  const char *out = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--records") == 0 && i + 1 < argc)
      records = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    else if (argv[i][0] != '-' && out == nullptr)
      out = argv[i];
    else
      out = nullptr, i = argc;
  }
  if (out == nullptr) {
    std::fprintf(stderr, "usage: mkbiglog [--records N] FILE.evt\n");
    return 2;
  }
  const auto system = vesk::tools::evt_sid("S-1-5-18");
  const auto alice =
      vesk::tools::evt_sid("S-1-5-21-1060284298-842925246-1957994488-1003");
  vesk::tools::EvtWriter w(out, {});
  vesk::tools::EvtRecord r;
  r.computer = u"SAMPLEPC";
  for (uint32_t n = 1; n <= records; ++n) {
    r.time_generated = r.time_written = 1078128000u + n * 7;
    const std::u16string num = emu::from_utf8(std::to_string(n));
    r.sid.clear();
    r.source = u"VeskDemo";
    switch (n % 10) {
      case 0:
        r.event_id = 0x40000004;
        r.event_type = 4;
        r.category = 1;
        r.strings = {u"a;b", u"", u"c", u"%%1", u"%%2 of " + num};
        break;
      case 1:
      case 4:
        r.event_id = 0x80000002;
        r.event_type = 2;
        r.category = 2;
        r.strings = {u"C:\\Demo\\cache" + num, u"85"};
        break;
      case 2:
        r.source = u"MsiInstaller";
        r.event_id = 11707;
        r.event_type = 4;
        r.category = 0;
        r.strings = {u"Product: Demo Tools " + num +
                     u" -- Installation completed successfully."};
        r.sid = alice;
        break;
      case 3:
        r.source = u"Application Error";
        r.event_id = 1000;
        r.event_type = 1;
        r.category = 0;
        r.strings = {u"demo.exe", u"1.0.3.0", u"demomod.dll", u"1.0.3.0", u"0000a1f3"};
        break;
      case 5:
        r.event_id = 0xC0000003;
        r.event_type = 1;
        r.category = 3;
        r.strings = {u"ERR_TIMEOUT", num};
        r.sid = system;
        break;
      default:
        r.event_id = 0x40000001;
        r.event_type = 4;
        r.category = 1;
        r.strings = {u"Demo service " + num, u"1.0.3"};
        r.sid = n % 3 == 0 ? system : alice;
    }
    if (!w.add(r)) {
      std::fprintf(stderr, "mkbiglog: %s\n", w.error().c_str());
      return 1;
    }
  }
  if (!w.finish()) {
    std::fprintf(stderr, "mkbiglog: %s\n", w.error().c_str());
    return 1;
  }
  std::printf("mkbiglog: %u records in %s\n", records, out);
  return 0;
}
