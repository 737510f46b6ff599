// What a crash or a crowd does to a store: a run killed at any moment leaves
// the old store or the new one, whole; runs started together on one store
// take turns, and every one of their changes lands.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "run_tool.h"

namespace {

const std::vector<std::string> kChange = {"2", "192.168.1.10", "*", "192.168.1.1", "192.168.1.2"};

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Puts `bytes` in place the way a run does, so the store is never seen half written.
void replaceStore(const std::string& store, const std::string& bytes) {
  writeFile(store + ".setup", bytes);
  ASSERT_EQ(rename((store + ".setup").c_str(), store.c_str()), 0);
}

TEST(CrashSafety, KilledRunsLeaveTheOldStoreOrTheNew) {
  ScratchDir scratch;
  const std::string store = scratch.file("registry.reg");
  const std::string out = scratch.file("out");
  const std::string before = fixture("machine.reg") + "\n" + fillerSections(10 << 20);

  const unsigned seed = static_cast<unsigned>(std::chrono::system_clock::now().time_since_epoch().count());
  RecordProperty("seed", std::to_string(seed));
  std::mt19937 random(seed);
  // Unoptimised under AddressSanitizer, a run on 10 MB takes several times as
  // long. However long the kills take, they are counted to the end: only a
  // run that hangs stops the test, when waitTool gives it up after kRunSeconds.
#if defined(__SANITIZE_ADDRESS__)
  const int kKills = 100;
#else
  const int kKills = 300;
#endif
  std::string after;
  std::vector<double> times;
  int kills = 0, killedRunning = 0, oldSeen = 0, newSeen = 0, temporaries = 0;
  auto start = std::chrono::steady_clock::now();
  for (; kills < kKills; ++kills) {
    // Whole runs give the new store, and the time they take sets the span
    // the kills fall in: the median of the last three, measured again before
    // every tenth kill, so that the span follows the machine's load.
    for (int whole = kills == 0 ? 3 : kills % 10 == 0 ? 1 : 0; whole > 0; --whole) {
      replaceStore(store, before);
      ToolRun run = runWithStore(store, kChange);
      ASSERT_EQ(run.status, 0) << run.out;
      if (after.empty()) {
        after = readFile(store);
        ASSERT_NE(after, before);
        std::string error;
        ASSERT_TRUE(readsInFull(after, &error)) << error;
      }
      ASSERT_EQ(readFile(store), after) << "after " << kills << " kills";
      times.push_back(run.seconds);
    }
    std::vector<double> recent(times.end() - 3, times.end());
    std::sort(recent.begin(), recent.end());
    // Some kills land before the run starts, most while it reads and writes,
    // some after it has ended.
    const double wait = std::uniform_real_distribution<double>(0, 1.2 * recent[1])(random);
    replaceStore(store, before);
    pid_t pid = startTool(kChange, storeEnvironment(store), out);
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::duration<double>(wait));
    kill(pid, SIGKILL);
    const int status = waitTool(pid, kRunSeconds);
    if (status == 1000 + SIGKILL) {
      ++killedRunning;
    } else {
      ASSERT_EQ(status, 0) << readFile(out);
    }
    const std::string now = readFile(store);
    const bool isOld = now == before;
    const bool isNew = now == after;
    ASSERT_TRUE(isOld || isNew) << "killed after " << wait << " s (seed " << seed << "), the store holds "
                                << now.size() << " bytes that are neither the old store nor the new";
    oldSeen += isOld;
    newSeen += isNew;
    // A killed run leaves its temporary file beside the store, or its lock,
    // which the next run takes in turn; nothing else.
    for (const std::string& name : directoryEntries(scratch.path())) {
      if (name == "registry.reg" || name == "out" || name == "registry.reg.lock") continue;
      EXPECT_EQ(name.rfind("registry.reg.", 0), 0u) << name;
      EXPECT_EQ(name.size(), std::string("registry.reg.XXXXXX").size()) << name;
      remove(scratch.file(name).c_str());
      ++temporaries;
    }
  }
  RecordProperty("kills", std::to_string(kills));
  RecordProperty("seconds", std::to_string(secondsSince(start)));
  std::sort(times.begin(), times.end());
  printf("%d kills in %.1f s, a run taking %.0f ms: %d while running; %d left the old store, %d the new; "
         "%d temporary files\n",
         kills, secondsSince(start), 1000 * times[times.size() / 2], killedRunning, oldSeen, newSeen, temporaries);
  // The kills fell on both sides of the moment the new store took the old one's place.
  EXPECT_GT(oldSeen, 0);
  EXPECT_GT(newSeen, 0);
  EXPECT_GT(killedRunning, 0);
}

TEST(CrashSafety, ParallelRunsOnDifferentAdaptersAllLand) {
  const int kAdapters = 20;
  const std::string cards = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";
  const std::string services = "SYSTEM\\CurrentControlSet\\Services\\";
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[" + cards + "]\r\n\r\n";
  for (int i = 1; i <= kAdapters; ++i) {
    const std::string n = std::to_string(i);
    text += "[" + cards + "\\" + n + "]\r\n\"Description\"=\"Card " + n + "\"\r\n\"ServiceName\"=\"Nic" + n +
            "\"\r\n\r\n[HKEY_LOCAL_MACHINE\\" + services + "Nic" + n +
            "\\Parameters\\Tcpip]\r\n\"EnableDHCP\"=dword:00000001\r\n\r\n";
  }
  text += "[HKEY_LOCAL_MACHINE\\" + services + "Tcpip\\Parameters]\r\n\"Hostname\"=\"crowd\"\r\n\r\n";
  // Enough that each run takes a while, and the runs overlap.
  text += fillerSections(2 << 20);
  ScratchDir scratch;
  const std::string store = scratch.file("registry.reg");
  writeFile(store, version5File(text));

  // The last run waits for the nineteen before it, which a busy machine can
  // stretch past the minute a run waits for the lock unless told otherwise.
  std::map<std::string, std::string> environment = storeEnvironment(store);
  environment["NETVANE_LOCK_WAIT"] = std::to_string(static_cast<int>(kRunSeconds));
  std::vector<pid_t> runs;
  for (int i = 1; i <= kAdapters; ++i) {
    runs.push_back(startTool({"Nic" + std::to_string(i), "10.0.0." + std::to_string(i)}, environment,
                             scratch.file("out" + std::to_string(i))));
  }
  for (int i = 1; i <= kAdapters; ++i) {
    EXPECT_EQ(waitTool(runs[i - 1], kRunSeconds), 0) << readFile(scratch.file("out" + std::to_string(i)));
  }
  const std::string after = readFile(store);
  ASSERT_EQ(after.substr(0, 2), "\xff\xfe");
  std::string error;
  EXPECT_TRUE(readsInFull(after, &error)) << error;
  for (int i = 1; i <= kAdapters; ++i) {
    const std::string key = services + "Nic" + std::to_string(i) + "\\Parameters\\Tcpip";
    EXPECT_EQ(storedText(store, key, "IPAddress"), "10.0.0." + std::to_string(i)) << key;
  }
  for (const std::string& name : directoryEntries(scratch.path())) {
    EXPECT_TRUE(name == "registry.reg" || name.rfind("out", 0) == 0) << name;
  }
}

}  // namespace
