#include "platform/standin/image/sandbox.h"

#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <linux/sched.h>
#include <seccomp.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <termios.h>
#include <ucontext.h>
#include <unistd.h>

namespace standin {

namespace {

#if defined(__SANITIZE_ADDRESS__)
const bool kFilterCalls = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
const bool kFilterCalls = false;
#else
const bool kFilterCalls = true;
#endif
#else
const bool kFilterCalls = true;
#endif

// More than the largest hives Windows allows (1.5 GB SYSTEM, 2 GB SOFTWARE)
// take as memory files, brought up to date, in hivex and written anew.
const rlim_t kMemoryLimit = rlim_t(16) << 30;

// "/proc/self/fd/N" for a descriptor N, or -1.
int selfDescriptor(const char* path) {
  static const char kPrefix[] = "/proc/self/fd/";
  if (path == nullptr || strncmp(path, kPrefix, sizeof kPrefix - 1) != 0) return -1;
  const char* digits = path + sizeof kPrefix - 1;
  if (*digits < '0' || *digits > '9') return -1;
  long fd = 0;
  for (; *digits >= '0' && *digits <= '9'; ++digits) {
    fd = fd * 10 + (*digits - '0');
    if (fd > 1 << 20) return -1;
  }
  return *digits == '\0' ? static_cast<int>(fd) : -1;
}

// A trapped open or openat (SCMP_ACT_TRAP). Only async-signal-safe calls,
// each of them one the filter allows.
void onTrappedCall(int, siginfo_t* info, void* context) {
  ucontext_t* state = static_cast<ucontext_t*>(context);
  const char* path = nullptr;
  long flags = 0;
#if defined(__x86_64__)
  greg_t* registers = state->uc_mcontext.gregs;
  if (info->si_syscall == SYS_openat) {
    path = reinterpret_cast<const char*>(registers[REG_RSI]);
    flags = registers[REG_RDX];
  } else if (info->si_syscall == SYS_open) {
    path = reinterpret_cast<const char*>(registers[REG_RDI]);
    flags = registers[REG_RSI];
  }
#elif defined(__aarch64__)
  unsigned long long* registers = state->uc_mcontext.regs;
  if (info->si_syscall == SYS_openat) {
    path = reinterpret_cast<const char*>(registers[1]);
    flags = static_cast<long>(registers[2]);
  }
#endif
  int held = selfDescriptor(path);
  long result = -1;
  if (held >= 0) {
    result = syscall(SYS_fcntl, held, F_DUPFD_CLOEXEC, 0);
    // The new descriptor shares its offset with the one held: it starts at
    // the beginning, as a file opened anew does.
    if (result >= 0 && (flags & O_TRUNC) != 0 && syscall(SYS_ftruncate, result, 0) != 0) result = -1;
    if (result >= 0) syscall(SYS_lseek, result, 0, SEEK_SET);
  }
  if (result < 0) {
    // Anything else it would open ends it.
    struct sigaction fatal;
    memset(&fatal, 0, sizeof fatal);
    fatal.sa_handler = SIG_DFL;
    sigaction(SIGSYS, &fatal, nullptr);
    syscall(SYS_tgkill, getpid(), syscall(SYS_gettid), SIGSYS);
    return;
  }
#if defined(__x86_64__)
  registers[REG_RAX] = result;
#elif defined(__aarch64__)
  registers[0] = static_cast<unsigned long long>(result);
#endif
}

// The calls the parsing and the writing make, and nothing that reaches past
// the process: no open but of its own descriptors (trapped, above), no exec,
// no new socket, no signal but to itself.
bool installFilter(std::string* detail) {
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_KILL_PROCESS);
  if (filter == nullptr) {
    *detail = "seccomp cannot be set up";
    return false;
  }
  static const int kAllowed[] = {
      SCMP_SYS(read), SCMP_SYS(write), SCMP_SYS(pread64), SCMP_SYS(pwrite64), SCMP_SYS(readv), SCMP_SYS(writev),
      SCMP_SYS(preadv), SCMP_SYS(pwritev), SCMP_SYS(lseek), SCMP_SYS(close), SCMP_SYS(fstat), SCMP_SYS(dup),
      SCMP_SYS(dup3), SCMP_SYS(mmap), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(mprotect), SCMP_SYS(madvise),
      SCMP_SYS(brk), SCMP_SYS(memfd_create), SCMP_SYS(ftruncate), SCMP_SYS(fsync), SCMP_SYS(fdatasync),
      SCMP_SYS(poll), SCMP_SYS(ppoll), SCMP_SYS(recvfrom), SCMP_SYS(recvmsg), SCMP_SYS(sendto),
      SCMP_SYS(sendmsg), SCMP_SYS(shutdown), SCMP_SYS(getpid), SCMP_SYS(gettid), SCMP_SYS(getppid),
      SCMP_SYS(clock_gettime), SCMP_SYS(clock_nanosleep), SCMP_SYS(nanosleep), SCMP_SYS(futex),
      SCMP_SYS(set_robust_list), SCMP_SYS(rseq), SCMP_SYS(rt_sigaction), SCMP_SYS(rt_sigprocmask),
      SCMP_SYS(rt_sigreturn), SCMP_SYS(sigaltstack), SCMP_SYS(exit), SCMP_SYS(exit_group), SCMP_SYS(wait4),
      SCMP_SYS(getrandom), SCMP_SYS(sched_yield), SCMP_SYS(sched_getaffinity), SCMP_SYS(prlimit64),
      SCMP_SYS(getrlimit), SCMP_SYS(restart_syscall), SCMP_SYS(sendfile), SCMP_SYS(copy_file_range),
      SCMP_SYS(fallocate),
  };
  bool ok = true;
  for (int call : kAllowed) ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) == 0;
  // fstat() is fstatat(fd, "", ..., AT_EMPTY_PATH) to glibc: a descriptor
  // the process holds, never a name.
  ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(newfstatat), 1,
                              SCMP_A3(SCMP_CMP_MASKED_EQ, AT_EMPTY_PATH, AT_EMPTY_PATH)) == 0;
  ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(statx), 1,
                              SCMP_A2(SCMP_CMP_MASKED_EQ, AT_EMPTY_PATH, AT_EMPTY_PATH)) == 0;
  static const int kDescriptorCommands[] = {F_GETFD, F_SETFD, F_GETFL, F_SETFL, F_DUPFD, F_DUPFD_CLOEXEC};
  for (int command : kDescriptorCommands) {
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(fcntl), 1,
                                SCMP_A1(SCMP_CMP_EQ, static_cast<scmp_datum_t>(command), 0)) == 0;
  }
  // stdio asks whether standard output is a terminal.
  ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(ioctl), 1,
                              SCMP_A1(SCMP_CMP_EQ, static_cast<scmp_datum_t>(TCGETS), 0)) == 0;
  // Threads, and no other process: glibc's pthread_create falls back from
  // clone3, whose flags a filter cannot read, to clone.
  ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(clone), 1,
                              SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD)) == 0;
  ok = ok && seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) == 0;
  // A signal to itself: raise(), abort(), a test's stop.
  scmp_datum_t self = static_cast<scmp_datum_t>(getpid());
  ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(tgkill), 1, SCMP_A0(SCMP_CMP_EQ, self, 0)) == 0;
  ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(kill), 1, SCMP_A0(SCMP_CMP_EQ, self, 0)) == 0;
  ok = ok && seccomp_rule_add(filter, SCMP_ACT_TRAP, SCMP_SYS(openat), 0) == 0;
