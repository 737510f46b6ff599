// The registry calls of platform.h, answered from the run's RegistryStore the
// way the 8-bit registry functions of Windows answer them, and the hooks that
// make them fail or log them for tests.
#include <string.h>

#include <algorithm>
#include <map>

#include "platform/platform.h"
#include "platform/standin/standin.h"
#include "platform/standin/standin_hooks.h"
#include "platform/standin/standin_text.h"

namespace standin {

namespace {

struct OpenKey {
  std::string path;
  bool subkeysListed = false;
  std::vector<std::string> subkeys;
};

struct Fault {
  std::string operation;
  std::string name;
  PlatformResult result;
};

struct Registry {
  std::unique_ptr<RegistryStore> store;
  StoreOpener reopen;  // how the run opened its store, when it can do so again
  // The store as the run first read it, once it has been opened anew; kept
  // until the run ends, so that the lock it took stays held.
  std::unique_ptr<RegistryStore> replaced;
  std::map<PlatformKey, OpenKey> keys;
  PlatformKey nextKey = 1;
  std::vector<Fault> faults;
  bool logging = false;
  std::vector<std::string> log;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

// A listing of a million cards makes millions of calls; only tests read
// them, so a run of the tool itself keeps none.
void logCall(const char* operation, const std::string& name) {
  if (registry().logging) registry().log.push_back(std::string(operation) + " " + name);
}

PlatformResult injectedFault(const char* operation, const std::string& name) {
  for (const Fault& fault : registry().faults) {
    if (fault.operation == operation && sameRegistryName(fault.name, name)) return fault.result;
  }
  return kResultSuccess;
}

// The registry refuses a path that begins with a backslash but passes over
// repeated backslashes between names and at the end: "a\\b\\" opens a\b.
// Wine's registry does the same; its conformance tests, which pass on
// Windows, cover the leading and the trailing case.
bool normalisePath(const char* path, std::string* normal) {
  std::string text = path ? path : "";
  if (text.empty() || text.front() == '\\') return false;
  std::string collapsed;
  for (char c : text) {
    if (c == '\\' && collapsed.back() == '\\') continue;
    collapsed.push_back(c);
  }
  if (collapsed.back() == '\\') collapsed.pop_back();
  *normal = collapsed;
  return true;
}

// The run's first change found that another run had replaced the store
// since this one read it, and this run now holds the lock. Runs change
// values, never keys, so what this run read so far (the card list, which
// keys exist) still holds: it reads the store anew and makes its changes
// there. Only once: a store replaced again while the run holds the lock was
// replaced by another program, and the run refuses to write it.
bool reopenReplacedStore() {
  Registry& r = registry();
  if (!r.store->replacedSinceRead() || !r.reopen || r.replaced) return false;
  std::string error;
  std::unique_ptr<RegistryStore> fresh = r.reopen(&error);
  if (!fresh) return false;
  r.replaced = std::move(r.store);
  r.store = std::move(fresh);
  return true;
}

OpenKey* findKey(PlatformKey key) {
  std::map<PlatformKey, OpenKey>::iterator it = registry().keys.find(key);
  return it == registry().keys.end() ? nullptr : &it->second;
}

// What every value call does first: find the open key, log the call, and let
// an injected fault answer in its place. On success `open` and `valueName`
// are set and the result is kResultSuccess.
PlatformResult startValueCall(PlatformKey key, const char* operation, const char* name,
                              OpenKey** open, std::string* valueName) {
  *open = findKey(key);
  if (*open == nullptr) return kResultInvalidHandle;
  *valueName = name ? name : "";
  logCall(operation, *valueName);
  return injectedFault(operation, *valueName);
}

}  // namespace

void setRunStore(std::unique_ptr<RegistryStore> store, bool keepCallLog, StoreOpener reopen) {
  Registry& r = registry();
  r.replaced.reset();
  r.store = std::move(store);
  r.reopen = std::move(reopen);
  r.keys.clear();
  r.log.clear();
  r.logging = keepCallLog;
}

void beginRunWithStore(std::unique_ptr<RegistryStore> store) { setRunStore(std::move(store), true); }

RegistryStore* currentStore() { return registry().store.get(); }

bool endRun(std::string* error) {
  Registry& r = registry();
  bool ok = true;
  if (r.store) ok = r.store->commit(error);
  r.store.reset();
  r.replaced.reset();
  r.keys.clear();
  return ok;
}

void injectRegistryFault(const std::string& operation, const std::string& name,
                         PlatformResult result) {
  registry().faults.push_back(Fault{operation, name, result});
}

void clearRegistryFaults() { registry().faults.clear(); }

const std::vector<std::string>& registryCallLog() { return registry().log; }

}  // namespace standin

using standin::OpenKey;
using standin::registry;

PlatformResult platformOpenKey(const char* path, uint32_t options, uint32_t access,
                               PlatformKey* key) {
  (void)options;
  (void)access;
  std::string normal;
  standin::logCall("open", path ? path : "");
  if (!registry().store || !standin::normalisePath(path, &normal)) return kResultNotFound;
  PlatformResult fault = standin::injectedFault("open", normal);
  if (fault != kResultSuccess) return fault;
  if (!registry().store->keyExists(normal)) return kResultNotFound;
  PlatformKey handle = registry().nextKey++;
  registry().keys[handle].path = normal;
  *key = handle;
  return kResultSuccess;
}

PlatformResult platformEnumKey(PlatformKey key, uint32_t index, char* name,
                               uint32_t* nameLength) {
  OpenKey* open = standin::findKey(key);
  if (open == nullptr) return kResultInvalidHandle;
  PlatformResult fault = standin::injectedFault("enum", open->path);
  if (fault != kResultSuccess) return fault;
  if (!open->subkeysListed) {
    // Windows keeps each key's subkeys sorted by upper-cased name and
    // enumerates them in that order, so "1", "10", "2" come back as listed.
    // A key may have a million subkeys: each name is folded once, not at
    // every comparison.
    std::vector<std::string> names = registry().store->subkeys(open->path);
    std::vector<std::pair<std::u16string, size_t>> keys;
    keys.reserve(names.size());
    for (size_t i = 0; i < names.size(); ++i) keys.emplace_back(standin::registryNameKey(names[i]), i);
    std::sort(keys.begin(), keys.end());
    open->subkeys.reserve(names.size());
    for (const auto& key : keys) open->subkeys.push_back(std::move(names[key.second]));
    open->subkeysListed = true;
  }
  if (index >= open->subkeys.size()) return kResultNoMoreItems;
  const std::string& subkey = open->subkeys[index];
  if (subkey.size() + 1 > *nameLength) return kResultMoreData;
  memcpy(name, subkey.c_str(), subkey.size() + 1);
  *nameLength = static_cast<uint32_t>(subkey.size());
  return kResultSuccess;
}

namespace standin {
namespace {

// Both queries: `eightBit` hands strings back in the code page, as the
// 8-bit call does, else as stored.
PlatformResult queryValue(PlatformKey key, const char* name, uint32_t* type, unsigned char* data,
                          uint32_t* size, bool eightBit) {
  OpenKey* open = nullptr;
  std::string valueName;
  PlatformResult started = startValueCall(key, "query", name, &open, &valueName);
  if (started != kResultSuccess) return started;
  StoreValue value;
  if (!registry().store->getValue(open->path, valueName, &value)) return kResultNotFound;
  std::string converted;
  const unsigned char* bytes = value.data.data();
  size_t count = value.data.size();
  if (eightBit && isStringType(value.type)) {
    // The 8-bit call hands back the text in the code page, with exactly the
    // terminators the stored text has: none if it was stored without one.
    converted = utf16LEToUtf8(value.data.data(), value.data.size());
    bytes = reinterpret_cast<const unsigned char*>(converted.data());
    count = converted.size();
  }
  if (type != nullptr) *type = value.type;
  if (size == nullptr) return data == nullptr ? kResultSuccess : kResultInvalidParameter;
  uint32_t capacity = *size;
  *size = static_cast<uint32_t>(count);
  if (data == nullptr) return kResultSuccess;
  if (count > capacity) return kResultMoreData;
  if (count > 0) memcpy(data, bytes, count);
  return kResultSuccess;
}

}  // namespace
}  // namespace standin

PlatformResult platformQueryValue(PlatformKey key, const char* name, uint32_t* type,
                                  unsigned char* data, uint32_t* size) {
  return standin::queryValue(key, name, type, data, size, true);
}

PlatformResult platformQueryValueUtf16(PlatformKey key, const char* name, uint32_t* type,
                                       unsigned char* data, uint32_t* size) {
  return standin::queryValue(key, name, type, data, size, false);
}

PlatformResult platformSetValue(PlatformKey key, const char* name, uint32_t type,
                                const unsigned char* data, uint32_t size) {
  OpenKey* open = nullptr;
  std::string valueName;
  PlatformResult started = standin::startValueCall(key, "set", name, &open, &valueName);
  if (started != kResultSuccess) return started;
  standin::StoreValue value;
  value.type = type;
  if (standin::isStringType(type)) {
    value.data = standin::utf8ToUtf16LE(reinterpret_cast<const char*>(data), size);
  } else if (size > 0) {
    value.data.assign(data, data + size);
  }
  bool set = registry().store->setValue(open->path, valueName, value);
  if (standin::reopenReplacedStore()) set = registry().store->setValue(open->path, valueName, value);
  return set ? kResultSuccess : kResultAccessDenied;
}

PlatformResult platformDeleteValue(PlatformKey key, const char* name) {
  OpenKey* open = nullptr;
  std::string valueName;
  PlatformResult started = standin::startValueCall(key, "delete", name, &open, &valueName);
  if (started != kResultSuccess) return started;
  bool deleted = registry().store->deleteValue(open->path, valueName);
  if (standin::reopenReplacedStore()) deleted = registry().store->deleteValue(open->path, valueName);
  return deleted ? kResultSuccess : kResultNotFound;
}

// A stand-in run commits its store once, when it ends, so that a crash leaves
// the old store or the new one; flushing a key only has to be recorded.
PlatformResult platformFlushKey(PlatformKey key) {
  OpenKey* open = standin::findKey(key);
  if (open == nullptr) return kResultInvalidHandle;
  standin::logCall("flush", open->path);
  return kResultSuccess;
}

PlatformResult platformCloseKey(PlatformKey key) {
  OpenKey* open = standin::findKey(key);
  if (open == nullptr) return kResultInvalidHandle;
  standin::logCall("close", open->path);
  registry().keys.erase(key);
  return kResultSuccess;
}
