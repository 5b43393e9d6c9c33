// Turns the input into one event record of a log on a fixed computer and
// fetches its row through the exports (VeskOpen, VeskGetRec, VeskGetError,
// VeskClose): the input becomes the record from its TimeGenerated field on,
// framed so that the event log service serves it (Length, signature, record
// number 1, trailing Length), so every field the row reader takes from a
// record (counts, offsets, the SID, the names, the strings) is the fuzzer's.
// The computer's source "Fuzz" has message, category and parameter texts
// with inserts of every kind; one account is resolvable.
//
// Traps when the call returns anything but 0 or -1, a failure comes without
// a latched text, a whole row lacks a slot, a slot holds a type the row
// never uses, a text is longer than its buffer, or anything (a BSTR, a key, a module, a
// copied text, the log) is still alive after the handle is closed.
#include <cstdint>
#include <cstring>
#include <vector>

#include "msgdllwriter.h"
#include "platform/emulated/seam.h"
#include "platform/platform.h"

namespace {

namespace emu = vesk::emu;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

constexpr uint32_t kSignature = 0x654C664C;  // "LfLe"
constexpr size_t kHeader = 0x30;
constexpr size_t kEof = 0x28;
// The fixed part of a record, and the input's share of it (what follows
// Length, the signature and the record number).
constexpr size_t kFixed = 0x38;
constexpr size_t kFramed = 12;
// Records up to this size; larger inputs are cut.
constexpr size_t kMaxInput = 0x20000;

// The log: its header, the one record, the end-of-file record.
std::vector<uint8_t> Log(const uint8_t *data, size_t size) {
  size_t length = (kFramed + size + 4 + 3) & ~size_t{3};
  if (length < kFixed + 4) length = kFixed + 4;
  std::vector<uint8_t> log(kHeader + length + kEof, 0);
  const uint32_t end = static_cast<uint32_t>(kHeader + length);
  const uint32_t header[] = {
      0x30, kSignature, 1,   1, 0x30, end, 2, 1, static_cast<uint32_t>(log.size()),
      0,    0,          0x30};
  for (size_t i = 0; i < 12; ++i) Put32(log, 4 * i, header[i]);
  uint8_t *record = log.data() + kHeader;
  std::memcpy(record + kFramed, data, size);
  Put32(log, kHeader, static_cast<uint32_t>(length));
  Put32(log, kHeader + 4, kSignature);
  Put32(log, kHeader + 8, 1);
  Put32(log, kHeader + length - 4, static_cast<uint32_t>(length));
  const uint32_t eof[] = {0x28, 0x11111111, 0x22222222, 0x33333333, 0x44444444,
                          0x30, end,        2,          1,          0x28};
  for (size_t i = 0; i < 10; ++i) Put32(log, end + 4 * i, eof[i]);
  return log;
}

std::shared_ptr<emu::Computer> &Computer() {
  static std::shared_ptr<emu::Computer> c = [] {
    emu::reset();
    auto computer = std::make_shared<emu::Computer>(u"FUZZPC");
    computer->key(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion")
        ->set_string(u"SystemRoot", u"C:\\WINDOWS");
    auto source =
        computer->key(u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\App\\Fuzz");
    source->set_string(u"EventMessageFile",
                       u"%SystemRoot%\\system32\\fuzzmsg.dll;%SystemRoot%\\gone.dll",
                       REG_EXPAND_SZ);
    source->set_string(u"CategoryMessageFile", u"%SystemRoot%\\system32\\fuzzmsg.dll",
                       REG_EXPAND_SZ);
    source->set_string(u"ParameterMessageFile", u"fuzzmsg.dll", REG_EXPAND_SZ);
    computer->add_file(
        u"C:\\WINDOWS\\system32\\fuzzmsg.dll",
        vesk::tools::write_message_dll({
            {1, u"Logon\r\n"},
            {2, u"Disk %1%t\x1b\r\n"},
            {3, u"%%1 and %%2\r\n"},
            {100, u"parameter one\r\n"},
            {101, u"%%100 again\r\n"},
            {0x40000001, u"%1 started: %2.\r\n"},
            {0x40000002, u"Numbers %1!d! %2!x! %3!p! [%4!*s!] [%5!-*.*s!] %6!c!\r\n"},
            {0x40000003, u"%99 last, %1 first%0"},
            {0xC0000004, u"Line%nbreak%rand%ttab %%1 %1!S! %2!hs!\r\n"},
        }));
    emu::add_account(*computer, {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0,    0, 1, 0,
                                 0, 0, 2, 0, 0, 0, 3, 0, 0,  0, 0xE9, 3, 0, 0},
                     u"FUZZPC", u"fuzzer");
    emu::set_local(computer);
    return computer;
  }();
  return c;
}

bool RowType(const VARIANT &v) {
  const VARTYPE t = V_VT(&v);
  return t == VT_EMPTY || t == VT_I4 || t == VT_DATE || t == VT_BSTR;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  auto &computer = Computer();
  if (size > kMaxInput) size = kMaxInput;
  computer->add_log(u"App", Log(data, size));

  VESKHANDLE handle = 0;
  Check(VeskOpen(nullptr, "App", &handle) == 0);
  VARIANT row[8];
  for (VARIANT &v : row) VariantInit(&v);
  const int rc = VeskGetRec(handle, 1, row);
  Check(rc == 0 || rc == -1);
  VARIANT error;
  VariantInit(&error);
  const int pending = VeskGetError(handle, &error);
  // The one record is there: a failure always comes with its text.
  Check(rc == 0 ? pending == 0 : pending == 1);
  if (pending == 1) Check(V_VT(&error) == VT_BSTR && SysStringLen(V_BSTR(&error)) <= 255);
  for (const VARIANT &v : row) {
    Check(RowType(v));
    if (V_VT(&v) == VT_BSTR && V_BSTR(&v) != nullptr)
      Check(SysStringLen(V_BSTR(&v)) < 32010);
  }
  // A whole row has every slot but the time, which a write time outside the
  // Automation dates this platform converts leaves empty.
  if (rc == 0)
    for (int i = 1; i < 8; ++i) Check(V_VT(&row[i]) != VT_EMPTY);
  VariantClear(&error);
  for (VARIANT &v : row) VariantClear(&v);
  Check(VeskClose(handle) == 0);

  const emu::Live live = emu::live();
  Check(live.bstrs == 0 && live.reg_keys == 0 && live.modules == 0 &&
        live.local_allocs == 0 && live.event_logs == 0 && live.tokens == 0);
  return 0;
}
