// What a regular file in NETVANE_REGISTRY is taken for: a disk image (and
// in which of qemu's formats), or a registry store, from its bytes alone.
#include "platform/standin/image/image_format.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using standin::ImageStart;
using standin::kImageHeadSize;
using standin::kImageTailSize;

struct Row {
  const char* name;
  std::string head;  // the file's first bytes; the rest up to `size` reads as zeros
  uint64_t size;
  std::string tail;  // its last sector's first bytes
  const char* format;
  bool image;
};

std::string at(size_t offset, const std::string& bytes) { return std::string(offset, '\0') + bytes; }
std::string text(const std::string& line, size_t size) { return line + std::string(size - line.size(), 'x'); }

TEST(ImageFormat, TellsImagesFromRegistryStoresByTheirBytes) {
  const uint64_t kMiB = 1 << 20;
  const Row rows[] = {
      {"qcow2", std::string("QFI\xfb\0\0\0\3", 8), kMiB, "", "qcow2", true},
      {"qcow version 1", std::string("QFI\xfb\0\0\0\1", 8), kMiB, "", "qcow", true},
      {"vmdk sparse extent", "KDMV", kMiB, "", "vmdk", true},
      {"vmdk descriptor", "# Disk DescriptorFile\nversion=1\n", 512, "", "vmdk", true},
      {"vhdx", "vhdxfile", kMiB, "", "vhdx", true},
      {"dynamic vhd", "conectix", kMiB, "", "vpc", true},
      {"fixed vhd: its footer is at the end", at(510, "\x55\xaa"), kMiB, "conectix", "vpc", true},
      {"vdi", at(0x40, "\x7f\x10\xda\xbe"), kMiB, "", "vdi", true},
      {"raw MBR or NTFS boot sector", at(3, "NTFS    ") + at(499, "\x55\xaa"), kMiB, "", "raw", true},
      {"raw GPT without a protective MBR", at(512, "EFI PART"), kMiB, "", "raw", true},
      // The registry store refuses these as it always has, 2 GB of zeros
      // included (HostileStore.SparseFilesOfZeros).
      {"raw disk with a wiped first sector", "", 64 * kMiB, "", "raw", false},
      {"REGEDIT4 with a boot signature's bytes", text("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n", 510) + "\x55\xaa",
       2 * kMiB, "", "raw", false},
      {"UTF-16 export", std::string("\xff\xfeW\0i\0n\0d\0o\0w\0s\0 \0R\0e\0g\0i\0s\0t\0r\0y\0 \0E\0d\0i\0t\0o\0r\0", 48),
       2 * kMiB, "", "raw", false},
      {"text that is no export", text("hello\n", 600), 2 * kMiB, "", "raw", false},
      // Refused by the image store as encrypted, rather than read as text.
      {"raw LUKS", std::string("LUKS\xba\xbe\0\x02", 8), 16 * kMiB, "", "raw", true},
  };
  for (const Row& row : rows) {
    std::string head = row.head.substr(0, kImageHeadSize);
    if (head.size() < kImageHeadSize && head.size() < row.size) {
      head.resize(row.size < kImageHeadSize ? static_cast<size_t>(row.size) : kImageHeadSize, '\0');
    }
    std::string tail = row.tail.empty() ? "" : row.tail + std::string(kImageTailSize - row.tail.size(), '\0');
    ImageStart start;
    start.head = reinterpret_cast<const uint8_t*>(head.data());
    start.headSize = head.size();
    start.tail = tail.empty() ? nullptr : reinterpret_cast<const uint8_t*>(tail.data());
    start.size = row.size;
    EXPECT_STREQ(standin::imageFormat(start), row.format) << row.name;
    EXPECT_EQ(standin::isDiskImage(start), row.image) << row.name;
  }
}

// A device is raw whatever it starts with; a stated format must be one
// netvane opens and agree with the file's content.
TEST(ImageFormat, ChoosesTheFormatAStatedOneMustAgreeWith) {
  const std::string qcow2("QFI\xfb\0\0\0\3", 8), mbr = std::string(510, '\0') + "\x55\xaa";
  const std::string export4 = "REGEDIT4\r\n\r\n";
  struct {
    const char* name;
    std::string head;
    bool device;
    const char* stated;
    const char* chosen;  // null: refused
  } const rows[] = {
      {"qcow2 file", qcow2, false, nullptr, "qcow2"},
      {"qcow2 header on a device", qcow2, true, nullptr, "raw"},
      {"qcow2 header on a device, raw stated", qcow2, true, "raw", "raw"},
      {"device stated as qcow2", qcow2, true, "qcow2", nullptr},
      {"qcow2 file stated as qcow2", qcow2, false, "qcow2", "qcow2"},
      {"qcow2 file stated as raw", qcow2, false, "raw", nullptr},
      {"raw file stated as vmdk", mbr, false, "vmdk", nullptr},
      {"raw file stated as raw", mbr, false, "raw", "raw"},
      {"empty statement", mbr, false, "", "raw"},
      {"a format netvane does not name", mbr, false, "qed", nullptr},
      {"a registry export stated as raw", export4, false, "raw", nullptr},
  };
  for (const auto& row : rows) {
    ImageStart start;
    start.head = reinterpret_cast<const uint8_t*>(row.head.data());
    start.headSize = row.head.size();
    start.size = 1 << 20;
    std::string problem;
    const char* chosen = standin::chooseFormat(start, row.device, row.stated, &problem);
    EXPECT_STREQ(chosen, row.chosen) << row.name;
    EXPECT_EQ(problem.empty(), row.chosen != nullptr) << row.name << ": " << problem;
  }
}

// qemu reads these VMDKs but cannot change them in place: it fails half-way
// and leaves the file grown.
TEST(ImageFormat, TellsTheVmdksQemuCannotWriteInPlace) {
  auto sparse = [](uint32_t flags, const std::string& descriptor) {
    std::string head = "KDMV" + std::string(512 - 4, '\0');
    for (int i = 0; i < 4; ++i) head[8 + i] = static_cast<char>(flags >> (8 * i));
    head[28] = 1;  // the descriptor at sector 1, one sector long
    head[36] = 1;
    return head + descriptor;
  };
  struct Row {
    const char* name;
    std::string head;
    const char* unwritable;
  } rows[] = {
      {"compressed grains", sparse(1u << 16 | 3, ""), "streamOptimized"},
      {"embedded streamOptimized descriptor", sparse(3, "createType=\"streamOptimized\"\n"), "streamOptimized"},
      {"monolithicSparse", sparse(3, "createType=\"monolithicSparse\"\n"), nullptr},
      {"seSparse descriptor file", "# Disk DescriptorFile\ncreateType=\"seSparse\"\n", "seSparse"},
      {"split sparse descriptor file", "# Disk DescriptorFile\ncreateType=\"twoGbMaxExtentSparse\"\n", nullptr},
      {"qcow2 naming a stream", std::string("QFI\xfb\0\0\0\3", 8) + "createType=\"streamOptimized\"", nullptr},
  };
  for (const Row& row : rows) {
    ImageStart start;
    start.head = reinterpret_cast<const uint8_t*>(row.head.data());
    start.headSize = row.head.size();
    start.size = 1 << 20;
    const char* found = standin::unwritableVmdk(start);
    EXPECT_STREQ(found == nullptr ? "" : found, row.unwritable == nullptr ? "" : row.unwritable) << row.name;
  }
}

}  // namespace
