// Files that hold a stand-in registry store. A run reads one without a lock;
// before its first change it takes the file's lock and checks that the file
// is still the one it read, and it replaces the file atomically, so that
// concurrent runs that change it take turns and a crash leaves either the old
// file or the new one. A run changes only the file it read, and only if that
// file still is as it was read.
#ifndef NETVANE_PLATFORM_STANDIN_FILES_STORE_FILE_H
#define NETVANE_PLATFORM_STANDIN_FILES_STORE_FILE_H

#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <initializer_list>
#include <string>

namespace standin {

// A store's file, and its lock once the run takes it, both held until the
// file is released or destroyed.
struct LockedFile {
  LockedFile() = default;
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;
  ~LockedFile();

  int fd = -1;
  std::string path;      // as the user named it; messages name it so
  std::string resolved;  // the file itself: links followed once, when it was opened
  std::string noun;      // "registry store" or "registry hive"
  struct stat opened = {};
  // The lock beside the file, which only users who may write the file can open.
  int lockFd = -1;
  std::string lockPath;
};

// Opens an existing regular file to read it, without a lock: a run that only
// reads never waits for one. False with one line in `error`, and then the
// file is not held.
bool openStoreFile(const std::string& path, const char* noun, LockedFile* file, std::string* error);
// Closes the file and gives up its lock, before the file is destroyed.
void releaseFile(LockedFile* file);

// Before a run's first change to files it read: takes the lock of each one
// the user may write, waiting at most NETVANE_LOCK_WAIT seconds and saying so
// on standard error after a second, then checks that each is still the file
// it read. False with one line in `error` when a lock cannot be had or a file
// changed since it was read; `replaced` says which. A lock this process
// already holds through another opening of the same file is shared.
bool lockForChange(std::initializer_list<LockedFile*> files, std::string* error, bool* replaced);

// False with one line in `error` when the file is no longer the one that was
// read: its path names another file, or another program rewrote or cut it.
bool stillAsRead(const LockedFile& file, std::string* error);

// NETVANE_LOCK_WAIT, or 60 when it is not set: the seconds a run waits for
// another run's lock. False with one line in `error` when it is set to
// anything but a whole number of seconds from 0 to 86400, empty included.
bool readLockWait(double* seconds, std::string* error);
// The seconds readLockWait gives, for a run that has already checked them.
double lockWaitSeconds();
// Seconds on the monotonic clock, for measuring waits.
double secondsNow();

// False with one line in `error` when the file is no longer as it was read:
// another program truncated or rewrote it in place, under the run.
bool checkUnchanged(const LockedFile& file, std::string* error);
// The line that says so.
std::string changedMessage(const LockedFile& file);

// False with one line in `error` when replaceFileAtomically would write
// nothing because the user may not write the file or took no lock on it.
bool mayReplace(const LockedFile& file, std::string* error);

// Writes a new version of the file to a temporary file beside it, gives it the
// old one's owner, group and permission bits, flushes it to disk and renames
// it over the file, then flushes the directory. `write` fills the temporary
// file, given as an open descriptor and a path. Nothing is written when the
// user may not write the file, holds no lock on it, or when the file is no
// longer the one that was read; on any failure the temporary file is removed
// and the file is untouched.
bool replaceFileAtomically(const LockedFile& file,
                           const std::function<bool(int fd, const std::string& tempPath,
                                                    std::string* error)>& write,
                           std::string* error);

// Creates `path` with `bytes` the same way, unless something is already there
// (another run may have created it meanwhile): then it is left as it is, and
// `created` says which.
bool createFileOnce(const std::string& path, const char* noun, const std::string& bytes, bool* created,
                    std::string* error);

}  // namespace standin

#endif
