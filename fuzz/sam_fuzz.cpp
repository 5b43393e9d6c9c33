// Feeds the input as the records of a SAM hive (the account domain's V
// value, a user's V, a group's and an alias's C, a BUILTIN alias's C, one
// Names entry) and resolves the SIDs they could name through
// LookupAccountSidW.  Traps when a look-up reports sizes it did not keep to
// or hands out text that is not what its sizes say.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/emulated/seam.h"
#include "platform/platform.h"

namespace {

namespace emu = vesk::emu;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// The next piece of the input: a length byte (times 4), then the bytes.
std::vector<uint8_t> Take(const uint8_t *&p, size_t &left) {
  if (left == 0) return {};
  size_t n = static_cast<size_t>(*p++) * 4;
  --left;
  if (n > left) n = left;
  std::vector<uint8_t> out(p, p + n);
  p += n;
  left -= n;
  return out;
}

void Resolve(std::vector<uint8_t> sid) {
  WCHAR name[40], domain[40];
  for (DWORD room : {0u, 1u, 8u, 40u}) {
    DWORD name_units = room, domain_units = room;
    SID_NAME_USE use = SidTypeInvalid;
    std::memset(name, 0xA5, sizeof name);
    std::memset(domain, 0xA5, sizeof domain);
    if (LookupAccountSidW(nullptr, sid.data(), name, &name_units, domain, &domain_units,
                          &use)) {
      Check(name_units < room && domain_units < room);
      Check(name[name_units] == 0 && domain[domain_units] == 0);
      for (DWORD i = 0; i < name_units; ++i) Check(name[i] != 0);
      Check(use >= SidTypeUser && use <= SidTypeLabel);
    } else if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
      Check(name_units >= 1 && domain_units >= 1 &&
            (name_units > room || domain_units > room));
    } else {
      Check(GetLastError() == ERROR_NONE_MAPPED);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  emu::reset();
  auto computer = std::make_shared<emu::Computer>(u"FUZZPC");
  const uint8_t *p = data;
  size_t left = size;
  auto account = computer->key(u"SAM\\SAM\\Domains\\Account");
  std::vector<uint8_t> domain_v = Take(p, left);
  account->set(u"V", REG_BINARY, domain_v);
  computer->key(u"SAM\\SAM\\Domains\\Account\\Users\\000003E9")
      ->set(u"V", REG_BINARY, Take(p, left));
  computer->key(u"SAM\\SAM\\Domains\\Account\\Groups\\00000201")
      ->set(u"C", REG_BINARY, Take(p, left));
  computer->key(u"SAM\\SAM\\Domains\\Account\\Aliases\\000003E8")
      ->set(u"C", REG_BINARY, Take(p, left));
  computer->key(u"SAM\\SAM\\Domains\\Builtin\\Aliases\\00000220")
      ->set(u"C", REG_BINARY, Take(p, left));
  // A Names entry whose type is the RID, named by the rest of the input.
  std::u16string entry;
  for (size_t i = 0; i + 1 < left && entry.size() < 64; i += 2)
    entry.push_back(static_cast<char16_t>(p[i] | p[i + 1] << 8));
  for (char16_t &c : entry)
    if (c == 0 || c == u'\\') c = u'x';
  if (!entry.empty())
    computer->key(u"SAM\\SAM\\Domains\\Account\\Users\\Names\\" + entry)
        ->set(u"", 0x3EA, {});
  emu::set_local(computer);

  // The SIDs the records could name: the domain SID at the end of its V
  // value, with and without each RID, and the BUILTIN alias.
  std::vector<uint8_t> domain(24, 0);
  if (domain_v.size() >= 24)
    std::memcpy(domain.data(), domain_v.data() + domain_v.size() - 24, 24);
  domain[0] = 1;
  domain[1] = 4;
  Resolve(domain);
  for (uint32_t rid : {0x3E9u, 0x201u, 0x3E8u, 0x3EAu, 0x3EBu}) {
    std::vector<uint8_t> sid = domain;
    sid[1] = 5;
    for (int i = 0; i < 4; ++i) sid.push_back(static_cast<uint8_t>(rid >> (8 * i)));
    Resolve(sid);
  }
  Resolve({1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0});
  return 0;
}
