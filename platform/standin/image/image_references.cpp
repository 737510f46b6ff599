#include "platform/standin/image/image_references.h"

#include <string.h>

#include <algorithm>

#include "platform/standin/hive/base_block.h"

namespace standin {

namespace {

// qemu's own bounds: a backing file's name (bs->backing_file and its
// checks), a backing format (bs->backing_format), a VMDK extent's name
// (the %511[...] of vmdk_parse_extents), how much of a descriptor it reads
// (vmdk_read_desc) and where it looks for a parent (vmdk_parent_open).
const uint32_t kLongestBackingName = 1023;
const uint32_t kLongestFormatName = 15;
const size_t kLongestExtentName = 511;
const uint64_t kLongestDescriptor = (1 << 20) - 1;
const uint64_t kParentSearch = 20 * 512;
// A sparse extent's own embedded descriptor, and qemu's sparse header, sit
// one sector in.
const uint64_t kSparseDescriptor = 512;

const uint32_t kQcow2DataFileBit = 1u << 2;
const uint32_t kQcow2ExtensionEnd = 0;
const uint32_t kQcow2BackingFormat = 0xE2792ACA;
const uint32_t kQcow2DataFile = 0x44415441;
const uint64_t kQedBackingFile = 1;
const uint64_t kQedBackingRaw = 4;

uint32_t bigEndian32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

uint64_t bigEndian64(const uint8_t* bytes) {
  return static_cast<uint64_t>(bigEndian32(bytes)) << 32 | bigEndian32(bytes + 4);
}

// The file, never read past its end.
struct File {
  const ReadDisk& read;
  uint64_t size;

  bool has(uint64_t offset, uint64_t count) const { return offset <= size && count <= size - offset; }

  bool at(uint64_t offset, void* buffer, size_t count) const {
    return has(offset, count) && (count == 0 || read(offset, buffer, count));
  }

  // `count` bytes at `offset`, cut at the first NUL as qemu's C strings are.
  bool string(uint64_t offset, size_t count, std::string* text) const {
    if (!has(offset, count)) return false;
    text->assign(count, '\0');
    if (!at(offset, &(*text)[0], count)) return false;
    text->resize(strnlen(text->c_str(), count));
    return true;
  }

