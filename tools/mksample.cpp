// mksample: writes the sample system, two computers each laid out as a
// Windows system drive:
//
//   OUT/samplepc   SAMPLEPC, the local computer: WINDOWS/system32/config with
//                  the SYSTEM, SOFTWARE and SAM hives and the Application,
//                  System, Security and DemoLog logs (DemoLog has wrapped);
//                  the Archive log is registered but has no file
//   OUT/filesrv    FILESRV, a remote computer: WINNT/..., its logs stored
//                  under lower-case names, the File Replication Service log;
//                  its System log was left dirty (a stale header)
//   OUT/logs.tsv   one line per log: role, computer, directory, log, records,
//                  file
//
// The registries are the .reg files in tools/sample (or --reg-dir DIR); the
// accounts of each SAM hive are laid down here, in Windows' own record
// layouts, under the domain SID that the logs' records carry.  Each log is
// written where its registry's File value puts it, and each message file
// that an event source names (EventMessageFile, CategoryMessageFile,
// ParameterMessageFile) is copied where the registry puts it from the
// message DLLs that the build made from the .mc sources in
// tools/sample/messages (or --dll-dir DIR), matched by the name without its
// extension (disk.sys is disk.dll).  So the registry is the one description
// of where the logs and the message files are.  A named file that no DLL
// matches stays missing, and vbakold.dll is written as a truncated image
// that cannot be loaded.
//
//   mksample [--reg-dir DIR] [--dll-dir DIR] OUT
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "evtwriter.h"
#include "hivewriter.h"
#include "platform/emulated/seam.h"
#include "regtext.h"
#include "samwriter.h"

namespace {

namespace fs = std::filesystem;
namespace emu = vesk::emu;
using vesk::tools::EvtOptions;
using vesk::tools::EvtRecord;
using vesk::tools::EvtWriter;
using vesk::tools::RegNode;
using vesk::tools::SamAccount;
using vesk::tools::SamKind;

// 2004-03-01 08:00:00 UTC: the sample's logs start here.
constexpr uint32_t kStart = 1078128000;

// Event types.
constexpr uint16_t kError = 1, kWarning = 2, kInformation = 4, kAuditSuccess = 8,
                   kAuditFailure = 16;

const char *const kSamplePcDomain = "S-1-5-21-1060284298-842925246-1957994488";
const char *const kFileSrvDomain = "S-1-5-21-2025429265-507921405-1202660629";

std::vector<uint8_t> sid(const std::string &text) {
  std::vector<uint8_t> s = vesk::tools::evt_sid(text);
  if (s.empty()) {
    std::fprintf(stderr, "mksample: bad SID %s\n", text.c_str());
    std::exit(1);
  }
  return s;
}

// Builds the records of one log in order, each `step` seconds after the last.
class Log {
 public:
  Log(std::u16string computer, uint32_t start)
      : computer_(std::move(computer)), t_(start) {}

  EvtRecord &add(std::u16string source, uint32_t event_id, uint16_t type,
                 uint16_t category, std::vector<std::u16string> strings,
                 uint32_t step = 97) {
    t_ += step;
    EvtRecord r;
    r.time_generated = t_;
    r.time_written = t_;
    r.event_id = event_id;
    r.event_type = type;
    r.category = category;
    r.source = std::move(source);
    r.computer = computer_;
    r.strings = std::move(strings);
    records_.push_back(std::move(r));
    return records_.back();
  }

  std::vector<EvtRecord> &records() { return records_; }

