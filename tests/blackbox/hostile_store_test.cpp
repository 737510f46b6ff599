// Stores that lie: cut short, malformed, absurdly large or deep. Each run
// against one ends with the right answer or with one line naming the store
// and a non-zero status, never with a crash, a hang or a store half written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "run_tool.h"

namespace {

const std::string kUsageStart = "netvane: TCP/IP settings for one network adapter.";
const std::string kCards = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";
const std::string kServices = "SYSTEM\\CurrentControlSet\\Services\\";
const std::string kE100A = kServices + "E100A\\Parameters\\Tcpip";

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

size_t count(const std::string& text, const std::string& part) {
  size_t found = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++found;
  return found;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

class HostileStore : public ::testing::Test {
 protected:
  void SetUp() override { store = scratch.file("registry.reg"); }

  // One line that names the store and says what is wrong; the status is its
  // length, as for every message of the tool.
  void expectRefused(const ToolRun& run, const std::string& reason) {
    EXPECT_EQ(count(run.out, "\n"), 1u) << run.out;
    EXPECT_TRUE(endsWith(run.out, "\n")) << run.out;
    EXPECT_NE(run.out.find(store), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(reason), std::string::npos) << run.out;
    EXPECT_EQ(run.status, static_cast<int>(std::min<size_t>(run.out.size(), 255))) << run.out;
  }

  // A run leaves nothing beside the store.
  void expectNoLeftovers() {
    EXPECT_EQ(directoryEntries(scratch.path()), std::vector<std::string>{"registry.reg"});
  }

  ScratchDir scratch;
  std::string store;
};

// Cut anywhere, a store reads as what is left of it or is refused whole.
TEST_F(HostileStore, TruncatedStoresAreReadOrRefused) {
  const std::string flavours[] = {fixture("machine.reg"), version5File(fixture("machine-v5.utf8.reg"))};
  int refused = 0;
  int written = 0;
  for (const std::string& whole : flavours) {
    // An odd step reaches odd offsets, which cut a UTF-16 unit in half.
    for (size_t cut = 0; cut < whole.size(); cut += whole.size() / 80 | 1) {
      const std::string text = whole.substr(0, cut);
      SCOPED_TRACE("cut at " + std::to_string(cut) + " of " + std::to_string(whole.size()));
      writeFile(store, text);
      ToolRun list = runWithStore(store, {});
      if (list.status == 0) {
        EXPECT_EQ(list.out.rfind(kUsageStart, 0), 0u) << list.out;
      } else if (list.status == 35) {
        EXPECT_TRUE(endsWith(list.out, "\nCannot locate any network cards...\n")) << list.out;
      } else {
        expectRefused(list, "line ");
        ++refused;
      }
      ToolRun change = runWithStore(store, {"1", "10.0.0.5"});
      EXPECT_LT(change.status, 1000) << change.out;
      const std::string after = readFile(store);
      if (after != text) {
        // Written only in full, and only with the change asked for.
        std::string error;
        EXPECT_TRUE(readsInFull(after, &error)) << error;
        EXPECT_EQ(storedText(store, kE100A, "IPAddress"), "10.0.0.5");
        ++written;
      }
      expectNoLeftovers();
    }
  }
  // The cuts reached both outcomes.
  EXPECT_GT(refused, 0);
  EXPECT_GT(written, 0);
}

TEST_F(HostileStore, OddAndAbsurdlyLongHexLists) {
  // A string of an odd number of bytes in a UTF-16 store: the odd byte is
  // dropped when the 8-bit call converts it, as Windows does.
  writeFile(store, version5File(replaced(fixture("machine-v5.utf8.reg"), "\"ServiceName\"=\"E100A\"",
                                         "\"ServiceName\"=hex(1):45,00,31,00,30")));
  const std::string before = readFile(store);
  ToolRun run = runWithStore(store, {});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("\n1:\tContoso E100 Fast Ethernet\n\tName: E1\n"), std::string::npos) << run.out;
  run = runWithStore(store, {"1", "10.0.0.5"});
  EXPECT_EQ(run.out, "Cannot locate adapter E1\n");
  EXPECT_EQ(readFile(store), before);

  // A byte of one digit is read as reg import reads it; one of three is refused.
  writeFile(store, replaced(fixture("machine.reg"), "\"IPAddress\"=hex(7):31,30,2e,30,2e,30,2e,32,00,00",
                            "\"IPAddress\"=hex(7):31,2,0,00"));
  run = runWithStore(store, {"1", "10.0.0.5"});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(storedText(store, kE100A, "IPAddress"), "10.0.0.5");
  writeFile(store, replaced(fixture("machine.reg"), "\"IPAddress\"=hex(7):31,30,2e,30,2e,30,2e,32,00,00",
                            "\"IPAddress\"=hex(7):31,300,00"));
  const std::string threeDigits = readFile(store);
  expectRefused(runWithStore(store, {"1", "10.0.0.5"}), "more than two digits");
  EXPECT_EQ(readFile(store), threeDigits);

  // Eight million bytes: a description on continued lines as regedit wraps
  // them, an address on one line. The description is too long for the
  // tool's buffer and shows as empty; the address is replaced.
  const size_t kHuge = 8 << 20;
  std::string description = "\"Description\"=hex(1):";
  description.reserve(3 * kHuge + kHuge / 8);
  for (size_t i = 0; i < kHuge; ++i) description += i % 25 == 24 ? "41,\\\n  " : "41,";
  description += "00";
  std::string address = "\"IPAddress\"=hex(7):";
  address.reserve(3 * kHuge);
  for (size_t i = 0; i < kHuge; ++i) address += "31,";
  address += "00";
  std::string text = replaced(fixture("machine.reg"), "\"Description\"=\"Contoso E100 Fast Ethernet\"", description);
  writeFile(store, replaced(text, "\"IPAddress\"=hex(7):31,30,2e,30,2e,30,2e,32,00,00", address));
  run = runWithStore(store, {});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("\n1:\t\n\tName: E100A\n\n2:\tFabrikam Wireless LAN\n"), std::string::npos) << run.out;
  run = runWithStore(store, {"1", "10.0.0.5"});
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(storedText(store, kE100A, "IPAddress"), "10.0.0.5");
  EXPECT_LT(statOf(store).st_size, static_cast<off_t>(4 * kHuge));
  expectNoLeftovers();
}

