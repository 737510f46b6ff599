// Arbitrary bytes as a hive and its transaction logs. Whatever the bytes, the
// replay gives a clean hive, a recovered one, a reason, or one line of error;
// a recovered image is a whole clean hive no larger than the cap.
//
// The input: one byte whose low bits say how many logs follow (0 to 3) and
// whose top bit picks a small cap, then the primary and each log but the
// last as a 16-bit little-endian length and that many bytes; the last log
// takes the rest. With the first byte's bit 6 set, every log entry's hashes
// are made right before the replay, so that mutations inside entries reach
// what lies past the hash checks.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/standin/hive/hive_logs.h"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "hive_logs_fuzzer: %s\n", what);
    abort();
  }
}

uint32_t read32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// Takes a length-prefixed part, or all that is left.
std::vector<uint8_t> part(const uint8_t** data, size_t* size, bool last) {
  size_t length = *size;
  if (!last) {
    if (*size < 2) return std::vector<uint8_t>();
    length = std::min<size_t>((*data)[0] | (*data)[1] << 8, *size - 2);
    *data += 2;
    *size -= 2;
  }
  std::vector<uint8_t> bytes(*data, *data + length);
  *data += length;
  *size -= length;
  return bytes;
}

void put64(uint8_t* bytes, uint64_t number) {
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(number >> (8 * i));
}

void rehash(std::vector<uint8_t>* log) {
  for (size_t at = 512; log->size() >= at + 40;) {
    uint8_t* entry = log->data() + at;
    uint32_t size = read32(entry + 4);
    if (size < 40 || size > log->size() - at) return;
    put64(entry + 24, standin::logEntryHash(entry + 40, size - 40));
    put64(entry + 32, standin::logEntryHash(entry, 32));
    at += (size + 511) / 512 * 512;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t flags = data[0];
  size_t logCount = flags & 3;
  uint64_t largest = flags & 0x80 ? 64 * 1024 : uint64_t(1) << 31;
  ++data;
  --size;
  std::vector<uint8_t> primary = part(&data, &size, logCount == 0);
  const char* const names[] = {"SYSTEM.LOG1", "SYSTEM.LOG2", "SYSTEM.LOG"};
  std::vector<standin::HiveLog> logs;
  for (size_t i = 0; i < logCount; ++i) logs.push_back({names[i], part(&data, &size, i + 1 == logCount)});
  std::vector<std::string> lookedFor(names, names + 3);
  if (flags & 0x40) {
    for (standin::HiveLog& log : logs) rehash(&log.bytes);
  }

  standin::HiveReplay replay;
  std::string error;
  // A copy of exactly the primary's bytes, so that a read past them is caught.
  uint8_t* exact = static_cast<uint8_t*>(malloc(primary.size() + 1));
  if (!primary.empty()) memcpy(exact, primary.data(), primary.size());
  bool usable =
      standin::replayHiveLogs("SYSTEM", exact, primary.size(), logs, lookedFor, largest, &replay, &error);
  free(exact);
  if (!usable) {
    check(!error.empty() && error.find('\n') == std::string::npos, "an error is one line");
    return 0;
  }
  switch (replay.state) {
    case standin::HiveState::kClean:
      check(replay.image.empty(), "a clean hive needs no image");
      break;
    case standin::HiveState::kNotRecovered:
      check(!replay.reason.empty() && replay.image.empty(), "no image, but a reason");
      break;
    case standin::HiveState::kRecovered: {
      const std::vector<uint8_t>& image = replay.image;
      check(image.size() >= 4096 + 4096 && image.size() <= largest, "a recovered hive within the cap");
      check(read32(image.data() + 40) == image.size() - 4096, "the hive-bins size is the image's");
      check(read32(image.data() + 4) == read32(image.data() + 8), "equal sequence numbers");
      check(read32(image.data() + 4) > replay.lastSequence || replay.lastSequence == UINT32_MAX,
            "numbered above every entry applied");
      check(standin::baseBlockChecksum(image.data()) == read32(image.data() + 508), "a right checksum");
      check(replay.applied.size() == replay.entriesApplied, "every entry applied is listed");
      check(replay.reason.find('\n') == std::string::npos, "why it stopped short is one clause");
      break;
    }
  }
  return 0;
}
