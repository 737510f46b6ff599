// A disk image or block device as a run reads and writes it: a raw one
// directly (direct_disk.cpp), any other format through a private qemu-nbd
// (nbd_disk.cpp). Either way the run holds the image's lock the way qemu
// holds it, so that a virtual machine, another qemu program or another run
// sees it: a listing for as long as it reads, a configure run from its first
// read to its last write.
#ifndef NETVANE_PLATFORM_STANDIN_IMAGE_DISK_H
#define NETVANE_PLATFORM_STANDIN_IMAGE_DISK_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

namespace standin {

// Why a disk could not be opened.
enum class DiskFailure {
  none,
  inUse,      // another program holds the image's lock
  busy,       // a block device that the kernel keeps (a mounted partition), or another run holds
  readOnly,   // the image, a device or a file of its backing chain cannot be written
  noQemuNbd,  // qemu-nbd is not installed
  other,      // `detail` says what went wrong
};

// A file that an image names and netvane has checked (image_chain.h):
// qemu opens it by this path and in this format, never by the name in the
// header that names it.
struct BackingFile {
  std::string path;
  std::string format;
  std::string dataFile;  // its qcow2 external data file, or empty
};

struct DiskRequest {
  std::string path;
  const char* format = "raw";  // qemu's name of the format
  bool device = false;         // a block device, not a file
  bool writable = false;
  // Reads an image that another program holds for writing, taking no lock.
  bool forceShare = false;
  std::string dataFile;  // the image's qcow2 external data file, or empty
  // Its backing file, that one's backing file, and so on: opened read-only,
  // and the last with no backing file, whatever its header says.
  std::vector<BackingFile> backing;
};

class Disk {
 public:
  virtual ~Disk() = default;
  Disk(const Disk&) = delete;
  Disk& operator=(const Disk&) = delete;

  uint64_t size() const { return size_; }
  bool writable() const { return writable_; }

  // False with errno set; never past size().
  virtual bool read(uint64_t offset, void* buffer, size_t count) = 0;
  // Pieces that do not overlap, written in any order: only flush() orders
  // them against later ones. False with errno set, and then any of them may
  // or may not have been written.
  struct Piece {
    uint64_t offset;
    const void* bytes;
    size_t size;
  };
  virtual bool write(const std::vector<Piece>& pieces) = 0;
  // What was written is on the image once this returns true.
  virtual bool flush() = 0;
  // Forgets whatever was kept of earlier reads: the next read is the image's.
  virtual void forget() {}
  // Lets the image go. False when what was written may not all have reached
  // it, with `detail` saying why.
  virtual bool close(std::string* detail) = 0;

 protected:
  Disk() = default;
  uint64_t size_ = 0;
  bool writable_ = false;
};

// Opens the disk. Null with `failure` and `detail`, a clause that says why.
std::unique_ptr<Disk> openDisk(const DiskRequest& request, DiskFailure* failure, std::string* detail);

// direct_disk.cpp and nbd_disk.cpp
std::unique_ptr<Disk> openDirectDisk(const DiskRequest& request, DiskFailure* failure, std::string* detail);
std::unique_ptr<Disk> openNbdDisk(const DiskRequest& request, DiskFailure* failure, std::string* detail);

}  // namespace standin

#endif