TEST_F(HostileStore, KeysNestedTenThousandDeep) {
  std::string deep;
  for (int i = 0; i < 10000; ++i) deep += "\\k";
  writeFile(store, fixture("machine.reg") + "\n[HKEY_LOCAL_MACHINE\\SOFTWARE" + deep + "]\n\"v\"=dword:1\n");
  const std::string refused = readFile(store);
  expectRefused(runWithStore(store, {}), "key nested deeper than 512 levels");
  expectRefused(runWithStore(store, {"1", "10.0.0.5"}), "key nested deeper than 512 levels");
  EXPECT_EQ(readFile(store), refused);
  // A [key] line longer than the pieces the file is read in (256 KB).
  std::string deeper;
  while (deeper.size() < (size_t(300) << 10)) deeper += deep;
  writeFile(store, fixture("machine.reg") + "\n[HKEY_LOCAL_MACHINE\\SOFTWARE" + deeper + "]\n");
  expectRefused(runWithStore(store, {}), "key nested deeper than 512 levels");

  // Under another root nothing is read, and the line comes back as it was.
  const std::string elsewhere = "[HKEY_CURRENT_USER\\Software" + deep + "]\n\"v\"=dword:1\n";
  writeFile(store, fixture("machine.reg") + "\n" + elsewhere);
  ToolRun run = runWithStore(store, {});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(endsWith(run.out, kFixtureList)) << run.out;
  run = runWithStore(store, {"1", "10.0.0.5"});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(storedText(store, kE100A, "IPAddress"), "10.0.0.5");
  EXPECT_TRUE(endsWith(readFile(store), "\n" + elsewhere));

  // As deep as Windows allows, one section a level, is an ordinary store.
  std::string chain;
  std::string path = "HKEY_LOCAL_MACHINE\\SOFTWARE";
  for (int depth = 2; depth <= 512; ++depth) {
    path += "\\k";
    chain += "[" + path + "]\n";
  }
  writeFile(store, fixture("machine.reg") + "\n" + chain);
  run = runWithStore(store, {"1", "10.0.0.6"});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(storedText(store, kE100A, "IPAddress"), "10.0.0.6");
  EXPECT_TRUE(endsWith(readFile(store), chain));
  expectNoLeftovers();
}

