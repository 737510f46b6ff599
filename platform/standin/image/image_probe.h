// What a file's bytes say it is, read by a sandboxed process of its own
// (sandbox.h): the run itself reads nothing of a file that may be a disk
// image from anyone, nor of the files such an image names.
#ifndef NETVANE_PLATFORM_STANDIN_IMAGE_IMAGE_PROBE_H
#define NETVANE_PLATFORM_STANDIN_IMAGE_IMAGE_PROBE_H

#include <string>

#include "platform/standin/image/image_references.h"

namespace standin {

enum class FileKind {
  diskImage,
  registryExport,
  neither,  // what netvane opens neither as an export nor as an image
  unread,   // empty, or unreadable here: the registry store says why
};

struct ImageProbe {
  FileKind kind = FileKind::unread;
  // The format a run opens it in (chooseFormat, with NETVANE_FORMAT), or
  // empty with `problem`, a clause after the image's name.
  std::string format;
  std::string problem;
  bool luks = false;       // a LUKS volume, encrypted
  std::string unwritable;  // a VMDK subformat qemu cannot change in place, or ""
};

// Probes the regular file or block device at `path`, with the format the
// user stated (NETVANE_FORMAT, or null). False with one line in `error`
// when it cannot be read or the probe did not end well.
bool probeImage(const std::string& path, bool device, const char* stated, ImageProbe* probe, std::string* error);

// What the header of `fd`, a regular file that an image's chain holds, names
// (readImageHeader in `format`, or readVmdkExtentHeader for an extent).
// False with `problem` when the header is refused, or with `error` when the
// probe did not end well; `shown` names the file in `error`.
bool probeHeader(int fd, const std::string& shown, const std::string& format, bool extent, ImageHeader* header,
                 std::string* problem, std::string* error);

// The format the content of `fd` shows (imageFormat). False with `error`.
bool probeFormat(int fd, const std::string& shown, std::string* format, std::string* error);

}  // namespace standin

#endif
