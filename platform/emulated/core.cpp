// The seam itself: call counts, injected faults, the tick count, the last
// error, live-object counts, diagnostics, and the set of simulated computers.
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/emulated/internal.h"

namespace vesk::emu {
namespace {

constexpr int kCalls = static_cast<int>(Call::Count);

struct Fault {
  bool armed = false;
  DWORD code = 0;
  int times = 0;  // -1: forever
  unsigned skip = 0;
};

struct Faults {
  std::mutex mutex;
  std::array<Fault, kCalls> table{};
};

// Constant-initialised, so that the check every call makes needs no guard.
constinit Faults g_faults;

Faults &faults() { return g_faults; }

struct Counters {
  std::mutex mutex;
  std::vector<std::unique_ptr<detail::CounterBlock>> blocks;
};

Counters &counters() {
  static Counters c;
  return c;
}

struct Tick {
  std::atomic<bool> fixed{false};
  std::atomic<DWORD> value{0};
};

Tick &tick() {
  static Tick t;
  return t;
}

// The sums over all threads' blocks.
std::array<long, detail::kLiveKinds> live_table() {
  std::array<long, detail::kLiveKinds> sum{};
  auto &all = counters();
  std::lock_guard<std::mutex> lock(all.mutex);
  for (const auto &block : all.blocks)
    for (int k = 0; k < detail::kLiveKinds; ++k)
      sum[k] += block->live[k].load(std::memory_order_relaxed);
  return sum;
}

struct Diagnostics {
  std::mutex mutex;
  std::vector<std::string> list;
  bool print = false;
};

Diagnostics &diags() {
  static Diagnostics d;
  return d;
}

constexpr LANGID kEnglishUs = 0x0409;

struct World {
  std::mutex mutex;
  bool configured = false;
  std::shared_ptr<Computer> local;
  // Remote computers by folded name or alias.
  std::map<std::u16string, std::shared_ptr<Computer>> remotes;
  std::atomic<bool> privilege_assigned{true};
  std::atomic<bool> security_privilege{false};
  std::atomic<LANGID> user_language{kEnglishUs};
};

World &world() {
  static World w;
  return w;
}

std::shared_ptr<Computer> empty_local() {
  return std::make_shared<Computer>(u"LOCALHOST");
}

void add_remote_locked(World &w, std::shared_ptr<Computer> c,
                       const std::u16string &alias) {
  w.remotes[fold(c->name())] = c;
  if (!alias.empty()) w.remotes[fold(alias)] = c;
}

// Reads VESK_LOCAL_IMAGE and VESK_REMOTE_IMAGES.
void configure_from_environment(World &w) {
  diags().print = true;
  const char *local_dir = std::getenv("VESK_LOCAL_IMAGE");
  if (local_dir != nullptr && *local_dir != '\0') {
    std::string error;
    auto c = load_image(local_dir, {}, &error);
    if (c)
      w.local = c;
    else
      report(std::string("VESK_LOCAL_IMAGE: ") + error);
  }
  const char *remotes = std::getenv("VESK_REMOTE_IMAGES");
  if (remotes == nullptr) return;
  std::string list(remotes);
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t end = list.find(';', pos);
    if (end == std::string::npos) end = list.size();
    std::string item = list.substr(pos, end - pos);
    pos = end + 1;
    if (item.empty()) continue;
    std::string name, dir = item;
    size_t eq = item.find('=');
    if (eq != std::string::npos) {
      name = item.substr(0, eq);
      dir = item.substr(eq + 1);
    }
    std::string error;
    auto c = load_image(dir, from_utf8(name), &error);
    if (c)
      add_remote_locked(w, c, {});
    else
      report("VESK_REMOTE_IMAGES: " + error);
  }
}

}  // namespace

const char *call_name(Call c) {
  static const char *const names[] = {
#define VESK_EMU_CALL(name) #name,
#include "platform/emulated/calls.def"
#undef VESK_EMU_CALL
  };
  int i = static_cast<int>(c);
  return i >= 0 && i < kCalls ? names[i] : "?";
}

void fail(Call c, DWORD code, int times, unsigned skip) {
  auto &f = faults();
  std::lock_guard<std::mutex> lock(f.mutex);
  f.table[static_cast<int>(c)] = Fault{times != 0, code, times, skip};
  detail::g_fault_armed.store(true, std::memory_order_relaxed);
}