// Every card is opened twice, once for the table and once for the list, so a
// lookup that costs as much as the store is large makes the run quadratic.
// The runs are timed on the processor, which a loaded machine hardly
// stretches, and against an eighth of the cards listed in the same run: a
// linear run takes about eight times as long, a quadratic one sixty-four.
void writeCards(const std::string& store, int cardCount) {
  std::string text = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\" + kCards + "]\r\n";
  text.reserve(size_t(cardCount) * 100);
  for (int i = 0; i < cardCount; ++i) {
    std::string n = std::to_string(i);
    text += "[HKEY_LOCAL_MACHINE\\" + kCards + "\\" + n + "]\r\n\"ServiceName\"=\"S" + n + "\"\r\n";
  }
  // The last card in enumeration order has an adapter to configure.
  text += "[HKEY_LOCAL_MACHINE\\" + kServices + "S" + std::to_string(cardCount - 1) + "\\Parameters\\Tcpip]\r\n";
  writeFile(store, text);
}

TEST_F(HostileStore, AMillionCardsAreListedQuickly) {
#if defined(__SANITIZE_ADDRESS__)
  // Under AddressSanitizer, unoptimised, every step costs ten times as much.
  const int kCardCount = 100000;
#else
  const int kCardCount = 1000000;
#endif
  writeCards(store, kCardCount / 8);
  ToolRun few = runWithStore(store, {});
  ASSERT_EQ(few.status, 0);
  writeCards(store, kCardCount);
  const std::string last = std::to_string(kCardCount - 1);

  ToolRun run = runWithStore(store, {});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(count(run.out, "\tName: S"), static_cast<size_t>(kCardCount));
  // Subkeys enumerate in case-insensitive name order: "0", "1", "10", "100", ...
  EXPECT_NE(run.out.find("\n1:\t\n\tName: S0\n\n2:\t\n\tName: S1\n\n3:\t\n\tName: S10\n"), std::string::npos);
  EXPECT_TRUE(endsWith(run.out, "\n" + std::to_string(kCardCount) + ":\t\n\tName: S" + last + "\n"));
  EXPECT_LT(run.cpuSeconds, 24 * few.cpuSeconds) << few.cpuSeconds << " s for an eighth of the cards";
  RecordProperty("listing_cpu_seconds", std::to_string(run.cpuSeconds));
  RecordProperty("eighth_listing_cpu_seconds", std::to_string(few.cpuSeconds));

  run = runWithStore(store, {std::to_string(kCardCount), "10.0.0.5"});
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(storedText(store, kServices + "S" + last + "\\Parameters\\Tcpip", "IPAddress"), "10.0.0.5");
  EXPECT_LT(run.cpuSeconds, 24 * few.cpuSeconds) << few.cpuSeconds << " s to list an eighth of the cards";
  RecordProperty("configure_cpu_seconds", std::to_string(run.cpuSeconds));
  expectNoLeftovers();
}

TEST_F(HostileStore, NulBytesInNamesAreRefused) {
  const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Unrelated\\Settings]";
  const std::string nulKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Unre" + std::string(1, '\0') + "lated\\Settings]";
  const std::string value = "\"Flags\"=dword:deadbeef";
  const std::string nulValue = "\"Fl" + std::string(1, '\0') + "ags\"=dword:deadbeef";
  const std::string v5 = fixture("machine-v5.utf8.reg");
  const std::vector<std::pair<std::string, std::string>> stores = {
      {replaced(fixture("machine.reg"), key, nulKey), "NUL character in a key name"},
      {version5File(replaced(v5, key, nulKey)), "NUL character in a key name"},
      {replaced(fixture("machine.reg"), value, nulValue), "NUL character in a quoted name"},
      {version5File(replaced(v5, value, nulValue)), "NUL character in a quoted name"},
  };
  for (const auto& bad : stores) {
    writeFile(store, bad.first);
    expectRefused(runWithStore(store, {}), bad.second);
    expectRefused(runWithStore(store, {"1", "10.0.0.5"}), bad.second);
    EXPECT_EQ(readFile(store), bad.first);
  }

  // A store too large to read in full when it is opened: a listing never
  // reads the broken key, but a run that would write refuses to.
  writeFile(store, replaced(fixture("machine.reg"), value, nulValue) + "\n" + fillerSections(2 << 20));
  const std::string large = readFile(store);
  ToolRun run = runWithStore(store, {});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(endsWith(run.out, kFixtureList)) << run.out;
  expectRefused(runWithStore(store, {"1", "10.0.0.5"}), "NUL character in a quoted name");
  EXPECT_EQ(readFile(store), large);
  expectNoLeftovers();
}

