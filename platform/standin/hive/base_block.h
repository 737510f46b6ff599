// The base block of a registry hive file, as msuhanov/regf's description of
// the Windows registry file format lays it out ("Base block"): what it says,
// apart from what a store or a replay does about it. A transaction log keeps
// a copy of its first sector, which reads the same way.
#ifndef NETVANE_PLATFORM_STANDIN_HIVE_BASE_BLOCK_H
#define NETVANE_PLATFORM_STANDIN_HIVE_BASE_BLOCK_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace standin {

const size_t kBaseBlockSize = 4096;
// "Format of transaction log files": a log keeps the first sector of the
// base block, and its dirty vector or its log entries start at the second.
const size_t kLogSector = 512;
const size_t kChecksummedBytes = 508;

struct BaseBlock {
  bool signature = false;  // at least a sector that begins with "regf"
  uint32_t primarySequence = 0;
  uint32_t secondarySequence = 0;
  uint64_t written = 0;       // the last written timestamp
  uint32_t type = 0;          // 0 a primary file, 1 or 2 an old log, 6 a new one
  uint32_t hiveBinsSize = 0;  // the bytes of hive bins that follow the base block
  bool checksumRight = false;
  // The stored checksum is the plain XOR, the only one hivex 1.3.23 accepts;
  // Windows stores another for an XOR of 0 or 0xFFFFFFFF.
  bool checksumForHivex = false;
};

// `size` bytes from the start of the file or log; a block that is not
// even a sector long has no signature.
BaseBlock parseBaseBlock(const uint8_t* bytes, size_t size);

// "Dirty state of a hive": the sequence numbers differ, or the checksum is wrong.
bool isDirty(const BaseBlock& block);

// The checksum a base block's first 508 bytes call for ("Base block", note 2),
// as Windows stores it: never 0 nor 0xFFFFFFFF.
uint32_t baseBlockChecksum(const uint8_t* block);

// The plain XOR of the first 508 bytes, which hivex writes and requires.
uint32_t baseBlockXor(const uint8_t* block);

// Reads `size` bytes at `offset` of a hive file; false when they cannot be read.
typedef bool (*ReadHiveBytes)(void* context, uint64_t offset, void* buffer, size_t size);

// Whether the hive bins of a hive file of `fileSize` bytes, whose base
// block is `block`, are as the base block says ("Base block", "Hive bin"):
// a hive-bins size that is a multiple of 4096 and that the file holds, and
// bins, each with its signature, its own offset and a size that is a
// multiple of 4096, that end exactly there. False with `damage`, a clause.
bool hiveBinsWhole(const BaseBlock& block, uint64_t fileSize, ReadHiveBytes read, void* context,
                   std::string* damage);

// Every number in a hive and its logs is little-endian.
inline uint32_t littleEndian32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

inline uint64_t littleEndian64(const uint8_t* bytes) {
  return static_cast<uint64_t>(littleEndian32(bytes)) | static_cast<uint64_t>(littleEndian32(bytes + 4)) << 32;
}

inline void putLittleEndian32(uint8_t* bytes, uint32_t number) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(number >> (8 * i));
}

inline void putLittleEndian64(uint8_t* bytes, uint64_t number) {
  putLittleEndian32(bytes, static_cast<uint32_t>(number));
  putLittleEndian32(bytes + 4, static_cast<uint32_t>(number >> 32));
}

}  // namespace standin

#endif
