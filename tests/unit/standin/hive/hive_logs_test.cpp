// The replay of a dirty hive's transaction logs: on two real hives with their
// logs, against what a replay in sequence order gives (tests/hive/real), and
// on small hives written here for what the real logs do not show.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "platform/standin/hive/hive_logs.h"

namespace {

using standin::HiveLog;
using standin::HiveReplay;
using standin::HiveState;

typedef std::vector<uint8_t> Bytes;
// (sequence number, index of the log that held it)
typedef std::vector<std::pair<uint32_t, size_t>> Applied;

const uint64_t kLargest = uint64_t(1) << 31;
const std::vector<std::string> kLookedFor = {"SYSTEM.LOG1", "SYSTEM.LOG2", "SYSTEM.LOG"};

uint32_t get32(const Bytes& bytes, size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t(bytes[at + 3]) << 24;
}

void put32(Bytes* bytes, size_t at, uint32_t number) {
  for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<uint8_t>(number >> (8 * i));
}

void put64(Bytes* bytes, size_t at, uint64_t number) {
  put32(bytes, at, static_cast<uint32_t>(number));
  put32(bytes, at + 4, static_cast<uint32_t>(number >> 32));
}

std::string runOutput(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char chunk[65536];
  for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, got);
  pclose(pipe);
  return out;
}

Bytes unpack(const std::string& name) {
  std::string text = runOutput("xz -dc '" NETVANE_FIXTURES "/../hive/real/with-logs/" + name + ".xz'");
  return Bytes(text.begin(), text.end());
}

// Hashed by sha256sum, not by us.
std::string sha256(const uint8_t* data, size_t size) {
  char path[] = "/tmp/hive_logs_test.XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return "";
  FILE* file = fdopen(fd, "wb");
  fwrite(data, 1, size, file);
  fclose(file);
  std::string out = runOutput(std::string("sha256sum ") + path);
  remove(path);
  return out.substr(0, 64);
}

Applied appliedOf(const HiveReplay& replay) {
  Applied applied;
  for (const standin::HiveReplayEntry& entry : replay.applied) applied.push_back({entry.sequence, entry.log});
  return applied;
}

Applied range(uint32_t first, uint32_t last, size_t log) {
  Applied applied;
  for (uint32_t sequence = first; sequence <= last; ++sequence) applied.push_back({sequence, log});
  return applied;
}

