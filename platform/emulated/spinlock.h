// A lock for critical sections of a few instructions (a look-up in a set of
// live blocks): one atomic exchange takes it and one store gives it back,
// where a mutex costs a call and more on each side.  A thread that finds it
// taken yields until it is free, so a holder that was preempted is not
// spun against.
#pragma once

#include <atomic>
#include <thread>

namespace vesk::emu::detail {

class SpinLock {
 public:
  void lock() noexcept {
    while (held_.exchange(true, std::memory_order_acquire))
      while (held_.load(std::memory_order_relaxed)) std::this_thread::yield();
  }
  void unlock() noexcept { held_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> held_{false};
};

}  // namespace vesk::emu::detail
