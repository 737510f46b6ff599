// Files that hold a stand-in registry store: read under an exclusive lock and
// replaced atomically, so that concurrent runs serialise and a crash leaves
// either the old file or the new one.
#ifndef NETVANE_PLATFORM_STANDIN_STORE_FILE_H
#define NETVANE_PLATFORM_STANDIN_STORE_FILE_H

#include <sys/types.h>

#include <functional>
#include <string>

namespace standin {

struct LockedFile {
  int fd = -1;
  std::string path;
  mode_t mode = 0;
};

// Opens an existing file read-only and holds an exclusive lock on it until
// releaseFile. If another run replaced the file while we waited for the lock,
// the new file is opened instead, so no run ever works from a stale copy.
bool openLockedFile(const std::string& path, LockedFile* file, std::string* error);
void releaseFile(LockedFile* file);

// Writes a new version of `path` to a temporary file beside it, flushes it to
// disk, gives it `mode` and renames it over `path`, then flushes the directory.
// `write` fills the temporary file, given as an open descriptor and a path.
// On any failure the temporary file is removed and `path` is untouched.
bool replaceFileAtomically(const std::string& path, mode_t mode,
                           const std::function<bool(int fd, const std::string& tempPath,
                                                    std::string* error)>& write,
                           std::string* error);

}  // namespace standin

#endif
