#include "accounts/usercache.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "api/context.h"

namespace {

// LookupAccountSidW's name buffers, in UTF-16 units with the terminator.
constexpr DWORD kLookupUnits = 32;
// The area in which the account text is composed.
constexpr int kWorkUnits = 4096;
// Sub-authorities shown in the numeric form.
constexpr DWORD kShownSubAuthorities = 8;

// The tick count as a slot's last use.  0 marks an empty slot, so the one
// millisecond in which the tick count reads 0 is stamped 1.
DWORD Stamp() {
  DWORD now = GetTickCount();
  return now != 0 ? now : 1;
}

// Empties a slot and gives back its SID copy.
void GiveBack(CUserSlot *slot) {
  if (slot->last_use != 0 && slot->sid != nullptr) LocalFree(slot->sid);
  slot->sid = nullptr;
  slot->name[0] = 0;
  slot->last_use = 0;
}

// "DOMAIN\name" through the local computer's account look-up.  False when
// the look-up fails for any reason, a name of 32 characters or more included.
bool LookUp(PSID sid, WCHAR *work) {
  WCHAR name[kLookupUnits];
  WCHAR domain[kLookupUnits];
  DWORD name_units = kLookupUnits;
  DWORD domain_units = kLookupUnits;
  SID_NAME_USE use;
  name[0] = 0;
  domain[0] = 0;
  BOOL ok =
      LookupAccountSidW(nullptr, sid, name, &name_units, domain, &domain_units, &use);
  name[kLookupUnits - 1] = 0;
  domain[kLookupUnits - 1] = 0;
  if (!ok) return false;
  lstrcpyW(work, domain);
  lstrcatW(work, VTEXT("\\"));
  lstrcatW(work, name);
  return true;
}

// The numeric form "S-1-<authority>-<sub 0>-...-<sub 7>": the last byte of
// the identifier authority alone, and the first eight sub-authorities, those
// the SID lacks as 0.  Returns how many of them are meaningful.
DWORD Numeric(PSID sid, WCHAR *work) {
  const BYTE *count = GetSidSubAuthorityCount(sid);
  DWORD n = count != nullptr ? *count : 0;
  if (n > kShownSubAuthorities) n = kShownSubAuthorities;
  PSID_IDENTIFIER_AUTHORITY authority = GetSidIdentifierAuthority(sid);
  DWORD value = authority != nullptr ? authority->Value[5] : 0;
  DWORD sub[kShownSubAuthorities] = {};
  for (DWORD i = 0; i < n; ++i) {
    const DWORD *p = GetSidSubAuthority(sid, i);
    // The SID may lie anywhere in a record: read its bytes, not a DWORD.
    if (p != nullptr) std::memcpy(&sub[i], p, sizeof sub[i]);
  }
  wsprintfW(work, VTEXT("S-1-%lu-%lu-%lu-%lu-%lu-%lu-%lu-%lu-%lu"), value, sub[0], sub[1],
            sub[2], sub[3], sub[4], sub[5], sub[6], sub[7]);
  return n;
}

// Ends the numeric text at its (n + 3)-th '-', so that only the authority
// and the first n sub-authorities remain.
void CutNumeric(DWORD n, WCHAR *work) {
  DWORD dashes = 0;
  for (WCHAR *p = work; *p != 0; ++p) {
    if (*p == '-' && ++dashes == n + 3) {
      *p = 0;
      break;
    }
  }
}

// Appends `value` in decimal (or, with `hex`, as "0x" and twelve capital
// hexadecimal digits) while it fits `out` with its terminator.
void AppendNumber(uint64_t value, bool hex, WCHAR *out, DWORD *n) {
  WCHAR digits[24];
  DWORD count = 0;
  if (hex) {
    for (int i = 0; i < 12; ++i, value >>= 4)
      digits[count++] = static_cast<WCHAR>("0123456789ABCDEF"[value & 0xF]);
    digits[count++] = u'x';
    digits[count++] = u'0';
  } else {
    do {
      digits[count++] = static_cast<WCHAR>(u'0' + value % 10);
      value /= 10;
    } while (value != 0);
  }
  while (count > 0 && *n + 1 < static_cast<DWORD>(kUserNameUnits))
    out[(*n)++] = digits[--count];
}

void AppendChar(WCHAR c, WCHAR *out, DWORD *n) {
  if (*n + 1 < static_cast<DWORD>(kUserNameUnits)) out[(*n)++] = c;
}

// A hash of the SID's bytes: equal SIDs hash alike.  It reads the SID as
// far as its sub-authority count says, at most the 15 a SID can have.
uint32_t SidHash(PSID sid) {
  const BYTE *b = static_cast<const BYTE *>(sid);
  const DWORD bytes = b[1] <= kSidMaxSubAuthorities ? 8u + 4u * b[1] : 8u;
  uint32_t h = 0x811C9DC5u;
  for (DWORD i = 0; i < bytes; ++i) h = (h ^ b[i]) * 0x01000193u;
  return h;
}

}  // namespace

