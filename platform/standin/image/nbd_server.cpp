#include "platform/standin/image/nbd_server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "platform/standin/image/run_signals.h"

extern char** environ;

namespace standin {

namespace {

const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

// A listening socket in a directory only this user may enter, connected to
// at once, and its name removed before qemu-nbd starts: no other process
// can reach the server, and nothing is left in the file system.
bool privateSocket(int* listening, int* client, std::string* detail) {
  const char* tmp = getenv("TMPDIR");
  std::string directory = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/netvane-XXXXXX";
  if (mkdtemp(&directory[0]) == nullptr) {
    *detail = std::string("cannot make a socket for qemu-nbd: ") + strerror(errno);
    return false;
  }
  std::string path = directory + "/nbd";
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  bool ok = path.size() < sizeof address.sun_path;
  if (ok) memcpy(address.sun_path, path.c_str(), path.size() + 1);
  *listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  *client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const struct sockaddr* named = reinterpret_cast<const struct sockaddr*>(&address);
  ok = ok && *listening >= 0 && *client >= 0 && bind(*listening, named, sizeof address) == 0 &&
       listen(*listening, 1) == 0 && connect(*client, named, sizeof address) == 0;
  int cause = errno;
  unlink(path.c_str());
  rmdir(directory.c_str());
  if (!ok) {
    *detail = std::string("cannot make a socket for qemu-nbd: ") + strerror(cause);
    if (*listening >= 0) close(*listening);
    if (*client >= 0) close(*client);
  }
  return ok;
}

// Between fork and exec: only async-signal-safe calls from here on. Every
// descriptor but `kept` is closed, so that a process that outlives the run
// for a moment holds nothing of it: not the pipe a caller reads the run's
// output from, not its store.
void closeAllBut(int* kept, int count) {
  for (int i = 1; i < count; ++i) {
    for (int j = i; j > 0 && kept[j - 1] > kept[j]; --j) {
      int swapped = kept[j];
      kept[j] = kept[j - 1];
      kept[j - 1] = swapped;
    }
  }
  struct rlimit limit;
  unsigned last = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536 ? limit.rlim_cur : 65536;
  unsigned from = 0;
  for (int i = 0; i <= count; ++i) {
    unsigned to = i < count ? static_cast<unsigned>(kept[i]) : ~0u;
    if (i < count && kept[i] < 0) continue;
    // Kernels before 5.9 have no close_range.
    if (to > from && close_range(from, to - 1, 0) != 0) {
      for (unsigned fd = from; fd < to && fd < last; ++fd) close(static_cast<int>(fd));
    }
    if (i < count) from = to + 1;
  }
}

// qemu-nbd's own process: the listening socket becomes descriptor 3, as
// systemd's socket activation hands it over.
[[noreturn]] void startServer(pid_t keeper, int listening, int messages, int nothing, const char* program,
                              char* const* argv, std::vector<char*>& environment, char* listenPid) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != keeper) _exit(127);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  // Both are first moved clear of 0 to 3, which they may be.
  listening = fcntl(listening, F_DUPFD, 10);
  messages = fcntl(messages, F_DUPFD, 10);
  nothing = fcntl(nothing, F_DUPFD, 10);
  if (listening < 0 || messages < 0 || nothing < 0 || dup2(listening, 3) != 3 || dup2(nothing, 0) != 0 ||
      dup2(messages, 1) != 1 || dup2(messages, 2) != 2) {
    _exit(127);
  }
  int kept[] = {0, 1, 2, 3};
  closeAllBut(kept, 4);
  // LISTEN_PID is this process's own number.
  char digits[16];
  int count = 0;
  for (pid_t pid = getpid(); pid > 0 && count < 15; pid /= 10) digits[count++] = static_cast<char>('0' + pid % 10);
  char* out = listenPid + strlen("LISTEN_PID=");
  while (count > 0) *out++ = digits[--count];
  *out = '\0';
  execve(program, argv, environment.data());
  static const char kFailed[] = "qemu-nbd: cannot be started\n";
  ssize_t ignored = write(2, kFailed, sizeof kFailed - 1);
  (void)ignored;
  _exit(127);
}

void onChild(int) {}

