// The library linked statically into a Windows program, turning records
// built in memory into rows with the system's own calls: source discovery
// in the real registry, message files through LoadLibraryExW and
// FormatMessageW, parameter expansion, account names through
// LookupAccountSidW and the time through DosDateTimeToVariantTime.
//
// The sources VeskRows (message, category and parameter files: vesk_rows.dll
// in the system directory, named with %SystemRoot%), VeskMissing (a message
// file that does not exist), VeskMissingFirst and VeskMissingLast (both
// files, in either order) must be registered under the
// Application log before the run; scripts/check-wine does that with
// `reg add`.  Prints each failed check and a summary; the exit status is the
// number of failed checks.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "api/context.h"
#include "platform/platform.h"
#include "records/writerec.h"

// After <windows.h>, which platform.h brings.
#include <sddl.h>

namespace {

int checks = 0;
int failures = 0;

void check(bool ok, const char *what) {
  checks++;
  if (!ok) {
    std::printf("FAILED: %s\n", what);
    failures++;
  }
}

std::string shown(const std::wstring &s) {
  std::string out;
  char hex[12];
  for (wchar_t c : s) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      std::snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned>(c));
      out += hex;
    }
  }
  return out;
}

void check_text(const std::wstring &got, const std::wstring &expected, const char *what) {
  checks++;
  if (got != expected) {
    std::printf("FAILED: %s\n  got      \"%s\"\n  expected \"%s\"\n", what,
                shown(got).c_str(), shown(expected).c_str());
    failures++;
  }
}

// ---------------------------------------------------------------- records

struct Record {
  DWORD time_written = 1700000000;  // 2023-11-14 22:13:20 UTC
  DWORD event_id = 100;
  WORD type = EVENTLOG_INFORMATION_TYPE;
  WORD category = 0;
  std::vector<std::wstring> strings;
  std::vector<BYTE> sid;
  std::wstring source = L"VeskRows";
  std::wstring computer = L"WINEHOST";
};

void put32(std::vector<BYTE> &b, size_t at, DWORD v) { std::memcpy(&b[at], &v, 4); }
void put16(std::vector<BYTE> &b, size_t at, WORD v) { std::memcpy(&b[at], &v, 2); }
void append_text(std::vector<BYTE> &b, const std::wstring &s) {
  const BYTE *p = reinterpret_cast<const BYTE *>(s.c_str());
  b.insert(b.end(), p, p + (s.size() + 1) * sizeof(wchar_t));
}
void align4(std::vector<BYTE> &b) {
  while (b.size() % 4) b.push_back(0);
}

// An EVENTLOGRECORD as the event log service hands it out.
std::vector<BYTE> build(const Record &r) {
  static DWORD number = 1;
  std::vector<BYTE> b(56, 0);
  put32(b, 4, 0x654C664C);  // "LfLe"
  put32(b, 8, number++);
  put32(b, 12, r.time_written - 7);  // generated a little earlier
  put32(b, 16, r.time_written);
  put32(b, 20, r.event_id);
  put16(b, 24, r.type);
  put16(b, 26, static_cast<WORD>(r.strings.size()));
  put16(b, 28, r.category);
  append_text(b, r.source);
  append_text(b, r.computer);
  align4(b);
  if (!r.sid.empty()) {
    put32(b, 40, static_cast<DWORD>(r.sid.size()));
    put32(b, 44, static_cast<DWORD>(b.size()));
    b.insert(b.end(), r.sid.begin(), r.sid.end());
  }
  put32(b, 36, static_cast<DWORD>(b.size()));
  for (const auto &s : r.strings) append_text(b, s);
  put32(b, 52, static_cast<DWORD>(b.size()));  // no data
  align4(b);
  b.resize(b.size() + 4);
  put32(b, 0, static_cast<DWORD>(b.size()));
  put32(b, b.size() - 4, static_cast<DWORD>(b.size()));
  return b;
}

std::vector<BYTE> sid_of(const wchar_t *text) {
  PSID sid = nullptr;
  std::vector<BYTE> bytes;
  if (ConvertStringSidToSidW(text, &sid)) {
    const BYTE *p = static_cast<const BYTE *>(sid);
    bytes.assign(p, p + GetLengthSid(sid));
    LocalFree(sid);
  }
  return bytes;
}

// ---------------------------------------------------------------- rows

