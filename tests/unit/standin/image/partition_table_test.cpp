// The partition table reader on disks that sfdisk, fdisk and mkntfs make:
// it must list what fdisk lists on the same file before the row damages it,
// less what no longer fits, with the kinds the row put in the partitions.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "platform/standin/image/partition_table.h"

namespace {

// For the rows: `ntfs START SECTORS [SECTOR_SIZE]` puts an NTFS volume made
// by mkntfs into the disk, and `put OFFSET BYTES` writes a few bytes there.
// The tools live in /usr/sbin, which a user's PATH may lack.
const std::string kHelpers =
    "PATH=$PATH:/usr/sbin:/sbin; ntfs() { s=${3:-512}; rm -f v; truncate -s $(($2 * s)) v && mkntfs -F -Q -q -s $s -p $1 v >/dev/null 2>&1 &&"
    " dd if=v of=disk bs=1M oflag=seek_bytes seek=$(($1 * s)) conv=notrunc,sparse status=none; };"
    " put() { printf \"$2\" | dd of=disk bs=1 seek=$(($1)) conv=notrunc status=none; }; ";

const char kGpt[] =
    "truncate -s 64M disk && sfdisk -q disk <<'END'\nlabel: gpt\n"
    "size=4M, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\nsize=4M, type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE\n"
    "size=8M, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\nsize=4M, type=DE94BBA4-06D1-4D40-A16A-BFD50179D6AC\n"
    "size=4M, type=E75CAF8F-F680-4CEE-AFA3-B001E56EFC2D\nsize=4M, type=AF9B60A0-1431-4F62-BC68-3311714A69AD\nEND\n"
    "put 2048*512 '\\353\\130\\220' && put 2048*512+82 'FAT32   ' && ntfs 18432 16384 && ntfs 34816 8192";
const char kGptKinds[] = "FAT,unknown,NTFS,NTFS,Storage Spaces,dynamic disk";
// Primaries 1, 3 and 4 around an extended partition whose boot records sit
// at 10240, 28672 and 38912, before logical partitions 5, 6 and 7.
const char kMbr[] =
    "truncate -s 64M disk && sfdisk -q disk <<'END'\nlabel: dos\nsize=4M, type=7\nsize=40M, type=5\n"
    "size=4M, type=27\nsize=4M, type=7\nsize=8M, type=7\nsize=4M, type=42\nsize=4M, type=7\nEND\n"
    "ntfs 2048 8192 && put 92160*512+3 ReFS && put 100352*512 '\\353\\166\\220EXFAT   ' && ntfs 12288 16384 &&"
    " put 40960*512 '\\353\\130\\220-FVE-FS-'";
const char kMbrKinds[] = "NTFS,ReFS,FAT,NTFS,dynamic disk,BitLocker";

struct Row {
  const char* name;
  const char* make;    // makes `disk`, which fdisk reads
  const char* damage;  // then done to it
  unsigned sectorSize;
  uint64_t failAt;    // where reads start to fail, or 0
  const char* kinds;  // of the partitions listed; null when the reader must fail
  bool warned;
} const kRows[] = {
    {"gpt", kGpt, "", 512, 0, kGptKinds, false},
    {"gpt primary header damaged", kGpt, "put 512+40 X", 512, 0, kGptKinds, true},
    {"gpt primary entries damaged", kGpt, "put 1024+60 X", 512, 0, kGptKinds, true},
    {"gpt both headers damaged", kGpt, "put 512+40 X && put 64*1048576-512+40 X", 512, 0, nullptr, false},
    {"gpt cut short", kGpt, "truncate -s 28M disk", 512, 0, "FAT,unknown,NTFS,NTFS,Storage Spaces", true},
    {"gpt read fails", kGpt, "", 512, 1025, nullptr, false},
    {"gpt with 4096-byte sectors",
     "truncate -s 64M disk && printf 'g\\nn\\n\\n\\n+16M\\nw\\n' | fdisk -b 4096 disk >/dev/null && ntfs 256 4096 4096",
     "", 4096, 0, "NTFS", false},
    {"mbr", kMbr, "", 512, 0, kMbrKinds, false},
    {"mbr logical chain loops", kMbr, "put 38912*512+466 '\\5' && put 38912*512+474 '\\1'", 512, 0, kMbrKinds, true},
    {"mbr cut short", kMbr, "truncate -s 20M disk", 512, 0, "NTFS,NTFS,dynamic disk", true},
    {"mbr read fails", kMbr, "", 512, 20000 * 512, nullptr, false},
    {"mbr with a boot sector's bytes in its entries", "truncate -s 1M disk && put 510 '\\125\\252' && put 446 '\\23'",
     "", 512, 0, nullptr, false},
    {"one volume, no table", "truncate -s 16M disk && mkntfs -F -Q -q disk >/dev/null 2>&1", "", 512, 0, "NTFS", false},
};

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  char line[512];
  while (pipe != nullptr && fgets(line, sizeof line, pipe) != nullptr) out += line;
  if (pipe != nullptr) pclose(pipe);
  return out;
}

