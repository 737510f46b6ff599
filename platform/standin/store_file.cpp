#include "platform/standin/store_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace standin {

namespace {

std::string describeErrno(const std::string& what, const std::string& path) {
  return "Cannot " + what + " registry store " + path + ": " + strerror(errno);
}

std::string directoryOf(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

bool openLockedFile(const std::string& path, LockedFile* file, std::string* error) {
  // A run that commits renames a new file over the path. Whoever waited on the
  // old file's lock must notice and lock the new one, or it would write back a
  // copy that lacks the other run's changes.
  for (;;) {
    // Not blocking: opening a FIFO for reading would wait for a writer.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
      *error = describeErrno("open", path);
      return false;
    }
    struct stat opened;
    if (fstat(fd, &opened) != 0) {
      *error = describeErrno("read", path);
      close(fd);
      return false;
    }
    if (S_ISDIR(opened.st_mode)) {
      errno = EISDIR;
      *error = describeErrno("read", path);
      close(fd);
      return false;
    }
    // A store is replaced by renaming a new file over it, which only a
    // regular file survives.
    if (!S_ISREG(opened.st_mode)) {
      *error = "Cannot open registry store " + path + ": not a regular file";
      close(fd);
      return false;
    }
    int locked;
    do {
      locked = flock(fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
      *error = describeErrno("lock", path);
      close(fd);
      return false;
    }
    struct stat current;
    if (stat(path.c_str(), &current) == 0 && current.st_dev == opened.st_dev &&
        current.st_ino == opened.st_ino) {
      file->fd = fd;
      file->path = path;
      file->mode = opened.st_mode & 07777;
      return true;
    }
    close(fd);
  }
}

void releaseFile(LockedFile* file) {
  if (file->fd >= 0) close(file->fd);
  file->fd = -1;
}

bool replaceFileAtomically(const std::string& path, mode_t mode,
                           const std::function<bool(int fd, const std::string& tempPath,
                                                    std::string* error)>& write,
                           std::string* error) {
  std::string directory = directoryOf(path);
  std::string pattern = path + ".XXXXXX";
  int fd = mkstemp(&pattern[0]);
  if (fd < 0) {
    *error = describeErrno("write", path);
    return false;
  }
  const std::string& tempPath = pattern;
  bool ok = write(fd, tempPath, error);
  if (ok && fchmod(fd, mode) != 0) {
    *error = describeErrno("write", path);
    ok = false;
  }
  if (ok && fsync(fd) != 0) {
    *error = describeErrno("write", path);
    ok = false;
  }
  if (close(fd) != 0 && ok) {
    *error = describeErrno("write", path);
    ok = false;
  }
  if (ok && rename(tempPath.c_str(), path.c_str()) != 0) {
    *error = describeErrno("write", path);
    ok = false;
  }
  if (!ok) {
    unlink(tempPath.c_str());
    return false;
  }
  // The rename is only durable once the directory entry is.
  int dirFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
  return true;
}

}  // namespace standin
