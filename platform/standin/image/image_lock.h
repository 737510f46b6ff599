// The lock qemu keeps on an image file or device it opens (block/file-posix.c,
// RAW_LOCK_PERM_BASE and RAW_LOCK_SHARED_BASE): a read lock of the open file
// description on byte 100 + p for each permission p held, and on byte
// 200 + p for each permission not shared with others. Whoever wants a
// permission that another does not share, or does not share one another
// holds, is refused. A run that reads or writes a raw image itself takes
// the same lock, so that a virtual machine, a qemu program or another run
// sees it and is seen.
#ifndef NETVANE_PLATFORM_STANDIN_IMAGE_IMAGE_LOCK_H
#define NETVANE_PLATFORM_STANDIN_IMAGE_IMAGE_LOCK_H

namespace standin {

// qemu's permission bits (include/block/block-common.h, BLK_PERM_*).
const unsigned kConsistentRead = 1u << 0;
const unsigned kWrite = 1u << 1;
const unsigned kWriteUnchanged = 1u << 2;
const unsigned kResize = 1u << 3;

enum class LockResult { taken, conflict, failed };

// Takes the lock on `fd` for `held` permissions, sharing none of `unshared`.
// A conflict takes nothing, as qemu backs out of it. A file system without
// open file description locks takes nothing and counts as taken, as qemu's
// locking=auto does; other failures leave errno set.
LockResult lockImage(int fd, unsigned held, unsigned unshared);

}  // namespace standin

#endif
