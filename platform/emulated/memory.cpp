// LocalAlloc and LocalFree over the host heap.
//
// Every live block is remembered, so freeing a block twice or freeing a
// pointer that never came from LocalAlloc fails with ERROR_INVALID_HANDLE and
// a diagnostic instead of corrupting the heap.  Each block also carries a
// small header with a tag; a tag found overwritten when the block is freed
// means the caller wrote in front of its block, which is reported too.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/emulated/internal.h"
#include "platform/emulated/pointerset.h"

namespace vesk::emu {
namespace {

constexpr UINT kMoveable = 0x0002;
// Flags that mean nothing for fixed memory on Win32.
constexpr UINT kNoCompact = 0x0010;
constexpr UINT kNoDiscard = 0x0020;
constexpr UINT kAcceptedFlags = LMEM_FIXED | LMEM_ZEROINIT | kNoCompact | kNoDiscard;

// A 32-bit process cannot hold a larger block; refusing it here also keeps a
// length read from a damaged file from exhausting the host.
constexpr SIZE_T kMaxBytes = 0x7FFF0000;

constexpr uint64_t kTag = 0x4B4F4C4C41434F4CULL;

// 16 bytes, so the caller's memory keeps the heap's 16-byte alignment.  The
// tag is last, next to the caller's memory, where a write in front of the
// block lands first.
struct Header {
  uint64_t bytes;
  uint64_t tag;
};
static_assert(sizeof(Header) == 16);

struct Blocks {
  std::mutex lock;
  detail::PointerSet live;  // the pointers handed out
};

Blocks &blocks() {
  static Blocks b;
  return b;
}

std::string describe(const void *p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

}  // namespace
}  // namespace vesk::emu

using namespace vesk::emu;

extern "C" {

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
  VESK_EMU_ENTER(LocalAlloc, nullptr);
  if ((flags & ~kAcceptedFlags) != 0) {
    // Movable memory is reached through LocalLock, which this platform does
    // not serve; a caller that asks for it would misuse the handle.
    if (flags & kMoveable) report("LocalAlloc: LMEM_MOVEABLE is not supported");
    detail::set_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (bytes > kMaxBytes) {
    detail::set_error(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  // A block of 0 bytes is still a distinct pointer, as on Windows.
  size_t user = bytes == 0 ? 1 : bytes;
  auto *h = static_cast<Header *>(std::malloc(sizeof(Header) + user));
  if (h == nullptr) {
    detail::set_error(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  h->tag = kTag;
  h->bytes = bytes;
  auto *mem = reinterpret_cast<unsigned char *>(h + 1);
  if (flags & LMEM_ZEROINIT) {
    std::memset(mem, 0, user);
  } else {
    // Uninitialised memory is not zero on Windows either: fill it the way the
    // debug heap does, so code that forgets to initialise it shows up.
    static const unsigned char kFill[4] = {0x0D, 0xF0, 0xAD, 0xBA};
    for (size_t i = 0; i < user; ++i) mem[i] = kFill[i & 3];
  }
  {
    auto &b = blocks();
    std::lock_guard<std::mutex> guard(b.lock);
    b.live.insert(mem);
  }
  detail::live_add(detail::LiveKind::LocalAlloc, +1);
  return mem;
}

HLOCAL WINAPI LocalFree(HLOCAL mem) {
  VESK_EMU_ENTER(LocalFree, mem);
  if (mem == nullptr) return nullptr;
  {
    auto &b = blocks();
    std::lock_guard<std::mutex> guard(b.lock);
    if (!b.live.erase(mem)) {
      report("LocalFree: " + describe(mem) +
             " is not a live LocalAlloc block (freed twice, or never allocated)");
      detail::set_error(ERROR_INVALID_HANDLE);
      return mem;
    }
  }
  auto *h = static_cast<Header *>(mem) - 1;
  if (h->tag != kTag)
    report("LocalFree: the header in front of block " + describe(mem) +
           " was overwritten");
  std::free(h);
  detail::live_add(detail::LiveKind::LocalAlloc, -1);
  return nullptr;
}

}  // extern "C"
