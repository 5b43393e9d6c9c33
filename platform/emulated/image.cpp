// Computers loaded from a Windows system drive directory.
// (Being written: hives through the hive library.)
#include "platform/emulated/internal.h"

namespace vesk::emu {

std::shared_ptr<RegKey> open_hive(const std::filesystem::path &file, bool, std::string *error) {
  if (error) *error = file.string() + ": hive loading is not built yet";
  return nullptr;
}

std::shared_ptr<Computer> load_image(const std::filesystem::path &dir, std::u16string,
                                     std::string *error) {
  if (error) *error = dir.string() + ": image loading is not built yet";
  return nullptr;
}

}  // namespace vesk::emu
