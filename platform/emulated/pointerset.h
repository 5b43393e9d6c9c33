// A set of the addresses of live blocks handed out by the emulated
// allocators, so that a free of an address never handed out (or freed
// twice) is caught without reading the memory in front of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vesk::emu::detail {

// The addresses of live blocks (BSTRs, LocalAlloc memory): an
// open-addressing set with linear probing, at most half full, whose slots
// are allocated only when it grows, never per block.  Erasing shifts the entries that
// follow back, so no tombstones pile up.
class PointerSet {
 public:
  // False when `p` is in the set already.
  bool insert(const void *p) {
    if ((size_ + 1) * 2 > capacity_) grow();
    size_t i = home(p);
    for (; slots_[i] != nullptr; i = (i + 1) & mask_)
      if (slots_[i] == p) return false;
    slots_[i] = p;
    ++size_;
    return true;
  }

  // False when `p` is not in the set.
  bool erase(const void *p) {
    if (capacity_ == 0) return false;
    size_t i = home(p);
    for (; slots_[i] != p; i = (i + 1) & mask_)
      if (slots_[i] == nullptr) return false;
    // Moves back each following entry of the run whose home slot does not
    // lie cyclically in (i, j], so that every entry stays reachable.
    for (size_t j = (i + 1) & mask_; slots_[j] != nullptr; j = (j + 1) & mask_) {
      size_t k = home(slots_[j]);
      bool stays = i <= j ? (i < k && k <= j) : (i < k || k <= j);
      if (!stays) {
        slots_[i] = slots_[j];
        i = j;
      }
    }
    slots_[i] = nullptr;
    --size_;
    return true;
  }

 private:
  size_t home(const void *p) const {
    // Fibonacci hashing of the address; blocks are 16-byte aligned.
    uint64_t h = (reinterpret_cast<uintptr_t>(p) >> 4) * 0x9E3779B97F4A7C15ULL;
    return static_cast<size_t>(h >> (64 - bits_));
  }

  void grow() {
    size_t old_capacity = capacity_;
    std::unique_ptr<const void *[]> old = std::move(slots_);
    // A small first table: a walk keeps a handful of blocks live, and the
    // slots it touches then stay in the nearest cache.
    bits_ = bits_ == 0 ? 6 : bits_ + 1;
    capacity_ = size_t{1} << bits_;
    mask_ = capacity_ - 1;
    slots_ = std::make_unique<const void *[]>(capacity_);
    size_ = 0;
    for (size_t i = 0; i < old_capacity; ++i)
      if (old[i] != nullptr) insert(old[i]);
  }

  std::unique_ptr<const void *[]> slots_;
  size_t capacity_ = 0;
  size_t mask_ = 0;
  size_t size_ = 0;
  unsigned bits_ = 0;
};

}  // namespace vesk::emu::detail