 private:
  std::u16string computer_;
  uint32_t t_;
  std::vector<EvtRecord> records_;
};

// ------------------------------------------------------------ SAMPLEPC logs

std::vector<EvtRecord> samplepc_application() {
  Log log(u"SAMPLEPC", kStart);
  const std::string alice = std::string(kSamplePcDomain) + "-1003";
  log.add(u"VeskDemo", 0x40000001, kInformation, 1, {u"Demo service", u"1.0.3"});
  log.add(u"MsiInstaller", 11707, kInformation, 0,
          {u"Product: Demo Tools -- Installation completed successfully."})
      .sid = sid(alice);
  // A message with a printf format ("%2!3s!") and a literal percent sign.
  log.add(u"VeskDemo", 0x80000002, kWarning, 2, {u"C:\\Demo\\cache", u"85"});
  // Written two seconds after it was generated, at an odd second.
  EvtRecord &late =
      log.add(u"VeskDemo", 0xC0000003, kError, 3, {u"ERR_TIMEOUT", u"30"}, 62);
  late.time_generated -= 2;
  // A category that the source has no category file for.
  log.add(u"Application Error", 1000, kError, 100,
          {u"demo.exe", u"1.0.3.0", u"demomod.dll", u"1.0.3.0", u"0000a1f3"});
  // Insertion strings with semicolons, an empty one, a lone percent sign
  // (which stays as written), and parameter references for the source's
  // parameter file.
  log.add(u"VeskDemo", 0x40000004, kInformation, 1,
          {u"a;b", u"", u"c at 95%", u"%%1", u"%%2 of 3"});
  // A source that the registry does not know.
  log.add(u"NoSuchSource", 0x40000064, kInformation, 0, {u"orphan record"});
  // A record with event type 0, which no type word names.
  log.add(u"VeskDemo", 0x40000005, 0, 0, {});
  // Text beyond ASCII: accents, a euro sign and a character outside the BMP.
  log.add(u"VeskDemo", 0x40000006, kInformation, 1,
          {u"Gr\u00fc\u00dfe aus K\u00f6ln", u"\u20ac 12,50", u"\U0001F4BE backup"});
  // Forwarded from another computer.
  EvtRecord &fwd =
      log.add(u"VeskDemo", 0x40000001, kInformation, 1, {u"Demo agent", u"1.0.2"});
  fwd.computer = u"LAPTOP7";
  // Event data that makes the record larger than a 64 KB read buffer.
  EvtRecord &big =
      log.add(u"VeskDemo", 0x80000007, kWarning, 2, {u"crash dump", u"81920"});
  big.data.assign(81920, 0);
  for (size_t i = 0; i < big.data.size(); ++i) big.data[i] = static_cast<uint8_t>(i * 7);
  // Control characters in the insertion strings: a form feed, a bell and an
  // escape become spaces in the message; a tab stays.
  log.add(u"VeskDemo", 0x80000008, kWarning, 3, {u"page\fbreak\a", u"tab\there \x1b[1m"});
  // 100 insertion strings are more than a message takes: the row shows
  // them all in the fallback text.  99 are formatted.
  std::vector<std::u16string> many;
  for (int i = 1; i <= 100; ++i) {
    std::string v = "v";
    v += std::to_string(i);
    many.push_back(emu::from_utf8(v));
  }
  log.add(u"VeskDemo", 0x40000009, kInformation, 1, many);
  many.pop_back();
  log.add(u"VeskDemo", 0x4000000A, kInformation, 1, many);
  // A source whose first-tried message file formats the message while the
  // other one cannot be loaded.
  log.add(u"VeskBackup", 0x40000001, kInformation, 0, {u"D:\\Data", u"1534"}, 600);
  log.add(u"VeskDemo", 0x40000001, kInformation, 1, {u"Demo service", u"1.0.3"}, 3600);
  return std::move(log.records());
}

std::vector<EvtRecord> samplepc_system() {
  Log log(u"SAMPLEPC", kStart - 120);
  log.add(u"EventLog", 0x80001779, kInformation, 0,
          {u"5.01.", u"2600", u"Service Pack 2", u"Uniprocessor Free"});
  log.add(u"EventLog", 0x80001775, kInformation, 0, {}, 1);
  log.add(u"Service Control Manager", 0x40001B7C, kInformation, 0,
          {u"Telephony", u"running"}, 5);
  log.add(u"Tcpip", 0x40001069, kInformation, 0, {u"00:0c:29:3a:5e:11", u"10.0.0.23"},
          11);
  log.add(u"Service Control Manager", 0x40001B7B, kInformation, 0,
          {u"Demo service", u"start"})
      .sid = sid(std::string(kSamplePcDomain) + "-500");
  EvtRecord &disk =
      log.add(u"disk", 0xC004000B, kError, 0, {u"\\Device\\Harddisk1\\D"}, 600);
  disk.data = {0x0f, 0x00, 0x18, 0x00, 0x01, 0x00, 0x00, 0x00,
               0x00, 0x00, 0x00, 0x00, 0x0b, 0x00, 0x04, 0xc0};
  log.add(u"Service Control Manager", 0xC0001B6E, kError, 0, {u"Demo service", u"%%2"},
          30);
  log.add(u"EventLog", 0x80001776, kInformation, 0, {}, 7200);
  return std::move(log.records());
}

std::vector<EvtRecord> samplepc_security() {
  Log log(u"SAMPLEPC", kStart);
  const std::string admin = std::string(kSamplePcDomain) + "-500";
  const std::string alice = std::string(kSamplePcDomain) + "-1003";
  log.add(u"Security", 517, kAuditSuccess, 1,
          {u"SYSTEM", u"NT AUTHORITY", u"(0x0,0x3E7)", u"SYSTEM", u"NT AUTHORITY",
           u"(0x0,0x3E7)"})
      .sid = sid("S-1-5-18");
  log.add(u"Security", 528, kAuditSuccess, 2,
          {u"alice", u"SAMPLEPC", u"(0x0,0x1A2B3)", u"2", u"User32", u"Negotiate",
           u"SAMPLEPC", u"-"})
      .sid = sid(alice);
  log.add(u"Security", 529, kAuditFailure, 2,
          {u"admin", u"SAMPLEPC", u"2", u"User32", u"Negotiate", u"SAMPLEPC"})
      .sid = sid("S-1-5-18");
  log.add(u"Security", 612, kAuditSuccess, 6,
          {u"+", u"-", u"-", u"-", u"-", u"+", u"-", u"-", u"-", u"Administrator",
           u"SAMPLEPC", u"(0x0,0x3F2A1)"})
      .sid = sid(admin);
  log.add(u"Security", 538, kAuditSuccess, 2,
          {u"alice", u"SAMPLEPC", u"(0x0,0x1A2B3)", u"2"})
      .sid = sid(alice);
  // A SID that no account of either computer has.
  log.add(u"Security", 540, kAuditSuccess, 2,
          {u"svc", u"CORP", u"(0x0,0x51F00)", u"3", u"NtLmSsp ", u"NTLM", u"WS042"})
      .sid = sid("S-1-5-21-3623811015-3361044348-30300820-1013");
  return std::move(log.records());
}

// A log that has wrapped: 200 records in a 64 KB ring keep only the newest.
std::vector<EvtRecord> samplepc_demolog() {
  Log log(u"SAMPLEPC", kStart + 86400);
  for (int i = 1; i <= 200; ++i) {
    const std::u16string n = emu::from_utf8(std::to_string(i));
    const std::u16string padding(120 + (i * 37) % 160, u'.');
    log.add(u"DemoService", i % 10 == 0 ? 0x80000002 : 0x40000001,
            i % 10 == 0 ? kWarning : kInformation, static_cast<uint16_t>(1 + i % 2),
            {u"job " + n, u"step " + padding + u" done"}, 45);
  }
  return std::move(log.records());
}

// ------------------------------------------------------------ FILESRV logs

std::vector<EvtRecord> filesrv_application() {
  Log log(u"FILESRV", kStart - 3 * 86400);
  log.add(u"Userenv", 0x000005ED, kWarning, 0, {u"FILESRV\\backup"}).sid =
      sid(std::string(kFileSrvDomain) + "-1005");
  log.add(u"Userenv", 0x40000401, kInformation, 0, {u"Security policy was propagated."})
      .sid = sid("S-1-5-18");
  log.add(u"Userenv", 0x00000406, kError, 0, {u"The network path was not found. "}, 300)
      .sid = sid(std::string(kFileSrvDomain) + "-500");
  return std::move(log.records());
}

std::vector<EvtRecord> filesrv_system() {
  Log log(u"FILESRV", kStart - 2 * 86400);
  log.add(u"EventLog", 0x80001779, kInformation, 0,
          {u"5.00.", u"2195", u"Service Pack 4", u"Multiprocessor Free"});
  log.add(u"EventLog", 0x80001775, kInformation, 0, {}, 1);
  for (int i = 0; i < 6; ++i)
    log.add(u"Srv", 0x800007DD, kWarning, 0, {u"\\Device\\HarddiskVolume2", u"E:"}, 1800);
  log.add(u"EventLog", 0x80001776, kInformation, 0, {}, 600);
  return std::move(log.records());
}

std::vector<EvtRecord> filesrv_security() {
  Log log(u"FILESRV", kStart - 2 * 86400);
  log.add(u"Security", 528, kAuditSuccess, 2,
          {u"Administrator", u"FILESRV", u"(0x0,0x8C1F)", u"10", u"User32", u"Negotiate",
           u"FILESRV"})
      .sid = sid(std::string(kFileSrvDomain) + "-500");
  log.add(u"Security", 560, kAuditFailure, 3,
          {u"Security", u"File", u"E:\\Shares\\Payroll", u"-", u"2172",
           u"C:\\WINNT\\explorer.exe", u"(0x0,0x8C1F)", u"%%4416 %%4417"})
      .sid = sid(std::string(kFileSrvDomain) + "-1005");
  return std::move(log.records());
}

std::vector<EvtRecord> filesrv_frs() {
  Log log(u"FILESRV", kStart - 86400);
  log.add(u"NtFrs", 0x400034BC, kInformation, 0, {});
  log.add(u"NtFrs", 0x800034D0, kWarning, 0,
          {u"FILESRV", u"E:\\Shares\\Public", u"E:\\Shares\\Public\\DO_NOT_REMOVE_NtFrs"},
          900);
  log.add(u"NtFrs", 0x400034BD, kInformation, 0, {}, 60);
  return std::move(log.records());
}

// ------------------------------------------------------------ the computers

struct LogDef {
  const char16_t *name;
  std::function<std::vector<EvtRecord>()> records;
  EvtOptions options;
};

struct ComputerDef {
  const char *role;       // local or remote
  const char *directory;  // below OUT
  const char *reg_prefix;
  bool lower_case_files;  // logs stored under lower-case names
  std::vector<LogDef> logs;
  const char *domain;  // the account domain's SID
  std::vector<SamAccount> accounts;
};

// The accounts every workstation or server of the time has.
std::vector<SamAccount> standard_accounts(std::vector<SamAccount> more) {
  std::vector<SamAccount> out = {
      {500, u"Administrator", SamKind::kUser, u"",
       u"Built-in account for administering the computer/domain"},
      {501, u"Guest", SamKind::kUser, u"",
       u"Built-in account for guest access to the computer/domain"},
  };
  out.insert(out.end(), more.begin(), more.end());
  SamAccount none{513, u"None", SamKind::kGroup, u"", u"Ordinary users"};
  for (const SamAccount &a : out)
    if (a.kind == SamKind::kUser) none.members.push_back(a.rid);
  out.push_back(none);
  return out;
}

// The BUILTIN aliases of the account database.
const std::vector<SamAccount> &builtin_aliases() {
  static const std::vector<SamAccount> aliases = {
      {544,
       u"Administrators",
       SamKind::kAlias,
       u"",
       u"Administrators have complete and unrestricted access to the computer/domain",
       {500}},
      {545, u"Users", SamKind::kAlias},
      {546, u"Guests", SamKind::kAlias, u"", u"", {501}},
      {547, u"Power Users", SamKind::kAlias},
      {551, u"Backup Operators", SamKind::kAlias},
      {552, u"Replicator", SamKind::kAlias},
      {555, u"Remote Desktop Users", SamKind::kAlias},
      {556, u"Network Configuration Operators", SamKind::kAlias},
  };
  return aliases;
}

EvtOptions wrapped() {
  EvtOptions o;
  o.max_size = 64 * 1024;
  return o;
}

// A header last flushed after `after` records.
EvtOptions dirty(uint32_t after) {
  EvtOptions o;
  o.dirty = true;
  o.dirty_after = after;
  return o;
}

std::vector<ComputerDef> computers() {
  return {
      {"local",
       "samplepc",
       "samplepc",
       false,
       {{u"Application", samplepc_application, {}},
        {u"System", samplepc_system, {}},
        {u"Security", samplepc_security, {}},
        {u"DemoLog", samplepc_demolog, wrapped()}},
       kSamplePcDomain,
       standard_accounts({
           {1000, u"HelpAssistant", SamKind::kUser,
            u"Remote Desktop Help Assistant Account"},
           {1001, u"HelpServicesGroup", SamKind::kAlias, u"",
            u"Group for the Help and Support Center"},
           {1002, u"SUPPORT_388945a0", SamKind::kUser,
            u"CN=Microsoft Corporation,L=Redmond,S=Washington,C=US"},
           {1003, u"alice", SamKind::kUser, u"Alice Example"},
       })},
      {"remote",
       "filesrv",
       "filesrv",
       true,
       {{u"Application", filesrv_application, {}},
        {u"System", filesrv_system, dirty(5)},
        {u"Security", filesrv_security, {}},
        {u"File Replication Service", filesrv_frs, {}}},
       kFileSrvDomain,
       standard_accounts({
           {1003, u"alice", SamKind::kUser, u"Alice Example"},
           {1005, u"backup", SamKind::kUser, u"Backup operator",
            u"Runs the nightly backup"},
       })},
  };
}

// ------------------------------------------------------------ registry

// The text of a string value (without its terminator), or "".
std::u16string string_value(const RegNode *key, std::u16string_view name) {
  const vesk::tools::RegNodeValue *v = key ? key->value(name) : nullptr;
  std::u16string text;
  if (v == nullptr) return text;
  for (size_t i = 0; i + 1 < v->data.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(v->data[i] | (v->data[i + 1] << 8));
    if (c == 0) break;
    text.push_back(c);
  }
  return text;
}

uint32_t dword_value(const RegNode *key, std::u16string_view name) {
  const vesk::tools::RegNodeValue *v = key ? key->value(name) : nullptr;
  if (v == nullptr || v->data.size() != 4) return 0;
  return v->data[0] | v->data[1] << 8 | v->data[2] << 16 |
         static_cast<uint32_t>(v->data[3]) << 24;
}

// "%SystemRoot%\system32\config\X.Evt" with SystemRoot "C:\WINNT": the path
// below the drive, "WINNT\system32\config\X.Evt".  Empty when it is not on
// drive C.
std::u16string drive_relative(std::u16string path, const std::u16string &system_root) {
  const std::u16string var = u"%SystemRoot%";
  if (path.size() >= var.size() && emu::iequal(path.substr(0, var.size()), var))
    path = system_root + path.substr(var.size());
  if (path.size() < 3 || emu::upcase(path[0]) != u'C' || path[1] != u':' ||
      path[2] != u'\\')
    return {};
  return path.substr(3);
}

// The host path for a drive-relative Windows path, reusing directories that
// exist under another case (as the hive writer made them).
fs::path host_path(const fs::path &drive, std::u16string_view relative,
                   bool lower_case_file) {
  fs::path p = drive;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find(u'\\', start);
    const bool last = end == std::u16string_view::npos;
    if (last) end = relative.size();
    std::u16string part(relative.substr(start, end - start));
    if (!part.empty()) {
      if (last && lower_case_file)
        for (char16_t &c : part)
          if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
      auto existing = emu::find_case_insensitive(p, part);
      p = existing ? *existing : p / emu::to_utf8(part);
    }
    start = end + 1;
  }
  return p;
}

