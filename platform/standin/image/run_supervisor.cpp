#include "platform/standin/image/run_supervisor.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/standin/image/run_signals.h"
#include "platform/standin/image/sandbox.h"

namespace standin {

namespace {

volatile pid_t runningChild = -1;
volatile sig_atomic_t forwarded = 0;

// What the user sends the run goes to the child, which ends as it would
// have ended (held while it writes); the supervisor then ends the same way.
void forward(int signal) {
  forwarded = signal;
  if (runningChild > 0) kill(runningChild, signal);
}

}  // namespace

bool splitRun(const std::string& shown, RunSide* side, int32_t* status, std::string* error) {
  if (!sandboxed()) {
    *side = RunSide::child;
    return true;
  }
  // Nothing buffered goes out twice.
  fflush(nullptr);
  pid_t supervisor = getpid();
  sigset_t all, previous;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &previous);
  pid_t child = fork();
  if (child == 0) {
    // The child ends with the supervisor, however the supervisor ends.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (getppid() != supervisor) raise(SIGKILL);
    *side = RunSide::child;
    return true;
  }
  if (child < 0) {
    int cause = errno;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    *error = "Cannot start the process that reads " + shown + ": " + strerror(cause);
    return false;
  }
  runningChild = child;
  catchEndingSignals(forward);
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  int ended = 0;
  pid_t waited;
  while ((waited = waitpid(child, &ended, 0)) < 0 && errno == EINTR) {
  }
  *side = RunSide::supervisor;
  *status = 0;
  if (waited == child && WIFEXITED(ended)) {
    *status = WEXITSTATUS(ended);
    return true;
  }
  int signal = waited == child && WIFSIGNALED(ended) ? WTERMSIG(ended) : 0;
  if (signal != 0 && signal == forwarded) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigaction(signal, &action, nullptr);
    raise(signal);
  }
  *error = unsafeReadLine(shown, waited == child ? ended : -1);
  return true;
}

std::string unsafeReadLine(const std::string& shown, int status) {
  std::string how = status == -1            ? "could not be waited for"
                    : WIFSIGNALED(status)   ? std::string("ended with ") + strsignal(WTERMSIG(status))
                                            : "failed";
  return shown + " could not be read safely: the process reading it " + how + "; nothing more was written";
}

}  // namespace standin