struct Row {
  VARIANT v[kRowSlots];
  Row() {
    for (auto &x : v) VariantInit(&x);
  }
  ~Row() {
    for (auto &x : v) VariantClear(&x);
  }
  std::wstring text(int slot) const {
    if (V_VT(&v[slot]) != VT_BSTR || V_BSTR(&v[slot]) == nullptr)
      return L"<not a string>";
    return std::wstring(V_BSTR(&v[slot]), SysStringLen(V_BSTR(&v[slot])));
  }
};

// What a Visual Basic caller relies on: the types of the eight slots, and
// BSTRs whose length prefix matches their text.
void check_row_shape(const Row &row, const char *what) {
  static const VARTYPE types[kRowSlots] = {VT_DATE, VT_I4,   VT_BSTR, VT_BSTR,
                                           VT_BSTR, VT_BSTR, VT_BSTR, VT_BSTR};
  bool ok = true;
  for (int i = 0; i < kRowSlots; i++) {
    ok = ok && V_VT(&row.v[i]) == types[i];
    if (ok && types[i] == VT_BSTR) {
      BSTR b = V_BSTR(&row.v[i]);
      UINT n = SysStringLen(b);
      ok = b != nullptr && SysStringByteLen(b) == 2 * n && b[n] == 0;
    }
  }
  check(ok, what);
}

struct Context {
  VESKHANDLE handle = 0;
  CEvtLog *log = nullptr;
  Context() {
    check(VeskOpen(nullptr, "Application", &handle) == 0, "VeskOpen(NULL, Application)");
    log = vesk::FindContext(handle);
  }
  ~Context() { VeskClose(handle); }

  // One conversion with a cleared latch; returns the latched text, or "".
  std::wstring convert(const Record &r, Row &row) {
    std::vector<BYTE> bytes = build(r);
    log->ClearError();
    writerec(log, bytes.data(), row.v);
    return log->error_pending ? std::wstring(log->error_text) : std::wstring();
  }
};

std::wstring format_error(const wchar_t *format, DWORD a, const wchar_t *b = nullptr) {
  wchar_t text[512];
  if (b)
    swprintf(text, 512, format, static_cast<unsigned long>(a), b);
  else
    swprintf(text, 512, format, static_cast<unsigned long>(a));
  return text;
}

// A file of the system directory, named as %SystemRoot%\system32\name.
std::wstring system_file(const wchar_t *name) {
  wchar_t root[MAX_PATH];
  GetEnvironmentVariableW(L"SystemRoot", root, MAX_PATH);
  return std::wstring(root) + L"\\system32\\" + name;
}

// The text the library latches for a file that LoadLibraryExW refuses.
std::wstring load_failure(const std::wstring &path) {
  HMODULE m = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  DWORD code = GetLastError();
  check(m == nullptr, "the missing message file does not load");
  if (m) FreeLibrary(m);
  return format_error(L"LoadLibrary rc=%lu library=%ls", code, path.c_str());
}

// ---------------------------------------------------------------- checks

void messages_and_inserts(Context &ctx) {
  Row row;
  Record r;
  r.strings = {L"Spooler", L"running"};
  std::wstring error = ctx.convert(r, row);
  check_row_shape(row, "row of an event with inserts");
  check_text(error, L"", "an event with inserts latches nothing");
  check(V_I4(&row.v[kSlotEvent]) == 100, "event number 100");
  check_text(row.text(kSlotType), L"Information", "type word");
  check_text(row.text(kSlotCategory), L"None", "category 0 is None");
  check_text(row.text(kSlotUser), L"", "no SID: an empty user");
  check_text(row.text(kSlotSource), L"VeskRows", "source");
  check_text(row.text(kSlotComputer), L"WINEHOST", "computer");
  // The width mask turns the text's own line end into one space.
  check_text(row.text(kSlotMessage), L"The Spooler service entered the running state. ",
             "message with its inserts");

  // All 32 bits of the identifier find the message; the row shows 16.
  r.event_id = 0xC0000064;
  r.type = EVENTLOG_ERROR_TYPE;
  r.strings = {L"E17"};
  ctx.convert(r, row);
  check(V_I4(&row.v[kSlotEvent]) == 100, "event 0xC0000064 shows 100");
  check_text(row.text(kSlotMessage), L"Error E17: the device did not respond in time. ",
             "the message of 0xC0000064, its line break a space");

  // printf formats in the message, and control characters of an insert.
  r.event_id = 102;
  r.strings = {L"ab", L"c\fd"};
  ctx.convert(r, row);
  check_text(row.text(kSlotMessage), L"Width [   ab] [c d ] ",
             "insert formats, a form feed scrubbed to a space");

  // Category texts from the category file; an unknown one.
  r.event_id = 100;
  r.strings = {L"x", L"y"};
  r.category = 2;
  ctx.convert(r, row);
  check_text(row.text(kSlotCategory), L"Network ", "category 2 from the category file");
  r.category = 77;
  error = ctx.convert(r, row);
  check_text(row.text(kSlotCategory), L"?Invalid Category", "an unknown category");
  check_text(error, L"Format error, source=VeskRows type=Category msg=77",
             "an unknown category is reported");
  error = ctx.convert(r, row);
  check_text(error, L"", "and reported once");
}

