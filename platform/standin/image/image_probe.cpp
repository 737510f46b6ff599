#include "platform/standin/image/image_probe.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/standin/image/image_format.h"
#include "platform/standin/image/run_supervisor.h"
#include "platform/standin/image/sandbox.h"

namespace standin {

namespace {

// The findings as one line, "image FORMAT UNWRITABLE" or "export", or ""
// when the file cannot be read.
std::string describe(int fd, bool device) {
  struct stat info;
  off_t size = fstat(fd, &info) != 0 ? -1 : device ? lseek(fd, 0, SEEK_END) : info.st_size;
  std::string head, tail;
  ImageStart start;
  if (size < 0 || !readImageStart(fd, static_cast<uint64_t>(size), &head, &tail, &start)) return "";
  if (!device && !isDiskImage(start)) return "export\n";
  const char* unwritable = unwritableVmdk(start);
  return std::string("image ") + imageFormat(start) + " " + (unwritable != nullptr ? unwritable : "-") + "\n";
}

// The probe's side: the findings on `out`, and its exit status.
[[noreturn]] void probe(int fd, bool device, int out) {
  std::string detail;
  if (!enterSandbox("probe", &detail)) _exit(2);
  std::string found = describe(fd, device);
  _exit(!found.empty() && write(out, found.data(), found.size()) == static_cast<ssize_t>(found.size()) ? 0 : 1);
}

bool interpret(std::string said, ImageProbe* result) {
  said.pop_back();
  result->image = said.compare(0, 6, "image ") == 0;
  if (result->image) {
    std::string rest = said.substr(6);
    std::string::size_type space = rest.find(' ');
    result->format = rest.substr(0, space);
    result->unwritable = space == std::string::npos || rest.substr(space + 1) == "-" ? "" : rest.substr(space + 1);
  }
  return true;
}

}  // namespace

bool probeImage(const std::string& path, bool device, ImageProbe* result, std::string* error) {
  const char* noun = device ? "disk" : "disk image";
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  // A file that cannot be read here is left to the registry store, which
  // says why, as it did before images were read.
  if (fd < 0 && !device) {
    result->image = false;
    return true;
  }
  if (fd >= 0 && !sandboxed()) {
    std::string found = describe(fd, device);
    close(fd);
    return found.empty() ? (*error = std::string("Cannot read ") + noun + " " + path + ": " + strerror(errno), false)
                         : interpret(found, result);
  }
  int findings[2] = {-1, -1};
  if (fd < 0 || pipe2(findings, O_CLOEXEC) != 0) {
    *error = std::string("Cannot read ") + noun + " " + path + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  pid_t prober = fork();
  if (prober == 0) {
    close(findings[0]);
    probe(fd, device, findings[1]);
  }
  int cause = errno;
  close(fd);
  close(findings[1]);
  std::string said;
  char buffer[256];
  for (ssize_t got; prober > 0 && (got = read(findings[0], buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    said.append(buffer, static_cast<size_t>(got));
  }
  close(findings[0]);
  int status = 0;
  while (prober > 0 && waitpid(prober, &status, 0) < 0 && errno == EINTR) {
  }
  if (prober < 0) {
    *error = std::string("Cannot read ") + noun + " " + path + ": " + strerror(cause);
    return false;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || said.empty() || said.back() != '\n') {
    *error = unsafeReadLine(std::string(device ? "Disk " : "Disk image ") + path, status);
    return false;
  }
  return interpret(said, result);
}

}  // namespace standin
