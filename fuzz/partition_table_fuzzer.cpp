// Arbitrary bytes as a disk. Whatever the disk, the reader asks for no byte
// past its end, and gives one line of error or a table whose partitions lie
// inside the disk in the order of their numbers.
//
// The input: the disk's size (8 bytes, little-endian); an offset past which
// every read fails, or 0 for none (4 bytes); the length of the tail (2
// bytes); then the disk's first bytes and its tail, which ends at the disk's
// end. The rest of the disk reads as zeros, so that small inputs reach both
// ends of a large disk. The seeds are such disks that sfdisk, fdisk (for
// 4096-byte sectors) and mkntfs made: the first 12 KiB and the last sectors
// of a GPT disk, whole, with its primary header damaged, and with reads that
// fail past byte 1100; of an MBR disk with logical partitions; and of one
// NTFS volume without a table.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "platform/standin/image/partition_table.h"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "partition_table_fuzzer: %s\n", what);
    abort();
  }
}

uint64_t number(const uint8_t* bytes, int count) {
  uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 14) return 0;
  const uint64_t diskSize = number(data, 8);
  const uint64_t failAt = number(data + 8, 4);
  const size_t tailSize = std::min<size_t>(number(data + 12, 2), size - 14);
  const uint8_t* head = data + 14;
  const size_t headSize = size - 14 - tailSize;
  // A tail longer than the disk shows its last bytes only.
  const size_t tailShown = static_cast<size_t>(std::min<uint64_t>(tailSize, diskSize));
  const uint8_t* tail = head + headSize + (tailSize - tailShown);
  const uint64_t tailAt = diskSize - tailShown;

  standin::ReadDisk read = [&](uint64_t offset, void* buffer, size_t count) {
    check(offset <= diskSize && count <= diskSize - offset, "a read past the disk's end");
    if (failAt != 0 && offset + count > failAt) return false;
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    for (size_t i = 0; i < count; ++i) {
      const uint64_t at = offset + i;
      bytes[i] = at < headSize ? head[at] : at >= tailAt ? tail[at - tailAt] : 0;
    }
    return true;
  };
  standin::PartitionTable table;
  std::string error;
  if (!standin::readPartitionTable(read, diskSize, &table, &error)) {
    check(!error.empty() && error.find('\n') == std::string::npos, "an error is one line");
    return 0;
  }
  check(table.warning.find('\n') == std::string::npos, "a warning is one line");
  check(table.scheme == "GPT" || table.scheme == "MBR" || table.partitions.size() == 1, "a bare volume is one");
  unsigned previous = 0;
  for (const standin::Partition& partition : table.partitions) {
    check(partition.offset <= diskSize && partition.size <= diskSize - partition.offset, "inside the disk");
    check(partition.size > 0 && (partition.number > previous || table.scheme.empty()), "numbers in order");
    check(table.scheme.empty() == (partition.number == 0), "number 0 for a bare volume only");
    check(strlen(standin::volumeKindName(partition.kind)) > 0, "a kind with a name");
    previous = partition.number;
  }
  return 0;
}