// qemu-nbd ends when its client disconnects, but not when the client dies
// before the handshake ends, and it loses a SIGTERM that comes while it
// starts (it sets its state to running after installing the handler); and
// a SIGTERM that comes while it sends a reply can keep it closing for ever.
// So it runs under a keeper, a child of the run in a process group of its
// own, which a terminal's Ctrl-C does not reach. When the run's end of the
// lifeline closes, however the run ends, the keeper ends qemu-nbd: one
// that only reads is killed, having nothing to write out; one that writes
// is told to end, again and again until it has, so that it writes out its
// cache, and killed after half a minute. The keeper exits with qemu-nbd's
// status.
[[noreturn]] void keepServer(pid_t run, int lifeline, bool writable, int listening, int messages, int nothing,
                             const char* program, char* const* argv, std::vector<char*>& environment,
                             char* listenPid) {
  int kept[] = {lifeline, listening, messages, nothing};
  closeAllBut(kept, 4);
  setpgid(0, 0);
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = onChild;
  sigaction(SIGCHLD, &action, nullptr);
  action.sa_handler = SIG_IGN;
  for (int signal : kEndingSignals) sigaction(signal, &action, nullptr);
  sigset_t children;
  sigemptyset(&children);
  sigaddset(&children, SIGCHLD);
  sigprocmask(SIG_SETMASK, &children, nullptr);
  // The run may have died before this process could watch its lifeline.
  if (getppid() != run) _exit(127);
  pid_t self = getpid();
  pid_t server = fork();
  if (server == 0) startServer(self, listening, messages, nothing, program, argv, environment, listenPid);
  close(listening);
  if (server < 0) _exit(127);
  sigset_t none;
  sigemptyset(&none);
  int reminders = 0;
  for (;;) {
    int status = 0;
    if (waitpid(server, &status, WNOHANG) == server) {
      _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    struct pollfd watched = {lifeline, POLLIN, 0};
    struct timespec pause = {0, 100 * 1000 * 1000};
    int ready = ppoll(&watched, lifeline >= 0 ? 1 : 0, lifeline < 0 ? &pause : nullptr, &none);
    if (ready > 0 && lifeline >= 0) {
      close(lifeline);
      lifeline = -1;
    }
    if (lifeline < 0) kill(server, !writable || ++reminders > 300 ? SIGKILL : SIGTERM);
  }
}

std::string readAll(int fd) {
  std::string text;
  char buffer[4096];
  off_t at = 0;
  ssize_t n;
  while ((n = pread(fd, buffer, sizeof buffer, at)) > 0 && text.size() < 65536) {
    text.append(buffer, static_cast<size_t>(n));
    at += n;
  }
  return text;
}

}  // namespace

bool startNbdServer(const std::string& program, const std::vector<std::string>& arguments, bool writable,
                    NbdServer* server, int* client, std::string* detail) {
  std::vector<std::string> words = arguments;
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  std::vector<std::string> added = {"LISTEN_FDS=1", "LISTEN_PID=" + std::string(15, '0')};
  std::vector<char*> environment;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    if (strncmp(*variable, "LISTEN_", 7) != 0) environment.push_back(*variable);
  }
  for (std::string& variable : added) environment.push_back(&variable[0]);
  environment.push_back(nullptr);

  int listening = -1;
  if (!privateSocket(&listening, client, detail)) return false;
  server->messages = memfd_create("qemu-nbd-messages", MFD_CLOEXEC);
  int nothing = open("/dev/null", O_RDWR | O_CLOEXEC);
  int lifeline[2] = {-1, -1};
  if (server->messages < 0 || nothing < 0 || pipe2(lifeline, O_CLOEXEC) != 0) {
    *detail = std::string("cannot start qemu-nbd: ") + strerror(errno);
    close(listening);
    close(*client);
    if (nothing >= 0) close(nothing);
    return false;
  }
  letChildrenBeWaitedFor();
  pid_t run = getpid();
  server->keeper = fork();
  if (server->keeper == 0) {
    keepServer(run, lifeline[0], writable, listening, server->messages, nothing, program.c_str(), argv.data(),
               environment, &added[1][0]);
  }
  int forkError = errno;
  close(lifeline[0]);
  close(listening);
  close(nothing);
  server->lifeline = lifeline[1];
  if (server->keeper < 0) {
    close(*client);
    close(server->lifeline);
    server->lifeline = -1;
    *detail = std::string("cannot start qemu-nbd: ") + strerror(forkError);
    return false;
  }
  watchKeeper(server->keeper, server->lifeline);
  return true;
}

int endNbdServer(NbdServer* server, double seconds) {
  if (server->keeper <= 0) return -1;
  int status = 0;
  pid_t ended = 0;
  for (double waited = 0; waited < seconds && (ended = waitpid(server->keeper, &status, WNOHANG)) == 0;
       waited += 0.01) {
    struct timespec pause = {0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  watchKeeper(-1, -1);
  if (server->lifeline >= 0) close(server->lifeline);
  server->lifeline = -1;
  bool byItself = ended == server->keeper;
  if (ended == 0) {
    while ((ended = waitpid(server->keeper, &status, 0)) < 0 && errno == EINTR) {
    }
  }
  server->keeper = -1;
  if (ended < 0 || !(WIFEXITED(status))) return -1;
  // A keeper that had to end qemu-nbd reports what the kill made of it.
  return byItself || seconds == 0 ? WEXITSTATUS(status) : -1;
}

std::string nbdServerMessage(const NbdServer& server) {
  std::string text = server.messages >= 0 ? readAll(server.messages) : "";
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  while (start < text.size()) {
    std::string::size_type end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    // A warning (a deprecated option's, say) is not why it failed.
    if (line.compare(0, 10, "qemu-nbd: ") == 0 && line.compare(10, 9, "warning: ") != 0) {
      lines.push_back(line.substr(10));
    }
    start = end + 1;
  }
  if (lines.empty()) return "";
  std::string message = lines.back();
  // "Failed to blk_new_open 'IMAGE': why" names the image the caller names.
  std::string::size_type quoted = message.find("': ");
  if (message.compare(0, 15, "Failed to blk_n") == 0 && quoted != std::string::npos) {
    message = message.substr(quoted + 3);
  }
  return message;
}

}  // namespace standin
