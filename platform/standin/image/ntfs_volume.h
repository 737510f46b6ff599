// An NTFS volume inside a disk, read and written by libntfs-3g in this
// process, through a device whose reads and writes go to the disk at the
// volume's offset: no mount, no FUSE, no root. libntfs-3g's own headers stay
// in ntfs_volume.cpp, since their types (le32, le64, s64...) clash with
// common names.
#ifndef NETVANE_PLATFORM_STANDIN_IMAGE_NTFS_VOLUME_H
#define NETVANE_PLATFORM_STANDIN_IMAGE_NTFS_VOLUME_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>

namespace standin {

class NbdDisk;

// A file as it was found: a run writes a hive only if it still is.
struct NtfsStamp {
  uint64_t reference = 0;  // MFT record number and sequence number
  uint64_t size = 0;
  int64_t modified = 0;  // its data's and its record's change times
  int64_t changed = 0;
  bool operator==(const NtfsStamp& other) const {
    return reference == other.reference && size == other.size && modified == other.modified &&
           changed == other.changed;
  }
  bool operator!=(const NtfsStamp& other) const { return !(*this == other); }
};

struct NtfsEntry {
  std::string name;  // as spelled on the volume
  NtfsStamp stamp;
};

// Why libntfs-3g would not mount a volume for writing.
enum class NtfsRefusal { none, hibernated, unclean, damaged };

// What the volume's journal ($LogFile) says, judged as libntfs-3g judges it
// before a read-write mount (ntfs_volume_check_logfile).
enum class NtfsJournal { clean, unclean, fastStartUp };

class NtfsVolume {
 public:
  enum class Mode {
    read,
    write,
    // The user's choice: the journal's pending changes are thrown away, as
    // ntfs-3g's `recover` mount does.
    writeResettingJournal,
  };

  // Mounts the volume of `size` bytes at `offset` of `disk`. Never with
  // libntfs-3g's NTFS_MNT_IGNORE_HIBERFILE or NTFS_MNT_MAY_RDONLY: the first
  // writes over a hibernated system, the second turns the refusal into a
  // volume that silently does not write. Null with `why` and `detail` (a
  // clause) when it cannot be mounted.
  static std::unique_ptr<NtfsVolume> mount(NbdDisk* disk, uint64_t offset, uint64_t size, Mode mode,
                                           NtfsRefusal* why, std::string* detail);
  ~NtfsVolume();
  NtfsVolume(const NtfsVolume&) = delete;
  NtfsVolume& operator=(const NtfsVolume&) = delete;

  // Writes out what is pending and lets the volume go. False with `detail`.
  bool unmount(std::string* detail);

  NtfsJournal journal();
  // Windows or chkdsk marked the volume for a check (VOLUME_IS_DIRTY).
  bool markedDirty() const;

  // The entry `name` in the directory `directory` (a reference; 0 for the
  // root), matched without regard to case, a directory or a file as asked.
  // False when there is none, with `detail` set only when that could not
  // be told.
  bool find(uint64_t directory, const std::string& name, bool wantDirectory, NtfsEntry* found,
            std::string* detail);
  // `count` bytes of the file's data at `offset`; fewer when it ends sooner.
  bool read(uint64_t file, uint64_t offset, void* buffer, size_t count, size_t* got, std::string* detail);

  // Replacing a file goes through two names beside it: the new file is
  // written whole as NAME.netvane-new, the old one given NAME.netvane-old,
  // NAME moved from the old to the new, and the two extra names removed.
  // A run interrupted on the way leaves some of them.
  struct Replacement {
    bool left = false;  // an interrupted replacement left names behind
    bool finishing = false;  // the new file is the one to keep, else the old
    NtfsEntry current;  // the file that holds NAME's content now
  };
  // What an interrupted replacement of `name` in `directory` left; `current`
  // is found (left or not) unless false is returned, with `detail` set only
  // when that could not be told.
  bool inspect(uint64_t directory, const std::string& name, Replacement* found, std::string* detail);
  // Finishes or undoes it (inspect says which); a name that NAME is given
  // back gets `shortName` as its short name, or itself when it is one.
  // False with `detail`.
  bool settle(uint64_t directory, const std::string& name, const std::string& shortName, std::string* detail);
  // Replaces the file `name` (found as `old`) with `size` bytes of `data`,
  // keeping its security descriptor, attributes, creation time and short
  // name. False with `detail`.
  bool replace(uint64_t directory, const NtfsEntry& old, const uint8_t* data, uint64_t size, std::string* detail);

 private:
  NtfsVolume() = default;
  // Gives `file` the further name `name`; removes the name `name` (a file
  // whose last name it was goes with it). Each flushed, unless told not to.
  bool link(uint64_t directory, uint64_t file, const std::string& name);
  bool unlink(uint64_t directory, const std::string& name, bool flush = true);
  struct Mounted;
  std::unique_ptr<Mounted> mounted_;
};

}  // namespace standin

#endif
