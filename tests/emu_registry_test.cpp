// The emulated registry calls against Windows' documented and tested
// behaviour (Wine's advapi32 registry tests): exact error codes, byte counts,
// and which out-parameters are written.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "platform/emulated/seam.h"
#include "platform/platform.h"

namespace emu = vesk::emu;

namespace {

const HKEY kSentinelKey = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0xdeadbeef));
constexpr DWORD kSentinel = 0xdeadbeef;
const HKEY kPerformanceData = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000004));

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emu::reset();
    baseline_ = emu::live().reg_keys;
    local_ = std::make_shared<emu::Computer>(u"WORKSTATION");
    auto cv = local_->key(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
    cv->set_string(u"SystemRoot", u"C:\\WINDOWS");
    cv->set_string(u"Unterminated", u"C:\\WINNT", REG_SZ, false);
    cv->set_string(u"", u"default value");
    cv->set_dword(u"Number", 42);
    cv->set(u"Empty", REG_BINARY, {});
    local_->key(u"SYSTEM\\A\\B\\C")->set_dword(u"Deep", 3);
    emu::set_local(local_);
  }
  void TearDown() override {
    EXPECT_EQ(emu::live().reg_keys, baseline_) << "a registry handle was leaked";
    emu::reset();
  }

  HKEY Open(HKEY root, const char16_t *path) {
    HKEY k = kSentinelKey;
    EXPECT_EQ(RegOpenKeyExW(root, path, 0, KEY_READ, &k), ERROR_SUCCESS)
        << emu::to_utf8(path);
    return k;
  }

  std::shared_ptr<emu::Computer> local_;
  long baseline_ = 0;
};

