// What a file named as the store is, told from its bytes by a sandboxed
// process of its own (sandbox.h): the run itself reads nothing of a file
// that may be a disk image from anyone.
#ifndef NETVANE_PLATFORM_STANDIN_IMAGE_IMAGE_PROBE_H
#define NETVANE_PLATFORM_STANDIN_IMAGE_IMAGE_PROBE_H

#include <string>

namespace standin {

struct ImageProbe {
  bool image = false;      // a disk image, not a registry export
  std::string format;      // qemu's name of its format
  std::string unwritable;  // a VMDK subformat qemu cannot change in place, or ""
};

// Probes the regular file or block device at `path` (`size` bytes). False
// with one line in `error` when it cannot be read or the probe did not end
// well.
bool probeImage(const std::string& path, bool device, ImageProbe* probe, std::string* error);

}  // namespace standin

#endif
