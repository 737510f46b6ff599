// What an image's header names besides the image, on headers built here
// byte by byte: each must name what qemu would open, or be refused when a
// field points where qemu's reading is not known.
#include "platform/standin/image/image_references.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using standin::ImageHeader;
using standin::ImageReference;

std::string big32(uint32_t v) {
  return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
std::string big64(uint64_t v) { return big32(uint32_t(v >> 32)) + big32(uint32_t(v)); }
std::string little(uint64_t v, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += char(v >> (8 * i));
  return out;
}
std::string put(std::string bytes, size_t at, const std::string& what) {
  if (bytes.size() < at + what.size()) bytes.resize(at + what.size(), '\0');
  return bytes.replace(at, what.size(), what);
}
std::string extension(uint32_t type, const std::string& data) {
  return big32(type) + big32(uint32_t(data.size())) + data + std::string((8 - data.size() % 8) % 8, '\0');
}

// A qcow2 header of 64 KiB clusters: version 3 with these extensions, the
// backing file's name at 0x200 (0 for none), and `incompatible` features.
std::string qcow2(const std::string& backing, const std::string& extensions = "", uint64_t incompatible = 0,
                  uint32_t crypt = 0, uint32_t version = 3) {
  std::string h = "QFI\xfb" + big32(version) + big64(backing.empty() ? 0 : 0x200) + big32(uint32_t(backing.size())) +
                  big32(16) + big64(1 << 30) + big32(crypt);
  h = put(h, 72, big64(incompatible) + big64(0) + big64(0) + big32(4) + big32(104));
  h = put(h, 104, extensions + big64(0));
  return backing.empty() ? h : put(h, 0x200, backing);
}

std::string vmdkSparse(uint64_t capacity, const std::string& descriptor) {
  std::string h = "KDMV" + little(1, 4) + little(3, 4) + little(capacity, 8) + little(128, 8) + little(1, 8) +
                  little(20, 8);
  return put(h, 512, descriptor);
}

struct Row {
  const char* name;
  const char* format;
  std::string bytes;
  std::string named;  // "kind:name:format" of each reference, ";" between
  const char* encryption;
  bool refused;
};

std::string describe(const ImageHeader& header) {
  std::string text;
  for (const ImageReference& r : header.references) {
    text += std::string(text.empty() ? "" : ";") + standin::referenceKindName(r.kind) + ":" + r.name + ":" + r.format;
  }
  return text;
}

TEST(ImageReferences, NamesWhatQemuWouldOpenFromEachFormatsHeader) {
  const std::string descriptor =
      "# Disk DescriptorFile\nversion=1\nparentFileNameHint=\"parent.vmdk\"\ncreateType=\"monolithicFlat\"\n"
      "RW 2048 FLAT \"disk-flat.raw\" 0\r\n  RDONLY 2048 SPARSE \"/etc/passwd\"\nNOACCESS 8 ZERO\nRWX 8 FLAT \"x\" 0\n"
      "# RW 8 FLAT \"commented\" 0\n";
  const Row rows[] = {
      {"qcow2 without references", "qcow2", qcow2(""), "", "", false},
      {"qcow2 backing file, its format stated", "qcow2",
       qcow2("../victim", extension(0xE2792ACA, "qcow2")), "backing file:../victim:qcow2", "", false},
      {"qcow2 backing name cut at its NUL", "qcow2", qcow2(std::string("base\0/etc/x", 11)),
       "backing file:base:", "", false},
      {"qcow2 version 2: no extensions", "qcow2", qcow2("base.qcow2", "", 0, 0, 2).substr(0, 72) +
       std::string(0x200 - 72, '\0') + "base.qcow2", "backing file:base.qcow2:", "", false},
      {"qcow2 external data file", "qcow2", qcow2("", extension(0x44415441, "/home/u/.bashrc"), 4),
       "external data file:/home/u/.bashrc:", "", false},
      {"qcow2 data file named but not flagged: qemu ignores it", "qcow2",
       qcow2("", extension(0x44415441, "/etc/passwd")), "", "", false},
      {"qcow2 flagged for a data file it does not name", "qcow2", qcow2("", "", 4), "", "", true},
      {"qcow2 LUKS", "qcow2", qcow2("", "", 0, 2), "", "LUKS inside qcow2", false},
      {"qcow2 AES", "qcow2", qcow2("", "", 0, 1), "", "AES inside qcow2", false},
      {"qcow2 backing name past the end", "qcow2", qcow2("b").substr(0, 0x200), "", "", true},
      {"qcow2 backing name longer than qemu reads", "qcow2", qcow2(std::string(1024, 'a')), "", "", true},
      {"qcow2 extension longer than the header", "qcow2",
       put(qcow2("base"), 104, big32(0x44415441) + big32(0x1000)), "", "", true},
      {"qcow2 cut short", "qcow2", qcow2("").substr(0, 90), "", "", true},
      {"qcow version 1", "qcow", put(put("QFI\xfb" + big32(1) + big64(64) + big32(4), 36, big32(0)), 64, "base"),
       "backing file:base:", "", false},
      {"qcow AES", "qcow", put("QFI\xfb" + big32(1), 36, big32(1) + big64(0)), "", "AES inside qcow", false},
      {"qed backing file, raw", "qed", put(put("QED" + std::string(1, '\0') + little(4096, 4), 16, little(5, 8)), 56,
                                           little(64, 4) + little(4, 4) + "/dev"),
       "backing file:/dev:raw", "", false},
      {"qed backing name past the end", "qed",
       put(put("QED" + std::string(1, '\0'), 16, little(1, 8)), 56, little(64, 4) + little(40, 4)), "", "", true},
      {"vmdk descriptor: extents of every access, and a parent", "vmdk", descriptor,
       "extent:disk-flat.raw:;extent:/etc/passwd:;backing file:parent.vmdk:", "", false},
      {"vmdk descriptor read to its first NUL", "vmdk",
       std::string("# Disk DescriptorFile\nRW 8 FLAT \"a\" 0\n\0RW 8 FLAT \"b\" 0\n", 48), "extent:a:", "", false},
      {"vmdk extent name cut where qemu cuts it", "vmdk", "RW 8 FLAT \"" + std::string(600, 'n') + "\" 0\n",
       "extent:" + std::string(511, 'n') + ":", "", false},
      {"vmdk sparse extent with capacity: its descriptor's extents are not read", "vmdk",
       vmdkSparse(2048, "RW 2048 SPARSE \"/etc/shadow\"\n"), "", "", false},
      {"vmdk sparse extent without capacity: its descriptor lists the extents", "vmdk",
       vmdkSparse(0, "RW 2048 FLAT \"/dev/sda\" 0\nparentFileNameHint=\"p\"\n"),
       "extent:/dev/sda:;backing file:p:", "", false},
      {"vmdk descriptor past the end", "vmdk", vmdkSparse(0, "").substr(0, 64), "", "", true},
      {"vmdk parent without its closing quote", "vmdk", "parentFileNameHint=\"p", "", "", true},
      {"vhdx names nothing", "vhdx", "vhdxfile" + std::string(64, '\0'), "", "", false},
  };
  for (const Row& row : rows) {
    standin::ReadDisk read = [&row](uint64_t offset, void* buffer, size_t size) {
      if (offset > row.bytes.size() || size > row.bytes.size() - offset) return false;
      row.bytes.copy(static_cast<char*>(buffer), size, offset);
      return true;
    };
    ImageHeader header;
    std::string problem;
    bool ok = standin::readImageHeader(row.format, read, row.bytes.size(), &header, &problem);
    EXPECT_EQ(!ok, row.refused) << row.name << ": " << problem;
    EXPECT_EQ(problem.empty(), !row.refused) << row.name;
    if (!ok) continue;
    EXPECT_EQ(describe(header), row.named) << row.name;
    EXPECT_EQ(header.encryption, row.encryption) << row.name;
  }
}

}  // namespace
