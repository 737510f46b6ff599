#include "platform/standin/image/image_format.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "platform/standin/image/image_references.h"

namespace standin {

namespace {

bool startsWith(const ImageStart& start, size_t offset, const char* magic, size_t size) {
  return start.headSize >= offset + size && memcmp(start.head + offset, magic, size) == 0;
}

uint32_t bigEndian32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

}  // namespace

// The registry store judges the rest.
bool startsLikeRegistryExport(const ImageStart& start) {
  static const char* const kHeaders[] = {"REGEDIT4", "Windows Registry Editor"};
  std::string text;
  size_t at = 0;
  bool wide = start.headSize >= 2 && start.head[0] == 0xFF && start.head[1] == 0xFE;
  if (wide) at = 2;
  if (startsWith(start, 0, "\xEF\xBB\xBF", 3)) at = 3;
  for (; at < start.headSize && text.size() < 64; at += wide ? 2 : 1) {
    if (wide && (at + 1 >= start.headSize || start.head[at + 1] != 0)) break;
    text.push_back(static_cast<char>(start.head[at]));
  }
  size_t first = text.find_first_not_of(" \t");
  for (const char* header : kHeaders) {
    if (first != std::string::npos && text.compare(first, strlen(header), header) == 0) return true;
  }
  return false;
}

const char* imageFormat(const ImageStart& start) {
  // The magic numbers each qemu block driver probes for (block/*.c).
  if (startsWith(start, 0, "QFI\xfb", 4) && start.headSize >= 8) {
    return bigEndian32(start.head + 4) >= 2 ? "qcow2" : "qcow";
  }
  if (startsWith(start, 0, "QED\0", 4)) return "qed";
  if (startsWith(start, 0, "KDMV", 4) || startsWith(start, 0, "COWD", 4) ||
      startsWith(start, 0, "# Disk DescriptorFile", 21)) {
    return "vmdk";
  }
  if (startsWith(start, 0, "vhdxfile", 8)) return "vhdx";
  if (startsWith(start, 0, "conectix", 8)) return "vpc";
  // VirtualBox's signature, 0xBEDA107F little-endian, after its text banner.
  if (startsWith(start, 0x40, "\x7f\x10\xda\xbe", 4)) return "vdi";
  // A fixed VHD is the disk's bytes and a footer at the end, which qemu's
  // probe does not look at: read as raw, the footer would be a sector past
  // the disk's end.
  if (start.tail != nullptr && memcmp(start.tail, "conectix", 8) == 0) return "vpc";
  return "raw";
}

bool isDiskImage(const ImageStart& start) {
  if (startsLikeRegistryExport(start)) return false;
  if (strcmp(imageFormat(start), "raw") != 0) return true;
  // An MBR, a GPT disk's protective MBR, and an NTFS or FAT boot sector all
  // end their first sector with 55 AA; a GPT header follows at 512 (or at
  // 4096 on a disk of 4 KiB sectors).
  // A disk with neither (its first sectors wiped, say) is neither an
  // export nor an image, which the run says, unless NETVANE_FORMAT names a
  // format. A LUKS volume is an image, which the image store refuses as
  // encrypted.
  return startsWith(start, 510, "\x55\xaa", 2) || startsWith(start, 512, "EFI PART", 8) ||
         startsWith(start, 4096, "EFI PART", 8) || startsLuks(start.head, start.headSize);
}

const char* chooseFormat(const ImageStart& start, bool device, const char* stated, std::string* problem) {
  static const char* const kStatable[] = {"raw", "qcow2", "vmdk", "vhdx", "vpc", "vdi"};
  const char* named = nullptr;
  if (stated != nullptr && stated[0] != '\0') {
    for (const char* format : kStatable) {
      if (strcmp(stated, format) == 0) named = format;
    }
    if (named == nullptr) {
      *problem = std::string("cannot be opened as NETVANE_FORMAT=") + stated +
                 " says: netvane opens raw, qcow2, vmdk, vhdx, vpc and vdi";
      return nullptr;
    }
  }
  if (device) {
    if (named != nullptr && strcmp(named, "raw") != 0) {
      *problem = std::string("is a block device, which netvane reads only as raw, not as ") + named +
                 " as NETVANE_FORMAT says";
      return nullptr;
    }
    return "raw";
  }
  const char* found = imageFormat(start);
  if (named != nullptr && startsLikeRegistryExport(start)) {
    *problem = std::string("holds a registry export, not a disk image in format ") + named +
               " as NETVANE_FORMAT says";
    return nullptr;
  }
  if (named != nullptr && strcmp(named, found) != 0) {
    *problem = std::string("is ") + (strcmp(found, "raw") == 0 ? "a raw disk" : std::string("in format ") + found) +
               " by its content, not in format " + named + " as NETVANE_FORMAT says";
    return nullptr;
  }
  return found;
}

const char* unwritableVmdk(const ImageStart& start) {
  if (strcmp(imageFormat(start), "vmdk") != 0) return nullptr;
  // A sparse extent's header (VMware's "Virtual Disk Format 5.0"): flags at
  // 8, the embedded descriptor's sector and sector count at 28 and 36.
  // Grains stored compressed (flag bit 16) are written once, as qemu's
  // "Could not write to allocated cluster for streamOptimized" says.
  size_t from = 0, to = start.headSize;
  if (startsWith(start, 0, "KDMV", 4) && start.headSize >= 44) {
    uint32_t flags = 0;
    uint64_t sector = 0, sectors = 0;
    for (int i = 3; i >= 0; --i) flags = flags << 8 | start.head[8 + i];
    for (int i = 7; i >= 0; --i) sector = sector << 8 | start.head[28 + i];
    for (int i = 7; i >= 0; --i) sectors = sectors << 8 | start.head[36 + i];
    if (flags & (1u << 16)) return "streamOptimized";
    from = sector * 512 < start.headSize ? static_cast<size_t>(sector * 512) : start.headSize;
    to = sectors * 512 < start.headSize - from ? from + static_cast<size_t>(sectors * 512) : start.headSize;
  }
  // The descriptor's createType; qemu writes neither of these in place.
  std::string descriptor(reinterpret_cast<const char*>(start.head) + from, to - from);
  std::string::size_type type = descriptor.find("createType=\"");
  if (type == std::string::npos) return nullptr;
  std::string value = descriptor.substr(type + 12, descriptor.find('"', type + 12) - (type + 12));
  if (value == "streamOptimized") return "streamOptimized";
  if (value == "seSparse") return "seSparse";
  return nullptr;
}

bool readImageStart(int fd, uint64_t size, std::string* head, std::string* tail, ImageStart* start) {
  auto readAt = [fd](std::string* into, size_t count, uint64_t offset) {
    into->assign(count, '\0');
    size_t done = 0;
    while (done < count) {
      ssize_t n = pread(fd, &(*into)[done], count - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    into->resize(done);
    return true;
  };
  if (!readAt(head, size < kImageHeadSize ? static_cast<size_t>(size) : kImageHeadSize, 0)) return false;
  start->head = reinterpret_cast<const uint8_t*>(head->data());
  start->headSize = head->size();
  start->size = size;
  start->tail = nullptr;
  if (size >= kImageHeadSize + kImageTailSize) {
    if (!readAt(tail, kImageTailSize, size - kImageTailSize)) return false;
    if (tail->size() == kImageTailSize) start->tail = reinterpret_cast<const uint8_t*>(tail->data());
  }
  return true;
}

}  // namespace standin
