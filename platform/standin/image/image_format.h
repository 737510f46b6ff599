// Telling a disk image's format from its content, as qemu probes it, and a
// disk image from a registry export: never from a file's name.
#ifndef NETVANE_PLATFORM_STANDIN_IMAGE_IMAGE_FORMAT_H
#define NETVANE_PLATFORM_STANDIN_IMAGE_IMAGE_FORMAT_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace standin {

// The bytes the judgements below look at: the file's first ones, and its
// last sector (where a fixed VHD keeps its only footer).
const size_t kImageHeadSize = 4096;
const size_t kImageTailSize = 512;

struct ImageStart {
  const uint8_t* head = nullptr;  // the first min(kImageHeadSize, size) bytes
  size_t headSize = 0;
  const uint8_t* tail = nullptr;  // the last kImageTailSize bytes, or null when the file is shorter
  uint64_t size = 0;
};

// qemu's name of the format ("qcow2", "vmdk", "vhdx", "vpc", "vdi", "qcow",
// "qed"), or "raw" for content in none of them.
const char* imageFormat(const ImageStart& start);

// Whether a regular file is a disk image rather than a registry store:
// not a registry export's text, and either in an image format or starting
// with what a disk or volume starts with (a boot sector's signature, a GPT
// header, or a LUKS header, which the image store refuses as encrypted).
bool isDiskImage(const ImageStart& start);

// Whether the file starts as a registry export does: its first line,
// after a byte-order mark, in UTF-8 or UTF-16LE.
bool startsLikeRegistryExport(const ImageStart& start);

// The format a run opens the file or device in: a device's is always raw,
// never probed, since a guest writes what it likes into its own disk; a
// file's is its content's. `stated` (NETVANE_FORMAT, or null) must name a
// format netvane opens, and agree with the content. Null with `problem`, a
// clause that follows the image's name ("is ...", "holds ...").
const char* chooseFormat(const ImageStart& start, bool device, const char* stated, std::string* problem);

// A VMDK that qemu can read but not change in place: its subformat's name
// ("streamOptimized", "seSparse"), or null for any other image.
const char* unwritableVmdk(const ImageStart& start);

// Reads what ImageStart needs from `fd` (`size` bytes long) into `head`
// and `tail`. False when they cannot be read.
bool readImageStart(int fd, uint64_t size, std::string* head, std::string* tail, ImageStart* start);

}  // namespace standin

#endif
