// Arbitrary bytes as a registry export store, in either flavour. Whatever the
// bytes, opening gives a store or one line of error, from memory and from a
// file alike. A store is walked, read, changed the way a run changes it and
// committed; the file must be written as the memory store renders it, and
// that must open again with the same keys, the changed values as set and
// every other value as before. The quick check of a section's lines must
// agree with reading them one by one.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/standin/regfile/reg_syntax.h"
#include "platform/standin/registry_store.h"

namespace {

using standin::RegistryStore;
using standin::StoreValue;

// Keys visited; enough to reach the adapters' keys of a small store.
const size_t kMaxKeys = 64;

// Names that the tool and the fixtures use, "" for the default value.
const char* const kValueNames[] = {"",           "ServiceName", "Description", "IPAddress",
                                   "SubnetMask", "EnableDHCP",  "DhcpIPAddress", "NameServer",
                                   "Text",       "List",        "Bytes",       "a"};

void check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "reg_store_fuzzer: %s\n", what);
    abort();
  }
}

// The keys below the root, breadth first, as their paths. Subkeys are taken
// in the order the registry calls enumerate them, since a store may list
// them in any order.
std::vector<std::string> walk(RegistryStore* store) {
  std::vector<std::string> keys;
  std::vector<std::string> pending = {""};
  for (size_t next = 0; next < pending.size() && keys.size() < kMaxKeys; ++next) {
    const std::string parent = pending[next];
    if (!parent.empty()) {
      check(store->keyExists(parent), "a listed subkey does not exist");
      keys.push_back(parent);
    }
    std::vector<std::string> names = store->subkeys(parent);
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
      return standin::compareRegistryNames(a, b) < 0;
    });
    for (const std::string& name : names) {
      check(!name.empty(), "an empty subkey name");
      if (pending.size() < 4 * kMaxKeys) pending.push_back(parent.empty() ? name : parent + "\\" + name);
    }
  }
  return keys;
}

typedef std::map<std::pair<std::string, std::string>, StoreValue> Values;

Values readValues(RegistryStore* store, const std::vector<std::string>& keys) {
  Values values;
  for (const std::string& key : keys) {
    for (const char* name : kValueNames) {
      StoreValue value;
      if (store->getValue(key, name, &value)) values[{key, name}] = value;
    }
  }
  return values;
}

bool sameValues(const Values& a, const Values& b) {
  if (a.size() != b.size()) return false;
  for (Values::const_iterator x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) {
    if (x->first != y->first || x->second.type != y->second.type || x->second.data != y->second.data) {
      return false;
    }
  }
  return true;
}

StoreValue multiString(const std::string& text) {
  StoreValue value;
  value.type = 7;
  for (char c : text) {
    value.data.push_back(static_cast<uint8_t>(c));
    value.data.push_back(0);
  }
  value.data.insert(value.data.end(), {0, 0, 0, 0});
  return value;
}

StoreValue dword(uint32_t number) {
  StoreValue value;
  value.type = 4;
  for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<uint8_t>(number >> (8 * i)));
  return value;
}

// The file the input is also opened from, in a directory of its own.
std::string& storePath() {
  static std::string path;
  return path;
}

void writeStoreFile(const std::string& bytes) {
  FILE* file = fopen(storePath().c_str(), "wb");
  check(file != nullptr, "cannot write the store file");
  check(fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size(), "cannot write the store file");
  check(fclose(file) == 0, "cannot write the store file");
}

std::string readStoreFile() {
  std::string bytes;
  FILE* file = fopen(storePath().c_str(), "rb");
  check(file != nullptr, "cannot read the store file back");
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, file)) > 0;) bytes.append(buffer, n);
  fclose(file);
  return bytes;
}

// A message about the file, with the file named as the memory store names itself.
std::string asMemory(std::string message) {
  size_t at = message.find(storePath());
  if (at != std::string::npos) message.replace(at, storePath().size(), "(memory)");
  return message;
}

void checkOneLine(const std::string& error, const std::string& fileError, const char* what) {
  check(!error.empty() && error.find('\n') == std::string::npos, what);
  check(asMemory(fileError) == error, "the file and the memory store give different errors");
}