TEST(PartitionTable, ListsWhatFdiskListsAndTellsTheKinds) {
  if (system((kHelpers + "{ command -v sfdisk && command -v fdisk && command -v mkntfs; } >/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "sfdisk, fdisk and mkntfs make the disks (Debian: fdisk, ntfs-3g)";
  }
  char dir[] = "/tmp/partition_table_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string shell = "cd " + std::string(dir) + " && " + kHelpers;
  std::map<const char*, std::string> made;  // a copy of each disk as its row made it
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    std::string& copy = made[row.make];
    if (copy.empty()) {
      copy = "made" + std::to_string(made.size());
      ASSERT_EQ(system((shell + "rm -f disk && " + row.make + " && mv disk " + copy).c_str()), 0);
    }
    const std::string listed = run(shell + "cp --sparse=always " + copy + " disk && fdisk -l -b " +
                                   std::to_string(row.sectorSize) + " -o Device,Start,Sectors,Type disk");
    ASSERT_EQ(system((shell + (*row.damage ? row.damage : "true")).c_str()), 0);
    const int fd = open((std::string(dir) + "/disk").c_str(), O_RDONLY);
    struct stat file;
    ASSERT_EQ(fstat(fd, &file), 0);
    const uint64_t size = file.st_size;
    std::string partitions;
    unsigned number;
    unsigned long long start, sectors;
    for (size_t at = listed.find("\ndisk"); at != std::string::npos; at = listed.find("\ndisk", at + 1)) {
      const bool container = listed.compare(listed.find_last_of(' ', listed.find('\n', at + 1)) + 1, 8, "Extended") == 0;
      if (sscanf(listed.c_str() + at, "\ndisk%u %llu %llu", &number, &start, &sectors) == 3 && !container &&
          (start + sectors) * row.sectorSize <= size) {
        partitions += std::to_string(number) + ":" + std::to_string(start * row.sectorSize) + "+" +
                      std::to_string(sectors * row.sectorSize) + " ";
      }
    }
    // fdisk lists no partition, in an empty "dos" table, on a disk that is one volume.
    const std::string scheme = listed.find("Disklabel type: gpt") != std::string::npos ? "GPT " : "MBR ";
    const std::string expected = partitions.empty() ? "0:0+" + std::to_string(size) + " " : scheme + partitions;

    standin::PartitionTable table;
    std::string error;
    const bool read = standin::readPartitionTable(
        [&](uint64_t offset, void* buffer, size_t count) {
          EXPECT_LE(offset + count, size);
          return (row.failAt == 0 || offset + count <= row.failAt) && pread(fd, buffer, count, offset) == ssize_t(count);
        },
        size, &table, &error);
    close(fd);
    if (row.kinds == nullptr) {
      EXPECT_FALSE(read);
      EXPECT_TRUE(!error.empty() && error.find('\n') == std::string::npos) << error;
      continue;
    }
    ASSERT_TRUE(read) << error;
    std::string found = table.scheme.empty() ? "" : table.scheme + " ", kinds;
    for (const standin::Partition& partition : table.partitions) {
      found += std::to_string(partition.number) + ":" + std::to_string(partition.offset) + "+" +
               std::to_string(partition.size) + " ";
      kinds += std::string(kinds.empty() ? "" : ",") + standin::volumeKindName(partition.kind);
    }
    EXPECT_EQ(found, expected);
    EXPECT_EQ(kinds, row.kinds);
    EXPECT_EQ(!table.warning.empty(), row.warned) << table.warning;
  }
  EXPECT_EQ(system((std::string("rm -rf ") + dir).c_str()), 0);
}

}  // namespace
