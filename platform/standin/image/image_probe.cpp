#include "platform/standin/image/image_probe.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "platform/standin/image/image_format.h"
#include "platform/standin/image/run_supervisor.h"
#include "platform/standin/image/sandbox.h"

namespace standin {

namespace {

// Findings travel as fields, each its length, a colon and its bytes, so
// that a name from a header, whatever bytes it holds, arrives whole.
void put(std::string* out, const std::string& field) { *out += std::to_string(field.size()) + ":" + field; }

bool take(const std::string& in, size_t* at, std::string* field) {
  std::string::size_type colon = in.find(':', *at);
  if (colon == std::string::npos || colon == *at || colon - *at > 9) return false;
  size_t length = 0;
  for (size_t i = *at; i < colon; ++i) {
    if (in[i] < '0' || in[i] > '9') return false;
    length = length * 10 + static_cast<size_t>(in[i] - '0');
  }
  if (length > in.size() - colon - 1) return false;
  *field = in.substr(colon + 1, length);
  *at = colon + 1 + length;
  return true;
}

// What the line says of a probe whose findings do not parse: it failed.
const int kGarbled = 1 << 8;
// A probe's exit status when this system gives it no sandbox.
const int kNoSandbox = 3;

ReadDisk readerOf(int fd) {
  return [fd](uint64_t offset, void* buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
      ssize_t n = pread(fd, static_cast<char*>(buffer) + done, size - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  };
}

bool readStart(int fd, bool device, std::string* head, std::string* tail, ImageStart* start) {
  struct stat info;
  off_t size = fstat(fd, &info) != 0 ? -1 : device ? lseek(fd, 0, SEEK_END) : info.st_size;
  return size >= 0 && readImageStart(fd, static_cast<uint64_t>(size), head, tail, start);
}

// Runs `job` on `fd` in a sandboxed child, and gives what it returned, which
// is empty when it failed. A build without the sandbox runs it here.
bool inSandbox(int fd, const std::string& shown, const std::function<std::string(int)>& job, std::string* found,
               std::string* error, bool* noSandbox = nullptr) {
  if (!sandboxed()) {
    *found = job(fd);
    if (found->empty()) *error = "Cannot read " + shown + ": " + strerror(errno);
    return !found->empty();
  }
  int findings[2];
  if (pipe2(findings, O_CLOEXEC) != 0) {
    *error = "Cannot read " + shown + ": " + strerror(errno);
    return false;
  }
  pid_t prober = fork();
  if (prober == 0) {
    close(findings[0]);
    std::string detail;
    if (!enterSandbox("probe", &detail)) _exit(kNoSandbox);
    std::string said = job(fd);
    _exit(!said.empty() && write(findings[1], said.data(), said.size()) == static_cast<ssize_t>(said.size()) ? 0
                                                                                                             : 1);
  }
  int cause = errno;
  close(findings[1]);
  found->clear();
  char buffer[4096];
  for (ssize_t got; prober > 0 && (got = read(findings[0], buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    found->append(buffer, static_cast<size_t>(got));
  }
  close(findings[0]);
  int status = 0;
  while (prober > 0 && waitpid(prober, &status, 0) < 0 && errno == EINTR) {
  }
  if (prober < 0) {
    *error = "Cannot read " + shown + ": " + strerror(cause);
    return false;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == kNoSandbox) {
    *error = shown + " cannot be read safely: this system gives netvane no sandbox (seccomp) to read it in";
    if (noSandbox != nullptr) *noSandbox = true;
    return false;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || found->empty()) {
    *error = unsafeReadLine(shown, status);
    return false;
  }
  return true;
}

}  // namespace

bool probeImage(const std::string& path, bool device, const char* stated, ImageProbe* result, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat info;
  // A file that cannot be read here is left to the registry store, which
  // says why, as it did before images were read; so is an empty one.
  if (!device && (fd < 0 || fstat(fd, &info) != 0 || info.st_size == 0)) {
    if (fd >= 0) close(fd);
    result->kind = FileKind::unread;
    return true;
  }
  std::string shown = std::string(device ? "Disk " : "Disk image ") + path;
  if (fd < 0) {
    *error = "Cannot read disk " + path + ": " + strerror(errno);
    return false;
  }
  std::string statedFormat = stated != nullptr ? stated : "";
  std::string found;
  bool noSandbox = false;
  bool ok = inSandbox(
      fd, shown,
      [device, statedFormat](int in) {
        std::string head, tail, said, problem;
        ImageStart start;
        if (!readStart(in, device, &head, &tail, &start)) return said;
        bool image = device || isDiskImage(start) || !statedFormat.empty();
        said = !image ? (startsLikeRegistryExport(start) ? "e" : "n") : "i";
        const char* format = chooseFormat(start, device, statedFormat.empty() ? nullptr : statedFormat.c_str(), &problem);
        const char* unwritable = unwritableVmdk(start);
        put(&said, format != nullptr ? format : "");
        put(&said, problem);
        put(&said, !device && startsLuks(start.head, start.headSize) ? "1" : "");
        put(&said, unwritable != nullptr ? unwritable : "");
        return said;
      },
      &found, error, &noSandbox);
  // Without a sandbox, a registry export is still told by its first line,
  // which is compared, not parsed; anything else is not read at all.
  if (!ok && noSandbox && !device) {
    std::string head(64, '\0');
    ssize_t got = pread(fd, &head[0], head.size(), 0);
    ImageStart start;
    start.head = reinterpret_cast<const uint8_t*>(head.data());
    start.headSize = got > 0 ? static_cast<size_t>(got) : 0;
    if (startsLikeRegistryExport(start)) {
      result->kind = FileKind::registryExport;
      error->clear();
      ok = true;
      found = "e";
    }
  }
  close(fd);
  if (!ok) return false;
  if (found == "e") return true;
  size_t at = 1;
  std::string luks;
  if (!take(found, &at, &result->format) || !take(found, &at, &result->problem) || !take(found, &at, &luks) ||
      !take(found, &at, &result->unwritable)) {
    *error = unsafeReadLine(shown, kGarbled);
    return false;
  }
  result->kind = found[0] == 'i' ? FileKind::diskImage : found[0] == 'e' ? FileKind::registryExport : FileKind::neither;
  result->luks = !luks.empty();
  return true;
}

bool probeHeader(int fd, const std::string& shown, const std::string& format, bool extent, ImageHeader* header,
                 std::string* problem, std::string* error) {
  std::string found;
  if (!inSandbox(fd, shown,
                 [&format, extent](int in) {
                   struct stat info;
                   if (fstat(in, &info) != 0) return std::string();
                   ImageHeader read;
                   std::string refused;
                   uint64_t size = static_cast<uint64_t>(info.st_size);
                   bool ok = extent ? readVmdkExtentHeader(readerOf(in), size, &read, &refused)
                                    : readImageHeader(format.c_str(), readerOf(in), size, &read, &refused);
                   std::string said = ok ? "h" : "r";
                   put(&said, refused);
                   put(&said, read.encryption);
                   for (const ImageReference& reference : read.references) {
                     put(&said, std::to_string(static_cast<int>(reference.kind)));
                     put(&said, reference.name);
                     put(&said, reference.format);
                   }
                   return said;
                 },
                 &found, error)) {
    return false;
  }
  size_t at = 1;
  std::string kind;
  bool whole = take(found, &at, problem) && take(found, &at, &header->encryption);
  header->references.clear();
  while (whole && at < found.size()) {
    ImageReference reference;
    whole = take(found, &at, &kind) && take(found, &at, &reference.name) && take(found, &at, &reference.format) &&
            (kind == "0" || kind == "1" || kind == "2");
    if (!whole) break;
    reference.kind = static_cast<ReferenceKind>(kind[0] - '0');
    header->references.push_back(reference);
  }
  if (!whole) {
    *error = unsafeReadLine(shown, kGarbled);
    return false;
  }
  return found[0] == 'h';
}

bool probeFormat(int fd, const std::string& shown, std::string* format, std::string* error) {
  std::string found;
  if (!inSandbox(fd, shown,
                 [](int in) {
                   std::string head, tail;
                   ImageStart start;
                   return readStart(in, false, &head, &tail, &start) ? std::string(imageFormat(start)) : "";
                 },
                 &found, error)) {
    return false;
  }
  *format = found;
  return true;
}

}  // namespace standin
