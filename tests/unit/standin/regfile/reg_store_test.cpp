// The registry export store: what it reads from both flavours of .reg file,
// what it writes back, and how it copes with stores it cannot use.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "memory_store.h"
#include "platform/standin/registry_store.h"
#include "platform/standin/standin_text.h"

namespace {

using standin::RegistryStore;
using standin::StoreValue;

const char kKey[] = "SOFTWARE\\Test";

// A Version 5.00 file as regedit writes it: UTF-16LE with a byte-order mark
// and CR LF line ends, from text written with "\n".
std::string version5(const std::string& text) {
  std::string crlf;
  for (char c : text) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  std::vector<uint8_t> units = standin::utf8ToUtf16LE(crlf.data(), crlf.size());
  return "\xFF\xFE" + std::string(units.begin(), units.end());
}

StoreValue stringValue(const std::string& text, uint32_t type = 1) {
  StoreValue value;
  value.type = type;
  value.data = standin::utf8ToUtf16LE(text.data(), text.size() + 1);
  return value;
}

StoreValue bytesValue(uint32_t type, const std::vector<uint8_t>& bytes) {
  StoreValue value;
  value.type = type;
  value.data = bytes;
  return value;
}

// The value's text when it is a string type, its bytes in hex otherwise.
std::string show(const StoreValue& value) {
  std::string out = std::to_string(value.type) + ":";
  if (value.type == 1 || value.type == 2 || value.type == 7) {
    std::string text = standin::utf16LEToUtf8(value.data.data(), value.data.size());
    for (char c : text) out += c == '\0' ? '|' : c;
    return out;
  }
  char hex[4];
  for (uint8_t b : value.data) {
    snprintf(hex, sizeof hex, "%02x", b);
    out += hex;
  }
  return out;
}

std::string valueOf(RegistryStore* store, const std::string& key, const std::string& name) {
  StoreValue value;
  if (!store->getValue(key, name, &value)) return "(none)";
  return show(value);
}

std::unique_ptr<RegistryStore> parse(const std::string& bytes) {
  std::string error;
  std::unique_ptr<RegistryStore> store = standin::parseRegText(bytes, &error);
  EXPECT_TRUE(store) << error;
  return store;
}

std::string parseError(const std::string& bytes) {
  std::string error;
  std::unique_ptr<RegistryStore> store = standin::parseRegText(bytes, &error);
  if (store) {
    // Values are read when a key is first used; the whole store is read
    // before it is written.
    store->setValue(kKey, "Probe", testing_store::dword(1));
    if (store->commit(&error)) return "(parsed)";
  }
  return error;
}

class StoreFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/reg_store_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
    path_ = directory_ + "/registry.reg";
  }
  void TearDown() override {
    std::string command = "rm -rf '" + directory_ + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }
  void write(const std::string& bytes) {
    std::ofstream(path_, std::ios::binary) << bytes;
  }
  std::string contents() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }
  std::unique_ptr<RegistryStore> open() {
    std::string error;
    std::unique_ptr<RegistryStore> store = standin::openRegFileStore(path_, &error);
    EXPECT_TRUE(store) << error;
    return store;
  }
  std::string openError() {
    std::string error;
    std::unique_ptr<RegistryStore> store = standin::openRegFileStore(path_, &error);
    return store ? "(opened)" : error;
  }
  std::vector<std::string> directoryEntries() const {
    std::string command = "ls -A '" + directory_ + "'";
    FILE* list = popen(command.c_str(), "r");
    std::vector<std::string> names;
    char line[256];
    while (list != nullptr && fgets(line, sizeof line, list) != nullptr) names.push_back(line);
    if (list != nullptr) pclose(list);
    return names;
  }

  std::string directory_;
  std::string path_;
};

