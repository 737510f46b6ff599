// Start-up of the stand-in build: the registry store is opened and locked
// before the tool runs and committed after it, so that a run's changes land
// together or not at all.
#include <stdio.h>

#include <string>

#include "cli/cli.h"
#include "platform/standin/standin.h"

namespace {

// A POSIX exit status keeps 8 bits, so a message of 256 characters would read
// as success; longer messages report 255 instead.
int exitStatus(int32_t status) { return status > 255 ? 255 : status; }

}  // namespace

int main(int argc, char** argv) {
  // Neither a missing store nor a first run's new one stands in its way.
  if (isVersionRequest(argc, argv)) return netvaneMain(argc, argv);
  std::string error;
  if (!standin::beginRun(&error)) {
    // Like every message of the tool, the status is the length of the line.
    return exitStatus(printf("%s\n", error.c_str()));
  }
  int32_t status = netvaneMain(argc, argv);
  fflush(stdout);
  if (!standin::endRun(&error)) {
    int written = printf("%s\n", error.c_str());
    if (status == 0) status = written;
  }
  return exitStatus(status);
}
