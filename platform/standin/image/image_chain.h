// The files an image file names besides itself, checked before anything
// opens them: a backing file, an external data file or a VMDK extent is
// followed only when it resolves (links followed) to a regular file in the
// directory of the file that names it. A backing file's own references are
// followed the same way, a few levels deep at most.
#ifndef NETVANE_PLATFORM_STANDIN_IMAGE_IMAGE_CHAIN_H
#define NETVANE_PLATFORM_STANDIN_IMAGE_IMAGE_CHAIN_H

#include <string>

#include "platform/standin/image/disk.h"

namespace standin {

// Checks what the image file `request->path` (absolute, links resolved) in
// `request->format` names, and fills in `request->dataFile` and
// `request->backing` with what qemu is to open. `shown` names the image in
// lines. False with one line in `error`: a reference that is refused, an
// encrypted image, or a header that cannot be read.
bool checkImageChain(const std::string& shown, DiskRequest* request, std::string* error);

}  // namespace standin

#endif
