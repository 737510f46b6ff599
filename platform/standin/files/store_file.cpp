#include "platform/standin/files/store_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <map>

#include "platform/standin/files/mapping_guard.h"
#include "platform/standin/standin_hooks.h"

namespace standin {

namespace {

const double kDefaultLockWaitSeconds = 60;
const double kLongestLockWaitSeconds = 86400;
// A run that has waited this long says why it is not done yet.
const double kLockNoticeSeconds = 1;

std::string capitalised(std::string text) {
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
  return text;
}

std::string describeErrno(const char* what, const std::string& noun, const std::string& path) {
  return std::string("Cannot ") + what + " " + noun + " " + path + ": " + strerror(errno);
}

std::string describeErrno(const char* what, const LockedFile& file) { return describeErrno(what, file.noun, file.path); }

std::string directoryOf(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A name beside `path` that ends in `suffix` and fits in a directory entry
// whenever the file's own name does: a name that leaves no room for the
// suffix is cut, at a character's start, to make room.
std::string besideName(const std::string& path, const char* suffix) {
  std::string::size_type slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t room = NAME_MAX - strlen(suffix);
  if (name.size() > room) {
    size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name.resize(cut);
  }
  return directory + name + suffix;
}

// A new name for a file is only durable once its directory entry is.
void flushDirectoryOf(const std::string& path) {
  int fd = open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool namesFile(const std::string& path, const struct stat& file) {
  struct stat now;
  return stat(path.c_str(), &now) == 0 && sameFile(now, file);
}

std::string secondsText(double value) {
  char text[32];
  snprintf(text, sizeof text, "%g", value);
  return text;
}

// The owner and group of `like`, as far as the user may give them: root
// keeps both, another user at least the group when it is one of theirs.
void keepOwner(int fd, const struct stat& like) {
  if (fchown(fd, like.st_uid, like.st_gid) == 0) return;
  if (fchown(fd, static_cast<uid_t>(-1), like.st_gid) != 0) {
    // The file is then the user's own, with the user's group.
  }
}

bool writeAll(int fd, const char* bytes, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// The locks this process holds, by lock file, and how many open files share
// each: a store opened anew during a run (RegistryStore::replacedSinceRead)
// goes on under the lock that its first opening took.
struct HeldLock {
  int fd;
  int holders;
};
std::map<std::string, HeldLock>& heldLocks() {
  static std::map<std::string, HeldLock> locks;
  return locks;
}

// Locks the lock file beside the file. The lock file lets only those classes
// of user open it that may write the file, so a user who may only read the
// file cannot hold up a run that changes it. It is removed when the lock is
// given up; whoever waited on a removed one opens the new one instead.
bool takeLock(LockedFile* file, std::string* error) {
  file->lockPath = besideName(file->resolved, ".lock");
  std::map<std::string, HeldLock>::iterator held = heldLocks().find(file->lockPath);
  if (held != heldLocks().end()) {
    ++held->second.holders;
    file->lockFd = held->second.fd;
    return true;
  }
  const struct stat& target = file->opened;
  const mode_t writers = target.st_mode & 0222;
  const mode_t lockMode = writers | (writers << 1);
  const double wait = lockWaitSeconds();
  const double start = secondsNow();
  bool told = false;
  for (;;) {
    // Never O_CREAT on a file that exists: in a shared sticky directory the
    // kernel may refuse that for another user's file even to root.
    int fd = open(file->lockPath.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    bool created = false;
    if (fd < 0 && errno == ENOENT) {
      fd = open(file->lockPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, lockMode);
      if (fd < 0 && errno == EEXIST) continue;
      created = fd >= 0;
    }
    struct stat lock;
    if (fd >= 0 && (fstat(fd, &lock) != 0 || !S_ISREG(lock.st_mode))) {
      close(fd);
      fd = -1;
      errno = EINVAL;
    }
    if (fd < 0) {
      *error = "Cannot lock " + file->noun + " " + file->path + ": " + file->lockPath + ": " + strerror(errno);
      return false;
    }
    if (created) {
      keepOwner(fd, target);
      fchmod(fd, lockMode);
    }
    // Polled rather than waited on, so that the wait can be bounded.
    useconds_t pause = 1000;
    bool timedOut = false;
    int locked;
    while ((locked = flock(fd, LOCK_EX | LOCK_NB)) != 0 && (errno == EWOULDBLOCK || errno == EINTR)) {
      double waited = secondsNow() - start;
      if (waited >= wait) {
        timedOut = true;
        break;
      }
      if (!told && waited >= kLockNoticeSeconds) {
        fprintf(stderr, "netvane: waiting for another run to finish with %s %s (at most %s s)\n",
                file->noun.c_str(), file->path.c_str(), secondsText(wait).c_str());
        told = true;
      }
      usleep(pause);
      if (pause < 32000) pause *= 2;
    }
    if (locked != 0) {
      *error = "Cannot lock " + file->noun + " " + file->path + ": " +
               (timedOut ? "another run held it for " + secondsText(wait) + " s" : std::string(strerror(errno)));
      close(fd);
      return false;
    }
    struct stat named;
    if (lstat(file->lockPath.c_str(), &named) == 0 && sameFile(named, lock)) {
      file->lockFd = fd;
      heldLocks()[file->lockPath] = HeldLock{fd, 1};
      return true;
    }
    close(fd);
  }
}

// openStoreFile but for giving up what it took when it fails.
bool openForReading(const std::string& path, const char* noun, LockedFile* file, std::string* error) {
  file->path = path;
  file->noun = noun;
  // The path is resolved once: whatever later happens to a link on the way,
  // the run reads, locks and replaces this one file.
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) {
    int cause = errno;
    struct stat link;
    char target[PATH_MAX];
    ssize_t length = -1;
    if (cause == ENOENT && lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      length = readlink(path.c_str(), target, sizeof target - 1);
    }
    if (length >= 0) {
      target[length] = '\0';
      *error = capitalised(file->noun) + " " + path + " is a link to " + target + ", which does not exist";
    } else {
      errno = cause;
      *error = describeErrno("open", *file);
    }
    return false;
  }
  file->resolved = resolved;
  free(resolved);
  struct stat target;
  if (stat(file->resolved.c_str(), &target) != 0) {
    *error = describeErrno("open", *file);
    return false;
  }
  // A store is replaced by renaming a new file over it, which only a regular
  // file survives; a directory is a mistake of its own.
  if (S_ISDIR(target.st_mode)) {
    errno = EISDIR;
    *error = describeErrno("read", *file);
    return false;
  }
  if (!S_ISREG(target.st_mode)) {
    *error = "Cannot open " + file->noun + " " + path + ": not a regular file";
    return false;
  }
  // Not blocking: a FIFO put in the file's place would wait for a writer.
  file->fd = open(file->resolved.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (file->fd < 0) {
    *error = describeErrno("open", *file);
    return false;
  }
  if (fstat(file->fd, &file->opened) != 0) {
    *error = describeErrno("read", *file);
    return false;
  }
  if (!S_ISREG(file->opened.st_mode)) {
    *error = "Cannot open " + file->noun + " " + path + ": not a regular file";
    return false;
  }
  return true;
}

}  // namespace

bool readLockWait(double* seconds, std::string* error) {
  *seconds = kDefaultLockWaitSeconds;
  const char* setting = getenv("NETVANE_LOCK_WAIT");
  if (setting == nullptr) return true;
  // Whole seconds only: an empty value is more likely a slip than a wish
  // for the default, and "1.5" or "1e3" read differently in other tools.
  double value = 0;
  const char* p = setting;
  for (; *p >= '0' && *p <= '9' && value <= kLongestLockWaitSeconds; ++p) value = value * 10 + (*p - '0');
  if (p == setting || *p != '\0' || value > kLongestLockWaitSeconds) {
    *error = std::string("NETVANE_LOCK_WAIT=") + setting + " is not a whole number of seconds from 0 to " +
             secondsText(kLongestLockWaitSeconds);
    return false;
  }
  *seconds = value;
  return true;
}

// Runs start by reading the setting with readLockWait, which refuses one
// that is not a number of seconds.
double lockWaitSeconds() {
  double seconds;
  std::string error;
  return readLockWait(&seconds, &error) ? seconds : kDefaultLockWaitSeconds;
}

double secondsNow() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

bool openStoreFile(const std::string& path, const char* noun, LockedFile* file, std::string* error) {
  bool opened = openForReading(path, noun, file, error);
  if (!opened) releaseFile(file);
  return opened;
}

LockedFile::~LockedFile() { releaseFile(this); }

void releaseFile(LockedFile* file) {
  if (file->fd >= 0) close(file->fd);
  file->fd = -1;
  std::map<std::string, HeldLock>::iterator held = heldLocks().find(file->lockPath);
  if (file->lockFd >= 0 && held != heldLocks().end() && --held->second.holders == 0) {
    heldLocks().erase(held);
    // Removed only while it is still ours, and before it is unlocked, so
    // that no other run is holding it.
    struct stat lock;
    struct stat named;
    if (fstat(file->lockFd, &lock) == 0 && lstat(file->lockPath.c_str(), &named) == 0 && sameFile(lock, named)) {
      unlink(file->lockPath.c_str());
    }
    close(file->lockFd);
  }
  file->lockFd = -1;
}

std::string changedMessage(const LockedFile& file) {
  return capitalised(file.noun) + " " + file.path + " changed while netvane was reading it";
}

bool checkUnchanged(const LockedFile& file, std::string* error) {
  struct stat now;
  bool same = !mappedFileShrank() && fstat(file.fd, &now) == 0 && now.st_size == file.opened.st_size &&
              now.st_mtim.tv_sec == file.opened.st_mtim.tv_sec && now.st_mtim.tv_nsec == file.opened.st_mtim.tv_nsec;
  if (!same) *error = changedMessage(file);
  return same;
}

bool stillAsRead(const LockedFile& file, std::string* error) {
  if (!checkUnchanged(file, error)) return false;
  if (namesFile(file.path, file.opened) && namesFile(file.resolved, file.opened)) return true;
  *error = changedMessage(file);
  return false;
}

bool lockForChange(std::initializer_list<LockedFile*> files, std::string* error, bool* replaced) {
  *replaced = false;
  for (LockedFile* file : files) {
    // A user who may not write the file takes no lock; the change is
    // refused as read-only when the run ends.
    if (file->lockFd >= 0 || faccessat(AT_FDCWD, file->resolved.c_str(), W_OK, AT_EACCESS) != 0) continue;
    if (!takeLock(file, error)) return false;
  }
  for (LockedFile* file : files) {
    if (!stillAsRead(*file, error)) {
      *replaced = true;
      return false;
    }
  }
  stopForTest("locked");
  return true;
}

bool mayReplace(const LockedFile& file, std::string* error) {
  // The test that opening the file for writing would make: renaming over it
  // only asks the directory, which would let a run replace a file that the
  // user may not write. Root passes it, as with any editor.
  if (faccessat(AT_FDCWD, file.resolved.c_str(), W_OK, AT_EACCESS) != 0) {
    *error = capitalised(file.noun) + " " + file.path + " is read-only";
    return false;
  }
  if (file.lockFd < 0) {
    *error = "Cannot lock " + file.noun + " " + file.path;
    return false;
  }
  return true;
}

bool replaceFileAtomically(const LockedFile& file,
                           const std::function<bool(int fd, const std::string& tempPath,
                                                    std::string* error)>& write,
                           std::string* error) {
  if (!mayReplace(file, error)) return false;
  // The run read this file: if the path now names another one, or another
  // program rewrote it, writing would lose that program's work.
  if (!stillAsRead(file, error)) return false;
  std::string tempPath = besideName(file.resolved, ".XXXXXX");
  int fd = mkstemp(&tempPath[0]);
  if (fd < 0) {
    *error = describeErrno("write", file);
    return false;
  }
  bool ok = write(fd, tempPath, error);
  // A write that failed because the file shrank under it is reported as that.
  if (!ok) stillAsRead(file, error);
  if (ok) keepOwner(fd, file.opened);
  if (ok && (fchmod(fd, file.opened.st_mode & 07777) != 0 || fsync(fd) != 0)) {
    *error = describeErrno("write", file);
    ok = false;
  }
  if (close(fd) != 0 && ok) {
    *error = describeErrno("write", file);
    ok = false;
  }
  ok = ok && stillAsRead(file, error);
  if (ok && rename(tempPath.c_str(), file.resolved.c_str()) != 0) {
    *error = describeErrno("write", file);
    ok = false;
  }
  if (!ok) {
    unlink(tempPath.c_str());
    return false;
  }
  flushDirectoryOf(file.resolved);
  return true;
}

bool createFileOnce(const std::string& path, const char* noun, const std::string& bytes, bool* created,
                    std::string* error) {
  *created = false;
  std::string tempPath = besideName(path, ".XXXXXX");
  int fd = mkstemp(&tempPath[0]);
  if (fd < 0) {
    *error = describeErrno("write", noun, path);
    return false;
  }
  bool ok = writeAll(fd, bytes.data(), bytes.size()) && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
  if (!ok) *error = describeErrno("write", noun, path);
  if (close(fd) != 0 && ok) {
    *error = describeErrno("write", noun, path);
    ok = false;
  }
  // A link never replaces what is there; a file system without links gets
  // the rename that refuses to.
  if (ok && link(tempPath.c_str(), path.c_str()) == 0) {
    *created = true;
  } else if (ok && errno != EEXIST) {
    if (renameat2(AT_FDCWD, tempPath.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
      *created = true;
    } else if (errno != EEXIST) {
      *error = describeErrno("write", noun, path);
      ok = false;
    }
  }
  unlink(tempPath.c_str());
  if (ok) flushDirectoryOf(path);
  return ok;
}

}  // namespace standin
