#include "platform/standin/hive/base_block.h"

#include <string.h>

namespace standin {

namespace {

const size_t kChecksummedBytes = 508;

uint32_t littleEndian32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

}  // namespace

BaseBlock parseBaseBlock(const uint8_t* bytes, size_t size) {
  BaseBlock block;
  block.signature = size >= kBaseBlockSize && memcmp(bytes, "regf", 4) == 0;
  if (!block.signature) return block;
  block.primarySequence = littleEndian32(bytes + 4);
  block.secondarySequence = littleEndian32(bytes + 8);
  block.hiveBinsSize = littleEndian32(bytes + 40);
  // XOR-32 of the first 508 bytes, where 0xFFFFFFFF is stored as 0xFFFFFFFE
  // and 0 as 1 ("Base block", Checksum).
  uint32_t checksum = 0;
  for (size_t i = 0; i < kChecksummedBytes; i += 4) checksum ^= littleEndian32(bytes + i);
  if (checksum == 0xFFFFFFFFu) checksum = 0xFFFFFFFEu;
  if (checksum == 0) checksum = 1;
  block.checksumRight = checksum == littleEndian32(bytes + kChecksummedBytes);
  return block;
}

bool isDirty(const BaseBlock& block) {
  return !block.checksumRight || block.primarySequence != block.secondarySequence;
}

}  // namespace standin
