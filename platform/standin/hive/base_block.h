// The base block of a registry hive file, as the Windows registry file format
// specification lays it out (msuhanov/regf, "Base block"): what it says,
// apart from what a store does about it.
#ifndef NETVANE_PLATFORM_STANDIN_HIVE_BASE_BLOCK_H
#define NETVANE_PLATFORM_STANDIN_HIVE_BASE_BLOCK_H

#include <stddef.h>
#include <stdint.h>

namespace standin {

const size_t kBaseBlockSize = 4096;

struct BaseBlock {
  bool signature = false;  // a whole block that begins with "regf"
  uint32_t primarySequence = 0;
  uint32_t secondarySequence = 0;
  bool checksumRight = false;
  uint32_t hiveBinsSize = 0;  // the bytes of hive bins that follow the base block
};

// `size` bytes from the start of the file, fewer than a block when it is shorter.
BaseBlock parseBaseBlock(const uint8_t* bytes, size_t size);

// "Dirty state of a hive": the sequence numbers differ, or the checksum is wrong.
bool isDirty(const BaseBlock& block);

}  // namespace standin

#endif
