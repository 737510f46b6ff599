// The qemu-nbd that serves an image to one run: started on a socket that
// only the run holds, under a keeper process that ends it however the run
// ends.
#ifndef NETVANE_PLATFORM_STANDIN_IMAGE_NBD_SERVER_H
#define NETVANE_PLATFORM_STANDIN_IMAGE_NBD_SERVER_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace standin {

struct NbdServer {
  pid_t keeper = -1;
  int lifeline = -1;  // the run's end of the pipe the keeper watches
  int messages = -1;  // qemu-nbd's standard error, kept in memory
};

// Starts `program` (qemu-nbd) with `arguments` (its own name first) under a
// keeper. `client` gets the run's end of the socket, which qemu-nbd serves.
// False with `detail`.
bool startNbdServer(const std::string& program, const std::vector<std::string>& arguments, bool writable,
                    NbdServer* server, int* client, std::string* detail);

// qemu-nbd's status once its keeper has ended: its exit status, 128 plus
// the signal that ended it, or -1 when the keeper could not be waited for.
// `seconds` > 0 waits that long for it to end by itself (it ends when its
// client disconnects), then ends it; 0 ends it at once.
int endNbdServer(NbdServer* server, double seconds);

// What qemu-nbd said last, on one line and without its name, e.g. "Image
// is not in qcow2 format"; empty when it said nothing.
std::string nbdServerMessage(const NbdServer& server);

}  // namespace standin

#endif