const char kSample[] =
    "REGEDIT4\n"
    "\n"
    "; a store for the tests\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n"
    "\"Text\"=\"say \\\"hi\\\" to C:\\\\temp\"\n"
    "@=\"default\"\n"
    "\"Number\"=dword:0000002a\n"
    "\"Bytes\"=hex:01,ff,\\\n"
    "  ; a comment between continued lines\n"
    "  10\n"
    "\"Expand\"=hex(2):25,41,25,00\n"
    "\"List\"=hex(7):61,00,62,63,00,00\n"
    "\"Bare\"=hex(1):61,62\n"
    "\"Quad\"=hex(b):01,00,00,00,00,00,00,00\n"
    "\"Empty\"=hex:\n"
    "\n"
    "[hklm\\software\\test\\Sub]\n"
    "\"Value\"=\"sub\"\n"
    "\n"
    "[HKEY_CURRENT_USER\\SOFTWARE\\Test]\n"
    "\"Text\"=\"elsewhere\"\n";

// Both flavours mean the same: strings come out as UTF-16, whichever way
// the file spells them.
TEST(RegStoreRead, ReadsBothFlavoursAlike) {
  std::string v4 = kSample;
  std::string v5 = version5(std::string("Windows Registry Editor Version 5.00") + (kSample + 8));
  for (const std::string& bytes : {v4, v5}) {
    std::unique_ptr<RegistryStore> store = parse(bytes);
    ASSERT_TRUE(store);
    EXPECT_EQ(valueOf(store.get(), kKey, "Text"), "1:say \"hi\" to C:\\temp|");
    EXPECT_EQ(valueOf(store.get(), kKey, ""), "1:default|");
    EXPECT_EQ(valueOf(store.get(), kKey, "NUMBER"), "4:2a000000");
    EXPECT_EQ(valueOf(store.get(), kKey, "Bytes"), "3:01ff10");
    EXPECT_EQ(valueOf(store.get(), kKey, "Quad"), "11:0100000000000000");
    EXPECT_EQ(valueOf(store.get(), kKey, "Empty"), "3:");
    EXPECT_EQ(valueOf(store.get(), "software\\TEST\\sub", "value"), "1:sub|");
    EXPECT_EQ(valueOf(store.get(), kKey, "Missing"), "(none)");
    EXPECT_TRUE(store->keyExists("SOFTWARE"));
    EXPECT_FALSE(store->keyExists("SOFTWARE\\Test\\Sub\\Deeper"));
  }
  // An 8-bit file holds 8-bit text in hex(2) and hex(7); Windows keeps UTF-16.
  std::unique_ptr<RegistryStore> store = parse(v4);
  EXPECT_EQ(valueOf(store.get(), kKey, "Expand"), "2:%A%|");
  EXPECT_EQ(valueOf(store.get(), kKey, "List"), "7:a|bc||");
  // A string stored without its terminator keeps having none.
  StoreValue bare;
  ASSERT_TRUE(store->getValue(kKey, "Bare", &bare));
  EXPECT_EQ(bare.data, (std::vector<uint8_t>{'a', 0, 'b', 0}));
}

TEST(RegStoreRead, Version5HexStringsAreUtf16Already) {
  std::unique_ptr<RegistryStore> store = parse(version5(
      "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n"
      "\"List\"=hex(7):61,00,00,00,e9,00,00,00,00,00\n\"Bare\"=hex(1):61,00,62,00\n"
      "\"Name \xc3\xa9\"=\"\xc3\xa9t\xc3\xa9\"\n"));
  ASSERT_TRUE(store);
  EXPECT_EQ(valueOf(store.get(), kKey, "List"), "7:a|\xc3\xa9||");
  EXPECT_EQ(valueOf(store.get(), kKey, "Bare"), "1:ab");
  EXPECT_EQ(valueOf(store.get(), kKey, "NAME \xc3\x89"), "1:\xc3\xa9t\xc3\xa9|");
}