void clear_faults() {
  auto &f = faults();
  std::lock_guard<std::mutex> lock(f.mutex);
  f.table.fill(Fault{});
  detail::g_fault_armed.store(false, std::memory_order_relaxed);
}

uint64_t calls(Call c) {
  auto &all = counters();
  std::lock_guard<std::mutex> lock(all.mutex);
  uint64_t sum = 0;
  for (const auto &block : all.blocks)
    sum += block->count[static_cast<int>(c)].load(std::memory_order_relaxed);
  return sum;
}

void reset_calls() {
  auto &all = counters();
  std::lock_guard<std::mutex> lock(all.mutex);
  for (const auto &block : all.blocks)
    for (auto &count : block->count) count.store(0, std::memory_order_relaxed);
}

void set_tick_count(DWORD value) {
  tick().value = value;
  tick().fixed = true;
}

void advance_tick_count(DWORD ms) {
  if (!tick().fixed) set_tick_count(GetTickCount());
  tick().value += ms;
}

void use_real_tick_count() { tick().fixed = false; }

Live live() {
  const auto l = live_table();
  Live out;
  out.local_allocs = l[0];
  out.bstrs = l[1];
  out.reg_keys = l[2];
  out.event_logs = l[3];
  out.tokens = l[4];
  out.modules = l[5];
  return out;
}

std::vector<std::string> diagnostics() {
  auto &d = diags();
  std::lock_guard<std::mutex> lock(d.mutex);
  return d.list;
}

void clear_diagnostics() {
  auto &d = diags();
  std::lock_guard<std::mutex> lock(d.mutex);
  d.list.clear();
}

void report(std::string message) {
  auto &d = diags();
  std::lock_guard<std::mutex> lock(d.mutex);
  // The same problem met again at once (a damaged record read by two
  // handles of one log) is printed once.
  if (d.print && (d.list.empty() || d.list.back() != message))
    std::fprintf(stderr, "vesk: %s\n", message.c_str());
  d.list.push_back(std::move(message));
}

// ------------------------------------------------------------------ text

char16_t upcase(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
  if (c < 0xE0) return c;
  if (c <= 0xFE) return c == 0xF7 ? c : static_cast<char16_t>(c - 32);
  if (c == 0xFF) return 0x178;
  // Latin Extended-A pairs its capitals and small letters as even/odd (with
  // two runs offset by one).
  if (c >= 0x100 && c <= 0x137) return (c & 1) ? static_cast<char16_t>(c - 1) : c;
  if (c >= 0x139 && c <= 0x148) return (c & 1) ? c : static_cast<char16_t>(c - 1);
  if (c >= 0x14A && c <= 0x177) return (c & 1) ? static_cast<char16_t>(c - 1) : c;
  if (c >= 0x179 && c <= 0x17E) return (c & 1) ? c : static_cast<char16_t>(c - 1);
  // Greek and Cyrillic small letters.
  if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return static_cast<char16_t>(c - 32);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 32);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 80);
  return c;
}

std::u16string fold(std::u16string_view s) {
  std::u16string out(s);
  for (auto &c : out) c = upcase(c);
  return out;
}

bool iequal(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (upcase(a[i]) != upcase(b[i])) return false;
  return true;
}

