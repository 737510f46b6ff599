#include "run_tool.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "platform/standin/standin_text.h"

ScratchDir::ScratchDir() {
  char pattern[] = "/tmp/netvane-test.XXXXXX";
  path_ = mkdtemp(pattern);
}

ScratchDir::~ScratchDir() {
  std::string command = "rm -rf '" + path_ + "'";
  if (system(command.c_str()) != 0) {
    // Left behind in /tmp; nothing else to do.
  }
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string fixture(const std::string& name) { return readFile(std::string(NETVANE_FIXTURES) + "/" + name); }

struct stat statOf(const std::string& path) {
  struct stat s = {};
  stat(path.c_str(), &s);
  return s;
}

ToolRun runTool(const std::vector<std::string>& arguments,
                const std::map<std::string, std::string>& environment) {
  ScratchDir scratch;
  std::string outPath = scratch.file("stdout");
  std::vector<std::string> argvText = {NETVANE_BINARY};
  argvText.insert(argvText.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : argvText) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  std::vector<std::string> envText;
  for (const auto& entry : environment) envText.push_back(entry.first + "=" + entry.second);
  std::vector<char*> envp;
  for (std::string& e : envText) envp.push_back(&e[0]);
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid;
  ToolRun run{"", -1};
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  run.out = readFile(outPath);
  return run;
}

ToolRun runWithStore(const std::string& store, const std::vector<std::string>& arguments,
                     const std::string& record, const std::map<std::string, std::string>& extra) {
  std::map<std::string, std::string> environment = {{"NETVANE_REGISTRY", store},
                                                    {"HOME", "/nonexistent"}};
  if (!record.empty()) environment["NETVANE_DHCP_RECORD"] = record;
  for (const auto& entry : extra) environment[entry.first] = entry.second;
  return runTool(arguments, environment);
}

bool storedValue(const std::string& store, const std::string& key, const std::string& name,
                 standin::StoreValue* value) {
  std::string error;
  std::unique_ptr<standin::RegistryStore> parsed = standin::parseRegText(readFile(store), &error);
  return parsed && parsed->getValue(key, name, value);
}

std::string storedText(const std::string& store, const std::string& key, const std::string& name) {
  standin::StoreValue value;
  if (!storedValue(store, key, name, &value)) return "<missing>";
  std::string text = standin::utf16LEToUtf8(value.data.data(), value.data.size());
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}