TEST_F(HostileStore, MixedLineEndsAreReadAndKept) {
  const std::string ends[] = {"\r\n", "\n", "\r"};
  const std::string lf = fixture("machine.reg");
  std::string mixed;
  size_t line = 0;
  for (size_t start = 0, end; (end = lf.find('\n', start)) != std::string::npos; start = end + 1, ++line) {
    mixed += lf.substr(start, end - start) + ends[line % 3];
  }
  writeFile(store, mixed);
  ToolRun run = runWithStore(store, {});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(endsWith(run.out, kFixtureList)) << run.out;
  run = runWithStore(store, {"2", "192.168.1.10", "*", "192.168.1.1", "192.168.1.2"});
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.status, 0);
  const std::string after = readFile(store);
  std::string error;
  EXPECT_TRUE(readsInFull(after, &error)) << error;
  EXPECT_EQ(storedText(store, kServices + "Tcpip\\Parameters", "NameServer"), "192.168.1.2");
  // What the run did not touch keeps its own line ends.
  const std::string untouched = mixed.substr(mixed.find("; Not the tool's"));
  EXPECT_TRUE(endsWith(after, untouched));
  EXPECT_EQ(after.substr(0, 200), mixed.substr(0, 200));
}

TEST_F(HostileStore, Version5WithoutItsByteOrderMark) {
  // UTF-16 without its mark does not start with a header line at all.
  const std::string wide = version5File(fixture("machine-v5.utf8.reg")).substr(2);
  writeFile(store, wide);
  expectRefused(runWithStore(store, {}), "is neither a registry export nor a disk image");
  expectRefused(runWithStore(store, {"1", "10.0.0.5"}), "is neither a registry export nor a disk image");
  EXPECT_EQ(readFile(store), wide);

  // 8-bit text under the Version 5.00 header is read, as reg import reads
  // it, and stays 8-bit text.
  writeFile(store, fixture("machine-v5.utf8.reg"));
  ToolRun run = runWithStore(store, {});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(endsWith(run.out, kFixtureList)) << run.out;
  run = runWithStore(store, {"1", "10.0.0.5"});
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(storedText(store, kE100A, "IPAddress"), "10.0.0.5");
  EXPECT_EQ(readFile(store).rfind("Windows Registry Editor Version 5.00\r\n", 0), 0u);
  expectNoLeftovers();
}

TEST_F(HostileStore, SparseFilesOfZeros) {
  // 2 GB of zeros, which no disk has to hold, after an export's header or
  // alone, which makes it neither an export nor a disk image.
  for (const char* start : {"REGEDIT4\r\n", ""}) {
    writeFile(store, start);
    ASSERT_EQ(truncate(store.c_str(), off_t(2) << 30), 0);
    ToolRun run = runWithStore(store, {"1", "10.0.0.5"});
    expectRefused(run, start[0] != '\0' ? "larger than 1 GiB" : "is neither a registry export nor a disk image");
    EXPECT_LT(run.cpuSeconds, 10.0);
    EXPECT_EQ(statOf(store).st_size, off_t(2) << 30);
  }

  // Zeros after a store's last key: a listing never reads them, a run that
  // would write reads them first and refuses. Neither reads for long.
  writeFile(store, fixture("machine.reg"));
  const off_t size = off_t(256) << 20;
  ASSERT_EQ(truncate(store.c_str(), size), 0);
  const struct stat before = statOf(store);
  ToolRun run = runWithStore(store, {});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(endsWith(run.out, kFixtureList)) << run.out;
  EXPECT_LT(run.cpuSeconds, 10.0);
  run = runWithStore(store, {"1", "10.0.0.5"});
  expectRefused(run, "NUL character where a value line should start");
  EXPECT_LT(run.cpuSeconds, 10.0);
  const struct stat after = statOf(store);
  EXPECT_EQ(after.st_size, size);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  expectNoLeftovers();
}

}  // namespace
