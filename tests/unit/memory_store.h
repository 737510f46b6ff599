// A registry held in memory for unit tests: keys and values as Windows keeps
// them, with just enough behaviour to stand behind the stand-in's registry
// calls, so that the tool's own code can be driven and observed directly.
#ifndef NETVANE_TESTS_UNIT_MEMORY_STORE_H
#define NETVANE_TESTS_UNIT_MEMORY_STORE_H

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "platform/standin/registry_store.h"

namespace standin {
inline bool operator==(const StoreValue& a, const StoreValue& b) {
  return a.type == b.type && a.data == b.data;
}
}  // namespace standin

namespace testing_store {

std::vector<uint8_t> utf16(const std::string& text);
// REG_SZ data with its terminator, as RegSetValueExA("text", length + 1) stores it.
standin::StoreValue sz(const std::string& text);
// REG_MULTI_SZ data: each string terminated, then one more terminator.
standin::StoreValue multi(const std::vector<std::string>& strings);
standin::StoreValue dword(uint32_t value);
// A value's UTF-16LE text data back as UTF-8, terminators kept as "\0".
std::string text(const standin::StoreValue& value);

class MemoryStore : public standin::RegistryStore {
 public:
  // Adds the key and every key above it.
  MemoryStore& key(const std::string& path);
  MemoryStore& value(const std::string& path, const std::string& name,
                     const standin::StoreValue& value);

  bool keyExists(const std::string& path) override;
  std::vector<std::string> subkeys(const std::string& path) override;
  bool getValue(const std::string& path, const std::string& name,
                standin::StoreValue* value) override;
  bool setValue(const std::string& path, const std::string& name,
                const standin::StoreValue& value) override;
  bool deleteValue(const std::string& path, const std::string& name) override;
  bool commit(std::string*) override { return true; }

  // Every value of a key, by name as stored, for whole-key comparisons.
  std::map<std::string, standin::StoreValue> values(const std::string& path);
  bool has(const std::string& path, const std::string& name);

 private:
  struct Key {
    std::string name;
    std::vector<std::pair<std::string, standin::StoreValue>> values;
  };
  Key* find(const std::string& path);
  std::vector<std::pair<std::string, Key>> keys_;
};

}  // namespace testing_store

#endif