TEST_F(RegistryTest, OpenFollowsPathsWithoutRegardToCase) {
  HKEY k = Open(HKEY_LOCAL_MACHINE, u"software\\MICROSOFT\\Windows nt\\currentVERSION");
  EXPECT_NE(k, kSentinelKey);
  EXPECT_NE(k, nullptr);
  EXPECT_EQ(emu::live().reg_keys, baseline_ + 1);
  HKEY deep = Open(HKEY_LOCAL_MACHINE, u"SYSTEM\\A\\B\\C\\\\");  // trailing backslashes
  HKEY twice = Open(HKEY_LOCAL_MACHINE, u"SYSTEM\\\\A\\B\\C");   // doubled separator
  DWORD v = 0, cb = sizeof v;
  EXPECT_EQ(RegQueryValueExW(deep, u"deep", nullptr, nullptr,
                             reinterpret_cast<BYTE *>(&v), &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(v, 3u);
  // A path below an open key.
  HKEY a = Open(HKEY_LOCAL_MACHINE, u"system\\a");
  HKEY b = Open(a, u"b\\C");
  EXPECT_EQ(RegCloseKey(a), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(deep), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(twice), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(b), ERROR_SUCCESS);
  EXPECT_EQ(emu::live().reg_keys, baseline_);
}

TEST_F(RegistryTest, SiblingsOpenedOneAfterAnotherSeeEveryChange) {
  // Opens of keys that share their parent, as a walk makes them for a log's
  // sources: keys made, values set and keys mounted in between are seen at
  // once, and the same path under another root is that root's key.
  auto open = [&](HKEY root, const char16_t *path) {
    HKEY k = nullptr;
    const LONG rc = RegOpenKeyExW(root, path, 0, KEY_READ, &k);
    if (rc == ERROR_SUCCESS) {
      EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    }
    return rc;
  };
  EXPECT_EQ(open(HKEY_LOCAL_MACHINE, u"SYSTEM\\A\\B\\C"), ERROR_SUCCESS);
  EXPECT_EQ(open(HKEY_LOCAL_MACHINE, u"SYSTEM\\A\\B\\D"), ERROR_FILE_NOT_FOUND);
  local_->key(u"SYSTEM\\A\\B\\D");
  EXPECT_EQ(open(HKEY_LOCAL_MACHINE, u"SYSTEM\\A\\B\\D"), ERROR_SUCCESS);
  EXPECT_EQ(open(HKEY_LOCAL_MACHINE, u"SYSTEM\\A\\B\\D\\E"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(open(HKEY_LOCAL_MACHINE, u"SYSTEM\\A\\B\\d"), ERROR_SUCCESS);

  // A subtree mounted in place of the parent: its children, not the old.
  auto other = std::make_shared<emu::MemKey>();
  other->create(u"Only");
  local_->key(u"SYSTEM\\A")->mount(u"B", other);
  EXPECT_EQ(open(HKEY_LOCAL_MACHINE, u"SYSTEM\\A\\B\\C"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(open(HKEY_LOCAL_MACHINE, u"SYSTEM\\A\\B\\Only"), ERROR_SUCCESS);

  // The same path below an open key of its own.
  HKEY a = Open(HKEY_LOCAL_MACHINE, u"SYSTEM");
  EXPECT_EQ(open(a, u"A\\B\\Only"), ERROR_SUCCESS);
  EXPECT_EQ(open(a, u"A\\B\\C"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(a), ERROR_SUCCESS);

  // Another computer as the local one: its own keys under the same path.
  auto second = std::make_shared<emu::Computer>(u"SECOND");
  second->key(u"SYSTEM\\A\\B\\C");
  emu::set_local(second);
  EXPECT_EQ(open(HKEY_LOCAL_MACHINE, u"SYSTEM\\A\\B\\C"), ERROR_SUCCESS);
  EXPECT_EQ(open(HKEY_LOCAL_MACHINE, u"SYSTEM\\A\\B\\Only"), ERROR_FILE_NOT_FOUND);
  emu::set_local(local_);
  EXPECT_EQ(open(HKEY_LOCAL_MACHINE, u"SYSTEM\\A\\B\\Only"), ERROR_SUCCESS);
}

TEST_F(RegistryTest, OpenFailuresGiveWindowsCodesAndResults) {
  HKEY k = kSentinelKey;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nonexistent", 0, KEY_READ, &k),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(k, nullptr);  // set to NULL on failure
  k = kSentinelKey;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\SOFTWARE", 0, KEY_READ, &k),
            ERROR_BAD_PATHNAME);
  EXPECT_EQ(k, nullptr);
  k = kSentinelKey;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\", 0, KEY_READ, &k),
            ERROR_BAD_PATHNAME);
  k = kSentinelKey;
  EXPECT_EQ(RegOpenKeyExW(nullptr, u"SOFTWARE", 0, KEY_READ, &k), ERROR_INVALID_HANDLE);
  EXPECT_EQ(k, nullptr);
  k = kSentinelKey;
  EXPECT_EQ(RegOpenKeyExW(nullptr, u"", 0, KEY_READ, &k), ERROR_INVALID_HANDLE);
  EXPECT_EQ(k, nullptr);
  k = kSentinelKey;
  EXPECT_EQ(RegOpenKeyExW(kSentinelKey, u"SOFTWARE", 0, KEY_READ, &k),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExW(nullptr, u"x", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
  // A key that exists only as a value name is not a key.
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                          u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\SystemRoot",
                          0, KEY_READ, &k),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(emu::live().reg_keys, baseline_);
}

TEST_F(RegistryTest, NoSubkeyGivesThePredefinedKeyOrANewHandle) {
  HKEY k = kSentinelKey;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, &k), ERROR_SUCCESS);
  EXPECT_EQ(k, HKEY_LOCAL_MACHINE);
  k = kSentinelKey;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"", 0, KEY_READ, &k), ERROR_SUCCESS);
  EXPECT_EQ(k, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(emu::live().reg_keys, baseline_);  // predefined keys are not counted
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  // Still usable after "closing" it.
  HKEY sw = Open(HKEY_LOCAL_MACHINE, u"SOFTWARE");
  HKEY same = Open(sw, nullptr);
  HKEY again = Open(sw, u"");
  EXPECT_NE(same, sw);
  EXPECT_NE(again, sw);
  EXPECT_NE(again, same);
  EXPECT_EQ(emu::live().reg_keys, baseline_ + 3);
  EXPECT_EQ(RegCloseKey(sw), ERROR_SUCCESS);
  HKEY cv = Open(same, u"Microsoft\\Windows NT\\CurrentVersion");  // survives its parent
  EXPECT_EQ(RegCloseKey(same), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(cv), ERROR_SUCCESS);
  // HKEY_CLASSES_ROOT alone allows one leading backslash; "\" alone is a new
  // handle to the root itself.
  k = kSentinelKey;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"\\", 0, KEY_READ, &k), ERROR_SUCCESS);
  EXPECT_NE(k, HKEY_CLASSES_ROOT);
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"\\clsid", 0, KEY_READ, &k),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, CloseOnlyClosesHandlesOnce) {
  HKEY k = Open(HKEY_LOCAL_MACHINE, u"SOFTWARE");
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(k), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(kSentinelKey), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_USERS), ERROR_SUCCESS);
  DWORD cb = 4;
  EXPECT_EQ(RegQueryValueExW(k, u"x", nullptr, nullptr, nullptr, &cb),
            ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, QueryCountsBytesAndCopiesExactlyWhatIsStored) {
  HKEY k = Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
  const size_t want = (std::u16string_view(u"C:\\WINDOWS").size() + 1) * 2;

  // Size query: no buffer.
  DWORD type = kSentinel, cb = kSentinel;
  EXPECT_EQ(RegQueryValueExW(k, u"systemroot", nullptr, &type, nullptr, &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(cb, want);

  // Too small by one byte: the size needed, the type, the buffer untouched.
  BYTE buf[64];
  std::memset(buf, 0xbd, sizeof buf);
  type = kSentinel;
  cb = static_cast<DWORD>(want - 1);
  EXPECT_EQ(RegQueryValueExW(k, u"SystemRoot", nullptr, &type, buf, &cb),
            ERROR_MORE_DATA);
  EXPECT_EQ(cb, want);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(buf[0], 0xbd);

  // Exactly enough, then more than enough: the bytes copied, nothing past them.
  for (DWORD room : {static_cast<DWORD>(want), static_cast<DWORD>(sizeof buf)}) {
    std::memset(buf, 0xbd, sizeof buf);
    cb = room;
    EXPECT_EQ(RegQueryValueExW(k, u"SystemRoot", nullptr, nullptr, buf, &cb),
              ERROR_SUCCESS);
    EXPECT_EQ(cb, want);
    EXPECT_EQ(std::memcmp(buf, u"C:\\WINDOWS", want), 0);
    if (room > want) {
      EXPECT_EQ(buf[want], 0xbd);
    }
  }

  // Stored without its terminator: none is added or counted, room or not.
  std::memset(buf, 0xbd, sizeof buf);
  cb = sizeof buf;
  EXPECT_EQ(RegQueryValueExW(k, u"Unterminated", nullptr, &type, buf, &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(cb, 16u);
  EXPECT_EQ(buf[16], 0xbd);
  EXPECT_EQ(buf[17], 0xbd);

  // The default value by NULL or "".
  cb = 0;
  EXPECT_EQ(RegQueryValueExW(k, nullptr, nullptr, nullptr, nullptr, &cb), ERROR_SUCCESS);
  EXPECT_EQ(cb, (std::u16string_view(u"default value").size() + 1) * 2);
  cb = 0;
  EXPECT_EQ(RegQueryValueExW(k, u"", nullptr, nullptr, nullptr, &cb), ERROR_SUCCESS);
  EXPECT_NE(cb, 0u);

  // A zero-length value into a zero-length buffer.
  cb = 0;
  EXPECT_EQ(RegQueryValueExW(k, u"Empty", nullptr, &type, buf, &cb), ERROR_SUCCESS);
  EXPECT_EQ(cb, 0u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));

  // Everything may be left out but the name.
  EXPECT_EQ(RegQueryValueExW(k, u"Number", nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
}

TEST_F(RegistryTest, QueryFailuresLeaveOrSetOutParametersAsWindowsDoes) {
  HKEY k = Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
  DWORD type = kSentinel, cb = kSentinel;
  BYTE buf[8];
  std::memset(buf, 0xbd, sizeof buf);
  // Missing value with a buffer: nothing written.
  cb = sizeof buf;
  EXPECT_EQ(RegQueryValueExW(k, u"Missing", nullptr, &type, buf, &cb),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(type, kSentinel);
  EXPECT_EQ(cb, sizeof buf);
  EXPECT_EQ(buf[0], 0xbd);
  // Missing value, size query: the count is zeroed first.
  cb = kSentinel;
  EXPECT_EQ(RegQueryValueExW(k, u"Missing", nullptr, &type, nullptr, &cb),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(cb, 0u);
  EXPECT_EQ(type, kSentinel);
  // The missing default value.
  HKEY sys = Open(HKEY_LOCAL_MACHINE, u"SYSTEM");
  EXPECT_EQ(RegQueryValueExW(sys, nullptr, nullptr, nullptr, nullptr, &cb),
            ERROR_FILE_NOT_FOUND);
  // Bad arguments come before the key is looked at.
  DWORD reserved = 0;
  cb = kSentinel;
  EXPECT_EQ(RegQueryValueExW(k, u"Number", &reserved, &type, nullptr, &cb),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(cb, kSentinel);
  EXPECT_EQ(RegQueryValueExW(nullptr, u"Number", &reserved, &type, nullptr, &cb),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(k, u"Number", nullptr, &type, buf, nullptr),
            ERROR_INVALID_PARAMETER);
  cb = kSentinel;
  EXPECT_EQ(RegQueryValueExW(nullptr, u"Number", nullptr, &type, nullptr, &cb),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(cb, kSentinel);
  EXPECT_EQ(RegQueryValueExW(kPerformanceData, u"Global", nullptr, &type, nullptr, &cb),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(type, kSentinel);
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(sys), ERROR_SUCCESS);
}

TEST_F(RegistryTest, ConnectGivesTheLocalRootOrAHandleToARemoteOne) {
  for (const char16_t *name : {static_cast<const char16_t *>(nullptr), u"",
                               u"WORKSTATION", u"workstation", u"\\\\WorkStation"}) {
    HKEY k = kSentinelKey;
    EXPECT_EQ(RegConnectRegistryW(name, HKEY_LOCAL_MACHINE, &k), ERROR_SUCCESS);
    EXPECT_EQ(k, HKEY_LOCAL_MACHINE);
  }
  auto server = std::make_shared<emu::Computer>(u"SERVER01");
  server->key(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion")
      ->set_string(u"SystemRoot", u"D:\\WINNT");
  emu::add_remote(server);
  HKEY remote = kSentinelKey;
  EXPECT_EQ(RegConnectRegistryW(u"\\\\server01", HKEY_LOCAL_MACHINE, &remote),
            ERROR_SUCCESS);
  EXPECT_NE(remote, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(emu::live().reg_keys, baseline_ + 1);
  HKEY cv = Open(remote, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
  char16_t text[32] = {};
  DWORD cb = sizeof text;
  EXPECT_EQ(RegQueryValueExW(cv, u"SystemRoot", nullptr, nullptr,
                             reinterpret_cast<BYTE *>(text), &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(text), u"D:\\WINNT");
  // The remote computer's keys stay usable after it leaves the world.
  emu::reset();
  cb = sizeof text;
  EXPECT_EQ(RegQueryValueExW(cv, u"SystemRoot", nullptr, nullptr,
                             reinterpret_cast<BYTE *>(text), &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(cv), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(remote), ERROR_SUCCESS);
}

TEST_F(RegistryTest, ConnectFailures) {
  HKEY k = kSentinelKey;
  EXPECT_EQ(RegConnectRegistryW(u"NOSUCHHOST", HKEY_LOCAL_MACHINE, &k),
            ERROR_BAD_NETPATH);
  EXPECT_EQ(k, kSentinelKey);
  EXPECT_EQ(RegConnectRegistryW(u"\\\\NOSUCHHOST", HKEY_LOCAL_MACHINE, &k),
            ERROR_BAD_NETPATH);
  EXPECT_EQ(RegConnectRegistryW(nullptr, HKEY_LOCAL_MACHINE, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegConnectRegistryW(u"NOSUCHHOST", HKEY_LOCAL_MACHINE, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegConnectRegistryW(nullptr, nullptr, &k), ERROR_INVALID_HANDLE);
  auto server = std::make_shared<emu::Computer>(u"SERVER01");
  emu::add_remote(server);
  // A remote registry offers HKEY_LOCAL_MACHINE and HKEY_USERS only.
  k = kSentinelKey;
  EXPECT_EQ(RegConnectRegistryW(u"SERVER01", HKEY_CURRENT_USER, &k),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegConnectRegistryW(u"SERVER01", HKEY_CLASSES_ROOT, &k),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(k, kSentinelKey);
  EXPECT_EQ(RegConnectRegistryW(u"SERVER01", HKEY_USERS, &k), ERROR_SUCCESS);
  HKEY none = kSentinelKey;
  EXPECT_EQ(RegOpenKeyExW(k, u".DEFAULT", 0, KEY_READ, &none), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
}

TEST_F(RegistryTest, InjectedFaultsAndCallCounts) {
  emu::reset_calls();
  emu::fail(emu::Call::RegOpenKeyExW, ERROR_ACCESS_DENIED, 1);
  HKEY k = kSentinelKey;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &k),
            ERROR_ACCESS_DENIED);
  k = Open(HKEY_LOCAL_MACHINE, u"SOFTWARE");  // the fault fired once
  emu::fail(emu::Call::RegQueryValueExW, ERROR_MORE_DATA, 1, 1);
  DWORD cb = 0;
  HKEY cv = Open(k, u"Microsoft\\Windows NT\\CurrentVersion");
  EXPECT_EQ(RegQueryValueExW(cv, u"Number", nullptr, nullptr, nullptr, &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(cv, u"Number", nullptr, nullptr, nullptr, &cb),
            ERROR_MORE_DATA);
  emu::fail(emu::Call::RegConnectRegistryW, RPC_S_SERVER_UNAVAILABLE);
  HKEY r = kSentinelKey;
  EXPECT_EQ(RegConnectRegistryW(nullptr, HKEY_LOCAL_MACHINE, &r),
            RPC_S_SERVER_UNAVAILABLE);
  emu::fail(emu::Call::RegCloseKey, ERROR_INVALID_HANDLE, 1);
  EXPECT_EQ(RegCloseKey(cv), ERROR_INVALID_HANDLE);  // the fault: still open
  EXPECT_EQ(RegCloseKey(cv), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  EXPECT_EQ(emu::calls(emu::Call::RegOpenKeyExW), 3u);
  EXPECT_EQ(emu::calls(emu::Call::RegQueryValueExW), 2u);
  EXPECT_EQ(emu::calls(emu::Call::RegConnectRegistryW), 1u);
  EXPECT_EQ(emu::calls(emu::Call::RegCloseKey), 3u);
}

TEST_F(RegistryTest, HandlesFromManyThreads) {
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\A\\B\\C", 0, KEY_READ, &k) != 0) {
          ++failures;
          continue;
        }
        DWORD v = 0, cb = sizeof v;
        if (RegQueryValueExW(k, u"Deep", nullptr, nullptr, reinterpret_cast<BYTE *>(&v),
                             &cb) != 0 ||
            v != 3)
          ++failures;
        if (RegCloseKey(k) != 0) ++failures;
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace

namespace {

// The access mask of an open is checked as a key's security checks it: bits
// no key right stands for are refused, the generic rights map to the key's,
// the WOW64 view flags grant nothing, and a handle queries values only with
// KEY_QUERY_VALUE.
TEST_F(RegistryTest, AccessMasksAreCheckedAsWindowsChecksThem) {
  const char16_t *path = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
  auto query = [](HKEY k) {
    DWORD v = 0, cb = sizeof v;
    return RegQueryValueExW(k, u"Number", nullptr, nullptr, reinterpret_cast<BYTE *>(&v),
                            &cb);
  };
  struct Case {
    REGSAM access;
    LONG open;   // the open's result
    LONG query;  // a value query on the handle, when opened
  } cases[] = {
      {KEY_READ, ERROR_SUCCESS, ERROR_SUCCESS},
      {KEY_QUERY_VALUE, ERROR_SUCCESS, ERROR_SUCCESS},
      {GENERIC_READ, ERROR_SUCCESS, ERROR_SUCCESS},
      {MAXIMUM_ALLOWED, ERROR_SUCCESS, ERROR_SUCCESS},
      {KEY_ALL_ACCESS, ERROR_SUCCESS, ERROR_SUCCESS},
      {KEY_READ | KEY_WOW64_64KEY, ERROR_SUCCESS, ERROR_SUCCESS},
      {0, ERROR_SUCCESS, ERROR_ACCESS_DENIED},
      {KEY_ENUMERATE_SUB_KEYS, ERROR_SUCCESS, ERROR_ACCESS_DENIED},
      {KEY_SET_VALUE, ERROR_SUCCESS, ERROR_ACCESS_DENIED},
      {KEY_WOW64_32KEY, ERROR_SUCCESS, ERROR_ACCESS_DENIED},
      {0x40, ERROR_ACCESS_DENIED, 0},  // no key right
      {KEY_READ | 0x00800000, ERROR_ACCESS_DENIED, 0},
      {KEY_READ | 0x04000000, ERROR_ACCESS_DENIED, 0},
      {KEY_READ | ACCESS_SYSTEM_SECURITY, ERROR_PRIVILEGE_NOT_HELD, 0},
  };
  emu::set_security_privilege_enabled(false);
  for (const Case &c : cases) {
    HKEY k = kSentinelKey;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, c.access, &k), c.open)
        << std::hex << c.access;
    if (c.open != ERROR_SUCCESS) {
      EXPECT_EQ(k, nullptr) << std::hex << c.access;
      continue;
    }
    EXPECT_EQ(query(k), c.query) << std::hex << c.access;
    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  }
  // With the privilege, the system security right is granted too.
  emu::set_security_privilege_enabled(true);
  HKEY k = nullptr;
  ASSERT_EQ(
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | ACCESS_SYSTEM_SECURITY, &k),
      ERROR_SUCCESS);
  EXPECT_EQ(query(k), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  // Subkeys are listed only with KEY_ENUMERATE_SUB_KEYS.
  for (REGSAM access : {REGSAM{KEY_QUERY_VALUE}, REGSAM{KEY_ENUMERATE_SUB_KEYS}}) {
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM", 0, access, &k), ERROR_SUCCESS);
    WCHAR name[16];
    DWORD units = 16;
    EXPECT_EQ(RegEnumKeyExW(k, 0, name, &units, nullptr, nullptr, nullptr, nullptr),
              access == KEY_QUERY_VALUE ? ERROR_ACCESS_DENIED : ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  }
  // A missing key is missing whatever the mask asks for.
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nothing", 0, 0x40, &k),
            ERROR_FILE_NOT_FOUND);
}

}  // namespace
