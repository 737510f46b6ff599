// Start-up of the stand-in build: the registry store is opened and locked
// before the tool runs and committed after it, so that a run's changes land
// together or not at all.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "cli/cli.h"
#include "platform/platform.h"
#include "platform/standin/standin.h"

namespace {

// A POSIX exit status keeps 8 bits, so a message of 256 characters would read
// as success; longer messages report 255 instead.
int exitStatus(int32_t status) { return status > 255 ? 255 : status; }

// Started with standard output closed, the run would open its store or lock
// as descriptor 1 and print into it. A descriptor open for reading only takes
// the place, and writing to it fails as writing to a closed one does.
void holdStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      int held = open("/dev/null", O_RDONLY);
      if (held >= 0 && held != fd) close(held);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  holdStandardDescriptors();
  std::string error;
  int32_t status = 0;
  if (isVersionRequest(argc, argv)) {
    // Neither a missing store nor a first run's new one stands in its way.
    status = netvaneMain(argc, argv);
  } else {
    int32_t childStatus = 0;
    switch (standin::beginRun(!onlyReads(argc, argv), &childStatus, &error)) {
      case standin::RunStart::kFailed:
        // Like every message of the tool, the status is the length of the line.
        status = platformPrint("%s\n", error.c_str());
        break;
      case standin::RunStart::kSupervised:
        // The run's own process said everything.
        status = childStatus;
        break;
      case standin::RunStart::kReady:
        status = netvaneMain(argc, argv);
        // A store that cannot take the run's changes, or that changed under
        // the run, ends it whatever the tool answered.
        if (!standin::endRun(&error)) status = platformPrint("%s\n", error.c_str());
        break;
    }
  }
  return exitStatus(platformFinishOutput(status));
}
