// A whole run of the tool with arbitrary arguments against a small store in
// memory. The first byte picks the store and the DHCP client library; the
// rest, split at NUL bytes, is the argument vector. The run must end with a
// status, and a store it changed must open again in full.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "catalogue/adapter_table.h"
#include "cli/cli.h"
#include "platform/standin/registry_store.h"
#include "platform/standin/standin.h"
#include "platform/standin/standin_hooks.h"
#include "platform/standin/standin_text.h"

namespace {

// More than the tool reads, so that extra arguments are fuzzed too.
const size_t kMaxArguments = 12;

std::vector<std::string>& stores() {
  static std::vector<std::string> texts;
  return texts;
}

std::string readFixture(const char* name) {
  std::ifstream in(std::string(NETVANE_FIXTURES) + "/" + name, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The Version 5.00 fixture is kept as UTF-8; regedit writes UTF-16LE with a mark.
std::string asVersion5(const std::string& utf8) {
  std::vector<uint8_t> units = standin::utf8ToUtf16LE(utf8.data(), utf8.size());
  return "\xFF\xFE" + std::string(units.begin(), units.end());
}

void check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "tool_run_fuzzer: %s\n", what);
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  stores().push_back(readFixture("machine.reg"));
  stores().push_back(asVersion5(readFixture("machine-v5.utf8.reg")));
  stores().push_back(standin::sampleMachine());
  for (const std::string& store : stores()) check(store.size() > 100, "a fixture is missing");
  // What the tool prints is not checked here, and writing it would only slow the run.
  check(freopen("/dev/null", "w", stdout) != nullptr, "cannot silence stdout");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string& text = stores()[data[0] % stores().size()];
  const standin::DhcpLibrary libraries[] = {standin::DhcpLibrary::kPresent, standin::DhcpLibrary::kAbsent,
                                            standin::DhcpLibrary::kNoEntry};
  standin::setDhcpLibrary(libraries[(data[0] / 4) % 3]);

  std::vector<std::string> arguments = {"netvane"};
  if (size > 1) {
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    for (size_t start = 0; arguments.size() <= kMaxArguments;) {
      size_t end = rest.find('\0', start);
      arguments.push_back(rest.substr(start, end == std::string::npos ? std::string::npos : end - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);

  std::string error;
  std::string written;
  std::unique_ptr<standin::RegistryStore> store = standin::parseRegText(text, &error, &written);
  check(store != nullptr, "a fixture does not open");
  resetAdapterTable();
  standin::clearDhcpCalls();
  standin::beginRunWithStore(std::move(store));
  int32_t status = netvaneMain(static_cast<int>(arguments.size()), argv.data());
  fflush(stdout);
  check(status >= 0, "a negative exit status");
  check(standin::endRun(&error), "a store that opened in full cannot be committed");
  resetAdapterTable();
  if (!written.empty()) {
    std::unique_ptr<standin::RegistryStore> again = standin::parseRegText(written, &error);
    check(again != nullptr, "the changed store does not open again");
    check(again->keyExists("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards"),
          "the changed store lost its network cards");
  }
  return 0;
}
