// The partition table of a disk image or device, read through a function
// that reads the disk's bytes, so that it needs neither a file nor a mount.
// Everything here comes from the disk, which the user may have been handed
// by anyone: each field is checked against the disk's size before use.
#ifndef NETVANE_PLATFORM_STANDIN_IMAGE_PARTITION_TABLE_H
#define NETVANE_PLATFORM_STANDIN_IMAGE_PARTITION_TABLE_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace standin {

// Reads `size` bytes at `offset` into `buffer`; false when they cannot be
// read. The reader is never asked for bytes past the disk's size.
typedef std::function<bool(uint64_t offset, void* buffer, size_t size)> ReadDisk;

// What a partition holds, told from its type in the table and from its
// volume's boot sector.
enum class VolumeKind {
  ntfs,           // "NTFS    " boot sector
  bitlocker,      // "-FVE-FS-" boot sector
  fat,            // FAT12/16/32 or exFAT
  refs,           // ReFS
  storageSpaces,  // a Storage Spaces member (GPT type E75CAF8F-...)
  dynamicDisk,    // LDM metadata or data (GPT types 5808C8AA-..., AF9B60A0-...; MBR type 0x42)
  unknown,
};

struct Partition {
  // As the table numbers it, which is how a user names it (NETVANE_PARTITION):
  // a GPT entry's index + 1; an MBR's primaries 1 to 4 by slot, its logical
  // partitions 5, 6, ... in the order of the extended chain (as Linux numbers
  // them); 0 for a disk that holds one volume and no table.
  unsigned number = 0;
  uint64_t offset = 0;  // bytes from the start of the disk
  uint64_t size = 0;    // bytes; offset + size never passes the disk's end
  VolumeKind kind = VolumeKind::unknown;
};

struct PartitionTable {
  // "GPT", "MBR", or "" for a disk that is one volume without a table.
  std::string scheme;
  // In the order of their numbers. Empty entries, extended-partition
  // containers and partitions that do not fit in the disk are not listed.
  std::vector<Partition> partitions;
  // Empty, or one line for standard error about something the reader worked
  // around, e.g. a damaged primary GPT header replaced by the backup.
  std::string warning;
  // The partitions left out because they run past the disk's end: the
  // disk, or more likely its image, is cut short.
  std::vector<unsigned> pastEnd;
};

// Reads the table of a disk of `diskSize` bytes. False with one line in
// `error` (that does not name the disk: it reads after the disk's name and a
// colon) when the disk holds no table and no volume it can tell, a table that
// is damaged beyond use, or when a read fails. A partition that does not fit
// in the disk is left out of the list and named in `warning`.
bool readPartitionTable(const ReadDisk& read, uint64_t diskSize, PartitionTable* table, std::string* error);

// The kind as a user reads it in a line: "NTFS", "BitLocker", "FAT", "ReFS",
// "Storage Spaces", "dynamic disk", "unknown".
const char* volumeKindName(VolumeKind kind);

}  // namespace standin

#endif
