// The image store of a stand-in built without libnbd, libntfs-3g, hivex or
// libseccomp: a disk image in NETVANE_REGISTRY gets one line that says why
// it cannot be used.
#include <fcntl.h>
#include <unistd.h>

#include "platform/standin/image/image_format.h"
#include "platform/standin/registry_store.h"

namespace standin {

std::unique_ptr<RegistryStore> openDiskImageStore(const std::string& path, bool device, bool, bool* image, int32_t*,
                                                  std::string* error) {
  // Told from the first bytes only, which nothing here parses further.
  *image = device;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (!device && fd >= 0) {
    std::string head, tail;
    ImageStart start;
    off_t size = lseek(fd, 0, SEEK_END);
    *image = size >= 0 && readImageStart(fd, static_cast<uint64_t>(size), &head, &tail, &start) && isDiskImage(start);
  }
  if (fd >= 0) close(fd);
  if (*image) {
    *error = std::string("Cannot open ") + (device ? "disk " : "disk image ") + path +
             ": this netvane was built without libnbd, libntfs-3g, hivex or libseccomp (install libnbd-dev, "
             "ntfs-3g-dev, libhivex-dev and libseccomp-dev and rebuild)";
  }
  return nullptr;
}

}  // namespace standin