// Message files written as images that do not load: a DOS header whose PE
// header lies past the end of the file.
const char16_t *const kBrokenFiles[] = {u"vbakold.dll"};

std::vector<uint8_t> broken_image() {
  std::vector<uint8_t> b(64, 0);
  b[0] = 'M';
  b[1] = 'Z';
  b[0x3C] = 0x00;
  b[0x3D] = 0x10;  // e_lfanew 0x1000, beyond the file
  return b;
}

bool copy_bytes(const std::vector<uint8_t> &bytes, const fs::path &to) {
  std::ofstream f(to, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char *>(bytes.data()),
          static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f);
}

// Writes every message file the sources of the computer's logs name.
bool write_message_files(const RegNode &event_log, const std::u16string &system_root,
                         const fs::path &drive, const fs::path &dll_dir) {
  for (const RegNode &log : event_log.children())
    for (const RegNode &source : log.children())
      for (const char16_t *kind :
           {u"EventMessageFile", u"CategoryMessageFile", u"ParameterMessageFile"}) {
        const std::u16string list = string_value(&source, kind);
        size_t start = 0;
        while (start < list.size()) {
          size_t end = list.find(u';', start);
          if (end == std::u16string::npos) end = list.size();
          const std::u16string relative =
              drive_relative(list.substr(start, end - start), system_root);
          start = end + 1;
          if (relative.empty()) continue;
          const fs::path target = host_path(drive, relative, false);
          const std::u16string name = emu::from_utf8(target.filename().string());
          std::error_code ec;
          fs::create_directories(target.parent_path(), ec);
          bool broken = false;
          for (const char16_t *b : kBrokenFiles) broken = broken || emu::iequal(name, b);
          if (broken) {
            if (!copy_bytes(broken_image(), target)) return false;
            continue;
          }
          const std::u16string stem = emu::from_utf8(target.stem().string());
          auto dll = emu::find_case_insensitive(dll_dir, stem + u".dll");
          if (!dll) continue;
          fs::copy_file(*dll, target, fs::copy_options::overwrite_existing, ec);
          if (ec) {
            std::fprintf(stderr, "mksample: %s: %s\n", target.string().c_str(),
                         ec.message().c_str());
            return false;
          }
        }
      }
  return true;
}

