#include "platform/standin/hive/installation.h"

#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

namespace standin {

bool findEntry(const std::string& directory, const char* name, bool wantDirectory,
               std::string* found, std::string* error) {
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
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
      if (errno != ENOENT) {
        *error = "Cannot read " + path + ": " + strerror(errno);
        return false;
      }
      continue;
    }
    if (wantDirectory ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode)) {
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

bool findConfigDirectory(const std::string& directory, std::string* config, std::string* error) {
  static const std::vector<std::vector<const char*>> kLayouts = {
      {"Windows", "System32", "config"}, {"System32", "config"}};
  for (const std::vector<const char*>& layout : kLayouts) {
    std::string path = directory;
    bool present = true;
    for (const char* name : layout) {
      if (!findEntry(path, name, true, &path, error)) {
        if (!error->empty()) return false;
        present = false;
        break;
      }
    }
    if (present) {
      *config = path;
      return true;
    }
  }
  std::string hive;
  if (findEntry(directory, "SYSTEM", false, &hive, error) ||
      (error->empty() && findEntry(directory, "SOFTWARE", false, &hive, error))) {
    *config = directory;
    return true;
  }
  if (!error->empty()) return false;
  *error = "No Windows installation in " + directory +
           ": it has no Windows/System32/config directory and no SYSTEM or SOFTWARE hive";
  return false;
}

bool findHive(const std::string& config, const char* name, std::string* path, std::string* error) {
  if (findEntry(config, name, false, path, error)) return true;
  if (error->empty()) *error = std::string("Cannot find registry hive ") + config + "/" + name;
  return false;
}

}  // namespace standin
