// The user cache behind getuser: hits with ten SIDs in the table, hits at a
// random slot of a full table, and misses that replace the least recently
// used slot, each miss resolving a local account from a SAM hive file.
// Prints calls per second and the platform calls that each phase made.
//
//   user_bench [--calls N] [--dir DIR]
//
// The SAM hive (a workstation with 300 users) is written to DIR (default:
// the system's temporary directory) and served through the hive library, as
// the SAM of an image would be.  The tick count is the host's clock, except
// in the misses (see there).  Rates are per second of the thread's processor
// time, so that a busy machine does not distort them.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "api/context.h"
#include "evtwriter.h"
#include "hivewriter.h"
#include "platform/emulated/seam.h"
#include "samwriter.h"

namespace emu = vesk::emu;

namespace {

constexpr std::array<uint32_t, 3> kDomain = {1060284298, 842925246, 1957994488};
constexpr uint32_t kUsers = 300;

std::vector<uint8_t> UserSid(uint32_t rid) {
  return vesk::tools::evt_sid(5, {21, kDomain[0], kDomain[1], kDomain[2], rid});
}

// The thread's processor time: the figures hold for one core however busy
// the machine is.
double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Counts {
  uint64_t lookups, allocs, frees, equal_sids;
  static Counts Now() {
    return {emu::calls(emu::Call::LookupAccountSidW), emu::calls(emu::Call::LocalAlloc),
            emu::calls(emu::Call::LocalFree), emu::calls(emu::Call::EqualSid)};
  }
};

// Runs getuser over `order` (indexes into `sids`) `calls` times and prints
// the rate and the platform calls made.  False when a call fails or a text
// is not the expected account.
bool Phase(const char *title, CEvtLog *ctx, std::vector<std::vector<uint8_t>> &sids,
           const std::vector<uint32_t> &order, uint64_t calls,
           bool tick_per_call = false) {
  const Counts before = Counts::Now();
  const auto t0 = std::chrono::steady_clock::now();
  const double cpu0 = CpuSeconds();
  // Above every stamp the table holds.
  DWORD tick = GetTickCount() + 1000;
  uint64_t sum = 0;
  for (uint64_t i = 0; i < calls; ++i) {
    if (tick_per_call) emu::set_tick_count(tick++);
    LPCWSTR text = getuser(ctx, sids[order[i % order.size()]].data());
    if (text == nullptr) {
      std::fprintf(stderr, "user_bench: getuser failed\n");
      return false;
    }
    sum += static_cast<uint64_t>(text[0]);
  }
  const double cpu = CpuSeconds() - cpu0;
  const double s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const Counts after = Counts::Now();
  if (sum != calls * u'B') {
    // Every text is "BENCH\user...", none the numeric "S-1-..." form.
    std::fprintf(stderr, "user_bench: unexpected texts\n");
    return false;
  }
  std::printf(
      "%-44s %12.0f calls per CPU second  (%llu calls, %.3f s CPU, %.3f s wall)\n", title,
      calls / cpu, static_cast<unsigned long long>(calls), cpu, s);
  std::printf("%-44s lookups %llu, LocalAlloc %llu, LocalFree %llu, EqualSid %.1f/call\n",
              "", static_cast<unsigned long long>(after.lookups - before.lookups),
              static_cast<unsigned long long>(after.allocs - before.allocs),
              static_cast<unsigned long long>(after.frees - before.frees),
              static_cast<double>(after.equal_sids - before.equal_sids) / calls);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  uint64_t calls = 20'000'000;
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "vesk-user-bench";
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--calls" && i + 1 < argc) {
      calls = std::strtoull(argv[++i], nullptr, 10);
    } else if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--calls N] [--dir DIR]\n", argv[0]);
      return 2;
    }
  }
  if (calls == 0) calls = 1;

  // The SAM hive of BENCH: Administrator, Guest and users 1000 on.
  std::vector<vesk::tools::SamAccount> accounts = {{500, u"Administrator"},
                                                   {501, u"Guest"}};
  for (uint32_t i = 0; i < kUsers; ++i) {
    std::string name = "user" + std::to_string(1000 + i);
    accounts.push_back({1000 + i, std::u16string(name.begin(), name.end())});
  }
  vesk::tools::RegNode root(u"SAM");
  vesk::tools::add_sam_accounts(root, kDomain, accounts);
  std::filesystem::create_directories(dir);
  std::string error;
  auto sam = [&]() -> std::shared_ptr<emu::RegKey> {
    if (!vesk::tools::write_hive(dir / "SAM", root, &error)) return nullptr;
    return emu::open_hive(dir / "SAM", false, &error);
  }();
  if (!sam) {
    std::fprintf(stderr, "user_bench: %s\n", error.c_str());
    return 1;
  }
  emu::reset();
  auto computer = std::make_shared<emu::Computer>(u"BENCH");
  computer->hklm()->mount(u"SAM", sam);
  emu::set_local(computer);

  std::vector<std::vector<uint8_t>> sids;
  for (uint32_t i = 0; i < kUsers; ++i) sids.push_back(UserSid(1000 + i));
  std::mt19937 random(12345);

  bool ok = true;
  {
    CEvtLog ctx;
    ctx.users.Alloc(kUserCacheSlots);
    std::vector<uint32_t> ten;
    for (uint32_t i = 0; i < 10; ++i) ten.push_back(i);
    ok = ok && Phase("fill: 10 SIDs", &ctx, sids, ten, 10);
    ok = ok && Phase("hits, 10 SIDs in the table", &ctx, sids, ten, calls);
  }
  {
    CEvtLog ctx;
    ctx.users.Alloc(kUserCacheSlots);
    std::vector<uint32_t> hundred, shuffled;
    for (uint32_t i = 0; i < 100; ++i) hundred.push_back(i);
    ok = ok && Phase("fill: 100 SIDs", &ctx, sids, hundred, 100);
    std::uniform_int_distribution<uint32_t> pick(0, 99);
    for (int i = 0; i < 1 << 16; ++i) shuffled.push_back(pick(random));
    ok = ok &&
         Phase("hits at a random slot, full table of 100", &ctx, sids, shuffled, calls);
    // 300 SIDs in turn: with least-recent replacement each one is a miss
    // that takes the slot of the SID used longest ago.  The tick count
    // advances a millisecond a call: within one millisecond every slot
    // counts as used now, and slot 0 would be the one replaced.
    std::vector<uint32_t> cycle;
    for (uint32_t i = 0; i < kUsers; ++i) cycle.push_back((100 + i) % kUsers);
    ok = ok &&
         Phase("misses, full table, SAM look-ups", &ctx, sids, cycle, calls / 20, true);
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return ok ? 0 : 1;
}
