// The hive store of a stand-in built without hivex: a directory in
// NETVANE_REGISTRY gets one line that says why it cannot be used.
#include "platform/standin/registry_store.h"

namespace standin {

std::unique_ptr<RegistryStore> openHiveStore(const std::string& directory, bool, std::string* error) {
  *error = "Cannot open the Windows installation in " + directory +
           ": this netvane was built without hivex (install libhivex-dev and rebuild)";
  return nullptr;
}

}  // namespace standin
