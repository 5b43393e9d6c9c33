// Helpers for the event log tests: records made up for the writer, records
// taken apart again, and reading a whole log through an EvtLog.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "evtwriter.h"
#include "platform/emulated/evtfile.h"
#include "platform/emulated/seam.h"

namespace vesk::evttest {

namespace tools = vesk::tools;
namespace emu = vesk::emu;

inline uint32_t U32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline uint16_t U16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// The fields of one record, as a reader sees them.
struct Fields {
  uint32_t number = 0;
  uint32_t generated = 0;
  uint32_t written = 0;
  uint32_t event_id = 0;
  uint16_t type = 0;
  uint16_t category = 0;
  std::string source, computer, sid;
  std::vector<std::string> strings;
  std::vector<uint8_t> data;
  bool operator==(const Fields &) const = default;
};

inline std::string Utf16At(const uint8_t *r, size_t at, size_t limit, size_t *after) {
  std::u16string s;
  size_t q = at;
  while (q + 2 <= limit && (r[q] | r[q + 1]) != 0) {
    s.push_back(static_cast<char16_t>(r[q] | r[q + 1] << 8));
    q += 2;
  }
  if (after) *after = q + 2;
  return emu::to_utf8(s);
}

inline std::string SidText(const uint8_t *s, size_t n) {
  if (n < 8) return "";
  uint64_t auth = 0;
  for (int i = 0; i < 6; ++i) auth = auth << 8 | s[2 + i];
  std::string out = "S-";
  out.append(std::to_string(s[0])).append("-").append(std::to_string(auth));
  for (size_t i = 0; i < s[1] && 8 + 4 * i + 4 <= n; ++i)
    out.append("-").append(std::to_string(U32(s + 8 + 4 * i)));
  return out;
}

// A record that the service handed out (so its offsets are sound).
inline Fields Parse(const uint8_t *r) {
  Fields f;
  uint32_t len = U32(r);
  f.number = U32(r + 8);
  f.generated = U32(r + 12);
  f.written = U32(r + 16);
  f.event_id = U32(r + 20);
  f.type = U16(r + 24);
  f.category = U16(r + 28);
  size_t at = 0;
  f.source = Utf16At(r, 0x38, len - 4, &at);
  f.computer = Utf16At(r, at, len - 4, &at);
  if (U32(r + 0x28) != 0) f.sid = SidText(r + U32(r + 0x2C), U32(r + 0x28));
  at = U32(r + 0x24);
  for (unsigned i = 0; i < U16(r + 26); ++i)
    f.strings.push_back(Utf16At(r, at, len - 4, &at));
  if (U32(r + 0x30) != 0)
    f.data.assign(r + U32(r + 0x34), r + U32(r + 0x34) + U32(r + 0x30));
  return f;
}

// What the writer was given, as a reader should see it.
inline Fields Expected(const tools::EvtRecord &r, uint32_t number) {
  Fields f;
  f.number = number;
  f.generated = r.time_generated;
  f.written = r.time_written;
  f.event_id = r.event_id;
  f.type = r.event_type;
  f.category = r.category;
  f.source = emu::to_utf8(r.source);
  f.computer = emu::to_utf8(r.computer);
  if (!r.sid.empty()) f.sid = SidText(r.sid.data(), r.sid.size());
  for (const auto &s : r.strings) f.strings.push_back(emu::to_utf8(s));
  f.data = r.data;
  return f;
}

// A varied record: each field depends on i.
inline tools::EvtRecord Sample(uint32_t i) {
  static const uint16_t kTypes[] = {1, 2, 4, 8, 16, 0};
  tools::EvtRecord r;
  r.time_generated = 1600000000u + i * 7;
  r.time_written = 1600000000u + i * 7 + (i % 3);
  r.event_id = (i % 4 == 0 ? 0xC0000000u : 0x40000000u) | (1000 + i);
  r.event_type = kTypes[i % 6];
  r.category = static_cast<uint16_t>(i % 5);
  r.source = i % 2 ? u"Service Control Manager" : u"Src";
  r.computer = u"HOST" + std::u16string(i % 3, u'X');
  if (i % 3 == 1) r.sid = tools::evt_sid(5, {21, 1000 + i, 2, 3, 500});
  for (uint32_t k = 0; k < i % 4; ++k)
    r.strings.push_back(u"insert " + emu::from_utf8(std::to_string(i * 10 + k)) +
                        std::u16string(i % 7, u'.'));
  if (i % 5 == 2) r.data.assign(1 + i % 9, static_cast<uint8_t>(i));
  return r;
}

inline std::vector<tools::EvtRecord> Samples(uint32_t n) {
  std::vector<tools::EvtRecord> v;
  for (uint32_t i = 0; i < n; ++i) v.push_back(Sample(i));
  return v;
}

// Every record of `log` in the order the reads give them; *rc the code the
// walk ended with (ERROR_HANDLE_EOF when it reached the end).
inline std::vector<Fields> ReadAll(emu::EvtLog &log, DWORD flags, DWORD buffer_size,
                                   DWORD *rc = nullptr) {
  std::vector<Fields> out;
  std::vector<uint8_t> buf(buffer_size);
  DWORD code = 0;
  for (int guard = 0; guard < 10000000; ++guard) {
    DWORD read = 0, needed = 0;
    code = log.read(flags, 0, buf.data(), buffer_size, &read, &needed);
    if (code != 0) break;
    for (DWORD at = 0; at < read; at += U32(buf.data() + at))
      out.push_back(Parse(buf.data() + at));
  }
  if (rc) *rc = code;
  return out;
}

inline std::unique_ptr<emu::EvtLog> OpenBytes(std::vector<uint8_t> bytes,
                                              DWORD *error = nullptr) {
  DWORD e = 0;
  auto log = emu::EvtLog::open(emu::memory_source(std::move(bytes)), &e);
  if (error) *error = e;
  return log;
}

inline std::vector<uint8_t> ReadFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

inline void WriteFile(const std::string &path, const std::vector<uint8_t> &b) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char *>(b.data()),
          static_cast<std::streamsize>(b.size()));
}

}  // namespace vesk::evttest
