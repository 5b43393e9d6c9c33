// Shared by the emulated calls' implementations; not for tests.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "platform/emulated/seam.h"

namespace vesk::emu::detail {

enum class LiveKind { LocalAlloc, Bstr, RegKey, EventLog, Token, Module };
constexpr int kLiveKinds = 6;

// Call counts and live-object counts, one block per thread: a thread bumps
// its own counters without a locked instruction, which would cost more than
// many emulated calls themselves.  Blocks outlive their threads, so that
// their counts still add up; an object made on one thread and released on
// another leaves +1 in one block and -1 in the other, exact in the sum.
struct CounterBlock {
  std::array<std::atomic<uint64_t>, static_cast<int>(Call::Count)> count{};
  std::array<std::atomic<long>, kLiveKinds> live{};
};

// This thread's block (null until its first call) and its last error.  Plain
// constant-initialised thread variables: no initialisation check; in a
// program the linker makes each read a load off the thread pointer.  Not in
// the initial-exec model: that would mark the whole thread-local segment of
// libvesk.so and of the Python module (some 64 KB, the expansion buffers
// among it) as static, and a process could then no longer load them at run
// time (dlopen: "cannot allocate memory in static TLS block").
extern __thread CounterBlock *t_counters;
extern __thread DWORD t_last_error;
// Set while any fault is armed.
extern std::atomic<bool> g_fault_armed;

CounterBlock *register_thread();
// The slow half of enter(): whether the armed fault of `c` fires now.
bool enter_armed(Call c, DWORD *code);

inline CounterBlock &thread_counters() {
  CounterBlock *mine = t_counters;
  if (mine == nullptr) [[unlikely]]
    mine = register_thread();
  return *mine;
}

// Every emulated call starts here: counts the call and tells whether an
// injected fault fires, with its code.  Where no test arms a fault this is a
// thread-pointer load, an increment and one branch that always goes the
// same way.
inline bool enter(Call c, DWORD *code) {
  // Only this thread writes its block (reset_calls aside).
  auto &count = thread_counters().count[static_cast<int>(c)];
  count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  if (!g_fault_armed.load(std::memory_order_relaxed)) [[likely]]
    return false;
  return enter_armed(c, code);
}

// Counts changes to the keys of any computer (a key made or mounted, a
// value set): what was found by a path stays valid while the count stands.
extern std::atomic<uint64_t> g_registry_generation;
inline void registry_changed() {
  g_registry_generation.fetch_add(1, std::memory_order_release);
}
inline uint64_t registry_generation() {
  return g_registry_generation.load(std::memory_order_acquire);
}

// The calling thread's last error, without counting a call.
inline void set_error(DWORD code) { t_last_error = code; }
inline DWORD last_error() { return t_last_error; }

inline void live_add(LiveKind kind, long delta) {
  // Only this thread writes its block.
  auto &live = thread_counters().live[static_cast<int>(kind)];
  live.store(live.load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
}

// A byte of the emulated ANSI code page (1252) as UTF-16.
char16_t ansi_to_unicode(uint8_t byte);

// Reads the environment once, unless reset() ran first.
void ensure_configured();

// The key at `path` ("A\B") below `key`; null when any part is missing.
std::shared_ptr<RegKey> lookup(std::shared_ptr<RegKey> key, std::u16string_view path);

// The text of a string value up to its first NUL; empty when the value is
// missing or not a string.
std::u16string string_value(const std::shared_ptr<RegKey> &key, std::u16string_view name);

// An account as LookupAccountSidW reports it.
struct Account {
  std::u16string domain;
  std::u16string name;
  SID_NAME_USE use = SidTypeUser;
};

// The account that `sid` (a valid SID) names on `computer`: an added one, a
// well-known SID or one of its SAM hive.  False when nothing maps it.
bool find_account(Computer &computer, const uint8_t *sid, Account *out);

}  // namespace vesk::emu::detail

// Opens an emulated call: on an injected fault, sets the last error and
// returns `failure` (for calls that report through the last error).
#define VESK_EMU_ENTER(name, failure)                                             \
  do {                                                                            \
    DWORD vesk_fault_code_ = 0;                                                   \
    if (::vesk::emu::detail::enter(::vesk::emu::Call::name, &vesk_fault_code_)) { \
      ::vesk::emu::detail::set_error(vesk_fault_code_);                           \
      return failure;                                                             \
    }                                                                             \
  } while (0)

// The same for calls that return their error code (the registry calls).
#define VESK_EMU_ENTER_RC(name)                                                 \
  do {                                                                          \
    DWORD vesk_fault_code_ = 0;                                                 \
    if (::vesk::emu::detail::enter(::vesk::emu::Call::name, &vesk_fault_code_)) \
      return static_cast<LONG>(vesk_fault_code_);                               \
  } while (0)
