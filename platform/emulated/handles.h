// The live handles of one kind of emulated object (event logs, modules,
// registry keys, tokens): each handle value maps to its object.  Values are
// handed out from a first value in fixed steps and never reused, so a closed
// handle stays invalid; each add and remove is counted in the live-object
// counts.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "platform/emulated/internal.h"

namespace vesk::emu::detail {

template <typename T>
class HandleTable {
 public:
  // `skip`, when given, says which values are never handed out (values that
  // stand for something else, say).
  HandleTable(uintptr_t first, uintptr_t step, LiveKind kind,
              bool (*skip)(uintptr_t) = nullptr)
      : next_(first), step_(step), kind_(kind), skip_(skip) {}
  HandleTable(const HandleTable &) = delete;
  HandleTable &operator=(const HandleTable &) = delete;

  // Makes `object` live and returns its handle value (never 0).
  uintptr_t add(T object) {
    uintptr_t value;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      do {
        value = next_;
        next_ += step_;
      } while (value == 0 || (skip_ != nullptr && skip_(value)) ||
               live_.count(value) != 0);
      live_.emplace(value, std::move(object));
    }
    live_add(kind_, 1);
    return value;
  }

  // A copy of the object behind `value`; false when it is not live.
  bool find(uintptr_t value, T *out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = live_.find(value);
    if (it == live_.end()) return false;
    *out = it->second;
    return true;
  }

  // How many handles have been removed so far: a value found live stays
  // live, its object the same, for as long as this count has not moved.
  uint64_t removals() const { return removals_.load(std::memory_order_acquire); }

  bool contains(uintptr_t value) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return live_.count(value) != 0;
  }

  // Ends `value`, handing its object to *out (when given) so that the caller
  // releases it outside the table's lock; false when it is not live.
  bool remove(uintptr_t value, T *out = nullptr) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = live_.find(value);
      if (it == live_.end()) return false;
      if (out != nullptr) *out = std::move(it->second);
      live_.erase(it);
      removals_.fetch_add(1, std::memory_order_release);
    }
    live_add(kind_, -1);
    return true;
  }

 private:
  mutable std::mutex mutex_;
  std::atomic<uint64_t> removals_{0};
  std::unordered_map<uintptr_t, T> live_;
  uintptr_t next_;
  const uintptr_t step_;
  const LiveKind kind_;
  bool (*const skip_)(uintptr_t);
};

}  // namespace vesk::emu::detail
