// Arbitrary bytes as an image file's header. Whatever the bytes, the reader
// asks for no byte past the file's end, and gives either one line of
// problem or references whose names qemu could have read: no NUL, no
// longer than qemu's own bounds (a VMDK's parent may span lines, as qemu
// reads it to the next quote).
//
// The input: one byte that picks the format (qcow2, qcow, qed, vmdk, or a
// VMDK extent), then the file. The seeds are headers that qemu-img made: a
// qcow2 overlay with its backing format, a qcow2 with an external data
// file, a qcow with a backing file, a qed with one, a split VMDK's
// descriptor, a monolithicSparse VMDK and one of its extents.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "platform/standin/image/image_references.h"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "image_references_fuzzer: %s\n", what);
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const kFormats[] = {"qcow2", "qcow", "qed", "vmdk", nullptr};
  if (size < 1) return 0;
  const char* format = kFormats[data[0] % 5];
  const uint8_t* file = data + 1;
  const uint64_t fileSize = size - 1;
  standin::ReadDisk read = [&](uint64_t offset, void* buffer, size_t count) {
    check(offset <= fileSize && count <= fileSize - offset, "a read past the file's end");
    memcpy(buffer, file + offset, count);
    return true;
  };
  standin::ImageHeader header;
  std::string problem;
  bool ok = format != nullptr ? standin::readImageHeader(format, read, fileSize, &header, &problem)
                              : standin::readVmdkExtentHeader(read, fileSize, &header, &problem);
  if (!ok) {
    check(!problem.empty() && problem.find('\n') == std::string::npos, "a problem is one line");
    return 0;
  }
  check(problem.empty(), "no problem without a refusal");
  for (const standin::ImageReference& reference : header.references) {
    check(!reference.name.empty() && reference.name.find('\0') == std::string::npos, "a name qemu reads");
    check(reference.name.size() <= 1023, "no longer than qemu reads");
  }
  return 0;
}