std::u16string from_utf8(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    char32_t cp = 0xFFFD;
    size_t len = 1;
    if (c < 0x80) {
      cp = c;
    } else if ((c >> 5) == 6 && i + 1 < s.size()) {
      cp = ((c & 0x1Fu) << 6) | (s[i + 1] & 0x3F);
      len = 2;
    } else if ((c >> 4) == 14 && i + 2 < s.size()) {
      cp = ((c & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3F);
      len = 3;
    } else if ((c >> 3) == 30 && i + 3 < s.size()) {
      cp = ((c & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) |
           (s[i + 3] & 0x3F);
      len = 4;
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string to_utf8(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    char32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
        s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

// ------------------------------------------------------------------ world

void reset() {
  auto &w = world();
  {
    std::lock_guard<std::mutex> lock(w.mutex);
    w.configured = true;
    w.local = empty_local();
    w.remotes.clear();
    w.privilege_assigned = true;
    w.security_privilege = false;
    w.user_language = kEnglishUs;
  }
  clear_faults();
  reset_calls();
  set_module_budget(kDefaultModuleBudget);
  use_real_tick_count();
  diags().print = false;
  clear_diagnostics();
}

void set_local(std::shared_ptr<Computer> computer) {
  detail::ensure_configured();
  auto &w = world();
  std::lock_guard<std::mutex> lock(w.mutex);
  w.local = computer ? std::move(computer) : empty_local();
}

std::shared_ptr<Computer> local() {
  detail::ensure_configured();
  auto &w = world();
  std::lock_guard<std::mutex> lock(w.mutex);
  return w.local;
}

void add_remote(std::shared_ptr<Computer> computer, std::u16string alias) {
  detail::ensure_configured();
  auto &w = world();
  std::lock_guard<std::mutex> lock(w.mutex);
  add_remote_locked(w, std::move(computer), alias);
}

std::shared_ptr<Computer> find_computer(const char16_t *name, bool *is_local) {
  detail::ensure_configured();
  auto &w = world();
  std::lock_guard<std::mutex> lock(w.mutex);
  if (is_local) *is_local = false;
  std::u16string_view n = name ? std::u16string_view(name) : std::u16string_view();
  while (!n.empty() && n.front() == u'\\') n.remove_prefix(1);
  if (n.empty() || iequal(n, w.local->name())) {
    if (is_local) *is_local = true;
    return w.local;
  }
  auto it = w.remotes.find(fold(n));
  return it == w.remotes.end() ? nullptr : it->second;
}

void set_privilege_assigned(bool assigned) {
  detail::ensure_configured();
  world().privilege_assigned = assigned;
}

bool privilege_assigned() { return world().privilege_assigned; }

void set_security_privilege_enabled(bool enabled) {
  detail::ensure_configured();
  world().security_privilege = enabled;
}

bool security_privilege_enabled() { return world().security_privilege; }

void set_user_language(LANGID lang) { world().user_language = lang; }
LANGID user_language() { return world().user_language; }

// ------------------------------------------------------------------ detail

namespace detail {

constinit __thread CounterBlock *t_counters = nullptr;
constinit __thread DWORD t_last_error = 0;
constinit std::atomic<bool> g_fault_armed{false};
constinit std::atomic<uint64_t> g_registry_generation{0};

CounterBlock *register_thread() {
  auto &c = counters();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.blocks.push_back(std::make_unique<CounterBlock>());
  t_counters = c.blocks.back().get();
  return t_counters;
}

bool enter_armed(Call c, DWORD *code) {
  auto &f = faults();
  std::lock_guard<std::mutex> lock(f.mutex);
  Fault &fault = f.table[static_cast<int>(c)];
  if (!fault.armed) return false;
  if (fault.skip > 0) {
    --fault.skip;
    return false;
  }
  *code = fault.code;
  if (fault.times > 0 && --fault.times == 0) fault.armed = false;
  return true;
}

void ensure_configured() {
  auto &w = world();
  std::lock_guard<std::mutex> lock(w.mutex);
  if (w.configured) return;
  w.configured = true;
  w.local = empty_local();
  configure_from_environment(w);
}

}  // namespace detail
}  // namespace vesk::emu

// ------------------------------------------------------------------ calls

using namespace vesk::emu;

extern "C" {

DWORD WINAPI GetLastError(void) {
  DWORD code = 0;
  if (detail::enter(Call::GetLastError, &code)) return code;
  return detail::t_last_error;
}

void WINAPI SetLastError(DWORD code) {
  DWORD fault = 0;
  if (detail::enter(Call::SetLastError, &fault)) code = fault;
  detail::t_last_error = code;
}

DWORD WINAPI GetTickCount(void) {
  VESK_EMU_ENTER(GetTickCount, 0);
  if (tick().fixed) return tick().value;
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
  return static_cast<DWORD>(static_cast<uint64_t>(ms));
}

HANDLE WINAPI GetCurrentProcess(void) {
  VESK_EMU_ENTER(GetCurrentProcess, nullptr);
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

}  // extern "C"
