// The accounts a computer resolves for LookupAccountSidW: the well-known
// SIDs, the users, groups and aliases of its SAM hive, and accounts added
// in memory.
//
// The SAM hive (HKLM\SAM) is read as Windows NT 4 to Server 2003 write it,
// all little-endian:
//   SAM\Domains\Account            V ends with the machine's domain SID
//                                  S-1-5-21-a-b-c (24 bytes), whose offset
//                                  its table also gives (at 0x38, from 0x40)
//   ...\Users\<RID, 8 hex digits>  V: a table of 12-byte entries (offset,
//                                  length, unknown) whose entry 1 gives the
//                                  user name at offset + 0xCC
//   ...\Groups\<RID>               C: RID at 4, name offset and length at 32
//                                  and 36, relative to 68
//   ...\Aliases\<RID>              C: RID at 0, name offset and length at 16
//                                  and 20, relative to 52
//   ...\{Users,Groups,Aliases}\Names\<name>
//                                  the default value's registry type is the
//                                  RID (the index from name to RID)
//   SAM\Domains\Builtin\Aliases    the BUILTIN aliases, laid out as above
// A record is the authority for its name; an account listed only under
// Names is taken from there.  Everything is checked against the bytes
// present: a record that does not fit is reported and skipped, and a domain
// without a readable SID holds no accounts.
#include <cstdint>
#include <cstring>
#include <unordered_map>

#include "platform/emulated/internal.h"

namespace vesk::emu {

struct Computer::Accounts {
  struct Entry {
    std::u16string name;
    SID_NAME_USE use = SidTypeUser;
  };
  struct Added {
    std::vector<uint8_t> sid;
    detail::Account account;
  };

  std::mutex mutex;
  std::vector<Added> added;
  bool sam_read = false;
  std::vector<uint8_t> domain_sid;              // the account domain's SID; empty: none
  std::u16string domain_name;                   // the computer's name
  std::unordered_map<uint32_t, Entry> local;    // by RID, account domain
  std::unordered_map<uint32_t, Entry> builtin;  // by RID, BUILTIN
};

Computer::Accounts &Computer::accounts() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!accounts_) accounts_ = std::make_shared<Accounts>();
  return *accounts_;
}

