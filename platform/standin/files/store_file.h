// Files that hold a stand-in registry store. A run that may change one takes
// its lock, and replaces it atomically, so that concurrent runs take turns and
// a crash leaves either the old file or the new one. A run changes only the
// file it read, and only if that file still is as it was read.
#ifndef NETVANE_PLATFORM_STANDIN_FILES_STORE_FILE_H
#define NETVANE_PLATFORM_STANDIN_FILES_STORE_FILE_H

#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <string>

namespace standin {

// A store's file and its lock, both held until the file is released or
// destroyed.
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
  // The lock beside the file, which only users who may write the file can
  // open. A run that could not take it may not write the file: lockError says why.
  int lockFd = -1;
  std::string lockPath;
  std::string lockError;
};

// Opens an existing regular file to read it. When the user may write it, the
// lock beside it is taken first, waiting at most lockWaitSeconds() and saying
// so on standard error after a second. False with one line in `error`, and
// then neither the file nor its lock is held.
bool openStoreFile(const std::string& path, const char* noun, LockedFile* file, std::string* error);
// Closes the file and gives up its lock, before the file is destroyed.
void releaseFile(LockedFile* file);

// NETVANE_LOCK_WAIT, or 60: the seconds a run waits for another run's lock.
double lockWaitSeconds();

// False with one line in `error` when the file is no longer as it was read:
// another program truncated or rewrote it in place, under the run.
bool checkUnchanged(const LockedFile& file, std::string* error);
// The line that says so.
std::string changedMessage(const LockedFile& file);

// False with one line in `error` when replaceFileAtomically would write
// nothing because the user may not write the file or holds no lock on it.
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
// (another run may have created it meanwhile): then it is left as it is.
bool createFileOnce(const std::string& path, const char* noun, const std::string& bytes, std::string* error);

}  // namespace standin

#endif
