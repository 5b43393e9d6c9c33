// Handles are 32-bit values on every system, while a context's address needs
// 64 bits on a 64-bit one: a handle is therefore a key into a table of live
// contexts, made of a slot number (low 16 bits) and the slot's generation
// (the 15 bits above), so it is never 0 or negative.
//
// A handle value is never issued twice: freed slots are reused in the order
// in which they were freed (so a closed handle's slot goes back to work only
// after every other free slot has), and a slot whose generation has reached
// its largest value is retired instead of wrapping.  A caller that keeps a
// stale copy of a closed handle can therefore never reach a context opened
// later.  The table holds 65,535 slots of 32,767 generations: after some two
// thousand million opens it is spent and VeskOpen fails.
#include <deque>
#include <mutex>
#include <vector>

#include "api/context.h"

namespace vesk {
namespace {

constexpr uint32_t kMaxSlots = 0xFFFF;
constexpr uint32_t kGenerationMask = 0x7FFF;

struct Slot {
  CEvtLog *context = nullptr;
  uint32_t generation = 0;
};

struct Table {
  std::mutex mutex;
  std::vector<Slot> slots;          // slot n is slots[n - 1]
  std::deque<uint32_t> free_slots;  // oldest freed first
};

Table &table() {
  static Table t;
  return t;
}

VESKHANDLE Encode(uint32_t slot, uint32_t generation) {
  return static_cast<VESKHANDLE>((generation << 16) | slot);
}

// The slot of a live handle, or null.
Slot *Lookup(Table &t, VESKHANDLE handle) {
  uint32_t value = static_cast<uint32_t>(handle);
  uint32_t slot = value & 0xFFFF;
  uint32_t generation = value >> 16;
  if (slot == 0 || slot > t.slots.size()) return nullptr;
  Slot &s = t.slots[slot - 1];
  if (s.context == nullptr || s.generation != generation) return nullptr;
  return &s;
}

}  // namespace

VESKHANDLE RegisterContext(CEvtLog *context) {
  Table &t = table();
  std::lock_guard<std::mutex> lock(t.mutex);
  uint32_t slot;
  if (!t.free_slots.empty()) {
    slot = t.free_slots.front();
    t.free_slots.pop_front();
  } else {
    if (t.slots.size() >= kMaxSlots) return 0;
    t.slots.push_back(Slot{});
    slot = static_cast<uint32_t>(t.slots.size());
  }
  Slot &s = t.slots[slot - 1];
  ++s.generation;  // a free slot's generation is below kGenerationMask
  s.context = context;
  return Encode(slot, s.generation);
}

CEvtLog *FindContext(VESKHANDLE handle) {
  Table &t = table();
  std::lock_guard<std::mutex> lock(t.mutex);
  Slot *s = Lookup(t, handle);
  return s ? s->context : nullptr;
}

CEvtLog *UnregisterContext(VESKHANDLE handle) {
  Table &t = table();
  std::lock_guard<std::mutex> lock(t.mutex);
  Slot *s = Lookup(t, handle);
  if (s == nullptr) return nullptr;
  CEvtLog *context = s->context;
  s->context = nullptr;
  // Retired for good once its next generation would wrap.
  if (s->generation < kGenerationMask)
    t.free_slots.push_back(static_cast<uint32_t>((s - t.slots.data()) + 1));
  return context;
}

}  // namespace vesk
