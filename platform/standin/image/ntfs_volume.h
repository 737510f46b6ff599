// An NTFS volume inside a disk, read and written by libntfs-3g in this
// process, through a window of the disk (volume_window.h): no mount, no
// FUSE, no root. libntfs-3g's own headers (libntfs3g.h) stay out of this
// one, since their types (le32, le64, s64...) clash with common names.
#ifndef NETVANE_PLATFORM_STANDIN_IMAGE_NTFS_VOLUME_H
#define NETVANE_PLATFORM_STANDIN_IMAGE_NTFS_VOLUME_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>

namespace standin {

class Disk;

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
  // volume that silently does not write. What the mount itself would write
  // (the journal reset, say) waits for the first step. Null with `why` and
  // `detail` (a clause) when it cannot be mounted.
  static std::unique_ptr<NtfsVolume> mount(Disk* disk, uint64_t offset, uint64_t size, Mode mode,
                                           NtfsRefusal* why, std::string* detail);
  // A volume that was not unmounted writes nothing more as it goes.
  ~NtfsVolume();
  NtfsVolume(const NtfsVolume&) = delete;
  NtfsVolume& operator=(const NtfsVolume&) = delete;

  // Lets the volume go, writing out what libntfs-3g writes as it does,
  // unless no step was written or one failed: then nothing. False with
  // `detail`.
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
  // Whether the file `name` holds exactly `size` bytes of `data`, read
  // through a mount of its own after what was kept of earlier reads is
  // forgotten: what the disk holds, not what this process remembers of it.
  // False with `detail` when it does not, or cannot be read.
  bool readsBackAs(uint64_t directory, const std::string& name, const uint8_t* data, uint64_t size,
                   std::string* detail);

  // What a change to `file` in `directory` relies on, checked before it is
  // made: the sizes of the file's data agree, and the volume's bitmaps mark
  // as used every cluster and MFT record that the MFT, the directory and its
  // index, and the file use. False with `damage`, a clause, when not.
  bool checkBeforeChange(uint64_t directory, uint64_t file, std::string* damage);
  // The bytes of free clusters, as the volume's bitmap counts them.
  uint64_t freeBytes();

  // Steps. Each reaches the disk whole, in the order VolumeWindow::commit
  // gives, or not at all; after one fails, the volume writes nothing more.
  // Each is false with `detail`.

  // From now on the steps are a rehearsal: each is made on top of the last
  // in memory, and none ever reaches the disk. libntfs-3g can fail in the
  // middle of any of them on a damaged volume; a change is made for real
  // only once all of its steps were made in rehearsal.
  void rehearse();
  bool rehearsing() const;

  // Creates `name` in `directory` with `size` bytes of `data`, and the
  // security descriptor, attributes and creation time of `like`.
  bool create(uint64_t directory, const std::string& name, const NtfsEntry& like, const uint8_t* data,
              uint64_t size, std::string* detail);
  // Gives `file` the further name `name`.
  bool link(uint64_t directory, uint64_t file, const std::string& name, std::string* detail);
  // Removes the name; a file whose last name it was goes with it. True when
  // there was no such name.
  bool unlink(uint64_t directory, const std::string& name, std::string* detail);
  // Removes from the file each name in `directory` that the directory's
  // index does not list: what a run killed between the two halves of a
  // name's step leaves (the file's record written, its index not yet, or
  // the other way round for a removal), and which libntfs-3g cannot add,
  // remove or give a short name beside.
  bool forgetUnindexedNames(uint64_t directory, uint64_t file, std::string* detail);
  // The short (DOS) name of the file named `name`, or "" when it has none.
  std::string shortName(uint64_t directory, const std::string& name);
  // Gives the file named `name` the short name `shortName`; a name that is
  // its own short name becomes one "Win32 & DOS" name, as Windows keeps it.
  bool setShortName(uint64_t directory, const std::string& name, const std::string& shortName,
                    std::string* detail);

 private:
  NtfsVolume() = default;
  bool endStep(bool ok, bool adding, const char* what, std::string* detail);
  struct Mounted;
  std::unique_ptr<Mounted> mounted_;
};

}  // namespace standin

#endif
