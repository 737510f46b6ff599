// What reaches a disk from libntfs-3g's writes: nothing before a step ends,
// then each step's writes in an order that leaves at worst leaked space,
// and nothing at all from a step that failed.
#include "platform/standin/image/volume_window.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "platform/standin/image/disk.h"

namespace {

using standin::Disk;
using standin::StepKind;
using standin::VolumeWindow;

// A disk in memory that records what reaches it: "w@OFFSET:TAG" for each
// piece, "flush" for each flush.
class RecordingDisk : public Disk {
 public:
  explicit RecordingDisk(size_t size) : bytes(size, 0) {
    size_ = size;
    writable_ = true;
  }
  bool read(uint64_t offset, void* buffer, size_t count) override {
    memcpy(buffer, bytes.data() + offset, count);
    return true;
  }
  bool write(const std::vector<Piece>& pieces) override {
    for (const Piece& piece : pieces) {
      memcpy(bytes.data() + piece.offset, piece.bytes, piece.size);
      log.push_back("w@" + std::to_string(piece.offset) + ":" +
                    std::string(static_cast<const char*>(piece.bytes), 4));
    }
    return true;
  }
  bool flush() override {
    log.push_back("flush");
    return true;
  }
  bool close(std::string*) override { return true; }
  std::vector<uint8_t> bytes;
  std::vector<std::string> log;
};

// A 1024-byte MFT record, of a directory or not; an index block; data.
std::string record(bool directory) {
  std::string bytes(1024, 'r');
  memcpy(&bytes[0], "FILE", 4);
  bytes[22] = directory ? 3 : 1;
  return bytes;
}
std::string block(const char* tag) { return std::string(tag) + std::string(4092, 'b'); }

TEST(VolumeWindow, AStepReachesTheDiskWholeInTheOrderThatNamesLast) {
  struct Write {
    uint64_t at;
    std::string bytes;
  };
  struct Row {
    const char* name;
    StepKind kind;
    std::vector<Write> writes;
    std::vector<std::string> reached;
  };
  const uint64_t kVolume = 4096;  // where the window starts on the disk
  const Row rows[] = {
      {"a new file: its data, then its record, then the directory that names it", StepKind::adding,
       {{8192, block("INDX")}, {0, record(true)}, {1024, record(false)}, {16384, block("DATA")}},
       {"w@20480:DATA", "flush", "w@5120:FILE", "flush", "w@4096:FILE", "w@12288:INDX", "flush"}},
      {"a name removed: the directory first, the bitmap last", StepKind::removing,
       {{16384, block("BMAP")}, {1024, record(false)}, {8192, block("INDX")}},
       {"w@12288:INDX", "flush", "w@5120:FILE", "flush", "w@20480:BMAP", "flush"}},
      {"a block written twice goes out once, as last written", StepKind::adding,
       {{16384, block("OLD.")}, {16384, block("NEW.")}, {16400, "LAST"}},
       {"w@20480:NEW.", "flush"}},
  };
  for (const Row& row : rows) {
    RecordingDisk disk(64 << 10);
    VolumeWindow window(&disk, kVolume, 32 << 10);
    window.setRecordSize(1024);
    for (const Write& write : row.writes) ASSERT_TRUE(window.write(write.at, write.bytes.data(), write.bytes.size()));
    EXPECT_TRUE(disk.log.empty()) << row.name << ": written before the step ended";
    // Reads see what is held.
    char seen[4];
    size_t got = 0;
    const Write& last = row.writes.back();
    ASSERT_TRUE(window.read(last.at, seen, sizeof seen, &got));
    EXPECT_EQ(std::string(seen, got), last.bytes.substr(0, 4)) << row.name;
    ASSERT_TRUE(window.commit(row.kind)) << row.name;
    EXPECT_EQ(disk.log, row.reached) << row.name;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(disk.bytes.data()) + kVolume + last.at, 4), last.bytes.substr(0, 4))
        << row.name;
  }
}

TEST(VolumeWindow, AFailedStepAndEveryWriteAfterItNeverReachTheDisk) {
  RecordingDisk disk(64 << 10);
  VolumeWindow window(&disk, 0, 32 << 10);
  std::string bytes = block("DATA");
  ASSERT_TRUE(window.write(0, bytes.data(), bytes.size()));
  window.fail();
  ASSERT_TRUE(window.write(4096, bytes.data(), bytes.size()));
  EXPECT_FALSE(window.commit(StepKind::adding));
  EXPECT_TRUE(disk.log.empty());
  EXPECT_EQ(disk.bytes, std::vector<uint8_t>(64 << 10, 0));
  // Past the window's end is no write at all.
  EXPECT_FALSE(window.write((32 << 10) - 2, bytes.data(), 4));
  EXPECT_EQ(errno, ENOSPC);
}

}  // namespace
