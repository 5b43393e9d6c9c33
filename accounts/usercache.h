// The per-context cache that turns security identifiers into account names.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr int kUserNameUnits = 64;
constexpr DWORD kUserCacheSlots = 100;

struct CUserSlot {
  PSID sid;                    // LocalAlloc'd copy; meaningful while in use
  WCHAR name[kUserNameUnits];  // account text, at most 63 characters
  DWORD last_use;              // GetTickCount at the last use; 0 = empty
  uint32_t hash;               // SidHash of `sid`, so most slots are passed over
                               // without comparing SIDs
};

class CUserCache {
 public:
  CUserCache() = default;
  ~CUserCache();
  CUserCache(const CUserCache &) = delete;
  CUserCache &operator=(const CUserCache &) = delete;

  // Allocates `count` empty slots.  False if the table cannot be had.
  bool Alloc(DWORD count);
  // Gives back every SID copy and the table.
  void Release();

  CUserSlot *slots() const { return slots_; }
  DWORD count() const { return count_; }

  // Where a SID of hash `hash` was last put or found: a slot number to try
  // before walking the slots, or kNoHint.  A hint is only ever a guess; the
  // slot it names is checked.
  static constexpr DWORD kNoHint = 0xFFFFFFFF;
  DWORD Hint(uint32_t hash) const { return hints_[hash % kHints]; }
  void SetHint(uint32_t hash, DWORD slot) { hints_[hash % kHints] = slot; }

 private:
  static constexpr DWORD kHints = 256;
  CUserSlot *slots_ = nullptr;
  DWORD count_ = 0;
  DWORD hints_[kHints];
};

struct CEvtLog;

// The account text for `sid` ("DOMAIN\name", or the numeric S-1 form when
// the local computer cannot resolve it), kept in the context's user cache.
// Valid until a later getuser on the same context misses.  Null after an
// error has been latched on the context.
LPCWSTR getuser(CEvtLog *ctx, PSID sid);

// The revision of the SIDs this platform resolves, and the most
// sub-authorities such a SID has.
constexpr BYTE kSidRevision = 1;
constexpr BYTE kSidMaxSubAuthorities = 15;

// Whether the `room` bytes at `sid` hold a SID the platform's SID calls take:
// revision 1, at most 15 sub-authorities, all of them inside `room`.
bool SidWellFormed(const BYTE *sid, DWORD room);

// The numeric form of a SID that is not well formed, read from its bytes as
// far as `room` allows: "S-<revision>-<authority>" and then each
// sub-authority its count names that lies inside `room`.  Empty when not
// even the revision, count and authority (8 bytes) are there.  At most 63
// characters, like every account text.
void MalformedSidText(const BYTE *sid, DWORD room, WCHAR out[kUserNameUnits]);
