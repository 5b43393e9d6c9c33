// The accounts of a SAM hive, laid out as Windows NT 4 to Server 2003 write
// them, so that the emulated platform's account look-up meets what a real
// system drive holds:
//
//   SAM\Domains\Account                   F (fixed), V ending with the domain SID
//   SAM\Domains\Account\Users\000001F4    F, V (entry 1: the user name)
//   SAM\Domains\Account\Users\Names\Administrator   default value of type 0x1F4
//   SAM\Domains\Account\Groups\00000201   C (name at 32/36, relative to 68)
//   SAM\Domains\Account\Aliases\000003E8  C (name at 16/20, relative to 52)
//   SAM\Domains\Builtin\Aliases\00000220  C, and the Names of each kind
//
//   vesk::tools::RegNode sam;
//   vesk::tools::add_sam_accounts(sam, {1060284298, 842925246, 1957994488},
//                                 {{500, u"Administrator"}, {1003, u"alice"}});
//   write_hive(dir / "SAM", sam, &error);
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "hivewriter.h"

namespace vesk::tools {

enum class SamKind { kUser, kGroup, kAlias };

struct SamAccount {
  uint32_t rid = 0;
  std::u16string name;
  SamKind kind = SamKind::kUser;
  std::u16string full_name;  // users only
  std::u16string comment;
  // Groups and aliases: the RIDs of their members in the account domain
  // (a group lists RIDs, an alias whole SIDs).
  std::vector<uint32_t> members;
};

// The V value of a user: the 17-entry table (offset, length, 0) and, after
// 0xCC bytes, a security descriptor, the name, the full name and the comment.
std::vector<uint8_t> sam_user_v(const SamAccount &user);
// The F value of a user: times, its RID at 0x30, flags at 0x38.
std::vector<uint8_t> sam_user_f(const SamAccount &user);
// The C value of a group, and of an alias whose members lie in `domain`.
std::vector<uint8_t> sam_group_c(const SamAccount &group);
std::vector<uint8_t> sam_alias_c(const SamAccount &alias,
                                 const std::array<uint32_t, 3> &domain);
// The V value of Domains\Account: a 0x40-byte table, a security descriptor
// and the domain SID S-1-5-21-a-b-c at its end (its offset, relative to 0x40,
// at 0x38, and 20 at 0x3C).
std::vector<uint8_t> sam_domain_v(const std::array<uint32_t, 3> &domain);

// Adds to `root` (the SAM hive's root, which holds the key "SAM") the
// account domain S-1-5-21-a-b-c with `accounts`, and the BUILTIN domain with
// `builtin` (aliases), each record with its Names entry.
void add_sam_accounts(RegNode &root, const std::array<uint32_t, 3> &domain,
                      const std::vector<SamAccount> &accounts,
                      const std::vector<SamAccount> &builtin = {});

}  // namespace vesk::tools
