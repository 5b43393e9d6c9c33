#include "samwriter.h"

#include <cstdint>
#include <cstdio>
#include <initializer_list>

namespace vesk::tools {
namespace {

void put32(std::vector<uint8_t> &out, size_t at, uint32_t v) {
  if (out.size() < at + 4) out.resize(at + 4);
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void put16(std::vector<uint8_t> &out, size_t at, uint16_t v) {
  if (out.size() < at + 2) out.resize(at + 2);
  out[at] = static_cast<uint8_t>(v);
  out[at + 1] = static_cast<uint8_t>(v >> 8);
}

std::vector<uint8_t> utf16(const std::u16string &s) {
  std::vector<uint8_t> out;
  for (char16_t c : s) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  return out;
}

// A self-relative security descriptor with no owner, group or ACLs: what
// stands first in the variable part of every record.
std::vector<uint8_t> empty_descriptor() {
  std::vector<uint8_t> sd(20, 0);
  sd[0] = 1;
  put16(sd, 2, 0x8004);  // SE_SELF_RELATIVE | SE_DACL_PRESENT
  return sd;
}

constexpr size_t kNoEntry = SIZE_MAX;

struct Piece {
  size_t entry_at;  // where its (offset, length) pair goes; kNoEntry: nowhere
  std::vector<uint8_t> bytes;
};

// Records whose fixed part holds (offset, length) pairs pointing into a
// variable part that starts `base` bytes in: each piece is placed there
// 4-byte aligned, in order, and its pair written into the fixed part.
std::vector<uint8_t> with_pieces(std::vector<uint8_t> fixed, size_t base,
                                 const std::vector<Piece> &pieces) {
  fixed.resize(base, 0);
  std::vector<uint8_t> var;
  for (const Piece &piece : pieces) {
    while (var.size() % 4 != 0) var.push_back(0);
    if (piece.entry_at != kNoEntry) {
      put32(fixed, piece.entry_at, static_cast<uint32_t>(var.size()));
      put32(fixed, piece.entry_at + 4, static_cast<uint32_t>(piece.bytes.size()));
    }
    var.insert(var.end(), piece.bytes.begin(), piece.bytes.end());
  }
  fixed.insert(fixed.end(), var.begin(), var.end());
  return fixed;
}

std::u16string rid_key(uint32_t rid) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", rid);
  return std::u16string(text, text + 8);
}

const char16_t *kind_key(SamKind kind) {
  switch (kind) {
    case SamKind::kUser:
      return u"Users";
    case SamKind::kGroup:
      return u"Groups";
    case SamKind::kAlias:
      break;
  }
  return u"Aliases";
}

std::vector<uint8_t> domain_sid(const std::array<uint32_t, 3> &domain,
                                std::initializer_list<uint32_t> rids) {
  std::vector<uint8_t> sid = {
      1, static_cast<uint8_t>(4 + rids.size()), 0, 0, 0, 0, 0, 5, 21, 0, 0, 0};
  for (uint32_t sub : domain) put32(sid, sid.size(), sub);
  for (uint32_t rid : rids) put32(sid, sid.size(), rid);
  return sid;
}

void add_account(RegNode &domain_key, const SamAccount &a,
                 const std::array<uint32_t, 3> &domain) {
  const std::u16string kind = kind_key(a.kind);
  RegNode &record = domain_key.key(kind + u"\\" + rid_key(a.rid));
  switch (a.kind) {
    case SamKind::kUser:
      record.set(u"F", 3, sam_user_f(a));
      record.set(u"V", 3, sam_user_v(a));
      break;
    case SamKind::kGroup:
      record.set(u"C", 3, sam_group_c(a));
      break;
    case SamKind::kAlias:
      record.set(u"C", 3, sam_alias_c(a, domain));
      break;
  }
  // The index from name to RID: no data, the RID as the value's type.
  domain_key.key(kind + u"\\Names\\" + a.name).set(u"", a.rid, {});
}

}  // namespace

std::vector<uint8_t> sam_user_v(const SamAccount &user) {
  // Entries: 0 security descriptor, 1 name, 2 full name, 3 comment, then
  // user comment, unused, home directory, home drive, script, profile,
  // workstations, hours allowed, unused, LM and NT hashes, history.
  std::vector<Piece> pieces = {{0, empty_descriptor()},
                               {12, utf16(user.name)},
                               {24, utf16(user.full_name)},
                               {36, utf16(user.comment)}};
  for (size_t i = 4; i < 17; ++i) pieces.push_back({12 * i, {}});
  return with_pieces({}, 0xCC, pieces);
}

std::vector<uint8_t> sam_user_f(const SamAccount &user) {
  std::vector<uint8_t> f(0x50, 0);
  put16(f, 0x00, 2);
  put16(f, 0x02, 1);
  put32(f, 0x20, 0xFFFFFFFF);  // account never expires
  put32(f, 0x24, 0x7FFFFFFF);
  put32(f, 0x30, user.rid);
  put32(f, 0x34, 0x0201);
  // ACB_NORMAL | ACB_PWNOEXP; the Guest account is disabled as installed.
  put16(f, 0x38, user.rid == 501 ? 0x0215 : 0x0210);
  return f;
}

std::vector<uint8_t> sam_group_c(const SamAccount &group) {
  std::vector<uint8_t> fixed(68, 0);
  put16(fixed, 0, 2);
  put16(fixed, 2, 1);
  put32(fixed, 4, group.rid);
  put16(fixed, 28, 2);
  put16(fixed, 30, 1);
  std::vector<uint8_t> members;
  for (uint32_t rid : group.members) put32(members, members.size(), rid);
  put32(fixed, 64, static_cast<uint32_t>(group.members.size()));
  return with_pieces(fixed, 68,
                     {{kNoEntry, empty_descriptor()},
                      {32, utf16(group.name)},
                      {44, utf16(group.comment)},
                      {56, members}});
}

std::vector<uint8_t> sam_alias_c(const SamAccount &alias,
                                 const std::array<uint32_t, 3> &domain) {
  std::vector<uint8_t> fixed(52, 0);
  std::vector<uint8_t> members;
  for (uint32_t rid : alias.members) {
    std::vector<uint8_t> sid = domain_sid(domain, {rid});
    members.insert(members.end(), sid.begin(), sid.end());
  }
  put32(fixed, 48, static_cast<uint32_t>(alias.members.size()));
  const std::vector<uint8_t> descriptor = empty_descriptor();
  put32(fixed, 0, alias.rid);
  put32(fixed, 8, static_cast<uint32_t>(descriptor.size()));
  put16(fixed, 12, 2);
  put16(fixed, 14, 1);
  return with_pieces(fixed, 52,
                     {{kNoEntry, descriptor},
                      {16, utf16(alias.name)},
                      {28, utf16(alias.comment)},
                      {40, members}});
}

std::vector<uint8_t> sam_domain_v(const std::array<uint32_t, 3> &domain) {
  std::vector<uint8_t> sid = domain_sid(domain, {});
  std::vector<uint8_t> v =
      with_pieces({}, 0x40, {{kNoEntry, empty_descriptor()}, {0x38, sid}});
  put32(v, 0x3C, static_cast<uint32_t>(sid.size() - 4));
  return v;
}

void add_sam_accounts(RegNode &root, const std::array<uint32_t, 3> &domain,
                      const std::vector<SamAccount> &accounts,
                      const std::vector<SamAccount> &builtin) {
  RegNode &account = root.key(u"SAM\\Domains\\Account");
  std::vector<uint8_t> f(0xF0, 0);
  put16(f, 0, 2);
  put16(f, 2, 1);
  uint32_t next_rid = 1000;
  for (const SamAccount &a : accounts)
    if (a.rid >= next_rid) next_rid = a.rid + 1;
  put32(f, 0x48, next_rid);
  account.set(u"F", 3, f);
  account.set(u"V", 3, sam_domain_v(domain));
  for (const SamAccount &a : accounts) add_account(account, a, domain);
  RegNode &builtin_domain = root.key(u"SAM\\Domains\\Builtin");
  for (SamAccount a : builtin) {
    a.kind = SamKind::kAlias;
    add_account(builtin_domain, a, domain);
  }
}

}  // namespace vesk::tools
