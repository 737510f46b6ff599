// libnbd, loaded when a disk is first opened through qemu-nbd rather than
// when netvane starts: it brings GnuTLS, libxml2 and ICU, whose loading and
// set-up would cost every run, a .reg store's too, about 10 ms.
#ifndef NETVANE_PLATFORM_STANDIN_IMAGE_LIBNBD_CALLS_H
#define NETVANE_PLATFORM_STANDIN_IMAGE_LIBNBD_CALLS_H

#include <libnbd.h>

#include <string>

namespace standin {

#define NETVANE_LIBNBD_FUNCTIONS(use)                                                                      \
  use(create) use(get_strict_mode) use(set_strict_mode) use(connect_socket) use(get_size) use(is_read_only) \
      use(get_error) use(aio_pread) use(aio_pwrite) use(aio_command_completed) use(poll) use(aio_in_flight)  \
          use(flush) use(aio_is_ready) use(shutdown) use(close)

// The functions used, named as libnbd's without their "nbd_".
struct LibnbdCalls {
#define NETVANE_DECLARE(name) decltype(&::nbd_##name) name = nullptr;
  NETVANE_LIBNBD_FUNCTIONS(NETVANE_DECLARE)
#undef NETVANE_DECLARE
};

// Null with `detail` when libnbd cannot be loaded.
const LibnbdCalls* loadLibnbd(std::string* detail);

}  // namespace standin

#endif
