#include "cli_runner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

extern char **environ;

namespace vesk::test {

std::string FileText(const std::filesystem::path &file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> TextLines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

ToolRun RunTool(const std::vector<std::string> &args,
                const std::filesystem::path &scratch,
                std::map<std::string, std::string> env) {
  for (const char *name : {"VESK_LOCAL_IMAGE", "VESK_REMOTE_IMAGES"})
    env.emplace(name, "");
  env.emplace("TZ", "UTC");
  std::vector<std::string> env_text;
  for (char **e = environ; *e != nullptr; ++e) {
    std::string item = *e;
    if (env.count(item.substr(0, item.find('='))) == 0) env_text.push_back(item);
  }
  for (const auto &[name, value] : env)
    if (!value.empty()) env_text.push_back(name + "=" + value);

  const std::string program = std::string(VESK_BINARY_DIR) + "/cli/vesk";
  std::vector<std::string> argv_text = args;
  argv_text.insert(argv_text.begin(), program);
  std::vector<char *> argv, envp;
  for (auto &a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto &e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  const std::filesystem::path out = scratch / "tool.out", err = scratch / "tool.err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = 0;
  ToolRun run;
  const int rc =
      posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    run.err = std::string("posix_spawn: ") + std::strerror(rc);
    return run;
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = FileText(out);
  run.err = FileText(err);
  return run;
}

}  // namespace vesk::test
