// Computers with registered event sources and toolchain-built message files,
// for the tests of the message caches and of parameter expansion.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/context.h"
#include "messages/convert.h"
#include "messages/sources.h"
#include "testlib.h"

namespace vesk::test {

// The bytes of a message file built from tests/msgfiles/<name>.mc, for
// `bits` 32 or 64.
std::vector<uint8_t> MessageDll(const std::string &name, int bits = 32);

// Sets value `value` ("EventMessageFile", ...) of the source's key under the
// log's key of `computer`.
void RegisterSource(emu::Computer &computer, const std::u16string &log,
                    const std::u16string &source, const std::u16string &value,
                    const std::u16string &files);

// Paths of a source's module references, in the order they are tried.
std::vector<std::string> ModulePaths(const CEvtSource *source);

// A local computer WORKSTATION (system root C:\WINDOWS) with the Application
// log, whose handles are closed at the end of each test, which then checks
// that every key, module and copied text has been given back.
class MessageTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Opens `log` on `machine` (null: local) and returns its context.
  CEvtLog *Open(const char *machine = nullptr, const char *log = "Application");
  VESKHANDLE HandleOf(const CEvtLog *ctx) const;
  // The latched text of the context ("" when none), then clears the latch.
  std::string TakeError(CEvtLog *ctx);

  // Formats `number` of (source, type) with the flags the row uses for that
  // type.  The formatted text, or "<none>" followed by what the buffer held
  // after a count of 0 (it is filled with "<before>" first).
  std::string Format(CEvtLog *ctx, const std::u16string &source, LONG type, DWORD number,
                     const std::vector<std::u16string> &inserts = {});

  std::shared_ptr<emu::Computer> local_;
  std::vector<std::pair<CEvtLog *, VESKHANDLE>> open_;
};

}  // namespace vesk::test
