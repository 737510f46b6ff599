#include "platform/standin/image/libnbd_calls.h"

#include <dlfcn.h>

namespace standin {

const LibnbdCalls* loadLibnbd(std::string* detail) {
  static LibnbdCalls calls;
  static bool loaded = false;
  if (loaded) return &calls;
  void* library = dlopen("libnbd.so.0", RTLD_NOW | RTLD_LOCAL);
  bool ok = library != nullptr;
#define NETVANE_RESOLVE(name) \
  if (ok) ok = (calls.name = reinterpret_cast<decltype(&::nbd_##name)>(dlsym(library, "nbd_" #name))) != nullptr;
  NETVANE_LIBNBD_FUNCTIONS(NETVANE_RESOLVE)
#undef NETVANE_RESOLVE
  if (!ok) {
    const char* why = dlerror();
    *detail = std::string("libnbd cannot be loaded (install the package libnbd0): ") + (why != nullptr ? why : "");
    return nullptr;
  }
  loaded = true;
  return &calls;
}

}  // namespace standin
