// The run's start-up: which store it uses, a new user's first store, and
// opening it.
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "platform/standin/files/store_file.h"
#include "platform/standin/registry_store.h"
#include "platform/standin/standin.h"
#include "platform/standin/standin_hooks.h"

namespace standin {

bool defaultStorePath(std::string* path, std::string* error) {
  const char* state = getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') {
    *path = std::string(state) + "/netvane/registry.reg";
    return true;
  }
  // cron and `env -i` run without HOME; the user's home is still the
  // password database's, and never the root of the file system.
  std::string home;
  const char* named = getenv("HOME");
  if (named != nullptr && named[0] == '/') {
    home = named;
  } else if (struct passwd* user = getpwuid(geteuid())) {
    if (user->pw_dir != nullptr && user->pw_dir[0] == '/') home = user->pw_dir;
  }
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (home.empty()) {
    *error = "No registry store: HOME is not set and user " + std::to_string(geteuid()) +
             " has no home directory; name a store with NETVANE_REGISTRY";
    return false;
  }
  *path = (home == "/" ? "" : home) + "/.local/state/netvane/registry.reg";
  return true;
}

namespace {

bool makeDirectories(const std::string& directory, std::string* error) {
  for (std::string::size_type slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
    std::string prefix = directory.substr(0, slash);
    if (!prefix.empty() && mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
      *error = "Cannot create the directory " + prefix + " for the registry store: " + strerror(errno);
      return false;
    }
    if (slash == std::string::npos) return true;
  }
}

// A new user's first run lists the sample machine's adapters instead of
// failing. Anything at all at the path, even a link to nowhere (a share
// that is not mounted, say), is the user's, and is never replaced.
bool createDefaultStore(const std::string& path, std::string* error) {
  struct stat existing;
  if (lstat(path.c_str(), &existing) == 0) return true;
  if (!makeDirectories(path.substr(0, path.rfind('/')), error)) return false;
  bool created = false;
  if (!createRegFile(path, sampleMachine(), &created, error)) return false;
  // Said once, so that a new user knows which file the run reads and changes.
  if (created) fprintf(stderr, "netvane: created registry store %s from the sample machine\n", path.c_str());
  return true;
}

// A directory is a mounted Windows installation, whose own hives are the
// store; a disk image or a block device holds one. Null with `supervised`
// set (not -1) when the run went on in a child process, which has ended.
std::unique_ptr<RegistryStore> openStore(const std::string& path, bool forChange, int32_t* supervised,
                                         std::string* error) {
  struct stat info;
  bool exists = stat(path.c_str(), &info) == 0;
  if (exists && S_ISDIR(info.st_mode)) return openHiveStore(path, forChange, error);
  if (exists && (S_ISBLK(info.st_mode) || S_ISREG(info.st_mode))) {
    bool image = false;
    std::unique_ptr<RegistryStore> store =
        openDiskImageStore(path, S_ISBLK(info.st_mode), forChange, &image, supervised, error);
    if (image) return store;
    if (!error->empty()) return nullptr;
  }
  return openRegFileStore(path, error);
}

}  // namespace

// Once: a store opened anew during the run passes the same moments again.
void stopForTest(const char* moment) {
  static bool stopped = false;
  const char* stop = getenv("NETVANE_TEST_STOP");
  if (stopped || stop == nullptr || strcmp(stop, moment) != 0) return;
  stopped = true;
  raise(SIGSTOP);
}

RunStart beginRun(bool forChange, int32_t* childStatus, std::string* error) {
  openDhcpRecord();
  double lockWait;
  if (!readLockWait(&lockWait, error)) return RunStart::kFailed;
  const char* named = getenv("NETVANE_REGISTRY");
  std::string path;
  if (named != nullptr && named[0] != '\0') {
    path = named;
  } else if (!defaultStorePath(&path, error) || !createDefaultStore(path, error)) {
    return RunStart::kFailed;
  }
  int32_t supervised = -1;
  std::unique_ptr<RegistryStore> store = openStore(path, forChange, &supervised, error);
  if (!store && supervised >= 0 && error->empty()) {
    *childStatus = supervised;
    return RunStart::kSupervised;
  }
  if (!store) return RunStart::kFailed;
  // Only a store read in this process is opened anew in it: an image's run
  // reads nothing but in its own child.
  setRunStore(std::move(store), false, [path, forChange](std::string* reopenError) {
    int32_t ignored = -1;
    return openStore(path, forChange, &ignored, reopenError);
  });
  stopForTest("opened");
  return RunStart::kReady;
}

}  // namespace standin
