// Automation strings, VARIANTs and DOS dates, laid out and behaving as in
// oleaut32.
//
// A BSTR points just past a 32-bit count of the bytes of its text and is
// followed by a zero unit.  Live BSTRs are remembered, so SysFreeString or
// VariantClear on a BSTR freed already, or on a pointer that never was one,
// is reported instead of corrupting the heap.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/emulated/internal.h"
#include "platform/emulated/pointerset.h"
#include "platform/units.h"

namespace vesk::emu {
namespace {

// The VARTYPE bits beyond the base type.
constexpr VARTYPE kVector = 0x1000;
constexpr VARTYPE kArray = 0x2000;
constexpr VARTYPE kByRef = 0x4000;
constexpr VARTYPE kReserved = 0x8000;
constexpr VARTYPE kTypeMask = 0x0FFF;
// Base types that hold something VariantClear must release.
constexpr VARTYPE kDispatch = 9;
constexpr VARTYPE kUnknown = 13;
constexpr VARTYPE kRecord = 36;
// Further base types VariantClear accepts.
constexpr VARTYPE kVoid = 24;
constexpr VARTYPE kClsid = 72;

// Longest text a BSTR can hold: its byte count, the count itself and the
// terminator must fit in 32 bits (oleaut32 refuses longer ones), and a 32-bit
// process cannot hold a larger block.
constexpr unsigned kMaxLength = 0x3FFF0000;

// In front of the byte count: 12 bytes that keep the text 16-byte aligned.
struct Block {
  uint64_t tag;
  uint32_t reserved;
  uint32_t bytes;  // the BSTR's own byte count, just before the text
};
static_assert(sizeof(Block) == 16);
constexpr uint64_t kTag = 0x5254534241544F4FULL;

// The live strings, in shards chosen by address, each with its own lock: the
// threads of a parallel walk allocate and free strings for every row, and
// one lock for all of them would have them queue on it.
struct alignas(64) Strings {
  std::mutex lock;
  detail::PointerSet live;
};

constexpr size_t kShards = 8;

constinit Strings g_shards[kShards];

Strings &strings(const void *p) {
  const uintptr_t a = reinterpret_cast<uintptr_t>(p);
  return g_shards[((a >> 4) ^ (a >> 12)) % kShards];
}

std::string describe(const void *p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

std::string hex(unsigned v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", v);
  return text;
}

// Freed strings that each thread keeps for its next ones, as oleaut32 keeps
// its own cache: a walk frees and allocates strings of the same few sizes
// for every row.  Blocks are kept by capacity, in steps of 64 bytes up to
// 1 KB; a kept block is no longer live, so freeing it again is still caught.
// Under a sanitizer nothing is kept, so that a use after free is reported.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VESK_KEEP_FREED_STRINGS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer) || \
    __has_feature(thread_sanitizer)
#define VESK_KEEP_FREED_STRINGS 0
#endif
#endif
#ifndef VESK_KEEP_FREED_STRINGS
#define VESK_KEEP_FREED_STRINGS 1
#endif

// A thread's kept blocks: plain data, so that reaching them costs no
// check of whether the thread's copy was made yet.  The blocks are given
// back when the thread ends, by a guard made at the first one kept.
struct FreedBlocks {
  static constexpr uint32_t kStep = 64;
  static constexpr uint32_t kClasses = 16;
  static constexpr int kKept = 8;

  // The capacity a text area of `bytes` (terminator included) is given:
  // whole steps, or 0 when it is too large to be kept.
  static uint32_t Capacity(size_t bytes) {
    const size_t steps = (bytes + kStep - 1) / kStep;
    return steps >= 1 && steps <= kClasses ? static_cast<uint32_t>(steps * kStep) : 0;
  }

  Block *Take(uint32_t capacity) {
    Class &c = classes[capacity / kStep - 1];
    return c.count > 0 ? c.blocks[--c.count] : nullptr;
  }

  // False when the block's class is full or the thread is ending (the
  // caller frees it then).
  bool Keep(Block *b, uint32_t capacity);

  void GiveBack() {
    for (Class &c : classes) {
      for (int i = 0; i < c.count; ++i) std::free(c.blocks[i]);
      c.count = 0;
    }
  }

  struct Class {
    Block *blocks[kKept];
    int count;
  };
  Class classes[kClasses];
  enum : uint8_t { kUnguarded, kGuarded, kEnded } state;
};

constinit thread_local FreedBlocks t_freed{};

struct FreedGuard {
  ~FreedGuard() {
    t_freed.GiveBack();
    t_freed.state = FreedBlocks::kEnded;
  }
};

bool FreedBlocks::Keep(Block *b, uint32_t capacity) {
  if (state != kGuarded) {
    if (state == kEnded) return false;
    thread_local FreedGuard guard;
    (void)guard;
    state = kGuarded;
  }
  Class &c = classes[capacity / kStep - 1];
  if (c.count == kKept) return false;
  c.blocks[c.count++] = b;
  return true;
}

BSTR allocate(const OLECHAR *text, unsigned length) {
  if (length > kMaxLength) return nullptr;
  size_t bytes = static_cast<size_t>(length) * sizeof(OLECHAR);
  // `reserved` holds the capacity of a block that may be kept when freed.
  const uint32_t capacity =
      VESK_KEEP_FREED_STRINGS ? FreedBlocks::Capacity(bytes + sizeof(OLECHAR)) : 0;
  Block *b = nullptr;
  if (capacity != 0) {
    b = t_freed.Take(capacity);
    if (b == nullptr) b = static_cast<Block *>(std::malloc(sizeof(Block) + capacity));
  } else {
    b = static_cast<Block *>(std::malloc(sizeof(Block) + bytes + sizeof(OLECHAR)));
  }
  if (b == nullptr) return nullptr;
  b->tag = kTag;
  b->reserved = capacity;
  b->bytes = static_cast<uint32_t>(bytes);
  auto *s = reinterpret_cast<OLECHAR *>(b + 1);
  // Without a text the string is left empty rather than holding whatever the
  // heap had: its length is all a caller may rely on.
  if (text != nullptr && bytes != 0)
    vesk::units::CopyUnits(s, text, length);
  else
    std::memset(s, 0, bytes);
  s[length] = 0;
  {
    auto &st = strings(s);
    std::lock_guard<std::mutex> guard(st.lock);
    st.live.insert(s);
  }
  detail::live_add(detail::LiveKind::Bstr, +1);
  return s;
}

void release(BSTR s, const char *caller) {
  if (s == nullptr) return;
  {
    auto &st = strings(s);
    std::lock_guard<std::mutex> guard(st.lock);
    if (st.live.erase(s) == 0) {
      report(std::string(caller) + ": " + describe(s) +
             " is not a live BSTR (freed twice, or never allocated)");
      return;
    }
  }
  auto *b = reinterpret_cast<Block *>(s) - 1;
  // A block whose header was overwritten is reported and never kept.
  const bool intact = b->tag == kTag;
  if (!intact)
    report(std::string(caller) + ": the memory in front of BSTR " + describe(s) +
           " was overwritten");
  const uint32_t capacity = b->reserved;
  if (!intact || capacity == 0 || capacity != FreedBlocks::Capacity(capacity) ||
      !t_freed.Keep(b, capacity))
    std::free(b);
  detail::live_add(detail::LiveKind::Bstr, -1);
}

// The types VariantClear accepts: base types up to VT_UI8 and the others
// below VT_VOID except 15, VT_RECORD and VT_CLSID; by reference or as an
// array, but not VT_EMPTY or VT_NULL that way; never as a vector or with the
// reserved bit.
bool clearable(VARTYPE vt) {
  VARTYPE extra = vt & ~kTypeMask;
  VARTYPE base = vt & kTypeMask;
  if (extra & (kVector | kReserved)) return false;
  if (!(base < kVoid || base == kRecord || base == kClsid)) return false;
  if ((extra & (kByRef | kArray)) && base <= VT_NULL) return false;
  return base != 15;
}

// Days from 1899-12-30 to y-m-d in the proleptic Gregorian calendar.
long days_from_epoch(long y, unsigned m, unsigned d) {
  y -= m <= 2;
  long era = (y >= 0 ? y : y - 399) / 400;
  long yoe = y - era * 400;
  long doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  long days_from_1970 = era * 146097 + doe - 719468;
  return days_from_1970 + 25569;
}

}  // namespace
}  // namespace vesk::emu

using namespace vesk::emu;

extern "C" {

BSTR SysAllocString(const OLECHAR *text) {
  VESK_EMU_ENTER(SysAllocString, nullptr);
  if (text == nullptr) return nullptr;
  const size_t n = vesk::units::Length(text);
  if (n > kMaxLength) return nullptr;
  return allocate(text, static_cast<unsigned>(n));
}

BSTR SysAllocStringLen(const OLECHAR *text, unsigned int length) {
  VESK_EMU_ENTER(SysAllocStringLen, nullptr);
  return allocate(text, length);
}

void SysFreeString(BSTR text) {
  VESK_EMU_ENTER(SysFreeString, );
  release(text, "SysFreeString");
}

unsigned int SysStringLen(BSTR text) {
  VESK_EMU_ENTER(SysStringLen, 0);
  if (text == nullptr) return 0;
  // The count in front of the text, as oleaut32 reads it.
  uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<const unsigned char *>(text) - sizeof bytes,
              sizeof bytes);
  return bytes / sizeof(OLECHAR);
}

void VariantInit(VARIANT *v) {
  VESK_EMU_ENTER(VariantInit, );
  // Only the type is set; the value is left as it was, as on Windows.
  if (v != nullptr) v->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT *v) {
  VESK_EMU_ENTER_RC(VariantClear);
  // Windows does not check for a null VARIANT and crashes.
  if (v == nullptr) return E_INVALIDARG;
  if (!clearable(v->vt)) return DISP_E_BADVARTYPE;
  VARTYPE base = v->vt & kTypeMask;
  if (!(v->vt & kByRef)) {
    if (v->vt & kArray) {
      report("VariantClear: cannot release a SAFEARRAY here (vt " + hex(v->vt) + ")");
    } else if (base == VT_BSTR) {
      release(v->n3.bstrVal, "VariantClear");
    } else if (base == kDispatch || base == kUnknown || base == kRecord) {
      report("VariantClear: cannot release an object here (vt " + hex(v->vt) + ")");
    }
  }
  // The value is left as it was; only the type changes.
  v->vt = VT_EMPTY;
  return S_OK;
}

INT WINAPI DosDateTimeToVariantTime(USHORT dos_date, USHORT dos_time, double *out) {
  VESK_EMU_ENTER(DosDateTimeToVariantTime, FALSE);
  unsigned year = 1980u + (dos_date >> 9);
  unsigned month = (dos_date >> 5) & 0x0F;
  unsigned day = dos_date & 0x1F;
  unsigned hour = dos_time >> 11;
  unsigned minute = (dos_time >> 5) & 0x3F;
  unsigned second = (dos_time & 0x1F) * 2u;
  // The DOS range ends with 2099 although the field reaches 2107.
  if (year > 2099 || month > 12) return FALSE;
  if (hour > 23 || minute > 59 || second > 59) return FALSE;
  if (out == nullptr) return FALSE;
  // Month 0 is December of the year before.  Day 0 is the last day of the
  // month before; a day past the end of its month runs into the next one.
  long y = static_cast<long>(year);
  if (month == 0) {
    month = 12;
    --y;
  }
  long days = days_from_epoch(y, month, 1) + static_cast<long>(day) - 1;
  // Summed in this order, as oleaut32 does, so the values agree to the bit.
  double date = static_cast<double>(days);
  date += hour / 24.0;
  date += minute / 1440.0;
  date += second / 86400.0;
  *out = date;
  return TRUE;
}

}  // extern "C"
