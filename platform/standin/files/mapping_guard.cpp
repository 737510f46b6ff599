#include "platform/standin/files/mapping_guard.h"

#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <mutex>

namespace standin {

namespace {

// Which mappings are guarded, for the handler: a slot is filled before the
// mapping is read and emptied only once nothing reads it any more.
const int kGuardedMappings = 8;
struct GuardedRange {
  volatile uintptr_t start;
  volatile uintptr_t end;  // 0 for a free slot
};
GuardedRange guarded[kGuardedMappings];
// The hive store sets up its two hives on two threads, and each may claim a
// slot; the handler itself only reads them.
std::mutex claiming;
volatile sig_atomic_t shrank = 0;
uintptr_t pageSize = 4096;
struct sigaction previousBusAction;

// A file cut short under its mapping raises SIGBUS (BUS_ADRERR) for each
// page past its new end; the pages are replaced with zeros so that the
// reader runs on to where it checks mappedFileShrank(). mmap is not on
// POSIX's list of async-signal-safe calls, but on Linux it is a plain
// system call that takes no lock of the C library's.
void onBusError(int signal, siginfo_t* info, void* context) {
  (void)signal;
  (void)context;
  if (info->si_code == BUS_ADRERR) {
    uintptr_t page = reinterpret_cast<uintptr_t>(info->si_addr) & ~(pageSize - 1);
    uintptr_t end = page + pageSize;
    for (int i = 0; i < kGuardedMappings; ++i) {
      if (page >= guarded[i].start && page < guarded[i].end) end = guarded[i].end;
    }
    void* zeros = mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (zeros != MAP_FAILED) {
      shrank = 1;
      return;
    }
  }
  // Any other bus error is a fault of the program's own: the access is
  // made again under the handler there was before.
  sigaction(SIGBUS, &previousBusAction, nullptr);
}

}  // namespace

void installMappingGuard() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  pageSize = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = onBusError;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, &previousBusAction);
}

void guardMappedFile(const void* start, size_t size) {
  installMappingGuard();
  // Without a free slot the mapping's lost pages are replaced one by one.
  if (size == 0) return;
  std::lock_guard<std::mutex> hold(claiming);
  for (GuardedRange& range : guarded) {
    if (range.end != 0) continue;
    range.start = reinterpret_cast<uintptr_t>(start);
    range.end = reinterpret_cast<uintptr_t>(start) + size;
    return;
  }
}

void unguardMappedFile(const void* start) {
  std::lock_guard<std::mutex> hold(claiming);
  for (GuardedRange& range : guarded) {
    if (range.end != 0 && range.start == reinterpret_cast<uintptr_t>(start)) range.end = 0;
  }
}

bool mappedFileShrank() { return shrank != 0; }

}  // namespace standin