bool write_computer(const ComputerDef &def, const fs::path &reg_dir,
                    const fs::path &dll_dir, const fs::path &out,
                    std::ofstream &manifest) {
  RegNode registry;
  std::string error;
  for (const char *hive : {"system", "software", "sam"}) {
    const fs::path file = reg_dir / (std::string(def.reg_prefix) + "-" + hive + ".reg");
    if (!vesk::tools::parse_reg_file(file, &registry, &error)) {
      std::fprintf(stderr, "mksample: %s: %s\n", file.string().c_str(), error.c_str());
      return false;
    }
  }
  RegNode *hklm = registry.find(u"HKEY_LOCAL_MACHINE");
  if (hklm != nullptr) {
    const std::vector<uint8_t> domain = sid(def.domain);
    if (domain.size() != 24 || domain[8] != 21) {
      std::fprintf(stderr, "mksample: %s is not an account domain's SID\n", def.domain);
      return false;
    }
    std::array<uint32_t, 3> subs{};
    for (size_t i = 0; i < 3; ++i)
      for (size_t b = 0; b < 4; ++b)
        subs[i] |= static_cast<uint32_t>(domain[12 + 4 * i + b]) << (8 * b);
    vesk::tools::add_sam_accounts(hklm->key(u"SAM"), subs, def.accounts,
                                  builtin_aliases());
  }
  const std::u16string system_root = string_value(
      hklm ? hklm->find(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion") : nullptr,
      u"SystemRoot");
  const std::u16string root_dir = drive_relative(system_root, system_root);
  if (hklm == nullptr || root_dir.empty()) {
    std::fprintf(stderr, "mksample: %s: no SystemRoot on drive C\n", def.reg_prefix);
    return false;
  }

  const fs::path drive = out / def.directory;
  std::error_code ec;
  fs::remove_all(drive, ec);
  if (!vesk::tools::write_system_hives(drive, *hklm, &error, root_dir)) {
    std::fprintf(stderr, "mksample: %s: %s\n", drive.string().c_str(), error.c_str());
    return false;
  }

  char set[32];
  std::snprintf(set, sizeof set, "ControlSet%03u",
                dword_value(hklm->find(u"SYSTEM\\Select"), u"Current"));
  const std::u16string computer =
      string_value(hklm->find(u"SYSTEM\\" + emu::from_utf8(set) +
                              u"\\Control\\ComputerName\\ComputerName"),
                   u"ComputerName");
  const std::u16string services =
      u"SYSTEM\\" + emu::from_utf8(set) + u"\\Services\\EventLog\\";
  if (const RegNode *event_log = hklm->find(services))
    if (!dll_dir.empty() && !write_message_files(*event_log, system_root, drive, dll_dir))
      return false;

  for (const LogDef &log : def.logs) {
    const std::u16string file = string_value(hklm->find(services + log.name), u"File");
    const std::u16string relative = drive_relative(file, system_root);
    if (relative.empty()) {
      std::fprintf(stderr, "mksample: %s: log %s has no File on drive C\n",
                   def.reg_prefix, emu::to_utf8(log.name).c_str());
      return false;
    }
    const fs::path path = host_path(drive, relative, def.lower_case_files);
    EvtWriter writer(path, log.options);
    bool added = true;
    for (const EvtRecord &r : log.records()) added = writer.add(r) && added;
    if (!added || !writer.finish() || !writer.ok()) {
      std::fprintf(stderr, "mksample: %s: %s\n", path.string().c_str(),
                   writer.error().c_str());
      return false;
    }
    const uint32_t count = writer.current() - writer.oldest();
    manifest << def.role << '\t' << emu::to_utf8(computer) << '\t'
             << fs::absolute(drive).lexically_normal().string() << '\t'
             << emu::to_utf8(log.name) << '\t' << count << '\t'
             << fs::absolute(path).lexically_normal().string() << '\n';
    std::printf("%-7s %-9s %-25s %4u records  %s\n", def.role,
                emu::to_utf8(computer).c_str(), emu::to_utf8(log.name).c_str(), count,
                path.string().c_str());
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  // The build names the source folder: __FILE__ can be relative (compiler
  // caches rewrite it), which would tie the program to its working folder.
#ifdef VESK_SAMPLE_REG_DIR
  fs::path reg_dir = VESK_SAMPLE_REG_DIR;
#else
  fs::path reg_dir = fs::path(__FILE__).parent_path() / "sample";
#endif
#ifdef VESK_SAMPLE_DLLS
  fs::path dll_dir = VESK_SAMPLE_DLLS;
#else
  fs::path dll_dir;
#endif
  fs::path out;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--reg-dir") == 0 && i + 1 < argc) {
      reg_dir = argv[++i];
    } else if (std::strcmp(argv[i], "--dll-dir") == 0 && i + 1 < argc) {
      dll_dir = argv[++i];
    } else if (argv[i][0] == '-' || !out.empty()) {
      std::fprintf(stderr, "usage: mksample [--reg-dir DIR] [--dll-dir DIR] OUT\n");
      return 2;
    } else {
      out = argv[i];
    }
  }
  if (out.empty()) {
    std::fprintf(stderr, "usage: mksample [--reg-dir DIR] [--dll-dir DIR] OUT\n");
    return 2;
  }
  std::error_code ec;
  fs::create_directories(out, ec);
  std::ofstream manifest(out / "logs.tsv", std::ios::binary | std::ios::trunc);
  if (!manifest) {
    std::fprintf(stderr, "mksample: cannot write %s\n",
                 (out / "logs.tsv").string().c_str());
    return 1;
  }
  for (const ComputerDef &def : computers())
    if (!write_computer(def, reg_dir, dll_dir, out, manifest)) return 1;
  manifest.close();
  return manifest ? 0 : 1;
}
