// A run on a disk image goes on in a child process, which parses the
// image's bytes in the sandbox (sandbox.h); the process the user started
// stays behind, unsandboxed, to say so in one line if the child is ended by
// anything but what the user sent, and to end as the child ended.
#ifndef NETVANE_PLATFORM_STANDIN_IMAGE_RUN_SUPERVISOR_H
#define NETVANE_PLATFORM_STANDIN_IMAGE_RUN_SUPERVISOR_H

#include <stdint.h>

#include <string>

namespace standin {

enum class RunSide { child, supervisor };

// Splits the run. In the child: RunSide::child, and the run goes on there.
// In the supervisor, once the child has ended: RunSide::supervisor with
// `status` the child's exit status, or, for a child that a signal ended
// (other than one the user sent, which ends the supervisor the same way),
// `error` set to one line about the image `shown` ("Disk image X"). False
// with `error` when no child can be started.
bool splitRun(const std::string& shown, RunSide* side, int32_t* status, std::string* error);

// The line for a process that read the image `shown` and did not end well,
// with the status waitpid gave, or -1 when it could not be waited for.
std::string unsafeReadLine(const std::string& shown, int status);

}  // namespace standin

#endif