// A store means what importing it leaves: later lines win, =- and [-key]
// delete, and a deeper section creates the keys above it.
TEST(RegStoreRead, MeansWhatImportingLeaves) {
  std::unique_ptr<RegistryStore> store = parse(
      "REGEDIT4\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n\"x\"=\"first\"\n\"y\"=\"kept\"\n\"z\"=\"dropped\"\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\Old\\Deep]\n\"v\"=dword:1\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\B\\Implied\\Leaf]\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\a]\n\"X\"=\"second\"\n\"z\"=-\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\Old]\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone]\n\"v\"=dword:1\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone]\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone\\Again]\n");
  ASSERT_TRUE(store);
  EXPECT_EQ(valueOf(store.get(), "SOFTWARE\\A", "x"), "1:second|");
  EXPECT_EQ(valueOf(store.get(), "SOFTWARE\\A", "y"), "1:kept|");
  EXPECT_EQ(valueOf(store.get(), "SOFTWARE\\A", "z"), "(none)");
  EXPECT_FALSE(store->keyExists("SOFTWARE\\A\\Old"));
  EXPECT_FALSE(store->keyExists("SOFTWARE\\A\\Old\\Deep"));
  EXPECT_TRUE(store->keyExists("SOFTWARE\\B"));
  EXPECT_TRUE(store->keyExists("SOFTWARE\\B\\Implied"));
  // Deleted with its key, then the key made again by its subkey's section.
  EXPECT_TRUE(store->keyExists("SOFTWARE\\Gone"));
  EXPECT_EQ(valueOf(store.get(), "SOFTWARE\\Gone", "v"), "(none)");
  std::vector<std::string> names = store->subkeys("SOFTWARE");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"A", "B", "Gone"}));
  EXPECT_TRUE(store->subkeys("SOFTWARE\\A").empty());
}

TEST(RegStoreRead, ListsSubkeysOnceAsSpelled) {
  std::unique_ptr<RegistryStore> store = parse(
      "REGEDIT4\n[HKLM\\S]\n[HKLM\\S\\Card]\n[HKLM\\S\\b\\x\\y]\n[HKLM\\S\\CARD\\sub]\n"
      "[HKLM\\S\\card]\n[HKLM\\S\\B\\z]\n[HKEY_USERS\\S\\Other]\n");
  ASSERT_TRUE(store);
  std::vector<std::string> names = store->subkeys("s");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Card", "b"}));
  EXPECT_EQ(store->subkeys("S\\B").size(), 2u);
  EXPECT_TRUE(store->keyExists("S\\b\\X"));

  // Subkeys listed before their parents, some of which have no section.
  std::string reversed = "REGEDIT4\n";
  for (int i = 0; i < 100; ++i) reversed += "[HKLM\\R\\k" + std::to_string(i) + "\\leaf]\n";
  for (int i = 0; i < 100; i += 2) reversed += "[HKLM\\R\\k" + std::to_string(i) + "]\n";
  store = parse(reversed);
  ASSERT_TRUE(store);
  EXPECT_EQ(store->subkeys("R").size(), 100u);
  EXPECT_EQ(store->subkeys("R\\k7"), std::vector<std::string>{"leaf"});
  EXPECT_EQ(store->subkeys("R\\k8"), std::vector<std::string>{"leaf"});
  EXPECT_TRUE(store->keyExists("R\\k99"));
}

