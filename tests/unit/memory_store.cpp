#include "memory_store.h"

#include "platform/standin/standin_text.h"

namespace testing_store {

using standin::StoreValue;

std::vector<uint8_t> utf16(const std::string& text) {
  return standin::utf8ToUtf16LE(text.data(), text.size());
}

StoreValue sz(const std::string& text) {
  StoreValue v;
  v.type = 1;
  v.data = utf16(std::string(text) + '\0');
  return v;
}

StoreValue multi(const std::vector<std::string>& strings) {
  std::string bytes;
  for (const std::string& s : strings) bytes += s + '\0';
  if (strings.empty()) bytes += '\0';
  bytes += '\0';
  StoreValue v;
  v.type = 7;
  v.data = utf16(bytes);
  return v;
}

StoreValue dword(uint32_t value) {
  StoreValue v;
  v.type = 4;
  v.data = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return v;
}

std::string text(const StoreValue& value) {
  return standin::utf16LEToUtf8(value.data.data(), value.data.size());
}

MemoryStore::Key* MemoryStore::find(const std::string& path) {
  for (auto& entry : keys_) {
    if (standin::sameRegistryName(entry.first, path)) return &entry.second;
  }
  return nullptr;
}

MemoryStore& MemoryStore::key(const std::string& path) {
  for (std::string::size_type end = path.find('\\');; end = path.find('\\', end + 1)) {
    std::string prefix = path.substr(0, end);
    if (find(prefix) == nullptr) {
      Key k;
      k.name = prefix.substr(prefix.rfind('\\') == std::string::npos ? 0 : prefix.rfind('\\') + 1);
      keys_.emplace_back(prefix, k);
    }
    if (end == std::string::npos) break;
  }
  return *this;
}

MemoryStore& MemoryStore::value(const std::string& path, const std::string& name,
                                const StoreValue& value) {
  key(path);
  setValue(path, name, value);
  return *this;
}

bool MemoryStore::keyExists(const std::string& path) { return find(path) != nullptr; }

std::vector<std::string> MemoryStore::subkeys(const std::string& path) {
  std::vector<std::string> names;
  std::string prefix = path + "\\";
  for (auto& entry : keys_) {
    if (entry.first.size() > prefix.size() &&
        standin::sameRegistryName(entry.first.substr(0, prefix.size()), prefix) &&
        entry.first.find('\\', prefix.size()) == std::string::npos) {
      names.push_back(entry.second.name);
    }
  }
  return names;
}

bool MemoryStore::getValue(const std::string& path, const std::string& name, StoreValue* value) {
  Key* k = find(path);
  if (k == nullptr) return false;
  for (auto& v : k->values) {
    if (standin::sameRegistryName(v.first, name)) {
      *value = v.second;
      return true;
    }
  }
  return false;
}

bool MemoryStore::setValue(const std::string& path, const std::string& name,
                           const StoreValue& value) {
  Key* k = find(path);
  if (k == nullptr) return false;
  for (auto& v : k->values) {
    if (standin::sameRegistryName(v.first, name)) {
      v.second = value;
      return true;
    }
  }
  k->values.emplace_back(name, value);
  return true;
}

bool MemoryStore::deleteValue(const std::string& path, const std::string& name) {
  Key* k = find(path);
  if (k == nullptr) return false;
  for (auto it = k->values.begin(); it != k->values.end(); ++it) {
    if (standin::sameRegistryName(it->first, name)) {
      k->values.erase(it);
      return true;
    }
  }
  return false;
}

std::map<std::string, StoreValue> MemoryStore::values(const std::string& path) {
  std::map<std::string, StoreValue> all;
  Key* k = find(path);
  if (k != nullptr) {
    for (auto& v : k->values) all[v.first] = v.second;
  }
  return all;
}

bool MemoryStore::has(const std::string& path, const std::string& name) {
  StoreValue ignored;
  return getValue(path, name, &ignored);
}

}  // namespace testing_store
