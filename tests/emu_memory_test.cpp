// The emulated LocalAlloc/LocalFree against kernel32 (Wine heap.c
// test_LocalAlloc): results, last errors and live counts, and the blocks the
// emulation refuses to free.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/emulated/seam.h"
#include "platform/platform.h"

namespace emu = vesk::emu;

namespace {

constexpr DWORD kSentinelError = 0xDEADBEEF;

class EmuMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emu::reset();
    blocks_ = emu::live().local_allocs;
  }
  void TearDown() override {
    EXPECT_EQ(emu::live().local_allocs, blocks_) << "blocks left alive";
    emu::reset();
  }
  long blocks_ = 0;
};

TEST_F(EmuMemoryTest, AllocatesFixedAndZeroedBlocksAndCountsThem) {
  SetLastError(kSentinelError);
  auto *zeroed = static_cast<unsigned char *>(LocalAlloc(LPTR, 100));
  ASSERT_NE(zeroed, nullptr);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(zeroed[i], 0) << i;
  auto *fixed = static_cast<unsigned char *>(LocalAlloc(LMEM_FIXED, 28));
  ASSERT_NE(fixed, nullptr);
  std::memset(fixed, 0x55, 28);  // all of it is the caller's
  EXPECT_EQ(reinterpret_cast<uintptr_t>(fixed) % alignof(std::max_align_t), 0u);
  EXPECT_EQ(emu::live().local_allocs, blocks_ + 2);

  EXPECT_EQ(LocalFree(zeroed), nullptr);
  EXPECT_EQ(LocalFree(fixed), nullptr);
  EXPECT_EQ(emu::live().local_allocs, blocks_);
  EXPECT_EQ(GetLastError(), kSentinelError);
  EXPECT_TRUE(emu::diagnostics().empty());
}

TEST_F(EmuMemoryTest, ZeroBytesStillGiveDistinctBlocksAndNullFreesNothing) {
  HLOCAL a = LocalAlloc(LMEM_FIXED, 0);
  HLOCAL b = LocalAlloc(LPTR, 0);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(LocalFree(a), nullptr);
  EXPECT_EQ(LocalFree(b), nullptr);

  SetLastError(kSentinelError);
  EXPECT_EQ(LocalFree(nullptr), nullptr);
  EXPECT_EQ(GetLastError(), kSentinelError);
}

TEST_F(EmuMemoryTest, FreeingTwiceOrFreeingAForeignPointerFailsWithInvalidHandle) {
  HLOCAL mem = LocalAlloc(LMEM_FIXED, 16);
  ASSERT_EQ(LocalFree(mem), nullptr);
  SetLastError(kSentinelError);
  EXPECT_EQ(LocalFree(mem), mem);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(emu::live().local_allocs, blocks_);  // not counted down twice

  int on_stack = 0;
  SetLastError(kSentinelError);
  EXPECT_EQ(LocalFree(&on_stack), &on_stack);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  // A pointer into a block is not the block.
  auto *inner = static_cast<char *>(LocalAlloc(LMEM_FIXED, 16));
  SetLastError(kSentinelError);
  EXPECT_EQ(LocalFree(inner + 4), inner + 4);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(LocalFree(inner), nullptr);

  EXPECT_EQ(emu::diagnostics().size(), 3u);
}

TEST_F(EmuMemoryTest, WritingInFrontOfABlockIsReportedWhenItIsFreed) {
  auto *mem = static_cast<unsigned char *>(LocalAlloc(LMEM_FIXED, 8));
  ASSERT_NE(mem, nullptr);
  mem[-1] ^= 0xFF;
  EXPECT_EQ(LocalFree(mem), nullptr);
  ASSERT_EQ(emu::diagnostics().size(), 1u);
  EXPECT_NE(emu::diagnostics()[0].find("overwritten"), std::string::npos);
}

TEST_F(EmuMemoryTest, RefusesMovableMemoryAndImpossibleSizes) {
  SetLastError(kSentinelError);
  EXPECT_EQ(LocalAlloc(0x0002 /* LMEM_MOVEABLE */, 16), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(emu::diagnostics().size(), 1u);

  SetLastError(kSentinelError);
  EXPECT_EQ(LocalAlloc(LMEM_FIXED, static_cast<SIZE_T>(-1)), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  SetLastError(kSentinelError);
  EXPECT_EQ(LocalAlloc(LPTR, SIZE_T{0x80000000}), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(emu::live().local_allocs, blocks_);
}

TEST_F(EmuMemoryTest, InjectedFaultsFailAllocationAndRelease) {
  emu::fail(emu::Call::LocalAlloc, ERROR_NOT_ENOUGH_MEMORY, 1);
  SetLastError(kSentinelError);
  EXPECT_EQ(LocalAlloc(LPTR, 8), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(emu::live().local_allocs, blocks_);

  HLOCAL mem = LocalAlloc(LPTR, 8);
  ASSERT_NE(mem, nullptr);
  emu::fail(emu::Call::LocalFree, ERROR_INVALID_HANDLE, 1);
  SetLastError(kSentinelError);
  EXPECT_EQ(LocalFree(mem), mem);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(emu::live().local_allocs, blocks_ + 1);  // still alive
  EXPECT_EQ(LocalFree(mem), nullptr);

  EXPECT_EQ(emu::calls(emu::Call::LocalAlloc), 2u);
  EXPECT_EQ(emu::calls(emu::Call::LocalFree), 2u);
}

}  // namespace
