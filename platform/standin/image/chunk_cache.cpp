#include "platform/standin/image/chunk_cache.h"

#include <string.h>

namespace standin {

namespace {

const uint64_t kChunk = 256 << 10;
const size_t kChunksKept = 32;
const size_t kSmallRead = 64 << 10;

}  // namespace

bool ChunkCache::worthCaching(size_t count) { return count <= kSmallRead; }

bool ChunkCache::read(uint64_t offset, void* buffer, size_t count, uint64_t diskSize, const ReadThrough& through) {
  uint8_t* bytes = static_cast<uint8_t*>(buffer);
  while (count > 0) {
    uint64_t index = offset / kChunk;
    std::map<uint64_t, Chunk>::iterator chunk = chunks_.find(index);
    if (chunk == chunks_.end()) {
      if (chunks_.size() >= kChunksKept) {
        std::map<uint64_t, Chunk>::iterator oldest = chunks_.begin();
        for (std::map<uint64_t, Chunk>::iterator it = chunks_.begin(); it != chunks_.end(); ++it) {
          if (it->second.used < oldest->second.used) oldest = it;
        }
        chunks_.erase(oldest);
      }
      uint64_t start = index * kChunk;
      std::vector<uint8_t> data(static_cast<size_t>(diskSize - start < kChunk ? diskSize - start : kChunk));
      if (!through(start, data.data(), data.size())) return false;
      chunk = chunks_.insert({index, Chunk{std::move(data), 0}}).first;
    }
    chunk->second.used = ++uses_;
    size_t at = static_cast<size_t>(offset - index * kChunk);
    if (at >= chunk->second.data.size()) return false;
    size_t piece = count < chunk->second.data.size() - at ? count : chunk->second.data.size() - at;
    memcpy(bytes, chunk->second.data.data() + at, piece);
    bytes += piece;
    offset += piece;
    count -= piece;
  }
  return true;
}

void ChunkCache::wrote(uint64_t offset, const void* written, size_t count) {
  const uint8_t* bytes = static_cast<const uint8_t*>(written);
  for (std::map<uint64_t, Chunk>::value_type& chunk : chunks_) {
    uint64_t start = chunk.first * kChunk, end = start + chunk.second.data.size();
    if (offset >= end || offset + count <= start) continue;
    uint64_t from = offset > start ? offset : start, to = offset + count < end ? offset + count : end;
    memcpy(chunk.second.data.data() + (from - start), bytes + (from - offset), static_cast<size_t>(to - from));
  }
}

void ChunkCache::drop(uint64_t offset, size_t count) {
  for (std::map<uint64_t, Chunk>::iterator it = chunks_.begin(); it != chunks_.end();) {
    uint64_t start = it->first * kChunk, end = start + it->second.data.size();
    if (offset < end && start < offset + count) {
      it = chunks_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace standin
