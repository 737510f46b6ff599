#include "platform/standin/hive/base_block.h"

#include <string.h>

#include "platform/standin/hive/hive_logs.h"

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
  block.checksumRight = baseBlockChecksum(bytes) == littleEndian32(bytes + kChecksummedBytes);
  return block;
}

bool isDirty(const BaseBlock& block) {
  return !block.checksumRight || block.primarySequence != block.secondarySequence;
}

}  // namespace standin
