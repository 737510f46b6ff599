#include "platform/standin/hive/dirty_hive.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/standin/files/store_file.h"
#include "platform/standin/hive/hive_logs.h"
#include "platform/standin/hive/installation.h"

namespace standin {

namespace {

// Windows 8.1 and later, and Vista to 8, keep a hive's pending changes in
// NAME.LOG1 and NAME.LOG2; XP keeps them in NAME.LOG ("Multiple transaction
// log files").
const char* const kLogSuffixes[] = {".LOG1", ".LOG2", ".LOG"};

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

// A log is read as it is, never locked: only the hive's own lock keeps other
// runs away, and Windows is not running on a mounted installation.
bool readLog(const std::string& path, uint64_t largest, HiveLog* log, ReadLog* read, std::string* error) {
  log->path = read->path = path;
  // Not blocking: a FIFO put in the file's place would wait for a writer.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  bool ok = fd >= 0 && fstat(fd, &read->seen) == 0;
  if (ok && !S_ISREG(read->seen.st_mode)) {
    *error = "Cannot read transaction log " + path + ": not a regular file";
    ok = false;
  } else if (ok && static_cast<uint64_t>(read->seen.st_size) > largest) {
    *error = "Transaction log " + path + " is larger than " + gigabytes(largest) +
             " GB, the most Windows allows for its hive";
    ok = false;
  } else if (ok) {
    ok = readWhole(fd, static_cast<uint64_t>(read->seen.st_size), &log->bytes);
    if (!ok) *error = "Cannot read transaction log " + path + ": " + strerror(errno);
  } else {
    *error = "Cannot read transaction log " + path + ": " + strerror(errno);
  }
  if (fd >= 0) close(fd);
  return ok;
}

// hivex opens files only by name; a memory file gives the image one, under
// /proc/self/fd, that no other program can change or cut short. Written
// rather than mapped: the kernel fills the file's pages faster than faults
// on a mapping of it would.
int imageFile(const std::vector<uint8_t>& image, const std::string& path, std::string* error) {
  int fd = memfd_create("netvane-hive", MFD_CLOEXEC);
  size_t done = 0;
  while (fd >= 0 && done < image.size()) {
    ssize_t n = write(fd, image.data() + done, image.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  if (fd < 0 || done < image.size()) {
    *error = "Cannot bring registry hive " + path + " up to date in memory: " + strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

// The primary is read through a mapping of the locked file, which costs no
// copy; a file cut short under it reads as zeros past its end, and the run
// then reports it as changed.
class MappedHive {
 public:
  MappedHive(int fd, uint64_t size) : size_(size) {
    void* mapped = size > 0 ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
    if (mapped == MAP_FAILED) return;
    bytes_ = static_cast<const uint8_t*>(mapped);
    guardMappedFile(bytes_, size_);
  }
  MappedHive(const MappedHive&) = delete;
  MappedHive& operator=(const MappedHive&) = delete;
  ~MappedHive() {
    if (bytes_ == nullptr) return;
    unguardMappedFile(bytes_);
    munmap(const_cast<uint8_t*>(bytes_), size_);
  }
  const uint8_t* bytes() const { return bytes_; }

 private:
  const uint8_t* bytes_ = nullptr;
  uint64_t size_;
};

}  // namespace

bool bringUpToDate(int fd, const std::string& path, uint64_t size, uint64_t largest,
                   UpToDate* result, std::string* error) {
  MappedHive primary(fd, size);
  if (primary.bytes() == nullptr) {
    *error = "Cannot read registry hive " + path + ": " + strerror(errno);
    return false;
  }
  std::string::size_type slash = path.rfind('/');
  std::string directory = slash == 0 ? "/" : path.substr(0, slash);
  std::string name = path.substr(slash + 1);
  std::vector<HiveLog> logs;
  std::vector<std::string> lookedFor;
  for (const char* suffix : kLogSuffixes) {
    std::string logName = name + suffix;
    std::string found;
    lookedFor.push_back(logName);
    if (!findEntry(directory, logName.c_str(), false, &found, error)) {
      if (!error->empty()) return false;
      continue;
    }
    logs.push_back(HiveLog());
    result->logs.push_back(ReadLog());
    if (!readLog(found, largest, &logs.back(), &result->logs.back(), error)) return false;
  }
  HiveReplay replay;
  if (!replayHiveLogs(path, primary.bytes(), size, logs, lookedFor, largest, &replay, error)) {
    return false;
  }
  if (replay.state == HiveState::kNotRecovered) result->notUpToDate = replay.reason;
  if (replay.state != HiveState::kRecovered) return true;
  logs.clear();
  result->imageFd = imageFile(replay.image, path, error);
  return result->imageFd >= 0;
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