  // What qemu reads of a descriptor at `offset`: up to a megabyte, to the
  // first NUL or the file's end.
  bool descriptor(uint64_t offset, uint64_t longest, std::string* text) const {
    if (offset > size) return false;
    return string(offset, static_cast<size_t>(std::min(longest, size - offset)), text);
  }
};

void add(ImageHeader* header, ReferenceKind kind, const std::string& name, const std::string& format = "") {
  ImageReference reference;
  reference.kind = kind;
  reference.name = name;
  reference.format = format;
  header->references.push_back(reference);
}

bool qcow2(const File& file, ImageHeader* header, std::string* problem) {
  uint8_t h[104];
  if (!file.at(0, h, 72)) {
    *problem = "its qcow2 header is cut short";
    return false;
  }
  const uint32_t version = bigEndian32(h + 4);
  const uint64_t backingOffset = bigEndian64(h + 8);
  const uint32_t backingSize = bigEndian32(h + 16);
  const uint32_t clusterBits = bigEndian32(h + 20);
  const uint32_t crypt = bigEndian32(h + 32);
  // qemu opens no other version, and no cluster size outside 512 B to 2 MiB.
  if ((version != 2 && version != 3) || clusterBits < 9 || clusterBits > 21) return true;
  if (crypt != 0) header->encryption = crypt == 2 ? "LUKS inside qcow2" : "AES inside qcow2";
  const uint64_t clusterSize = uint64_t(1) << clusterBits;
  uint64_t headerLength = 72;
  uint64_t incompatible = 0;
  if (version == 3) {
    if (!file.at(72, h + 72, 32)) {
      *problem = "its qcow2 header is cut short";
      return false;
    }
    incompatible = bigEndian64(h + 72);
    headerLength = bigEndian32(h + 100);
    if (headerLength < 104 || headerLength > clusterSize) return true;
  }
  // The header extensions run up to the backing file's name, or else to
  // the end of the first cluster (qcow2_do_open).
  const uint64_t end = backingOffset != 0 ? backingOffset : clusterSize;
  std::string backingFormat, dataFile;
  bool namedDataFile = false;
  for (uint64_t at = headerLength; at < end;) {
    uint8_t extension[8];
    if (at > clusterSize || end - at < 8 || !file.at(at, extension, 8)) {
      *problem = "its qcow2 header extensions run past the end of the file or of their cluster";
      return false;
    }
    const uint32_t type = bigEndian32(extension), length = bigEndian32(extension + 4);
    at += 8;
    // qemu writes every extension into the header's cluster.
    if (length > end - at || at > clusterSize || length > clusterSize - at) {
      *problem = "a qcow2 header extension runs past the end of the header or of its cluster";
      return false;
    }
    if (type == kQcow2ExtensionEnd) break;
    if (type == kQcow2BackingFormat && (length > kLongestFormatName || !file.string(at, length, &backingFormat))) {
      *problem = "its qcow2 backing format extension is longer than qemu reads or runs past the end of the file";
      return false;
    }
    if (type == kQcow2DataFile) {
      if (!file.string(at, length, &dataFile)) {
        *problem = "its qcow2 external data file extension runs past the end of the file";
        return false;
      }
      namedDataFile = true;
    }
    at += (uint64_t(length) + 7) & ~uint64_t(7);
  }
  if (backingOffset != 0) {
    std::string name;
    if (backingSize > kLongestBackingName || !file.string(backingOffset, backingSize, &name)) {
      *problem = "its qcow2 backing file name is longer than qemu reads or runs past the end of the file";
      return false;
    }
    if (!name.empty()) add(header, ReferenceKind::backingFile, name, backingFormat);
  }
  // qemu opens the data file that the extension names only when this bit
  // says there is one; without a name it cannot open the image at all.
  if (version == 3 && (incompatible & kQcow2DataFileBit) != 0) {
    if (!namedDataFile || dataFile.empty()) {
      *problem = "its qcow2 header says it keeps its data in an external data file, but does not name it";
      return false;
    }
    add(header, ReferenceKind::dataFile, dataFile);
  }
  return true;
}

bool qcow(const File& file, ImageHeader* header, std::string* problem) {
  uint8_t h[48];
  if (!file.at(0, h, sizeof h)) {
    *problem = "its qcow header is cut short";
    return false;
  }
  if (bigEndian32(h + 4) != 1) return true;
  if (bigEndian32(h + 36) != 0) header->encryption = "AES inside qcow";
  const uint64_t offset = bigEndian64(h + 8);
  const uint32_t size = bigEndian32(h + 16);
  if (offset == 0) return true;
  std::string name;
  if (size > kLongestBackingName || !file.string(offset, size, &name)) {
    *problem = "its qcow backing file name is longer than qemu reads or runs past the end of the file";
    return false;
  }
  if (!name.empty()) add(header, ReferenceKind::backingFile, name);
  return true;
}

bool qed(const File& file, ImageHeader* header, std::string* problem) {
  uint8_t h[64];
  if (!file.at(0, h, sizeof h)) {
    *problem = "its qed header is cut short";
    return false;
  }
  const uint64_t features = littleEndian64(h + 16);
  if ((features & kQedBackingFile) == 0) return true;
  const uint32_t offset = littleEndian32(h + 56), size = littleEndian32(h + 60);
  std::string name;
  if (size > kLongestBackingName || !file.string(offset, size, &name)) {
    *problem = "its qed backing file name is longer than qemu reads or runs past the end of the file";
    return false;
  }
  if (!name.empty()) add(header, ReferenceKind::backingFile, name, (features & kQedBackingRaw) != 0 ? "raw" : "");
  return true;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// The extent lines of a descriptor: an access word first, then the size,
// the type and a quoted name. qemu follows only RW lines of known types;
// every line of any access that quotes a name is taken here, which names
// at least what qemu opens. The name runs from the line's first quote to
// the next quote or line end, at most as long as qemu reads.
void extents(const std::string& descriptor, ImageHeader* header) {
  static const char* const kAccess[] = {"RW", "RDONLY", "NOACCESS"};
  for (size_t start = 0; start < descriptor.size();) {
    size_t end = descriptor.find('\n', start);
    if (end == std::string::npos) end = descriptor.size();
    std::string line = descriptor.substr(start, end - start);
    start = end + 1;
    size_t first = 0;
    while (first < line.size() && isSpace(line[first])) ++first;
    size_t after = first;
    while (after < line.size() && !isSpace(line[after])) ++after;
    std::string access = line.substr(first, after - first);
    if (std::find_if(std::begin(kAccess), std::end(kAccess), [&](const char* a) { return access == a; }) ==
        std::end(kAccess)) {
      continue;
    }
    size_t quote = line.find('"', after);
    if (quote == std::string::npos) continue;
    size_t close = line.find_first_of("\"\r", quote + 1);
    std::string name = line.substr(quote + 1, (close == std::string::npos ? line.size() : close) - quote - 1);
    if (name.size() > kLongestExtentName) name.resize(kLongestExtentName);
    if (!name.empty()) add(header, ReferenceKind::extent, name);
  }
}

// A sparse extent's header ("Virtual Disk Format 5.0"): a capacity of zero
// and a descriptor's sector make qemu read the extents from that
// descriptor (vmdk_open_vmdk4).
bool embeddedExtents(const File& file, ImageHeader* header, std::string* problem) {
  uint8_t h[44];
  if (!file.at(0, h, sizeof h) || memcmp(h, "KDMV", 4) != 0) return true;
  const uint64_t capacity = littleEndian64(h + 12), sector = littleEndian64(h + 28);
  if (capacity != 0 || sector == 0) return true;
  std::string descriptor;
  if (sector > file.size / 512 || !file.descriptor(sector * 512, kLongestDescriptor, &descriptor)) {
    *problem = "its VMDK header places its descriptor past the end of the file";
    return false;
  }
  extents(descriptor, header);
  return true;
}

bool vmdk(const File& file, ImageHeader* header, std::string* problem) {
  uint8_t magic[4] = {0, 0, 0, 0};
  file.at(0, magic, sizeof magic);
  const bool sparse = memcmp(magic, "KDMV", 4) == 0 || memcmp(magic, "COWD", 4) == 0;
  if (sparse) {
    if (!embeddedExtents(file, header, problem)) return false;
  } else {
    std::string descriptor;
    if (!file.descriptor(0, kLongestDescriptor, &descriptor)) return true;
    extents(descriptor, header);
  }
  // vmdk_parent_open: the name after `parentFileNameHint="`, to the next
  // quote, in the descriptor's first 20 sectors.
  std::string search;
  const uint64_t base = sparse ? kSparseDescriptor : 0;
  if (!file.descriptor(base, kParentSearch, &search)) return true;
  static const char kHint[] = "parentFileNameHint";
  size_t hint = search.find(kHint);
  if (hint == std::string::npos) return true;
  size_t from = hint + sizeof kHint + 1;
  size_t close = from <= search.size() ? search.find('"', from) : std::string::npos;
  if (close == std::string::npos || close - from > kLongestBackingName) {
    *problem = "its VMDK descriptor's parentFileNameHint has no closing quote or is longer than qemu reads";
    return false;
  }
  std::string name = search.substr(from, close - from);
  if (!name.empty()) add(header, ReferenceKind::backingFile, name);
  return true;
}

}  // namespace

const char* referenceKindName(ReferenceKind kind) {
  switch (kind) {
    case ReferenceKind::backingFile:
      return "backing file";
    case ReferenceKind::dataFile:
      return "external data file";
    case ReferenceKind::extent:
      break;
  }
  return "extent";
}

bool readImageHeader(const char* format, const ReadDisk& read, uint64_t size, ImageHeader* header,
                     std::string* problem) {
  *header = ImageHeader();
  File file{read, size};
  const std::string name = format;
  if (name == "qcow2") return qcow2(file, header, problem);
  if (name == "qcow") return qcow(file, header, problem);
  if (name == "qed") return qed(file, header, problem);
  if (name == "vmdk") return vmdk(file, header, problem);
  return true;
}

bool readVmdkExtentHeader(const ReadDisk& read, uint64_t size, ImageHeader* header, std::string* problem) {
  *header = ImageHeader();
  return embeddedExtents(File{read, size}, header, problem);
}

bool startsLuks(const uint8_t* head, size_t size) { return size >= 6 && memcmp(head, "LUKS\xba\xbe", 6) == 0; }

}  // namespace standin
