// Resource-only message DLLs from a list of entries, written through the
// streaming writer (pewriter.h), which lays out the PE file and its
// resource tree.
#include "msgdllwriter.h"

#include <algorithm>
#include <sstream>
#include <unordered_map>

#include "pewriter.h"

namespace vesk::tools {

std::vector<uint8_t> write_message_dll(std::vector<MessageEntry> entries,
                                       uint16_t language) {
  std::stable_sort(
      entries.begin(), entries.end(),
      [](const MessageEntry &a, const MessageEntry &b) { return a.id < b.id; });
  // One block per run of consecutive ids; of entries that share an id the
  // first is kept, the one a reader would find.
  std::unordered_map<uint32_t, const std::u16string *> text;
  MessageDllLayout layout;
  layout.language = language;
  layout.terminate_empty = true;
  for (const MessageEntry &e : entries) {
    if (!text.emplace(e.id, &e.text).second) continue;
    if (!layout.blocks.empty() && layout.blocks.back().high != 0xFFFFFFFFu &&
        e.id == layout.blocks.back().high + 1)
      layout.blocks.back().high = e.id;
    else
      layout.blocks.push_back({e.id, e.id});
  }
  layout.text = [&](uint32_t id) { return *text.at(id); };
  std::ostringstream out(std::ios::binary);
  std::string error;
  // A list held in memory cannot make a section of 4 GB; a failure here
  // would be a broken stream, and gives no file.
  if (!write_message_dll(out, layout, &error)) return {};
  const std::string bytes = out.str();
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

}  // namespace vesk::tools
