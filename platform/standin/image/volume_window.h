// The bytes of one volume of a disk, as libntfs-3g reads and writes them
// through a device of ours: a window that never reaches past the partition
// it was given, and that holds every write of a step until the step is
// done. libntfs-3g has no journal: it changes a volume in several writes,
// in its own order, and leaves them half done when it fails in the middle.
// A step that succeeds goes out whole and in an order that leaves, after a
// kill at any point, only what chkdsk reads as leaked space; a step that
// fails goes out not at all.
#ifndef NETVANE_PLATFORM_STANDIN_IMAGE_VOLUME_WINDOW_H
#define NETVANE_PLATFORM_STANDIN_IMAGE_VOLUME_WINDOW_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace standin {

class Disk;

// What a step does to the names of the volume, which decides the order its
// writes go out in (see commit).
enum class StepKind {
  adding,    // a new file or a new name: what is named goes out before what names it
  removing,  // a name or a file goes: what names it goes out before what it named
};

class VolumeWindow {
 public:
  VolumeWindow(Disk* disk, uint64_t offset, uint64_t size) : disk_(disk), offset_(offset), size_(size) {}

  uint64_t size() const { return size_; }
  bool writable() const;
  // The size of the volume's MFT records, once the volume is mounted: a
  // write of several records is then told apart record by record.
  void setRecordSize(size_t size) { recordSize_ = size; }
  // Bytes that stay as they are for as long as the window holds writes: a
  // write of them (a new file's data, which libntfs-3g writes from the
  // caller's buffer) is held where it is rather than copied.
  void lend(const uint8_t* bytes, size_t size) {
    lent_ = bytes;
    lentSize_ = size;
  }

  // `count` bytes at `at`, as held writes have them; fewer when the window
  // ends sooner. False with errno set.
  bool read(uint64_t at, void* buffer, size_t count, size_t* got);
  // Holds the write until commit(). False (ENOSPC) for bytes past the
  // window's end.
  bool write(uint64_t at, const void* bytes, size_t count);

  // Writes out what the step held, in three groups with a flush after each:
  // for an adding step, first everything that is no MFT record nor index
  // block (a file's data, the bitmaps), then the MFT records of files, then
  // the index blocks and the records of directories; a removing step, the
  // other way round. A kill between two groups leaves at worst a file or
  // clusters that nothing names. False with errno set when any of it could
  // not be written; the window then writes nothing more.
  bool commit(StepKind kind);
  // The step failed: what it held is dropped, and nothing written from now
  // on reaches the disk.
  void fail();
  // A rehearsal: every step is kept back, each on top of the last, and
  // none reaches the disk; commit() only says whether the step was made.
  void rehearse() { rehearsing_ = true; }
  bool rehearsing() const { return rehearsing_; }
  bool failed() const { return failed_; }
  bool holding() const { return !held_.empty(); }

 private:
  enum Group { kOther, kFileRecord, kNaming };
  struct Held {
    uint64_t at;
    std::vector<uint8_t> owned;
    const uint8_t* lent;  // or null, when the bytes are `owned`
    size_t size;
    Group group;
    const uint8_t* data() const { return lent != nullptr ? lent : owned.data(); }
    void keep(const uint8_t* bytes, size_t count, bool lend);
  };
  Group groupOf(const uint8_t* bytes, size_t count) const;
  bool writeGroup(Group group, bool* wrote);

  Disk* disk_;
  uint64_t offset_;
  uint64_t size_;
  size_t recordSize_ = 0;
  const uint8_t* lent_ = nullptr;
  size_t lentSize_ = 0;
  std::vector<Held> held_;  // in the order they were made
  bool failed_ = false;
  bool rehearsing_ = false;
};

}  // namespace standin

#endif
