// Small reads served from whole chunks of a disk read once and kept.
// libntfs-3g reads metadata a record or a block at a time: a hundred
// requests to mount a volume and find a file, each a round trip through
// qemu-nbd that costs milliseconds on a busy machine.
#ifndef NETVANE_PLATFORM_STANDIN_IMAGE_CHUNK_CACHE_H
#define NETVANE_PLATFORM_STANDIN_IMAGE_CHUNK_CACHE_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <map>
#include <vector>

namespace standin {

class ChunkCache {
 public:
  // Reads `size` bytes at `offset` from the disk itself.
  typedef std::function<bool(uint64_t offset, void* buffer, size_t size)> ReadThrough;

  // Reads larger than a chunk's share go straight through, uncached.
  static bool worthCaching(size_t count);

  // `count` bytes at `offset` of a disk of `diskSize` bytes; false with
  // errno set when a chunk cannot be read.
  bool read(uint64_t offset, void* buffer, size_t count, uint64_t diskSize, const ReadThrough& through);
  // What reached the disk, into the chunks that hold those bytes.
  void wrote(uint64_t offset, const void* bytes, size_t count);
  // Bytes that may or may not have reached the disk: their chunks go.
  void drop(uint64_t offset, size_t count);
  void clear() { chunks_.clear(); }

 private:
  struct Chunk {
    std::vector<uint8_t> data;
    uint64_t used;  // when it was last read, for keeping the most recent
  };
  std::map<uint64_t, Chunk> chunks_;
  uint64_t uses_ = 0;
};

}  // namespace standin

#endif
