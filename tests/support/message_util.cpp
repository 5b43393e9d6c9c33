#include "message_util.h"

#include <fstream>
#include <iterator>

namespace vesk::test {

std::vector<uint8_t> MessageDll(const std::string &name, int bits) {
  std::string path =
      std::string(VESK_MESSAGE_DLL_DIR) + "/" + name + std::to_string(bits) + ".dll";
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "no message file " << path;
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void RegisterSource(emu::Computer &computer, const std::u16string &log,
                    const std::u16string &source, const std::u16string &value,
                    const std::u16string &files) {
  computer.key(u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\" + log + u"\\" + source)
      ->set_string(value, files, REG_EXPAND_SZ);
}

std::vector<std::string> ModulePaths(const CEvtSource *source) {
  std::vector<std::string> out;
  for (const CEvtModuleRef *r = source->modules; r != nullptr; r = r->next)
    out.push_back(Utf8(r->module->path));
  return out;
}

void MessageTest::SetUp() {
  emu::reset();
  local_ = MakeComputer(u"WORKSTATION", {u"Application"});
  emu::set_local(local_);
}

void MessageTest::TearDown() {
  for (auto &[ctx, h] : open_) EXPECT_EQ(VeskClose(h), 0);
  auto live = emu::live();
  EXPECT_EQ(live.reg_keys, 0) << "every registry key is closed";
  EXPECT_EQ(live.modules, 0) << "every message file is freed";
  EXPECT_EQ(live.local_allocs, 0) << "every copied name and path is freed";
  emu::reset();
}

CEvtLog *MessageTest::Open(const char *machine, const char *log) {
  VESKHANDLE h = 0;
  int32_t rc = VeskOpen(machine, log, &h);
  CEvtLog *ctx = FindContext(h);
  open_.emplace_back(ctx, h);
  EXPECT_EQ(rc, 0) << ErrorText(h);
  return ctx;
}

VESKHANDLE MessageTest::HandleOf(const CEvtLog *ctx) const {
  for (auto &[c, h] : open_)
    if (c == ctx) return h;
  return 0;
}

std::string MessageTest::TakeError(CEvtLog *ctx) {
  std::string text = ctx->error_pending ? Utf8(ctx->error_text) : std::string();
  ctx->ClearError();
  return text;
}

std::string MessageTest::Format(CEvtLog *ctx, const std::u16string &source, LONG type,
                                DWORD number,
                                const std::vector<std::u16string> &inserts) {
  static WCHAR buffer[32010];
  lstrcpyW(buffer, u"<before>");
  const WCHAR *args[99] = {};
  for (size_t i = 0; i < inserts.size() && i < 99; ++i) args[i] = inserts[i].c_str();
  DWORD flags = type == kMessageModule ? 0x28FF : 0x0AFF;
  CEvtSource *s = ctx->GetSource(source.c_str(), type);
  DWORD count = s->FormatFrom(ctx, number, flags, buffer, 32010,
                              type == kMessageModule ? args : nullptr);
  if (count == 0) return "<none>" + Utf8(buffer);
  EXPECT_EQ(count, static_cast<DWORD>(lstrlenW(buffer)));
  return Utf8(buffer);
}

}  // namespace vesk::test
