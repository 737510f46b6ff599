// Bringing a dirty registry hive up to date from its transaction logs, as
// Windows does when it loads one. Pure: the bytes of a primary file and of its
// logs in, the up-to-date image (or why there is none) out; no file I/O and no
// hivex, so that it can be tested and fuzzed alone.
#ifndef NETVANE_PLATFORM_STANDIN_HIVE_HIVE_LOGS_H
#define NETVANE_PLATFORM_STANDIN_HIVE_HIVE_LOGS_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/standin/hive/base_block.h"

namespace standin {

// One transaction log as found beside a hive: its path (named in messages) and its bytes,
// either held in `bytes` or, when `mapped` is set, `mappedSize` bytes the caller maps.
struct HiveLog {
  std::string path;
  std::vector<uint8_t> bytes;
  const uint8_t* mapped = nullptr;
  size_t mappedSize = 0;

  const uint8_t* data() const { return mapped != nullptr ? mapped : bytes.data(); }
  size_t size() const { return mapped != nullptr ? mappedSize : bytes.size(); }
};

enum class HiveState {
  kClean,         // the primary is clean: use it as it is; `image` stays empty
  kRecovered,     // the storage (`image` by default) holds the hive brought up to date, with a clean base block
  kNotRecovered,  // dirty, and no log applies: `reason` says why, naming the log files looked at
};

// One log entry applied (new format), or one old-format log applied whole.
struct HiveReplayEntry {
  uint32_t sequence;
  size_t log;  // its index in `logs`
};

struct HiveReplay {
  HiveState state = HiveState::kClean;
  // kRecovered: the whole up-to-date hive file: base block (sequence numbers equal,
  // higher than every applied log entry's, indeed than any number in the primary or
  // the logs, checksum right, file type primary, hive-bins size as the last entry
  // says) followed by exactly that many bytes of hive bins. Empty when the
  // caller gave its own storage.
  std::vector<uint8_t> image;
  size_t imageSize = 0;  // kRecovered: the bytes of the image, wherever it is
  // kNotRecovered: a clause that fits after "<hive path> is not up to date: ", e.g.
  // "its transaction logs SYSTEM.LOG1, SYSTEM.LOG2 and SYSTEM.LOG are missing" or
  // "the entries of SYSTEM.LOG1 do not continue from the hive (sequence 204)".
  // kRecovered: empty, unless the replay stopped at an entry that Windows
  // would still apply, for a rule of ours outside the format's stopping rules:
  // then why, e.g. "the replay stopped at entry 12 of SYSTEM.LOG1, which has a
  // page of no bytes". The image holds the entries before it; writing it as a
  // clean hive would lose the rest for good.
  std::string reason;
  // What was applied, for tests, the benchmark and messages.
  uint32_t entriesApplied = 0;      // new format: log entries; old format: 1 per log applied
  uint32_t pagesApplied = 0;        // dirty-page references (new) or dirty 512-byte pages (old)
  uint32_t firstSequence = 0, lastSequence = 0;  // sequence numbers of the entries applied
  std::vector<HiveReplayEntry> applied;           // in the order they were applied
};

// Where a recovered image goes: called at most once, when the replay knows the
// image's whole size, it returns `size` bytes whose first `fromPrimary` already
// hold the primary's first bytes and whose rest are zeros, so that the caller
// may fill them the fastest way it has. nullptr when it cannot; the replay
// then fails with whatever the storage put in `error`.
using HiveImageStorage = std::function<uint8_t*(size_t size, size_t fromPrimary, std::string* error)>;

// Brings a hive up to date from its transaction logs, as Windows does when it loads
// a dirty hive. Pure: bytes in, image out; no file I/O, no hivex.
// `logs` are the logs that exist (the caller passes .LOG1, .LOG2 and .LOG where found,
// in that order; absent files are simply not in the vector, but `lookedFor` lists all
// the names it looked for so that `reason` can name them).
// `largest` caps the size of the recovered hive (2 GB, 1.5 GB for SYSTEM).
// `storage` receives the image; without one it goes to `replay->image`.
// Returns false, with `error` a whole line naming the file, only when the hive cannot be
// used at all, not even listed: e.g. a primary that is not a hive, or whose base block is
// damaged (wrong checksum) and no log restores it, or a log that claims more than
// `largest` where the format's stopping rules do not simply stop there.
bool replayHiveLogs(const std::string& primaryPath, const uint8_t* primary, size_t primarySize,
                    const std::vector<HiveLog>& logs, const std::vector<std::string>& lookedFor,
                    uint64_t largest, HiveReplay* replay, std::string* error,
                    const HiveImageStorage& storage = HiveImageStorage());

// The Marvin32 hash that a log entry's Hash-1 and Hash-2 hold ("Log entries",
// notes 1 to 3), for whoever writes entries.
uint64_t logEntryHash(const uint8_t* data, size_t size);

}  // namespace standin

#endif  // NETVANE_PLATFORM_STANDIN_HIVE_HIVE_LOGS_H
