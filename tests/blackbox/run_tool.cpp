#include "run_tool.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>

#include "platform/standin/standin_text.h"

const std::string kFixtureList =
    "\nNetwork adapters:\n"
    "\n1:\tContoso E100 Fast Ethernet\n\tName: E100A\n"
    "\n2:\tFabrikam Wireless LAN\n\tName: {6F1A2B3C-4D5E-6F70-8192-A3B4C5D6E7F8}\n"
    "\n3:\tLegacy ISA Adapter\n\tName: LegacyNic\n";

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

pid_t startTool(const std::vector<std::string>& arguments,
                const std::map<std::string, std::string>& environment, const std::string& out,
                const std::string& err, const std::string& program) {
  std::vector<std::string> argvText = {program};
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
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!err.empty()) posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int waitTool(pid_t pid, double timeout, double* cpuSeconds) {
  if (cpuSeconds != nullptr) *cpuSeconds = 0;
  if (pid < 0) return -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
  int status = 0;
  bool timedOut = false;
  // A hang must fail the test, not stall the suite: poll, and kill at the deadline.
  struct rusage usage;
  memset(&usage, 0, sizeof usage);
  while (wait4(pid, &status, WNOHANG, &usage) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      wait4(pid, &status, 0, &usage);
      timedOut = true;
      break;
    }
    usleep(1000);
  }
  if (cpuSeconds != nullptr) {
    *cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                  double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  }
  if (timedOut) return kTimedOut;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

namespace {

// Runs `program` to its end; its stderr is kept in the result only when
// `keepErr` is set, and otherwise goes where the test's own goes.
ToolRun runToEnd(const std::string& program, const std::vector<std::string>& arguments,
                 const std::map<std::string, std::string>& environment, double timeout, bool keepErr) {
  ScratchDir scratch;
  const std::string errPath = keepErr ? scratch.file("stderr") : "";
  auto start = std::chrono::steady_clock::now();
  ToolRun run{"", 0, 0, 0, ""};
  run.status = waitTool(startTool(arguments, environment, scratch.file("stdout"), errPath, program), timeout,
                        &run.cpuSeconds);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.out = readFile(scratch.file("stdout"));
  if (keepErr) run.err = readFile(errPath);
  return run;
}

}  // namespace

ToolRun runTool(const std::vector<std::string>& arguments,
                const std::map<std::string, std::string>& environment, double timeout) {
  return runToEnd(NETVANE_BINARY, arguments, environment, timeout, false);
}

ToolRun runScript(const std::string& script, const std::map<std::string, std::string>& extra) {
  std::map<std::string, std::string> environment = {
      {"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"}, {"HOME", "/nonexistent"}, {"NV", NETVANE_BINARY},
      {"FX", NETVANE_FIXTURES}, {"AS", "setpriv --reuid=65534 --regid=65534 --clear-groups"}};
  for (const auto& entry : extra) environment[entry.first] = entry.second;
  const std::string stopped =
      "stopped() { while s=$(cut -d' ' -f3 /proc/$1/stat 2>/dev/null) && [ \"$s\" != T ] && "
      "[ \"$s\" != Z ]; do sleep 0.01; done; }\n";
  return runToEnd("/bin/sh", {"-c", stopped + script}, environment, kRunSeconds, true);
}

bool runningAsRoot() { return geteuid() == 0; }

std::map<std::string, std::string> storeEnvironment(const std::string& store) {
  return {{"NETVANE_REGISTRY", store}, {"HOME", "/nonexistent"}};
}

ToolRun runWithStore(const std::string& store, const std::vector<std::string>& arguments,
                     const std::string& record, const std::map<std::string, std::string>& extra) {
  std::map<std::string, std::string> environment = storeEnvironment(store);
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

std::string version5File(const std::string& utf8) {
  std::vector<uint8_t> wide = standin::utf8ToUtf16LE(utf8.data(), utf8.size());
  return std::string("\xff\xfe") + std::string(wide.begin(), wide.end());
}

std::string fillerSections(size_t size, const std::string& lineEnd) {
  std::string text;
  text.reserve(size + 256);
  char line[160];
  for (unsigned key = 0; text.size() < size; ++key) {
    snprintf(line, sizeof line, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Filler\\Key%06u]", key);
    text += line + lineEnd;
    snprintf(line, sizeof line, "\"Count\"=dword:%08x", key);
    text += line + lineEnd;
    text += "\"Path\"=\"C:\\\\Windows\\\\System32\\\\drivers\\\\filler.sys\"" + lineEnd;
    // A long REG_MULTI_SZ wrapped the way regedit wraps it.
    text += "\"List\"=hex(7):";
    for (int i = 0; i < 60; ++i) {
      text += i % 2 == 0 ? "61," : "00,";
      if (i % 25 == 24) text += "\\" + lineEnd + "  ";
    }
    text += "00,00" + lineEnd + lineEnd;
  }
  return text;
}

bool readsInFull(const std::string& bytes, std::string* error) {
  std::unique_ptr<standin::RegistryStore> store = standin::parseRegText(bytes, error);
  if (!store) return false;
  // A large store is read in full before it is written, so write a value.
  std::vector<std::string> top = store->subkeys("");
  if (top.empty()) return true;
  standin::StoreValue probe;
  probe.type = 4;
  probe.data = {1, 0, 0, 0};
  store->setValue(top.front(), "ReadsInFullProbe", probe);
  return store->commit(error);
}

std::vector<std::string> directoryEntries(const std::string& path) {
  std::vector<std::string> names;
  DIR* directory = opendir(path.c_str());
  if (directory == nullptr) return names;
  while (struct dirent* entry = readdir(directory)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(directory);
  std::sort(names.begin(), names.end());
  return names;
}
