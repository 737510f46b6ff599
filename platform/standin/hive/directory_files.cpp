// An installation's hives as a mounted volume shows them: files locked
// beside themselves and replaced by a rename.
#include "platform/standin/hive/dirty_hive.h"
#include "platform/standin/hive/hive_files.h"
#include "platform/standin/hive/installation.h"

namespace standin {

namespace {

class DirectoryFiles : public HiveFiles {
 public:
  bool open(const std::string& directory, std::string* error) {
    std::string root;
    if (!findConfigDirectory(directory, &config_, &root, error)) return false;
    isHibernated(root, &hibernated_);
    return true;
  }

  bool openHive(const char* name, LockedFile* file, std::string* error) override {
    std::string path;
    return findHive(config_, name, &path, error) && openStoreFile(path, "registry hive", file, error);
  }

  bool findLog(const LockedFile& hive, const std::string& logName, std::string* shown, int* fd,
               std::string* error) override {
    std::string::size_type slash = hive.path.rfind('/');
    std::string directory = slash == 0 ? "/" : hive.path.substr(0, slash);
    // Whatever has the name, which is read or refused: a log taken for
    // absent would lose its entries to the hive.
    return findEntry(directory, logName.c_str(), EntryKind::kAny, shown, error) && openLogFile(*shown, fd, error);
  }

  const std::string& refusal() const override { return hibernated_; }

  bool unchanged(const LockedFile& hive, const UpToDate& logs, std::string* error) override {
    return checkUnchanged(hive, error) && logsUnchanged(logs, error);
  }

  bool lockForChange(LockedFile* system, LockedFile* software, std::string* error, bool* replaced) override {
    return standin::lockForChange({system, software}, error, replaced);
  }

  // Each hive is renamed over its file in turn: a run killed between two
  // renames leaves the first hive new and the second old.
  bool commit(const std::vector<HiveWrite>& writes, std::string* error) override {
    for (const HiveWrite& write : writes) {
      const WriteHive& fill = write.write;
      bool replaced = replaceFileAtomically(
          *write.hive,
          [&fill](int, const std::string& tempPath, std::string* writeError) { return fill(tempPath, writeError); },
          error);
      if (!replaced) return false;
    }
    return true;
  }

 private:
  std::string config_;
  std::string hibernated_;
};

}  // namespace

std::unique_ptr<HiveFiles> openInstallationDirectory(const std::string& directory, std::string* error) {
  std::unique_ptr<DirectoryFiles> files(new DirectoryFiles());
  if (!files->open(withoutTrailingSlashes(directory), error)) return nullptr;
  return std::unique_ptr<HiveFiles>(files.release());
}

}  // namespace standin
