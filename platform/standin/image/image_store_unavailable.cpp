// The image store of a stand-in built without libnbd, libntfs-3g or hivex:
// a disk image in NETVANE_REGISTRY gets one line that says why it cannot be
// used.
#include "platform/standin/registry_store.h"

namespace standin {

std::unique_ptr<RegistryStore> openDiskImageStore(const std::string& path, bool, std::string* error) {
  *error = "Cannot open disk image " + path +
           ": this netvane was built without libnbd, libntfs-3g or hivex (install libnbd-dev, "
           "ntfs-3g-dev and libhivex-dev and rebuild)";
  return nullptr;
}

}  // namespace standin
