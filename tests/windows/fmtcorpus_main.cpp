// Formats the FormatMessageW corpus and, on the emulated platform, compares
// the result with a run of the same corpus on Windows (or Wine).
//
//   fmtcorpus mc OUT.mc                       the message table's source
//   fmtcorpus run DLL ANSI_DLL OUT            one result line per case
//   fmtcorpus compare DLL ANSI_DLL WINDOWS    emulated results against the
//                                             lines a Windows run wrote
//
// DLL and ANSI_DLL are the table compiled with Unicode and with ANSI
// entries.  `compare` prints every difference that no known deviation of the
// Windows run explains and exits 1 when there is one.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tests/windows/fmtcorpus.h"

#if !defined(_WIN32)
#include "platform/emulated/seam.h"
#endif

using fmtcorpus::Case;

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: fmtcorpus mc OUT.mc | run DLL ANSI_DLL OUT | compare DLL ANSI_DLL "
               "WINDOWS\n");
  return 2;
}

#if !defined(_WIN32)
bool read_file(const char *path, std::vector<uint8_t> *bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}
#endif

// Loads the two table DLLs as data files.  On Windows the paths are the
// system's own; on the emulated platform the files are placed on the local
// computer's drive C.
bool load_tables(const char *dll, const char *ansi_dll, HMODULE *module,
                 HMODULE *ansi_module) {
  const char *paths[2] = {dll, ansi_dll};
  HMODULE *out[2] = {module, ansi_module};
  for (int i = 0; i < 2; i++) {
    fmtcorpus::wstring path;
#if defined(_WIN32)
    for (const char *p = paths[i]; *p; p++) path.push_back(static_cast<WCHAR>(*p));
#else
    std::vector<uint8_t> bytes;
    if (!read_file(paths[i], &bytes)) {
      std::fprintf(stderr, "fmtcorpus: cannot read %s\n", paths[i]);
      return false;
    }
    path = i == 0 ? u"C:\\corpus\\unicode.dll" : u"C:\\corpus\\ansi.dll";
    vesk::emu::local()->add_file(path, std::move(bytes));
#endif
    *out[i] = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (*out[i] == nullptr) {
      std::fprintf(stderr, "fmtcorpus: LoadLibraryExW(%s) failed, error %lu\n", paths[i],
                   static_cast<unsigned long>(GetLastError()));
      return false;
    }
  }
  return true;
}

int run(const char *dll, const char *ansi_dll, const char *out_path) {
#if !defined(_WIN32)
  vesk::emu::reset();
#endif
  HMODULE module, ansi_module;
  if (!load_tables(dll, ansi_dll, &module, &ansi_module)) return 1;
  std::FILE *out = std::fopen(out_path, "wb");
  if (!out) {
    std::fprintf(stderr, "fmtcorpus: cannot write %s\n", out_path);
    return 1;
  }
  const std::vector<Case> cases = fmtcorpus::corpus();
  for (const Case &c : cases) {
    std::string line = fmtcorpus::run(c, module, ansi_module);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), out);
  }
  std::fclose(out);
  FreeLibrary(module);
  FreeLibrary(ansi_module);
  std::printf("fmtcorpus: %zu cases\n", cases.size());
  return 0;
}

#if !defined(_WIN32)

// The line with the buffer contents of every failed call left out: their
// count and error stay.
std::string without_failed_text(const std::string &line) {
  std::string out;
  size_t start = 0;
  while (start <= line.size()) {
    size_t end = line.find('\t', start);
    if (end == std::string::npos) end = line.size();
    std::string call = line.substr(start, end - start);
    if (call.rfind("0,", 0) == 0) call = call.substr(0, call.find(',', 2));
    if (!out.empty()) out += '\t';
    out += call;
    start = end + 1;
  }
  return out;
}

std::string first_call(const std::string &line) {
  return line.substr(0, line.find('\t'));
}

// Where Wine, the Windows run at hand, is known to differ from Windows.  The
// emulated platform follows Windows; each deviation says how to format the
// case on the emulated platform to get what Wine gives instead, and the
// difference counts as explained when that matches Wine's result exactly
// (the call with the large buffer).
struct Deviation {
  const char *name;
  const char *reason;
  bool (*as_wine)(const Case &c, Case *out);
};

// The text of a case: its own, or its table entry's.
fmtcorpus::wstring text_of(const Case &c) {
  return c.table >= 0 ? fmtcorpus::table_text(fmtcorpus::table()[c.table]) : c.text;
}