Applied operator+(Applied a, const Applied& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// What every recovered image must be: a clean base block, numbered above
// everything applied, whose hive-bins size is the image's.
void expectCleanImage(const HiveReplay& replay) {
  ASSERT_GE(replay.image.size(), 4096u);
  uint32_t sequence = get32(replay.image, 4);
  EXPECT_EQ(sequence, get32(replay.image, 8));
  EXPECT_GT(sequence, replay.lastSequence);
  EXPECT_EQ(standin::baseBlockChecksum(replay.image.data()), get32(replay.image, 508));
  EXPECT_EQ(0u, get32(replay.image, 28)) << "file type";
  EXPECT_EQ(replay.image.size() - 4096, get32(replay.image, 40));
}

TEST(HiveLogs, RealLogsReplayInSequenceOrder) {
  struct Case {
    const char* hive;
    Applied applied;
    uint32_t pages;
    uint32_t hiveBinsSize;
    const char* sha256;
  };
  const Case cases[] = {
      {"NTUSER.DAT", range(566, 588, 0), 132, 925696,
       "9c5e83727e19ff8f7fd95b73ba006dbc20dffbeead9ace35a88753f3fc7e4299"},
      {"UsrClass.dat", range(287, 290, 0) + range(291, 300, 1), 158, 2830336,
       "ecc04a58aa3d2467871e80e393eb8469a5fdd425f37fc88f55308efc2f384930"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hive);
    Bytes primary = unpack(c.hive);
    ASSERT_FALSE(primary.empty()) << "xz could not unpack it";
    std::vector<HiveLog> logs = {{std::string(c.hive) + ".LOG1", unpack(std::string(c.hive) + ".LOG1")},
                                 {std::string(c.hive) + ".LOG2", unpack(std::string(c.hive) + ".LOG2")}};
    HiveReplay replay;
    std::string error;
    ASSERT_TRUE(standin::replayHiveLogs(c.hive, primary.data(), primary.size(), logs, kLookedFor, kLargest,
                                        &replay, &error))
        << error;
    ASSERT_EQ(HiveState::kRecovered, replay.state) << replay.reason;
    EXPECT_EQ(c.applied, appliedOf(replay));
    EXPECT_EQ(c.pages, replay.pagesApplied);
    EXPECT_EQ(c.hiveBinsSize, replay.image.size() - 4096);
    EXPECT_EQ(c.sha256, sha256(replay.image.data() + 4096, replay.image.size() - 4096));
    expectCleanImage(replay);
  }
}

// A small hive of 4 KB bins, each marked with the byte that last wrote it:
// 'P' for the primary, and each log entry's own mark for its pages.
const size_t kMarkAt = 64;
const uint64_t kWritten = 0x01D0123456789ABCull;

Bytes baseBlock(uint32_t sequence1, uint32_t sequence2, uint32_t type, size_t bins) {
  Bytes block(4096);
  memcpy(block.data(), "regf", 4);
  put32(&block, 4, sequence1);
  put32(&block, 8, sequence2);
  put64(&block, 12, kWritten);
  put32(&block, 20, 1);
  put32(&block, 24, 5);
  put32(&block, 28, type);
  put32(&block, 32, 1);
  put32(&block, 36, 32);
  put32(&block, 40, static_cast<uint32_t>(bins * 4096));
  put32(&block, 44, 1);
  put32(&block, 508, standin::baseBlockChecksum(block.data()));
  return block;
}

Bytes bin(size_t index, uint8_t mark) {
  Bytes page(4096);
  memcpy(page.data(), "hbin", 4);
  put32(&page, 4, static_cast<uint32_t>(index * 4096));
  put32(&page, 8, 4096);
  page[kMarkAt] = mark;
  return page;
}

Bytes primaryHive(uint32_t sequence1, uint32_t sequence2, size_t bins = 2) {
  Bytes hive = baseBlock(sequence1, sequence2, 0, bins);
  for (size_t i = 0; i < bins; ++i) {
    Bytes page = bin(i, 'P');
    hive.insert(hive.end(), page.begin(), page.end());
  }
  return hive;
}

// One new-format entry that writes whole bins, each with `mark`; its page
// references may claim another size.
Bytes entry(uint32_t sequence, std::vector<size_t> bins, uint8_t mark, size_t hiveBins = 2,
            uint32_t pageSize = 4096) {
  Bytes bytes(40 + 8 * bins.size());
  memcpy(bytes.data(), "HvLE", 4);
  put32(&bytes, 12, sequence);
  put32(&bytes, 16, static_cast<uint32_t>(hiveBins * 4096));
  put32(&bytes, 20, static_cast<uint32_t>(bins.size()));
  for (size_t i = 0; i < bins.size(); ++i) {
    put32(&bytes, 40 + 8 * i, static_cast<uint32_t>(bins[i] * 4096));
    put32(&bytes, 44 + 8 * i, pageSize);
    Bytes page = bin(bins[i], mark);
    bytes.insert(bytes.end(), page.begin(), page.end());
  }
  bytes.resize((bytes.size() + 511) / 512 * 512);
  put32(&bytes, 4, static_cast<uint32_t>(bytes.size()));
  put64(&bytes, 24, standin::logEntryHash(bytes.data() + 40, bytes.size() - 40));
  put64(&bytes, 32, standin::logEntryHash(bytes.data(), 32));
  return bytes;
}

HiveLog newLog(const char* name, uint32_t sequence, const std::vector<Bytes>& entries) {
  HiveLog log{name, baseBlock(sequence, sequence, 6, 2)};
  log.bytes.resize(512);
  for (const Bytes& e : entries) log.bytes.insert(log.bytes.end(), e.begin(), e.end());
  return log;
}

// An old-format log of a two-bin hive whose second bin is dirty.
HiveLog oldLog(uint64_t written, uint8_t mark, const char* name = "SYSTEM.LOG", uint32_t hiveBins = 8192) {
  HiveLog log{name, baseBlock(12, 12, 1, 2)};
  put64(&log.bytes, 12, written);
  put32(&log.bytes, 40, hiveBins);
  put32(&log.bytes, 508, standin::baseBlockChecksum(log.bytes.data()));
  log.bytes.resize(1024);
  memcpy(log.bytes.data() + 512, "DIRT", 4);
  log.bytes[516] = 0x00;  // pages 0-7: the first bin
  log.bytes[517] = 0xFF;  // pages 8-15: the second
  Bytes page = bin(1, mark);
  log.bytes.insert(log.bytes.end(), page.begin(), page.end());
  return log;
}

std::string marks(const HiveReplay& replay) {
  std::string found;
  for (size_t at = 4096 + kMarkAt; at < replay.image.size(); at += 4096) found += char(replay.image[at]);
  return found;
}

Bytes flipped(Bytes bytes, size_t at) {
  bytes[at] ^= 0x5A;
  return bytes;
}

Bytes damagedBase(Bytes hive) {
  hive[300] ^= 1;
  return hive;
}

// The highest number any entry of the logs carries, refused ones included.
uint32_t highestEntry(const std::vector<HiveLog>& logs) {
  uint32_t highest = 0;
  for (const HiveLog& log : logs) {
    for (size_t at = 512; at + 40 <= log.bytes.size(); at += 512) {
      if (memcmp(log.bytes.data() + at, "HvLE", 4) == 0) highest = std::max(highest, get32(log.bytes, at + 12));
    }
  }
  return highest;
}

TEST(HiveLogs, SmallHivesReplayAsTheFormatSays) {
  Bytes badSize = entry(11, {1}, 'b');
  put32(&badSize, 16, 5000);
  put64(&badSize, 32, standin::logEntryHash(badSize.data(), 32));
  HiveLog badBin = oldLog(kWritten, 'o');
  badBin.bytes[1024] = 'x';
  struct Case {
    const char* what;
    Bytes primary;
    std::vector<HiveLog> logs;
    HiveState state;
    Applied applied;
    std::string marks;  // each bin's mark after, or the reason
    std::string stopped = "";  // recovered: why it stopped where Windows would go on
    uint64_t largest = kLargest;
  };
  const std::string at11 = "the replay stopped at entry 11 of SYSTEM.LOG1, which ";
  const Case cases[] = {
      {"clean: logs ignored", primaryHive(7, 7), {newLog("SYSTEM.LOG1", 7, {entry(7, {0}, 'a')})},
       HiveState::kClean, {}, ""},
      {"split over both logs, out of file order", primaryHive(11, 10),
       {newLog("SYSTEM.LOG1", 12, {entry(12, {1}, 'c'), entry(13, {0}, 'd')}),
        newLog("SYSTEM.LOG2", 10, {entry(10, {0}, 'a'), entry(11, {1}, 'b')})},
       HiveState::kRecovered, range(10, 11, 1) + range(12, 13, 0), "dc"},
      {"stale entries skipped", primaryHive(13, 12),
       {newLog("SYSTEM.LOG1", 10, {entry(10, {0}, 'a'), entry(11, {1}, 'b'), entry(12, {0}, 'c')})},
       HiveState::kRecovered, range(12, 12, 0), "cP"},
      {"later entries than the hive's number", primaryHive(6, 5),
       {newLog("SYSTEM.LOG1", 40, {entry(40, {1}, 'a')})}, HiveState::kRecovered, range(40, 40, 0), "Pa"},
      {"stops at a gap", primaryHive(11, 10),
       {newLog("SYSTEM.LOG1", 10, {entry(10, {0}, 'a')}), newLog("SYSTEM.LOG2", 12, {entry(12, {1}, 'c')})},
       HiveState::kRecovered, range(10, 10, 0), "aP"},
      {"stops at a wrong Hash-1", primaryHive(11, 10),
       {newLog("SYSTEM.LOG1", 10, {entry(10, {0}, 'a'), flipped(entry(11, {1}, 'b'), 4096)})},
       HiveState::kRecovered, range(10, 10, 0), "aP"},
      {"numbered above the entry it stops at", primaryHive(11, 10),
       {newLog("SYSTEM.LOG1", 10, {entry(10, {0}, 'a'), entry(11, {1}, 'b'), flipped(entry(12, {0}, 'c'), 4096)})},
       HiveState::kRecovered, range(10, 11, 0), "ab"},
      {"stops at a wrong Hash-2", primaryHive(11, 10),
       {newLog("SYSTEM.LOG1", 10, {entry(10, {0}, 'a'), flipped(entry(11, {1}, 'b'), 8)})},
       HiveState::kRecovered, range(10, 10, 0), "aP"},
      {"stops at a wrong hive-bins size", primaryHive(11, 10),
       {newLog("SYSTEM.LOG1", 10, {entry(10, {0}, 'a'), badSize})}, HiveState::kRecovered, range(10, 10, 0),
       "aP"},
      {"grows as the entries say", primaryHive(11, 10),
       {newLog("SYSTEM.LOG1", 10, {entry(10, {2}, 'a', 3), entry(11, {3}, 'b', 4)})}, HiveState::kRecovered,
       range(10, 11, 0), "PPab"},
      {"what an entry cuts off stays zeros when a later one grows it back", primaryHive(11, 10, 3),
       {newLog("SYSTEM.LOG1", 10, {entry(10, {1}, 'a', 3), entry(11, {0}, 'b', 1), entry(12, {2}, 'c', 3)})},
       HiveState::kRecovered, range(10, 12, 0), std::string("b\0c", 3)},
      {"a claim the pages do not back stops", primaryHive(11, 10),
       {newLog("SYSTEM.LOG1", 10, {entry(10, {0}, 'a'), entry(11, {1}, 'b', 200)})}, HiveState::kRecovered,
       range(10, 10, 0), "aP", at11 + "claims 819200 bytes of hive bins, more than the hive and its pages reach"},
      {"an entry above the cap stops", primaryHive(11, 10),
       {newLog("SYSTEM.LOG1", 10, {entry(10, {0}, 'a'), entry(11, {2}, 'b', 3)})}, HiveState::kRecovered,
       range(10, 10, 0), "aP", at11 + "claims a hive bigger than the largest Windows allows", 4096 + 2 * 4096},
      {"a page of no bytes stops", primaryHive(11, 10),
       {newLog("SYSTEM.LOG1", 10, {entry(10, {0}, 'a'), entry(11, {1}, 'b', 2, 0)})},
       HiveState::kRecovered, range(10, 10, 0), "aP", at11 + "has a page of no bytes"},
      {"a page past the entry's hive bins stops", primaryHive(11, 10),
       {newLog("SYSTEM.LOG1", 10, {entry(10, {0}, 'a'), entry(11, {2}, 'b')})}, HiveState::kRecovered,
       range(10, 10, 0), "aP", at11 + "has a page outside the hive bins it claims"},
      {"the guard refusing the first entry says so", primaryHive(11, 10),
       {newLog("SYSTEM.LOG1", 10, {entry(10, {1}, 'b', 200)})}, HiveState::kNotRecovered, {},
       "the replay stopped at entry 10 of SYSTEM.LOG1, which claims 819200 bytes of hive bins, more than the "
       "hive and its pages reach; SYSTEM.LOG2 and SYSTEM.LOG are missing"},
      {"damaged base block restored from the newest log", damagedBase(primaryHive(11, 10)),
       {newLog("SYSTEM.LOG1", 9, {entry(9, {1}, 'z')}), newLog("SYSTEM.LOG2", 10, {entry(10, {0}, 'a')})},
       HiveState::kRecovered, range(10, 10, 1), "aP"},
      {"old format", primaryHive(12, 11), {oldLog(kWritten, 'o')}, HiveState::kRecovered, range(12, 12, 0),
       "Po"},
      {"damaged base block restored from an old log", damagedBase(primaryHive(12, 11)), {oldLog(0, 'o')},
       HiveState::kRecovered, range(12, 12, 0), "Po"},
      {"no logs", primaryHive(11, 10), {}, HiveState::kNotRecovered, {},
       "its transaction logs SYSTEM.LOG1, SYSTEM.LOG2 and SYSTEM.LOG are missing"},
      {"only stale entries", primaryHive(21, 20), {newLog("SYSTEM.LOG1", 10, {entry(10, {0}, 'a')})},
       HiveState::kNotRecovered, {},
       "the entries of SYSTEM.LOG1 do not continue from the hive (sequence 20); "
       "SYSTEM.LOG2 and SYSTEM.LOG are missing"},
      {"old log of another state", primaryHive(12, 11), {oldLog(kWritten + 1, 'o'), {"SYSTEM.LOG1", {}}},
       HiveState::kNotRecovered, {},
       "SYSTEM.LOG was written for another state of the hive; SYSTEM.LOG1 is empty; SYSTEM.LOG2 is missing"},
      {"an old log claiming no hive bins leaves the next", primaryHive(12, 11),
       {oldLog(kWritten, 'x', "SYSTEM.LOG1", 0), oldLog(kWritten, 'o', "SYSTEM.LOG2")}, HiveState::kRecovered,
       range(12, 12, 1), "Po"},
      {"an old log claiming part of a bin", primaryHive(12, 11), {oldLog(kWritten, 'o', "SYSTEM.LOG", 6000)},
       HiveState::kNotRecovered, {},
       "SYSTEM.LOG claims 6000 bytes of hive bins, which is not a positive multiple of 4096; "
       "SYSTEM.LOG1 and SYSTEM.LOG2 are missing"},
      {"old log whose dirty bin is not one", primaryHive(12, 11), {badBin}, HiveState::kNotRecovered, {},
       "SYSTEM.LOG holds a damaged hive bin; SYSTEM.LOG1 and SYSTEM.LOG2 are missing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HiveReplay replay;
    std::string error;
    ASSERT_TRUE(standin::replayHiveLogs("SYSTEM", c.primary.data(), c.primary.size(), c.logs, kLookedFor,
                                        c.largest, &replay, &error))
        << error;
    ASSERT_EQ(c.state, replay.state) << replay.reason;
    EXPECT_EQ(c.applied, appliedOf(replay));
    if (c.state == HiveState::kRecovered) {
      EXPECT_EQ(c.marks, marks(replay));
      EXPECT_EQ(c.stopped, replay.reason);
      expectCleanImage(replay);
      // Else Windows would take an entry the replay refused as subsequent.
      EXPECT_GT(get32(replay.image, 4), highestEntry(c.logs));
    } else {
      EXPECT_EQ(c.marks, replay.reason);
      EXPECT_TRUE(replay.image.empty());
    }
  }
}

TEST(HiveLogs, UnusableHivesAreRefusedWithALine) {
  struct Case {
    Bytes primary;
    std::vector<HiveLog> logs;
    std::string error;
    uint64_t largest = kLargest;
  };
  Bytes notHive = primaryHive(1, 1);
  notHive[0] = 'x';
  Bytes cut = primaryHive(1, 1);
  cut.resize(4000);
  const Case cases[] = {
      {notHive, {}, "SYSTEM is not a Windows registry hive"},
      {cut, {},
       "SYSTEM is not a Windows registry hive"},
      {damagedBase(primaryHive(11, 10)), {{"SYSTEM.LOG1", Bytes(700, 0)}},
       "Registry hive SYSTEM is damaged: the checksum of its base block is wrong"},
      {primaryHive(12, 11), {oldLog(kWritten, 'o')},
       "Transaction log SYSTEM.LOG claims a hive bigger than the largest Windows allows", 4096 + 4096},
  };
  for (const Case& c : cases) {
    HiveReplay replay;
    std::string error;
    EXPECT_FALSE(standin::replayHiveLogs("SYSTEM", c.primary.data(), c.primary.size(), c.logs, kLookedFor,
                                         c.largest, &replay, &error));
    EXPECT_EQ(c.error, error);
  }
}

// Logs and primaries cut anywhere: whatever applies is a run of whole
// entries from the first, and nothing is read outside what is there.
TEST(HiveLogs, CutShortInputsApplyWholeEntriesOnly) {
  Bytes primary = primaryHive(11, 10);
  HiveLog log = newLog("SYSTEM.LOG1", 10, {entry(10, {0}, 'a'), entry(11, {1}, 'b', 3)});
  for (size_t cut = 0; cut <= log.bytes.size(); cut += cut < 600 ? 1 : 509) {
    std::vector<HiveLog> logs = {{"SYSTEM.LOG1", Bytes(log.bytes.begin(), log.bytes.begin() + cut)}};
    HiveReplay replay;
    std::string error;
    ASSERT_TRUE(standin::replayHiveLogs("SYSTEM", primary.data(), primary.size(), logs, kLookedFor, kLargest,
                                        &replay, &error));
    Applied whole = range(10, 11, 0);
    whole.resize(replay.applied.size());
    EXPECT_EQ(whole, appliedOf(replay)) << cut;
  }
  for (size_t cut = 4096; cut <= primary.size(); cut += 1000) {
    HiveReplay replay;
    std::string error;
    ASSERT_TRUE(standin::replayHiveLogs("SYSTEM", primary.data(), cut, {log}, kLookedFor, kLargest, &replay,
                                        &error));
    Applied whole = range(10, 11, 0);
    whole.resize(replay.applied.size());
    EXPECT_EQ(whole, appliedOf(replay)) << cut;
  }
}

}  // namespace

namespace {

bool readBytes(void* context, uint64_t offset, void* buffer, size_t size) {
  const Bytes& bytes = *static_cast<const Bytes*>(context);
  if (offset > bytes.size() || size > bytes.size() - offset) return false;
  memcpy(buffer, bytes.data() + offset, size);
  return true;
}

// A run that changes a hive first checks that its bins are what its base
// block says; hivex would write back only the bins the base block counts.
TEST(HiveBins, AreWholeOnlyWhenTheyEndWhereTheBaseBlockSays) {
  struct Row {
    const char* name;
    uint32_t claimed;               // the base block's hive-bins size
    std::vector<uint32_t> bins;     // each bin's size, as its header says
    int wrongOffset;                // a bin whose offset field lies, or -1
    const char* damage;             // "" when whole
  } rows[] = {
      {"two bins, as claimed", 12288, {4096, 8192}, -1, ""},
      {"one byte short of the truth", 12287, {4096, 8192}, -1, "which is no multiple of 4096"},
      {"more than the file holds", 16384, {4096, 8192}, -1, "more than the file holds"},
      {"a bin that runs past the claim", 8192, {4096, 8192}, -1, "run past"},
      {"a bin that says it is elsewhere", 12288, {4096, 8192}, 1, "is damaged"},
  };
  for (const Row& row : rows) {
    Bytes hive(4096, 0);
    memcpy(hive.data(), "regf", 4);
    put32(&hive, 40, row.claimed);
    uint32_t offset = 0;
    for (size_t i = 0; i < row.bins.size(); ++i) {
      Bytes bin(row.bins[i], 0);
      memcpy(bin.data(), "hbin", 4);
      put32(&bin, 4, static_cast<int>(i) == row.wrongOffset ? offset + 4096 : offset);
      put32(&bin, 8, row.bins[i]);
      hive.insert(hive.end(), bin.begin(), bin.end());
      offset += row.bins[i];
    }
    std::string damage;
    bool whole = standin::hiveBinsWhole(standin::parseBaseBlock(hive.data(), hive.size()), hive.size(), readBytes,
                                        &hive, &damage);
    EXPECT_EQ(whole, std::string(row.damage).empty()) << row.name;
    EXPECT_NE(damage.find(row.damage), std::string::npos) << row.name << ": " << damage;
  }
}

}  // namespace
