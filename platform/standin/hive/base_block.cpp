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
