// An open-addressing index beside one of the context's lists (sources,
// modules, failed numbers), so that a look-up costs the same however long an
// image makes the list.  The list stays the owner of its entries and keeps
// its order and its release; the index only points into it and never frees
// an entry.  Entries are only ever added, and the whole index released at
// once.
//
// The hash is seeded per index from addresses that differ from run to run,
// so that an image cannot be built to put all its names in one chain.  When
// the memory to grow cannot be had the index gives up (Find answers "not
// known") and its caller walks the list, as it did before there was one.
#pragma once

#include <cstdint>
#include <new>

#include "platform/platform.h"

namespace vesk::index {

// A finaliser that spreads every input bit over the whole word.
inline uint32_t Mix(uint32_t h) {
  h ^= h >> 16;
  h *= 0x85EBCA6Bu;
  h ^= h >> 13;
  h *= 0xC2B2AE35u;
  h ^= h >> 16;
  return h;
}

// The hash of a text as a case-insensitive comparison sees it: ASCII
// letters fold to upper case.  Other units go in as they are, so two names
// that a comparison takes as equal beyond ASCII may fall into two entries;
// that only costs a second entry for the same name, never a wrong match,
// since a match is always confirmed by the comparison itself.
inline uint32_t HashText(uint32_t seed, const WCHAR *text, int limit) {
  uint32_t h = seed ^ 0x811C9DC5u;
  for (int i = 0; i < limit && text[i] != 0; ++i) {
    WCHAR c = text[i];
    if (c >= u'a' && c <= u'z') c = static_cast<WCHAR>(c - 0x20);
    h = (h ^ c) * 0x01000193u;
  }
  return Mix(h);
}

// The index itself, over references of type Ref to the list's entries:
// pointers (HashIndex), or for a list an image can grow to many entries,
// 32-bit numbers the caller turns into entries, which halve the index.
// A reference of Ref{} marks an empty slot and is never indexed.
template <class Ref>
class RefIndex {
 public:
  RefIndex() {
    int local = 0;
    auto a = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(this));
    auto b = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&local));
    seed_ = Mix(static_cast<uint32_t>(a ^ (a >> 32)) ^
                Mix(static_cast<uint32_t>(b ^ (b >> 32)) + 0x9E3779B9u));
  }
  ~RefIndex() { Release(); }
  RefIndex(const RefIndex &) = delete;
  RefIndex &operator=(const RefIndex &) = delete;

  // The seed to hash keys with; fixed for the index's life.
  uint32_t seed() const { return seed_; }

  // False when the index gave up: its caller must walk the list.
  bool usable() const { return !broken_; }

  // The first entry of hash `hash` for which same(entry) holds, or Ref{}.
  // Only meaningful while usable().
  template <class Same>
  Ref Find(uint32_t hash, Same same) const {
    if (slots_ == nullptr) return Ref{};
    for (uint32_t i = hash & mask_;; i = (i + 1) & mask_) {
      const Slot &s = slots_[i];
      if (s.entry == Ref{}) return Ref{};
      if (s.hash == hash && same(s.entry)) return s.entry;
    }
  }

  // Indexes `entry` under `hash`.  When no memory can be had the index gives
  // up for good.
  void Add(uint32_t hash, Ref entry) {
    if (broken_) return;
    if ((count_ + 1) * 2 > capacity() && !Grow()) {
      Release();
      broken_ = true;
      return;
    }
    Put(slots_, mask_, hash, entry);
    ++count_;
  }

  // Empties the index; it is usable again.
  void Release() {
    delete[] slots_;
    slots_ = nullptr;
    mask_ = 0;
    count_ = 0;
    broken_ = false;
  }

 private:
  struct Slot {
    uint32_t hash;
    Ref entry;
  };

  uint32_t capacity() const { return slots_ == nullptr ? 0 : mask_ + 1; }

  static void Put(Slot *slots, uint32_t mask, uint32_t hash, Ref entry) {
    uint32_t i = hash & mask;
    while (slots[i].entry != Ref{}) i = (i + 1) & mask;
    slots[i] = {hash, entry};
  }

  bool Grow() {
    uint32_t size = slots_ == nullptr ? 16 : capacity() * 2;
    if (size == 0) return false;  // past 2^31 slots
    Slot *grown = new (std::nothrow) Slot[size];
    if (grown == nullptr) return false;
    for (uint32_t i = 0; i < size; ++i) grown[i] = {0, Ref{}};
    for (uint32_t i = 0; i < capacity(); ++i)
      if (slots_[i].entry != Ref{}) Put(grown, size - 1, slots_[i].hash, slots_[i].entry);
    delete[] slots_;
    slots_ = grown;
    mask_ = size - 1;
    return true;
  }

  Slot *slots_ = nullptr;
  uint32_t mask_ = 0;
  uint32_t count_ = 0;
  uint32_t seed_ = 0;
  bool broken_ = false;
};

template <class T>
using HashIndex = RefIndex<T *>;

}  // namespace vesk::index