void fallback_and_parameters(Context &ctx) {
  Row row;
  Record r;
  r.event_id = 999;
  r.strings = {L"a;b", L"", L"c"};
  std::wstring error = ctx.convert(r, row);
  check_text(row.text(kSlotMessage),
             L"Unable to format message. Insertion strings: a b;;c",
             "the fallback text of an unknown event");
  check_text(error, L"Format error, source=VeskRows type=Message msg=999",
             "an unknown event is reported");

  // Parameter references expand from the parameter file; a parameter text
  // is not expanded again; an unknown parameter stays as written.
  r.event_id = 101;
  r.strings = {L"%%5000"};
  error = ctx.convert(r, row);
  check_text(row.text(kSlotMessage), L"Value: five thousand . ", "a parameter reference");
  check_text(error, L"", "a parameter reference latches nothing");
  r.strings = {L"%%5001 and 50%"};
  ctx.convert(r, row);
  check_text(row.text(kSlotMessage), L"Value: nested %%5000  and 50%. ",
             "a parameter text is not expanded again");
  r.strings = {L"[%%6000]"};
  error = ctx.convert(r, row);
  check_text(row.text(kSlotMessage), L"Value: [%%6000]. ", "an unknown parameter stays");
  check_text(error, L"Format error, source=VeskRows type=Parameter msg=6000",
             "an unknown parameter is reported");
}

void missing_files(Context &ctx) {
  Row row;
  Record r;
  const std::wstring path = system_file(L"vesk_missing.dll");
  r.source = L"VeskMissing";
  r.strings = {L"s"};
  std::wstring error = ctx.convert(r, row);
  check_text(error, load_failure(path), "a message file that cannot be loaded");
  check_text(row.text(kSlotMessage), L"Unable to format message. Insertion strings: s",
             "its message is the fallback text");

  HKEY key;
  LONG rc = RegOpenKeyExW(
      HKEY_LOCAL_MACHINE,
      L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\NoSuchSrc", 0,
      KEY_READ, &key);
  r.source = L"NoSuchSrc";
  error = ctx.convert(r, row);
  check_text(
      error,
      format_error(L"RegOpenKeyEx rc=%ld source=%ls key=SYSTEM\\CurrentControlSet\\"
                   L"Services\\EventLog\\Application\\NoSuchSrc",
                   static_cast<DWORD>(rc), L"NoSuchSrc"),
      "a source that is not registered");
}

// A value that lists two files: the last listed is tried first, and a file
// that failed to load is passed over, whichever place it has in the list.
// Each source gets a context of its own, so that the missing file is loaded,
// and reported, afresh.
void file_lists() {
  const std::wstring missing = system_file(L"vesk_missing.dll");
  const std::wstring load_error = load_failure(missing);
  Record r;
  r.strings = {L"Spooler", L"running"};
  // VeskMissingFirst lists missing.dll;vesk_rows.dll, VeskMissingLast the
  // other way round.
  for (const wchar_t *source : {L"VeskMissingFirst", L"VeskMissingLast"}) {
    Context ctx;
    Row row;
    r.source = source;
    std::wstring error = ctx.convert(r, row);
    std::string what = shown(source) + ": ";
    check_text(row.text(kSlotMessage), L"The Spooler service entered the running state. ",
               (what + "vesk_rows.dll formats the message").c_str());
    check_text(error, load_error, (what + "the missing file is reported").c_str());
  }
}

