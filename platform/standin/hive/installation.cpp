#include "platform/standin/hive/installation.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace standin {

bool findEntry(const std::string& directory, const char* name, EntryKind kind, std::string* found,
               std::string* error) {
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) {
    if (errno != ENOENT && errno != ENOTDIR) {
      *error = "Cannot read the directory " + directory + ": " + strerror(errno);
    }
    return false;
  }
  std::vector<std::string> matches;
  while (struct dirent* entry = readdir(dir)) {
    if (strcasecmp(entry->d_name, name) == 0) matches.push_back(entry->d_name);
  }
  closedir(dir);
  // A case-sensitive copy could hold two spellings; Windows' own wins.
  std::sort(matches.begin(), matches.end(), [name](const std::string& a, const std::string& b) {
    bool exactA = a == name, exactB = b == name;
    return exactA != exactB ? exactA : a < b;
  });
  for (const std::string& match : matches) {
    std::string path = directory + "/" + match;
    if (kind == EntryKind::kAny) {
      *found = path;
      return true;
    }
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
      if (errno != ENOENT) {
        *error = "Cannot read " + path + ": " + strerror(errno);
        return false;
      }
      continue;
    }
    if (kind == EntryKind::kDirectory ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode)) {
      *found = path;
      return true;
    }
  }
  return false;
}

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

namespace {

// The volume root above `directory`, as it is on disk, which is the
// installation's `layout` below it (its last names, matched without regard
// to case); empty when it is not.
std::string rootAbove(const std::string& directory, const std::vector<const char*>& layout) {
  char* resolved = realpath(directory.c_str(), nullptr);
  if (resolved == nullptr) return "";
  std::string path = resolved;
  free(resolved);
  for (size_t i = layout.size(); i > 0; --i) {
    std::string::size_type slash = path.rfind('/');
    if (path == "/" || slash == std::string::npos || strcasecmp(path.c_str() + slash + 1, layout[i - 1]) != 0) {
      return "";
    }
    path = slash == 0 ? "/" : path.substr(0, slash);
  }
  return path;
}

}  // namespace

bool findConfigDirectory(const std::string& directory, std::string* config, std::string* root,
                         std::string* error) {
  static const std::vector<std::vector<const char*>> kLayouts = {
      {"Windows", "System32", "config"}, {"System32", "config"}};
  for (const std::vector<const char*>& layout : kLayouts) {
    std::string path = directory;
    bool present = true;
    for (const char* name : layout) {
      if (!findEntry(path, name, EntryKind::kDirectory, &path, error)) {
        if (!error->empty()) return false;
        present = false;
        break;
      }
    }
    if (present) {
      *config = path;
      // A Windows directory may have any name; the root is above it.
      *root = layout.size() == 3 ? rootAbove(directory, {}) : rootAbove(directory + "/..", {});
      return true;
    }
  }
  std::string hive;
  if (findEntry(directory, "SYSTEM", EntryKind::kFile, &hive, error) ||
      (error->empty() && findEntry(directory, "SOFTWARE", EntryKind::kFile, &hive, error))) {
    *config = directory;
    *root = rootAbove(directory, {"Windows", "System32", "config"});
    return true;
  }
  if (!error->empty()) return false;
  *error = "No Windows installation in " + directory +
           ": it has no Windows/System32/config directory and no SYSTEM or SOFTWARE hive";
  return false;
}

bool findHive(const std::string& config, const char* name, std::string* path, std::string* error) {
  if (findEntry(config, name, EntryKind::kFile, path, error)) return true;
  if (error->empty()) *error = std::string("Cannot find registry hive ") + config + "/" + name;
  return false;
}

// Judged as ntfs-3g judges it before it mounts a volume for writing
// (ntfs_volume_check_hiberfile, libntfs-3g/volume.c): hiberfil.sys at the
// root whose first 4096 bytes begin with "hibr" or "HIBR" (fast start-up
// writes the same image), or that is shorter than that. Windows marks an
// image it has resumed from "wake", or leaves zeros, and neither counts.
bool holdsHibernationImage(const char* header, size_t got) {
  return got < kHiberfileHeaderSize || memcmp(header, "hibr", 4) == 0 || memcmp(header, "HIBR", 4) == 0;
}

std::string hibernatedRefusal(const std::string& root) {
  return "Windows on " + root +
         " is hibernated and would resume over any change: start it and shut it down fully "
         "(Shift+Shut down, or shutdown /s /t 0), or turn hibernation and fast start-up off "
         "with powercfg /h off, then try again";
}

std::string unknownHibernationRefusal(const std::string& readError) {
  return readError + ", so whether Windows is hibernated there is unknown; nothing was written";
}

bool isHibernated(const std::string& root, std::string* refusal) {
  std::string file;
  std::string error;
  if (root.empty() || (!findEntry(root, "hiberfil.sys", EntryKind::kFile, &file, &error) && error.empty())) {
    return false;
  }
  char header[kHiberfileHeaderSize];
  ssize_t got = -1;
  int fd = error.empty() ? open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK) : -1;
  if (fd >= 0) {
    got = pread(fd, header, sizeof header, 0);
    if (got < 0) error = "Cannot read " + file + ": " + strerror(errno);
    close(fd);
  } else if (error.empty()) {
    error = "Cannot read " + file + ": " + strerror(errno);
  }
  if (!error.empty()) {
    *refusal = unknownHibernationRefusal(error);
    return true;
  }
  if (!holdsHibernationImage(header, static_cast<size_t>(got))) return false;
  *refusal = hibernatedRefusal(root);
  return true;
}

}  // namespace standin