#if defined(__x86_64__)
  ok = ok && seccomp_rule_add(filter, SCMP_ACT_TRAP, SCMP_SYS(open), 0) == 0;
#endif
  ok = ok && seccomp_attr_set(filter, SCMP_FLTATR_CTL_NNP, 1) == 0 && seccomp_load(filter) == 0;
  seccomp_release(filter);
  if (!ok) *detail = std::string("seccomp cannot be set up: ") + strerror(errno);
  return ok;
}

// What the libraries would open on first use: glibc's conversion modules
// and their cache, which hivex's iconv loads. The converters stay open, so
// that glibc keeps the modules loaded for the rest of the process.
const char* const kConversions[][2] = {{"UTF-8", "UTF-16LE"}, {"UTF-16LE", "UTF-8"}, {"UTF-8", "LATIN1"}};
iconv_t keptConverters[sizeof kConversions / sizeof kConversions[0]];

void openWhatIsNeededFirst() {
  for (size_t i = 0; i < sizeof kConversions / sizeof kConversions[0]; ++i) {
    if (keptConverters[i] == nullptr) keptConverters[i] = iconv_open(kConversions[i][0], kConversions[i][1]);
  }
}

// Tests make the sandboxed process try what it must not do, and expect the
// run to end with the line for an image that could not be read safely.
void tryToEscapeForTest(const char* role) {
  const char* named = getenv("NETVANE_TEST_ESCAPE");
  size_t length = strlen(role);
  if (named == nullptr || strncmp(named, role, length) != 0 || named[length] != ':') return;
  const char* escape = named + length + 1;
  if (strcmp(escape, "open") == 0) {
    int fd = open("/etc/hostname", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) close(fd);
  } else if (strcmp(escape, "exec") == 0) {
    char* const argv[] = {const_cast<char*>("true"), nullptr};
    execv("/bin/true", argv);
  } else if (strcmp(escape, "socket") == 0) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd >= 0) close(fd);
  } else if (strcmp(escape, "signal") == 0) {
    kill(getppid(), 0);
  }
}

}  // namespace

bool sandboxed() {
#if defined(NETVANE_WITHOUT_SANDBOX)
  return false;
#else
  return true;
#endif
}

bool enterSandbox(const char* role, std::string* detail) {
  if (!sandboxed()) return true;
  // The probe reads a few headers, and converts no text.
  if (strcmp(role, "probe") != 0) openWhatIsNeededFirst();
  struct rlimit none = {0, 0};
  bool ok = setrlimit(RLIMIT_CORE, &none) == 0 && prctl(PR_SET_DUMPABLE, 0) == 0 &&
            prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
  if (ok && kFilterCalls) {
    // AddressSanitizer reserves terabytes of address space for its shadow.
    struct rlimit memory = {kMemoryLimit, kMemoryLimit};
    ok = setrlimit(RLIMIT_AS, &memory) == 0;
  }
  if (!ok) {
    *detail = std::string("the sandbox cannot be set up: ") + strerror(errno);
    return false;
  }
  if (kFilterCalls) {
    struct sigaction trap;
    memset(&trap, 0, sizeof trap);
    trap.sa_sigaction = onTrappedCall;
    trap.sa_flags = SA_SIGINFO;
    sigemptyset(&trap.sa_mask);
    if (sigaction(SIGSYS, &trap, nullptr) != 0 || !installFilter(detail)) return false;
  }
  tryToEscapeForTest(role);
  return true;
}

}  // namespace standin
