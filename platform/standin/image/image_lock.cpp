#include "platform/standin/image/image_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>

namespace standin {

namespace {

const int kPermissionBase = 100;
const int kUnsharedBase = 200;
const int kPermissions = 4;

bool setByte(int fd, int byte, short type) {
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// Whether another open file description holds the byte (qemu_lock_fd_test:
// a write lock asked for is refused by any read lock of another).
bool heldByOther(int fd, int byte, bool* held) {
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return false;
  *held = lock.l_type != F_UNLCK;
  return true;
}

void release(int fd) {
  for (int p = 0; p < kPermissions; ++p) {
    setByte(fd, kPermissionBase + p, F_UNLCK);
    setByte(fd, kUnsharedBase + p, F_UNLCK);
  }
}

}  // namespace

LockResult lockImage(int fd, unsigned held, unsigned unshared) {
  // Taken first and checked after, as qemu does (raw_handle_perm_lock): two
  // that start together then both see the other and back out, rather than
  // both going ahead.
  for (int p = 0; p < kPermissions; ++p) {
    bool ok = true;
    if (held & (1u << p)) ok = setByte(fd, kPermissionBase + p, F_RDLCK);
    if (ok && (unshared & (1u << p))) ok = setByte(fd, kUnsharedBase + p, F_RDLCK);
    if (!ok) {
      int cause = errno;
      release(fd);
      errno = cause;
      return cause == EINVAL || cause == ENOLCK || cause == EOPNOTSUPP ? LockResult::taken : LockResult::failed;
    }
  }
  for (int p = 0; p < kPermissions; ++p) {
    bool other = false;
    bool ok = true;
    if (held & (1u << p)) ok = heldByOther(fd, kUnsharedBase + p, &other);
    if (ok && !other && (unshared & (1u << p))) ok = heldByOther(fd, kPermissionBase + p, &other);
    if (!ok || other) {
      int cause = errno;
      release(fd);
      errno = cause;
      return other ? LockResult::conflict : LockResult::failed;
    }
  }
  return LockResult::taken;
}

}  // namespace standin
