#include <vector>

#include "platform/standin/registry_store.h"
#include "platform/standin/standin_text.h"

namespace standin {

namespace {

// Windows upper-cases each UTF-16 unit through its own table before it
// compares names. The letters below cover the scripts that adapter and
// service names are written in; other units compare as they are.
uint16_t upcaseUnit(uint16_t c) {
  if (c >= 'a' && c <= 'z') return static_cast<uint16_t>(c - 0x20);
  if (c < 0x80) return c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<uint16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F) {
    // Latin Extended-A pairs upper and lower case, though the parity flips
    // between the two runs 0x100-0x137 and 0x139-0x148 and again after 0x14A.
    bool lowerOdd = (c <= 0x137) || (c >= 0x14A && c <= 0x177);
    if (lowerOdd && (c & 1)) return static_cast<uint16_t>(c - 1);
    if (!lowerOdd && !(c & 1) && c != 0x178) return static_cast<uint16_t>(c - 1);
    return c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<uint16_t>(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return static_cast<uint16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<uint16_t>(c - 0x50);
  return c;
}

bool isAscii(const std::string& s) {
  for (unsigned char c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

}  // namespace

int compareRegistryNames(const std::string& a, const std::string& b) {
  if (isAscii(a) && isAscii(b)) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
      uint16_t x = upcaseUnit(static_cast<unsigned char>(a[i]));
      uint16_t y = upcaseUnit(static_cast<unsigned char>(b[i]));
      if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
  }
  std::vector<uint16_t> x, y;
  appendUtf8AsUtf16(a.data(), a.size(), &x);
  appendUtf8AsUtf16(b.data(), b.size(), &y);
  size_t n = x.size() < y.size() ? x.size() : y.size();
  for (size_t i = 0; i < n; ++i) {
    uint16_t p = upcaseUnit(x[i]);
    uint16_t q = upcaseUnit(y[i]);
    if (p != q) return p < q ? -1 : 1;
  }
  if (x.size() == y.size()) return 0;
  return x.size() < y.size() ? -1 : 1;
}

std::u16string registryNameKey(const std::string& name) {
  std::u16string key;
  key.reserve(name.size());
  if (isAscii(name)) {
    for (unsigned char c : name) key.push_back(static_cast<char16_t>(upcaseUnit(c)));
    return key;
  }
  std::vector<uint16_t> units;
  appendUtf8AsUtf16(name.data(), name.size(), &units);
  for (uint16_t unit : units) key.push_back(static_cast<char16_t>(upcaseUnit(unit)));
  return key;
}

bool sameRegistryName(const std::string& a, const std::string& b) {
  if (a.size() == b.size() && isAscii(a) && isAscii(b)) {
    for (size_t i = 0; i < a.size(); ++i) {
      if (upcaseUnit(static_cast<unsigned char>(a[i])) !=
          upcaseUnit(static_cast<unsigned char>(b[i])))
        return false;
    }
    return true;
  }
  return compareRegistryNames(a, b) == 0;
}

}  // namespace standin
