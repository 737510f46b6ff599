// Runs the built netvane as a user would: a fresh process, a store file of
// its own, and nothing but stdout and the exit status to go by.
#ifndef NETVANE_TESTS_BLACKBOX_RUN_TOOL_H
#define NETVANE_TESTS_BLACKBOX_RUN_TOOL_H

#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "platform/standin/registry_store.h"

struct ToolRun {
  std::string out;
  int status;
};

// A scratch directory, removed when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
std::string fixture(const std::string& name);
struct stat statOf(const std::string& path);

// Runs the binary with `arguments`; `environment` replaces the whole
// environment, so nothing of the test machine leaks into the run.
ToolRun runTool(const std::vector<std::string>& arguments,
                const std::map<std::string, std::string>& environment);

// Runs against a store file, with the DHCP client's calls recorded to `record`.
ToolRun runWithStore(const std::string& store, const std::vector<std::string>& arguments,
                     const std::string& record = "",
                     const std::map<std::string, std::string>& extra = {});

// The text of a string value read back from a store file (terminators cut),
// or "<missing>".
std::string storedText(const std::string& store, const std::string& key,
                       const std::string& name);
// A value read back as type and raw data.
bool storedValue(const std::string& store, const std::string& key, const std::string& name,
                 standin::StoreValue* value);

#endif
