// qemu's image lock, as a run takes it on a raw image: against another run,
// and against what qemu programs hold (measured: qemu-io on a raw image
// read-write holds bytes 100 and 101 and shares everything; qemu-nbd
// serving a qcow2 for writing adds 103, 201 and 203).
#include "platform/standin/image/image_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

using namespace standin;

const unsigned kRunReads = kConsistentRead;
const unsigned kRunWrites = kConsistentRead | kWrite;
const unsigned kRunUnshares = kWrite | kResize;

TEST(ImageLock, OneWriterAtATimeAndNoWriterBesideAReader) {
  struct Row {
    const char* name;
    unsigned firstHeld, firstUnshared, secondHeld, secondUnshared;
    LockResult second;
  };
  const Row rows[] = {
      {"two configure runs", kRunWrites, kRunUnshares, kRunWrites, kRunUnshares, LockResult::conflict},
      {"a configure run, then a listing", kRunWrites, kRunUnshares, kRunReads, kRunUnshares, LockResult::conflict},
      {"a listing, then a configure run", kRunReads, kRunUnshares, kRunWrites, kRunUnshares, LockResult::conflict},
      {"two listings", kRunReads, kRunUnshares, kRunReads, kRunUnshares, LockResult::taken},
      {"qemu-io writing a raw image, then a configure run", kRunWrites, 0, kRunWrites, kRunUnshares,
       LockResult::conflict},
      {"a qemu reader sharing writes, then a configure run", kRunReads, kResize, kRunWrites, kRunUnshares,
       LockResult::taken},
  };
  for (const Row& row : rows) {
    char path[] = "/tmp/image_lock_test.XXXXXX";
    int first = mkstemp(path);
    ASSERT_GE(first, 0);
    int second = open(path, O_RDWR);
    unlink(path);
    EXPECT_EQ(lockImage(first, row.firstHeld, row.firstUnshared), LockResult::taken) << row.name;
    EXPECT_EQ(lockImage(second, row.secondHeld, row.secondUnshared), row.second) << row.name;
    // Backing out of a conflict takes nothing: the first can change its
    // mind, and once it lets go, the second gets the lock.
    close(first);
    EXPECT_EQ(lockImage(second, row.secondHeld, row.secondUnshared), LockResult::taken) << row.name;
    close(second);
  }
}

}  // namespace
