// Where an offline installation's hive files are: a directory on a mounted
// volume, or a volume inside a disk image. The hive store reads and writes
// the hives only through this, so that every promise it keeps (the replay of
// the logs, the hibernation rule, the refusals, a hive changed under the run)
// holds wherever the files are.
#ifndef NETVANE_PLATFORM_STANDIN_HIVE_HIVE_FILES_H
#define NETVANE_PLATFORM_STANDIN_HIVE_HIVE_FILES_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/standin/files/store_file.h"
#include "platform/standin/hive/dirty_hive.h"
#include "platform/standin/registry_store.h"

namespace standin {

// Fills the file at `path` with the new hive; false with one line in `error`.
typedef std::function<bool(const std::string& path, std::string* error)> WriteHive;

// One hive of a commit, and what writes its new version.
struct HiveWrite {
  const LockedFile* hive;
  WriteHive write;
};

class HiveFiles {
 public:
  virtual ~HiveFiles() = default;

  // Opens hive `name` ("SYSTEM", "SOFTWARE") to read: `file->fd` reads it,
  // `file->path` names it in messages and `file->opened` holds its size.
  // False with one line in `error`.
  virtual bool openHive(const char* name, LockedFile* file, std::string* error) = 0;
  // Opens the transaction log `logName` beside `hive` to read: `shown` names
  // it in messages, `fd` is the caller's to close. False when there is none,
  // with `error` set only when that could not be told or the log is there
  // but cannot be read.
  virtual bool findLog(const LockedFile& hive, const std::string& logName, std::string* shown, int* fd,
                       std::string* error) = 0;
  // Why no hive of the installation may be changed, or "": Windows is
  // hibernated there and would resume over any change.
  virtual const std::string& refusal() const = 0;
  // False with one line in `error` when the hive or its logs are no longer
  // as they were read.
  virtual bool unchanged(const LockedFile& hive, const UpToDate& logs, std::string* error) = 0;
  // Before the run's first change: keeps other runs from changing the hives
  // until this one ends, and checks that they are still as they were read.
  // False with one line in `error`; `replaced` says whether another run
  // replaced them since.
  virtual bool lockForChange(LockedFile* system, LockedFile* software, std::string* error, bool* replaced) = 0;
  // Replaces each hive with what its `write` puts at the path it is given,
  // so that an interruption leaves each the old hive or the new one, all of
  // them the one or the other as far as the files allow. False with one
  // line in `error`, and then the hives are as they were, as far as that.
  virtual bool commit(const std::vector<HiveWrite>& writes, std::string* error) = 0;
};

// The installation below `directory` (its volume root, Windows directory or
// config directory). False with one line in `error`.
std::unique_ptr<HiveFiles> openInstallationDirectory(const std::string& directory, std::string* error);

// The hive store on `files`, as openHiveStore opens it on a directory.
std::unique_ptr<RegistryStore> openHiveStoreOn(std::unique_ptr<HiveFiles> files, bool forChange, std::string* error);

}  // namespace standin

#endif
