// The partition table of a disk: a GPT as UEFI lays it out ("GUID Partition
// Table (GPT) Disk Layout"), an MBR with its chain of extended boot records
// as DOS and Windows write it, or no table for a disk that is one volume.
// Every number comes from the disk and is checked before it becomes an offset
// or a size; the reader is never asked for a byte past the disk's end.
#include "platform/standin/image/partition_table.h"

#include <string.h>

#include <algorithm>

#include "platform/standin/hive/base_block.h"

namespace standin {

namespace {

// An MBR, an extended boot record and the part of a boot sector that names
// its file system take 512 bytes whatever the disk's sector size.
const uint64_t kSector = 512;
// A GPT names its sector size nowhere: the header is looked for at LBA 1 of
// disks with 512-byte sectors, then of those with 4096-byte ones (4Kn).
const uint64_t kGptSectorSizes[] = {512, 4096};
// Windows writes 128 entries of 128 bytes; this is room for 8192 of them,
// and bounds what a hostile header can make us read.
const uint64_t kLargestEntryArray = 1 << 20;
const uint32_t kLargestEntry = 4096;
// Linux numbers at most 256 partitions; a chain of extended boot records
// longer than that is a loop or garbage.
const unsigned kMostExtendedRecords = 256;
// A hostile table can be wrong in every entry; its first faults are enough.
const size_t kLongestWarning = 300;

const char kStorageSpaces[] = "E75CAF8F-F680-4CEE-AFA3-B001E56EFC2D";
const char kLdmMetadata[] = "5808C8AA-7E8F-42E0-85D2-E1E90434CFB3";
const char kLdmData[] = "AF9B60A0-1431-4F62-BC68-3311714A69AD";
const uint8_t kMbrDynamicDisk = 0x42;
const uint8_t kMbrProtective = 0xEE;

// The disk, with the first read that failed. A read past the end is refused
// here without asking the reader, and is not a failure of the disk.
struct Disk {
  const ReadDisk& read;
  uint64_t size;
  bool failed = false;
  uint64_t failedAt = 0;

