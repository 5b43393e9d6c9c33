// Shared by the emulated calls' implementations; not for tests.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/emulated/seam.h"

namespace vesk::emu::detail {

// Every emulated call starts here: counts the call and tells whether an
// injected fault fires, with its code.
bool enter(Call c, DWORD *code);

// The calling thread's last error, without counting a call.
void set_error(DWORD code);
DWORD last_error();

enum class LiveKind { LocalAlloc, Bstr, RegKey, EventLog, Token, Module };
void live_add(LiveKind kind, long delta);

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
