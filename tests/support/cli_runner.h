// Runs the built command-line tool as a user runs it, for the tests of its
// options: arguments, an environment of its own, standard output and
// standard error captured.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace vesk::test {

struct ToolRun {
  int status = -1;
  std::string out, err;
};

// Runs build/.../cli/vesk with `args` in a copy of this process's
// environment without VESK_LOCAL_IMAGE and VESK_REMOTE_IMAGES, with TZ=UTC,
// and with `env` on top (an empty value removes the variable).  `scratch`
// is a directory that holds the captured output.
ToolRun RunTool(const std::vector<std::string> &args,
                const std::filesystem::path &scratch,
                std::map<std::string, std::string> env = {});

// The lines of a text, without their line feeds.
std::vector<std::string> TextLines(const std::string &text);

// The file's bytes.
std::string FileText(const std::filesystem::path &file);

}  // namespace vesk::test