  bool at(uint64_t offset, void* buffer, size_t count) {
    if (failed || offset > size || count > size - offset) return false;
    if (read(offset, buffer, count)) return true;
    failed = true;
    failedAt = offset;
    return false;
  }
};

void note(PartitionTable* table, const std::string& text) {
  std::string& line = table->warning;
  if (line.size() >= kLongestWarning) return;
  line += (line.empty() ? "" : "; ") + text;
}

bool has(const uint8_t* sector, size_t at, const char* text, size_t length) {
  return memcmp(sector + at, text, length) == 0;
}

// What a volume's boot sector says it holds, or unknown; an MBR is unknown,
// although it too ends in 0x55AA.
VolumeKind bootSectorKind(const uint8_t* sector) {
  // ReFS starts with three zero bytes where the others jump over their BPB.
  if (has(sector, 0, "\0\0\0ReFS\0\0\0\0", 11)) return VolumeKind::refs;
  // Every other volume starts with that jump (EB xx 90, or E9 xx xx), then
  // its OEM id; a FAT names its type further on. An MBR's code may start
  // with a jump too (GRUB's does): the names decide.
  if (sector[0] != 0xEB && sector[0] != 0xE9) return VolumeKind::unknown;
  if (has(sector, 3, "NTFS    ", 8)) return VolumeKind::ntfs;
  if (has(sector, 3, "-FVE-FS-", 8)) return VolumeKind::bitlocker;
  if (has(sector, 3, "EXFAT   ", 8) || has(sector, 54, "FAT12   ", 8) || has(sector, 54, "FAT16   ", 8) ||
      has(sector, 82, "FAT32   ", 8)) {
    return VolumeKind::fat;
  }
  return VolumeKind::unknown;
}

// Lists a partition the table has placed inside the disk, with what its
// first sector says it holds, unless its type has said so already.
void addPartition(Disk* disk, PartitionTable* table, unsigned number, uint64_t offset, uint64_t size,
                  VolumeKind kind) {
  if (kind == VolumeKind::unknown && size >= kSector) {
    uint8_t sector[kSector];
    if (!disk->at(offset, sector, kSector)) return;
    kind = bootSectorKind(sector);
  }
  Partition partition;
  partition.number = number;
  partition.offset = offset;
  partition.size = size;
  partition.kind = kind;
  table->partitions.push_back(partition);
}

void leaveOut(PartitionTable* table, unsigned number, const char* why) {
  note(table, "partition " + std::to_string(number) + " " + why + ": left out");
}

// CRC-32 as UEFI's headers use it (the IEEE 802.3 polynomial, reflected).
uint32_t crc32(const uint8_t* bytes, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

std::string guidText(const uint8_t* guid) {
  // The first three fields are little-endian, the last two stored byte by byte.
  static const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += digits[guid[order[i]] >> 4];
    text += digits[guid[order[i]] & 15];
  }
  return text;
}

struct Gpt {
  uint64_t sectorSize = 0;
  uint64_t alternateLba = 0;
  uint64_t firstUsable = 0;
  uint64_t lastUsable = 0;
  uint32_t entrySize = 0;
  std::vector<uint8_t> entries;
};

// "GPT Header": the header at `lba` is sound when its signature, size and
// CRC are right and it was found where it says it is (MyLBA). Its entry
// array must lie inside the disk, and its CRC be right too. `headerSound`
// tells a damaged array from a damaged header, whose other LBAs mean nothing.
bool loadGpt(Disk* disk, uint64_t sectorSize, uint64_t lba, Gpt* gpt, bool* headerSound) {
  *headerSound = false;
  if (disk->size / sectorSize < 2 || lba == 0 || lba >= disk->size / sectorSize) return false;
  const uint64_t sectors = disk->size / sectorSize;
  std::vector<uint8_t> header(sectorSize);
  if (!disk->at(lba * sectorSize, header.data(), sectorSize)) return false;
  const uint8_t* h = header.data();
  const uint32_t headerSize = littleEndian32(h + 12);
  if (!has(h, 0, "EFI PART", 8) || headerSize < 92 || headerSize > sectorSize) return false;
  const uint32_t headerCrc = littleEndian32(h + 16);
  memset(header.data() + 16, 0, 4);
  if (crc32(h, headerSize) != headerCrc || littleEndian64(h + 24) != lba) return false;
  gpt->sectorSize = sectorSize;
  gpt->alternateLba = littleEndian64(h + 32);
  gpt->firstUsable = littleEndian64(h + 40);
  gpt->lastUsable = littleEndian64(h + 48);
  const uint64_t entriesLba = littleEndian64(h + 72);
  const uint32_t count = littleEndian32(h + 80);
  gpt->entrySize = littleEndian32(h + 84);
  // SizeOfPartitionEntry is 128 times a power of two.
  if (gpt->entrySize < 128 || gpt->entrySize > kLargestEntry || (gpt->entrySize & (gpt->entrySize - 1)) != 0) {
    return false;
  }
  const uint64_t arraySize = uint64_t(count) * gpt->entrySize;
  if (gpt->firstUsable > gpt->lastUsable || arraySize > kLargestEntryArray || entriesLba == 0 ||
      entriesLba >= sectors || arraySize > (sectors - entriesLba) * sectorSize) {
    return false;
  }
  *headerSound = true;
  gpt->entries.resize(arraySize);
  if (!disk->at(entriesLba * sectorSize, gpt->entries.data(), arraySize)) return false;
  return crc32(gpt->entries.data(), arraySize) == littleEndian32(h + 88);
}

// "GPT Partition Entry Array": an entry whose type GUID is zero is unused;
// the others must lie within the usable LBAs, which hold no table.
bool readGpt(Disk* disk, PartitionTable* table, std::string* error) {
  Gpt gpt;
  bool headerSound = false;
  bool found = false;
  std::vector<std::pair<uint64_t, uint64_t>> backups;  // (sector size, LBA)
  for (uint64_t sectorSize : kGptSectorSizes) {
    found = loadGpt(disk, sectorSize, 1, &gpt, &headerSound);
    if (found) break;
    // "if the primary GPT is corrupt, software must check the last LBA of
    // the device"; a primary with a sound header also names its backup,
    // which is not at the end of a disk that has grown since.
    if (headerSound) backups.push_back({sectorSize, gpt.alternateLba});
    backups.push_back({sectorSize, disk->size / sectorSize - 1});
  }
  for (size_t i = 0; !found && i < backups.size(); ++i) {
    found = loadGpt(disk, backups[i].first, backups[i].second, &gpt, &headerSound);
    if (found) note(table, "the primary GPT is damaged, and its backup was read");
  }
  if (disk->failed) return false;
  if (!found) {
    *error = "the GPT is damaged: neither its primary nor its backup header and entries are sound";
    return false;
  }
  const uint64_t sectors = disk->size / gpt.sectorSize;
  for (size_t at = 0; at < gpt.entries.size() && !disk->failed; at += gpt.entrySize) {
    const uint8_t* entry = gpt.entries.data() + at;
    const std::string type = guidText(entry);
    if (type == "00000000-0000-0000-0000-000000000000") continue;
    const unsigned number = static_cast<unsigned>(at / gpt.entrySize + 1);
    const uint64_t first = littleEndian64(entry + 32);
    const uint64_t last = littleEndian64(entry + 40);  // inclusive
    if (last < first || first < gpt.firstUsable || last > gpt.lastUsable) {
      leaveOut(table, number, "lies outside the sectors its table leaves for partitions");
    } else if (last >= sectors) {
      // A header whose usable sectors pass the end comes from an image that
      // was cut short; what still fits is listed.
      leaveOut(table, number, "runs past the end of the disk");
      table->pastEnd.push_back(number);
    } else {
      VolumeKind kind = VolumeKind::unknown;
      if (type == kStorageSpaces) kind = VolumeKind::storageSpaces;
      if (type == kLdmMetadata || type == kLdmData) kind = VolumeKind::dynamicDisk;
      addPartition(disk, table, number, first * gpt.sectorSize, (last - first + 1) * gpt.sectorSize, kind);
    }
  }
  return true;
}

struct MbrEntry {
  uint8_t status;
  uint8_t type;
  uint32_t first;  // relative to the table's sector, or for a link to the extended partition
  uint32_t sectors;
};

MbrEntry mbrEntry(const uint8_t* sector, int slot) {
  const uint8_t* entry = sector + 446 + 16 * slot;
  return MbrEntry{entry[0], entry[4], littleEndian32(entry + 8), littleEndian32(entry + 12)};
}

bool isExtended(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

bool isUsed(const MbrEntry& entry) { return entry.type != 0 && entry.sectors != 0; }

void addMbrPartition(Disk* disk, PartitionTable* table, unsigned number, uint64_t first, const MbrEntry& entry) {
  // At most 2^33 sectors of 512 bytes: no overflow.
  if ((first + entry.sectors) * kSector > disk->size) {
    leaveOut(table, number, "runs past the end of the disk");
    table->pastEnd.push_back(number);
    return;
  }
  addPartition(disk, table, number, first * kSector, entry.sectors * kSector,
               entry.type == kMbrDynamicDisk ? VolumeKind::dynamicDisk : VolumeKind::unknown);
}

// The logical partitions of the extended partition that starts at sector
// `start`: each extended boot record holds one, relative to itself, and
// links the next record, relative to the extended partition. Like Linux and
// fdisk, the first entry of another type is the partition and the first
// extended one the link, and the numbers go 5, 6, ... in the chain's order.
void readLogicalPartitions(Disk* disk, PartitionTable* table, const MbrEntry& extended) {
  const uint64_t start = extended.first;
  const uint64_t end = std::min<uint64_t>(start + extended.sectors, disk->size / kSector);
  std::vector<uint64_t> visited;
  unsigned number = 5;
  for (uint64_t record = start;;) {
    if (record >= end) {
      note(table, "the chain of logical partitions leaves the extended partition or the disk");
      return;
    }
    if (std::find(visited.begin(), visited.end(), record) != visited.end() ||
        visited.size() == kMostExtendedRecords) {
      note(table, "the chain of logical partitions loops, and was read up to the loop");
      return;
    }
    visited.push_back(record);
    uint8_t sector[kSector];
    if (!disk->at(record * kSector, sector, kSector)) return;
    if (sector[510] != 0x55 || sector[511] != 0xAA) {
      note(table, "an extended boot record has no signature, and the logical partitions end there");
      return;
    }
    const MbrEntry* partition = nullptr;
    const MbrEntry* link = nullptr;
    MbrEntry entries[4];
    for (int slot = 0; slot < 4; ++slot) {
      entries[slot] = mbrEntry(sector, slot);
      if (!isUsed(entries[slot])) continue;
      const MbrEntry** role = isExtended(entries[slot].type) ? &link : &partition;
      if (*role == nullptr) *role = &entries[slot];
    }
    if (partition != nullptr) addMbrPartition(disk, table, number++, record + partition->first, *partition);
    if (link == nullptr) return;
    record = start + link->first;
  }
}

// What a first sector that is neither a volume netvane tells nor a table
// of partitions holds, for the line that says so: a boot sector whose start
// or OEM ID was damaged still names something.
std::string firstSectorHolds(const uint8_t* sector) {
  std::string oem(reinterpret_cast<const char*>(sector) + 3, 8);
  bool printable = oem != "        ";
  for (char c : oem) printable = printable && c >= 0x20 && c < 0x7F;
  if (!printable) return "";
  if (sector[0] != 0xEB && sector[0] != 0xE9) {
    static const char digits[] = "0123456789ABCDEF";
    std::string start;
    for (int i = 0; i < 3; ++i) start += std::string(i ? " " : "") + digits[sector[i] >> 4] + digits[sector[i] & 15];
    return "a boot sector with the OEM ID \"" + oem + "\" that starts with " + start +
           ", not with the jump (EB or E9) every boot sector starts with";
  }
  return "the boot sector of a file system netvane does not know: its OEM ID is \"" + oem +
         "\", where NTFS has \"NTFS    \"";
}

// "Master Boot Record": four entries, numbered 1 to 4 by slot, one of which
// may be an extended partition that holds the logical ones.
void readMbr(Disk* disk, const uint8_t* sector, PartitionTable* table) {
  const MbrEntry* extended = nullptr;
  MbrEntry entries[4];
  for (int slot = 0; slot < 4; ++slot) {
    entries[slot] = mbrEntry(sector, slot);
    if (!isUsed(entries[slot])) continue;
    if (!isExtended(entries[slot].type)) {
      addMbrPartition(disk, table, slot + 1, entries[slot].first, entries[slot]);
    } else if (extended == nullptr) {
      extended = &entries[slot];
    } else {
      // As fdisk does: DOS and Windows make one, and know no more.
      note(table, "a second extended partition was not read");
    }
  }
  if (extended != nullptr) readLogicalPartitions(disk, table, *extended);
}

}  // namespace

bool readPartitionTable(const ReadDisk& read, uint64_t diskSize, PartitionTable* table, std::string* error) {
  *table = PartitionTable();
  Disk disk{read, diskSize};
  uint8_t first[kSector];
  bool usable = false;
  if (diskSize < kSector) {
    *error = "too small to hold a partition table (" + std::to_string(diskSize) + " bytes)";
    return false;
  }
  if (!disk.at(0, first, kSector)) {
    usable = false;
  } else if (bootSectorKind(first) != VolumeKind::unknown) {
    // A volume's boot sector ends in 0x55AA as an MBR does; it was told
    // apart by its OEM id and BPB above.
    addPartition(&disk, table, 0, 0, diskSize, bootSectorKind(first));
    return true;
  } else {
    bool isMbr = first[510] == 0x55 && first[511] == 0xAA;
    bool protective = false;
    for (int slot = 0; slot < 4 && isMbr; ++slot) {
      const MbrEntry entry = mbrEntry(first, slot);
      // Linux's check: a boot sector that is no MBR has other bytes here.
      isMbr = entry.status == 0 || entry.status == 0x80;
      protective = protective || entry.type == kMbrProtective;
    }
    bool anyUsed = false;
    for (int slot = 0; slot < 4 && isMbr; ++slot) anyUsed = anyUsed || isUsed(mbrEntry(first, slot));
    // A boot sector ends in 0x55AA too, and an NTFS one has zeros where an
    // MBR lists its partitions.
    std::string holds = firstSectorHolds(first);
    if (!isMbr || (!anyUsed && !holds.empty())) {
      *error = "no partition table (MBR or GPT), and no volume netvane can tell from its first sector" +
               (holds.empty() ? "" : ", which is " + holds);
      return false;
    }
    if (!anyUsed) {
      *error = "its partition table (MBR) lists no partitions";
      return false;
    }
    table->scheme = protective ? "GPT" : "MBR";
    if (protective) {
      usable = readGpt(&disk, table, error);
    } else {
      readMbr(&disk, first, table);
      usable = true;
    }
  }
  if (disk.failed) {
    *error = "a read at byte " + std::to_string(disk.failedAt) + " failed";
    return false;
  }
  return usable;
}

const char* volumeKindName(VolumeKind kind) {
  switch (kind) {
    case VolumeKind::ntfs:
      return "NTFS";
    case VolumeKind::bitlocker:
      return "BitLocker";
    case VolumeKind::fat:
      return "FAT";
    case VolumeKind::refs:
      return "ReFS";
    case VolumeKind::storageSpaces:
      return "Storage Spaces";
    case VolumeKind::dynamicDisk:
      return "dynamic disk";
    case VolumeKind::unknown:
      break;
  }
  return "unknown";
}

}  // namespace standin
