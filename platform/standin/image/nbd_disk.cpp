#include "platform/standin/image/nbd_disk.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <libnbd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <vector>

extern char** environ;

namespace standin {

namespace {

// libnbd is loaded when a disk is first opened, not when netvane starts:
// it brings GnuTLS, libxml2 and ICU, whose loading and set-up cost every
// run, a .reg store's too, about 10 ms. These pointers, named as libnbd's
// functions, are what the calls below reach.
#define NETVANE_LIBNBD_FUNCTIONS(use)                                                                        \
  use(nbd_create) use(nbd_get_strict_mode) use(nbd_set_strict_mode) use(nbd_connect_socket) use(nbd_get_size) \
      use(nbd_is_read_only) use(nbd_get_error) use(nbd_aio_pread) use(nbd_aio_pwrite)                          \
          use(nbd_aio_command_completed) use(nbd_poll) use(nbd_aio_in_flight) use(nbd_flush)                   \
              use(nbd_aio_is_ready) use(nbd_shutdown) use(nbd_close)
#define NETVANE_DECLARE(name) decltype(&::name) name = nullptr;
NETVANE_LIBNBD_FUNCTIONS(NETVANE_DECLARE)
#undef NETVANE_DECLARE

bool loadLibnbd(std::string* detail) {
  static void* library = nullptr;
  if (library != nullptr) return true;
  void* loaded = dlopen("libnbd.so.0", RTLD_NOW | RTLD_LOCAL);
  bool ok = loaded != nullptr;
#define NETVANE_RESOLVE(name) \
  if (ok) ok = (name = reinterpret_cast<decltype(&::name)>(dlsym(loaded, #name))) != nullptr;
  NETVANE_LIBNBD_FUNCTIONS(NETVANE_RESOLVE)
#undef NETVANE_RESOLVE
  if (!ok) {
    const char* why = dlerror();
    *detail = std::string("libnbd cannot be loaded (install the package libnbd0): ") + (why != nullptr ? why : "");
    return false;
  }
  library = loaded;
  return true;
}

// qemu-nbd refuses requests over 32 MiB. A few smaller ones in flight let
// it read the next while this process takes in the last: a quarter faster
// than one request after another, measured on a qcow2 image.
const size_t kRequest = 4 << 20;
const size_t kRequestsInFlight = 4;

const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The keeper of the qemu-nbd that serves the disk, and the pipe that keeps
// it waiting, for the signal handlers.
volatile pid_t runningKeeper = -1;
volatile int runningLifeline = -1;

void waitFor(pid_t process, int* status) {
  while (waitpid(process, status, 0) < 0 && errno == EINTR) {
  }
}

// Such a signal reaches a run only while it reads (HoldSignals keeps it
// from one that writes), so the keeper kills qemu-nbd at once. The run
// then ends as the signal asked.
void onEndingSignal(int signal) {
  if (runningLifeline >= 0) close(runningLifeline);
  if (runningKeeper > 0) waitFor(runningKeeper, nullptr);
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigaction(signal, &action, nullptr);
  raise(signal);
}

void handleEndingSignals() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (int signal : kEndingSignals) {
    struct sigaction previous;
    // A signal the user had ignored (nohup) stays ignored.
    if (sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = onEndingSignal;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
}

std::string findProgram(const char* name) {
  const char* path = getenv("PATH");
  std::string directories = path != nullptr && path[0] != '\0' ? path : "/usr/local/bin:/usr/bin:/bin";
  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type colon = directories.find(':', start);
    std::string directory = directories.substr(start, colon - start);
    std::string candidate = (directory.empty() ? "." : directory) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string::npos) return "";
    start = colon + 1;
  }
}

// qemu's key=value options, where a comma is written twice.
std::string optionValue(const std::string& value) {
  std::string escaped;
  for (char c : value) {
    escaped += c;
    if (c == ',') escaped += ',';
  }
  return escaped;
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

// qemu-nbd's last message, without its program name, on one line, e.g.
// "Image is not in qcow2 format".
std::string lastMessage(const std::string& text) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  while (start < text.size()) {
    std::string::size_type end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (line.compare(0, 10, "qemu-nbd: ") == 0) lines.push_back(line.substr(10));
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

DiskFailure classify(const std::string& text, bool writable) {
  // qemu's own words (block/file-posix.c): "Failed to get "write" lock",
  // "Failed to get shared "write" lock", then "Is another process using the image".
  if (text.find("Is another process using the image") != std::string::npos ||
      (text.find("Failed to get") != std::string::npos && text.find("lock") != std::string::npos)) {
    return DiskFailure::inUse;
  }
  if (writable && (text.find("Permission denied") != std::string::npos ||
                   text.find("Read-only file system") != std::string::npos ||
                   text.find("read-only") != std::string::npos || text.find("Read-only") != std::string::npos)) {
    return DiskFailure::readOnly;
  }
  return DiskFailure::other;
}

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

// The child's side, between fork and exec: only async-signal-safe calls.
// `image`, when not -1, becomes descriptor 4, which qemu-nbd opens.
[[noreturn]] void startServer(pid_t keeper, int listening, int image, int messages, int nothing,
                              const char* program, char* const* argv, std::vector<char*>& environment,
                              char* listenPid) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != keeper) _exit(127);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  // systemd's socket activation: the listening socket is descriptor 3.
  // Both are first moved clear of 3 and 4, which they may be.
  listening = fcntl(listening, F_DUPFD_CLOEXEC, 10);
  if (image >= 0) image = fcntl(image, F_DUPFD_CLOEXEC, 10);
  if (listening < 0 || dup2(listening, 3) != 3 || (image >= 0 && dup2(image, 4) != 4)) _exit(127);
  dup2(nothing, 0);
  dup2(messages, 1);
  dup2(messages, 2);
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
// status. Between fork and exec: only async-signal-safe calls.
[[noreturn]] void keepServer(pid_t parent, int lifeline, bool writable, int client, int listening, int image,
                             int messages, int nothing, const char* program, char* const* argv,
                             std::vector<char*>& environment, char* listenPid) {
  // The run's socket to qemu-nbd stays the run's alone, or qemu-nbd would
  // not see it close.
  close(client);
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
  if (getppid() != parent) _exit(127);
  pid_t server = fork();
  if (server == 0) {
    startServer(getppid(), listening, image, messages, nothing, program, argv, environment, listenPid);
  }
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

}  // namespace

NbdDisk::~NbdDisk() {
  close(nullptr);
  if (messages_ >= 0) ::close(messages_);
  if (direct_ >= 0) ::close(direct_);
}

bool NbdDisk::open(const std::string& path, const char* format, bool device, bool writable, bool forceShare,
                   DiskFailure* failure, std::string* detail) {
  *failure = DiskFailure::other;
  writable_ = writable;
  // What a refused attempt left, before another one.
  for (int* fd : {&messages_, &direct_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  if (!loadLibnbd(detail)) return false;
  std::string program = findProgram("qemu-nbd");
  if (program.empty()) {
    *failure = DiskFailure::noQemuNbd;
    *detail = "qemu-nbd was not found (install the package qemu-utils)";
    return false;
  }
  // A raw image or a device is read and written here, directly: qemu-nbd
  // only holds qemu's lock on it, through the same file, which it opens as
  // /dev/fd/4. No other format has a backing file named relative to it.
  if (strcmp(format, "raw") == 0) {
    direct_ = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (direct_ < 0) {
      *failure = writable && (errno == EACCES || errno == EROFS || errno == EPERM) ? DiskFailure::readOnly
                                                                                   : DiskFailure::other;
      *detail = strerror(errno);
      return false;
    }
  }
  // The image is named by options, never by a file name that qemu would
  // parse: a name like "json:{...}" or "nbd:host" is a protocol to qemu.
  // qemu-nbd has no --force-share of its own; the block layer's option
  // does the same, and only beside --read-only.
  std::string image = std::string("driver=") + format + (forceShare ? ",force-share=on" : "") +
                      ",file.driver=" + (device ? "host_device" : "file") +
                      ",file.filename=" + (direct_ >= 0 ? std::string("/dev/fd/4") : optionValue(path));
  std::vector<std::string> arguments = {"qemu-nbd", "--image-opts", "--cache=writeback"};
  if (writable) arguments.push_back("--discard=unmap");
  if (!writable) arguments.push_back("--read-only");
  arguments.push_back(image);
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  std::vector<std::string> added = {"LISTEN_FDS=1", "LISTEN_PID=" + std::string(15, '0')};
  std::vector<char*> environment;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    if (strncmp(*variable, "LISTEN_", 7) != 0) environment.push_back(*variable);
  }
  for (std::string& variable : added) environment.push_back(&variable[0]);
  environment.push_back(nullptr);

  int listening = -1, client = -1;
  if (!privateSocket(&listening, &client, detail)) return false;
  messages_ = memfd_create("qemu-nbd-messages", MFD_CLOEXEC);
  int nothing = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (messages_ < 0 || nothing < 0) {
    *detail = std::string("cannot start qemu-nbd: ") + strerror(errno);
    ::close(listening);
    ::close(client);
    if (nothing >= 0) ::close(nothing);
    return false;
  }
  int lifeline[2];
  if (pipe2(lifeline, O_CLOEXEC) != 0) {
    *detail = std::string("cannot start qemu-nbd: ") + strerror(errno);
    ::close(listening);
    ::close(client);
    ::close(nothing);
    return false;
  }
  handleEndingSignals();
  pid_t parent = getpid();
  server_ = fork();
  if (server_ == 0) {
    ::close(lifeline[1]);
    keepServer(parent, lifeline[0], writable, client, listening, direct_, messages_, nothing, program.c_str(),
               argv.data(), environment, &added[1][0]);
  }
  int forkError = errno;
  ::close(lifeline[0]);
  ::close(listening);
  ::close(nothing);
  lifeline_ = lifeline[1];
  if (server_ < 0) {
    ::close(client);
    ::close(lifeline_);
    lifeline_ = -1;
    *detail = std::string("cannot start qemu-nbd: ") + strerror(forkError);
    return false;
  }
  runningKeeper = server_;
  runningLifeline = lifeline_;
  handle_ = nbd_create();
  bool ok = handle_ != nullptr;
  // libntfs-3g reads bitmaps in pieces of any size, which qemu-nbd serves
  // but libnbd's strict mode would refuse as unaligned.
  ok = ok && nbd_set_strict_mode(handle_, nbd_get_strict_mode(handle_) & ~LIBNBD_STRICT_ALIGN) == 0;
  // The handle owns the socket from here on, connected or not.
  ok = ok && nbd_connect_socket(handle_, client) == 0;
  if (handle_ == nullptr) ::close(client);
  int64_t size = ok ? nbd_get_size(handle_) : -1;
  if (ok && size < 0) ok = false;
  if (ok && writable && nbd_is_read_only(handle_) == 1) {
    *failure = DiskFailure::readOnly;
    *detail = "qemu-nbd serves it read-only";
    close(nullptr);
    return false;
  }
  if (!ok) {
    std::string libnbdError = nbd_get_error() != nullptr ? nbd_get_error() : "";
    // A server that refused the image has ended already; one that did not
    // finish the handshake is ended by its keeper.
    if (handle_ != nullptr) nbd_close(handle_);
    handle_ = nullptr;
    endKeeper(nullptr);
    std::string text = readAll(messages_);
    *failure = classify(text, writable);
    *detail = lastMessage(text);
    if (detail->empty()) detail->assign(libnbdError.empty() ? "qemu-nbd did not serve it" : libnbdError);
    return false;
  }
  size_ = static_cast<uint64_t>(size);
  *failure = DiskFailure::none;
  return true;
}

namespace {

bool directly(bool reading, int fd, uint64_t offset, uint8_t* bytes, size_t count) {
  for (size_t done = 0; done < count;) {
    ssize_t n = reading ? pread(fd, bytes + done, count - done, static_cast<off_t>(offset + done))
                        : pwrite(fd, bytes + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool NbdDisk::transfer(bool reading, uint64_t offset, uint8_t* bytes, size_t count) {
  if (offset > size_ || count > size_ - offset) {
    errno = EIO;
    return false;
  }
  if (direct_ >= 0) return directly(reading, direct_, offset, bytes, count);
  std::vector<int64_t> pending;
  size_t issued = 0;
  bool ok = true;
  while (ok && (issued < count || !pending.empty())) {
    while (issued < count && pending.size() < kRequestsInFlight) {
      size_t piece = count - issued < kRequest ? count - issued : kRequest;
      int64_t cookie = reading ? nbd_aio_pread(handle_, bytes + issued, piece, offset + issued, NBD_NULL_COMPLETION, 0)
                               : nbd_aio_pwrite(handle_, bytes + issued, piece, offset + issued,
                                                NBD_NULL_COMPLETION, 0);
      if (cookie < 0) {
        ok = false;
        break;
      }
      pending.push_back(cookie);
      issued += piece;
    }
    if (!ok || pending.empty()) break;
    int done = nbd_aio_command_completed(handle_, pending.front());
    if (done == 0) {
      ok = nbd_poll(handle_, -1) >= 0;
    } else {
      ok = done > 0;
      pending.erase(pending.begin());
    }
  }
  // No request may still fill the buffer once this returns.
  while (!ok && nbd_aio_in_flight(handle_) > 0 && nbd_poll(handle_, -1) >= 0) {
  }
  if (!ok) errno = EIO;
  return ok;
}

// libntfs-3g reads metadata a record or a block at a time: a hundred
// requests to mount a volume and find a file, each a round trip through
// qemu-nbd that costs milliseconds on a busy machine. Small reads are
// served from whole chunks read once and kept; large ones (a hive's data)
// go straight through. Writes go through and update what is kept.
const uint64_t kChunk = 256 << 10;
const size_t kChunksKept = 32;
const size_t kSmallRead = 64 << 10;

bool NbdDisk::read(uint64_t offset, void* buffer, size_t count) {
  uint8_t* bytes = static_cast<uint8_t*>(buffer);
  if (direct_ >= 0 || count > kSmallRead || offset > size_ || count > size_ - offset) {
    return transfer(true, offset, bytes, count);
  }
  while (count > 0) {
    uint64_t index = offset / kChunk;
    std::map<uint64_t, Chunk>::iterator chunk = chunks_.find(index);
    if (chunk == chunks_.end()) {
      if (chunks_.size() >= kChunksKept) {
        std::map<uint64_t, Chunk>::iterator oldest = chunks_.begin();
        for (std::map<uint64_t, Chunk>::iterator it = chunks_.begin(); it != chunks_.end(); ++it) {
          if (it->second.used < oldest->second.used) oldest = it;
        }
        chunks_.erase(oldest);
      }
      uint64_t start = index * kChunk;
      std::vector<uint8_t> data(static_cast<size_t>(size_ - start < kChunk ? size_ - start : kChunk));
      if (!transfer(true, start, data.data(), data.size())) return false;
      chunk = chunks_.insert({index, Chunk{std::move(data), 0}}).first;
    }
    chunk->second.used = ++uses_;
    size_t at = static_cast<size_t>(offset - index * kChunk);
    size_t piece = count < chunk->second.data.size() - at ? count : chunk->second.data.size() - at;
    memcpy(bytes, chunk->second.data.data() + at, piece);
    bytes += piece;
    offset += piece;
    count -= piece;
  }
  return true;
}

bool NbdDisk::write(const std::vector<Piece>& pieces) {
  // qemu-nbd may carry out requests in flight in any order, so pieces that
  // overlap go one after another, in the order given.
  bool overlap = false;
  for (size_t i = 0; i < pieces.size() && !overlap; ++i) {
    for (size_t j = i + 1; j < pieces.size() && !overlap; ++j) {
      overlap = pieces[i].offset < pieces[j].offset + pieces[j].size &&
                pieces[j].offset < pieces[i].offset + pieces[i].size;
    }
  }
  if (direct_ >= 0 || overlap) {
    for (const Piece& piece : pieces) {
      if (!write(piece.offset, piece.bytes, piece.size)) return false;
    }
    return true;
  }
  // All in flight at once, so that they reach qemu-nbd together.
  std::vector<int64_t> cookies;
  bool ok = true;
  for (const Piece& piece : pieces) {
    ok = ok && piece.offset <= size_ && piece.size <= size_ - piece.offset && piece.size <= kRequest;
    int64_t cookie = ok ? nbd_aio_pwrite(handle_, piece.bytes, piece.size, piece.offset, NBD_NULL_COMPLETION, 0) : -1;
    ok = cookie >= 0;
    if (ok) cookies.push_back(cookie);
  }
  for (int64_t cookie : cookies) {
    int done;
    while ((done = nbd_aio_command_completed(handle_, cookie)) == 0 && nbd_poll(handle_, -1) >= 0) {
    }
    ok = ok && done > 0;
  }
  for (const Piece& piece : pieces) keep(piece.offset, static_cast<const uint8_t*>(piece.bytes), piece.size);
  if (!ok) errno = EIO;
  return ok;
}

bool NbdDisk::write(uint64_t offset, const void* buffer, size_t count) {
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
  if (!transfer(false, offset, const_cast<uint8_t*>(bytes), count)) return false;
  keep(offset, bytes, count);
  return true;
}

void NbdDisk::keep(uint64_t offset, const uint8_t* bytes, size_t count) {
  for (std::map<uint64_t, Chunk>::value_type& chunk : chunks_) {
    uint64_t start = chunk.first * kChunk, end = start + chunk.second.data.size();
    if (offset >= end || offset + count <= start) continue;
    uint64_t from = offset > start ? offset : start, to = offset + count < end ? offset + count : end;
    memcpy(chunk.second.data.data() + (from - start), bytes + (from - offset), static_cast<size_t>(to - from));
  }
}

bool NbdDisk::flush() {
  if (handle_ == nullptr) return false;
  if (!writable_) return true;
  if (direct_ >= 0) return fdatasync(direct_) == 0;
  return nbd_flush(handle_, 0) == 0;
}

void NbdDisk::endKeeper(int* status) {
  runningKeeper = -1;
  runningLifeline = -1;
  if (lifeline_ >= 0) ::close(lifeline_);
  lifeline_ = -1;
  if (server_ > 0) waitFor(server_, status);
  server_ = -1;
}

bool NbdDisk::close(std::string* detail) {
  bool ok = true;
  if (handle_ != nullptr) {
    if (writable_ && nbd_aio_is_ready(handle_) == 1 && !flush()) {
      ok = false;
      if (detail != nullptr) *detail = nbd_get_error() != nullptr ? nbd_get_error() : strerror(errno);
    }
    if (nbd_aio_is_ready(handle_) == 1) nbd_shutdown(handle_, 0);
    nbd_close(handle_);
    handle_ = nullptr;
  }
  if (server_ > 0) {
    // Disconnected, qemu-nbd writes out its cache and exits, and so does
    // its keeper; one that has not after half a minute is told to.
    int status = 0;
    pid_t ended = 0;
    for (int waited = 0; waited < 3000 && (ended = waitpid(server_, &status, WNOHANG)) == 0; ++waited) {
      struct timespec pause = {0, 10 * 1000 * 1000};
      nanosleep(&pause, nullptr);
    }
    if (ended == 0) {
      endKeeper(&status);
      ok = false;
      if (detail != nullptr) *detail = "qemu-nbd did not end when the disk was closed";
    } else {
      server_ = -1;
      endKeeper(nullptr);
      if (writable_ && !(WIFEXITED(status) && WEXITSTATUS(status) == 0) && ok) {
        ok = false;
        if (detail != nullptr) {
          std::string said = lastMessage(readAll(messages_));
          *detail = said.empty() ? "qemu-nbd failed as it closed the disk" : said;
        }
      }
    }
  }
  return ok;
}

HoldSignals::HoldSignals() {
  sigset_t held;
  sigemptyset(&held);
  for (int signal : kEndingSignals) sigaddset(&held, signal);
  sigprocmask(SIG_BLOCK, &held, nullptr);
}

HoldSignals::~HoldSignals() {
  sigset_t held;
  sigemptyset(&held);
  for (int signal : kEndingSignals) sigaddset(&held, signal);
  sigprocmask(SIG_UNBLOCK, &held, nullptr);
}

}  // namespace standin
