// What a signal that would end a run (SIGINT, SIGTERM, SIGHUP) does while a
// disk is open: while the run only reads, the run ends at once and so does
// its qemu-nbd; while it writes, the signal waits until the writing is done.
#ifndef NETVANE_PLATFORM_STANDIN_IMAGE_RUN_SIGNALS_H
#define NETVANE_PLATFORM_STANDIN_IMAGE_RUN_SIGNALS_H

#include <signal.h>
#include <sys/types.h>

namespace standin {

// The qemu-nbd keeper that a signal ending the run must end first, through
// its lifeline; -1 for none. Installs the handlers on first use.
void watchKeeper(pid_t keeper, int lifeline);

// `handler` for each ending signal that the user has not ignored (nohup).
void catchEndingSignals(void (*handler)(int));

// A child's status can be waited for: a run started with SIGCHLD ignored
// would have its children reaped by the kernel, and waitpid fail.
void letChildrenBeWaitedFor();

// Holds the ending signals back while it lives; the mask it found is
// restored when it ends, and a held signal then ends the run.
class HoldSignals {
 public:
  HoldSignals();
  ~HoldSignals();
  HoldSignals(const HoldSignals&) = delete;
  HoldSignals& operator=(const HoldSignals&) = delete;

 private:
  sigset_t previous_;
};

}  // namespace standin

#endif
