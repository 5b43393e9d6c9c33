// Computers loaded from a directory that holds a Windows system drive: the
// registry from the hive files under <system root>/system32/config, the name
// from ComputerName, and the directory itself as the system drive.  All names
// on disk are matched without regard to case.
#include <algorithm>

#include "platform/emulated/internal.h"

namespace vesk::emu {
namespace {

namespace fs = std::filesystem;

bool is_file(const fs::path &p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);
}

bool is_dir(const fs::path &p) {
  std::error_code ec;
  return fs::is_directory(p, ec);
}

// Every lookup stays inside the image directory `image`: a link that leads
// out of it is refused.
bool holds_system_hive(const fs::path &root, const fs::path &image) {
  auto f = find_case_insensitive(root, u"system32\\config\\SYSTEM", image);
  return f && is_file(*f);
}

// The system root below `dir`: WINDOWS or WINNT when one of them holds the
// hives, else any top-level directory that does; failing that WINDOWS or
// WINNT as they are.
std::optional<fs::path> find_system_root(const fs::path &dir) {
  std::vector<fs::path> named;
  for (const char16_t *n : {u"WINDOWS", u"WINNT"}) {
    auto p = find_case_insensitive(dir, n);
    if (p && is_dir(*p)) {
      if (holds_system_hive(*p, dir)) return p;
      named.push_back(*p);
    }
  }
  std::vector<std::string> others;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    if (is_dir(it->path())) others.push_back(it->path().filename().string());
  std::sort(others.begin(), others.end());
  for (const auto &name : others) {
    auto p = find_case_insensitive(dir, from_utf8(name));
    if (p && is_dir(*p) && holds_system_hive(*p, dir)) return p;
  }
  if (!named.empty()) return named.front();
  return std::nullopt;
}

std::u16string directory_name(const fs::path &dir) {
  std::error_code ec;
  fs::path p = fs::absolute(dir, ec);
  if (ec) p = dir;
  p = p.lexically_normal();
  if (p.filename().empty()) p = p.parent_path();
  std::u16string name = fold(from_utf8(p.filename().string()));
  return name.empty() ? std::u16string(u"LOCALHOST") : name;
}

}  // namespace

std::shared_ptr<RegKey> detail::lookup(std::shared_ptr<RegKey> key,
                                       std::u16string_view path) {
  size_t start = 0;
  while (key && start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > start) key = key->child(path.substr(start, end - start));
    start = end + 1;
  }
  return key;
}

std::u16string detail::string_value(const std::shared_ptr<RegKey> &key,
                                    std::u16string_view name) {
  if (!key) return {};
  auto v = key->value(name);
  if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return {};
  std::u16string text;
  for (size_t i = 0; i + 1 < v->data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(v->data[i] | (v->data[i + 1] << 8));
    if (c == 0) break;
    text.push_back(c);
  }
  return text;
}

std::shared_ptr<Computer> load_image(const fs::path &dir, std::u16string name,
                                     std::string *error) {
  if (!is_dir(dir)) {
    if (error) *error = dir.string() + ": no such directory";
    return nullptr;
  }
  struct Part {
    const char16_t *name;
    bool system;
    std::shared_ptr<RegKey> key;
  };
  Part parts[] = {{u"SYSTEM", true, nullptr},
                  {u"SOFTWARE", false, nullptr},
                  {u"SAM", false, nullptr}};
  auto root = find_system_root(dir);
  if (!root) {
    report(dir.string() +
           ": not a Windows system drive (no WINDOWS, WINNT or other directory holding "
           "system32\\config\\SYSTEM); its registry is empty");
  } else {
    auto config = find_case_insensitive(*root, u"system32\\config", dir);
    if (!config || !is_dir(*config)) {
      report(root->string() + ": no system32\\config directory; the registry is empty");
    } else {
      for (auto &part : parts) {
        auto file = find_case_insensitive(*config, part.name, dir);
        if (!file || !is_file(*file)) {
          report(config->string() + ": no " + to_utf8(part.name) + " hive; HKLM\\" +
                 to_utf8(part.name) + " is empty");
          continue;
        }
        std::string ignored;  // open_hive reports its failures itself
        part.key = open_hive(*file, part.system, &ignored);
      }
    }
  }
  const auto &system = parts[0].key;
  const auto &software = parts[1].key;

  if (name.empty() && system) {
    name = detail::string_value(
        detail::lookup(system, u"CurrentControlSet\\Control\\ComputerName\\ComputerName"),
        u"ComputerName");
    if (name.empty())
      report(dir.string() +
             ": no ComputerName in the SYSTEM hive; the computer is named after its "
             "directory");
  }
  if (name.empty()) name = directory_name(dir);

  auto computer = std::make_shared<Computer>(std::move(name));
  for (auto &part : parts)
    if (part.key) computer->hklm()->mount(part.name, part.key);

  char16_t drive = u'C';
  if (software) {
    std::u16string system_root = detail::string_value(
        detail::lookup(software, u"Microsoft\\Windows NT\\CurrentVersion"),
        u"SystemRoot");
    char16_t letter = system_root.size() >= 2 && system_root[1] == u':'
                          ? upcase(system_root[0])
                          : u'\0';
    if (letter >= u'A' && letter <= u'Z')
      drive = letter;
    else
      report(dir.string() +
             ": no usable SystemRoot in the SOFTWARE hive; the directory is "
             "drive C");
  } else if (root) {
    // Without a SOFTWARE hive nothing could open a log, as opening reads
    // SystemRoot first: the directory that is the system root stands in for
    // it, so that the logs of an image without hives stay readable.
    std::u16string system_root = u"C:\\" + from_utf8(root->filename().string());
    computer->key(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion")
        ->set_string(u"SystemRoot", system_root);
    report(dir.string() + ": no usable SOFTWARE hive; SystemRoot is taken as " +
           to_utf8(system_root) + ", the system root directory of the image");
  }
  computer->add_drive(drive, dir);
  return computer;
}

}  // namespace vesk::emu
