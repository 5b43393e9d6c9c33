// Entries of a context's caches (source entries, failed numbers), carved
// from blocks of many: the caches only grow until the context is released,
// so an entry is never given back on its own, and an image that names
// thousands of sources costs one allocation per block rather than per
// entry.  Entries are built in place by their user and destroyed by it;
// the pool only hands out and takes back the memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

namespace vesk::pool {

template <class T>
class EntryPool {
 public:
  EntryPool() = default;
  ~EntryPool() { Release(); }
  EntryPool(const EntryPool &) = delete;
  EntryPool &operator=(const EntryPool &) = delete;

  // Memory for one T, or null when no block can be had.  *ordinal, when
  // asked for, is set to the entry's number, by which At finds it.
  void *Take(uint32_t *ordinal = nullptr) {
    if (used_ == kPerBlock || count_ == 0) {
      if (count_ == capacity_) {
        const uint32_t grown = capacity_ == 0 ? 16 : capacity_ * 2;
        Block **table = new (std::nothrow) Block *[grown];
        if (table == nullptr) return nullptr;
        for (uint32_t i = 0; i < count_; ++i) table[i] = blocks_[i];
        delete[] blocks_;
        blocks_ = table;
        capacity_ = grown;
      }
      Block *b = new (std::nothrow) Block;
      if (b == nullptr) return nullptr;
      blocks_[count_++] = b;
      used_ = 0;
    }
    if (ordinal != nullptr)
      *ordinal = static_cast<uint32_t>((count_ - 1) * kPerBlock + used_);
    return blocks_[count_ - 1]->slots[used_++].bytes;
  }

  // The entry numbered `ordinal` by Take.
  T *At(uint32_t ordinal) const {
    return reinterpret_cast<T *>(
        blocks_[ordinal / kPerBlock]->slots[ordinal % kPerBlock].bytes);
  }

  // Gives back every block; the entries in them must be destroyed already.
  void Release() {
    for (uint32_t i = 0; i < count_; ++i) delete blocks_[i];
    delete[] blocks_;
    blocks_ = nullptr;
    count_ = capacity_ = 0;
    used_ = 0;
  }

 private:
  static constexpr uint32_t kPerBlock = 64;
  struct Slot {
    alignas(T) unsigned char bytes[sizeof(T)];
  };
  struct Block {
    Slot slots[kPerBlock];
  };
  Block **blocks_ = nullptr;  // in the order taken
  uint32_t count_ = 0, capacity_ = 0;
  uint32_t used_ = 0;  // slots of the last block taken
};

}  // namespace vesk::pool