// A run that looks up many keys gets its answers from a sorted table
// instead of passes over the index; they must be the same answers.
TEST(RegStoreRead, AnswersAlikeAfterManyLookups) {
  std::string text = "REGEDIT4\n";
  for (int i = 0; i < 50; ++i) {
    std::string key = "[HKLM\\Many\\k" + std::to_string(i % 40);
    text += key + "]\n\"v\"=dword:" + std::to_string(i) + "\n" + key + "\\Sub" + std::to_string(i % 3) + "]\n";
    if (i % 7 == 3) text += "[-HKLM\\Many\\k" + std::to_string(i % 11) + "]\n";
    if (i % 9 == 4) text += "[HKLM\\Implied\\k" + std::to_string(i) + "\\leaf]\n";
  }
  std::unique_ptr<RegistryStore> shared = parse(text);
  ASSERT_TRUE(shared);
  for (int round = 0; round < 3; ++round) {
    for (const std::string& parent : {std::string("Many"), std::string("Implied")}) {
      for (int i = 0; i < 50; ++i) {
        const std::string key = parent + "\\K" + std::to_string(i);
        std::unique_ptr<RegistryStore> fresh = parse(text);
        ASSERT_TRUE(fresh);
        EXPECT_EQ(shared->keyExists(key), fresh->keyExists(key)) << key;
        std::vector<std::string> subkeys = shared->subkeys(key);
        std::vector<std::string> expected = fresh->subkeys(key);
        std::sort(subkeys.begin(), subkeys.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(subkeys, expected) << key;
        EXPECT_EQ(valueOf(shared.get(), key, "v"), valueOf(fresh.get(), key, "v")) << key;
      }
    }
  }
  EXPECT_EQ(valueOf(shared.get(), "Many\\k39", "v"), "4:39000000");
  EXPECT_EQ(shared->subkeys("Many\\k3").size(), 1u);
}

// A large store is indexed in two halves at once; what it holds must not
// depend on where they meet.
TEST(RegStoreRead, ReadsALargeStoreAsAWhole) {
  std::string text = "REGEDIT4\n[HKLM\\Big]\n";
  size_t keys = 0;
  size_t implied = 0;
  while (text.size() < (size_t(9) << 20)) {
    std::string key = "[HKLM\\Big\\k" + std::to_string(keys++);
    text += key + "]\n\"v\"=dword:00000001\n" + key + "\\Sub]\n";
    if (keys % 1000 == 0) text += "[HKLM\\Big\\implied" + std::to_string(implied++) + "\\Leaf]\n";
  }
  std::unique_ptr<RegistryStore> store = parse(text + "[HKLM\\Big\\k0]\n\"w\"=dword:00000002\n");
  ASSERT_TRUE(store);
  EXPECT_EQ(store->subkeys("Big").size(), keys + implied);
  EXPECT_TRUE(store->keyExists("Big\\k" + std::to_string(keys - 1) + "\\Sub"));
  EXPECT_TRUE(store->keyExists("Big\\implied" + std::to_string(implied - 1)));
  EXPECT_EQ(store->subkeys("Big\\k" + std::to_string(keys / 2)), std::vector<std::string>{"Sub"});
  EXPECT_EQ(valueOf(store.get(), "Big\\k0", "w"), "4:02000000");
  EXPECT_NE(parseError(text + "[HKLM\\Big\\k1\\\\x]\n").find("line " + std::to_string(std::count(text.begin(), text.end(), '\n') + 1) + ": empty key name"),
            std::string::npos);
}

TEST(RegStoreRead, AcceptsMixedLineEndsAndAVersion5FileWithoutItsMark) {
  std::unique_ptr<RegistryStore> store = parse(
      "Windows Registry Editor Version 5.00\r\n\r[HKLM\\S]\r\"a\"=dword:1\n\"b\"=hex:01,\\\r\n  02\r\n");
  ASSERT_TRUE(store);
  EXPECT_EQ(valueOf(store.get(), "S", "a"), "4:01000000");
  EXPECT_EQ(valueOf(store.get(), "S", "b"), "3:0102");
}

TEST(RegStoreErrors, NamesTheLineAndWhatIsWrong) {
  struct Case {
    std::string text;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"", "line 1: not a registry export"},
      {"REGEDIT5\n[HKLM\\S]\n", "line 1: not a registry export"},
      {"REGEDIT4\n\n\"a\"=dword:1\n[HKLM\\S]\n", "line 3: a value before the first [key] line"},
      {"REGEDIT4\n[HKLM\\S\n", "line 2: a [key] line lacks its closing ]"},
      {"REGEDIT4\n[HKLM\\S\\\\T]\n", "line 2: empty key name"},
      {"REGEDIT4\n[-HKLM]\n", "line 2: [-HKEY_LOCAL_MACHINE] would delete"},
      {"REGEDIT4\n[HKLM\\Software\\Test]\n\"a\"=hex:01,0g\n", "line 3: malformed hex data"},
      {"REGEDIT4\n[HKLM\\Software\\Test]\n\"a\"=hex:012\n", "line 3: malformed hex data"},
      {"REGEDIT4\n[HKLM\\Software\\Test]\n\"a\"=dword:123456789\n", "line 3: dword: needs"},
      {"REGEDIT4\n[HKLM\\Software\\Test]\n\"a\"=\"open\n", "line 3: string lacks its closing quote"},
      {"REGEDIT4\n[HKLM\\Software\\Test]\n\"a\"=word:1\n", "line 3: unknown value type"},
      {"REGEDIT4\n[HKLM\\Software\\Test]\nrubbish\n", "line 3: expected a value line"},
      {"REGEDIT4\n[HKLM\\Software\\Test]\n\"a\"=hex:01,\\\n", "line 3: hex data breaks off at the end"},
      {"REGEDIT4\n[HKLM\\Software\\Test]\n\"a\"=hex:01,\\\n[HKLM\\T]\n", "line 3: hex data breaks off before"},
      {std::string("REGEDIT4\n[HKLM\\Soft\0ware]\n", 26), "line 2: NUL character in a key name"},
      {std::string("REGEDIT4\n[HKLM\\Software\\Test]\n\"a\0\"=dword:1\n", 43), "line 3: NUL character"},
      {version5("REGEDIT4\n[HKLM\\S]\n") + "x", "line 3: UTF-16 text with an odd number of bytes"},
  };
  for (const Case& c : cases) {
    std::string error = parseError(c.text);
    EXPECT_EQ(error.rfind("Registry store (memory), ", 0), 0u) << c.error << " gave " << error;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.error << " gave " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

// Hostile files end in an error or an answer, never a crash or a hang.
TEST(RegStoreErrors, SurvivesHostileText) {
  std::string deep = "REGEDIT4\n[HKLM";
  for (int i = 0; i < 10000; ++i) deep += "\\k";
  EXPECT_NE(parseError(deep + "]\n").find("line 2: key nested deeper than 512 levels"), std::string::npos);

  std::string longHex = "REGEDIT4\n[HKLM\\Software\\Test]\n\"a\"=hex:";
  for (int i = 0; i < 200000; ++i) longHex += "ab,\\\n  ";
  std::unique_ptr<RegistryStore> store = parse(longHex + "cd\n");
  ASSERT_TRUE(store);
  StoreValue value;
  ASSERT_TRUE(store->getValue(kKey, "a", &value));
  EXPECT_EQ(value.data.size(), 200001u);

  // Every prefix of a file in either flavour: an error or a store.
  std::string v5 = version5(std::string("Windows Registry Editor Version 5.00") + (kSample + 8));
  for (const std::string& whole : {std::string(kSample), v5}) {
    for (size_t size = 0; size <= whole.size(); ++size) {
      std::string error;
      std::unique_ptr<RegistryStore> cut = standin::parseRegText(whole.substr(0, size), &error);
      if (!cut) continue;
      StoreValue any;
      for (const char* name : {"Text", "Bytes", "List", "Empty"}) cut->getValue(kKey, name, &any);
      cut->subkeys("SOFTWARE");
      cut->commit(&error);
    }
  }
}

// Unlike the time on the clock, the processor time a piece of work takes
// hardly grows when other work shares the machine.
double cpuSecondsSince(std::clock_t start) { return double(std::clock() - start) / CLOCKS_PER_SEC; }

// `count` keys below [HKLM\\Many], `perParent` to a parent key.
std::string keysBelowMany(int count, int perParent) {
  std::string text = "REGEDIT4\n[HKLM\\Many]\n";
  for (int i = 0; i < count; ++i) {
    text += "[HKLM\\Many\\p" + std::to_string(i / perParent) + "\\k" + std::to_string(i) + "]\n";
  }
  return text;
}

// The processor time it takes to read those keys and list each parent's.
double secondsToList(const std::string& text, size_t count) {
  const std::clock_t start = std::clock();
  std::unique_ptr<RegistryStore> store = parse(text);
  EXPECT_TRUE(store);
  size_t listed = 0;
  if (store) {
    for (const std::string& parent : store->subkeys("Many")) listed += store->subkeys("Many\\" + parent).size();
  }
  EXPECT_EQ(listed, count);
  return cpuSecondsSince(start);
}

// Against a time measured in the same run, not a fixed budget: as many keys,
// all siblings or a hundred to a parent, take about as long to read and list
// when the work is linear in the siblings, whatever the processor's caches
// make of their number; work with a step for each earlier sibling takes
// hundreds of times as long. The least of a few samples of each is what a
// loaded machine disturbs least.
TEST(RegStoreErrors, ListsManySiblingsQuickly) {
  const int kCount = 100000;
  const std::string spread = keysBelowMany(kCount, 100), siblings = keysBelowMany(kCount, kCount);
  double spreadSeconds = 1e9, siblingsSeconds = 1e9;
  for (int sample = 0; sample < 3; ++sample) {
    spreadSeconds = std::min(spreadSeconds, secondsToList(spread, kCount));
    siblingsSeconds = std::min(siblingsSeconds, secondsToList(siblings, kCount));
  }
  EXPECT_LT(siblingsSeconds, 3 * spreadSeconds)
      << spreadSeconds << " s for " << kCount << " keys a hundred to a parent, " << siblingsSeconds
      << " s for as many siblings";
}

const char kEditable[] =
    "REGEDIT4\n"
    "\n"
    "; a store for the tests\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n"
    "\"Keep\"=\"unchanged \\\"quoted\\\" \\\\ text\"\n"
    "\"Change\"=dword:00000001\n"
    "\"Gone\"=hex:01,02,\\\n"
    "  03\n"
    "@=\"default\"\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\Sub]\n"
    "; a comment that stays\n"
    "\"List\"=hex(7):61,00,62,00,00\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other\\Implied\\Leaf]\n"
    "\"Leaf\"=dword:00000000\n";

const char kEdited[] =
    "REGEDIT4\n"
    "\n"
    "; a store for the tests\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n"
    "\"Keep\"=\"unchanged \\\"quoted\\\" \\\\ text\"\n"
    "\"Change\"=dword:0000002a\n"
    "@=\"default\"\n"
    "\"New\"=\"new \\\"v\\\"\"\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\Sub]\n"
    "; a comment that stays\n"
    "\"List\"=hex(7):61,00,62,00,63,00,00\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other\\Implied]\n"
    "\"Added\"=hex(1):61,00,62,00\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other\\Implied\\Leaf]\n"
    "\"Leaf\"=dword:00000000\n";

void edit(RegistryStore* store) {
  ASSERT_TRUE(store->setValue(kKey, "change", testing_store::dword(42)));
  ASSERT_TRUE(store->setValue(kKey, "New", stringValue("new \"v\"")));
  ASSERT_TRUE(store->deleteValue(kKey, "GONE"));
  ASSERT_FALSE(store->deleteValue(kKey, "Gone"));
  ASSERT_TRUE(store->setValue("SOFTWARE\\Test\\Sub", "List", stringValue(std::string("a\0b\0c\0", 6), 7)));
  // A string with an embedded NUL cannot be "text".
  ASSERT_TRUE(store->setValue("SOFTWARE\\Other\\Implied", "Added", bytesValue(1, {'a', 0, 0, 0})));
  ASSERT_TRUE(store->setValue("SOFTWARE\\Other\\Implied", "Added", stringValue(std::string("a\0b", 3))));
}

// Only what the run changed is written anew; the rest comes back byte for byte.
TEST_F(StoreFile, RewritesOnlyWhatChanged) {
  write(kEditable);
  std::unique_ptr<RegistryStore> store = open();
  ASSERT_TRUE(store);
  edit(store.get());
  std::string error;
  ASSERT_TRUE(store->commit(&error)) << error;
  EXPECT_EQ(contents(), kEdited);
  EXPECT_EQ(valueOf(store.get(), kKey, "Change"), "4:2a000000");
  store.reset();
  // What was written reads back as what was set.
  store = open();
  EXPECT_EQ(valueOf(store.get(), "SOFTWARE\\Test\\Sub", "List"), "7:a|b|c||");
  EXPECT_EQ(valueOf(store.get(), "SOFTWARE\\Other\\Implied", "Added"), "1:a|b|");
}

TEST_F(StoreFile, WritesVersion5InItsOwnEncoding) {
  auto asVersion5 = [](const char* text) {
    // hex(1) and hex(7) hold UTF-16 bytes in UTF-16 files.
    std::string body = std::string("Windows Registry Editor Version 5.00") + (text + 8);
    for (const char* tag : {"hex(1):", "hex(7):"}) {
      size_t at = body.find(tag);
      if (at == std::string::npos) continue;
      size_t end = body.find('\n', at);
      std::string list = body.substr(at + 7, end - at - 7);
      std::string wide;
      for (size_t i = 0; i < list.size(); i += 3) wide += list.substr(i, 2) + ",00" + (i + 2 < list.size() ? "," : "");
      body = body.substr(0, at + 7) + wide + body.substr(end);
    }
    return version5(body);
  };
  write(asVersion5(kEditable));
  std::unique_ptr<RegistryStore> store = open();
  ASSERT_TRUE(store);
  edit(store.get());
  std::string error;
  ASSERT_TRUE(store->commit(&error)) << error;
  EXPECT_EQ(contents(), asVersion5(kEdited));
}

TEST_F(StoreFile, WrapsLongHexListsAsRegeditDoes) {
  write("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n");
  std::unique_ptr<RegistryStore> store = open();
  ASSERT_TRUE(store);
  std::string list("192.168.100.101\0" "192.168.100.102\0" "192.168.100.103\0" "192.168.100.104\0" "10.0.0.1\0", 73);
  ASSERT_TRUE(store->setValue(kKey, "IPAddress", stringValue(list, 7)));
  std::string error;
  ASSERT_TRUE(store->commit(&error)) << error;
  EXPECT_EQ(contents(),
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
            "\"IPAddress\"=hex(7):31,39,32,2e,31,36,38,2e,31,30,30,2e,31,30,31,00,31,39,32,2e,\\\r\n"
            "  31,36,38,2e,31,30,30,2e,31,30,32,00,31,39,32,2e,31,36,38,2e,31,30,30,2e,31,\\\r\n"
            "  30,33,00,31,39,32,2e,31,36,38,2e,31,30,30,2e,31,30,34,00,31,30,2e,30,2e,30,\\\r\n"
            "  2e,31,00,00\r\n");
}

TEST_F(StoreFile, LeavesAnUnchangedStoreAlone) {
  write(kEditable);
  struct timeval past[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimes(path_.c_str(), past), 0);
  std::unique_ptr<RegistryStore> store = open();
  ASSERT_TRUE(store);
  // Setting what is already there is no change.
  ASSERT_TRUE(store->setValue(kKey, "Change", testing_store::dword(1)));
  EXPECT_EQ(valueOf(store.get(), kKey, "Keep"), "1:unchanged \"quoted\" \\ text|");
  std::string error;
  ASSERT_TRUE(store->commit(&error)) << error;
  store.reset();
  struct stat info;
  ASSERT_EQ(stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mtime, 1000000000);
  EXPECT_EQ(contents(), kEditable);
}

TEST_F(StoreFile, KeepsPermissionBitsAndLeavesNoTemporaryFile) {
  write(kEditable);
  ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
  std::unique_ptr<RegistryStore> store = open();
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->setValue(kKey, "Change", testing_store::dword(7)));
  std::string error;
  ASSERT_TRUE(store->commit(&error)) << error;
  struct stat info;
  ASSERT_EQ(stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  store.reset();
  EXPECT_EQ(directoryEntries().size(), 1u);
}

// Two runs on one store take turns, so neither loses the other's change: a
// store read while another run held the lock, and replaced by that run
// before this one's first change, refuses to be written; opened anew, it
// holds the other run's change.
TEST_F(StoreFile, SerialisesRunsOnOneStore) {
  write(kEditable);
  int locked[2], read[2];
  ASSERT_EQ(pipe(locked), 0);
  ASSERT_EQ(pipe(read), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(locked[1]);
    close(read[0]);
    char byte;
    bool ok = ::read(locked[0], &byte, 1) == 1;
    std::string error;
    std::unique_ptr<RegistryStore> second = standin::openRegFileStore(path_, &error);
    ok = ok && second && ::write(read[1], "x", 1) == 1;
    ok = ok && second->setValue(kKey, "Second", testing_store::dword(2)) && second->replacedSinceRead() &&
         !second->commit(&error) && error == "Registry store " + path_ + " changed while netvane was reading it";
    std::unique_ptr<RegistryStore> again = standin::openRegFileStore(path_, &error);
    StoreValue seen;
    ok = ok && again && again->getValue(kKey, "First", &seen) &&
         again->setValue(kKey, "Second", testing_store::dword(2)) && again->commit(&error);
    _exit(ok ? 0 : 1);
  }
  close(locked[0]);
  close(read[1]);
  std::unique_ptr<RegistryStore> first = open();
  ASSERT_TRUE(first);
  ASSERT_TRUE(first->setValue(kKey, "First", testing_store::dword(1)));
  ASSERT_EQ(::write(locked[1], "x", 1), 1);
  close(locked[1]);
  char byte;
  ASSERT_EQ(::read(read[0], &byte, 1), 1);
  close(read[0]);
  std::string error;
  ASSERT_TRUE(first->commit(&error)) << error;
  first.reset();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::unique_ptr<RegistryStore> after = open();
  EXPECT_EQ(valueOf(after.get(), kKey, "First"), "4:01000000");
  EXPECT_EQ(valueOf(after.get(), kKey, "Second"), "4:02000000");
}

// A small store is read in full when it is opened. A large one has its
// [key] lines read then, a key's values when they are first used, and all
// of it before it is written.
TEST_F(StoreFile, WritesNothingOverAStoreItCannotReadInFull) {
  std::string broken = kEditable;
  int fillers = 0;
  while (broken.size() < (size_t(1) << 21)) {
    broken += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Filler\\k" + std::to_string(fillers++) + "]\n\"v\"=dword:00000001\n";
  }
  size_t lines = static_cast<size_t>(std::count(broken.begin(), broken.end(), '\n'));
  // The [key] lines of a file this large are read in windows; the line is
  // counted in the whole file.
  write(broken + "[HKLM\\Cut\n");
  EXPECT_EQ(openError(), "Registry store " + path_ + ", line " + std::to_string(lines + 1) +
                             ": a [key] line lacks its closing ]");
  broken += "\"Bad\"=hex:zz\n";
  write(std::string(kEditable) + "\"Bad\"=hex:zz\n");
  EXPECT_EQ(openError(), "Registry store " + path_ + ", line 17: malformed hex data");

  write(broken);
  std::unique_ptr<RegistryStore> store = open();
  ASSERT_TRUE(store);
  EXPECT_EQ(valueOf(store.get(), kKey, "Change"), "4:01000000");
  ASSERT_TRUE(store->setValue(kKey, "Change", testing_store::dword(9)));
  std::string error;
  EXPECT_FALSE(store->commit(&error));
  std::string message = "Registry store " + path_ + ", line " + std::to_string(lines + 1) + ": malformed hex data";
  EXPECT_EQ(error, message);
  EXPECT_EQ(contents(), broken);
  store.reset();

  // A run that only reads the broken key still hears of it.
  store = open();
  ASSERT_TRUE(store);
  valueOf(store.get(), "SOFTWARE\\Filler\\k" + std::to_string(fillers - 1), "v");
  EXPECT_FALSE(store->commit(&error));
  EXPECT_EQ(error, message);
}

TEST_F(StoreFile, RefusesWhatIsNoStoreInOneLine) {
  EXPECT_EQ(openError(), "Cannot open registry store " + path_ + ": No such file or directory");
  EXPECT_TRUE(directoryEntries().empty());
  write("REGEDIT4\n[HKLM\\S");
  EXPECT_EQ(openError(), "Registry store " + path_ + ", line 2: a [key] line lacks its closing ]");
  // An empty file has nothing to map, and is read as the empty text.
  write("");
  EXPECT_EQ(openError(), "Registry store " + path_ + ", line 1: not a registry export: the first line must be "
                         "REGEDIT4 or Windows Registry Editor Version 5.00");
  // A huge sparse file is refused at once, without being read.
  int fd = ::open(path_.c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, off_t(2) << 30), 0);
  close(fd);
  // Timed on the processor, which a loaded machine does not stretch as it
  // does the clock; a refusal at once takes milliseconds of it.
  std::clock_t start = std::clock();
  EXPECT_EQ(openError(), "Cannot open registry store " + path_ + ": larger than 1 GiB, the most a store may hold");
  EXPECT_LT(cpuSecondsSince(start), 1.0);
  // So is a header followed by nothing but zeros.
  write("REGEDIT4\n");
  ASSERT_EQ(truncate(path_.c_str(), off_t(900) << 20), 0);
  start = std::clock();
  EXPECT_EQ(openError(), "Registry store " + path_ + ", line 2: expected a [key] line or a comment");
  EXPECT_LT(cpuSecondsSince(start), 1.0);
  unlink(path_.c_str());
  ASSERT_EQ(mkdir(path_.c_str(), 0755), 0);
  EXPECT_EQ(openError(), "Cannot read registry store " + path_ + ": Is a directory");
}

}  // namespace
