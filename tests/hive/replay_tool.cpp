// Test-only: replays a hive's logs into a new file, so that readers we did
// not write can judge the result.
//
//   replay_tool PRIMARY OUTPUT [LOG...]
//
// Prints "<state> entries <n> pages <n>" and, when the hive was recovered,
// writes the image to OUTPUT. Exits 1 when the hive cannot be used at all.
#include <stdio.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/standin/hive/hive_logs.h"

namespace {

std::vector<uint8_t> readAll(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: replay_tool PRIMARY OUTPUT [LOG...]\n");
    return 2;
  }
  std::vector<uint8_t> primary = readAll(argv[1]);
  std::vector<standin::HiveLog> logs;
  std::vector<std::string> names;
  for (int i = 3; i < argc; ++i) {
    logs.push_back({argv[i], readAll(argv[i])});
    names.push_back(argv[i]);
  }
  standin::HiveReplay replay;
  std::string error;
  if (!standin::replayHiveLogs(argv[1], primary.data(), primary.size(), logs, names, uint64_t(1) << 31,
                               &replay, &error)) {
    fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const char* states[] = {"clean", "recovered", "not-recovered"};
  printf("%s entries %u pages %u\n", states[static_cast<int>(replay.state)], replay.entriesApplied,
         replay.pagesApplied);
  if (replay.state == standin::HiveState::kNotRecovered) printf("%s\n", replay.reason.c_str());
  if (replay.state == standin::HiveState::kRecovered) {
    std::ofstream out(argv[2], std::ios::binary);
    out.write(reinterpret_cast<const char*>(replay.image.data()),
              static_cast<std::streamsize>(replay.image.size()));
    if (!out) return 1;
  }
  return 0;
}