// The case again as a string message whose every %t is replaced by `with`.
bool replace_tab_escape(const Case &c, const char16_t *with, Case *out) {
  fmtcorpus::wstring text = text_of(c), changed;
  bool found = false;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '%' && i + 1 < text.size()) {
      if (text[i + 1] == 't') {
        changed += with;
        found = true;
      } else {
        changed += text.substr(i, 2);
      }
      i++;
    } else {
      changed += text[i];
    }
  }
  if (!found) return false;
  *out = c;
  out->flags = (c.flags & ~static_cast<DWORD>(FORMAT_MESSAGE_FROM_HMODULE)) |
               FORMAT_MESSAGE_FROM_STRING;
  out->table = -1;
  out->text = changed;
  return true;
}

const Deviation kDeviations[] = {
    {"%t under a width byte",
     "Windows writes a TAB for %t under every width byte (the audit messages, full of "
     "%t, show "
     "tabs with FORMAT_MESSAGE_MAX_WIDTH_MASK); Wine writes CR LF as for %n",
     [](const Case &c, Case *out) {
       return (c.flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) != 0 &&
              replace_tab_escape(c, u"%n", out);
     }},
};

int compare(const char *dll, const char *ansi_dll, const char *windows_path) {
  vesk::emu::reset();
  HMODULE module, ansi_module;
  if (!load_tables(dll, ansi_dll, &module, &ansi_module)) return 1;
  std::ifstream in(windows_path, std::ios::binary);
  std::vector<std::string> windows;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    windows.push_back(line);
  }
  const std::vector<Case> cases = fmtcorpus::corpus();
  if (windows.size() != cases.size()) {
    std::fprintf(stderr, "fmtcorpus: %s has %zu lines for %zu cases\n", windows_path,
                 windows.size(), cases.size());
    return 1;
  }

  size_t same = 0, unexplained = 0, twins = 0, twins_differ = 0, wrapped_failures = 0;
  std::vector<size_t> explained(std::size(kDeviations), 0);
  for (size_t i = 0; i < cases.size(); i++) {
    const Case &c = cases[i];
    // The table text as the corpus writes it must be what the DLL holds.
    if (c.twin >= 0) twins++;
    if (c.twin >= 0 && first_call(windows[i]) != first_call(windows[c.twin])) {
      if (++twins_differ <= 10)
        std::printf(
            "TABLE TEXT: case %zu (%s) differs from its text as a string:\n  %s\n  %s\n",
            i, fmtcorpus::describe(c).c_str(), windows[i].c_str(),
            windows[c.twin].c_str());
    }
    const std::string emulated = fmtcorpus::run(c, module, ansi_module);
    if (emulated == windows[i]) {
      same++;
      continue;
    }
    // Widths 1 to 254 wrap lines, and Wine checks the buffer's size on the
    // text before it wraps: a buffer that holds the wrapped result exactly
    // can fail there, and a failed call leaves other contents behind.  The
    // library never uses these widths and Windows' behaviour there is not
    // known, so only the call with the large buffer is compared, and of a
    // failed one only its count and error.
    const DWORD width = c.flags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
    if (width != 0 && width != 0xFF &&
        without_failed_text(first_call(emulated)) ==
            without_failed_text(first_call(windows[i]))) {
      wrapped_failures++;
      continue;
    }
    bool why = false;
    for (size_t d = 0; d < std::size(kDeviations) && !why; d++) {
      Case as_wine;
      if (kDeviations[d].as_wine(c, &as_wine) &&
          first_call(fmtcorpus::run(as_wine, module, ansi_module)) ==
              first_call(windows[i])) {
        explained[d]++;
        why = true;
      }
    }
    if (why) continue;
    if (++unexplained <= 40)
      std::printf("DIFFERS: case %zu: %s\n  emulated: %s\n  windows:  %s\n", i,
                  fmtcorpus::describe(c).c_str(), emulated.c_str(), windows[i].c_str());
  }
  FreeLibrary(module);
  FreeLibrary(ansi_module);
  std::printf("fmtcorpus: %zu cases, %zu the same, %zu differ without a known reason\n",
              cases.size(), same, unexplained);
  std::printf(
      "  compared in part (widths 1-254: the large buffer only, no failed call's text): "
      "%zu\n",
      wrapped_failures);
  for (size_t d = 0; d < std::size(kDeviations); d++)
    std::printf("  deviation \"%s\": %zu cases (%s)\n", kDeviations[d].name, explained[d],
                kDeviations[d].reason);
  std::printf("  %zu of %zu table cases differ from their text given as a string\n",
              twins_differ, twins);
  return unexplained == 0 && twins_differ == 0 ? 0 : 1;
}

#endif

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::strcmp(argv[1], "mc") == 0) {
    std::ofstream out(argv[2], std::ios::binary);
    out << fmtcorpus::mc_source();
    return out ? 0 : 1;
  }
  if (argc == 5 && std::strcmp(argv[1], "run") == 0)
    return run(argv[2], argv[3], argv[4]);
#if !defined(_WIN32)
  if (argc == 5 && std::strcmp(argv[1], "compare") == 0)
    return compare(argv[2], argv[3], argv[4]);
#endif
  return usage();
}
