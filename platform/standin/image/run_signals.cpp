#include "platform/standin/image/run_signals.h"

#include <errno.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

namespace standin {

namespace {

const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile pid_t runningKeeper = -1;
volatile int runningLifeline = -1;

// The keeper kills a qemu-nbd that only reads at once, and tells one that
// writes to end; either way the run waits for it, so that no qemu-nbd
// outlives the run, then ends as the signal asked.
void onEndingSignal(int signal) {
  if (runningLifeline >= 0) close(runningLifeline);
  if (runningKeeper > 0) {
    while (waitpid(runningKeeper, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigaction(signal, &action, nullptr);
  raise(signal);
}

sigset_t endingSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kEndingSignals) sigaddset(&set, signal);
  return set;
}

}  // namespace

void watchKeeper(pid_t keeper, int lifeline) {
  static bool installed = false;
  runningKeeper = keeper;
  runningLifeline = lifeline;
  if (installed || keeper < 0) return;
  installed = true;
  catchEndingSignals(onEndingSignal);
}

void catchEndingSignals(void (*handler)(int)) {
  for (int signal : kEndingSignals) {
    struct sigaction previous;
    // A signal the user had ignored (nohup) stays ignored.
    if (sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
}

void letChildrenBeWaitedFor() {
  struct sigaction current;
  if (sigaction(SIGCHLD, nullptr, &current) == 0 && (current.sa_handler == SIG_IGN || (current.sa_flags & SA_NOCLDWAIT))) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(SIGCHLD, &action, nullptr);
  }
}

HoldSignals::HoldSignals() {
  sigset_t held = endingSignals();
  sigprocmask(SIG_BLOCK, &held, &previous_);
}

HoldSignals::~HoldSignals() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

}  // namespace standin
