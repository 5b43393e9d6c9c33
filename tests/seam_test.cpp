// The emulated platform's seam: injected faults, call counts, the tick count,
// the last error and the set of computers.
#include <gtest/gtest.h>

#include <cstdio>
#include <thread>
#include <vector>

#include "platform/emulated/seam.h"
#include "platform/platform.h"
#include "support/testlib.h"

namespace emu = vesk::emu;

namespace {

class SeamTest : public ::testing::Test {
 protected:
  void SetUp() override { emu::reset(); }
  void TearDown() override { emu::reset(); }
};

TEST_F(SeamTest, FaultFiresAfterSkipForTheGivenNumberOfCalls) {
  emu::fail(emu::Call::GetTickCount, 99, 2, 1);
  emu::set_tick_count(500);
  SetLastError(0);
  EXPECT_EQ(GetTickCount(), 500u);  // skipped
  EXPECT_EQ(GetTickCount(), 0u);    // fails
  EXPECT_EQ(GetLastError(), 99u);
  EXPECT_EQ(GetTickCount(), 0u);  // fails again
  EXPECT_EQ(GetTickCount(), 500u);
  EXPECT_EQ(emu::calls(emu::Call::GetTickCount), 4u);
  emu::reset_calls();
  EXPECT_EQ(emu::calls(emu::Call::GetTickCount), 0u);
}

TEST_F(SeamTest, CallsOfEveryThreadAreCountedAndReset) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 1000; ++i) GetTickCount();
    });
  for (auto &t : threads) t.join();
  GetTickCount();
  // Threads that have ended still count, until the counts are reset.
  EXPECT_EQ(emu::calls(emu::Call::GetTickCount), 4001u);
  emu::reset_calls();
  EXPECT_EQ(emu::calls(emu::Call::GetTickCount), 0u);
  std::thread([] { GetTickCount(); }).join();
  EXPECT_EQ(emu::calls(emu::Call::GetTickCount), 1u);
}

TEST_F(SeamTest, TickCountCanBeSetAndWraps) {
  emu::set_tick_count(0xFFFFFFF0u);
  EXPECT_EQ(GetTickCount(), 0xFFFFFFF0u);
  emu::advance_tick_count(0x20);
  EXPECT_EQ(GetTickCount(), 0x10u);
}

TEST_F(SeamTest, LastErrorIsPerThread) {
  SetLastError(1234);
  DWORD other = 1;
  std::thread([&] { other = GetLastError(); }).join();
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(GetLastError(), 1234u);
}

TEST_F(SeamTest, ComputersAreFoundWithoutRegardToCaseOrLeadingBackslashes) {
  auto server = std::make_shared<emu::Computer>(u"SERVER01");
  emu::add_remote(server, u"alias");
  bool is_local = true;
  EXPECT_EQ(emu::find_computer(u"\\\\server01", &is_local), server);
  EXPECT_FALSE(is_local);
  EXPECT_EQ(emu::find_computer(u"Server01", nullptr), server);
  EXPECT_EQ(emu::find_computer(u"ALIAS", nullptr), server);
  EXPECT_EQ(emu::find_computer(u"nobody", nullptr), nullptr);
  EXPECT_EQ(emu::find_computer(nullptr, &is_local), emu::local());
  EXPECT_TRUE(is_local);
  EXPECT_EQ(emu::find_computer(u"\\\\localhost", &is_local), emu::local());
  EXPECT_TRUE(is_local);
}

TEST_F(SeamTest, MemoryKeysIgnoreCaseAndKeepRawValueBytes) {
  auto c = std::make_shared<emu::Computer>(u"PC");
  auto k = c->key(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
  k->set_string(u"SystemRoot", u"C:\\WINDOWS", REG_SZ, false);
  auto found = c->hklm()->child(u"software");
  ASSERT_NE(found, nullptr);
  found = found->child(u"MICROSOFT");
  ASSERT_NE(found, nullptr);
  auto cv = found->child(u"windows nt");
  ASSERT_NE(cv, nullptr);
  cv = cv->child(u"currentversion");
  ASSERT_NE(cv, nullptr);
  auto v = cv->value(u"SYSTEMROOT");
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(v->data.size(), 20u);  // no terminator was stored
  EXPECT_FALSE(cv->value(u"Other").has_value());
}

TEST_F(SeamTest, FilesResolveInMemoryThenOnDrivesWithoutRegardToCase) {
  vesk::test::TempDir temp("seam-files");
  const auto &dir = temp.path();
  std::filesystem::create_directories(dir / "Windows" / "System32");
  {
    FILE *f = std::fopen((dir / "Windows" / "System32" / "Msg.DLL").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("abc", f);
    std::fclose(f);
  }
  emu::Computer c(u"PC");
  c.add_drive(u'c', dir);
  c.add_file(u"D:\\mem\\x.bin", {1, 2});
  DWORD code = 0;
  auto src = c.open_file(u"C:\\WINDOWS\\system32\\msg.dll", &code);
  ASSERT_NE(src, nullptr);
  EXPECT_EQ(src->size(), 3u);
  char buf[3];
  EXPECT_TRUE(src->read(0, buf, 3));
  EXPECT_FALSE(src->read(1, buf, 3));
  auto mem = c.open_file(u"d:\\MEM\\X.BIN", &code);
  ASSERT_NE(mem, nullptr);
  EXPECT_EQ(mem->size(), 2u);
  EXPECT_EQ(c.open_file(u"C:\\WINDOWS\\nothing.dll", &code), nullptr);
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(c.open_file(u"Q:\\x", &code), nullptr);
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

}  // namespace