// The input as the body of one section, in either width: checked quickly,
// and read line by line, it is accepted or refused alike, at the same line.
void checkQuickly(const uint8_t* data, size_t size) {
  for (size_t width = 1; width <= 2; ++width) {
    standin::RegText text;
    text.bytes = data;
    text.end = size / width * width;
    text.width = width;
    standin::ParseError quick;
    standin::ParseError slow;
    bool quickOk = standin::checkBodyLines(text, 0, text.end, &quick);
    bool slowOk = true;
    standin::RegEntry entry;
    for (size_t p = 0; p < text.end && slowOk;) {
      bool isEntry = false;
      p = standin::readBodyLine(text, p, text.end, false, &entry, &isEntry, &slow);
      slowOk = p != 0;
    }
    check(quickOk == slowOk, "the quick check and the line reader disagree");
    check(slowOk || (quick.offset == slow.offset && quick.reason == slow.reason),
          "the quick check and the line reader give different errors");
  }
}

std::string& storeDirectory() {
  static std::string directory;
  return directory;
}

// Runs when the fuzzer exits; a crash leaves the directory behind, with the input in it.
void removeStoreDirectory() {
  unlink(storePath().c_str());
  rmdir(storeDirectory().c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Memory-backed where there is such a file system: the store is written and
  // flushed for every input.
  char shm[] = "/dev/shm/netvane-fuzz.XXXXXX";
  char tmp[] = "/tmp/netvane-fuzz.XXXXXX";
  const char* directory = mkdtemp(shm);
  if (directory == nullptr) directory = mkdtemp(tmp);
  check(directory != nullptr, "cannot make a directory for the store file");
  storeDirectory() = directory;
  storePath() = storeDirectory() + "/registry.reg";
  atexit(removeStoreDirectory);
  return 0;
}

// The input is opened twice, from memory and from a file, and both stores
// are used alike: they must answer alike, and the file must be written as
// the memory store renders it.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  checkQuickly(data, size);
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  writeStoreFile(bytes);
  std::string error;
  std::string fileError;
  std::string written;
  std::unique_ptr<RegistryStore> store = standin::parseRegText(bytes, &error, &written);
  std::unique_ptr<RegistryStore> file = standin::openRegFileStore(storePath(), &fileError);
  check((store == nullptr) == (file == nullptr), "the file and the memory store disagree on opening");
  if (!store) {
    checkOneLine(error, fileError, "a refused store needs one line");
    return 0;
  }
  std::vector<std::string> keys = walk(store.get());
  Values expected = readValues(store.get(), keys);
  check(walk(file.get()) == keys, "the file and the memory store have different keys");
  check(sameValues(readValues(file.get(), keys), expected), "the file and the memory store have different values");
  if (keys.empty()) return 0;

  // What a run does to an adapter's keys: set values old and new, delete one.
  const std::string& key = keys[size % keys.size()];
  const StoreValue address = multiString("192.168.1.10");
  const StoreValue enable = dword(size);
  StoreValue blob;
  blob.type = 3;
  blob.data.assign(data, data + std::min<size_t>(size, 100));
  for (RegistryStore* each : {store.get(), file.get()}) {
    check(each->setValue(key, "IPAddress", address), "cannot set a value of a key that exists");
    check(each->setValue(key, "EnableDHCP", enable), "cannot set a value of a key that exists");
    check(each->setValue(key, "Bytes", blob), "cannot set a value of a key that exists");
    each->deleteValue(key, "DhcpIPAddress");
  }
  expected[{key, "IPAddress"}] = address;
  expected[{key, "EnableDHCP"}] = enable;
  expected[{key, "Bytes"}] = blob;
  expected.erase({key, "DhcpIPAddress"});
  check(sameValues(readValues(store.get(), keys), expected), "values read back differ from those set");

  bool committed = store->commit(&error);
  bool fileCommitted = file->commit(&fileError);
  file.reset();
  check(committed == fileCommitted, "the file and the memory store disagree on committing");
  if (!committed) {
    checkOneLine(error, fileError, "a failed commit needs one line");
    check(readStoreFile() == bytes, "a failed commit changed the file");
    return 0;
  }
  // Setting values to what they hold changes nothing, and nothing is written.
  check(readStoreFile() == (written.empty() ? bytes : written), "the file is not written as the store renders it");
  if (written.empty()) return 0;
  std::unique_ptr<RegistryStore> again = standin::parseRegText(written, &error);
  check(again != nullptr, "the committed store cannot be opened");
  check(walk(again.get()) == keys, "the committed store has other keys");
  check(sameValues(readValues(again.get(), keys), expected), "the committed store has other values");
  // Nothing is refused in a store that was written in full.
  again->setValue(key, "Probe", dword(1));
  check(again->commit(&error), "the committed store cannot be committed again");
  return 0;
}
