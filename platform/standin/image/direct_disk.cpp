// A raw image or a block device, read and written here with pread and
// pwrite: qemu would only add a round trip through its socket. The run
// takes qemu's lock on the file itself (image_lock.h), which qemu-nbd
// would not: serving an image for writing, it shares the right to write
// it with anyone.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/standin/image/disk.h"
#include "platform/standin/image/image_lock.h"

namespace standin {

namespace {

class DirectDisk : public Disk {
 public:
  DirectDisk(int fd, uint64_t size, bool writable) : fd_(fd) {
    size_ = size;
    writable_ = writable;
  }
  ~DirectDisk() override {
    if (fd_ >= 0) ::close(fd_);
  }

  bool read(uint64_t offset, void* buffer, size_t count) override {
    return transfer(true, offset, static_cast<uint8_t*>(buffer), count);
  }

  bool write(const std::vector<Piece>& pieces) override {
    for (const Piece& piece : pieces) {
      if (!transfer(false, piece.offset, static_cast<uint8_t*>(const_cast<void*>(piece.bytes)), piece.size)) {
        return false;
      }
    }
    return true;
  }

  bool flush() override { return !writable_ || fdatasync(fd_) == 0; }

  bool close(std::string* detail) override {
    bool ok = flush();
    if (!ok && detail != nullptr) *detail = strerror(errno);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    return ok;
  }

 private:
  bool transfer(bool reading, uint64_t offset, uint8_t* bytes, size_t count) {
    if (offset > size_ || count > size_ - offset) {
      errno = EIO;
      return false;
    }
    for (size_t done = 0; done < count;) {
      ssize_t n = reading ? pread(fd_, bytes + done, count - done, static_cast<off_t>(offset + done))
                          : pwrite(fd_, bytes + done, count - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n == 0) errno = EIO;
        return false;
      }
      done += static_cast<size_t>(n);
    }
    return true;
  }

  int fd_;
};

}  // namespace

std::unique_ptr<Disk> openDirectDisk(const DiskRequest& request, DiskFailure* failure, std::string* detail) {
  *failure = DiskFailure::other;
  // A device opened exclusively is refused while the kernel uses it: one of
  // its partitions mounted, or a holder such as device-mapper on it.
  int flags = (request.writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | (request.device && request.writable ? O_EXCL : 0);
  int fd = ::open(request.path.c_str(), flags);
  if (fd < 0) {
    int cause = errno;
    if (cause == EBUSY) {
      *failure = DiskFailure::busy;
    } else if (request.writable && (cause == EACCES || cause == EROFS || cause == EPERM)) {
      *failure = DiskFailure::readOnly;
    }
    *detail = strerror(cause);
    return nullptr;
  }
  struct stat info;
  off_t end = fstat(fd, &info) != 0 ? -1 : S_ISBLK(info.st_mode) ? lseek(fd, 0, SEEK_END) : info.st_size;
  if (end < 0) {
    *detail = strerror(errno);
    ::close(fd);
    return nullptr;
  }
  if (!request.forceShare) {
    unsigned held = kConsistentRead | (request.writable ? kWrite : 0);
    LockResult lock = lockImage(fd, held, kWrite | kResize);
    if (lock != LockResult::taken) {
      *failure = lock == LockResult::conflict ? DiskFailure::inUse : DiskFailure::other;
      *detail = lock == LockResult::conflict ? "another program holds it" : strerror(errno);
      ::close(fd);
      return nullptr;
    }
  }
  return std::unique_ptr<Disk>(new DirectDisk(fd, static_cast<uint64_t>(end), request.writable));
}

std::unique_ptr<Disk> openDisk(const DiskRequest& request, DiskFailure* failure, std::string* detail) {
  return std::string(request.format) == "raw" ? openDirectDisk(request, failure, detail)
                                              : openNbdDisk(request, failure, detail);
}

}  // namespace standin
