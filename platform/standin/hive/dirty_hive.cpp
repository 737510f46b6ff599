#include "platform/standin/hive/dirty_hive.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <memory>

#include "platform/standin/files/mapping_guard.h"
#include "platform/standin/hive/base_block.h"
#include "platform/standin/hive/hive_logs.h"

namespace standin {

const char* const kLogSuffixes[kLogCount] = {".LOG1", ".LOG2", ".LOG"};

// Windows's own ceiling: "The maximum size of a registry hive is 2 GB, except
// for the system hive", which may hold at most half the physical memory, up
// to 1.5 GB on x64 ("Registry Storage Space", Microsoft Learn, Win32
// system information). hivex would read all of a larger file first.
uint64_t largestHive(const std::string& name) {
  return strcasecmp(name.c_str(), "SYSTEM") == 0 ? uint64_t(3) << 29 : uint64_t(1) << 31;
}

namespace {

// Fewer bytes than `size` when the file ends sooner; logsUnchanged then
// names the log that changed under the run.
bool readWhole(int fd, uint64_t size, std::vector<uint8_t>* bytes) {
  bytes->resize(size);
  uint64_t done = 0;
  while (done < size) {
    ssize_t n = pread(fd, bytes->data() + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    done += static_cast<uint64_t>(n);
  }
  bytes->resize(done);
  return true;
}

std::string gigabytes(uint64_t bytes) {
  char text[32];
  snprintf(text, sizeof text, "%g", static_cast<double>(bytes) / (1 << 30));
  return text;
}

// The primary and its logs are read through mappings, which cost no copy; a
// file cut short under one reads as zeros past its end, and the run then
// reports it as changed.
class MappedFile {
 public:
  MappedFile(int fd, uint64_t size) : size_(size) {
    void* mapped = size > 0 ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
    if (mapped == MAP_FAILED) return;
    bytes_ = static_cast<const uint8_t*>(mapped);
    guardMappedFile(bytes_, size_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile() {
    if (bytes_ == nullptr) return;
    unguardMappedFile(bytes_);
    munmap(const_cast<uint8_t*>(bytes_), size_);
  }
  const uint8_t* bytes() const { return bytes_; }

 private:
  const uint8_t* bytes_ = nullptr;
  uint64_t size_;
};

// What a file that is not a regular file is, for the line that refuses it.
std::string notAFile(mode_t mode) {
  const char* kind = S_ISDIR(mode) ? "a directory" : S_ISFIFO(mode) ? "a FIFO"
                     : S_ISCHR(mode) || S_ISBLK(mode) ? "a device" : S_ISSOCK(mode) ? "a socket" : nullptr;
  return kind == nullptr ? "not a regular file" : std::string(kind) + ", not a regular file";
}

// A log is read as it is, never locked: only the hive's own lock keeps other
// runs away, and Windows is not running on a mounted installation.
bool readLog(const std::string& path, int fd, uint64_t largest, HiveLog* log, ReadLog* read,
             std::unique_ptr<MappedFile>* mapping, std::string* error) {
  log->path = read->path = path;
  bool ok = fstat(fd, &read->seen) == 0;
  if (ok && !S_ISREG(read->seen.st_mode)) {
    *error = "Cannot read transaction log " + path + ": " + notAFile(read->seen.st_mode);
    ok = false;
  } else if (ok && static_cast<uint64_t>(read->seen.st_size) > largest) {
    *error = "Transaction log " + path + " is larger than " + gigabytes(largest) +
             " GB, the most Windows allows for its hive";
    ok = false;
  } else if (ok) {
    uint64_t size = static_cast<uint64_t>(read->seen.st_size);
    mapping->reset(new MappedFile(fd, size));
    log->mapped = (*mapping)->bytes();
    log->mappedSize = static_cast<size_t>(size);
    // Read instead where the file system cannot map it.
    if (log->mapped == nullptr) ok = readWhole(fd, size, &log->bytes);
    if (!ok) *error = "Cannot read transaction log " + path + ": " + strerror(errno);
  } else {
    *error = "Cannot read transaction log " + path + ": " + strerror(errno);
  }
  return ok;
}

// hivex opens files only by name; a memory file gives the image one, under
// /proc/self/fd, that no other program can change or cut short. The replay
// writes the image once, straight into the file's pages through a shared
// mapping, and a listing's hivex then maps those same pages.
class ImageFile {
 public:
  ImageFile(int primaryFd, const uint8_t* primary, const std::string& path)
      : primaryFd_(primaryFd), primary_(primary), path_(path) {}
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  ~ImageFile() {
    if (bytes_ != nullptr) munmap(bytes_, size_);
    if (fd_ >= 0) close(fd_);
  }

  uint8_t* make(size_t size, size_t fromPrimary, std::string* error) {
    fd_ = memfd_create("netvane-hive", MFD_CLOEXEC);
    bool ok = fd_ >= 0 && fill(fromPrimary) && ftruncate(fd_, static_cast<off_t>(size)) == 0;
    void* mapped = ok ? mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0) : MAP_FAILED;
    if (mapped == MAP_FAILED) {
      *error = "Cannot read registry hive " + path_ + " into memory: " + strerror(errno);
      return nullptr;
    }
    bytes_ = static_cast<uint8_t*>(mapped);
    size_ = size;
    return bytes_;
  }

  // hivex 1.3.23 reads a base block only when its checksum is the plain XOR,
  // which Windows never stores when that XOR is 0 or 0xFFFFFFFF (it stores 1
  // or 0xFFFFFFFE): the image that hivex reads carries the plain XOR. Only
  // hivex sees it; the hive that a run writes is made Windows' again.
  void checksumForHivex() {
    putLittleEndian32(bytes_ + kChecksummedBytes, baseBlockXor(bytes_));
  }

  // The descriptor, now the caller's to close.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  // The primary's bytes go in by the kernel, from file to file: no page of
  // ours is faulted in for them. Where the primary's file system cannot
  // splice, they are written from its mapping. A primary cut short under
  // the run leaves zeros, as its mapping would read, and the run reports
  // it as changed.
  bool fill(size_t fromPrimary) {
    bool splice = true;
    size_t done = 0;
    while (done < fromPrimary) {
      ssize_t n;
      if (splice) {
        off_t from = static_cast<off_t>(done);
        n = sendfile(fd_, primaryFd_, &from, fromPrimary - done);
        if (n < 0 && (errno == EINVAL || errno == ENOSYS) && done == 0) {
          splice = false;
          continue;
        }
      } else {
        n = write(fd_, primary_ + done, fromPrimary - done);
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  int primaryFd_;
  const uint8_t* primary_;
  const std::string& path_;
  int fd_ = -1;
  uint8_t* bytes_ = nullptr;
  size_t size_ = 0;
};


}  // namespace

bool bringUpToDate(int fd, const std::string& path, uint64_t size, uint64_t largest, const FindLog& findLog,
                   UpToDate* result, std::string* error) {
  MappedFile primary(fd, size);
  if (primary.bytes() == nullptr) {
    *error = "Cannot read registry hive " + path + ": " + strerror(errno);
    return false;
  }
  std::string name = path.substr(path.rfind('/') + 1);
  std::vector<HiveLog> logs;
  std::vector<std::unique_ptr<MappedFile>> mappings(kLogCount);
  std::vector<std::string> lookedFor;
  for (const char* suffix : kLogSuffixes) {
    std::string logName = name + suffix;
    std::string found;
    int logFd = -1;
    lookedFor.push_back(logName);
    if (!findLog(logName, &found, &logFd, error)) {
      if (!error->empty()) return false;
      continue;
    }
    logs.push_back(HiveLog());
    result->logs.push_back(ReadLog());
    bool read = readLog(found, logFd, largest, &logs.back(), &result->logs.back(), &mappings[logs.size() - 1], error);
    close(logFd);
    if (!read) return false;
  }
  HiveReplay replay;
  ImageFile image(fd, primary.bytes(), path);
  HiveImageStorage storage = [&image](size_t imageSize, size_t fromPrimary, std::string* failure) {
    return image.make(imageSize, fromPrimary, failure);
  };
  if (!replayHiveLogs(path, primary.bytes(), size, logs, lookedFor, largest, &replay, error, storage)) {
    return false;
  }
  result->notUpToDate = replay.reason;
  if (replay.state == HiveState::kRecovered) {
    image.checksumForHivex();
    result->imageFd = image.release();
  }
  return true;
}

bool copyForHivex(int fd, const std::string& path, uint64_t size, UpToDate* result, std::string* error) {
  MappedFile primary(fd, size);
  if (primary.bytes() == nullptr) {
    *error = "Cannot read registry hive " + path + ": " + strerror(errno);
    return false;
  }
  ImageFile image(fd, primary.bytes(), path);
  if (image.make(size, size, error) == nullptr) return false;
  image.checksumForHivex();
  result->imageFd = image.release();
  return true;
}

bool openLogFile(const std::string& path, int* fd, std::string* error) {
  struct stat seen;
  bool ok = stat(path.c_str(), &seen) == 0;
  *fd = -1;
  if (ok && S_ISREG(seen.st_mode)) {
    // Not blocking: a FIFO put in the file's place would wait for a writer.
    *fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    ok = *fd >= 0 && fstat(*fd, &seen) == 0;
  }
  if (ok && !S_ISREG(seen.st_mode)) {
    *error = "Cannot read transaction log " + path + ": " + notAFile(seen.st_mode);
    ok = false;
  } else if (!ok) {
    *error = "Cannot read transaction log " + path + ": " + strerror(errno);
  }
  if (!ok && *fd >= 0) close(*fd);
  if (!ok) *fd = -1;
  return ok;
}

bool logsUnchanged(const UpToDate& hive, std::string* error) {
  for (const ReadLog& log : hive.logs) {
    struct stat now;
    if (stat(log.path.c_str(), &now) != 0 || now.st_dev != log.seen.st_dev || now.st_ino != log.seen.st_ino ||
        now.st_size != log.seen.st_size || now.st_mtim.tv_sec != log.seen.st_mtim.tv_sec ||
        now.st_mtim.tv_nsec != log.seen.st_mtim.tv_nsec) {
      *error = "Transaction log " + log.path + " changed while netvane was reading it";
      return false;
    }
  }
  return true;
}

}  // namespace standin
