// What one file of a disk image names besides itself, read from its header
// as qemu's format drivers read it (block/qcow2.c, qcow.c, qed.c, vmdk.c):
// a backing file, a qcow2 external data file, the extents of a VMDK
// descriptor. Read here, before qemu opens anything, so that a name is
// checked before any program follows it; asking qemu instead
// (`qemu-img info --backing-chain`) would have it open each named file to
// find the next. Every field is checked against the file's size before use.
#ifndef NETVANE_PLATFORM_STANDIN_IMAGE_IMAGE_REFERENCES_H
#define NETVANE_PLATFORM_STANDIN_IMAGE_IMAGE_REFERENCES_H

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/standin/image/partition_table.h"

namespace standin {

enum class ReferenceKind {
  backingFile,   // qcow2, qcow, qed: the backing file; a VMDK's parentFileNameHint
  dataFile,      // a qcow2 external data file (header extension 0x44415441)
  extent,        // a file a VMDK descriptor lists as an extent
};

// "backing file", "external data file", "extent": the words of the line
// that refuses one.
const char* referenceKindName(ReferenceKind kind);

struct ImageReference {
  ReferenceKind kind = ReferenceKind::backingFile;
  // As the header spells it, up to the first NUL, as qemu reads it.
  std::string name;
  // A backing file's format as the header states it (a qcow2's backing
  // format extension; "raw" for a qed that forbids probing), or empty when
  // qemu would probe it.
  std::string format;
};

struct ImageHeader {
  // How the content is encrypted ("LUKS inside qcow2", "AES inside qcow2",
  // "AES inside qcow"), or empty.
  std::string encryption;
  // In the order qemu opens them.
  std::vector<ImageReference> references;
};

// The header of a file in qemu's `format` ("qcow2", "qcow", "qed", "vmdk";
// any other names nothing), `size` bytes long, as the image qemu is asked to
// open. False with `problem`, a clause, when a field points past the file's
// end or is longer than qemu allows: what qemu would then open is not known.
bool readImageHeader(const char* format, const ReadDisk& read, uint64_t size, ImageHeader* header,
                     std::string* problem);

// The same for a file that a VMDK descriptor lists as an extent: qemu reads
// no parent from it, only the extents of a descriptor that a sparse extent
// without capacity embeds.
bool readVmdkExtentHeader(const ReadDisk& read, uint64_t size, ImageHeader* header, std::string* problem);

// Whether the bytes start a LUKS volume ("LUKS\xba\xbe").
bool startsLuks(const uint8_t* head, size_t size);

}  // namespace standin

#endif