namespace {

using Accounts = Computer::Accounts;

uint32_t le32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The SID's identifier authority, the 48-bit big-endian number at byte 2.
uint64_t authority_of(const uint8_t *sid) {
  uint64_t a = 0;
  for (int i = 2; i < 8; ++i) a = a << 8 | sid[i];
  return a;
}

// ------------------------------------------------------------ well-known

constexpr SID_NAME_USE kWellKnown = SidTypeWellKnownGroup;

struct WellKnown {
  uint8_t authority;
  uint8_t count;  // sub-authorities
  uint32_t sub[2];
  const char16_t *domain;
  const char16_t *name;
  SID_NAME_USE use;
};

// The names Windows XP and Server 2003 (English) give the well-known SIDs.
// Logon-session SIDs (S-1-5-5-x-y) map to nothing.
constexpr WellKnown kWellKnownSids[] = {
    {0, 1, {0}, u"", u"NULL SID", kWellKnown},
    {1, 1, {0}, u"", u"Everyone", kWellKnown},
    {2, 1, {0}, u"", u"LOCAL", kWellKnown},
    {3, 1, {0}, u"", u"CREATOR OWNER", kWellKnown},
    {3, 1, {1}, u"", u"CREATOR GROUP", kWellKnown},
    {3, 1, {2}, u"", u"CREATOR OWNER SERVER", kWellKnown},
    {3, 1, {3}, u"", u"CREATOR GROUP SERVER", kWellKnown},
    {5, 1, {1}, u"NT AUTHORITY", u"DIALUP", kWellKnown},
    {5, 1, {2}, u"NT AUTHORITY", u"NETWORK", kWellKnown},
    {5, 1, {3}, u"NT AUTHORITY", u"BATCH", kWellKnown},
    {5, 1, {4}, u"NT AUTHORITY", u"INTERACTIVE", kWellKnown},
    {5, 1, {6}, u"NT AUTHORITY", u"SERVICE", kWellKnown},
    {5, 1, {7}, u"NT AUTHORITY", u"ANONYMOUS LOGON", kWellKnown},
    {5, 1, {8}, u"NT AUTHORITY", u"PROXY", kWellKnown},
    {5, 1, {9}, u"NT AUTHORITY", u"ENTERPRISE DOMAIN CONTROLLERS", kWellKnown},
    {5, 1, {10}, u"NT AUTHORITY", u"SELF", kWellKnown},
    {5, 1, {11}, u"NT AUTHORITY", u"Authenticated Users", kWellKnown},
    {5, 1, {12}, u"NT AUTHORITY", u"RESTRICTED", kWellKnown},
    {5, 1, {13}, u"NT AUTHORITY", u"TERMINAL SERVER USER", kWellKnown},
    {5, 1, {14}, u"NT AUTHORITY", u"REMOTE INTERACTIVE LOGON", kWellKnown},
    {5, 1, {15}, u"NT AUTHORITY", u"This Organization", kWellKnown},
    {5, 1, {18}, u"NT AUTHORITY", u"SYSTEM", kWellKnown},
    {5, 1, {19}, u"NT AUTHORITY", u"LOCAL SERVICE", kWellKnown},
    {5, 1, {20}, u"NT AUTHORITY", u"NETWORK SERVICE", kWellKnown},
    {5, 1, {1000}, u"NT AUTHORITY", u"Other Organization", kWellKnown},
    {5, 2, {64, 10}, u"NT AUTHORITY", u"NTLM Authentication", kWellKnown},
    {5, 2, {64, 14}, u"NT AUTHORITY", u"SChannel Authentication", kWellKnown},
    {5, 2, {64, 21}, u"NT AUTHORITY", u"Digest Authentication", kWellKnown},
    {5, 1, {32}, u"BUILTIN", u"BUILTIN", SidTypeDomain},
    {5, 2, {32, 544}, u"BUILTIN", u"Administrators", SidTypeAlias},
    {5, 2, {32, 545}, u"BUILTIN", u"Users", SidTypeAlias},
    {5, 2, {32, 546}, u"BUILTIN", u"Guests", SidTypeAlias},
    {5, 2, {32, 547}, u"BUILTIN", u"Power Users", SidTypeAlias},
    {5, 2, {32, 548}, u"BUILTIN", u"Account Operators", SidTypeAlias},
    {5, 2, {32, 549}, u"BUILTIN", u"Server Operators", SidTypeAlias},
    {5, 2, {32, 550}, u"BUILTIN", u"Print Operators", SidTypeAlias},
    {5, 2, {32, 551}, u"BUILTIN", u"Backup Operators", SidTypeAlias},
    {5, 2, {32, 552}, u"BUILTIN", u"Replicator", SidTypeAlias},
    {5, 2, {32, 554}, u"BUILTIN", u"Pre-Windows 2000 Compatible Access", SidTypeAlias},
    {5, 2, {32, 555}, u"BUILTIN", u"Remote Desktop Users", SidTypeAlias},
    {5, 2, {32, 556}, u"BUILTIN", u"Network Configuration Operators", SidTypeAlias},
    {5, 2, {32, 557}, u"BUILTIN", u"Incoming Forest Trust Builders", SidTypeAlias},
    {5, 2, {32, 558}, u"BUILTIN", u"Performance Monitor Users", SidTypeAlias},
    {5, 2, {32, 559}, u"BUILTIN", u"Performance Log Users", SidTypeAlias},
};

const WellKnown *find_well_known(const uint8_t *sid) {
  const uint8_t count = sid[1];
  if (count < 1 || count > 2) return nullptr;
  const uint64_t authority = authority_of(sid);
  for (const auto &w : kWellKnownSids) {
    if (w.count != count || w.authority != authority) continue;
    bool same = true;
    for (uint8_t i = 0; i < count && same; ++i) same = le32(sid + 8 + 4 * i) == w.sub[i];
    if (same) return &w;
  }
  return nullptr;
}

// ------------------------------------------------------------ SAM records

// UTF-16LE text of `length` bytes at `base` + `offset` inside `data`; false
// when it does not lie wholly inside, is empty, has an odd length or holds a
// NUL.
bool text_at(const std::vector<uint8_t> &data, uint64_t base, uint64_t offset,
             uint64_t length, std::u16string *out) {
  const uint64_t start = base + offset;
  if (length == 0 || length % 2 != 0 || start > data.size() ||
      length > data.size() - start)
    return false;
  out->clear();
  for (uint64_t i = 0; i < length; i += 2) {
    const char16_t c = static_cast<char16_t>(data[start + i] | data[start + i + 1] << 8);
    if (c == 0) return false;  // names hold no NUL
    out->push_back(c);
  }
  return true;
}

// Where a kind of record keeps its RID and name.
struct Layout {
  const char16_t *kind;   // "Users", "Groups", "Aliases"
  const char16_t *value;  // the record's value
  SID_NAME_USE use;
  size_t rid_at;      // where the record repeats its RID; SIZE_MAX: it does not
  size_t name_entry;  // the name's offset, its length at + 4
  size_t data_base;   // what the offset is relative to
};

constexpr Layout kUsers = {u"Users", u"V", SidTypeUser, SIZE_MAX, 0x0C, 0xCC};
constexpr Layout kGroups = {u"Groups", u"C", SidTypeGroup, 4, 32, 68};
constexpr Layout kAliases = {u"Aliases", u"C", SidTypeAlias, 0, 16, 52};

// The RID that a record key's name ("000001F4") spells; false when it is
// not eight hex digits.
bool rid_of_key(std::u16string_view name, uint32_t *rid) {
  if (name.size() != 8) return false;
  uint32_t value = 0;
  for (char16_t c : name) {
    int digit;
    if (c >= u'0' && c <= u'9')
      digit = c - u'0';
    else if (c >= u'A' && c <= u'F')
      digit = c - u'A' + 10;
    else if (c >= u'a' && c <= u'f')
      digit = c - u'a' + 10;
    else
      return false;
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  *rid = value;
  return true;
}

// The name a record holds; false (with *why) when the record is malformed.
bool record_name(const std::vector<uint8_t> &data, const Layout &layout, uint32_t rid,
                 std::u16string *name, std::string *why) {
  if (data.size() < layout.data_base) {
    *why = "shorter than its " + std::to_string(layout.data_base) + "-byte header";
    return false;
  }
  if (layout.rid_at != SIZE_MAX && le32(data.data() + layout.rid_at) != rid) {
    *why = "holds another RID";
    return false;
  }
  const uint32_t offset = le32(data.data() + layout.name_entry);
  const uint32_t length = le32(data.data() + layout.name_entry + 4);
  if (!text_at(data, layout.data_base, offset, length, name)) {
    *why = "its name does not lie inside it, or holds a NUL";
    return false;
  }
  return true;
}

// Reads the records and the Names index of one kind below a domain key.
void read_kind(const std::shared_ptr<RegKey> &domain, const Layout &layout,
               const std::string &where,
               std::unordered_map<uint32_t, Accounts::Entry> *out) {
  auto kind = domain->child(layout.kind);
  if (!kind) return;
  const std::string here = where + "\\" + to_utf8(layout.kind);
  // Each list is taken in one pass: a name looked up one by one would search
  // the whole list again, and a SAM with many accounts would take
  // quadratic time.  Names comes from the same pass: looking it up by name
  // would list the kind's subkeys a second time.
  std::shared_ptr<RegKey> names;
  for (const auto &[key, record] : kind->children()) {
    uint32_t rid = 0;
    if (!rid_of_key(key, &rid)) {
      if (!names && iequal(key, u"Names")) names = record;
      continue;  // Names, Members
    }
    auto value = record ? record->value(layout.value) : std::nullopt;
    std::u16string name;
    std::string why = "has no " + to_utf8(layout.value) + " value";
    if (value && record_name(value->data, layout, rid, &name, &why))
      (*out)[rid] = Accounts::Entry{std::move(name), layout.use};
    else
      report("SAM: " + here + "\\" + to_utf8(key) + ": " + why + "; skipped");
  }
  if (!names) return;
  for (const auto &[key, entry] : names->children()) {
    auto value = entry ? entry->value(u"") : std::nullopt;
    if (!value) continue;
    // The index agrees with the records on a consistent hive; a record,
    // where there is one, decides.
    out->emplace(value->type, Accounts::Entry{key, layout.use});
  }
}

// The domain SID of Domains\Account's V value: at its end, where Windows
// puts it, or failing that where the value's table places it (offset at
// 0x38, relative to 0x40).  Either place must hold S-1-5-21-a-b-c.
bool domain_sid_of(const std::shared_ptr<RegKey> &account, std::vector<uint8_t> *sid) {
  auto v = account->value(u"V");
  if (!v) return false;
  const std::vector<uint8_t> &data = v->data;
  static const uint8_t kPrefix[12] = {1, 4, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0};
  auto at = [&](uint64_t off) {
    if (off > data.size() || data.size() - off < 24 ||
        std::memcmp(data.data() + off, kPrefix, sizeof kPrefix) != 0)
      return false;
    sid->assign(data.begin() + static_cast<ptrdiff_t>(off),
                data.begin() + static_cast<ptrdiff_t>(off + 24));
    return true;
  };
  if (data.size() >= 24 && at(data.size() - 24)) return true;
  return data.size() >= 0x40 && at(0x40 + uint64_t{le32(data.data() + 0x38)});
}

// Reads the SAM hive of `computer` into `a`, once.  Called with a.mutex held.
void read_sam(Computer &computer, Accounts &a) {
  if (a.sam_read) return;
  a.sam_read = true;
  a.domain_name = detail::string_value(
      detail::lookup(computer.hklm(),
                     u"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName"),
      u"ComputerName");
  if (a.domain_name.empty()) a.domain_name = computer.name();

  auto domains = detail::lookup(computer.hklm(), u"SAM\\SAM\\Domains");
  if (!domains) return;
  if (auto builtin = domains->child(u"Builtin"))
    read_kind(builtin, kAliases, "Domains\\Builtin", &a.builtin);
  auto account = domains->child(u"Account");
  if (!account) return;
  if (!domain_sid_of(account, &a.domain_sid)) {
    report("SAM of " + to_utf8(computer.name()) +
           ": the V value of Domains\\Account does not end with the domain SID; its "
           "accounts are not resolved");
    return;
  }
  for (const Layout *layout : {&kUsers, &kGroups, &kAliases})
    read_kind(account, *layout, "Domains\\Account", &a.local);
}

}  // namespace

void add_account(Computer &computer, std::vector<uint8_t> sid, std::u16string domain,
                 std::u16string name, SID_NAME_USE use) {
  Accounts &a = computer.accounts();
  std::lock_guard<std::mutex> lock(a.mutex);
  a.added.push_back(
      Accounts::Added{std::move(sid), {std::move(domain), std::move(name), use}});
}

bool detail::find_account(Computer &computer, const uint8_t *sid, Account *out) {
  const size_t length = 8 + 4 * static_cast<size_t>(sid[1]);
  Accounts &a = computer.accounts();
  std::lock_guard<std::mutex> lock(a.mutex);
  for (const auto &added : a.added) {
    if (added.sid.size() == length && std::memcmp(added.sid.data(), sid, length) == 0) {
      *out = added.account;
      return true;
    }
  }
  if (const WellKnown *w = find_well_known(sid)) {
    *out = Account{w->domain, w->name, w->use};
    return true;
  }
  read_sam(computer, a);
  // S-1-5-21-a-b-c itself names the computer; with one RID more, one of
  // its accounts.  S-1-5-32-RID is a BUILTIN alias.
  const bool in_domain = !a.domain_sid.empty() && (sid[1] == 4 || sid[1] == 5) &&
                         std::memcmp(sid + 2, a.domain_sid.data() + 2, 6 + 16) == 0;
  if (in_domain && sid[1] == 4) {
    *out = Account{a.domain_name, a.domain_name, SidTypeDomain};
    return true;
  }
  const bool builtin = sid[1] == 2 && authority_of(sid) == 5 && le32(sid + 8) == 32;
  if (!in_domain && !builtin) return false;
  const auto &table = builtin ? a.builtin : a.local;
  auto it = table.find(le32(sid + length - 4));
  if (it == table.end()) return false;
  *out = Account{builtin ? std::u16string(u"BUILTIN") : a.domain_name, it->second.name,
                 it->second.use};
  return true;
}

}  // namespace vesk::emu