bool SidWellFormed(const BYTE *sid, DWORD room) {
  if (sid == nullptr || room < 8) return false;
  if (sid[0] != kSidRevision || sid[1] > kSidMaxSubAuthorities) return false;
  return 8u + 4u * sid[1] <= room;
}

void MalformedSidText(const BYTE *sid, DWORD room, WCHAR out[kUserNameUnits]) {
  DWORD n = 0;
  if (sid != nullptr && room >= 8) {
    AppendChar(u'S', out, &n);
    AppendChar(u'-', out, &n);
    AppendNumber(sid[0], false, out, &n);
    AppendChar(u'-', out, &n);
    // The 48-bit authority is big-endian; as in the usual string form of a
    // SID, a value of 2^32 or more is written in hexadecimal.
    uint64_t authority = 0;
    for (int i = 2; i < 8; ++i) authority = authority << 8 | sid[i];
    AppendNumber(authority, authority >> 32 != 0, out, &n);
    for (DWORD i = 0; i < sid[1] && 8u + 4u * (i + 1) <= room; ++i) {
      const BYTE *p = sid + 8 + 4 * i;
      AppendChar(u'-', out, &n);
      AppendNumber(static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) |
                       static_cast<uint32_t>(p[3]) << 24,
                   false, out, &n);
    }
  }
  out[n] = 0;
}

CUserCache::~CUserCache() { Release(); }

bool CUserCache::Alloc(DWORD count) {
  Release();
  slots_ = new (std::nothrow) CUserSlot[count];
  if (slots_ == nullptr) return false;
  for (DWORD &hint : hints_) hint = kNoHint;
  count_ = count;
  for (DWORD i = 0; i < count_; ++i) {
    slots_[i].sid = nullptr;
    slots_[i].name[0] = 0;
    slots_[i].last_use = 0;
    slots_[i].hash = 0;
  }
  return true;
}

void CUserCache::Release() {
  for (DWORD i = 0; i < count_; ++i)
    if (slots_[i].last_use != 0 && slots_[i].sid != nullptr) LocalFree(slots_[i].sid);
  delete[] slots_;
  slots_ = nullptr;
  count_ = 0;
}

LPCWSTR getuser(CEvtLog *ctx, PSID sid) {
  CUserSlot *slots = ctx->users.slots();
  const DWORD count = ctx->users.count();
  if (slots == nullptr || count == 0) {
    ctx->SetError(VTEXT("internal error, getuser, #3"));
    return nullptr;
  }

  // One pass: a hit ends it; otherwise it finds the slot to take, an empty
  // one (the last of them) before any in use, else the least recently used
  // one below the tick count read now (slot 0 when there is none).
  // A SID is in one slot at most, so the slot its hash last led to, when it
  // holds the SID, is the one the pass would find.
  const uint32_t hash = SidHash(sid);
  const DWORD hint = ctx->users.Hint(hash);
  if (hint < count) {
    CUserSlot *slot = &slots[hint];
    if (slot->last_use != 0 && slot->hash == hash && EqualSid(sid, slot->sid)) {
      slot->last_use = Stamp();
      return slot->name;
    }
  }
  CUserSlot *candidate = &slots[0];
  DWORD candidate_stamp = GetTickCount();
  for (DWORD i = 0; i < count; ++i) {
    CUserSlot *slot = &slots[i];
    if (slot->last_use == 0) {
      candidate = slot;
      candidate_stamp = 0;
    } else if (slot->hash == hash && EqualSid(sid, slot->sid)) {
      ctx->users.SetHint(hash, i);
      slot->last_use = Stamp();
      return slot->name;
    } else if (slot->last_use < candidate_stamp) {
      candidate = slot;
      candidate_stamp = slot->last_use;
    }
  }

  // A miss: the slot gets its own copy of the SID before its text.
  GiveBack(candidate);
  const DWORD bytes = GetLengthSid(sid);
  PSID copy = bytes != 0 ? LocalAlloc(LMEM_FIXED, bytes) : nullptr;
  if (copy == nullptr || !CopySid(bytes, copy, sid)) {
    // A SID that cannot be copied could never be found again; the slot
    // stays empty.
    if (copy != nullptr) LocalFree(copy);
    ctx->SetError(VTEXT("internal error, getuser, #4"));
    return nullptr;
  }
  candidate->sid = copy;
  candidate->hash = hash;
  ctx->users.SetHint(hash, static_cast<DWORD>(candidate - slots));
  candidate->last_use = Stamp();

  WCHAR work[kWorkUnits];
  work[0] = 0;
  if (LookUp(sid, work)) {
    if (lstrlenW(work) >= kWorkUnits) {
      GiveBack(candidate);
      ctx->SetError(VTEXT("internal error, getuser, #2"));
      return nullptr;
    }
  } else {
    const DWORD shown = Numeric(sid, work);
    if (lstrlenW(work) >= kWorkUnits) {
      GiveBack(candidate);
      ctx->SetError(VTEXT("internal error, getuser, #1"));
      return nullptr;
    }
    CutNumeric(shown, work);
  }
  lstrcpynW(candidate->name, work, kUserNameUnits);
  candidate->last_use = Stamp();
  return candidate->name;
}
