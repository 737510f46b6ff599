// A disk image or block device read and written through qemu's block layer:
// a private qemu-nbd, started for the run on a socket that only this process
// holds, and libnbd. qemu reads every image format, takes the image's locks
// (in place of the lock files a directory gets), and parses the untrusted
// image in its own process.
#ifndef NETVANE_PLATFORM_STANDIN_IMAGE_NBD_DISK_H
#define NETVANE_PLATFORM_STANDIN_IMAGE_NBD_DISK_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

struct nbd_handle;

namespace standin {

// Why qemu-nbd did not serve the disk.
enum class DiskFailure {
  none,
  inUse,      // another program holds the image's lock
  readOnly,   // the image, a device or a file of its backing chain cannot be written
  noQemuNbd,  // qemu-nbd is not installed
  other,      // `detail` says what qemu-nbd said
};

class NbdDisk {
 public:
  NbdDisk() = default;
  NbdDisk(const NbdDisk&) = delete;
  NbdDisk& operator=(const NbdDisk&) = delete;
  ~NbdDisk();

  // Serves `path`, a `format` image (qemu's name), or a block device when
  // `device`, for reading or for writing too. `forceShare` reads an image
  // that another program holds for writing. False with `failure` and
  // `detail`, a clause that says why.
  bool open(const std::string& path, const char* format, bool device, bool writable, bool forceShare,
            DiskFailure* failure, std::string* detail);
  bool isOpen() const { return handle_ != nullptr; }
  uint64_t size() const { return size_; }
  bool writable() const { return writable_; }

  // False with errno set; never past size().
  bool read(uint64_t offset, void* buffer, size_t count);
  bool write(uint64_t offset, const void* buffer, size_t count);
  // Several writes of up to 4 MiB each, sent before any is waited for.
  struct Piece {
    uint64_t offset;
    const void* bytes;
    size_t size;
  };
  bool write(const std::vector<Piece>& pieces);
  bool flush();

  // Flushes what was written, disconnects and waits until qemu-nbd has
  // exited (it writes out its cache as it ends). False when the flush or
  // qemu-nbd's end failed, with `detail` saying why.
  bool close(std::string* detail);

 private:
  bool transfer(bool reading, uint64_t offset, uint8_t* bytes, size_t count);
  // What was written, into the chunks kept for reading.
  void keep(uint64_t offset, const uint8_t* bytes, size_t count);
  // Closes the lifeline, so that the keeper ends qemu-nbd, and waits for it.
  void endKeeper(int* status);

  struct Chunk {
    std::vector<uint8_t> data;
    uint64_t used;  // when it was last read, for keeping the most recent
  };
  std::map<uint64_t, Chunk> chunks_;
  uint64_t uses_ = 0;

  nbd_handle* handle_ = nullptr;
  int direct_ = -1;  // a raw image or device, read and written here
  pid_t server_ = -1;   // qemu-nbd's keeper (nbd_disk.cpp)
  int lifeline_ = -1;   // its end of the pipe the keeper watches
  int messages_ = -1;  // qemu-nbd's standard error, kept in memory
  uint64_t size_ = 0;
  bool writable_ = false;
};

// While the disk is being written, a signal that would end the run is held
// back until the volume is closed: the run then ends as the signal asks,
// with its change whole. Otherwise such a signal ends qemu-nbd with the run.
class HoldSignals {
 public:
  HoldSignals();
  ~HoldSignals();
  HoldSignals(const HoldSignals&) = delete;
  HoldSignals& operator=(const HoldSignals&) = delete;
};

}  // namespace standin

#endif
