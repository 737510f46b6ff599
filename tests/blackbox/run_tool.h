// Runs the built netvane as a user would: a fresh process, a store file of
// its own, and nothing but stdout and the exit status to go by.
#ifndef NETVANE_TESTS_BLACKBOX_RUN_TOOL_H
#define NETVANE_TESTS_BLACKBOX_RUN_TOOL_H

#include <sys/stat.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "platform/standin/registry_store.h"

struct ToolRun {
  std::string out;
  int status;  // the exit status, 1000 + the signal that ended it, or kTimedOut
  double seconds;
  // What the run itself spent on the processor: unlike `seconds`, it hardly
  // grows when other work loads the machine, so a bound on it catches a run
  // that does too much without failing a run that only waited.
  double cpuSeconds;
  std::string err;  // kept only by runScript
};

// The status of a run that outlived its time and was killed.
const int kTimedOut = 2000;
// Long enough for any run the tests make on a loaded machine.
const double kRunSeconds = 120;

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

// The adapter list that a listing run prints for the machine.reg fixture.
extern const std::string kFixtureList;

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
std::string fixture(const std::string& name);
struct stat statOf(const std::string& path);

// Starts the binary with `arguments`, its stdout sent to the file `out` (and
// its stderr to `err`, when given); `environment` replaces the whole
// environment, so nothing of the test machine leaks into the run. Returns its
// process id, or -1.
pid_t startTool(const std::vector<std::string>& arguments,
                const std::map<std::string, std::string>& environment, const std::string& out,
                const std::string& err = "", const std::string& program = NETVANE_BINARY);
// Waits for it to end, killing it after `timeout` seconds: a status as in
// ToolRun. `cpuSeconds`, when given, receives the processor time it used.
int waitTool(pid_t pid, double timeout, double* cpuSeconds = nullptr);

// Runs the binary to its end and returns what it printed.
ToolRun runTool(const std::vector<std::string>& arguments,
                const std::map<std::string, std::string>& environment, double timeout = kRunSeconds);

// Runs a shell script the way a user types the commands, with $NV the
// binary, $FX the fixtures, $AS the command that runs the rest as nobody,
// and the shell function `stopped PID`, which waits until a run started with
// NETVANE_TEST_STOP has stopped itself (or has ended). Nothing of the test
// machine's environment but `extra` reaches it; HOME is /nonexistent.
ToolRun runScript(const std::string& script, const std::map<std::string, std::string>& extra = {});
// Whether the tests run as root, which may run commands as another user.
bool runningAsRoot();

// The environment of a run against a store file.
std::map<std::string, std::string> storeEnvironment(const std::string& store);

// Runs against a store file, with the DHCP client's calls recorded to `record`.
ToolRun runWithStore(const std::string& store, const std::vector<std::string>& arguments,
                     const std::string& record = "",
                     const std::map<std::string, std::string>& extra = {});

// A Version 5.00 file as regedit writes it, UTF-16LE with a byte-order
// mark, from UTF-8 text (the fixture is kept in UTF-8 so it can be read).
std::string version5File(const std::string& utf8);

// Sections of keys no run reads, with values like a real export's, making
// about `size` bytes of 8-bit text with `lineEnd` line ends.
std::string fillerSections(size_t size, const std::string& lineEnd = "\r\n");

// Whether a store's bytes read in full, every line of every key, as a run
// that writes must read them; false with `error` set when not.
bool readsInFull(const std::string& bytes, std::string* error);

// The names in a directory, without . and ..
std::vector<std::string> directoryEntries(const std::string& path);

// The text of a string value read back from a store file (terminators cut),
// or "<missing>".
std::string storedText(const std::string& store, const std::string& key,
                       const std::string& name);
// A value read back as type and raw data.
bool storedValue(const std::string& store, const std::string& key, const std::string& name,
                 standin::StoreValue* value);

#endif