// The account text as LookupAccountSidW gives it: DOMAIN\name.
std::wstring account(const std::vector<BYTE> &sid) {
  wchar_t name[256], domain[256];
  DWORD n = 256, d = 256;
  SID_NAME_USE use;
  if (!LookupAccountSidW(nullptr, const_cast<BYTE *>(sid.data()), name, &n, domain, &d,
                         &use))
    return L"";
  return std::wstring(domain) + L"\\" + name;
}

void users(Context &ctx) {
  Row row;
  Record r;
  r.strings = {L"a", L"b"};
  const wchar_t *known[] = {L"S-1-5-18", L"S-1-5-19",     L"S-1-5-20",
                            L"S-1-1-0",  L"S-1-5-32-544", L"S-1-5-11"};
  for (const wchar_t *text : known) {
    r.sid = sid_of(text);
    std::wstring expected = account(r.sid);
    std::string what = "the account of " + shown(text);
    check(!expected.empty(), (what + " resolves").c_str());
    ctx.convert(r, row);
    check_text(row.text(kSlotUser), expected, what.c_str());
  }
  r.sid = sid_of(L"S-1-5-18");
  ctx.convert(r, row);
  check_text(row.text(kSlotUser), L"NT AUTHORITY\\SYSTEM",
             "S-1-5-18 is NT AUTHORITY\\SYSTEM");
  // A SID nobody resolves shows in its numeric form.
  r.sid = sid_of(L"S-1-5-21-1-2-3-1001");
  check(account(r.sid).empty(), "S-1-5-21-1-2-3-1001 is unknown here");
  ctx.convert(r, row);
  check_text(row.text(kSlotUser), L"S-1-5-21-1-2-3-1001",
             "an unknown SID in numeric form");
}

// The local time of `seconds` after 1970 as an Automation date, the second
// lowered to an even one, found through the system's own time zone calls.
double expected_date(DWORD seconds) {
  ULONGLONG ticks = (static_cast<ULONGLONG>(seconds) + 11644473600ULL) * 10000000ULL;
  FILETIME ft{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME utc, local;
  FileTimeToSystemTime(&ft, &utc);
  SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local);
  local.wSecond -= local.wSecond % 2;
  local.wMilliseconds = 0;
  double date = 0;
  SystemTimeToVariantTime(&local, &date);
  return date;
}

void times(Context &ctx) {
  Row row;
  Record r;
  r.strings = {L"a", L"b"};
  const DWORD times[] = {1700000000, 1700000001, 315532800,
                         946684799,  2147483647, 4102444799u};
  for (DWORD t : times) {
    r.time_written = t;
    ctx.convert(r, row);
    char what[80];
    std::snprintf(what, sizeof what, "the date of %lu", static_cast<unsigned long>(t));
    double got = V_DATE(&row.v[kSlotTime]), expected = expected_date(t);
    checks++;
    if (V_VT(&row.v[kSlotTime]) != VT_DATE || got - expected > 1e-9 ||
        expected - got > 1e-9) {
      std::printf("FAILED: %s: got %.10f, expected %.10f\n", what, got, expected);
      failures++;
    }
  }
}

void types(Context &ctx) {
  Row row;
  Record r;
  r.strings = {L"a", L"b"};
  struct {
    WORD type;
    const wchar_t *word;
  } words[] = {{1, L"Error"},        {2, L"Warning"},  {4, L"Information"},
               {8, L"Success"},      {16, L"Failure"}, {0, L"?Invalid Type"},
               {3, L"?Invalid Type"}};
  for (const auto &w : words) {
    r.type = w.type;
    ctx.convert(r, row);
    check_text(row.text(kSlotType), w.word, "the type word");
  }
}

}  // namespace

int main() {
  // The C runtime's localtime follows a TZ variable when there is one, in
  // its own syntax; Windows sets none, and Wine passes the host's on (say
  // TZ=Europe/Paris, which the runtime cannot read).  Without it the runtime
  // asks the system for the time zone, as on Windows.
  _wputenv(L"TZ=");
  _tzset();
  Context ctx;
  if (ctx.log == nullptr) {
    std::printf("FAILED: no context behind the handle\n");
    return 1;
  }
  messages_and_inserts(ctx);
  fallback_and_parameters(ctx);
  missing_files(ctx);
  file_lists();
  users(ctx);
  times(ctx);
  types(ctx);
  std::printf("rows: %d checks, %d failed\n", checks, failures);
  return failures;
}
