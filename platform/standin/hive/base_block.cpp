#include "platform/standin/hive/base_block.h"

#include <string.h>

namespace standin {

BaseBlock parseBaseBlock(const uint8_t* bytes, size_t size) {
  BaseBlock block;
  block.signature = size >= kLogSector && memcmp(bytes, "regf", 4) == 0;
  if (!block.signature) return block;
  block.primarySequence = littleEndian32(bytes + 4);
  block.secondarySequence = littleEndian32(bytes + 8);
  block.written = littleEndian64(bytes + 12);
  block.type = littleEndian32(bytes + 28);
  block.hiveBinsSize = littleEndian32(bytes + 40);
  block.checksumRight = baseBlockChecksum(bytes) == littleEndian32(bytes + kChecksummedBytes);
  block.checksumForHivex = baseBlockXor(bytes) == littleEndian32(bytes + kChecksummedBytes);
  return block;
}

bool isDirty(const BaseBlock& block) {
  return !block.checksumRight || block.primarySequence != block.secondarySequence;
}

bool hiveBinsWhole(const BaseBlock& block, uint64_t fileSize, ReadHiveBytes read, void* context,
                   std::string* damage) {
  const uint64_t kAlignment = 4096;
  uint64_t end = kBaseBlockSize + block.hiveBinsSize;
  if (block.hiveBinsSize == 0 || block.hiveBinsSize % kAlignment != 0) {
    *damage = "its base block gives " + std::to_string(block.hiveBinsSize) +
              " bytes of hive bins, which is no multiple of 4096";
    return false;
  }
  if (end > fileSize) {
    *damage = "its base block gives " + std::to_string(block.hiveBinsSize) + " bytes of hive bins, more than the file holds";
    return false;
  }
  for (uint64_t at = kBaseBlockSize; at < end;) {
    uint8_t header[12];
    if (!read(context, at, header, sizeof header)) {
      *damage = "its hive bin at byte " + std::to_string(at) + " cannot be read";
      return false;
    }
    uint32_t size = littleEndian32(header + 8);
    if (memcmp(header, "hbin", 4) != 0 || littleEndian32(header + 4) != at - kBaseBlockSize || size == 0 ||
        size % kAlignment != 0) {
      *damage = "its hive bin at byte " + std::to_string(at) + " is damaged";
      return false;
    }
    if (at + size > end) {
      *damage = "its hive bins run past the " + std::to_string(block.hiveBinsSize) +
                " bytes its base block gives";
      return false;
    }
    at += size;
  }
  return true;
}

uint32_t baseBlockXor(const uint8_t* block) {
  uint32_t checksum = 0;
  for (size_t i = 0; i < kChecksummedBytes; i += 4) checksum ^= littleEndian32(block + i);
  return checksum;
}

uint32_t baseBlockChecksum(const uint8_t* block) {
  uint32_t checksum = baseBlockXor(block);
  // Windows never stores these two: a sum that comes out as one of them is
  // written as its neighbour.
  if (checksum == 0xFFFFFFFFu) checksum = 0xFFFFFFFEu;
  if (checksum == 0) checksum = 1;
  return checksum;
}

}  // namespace standin
