// The order of registry names: the folded keys that sort many subkeys at
// once must order names exactly as the comparison the registry calls use.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/standin/registry_store.h"

namespace {

int sign(int value) { return (value > 0) - (value < 0); }

TEST(RegistryNames, FoldedKeysOrderNamesAsTheyCompare) {
  const std::vector<std::string> names = {
      "", "1", "10", "2", "_z", "Z", "z", "a", "A", "ab", "AB", "abc", "[", "`",
      "\xC3\xA9" /* é */, "\xC3\x89" /* É */, "\xC3\xBF" /* ÿ */, "\xC5\xB8" /* Ÿ */,
      "Stra\xC3\x9F" "e", "\xC4\xB1" /* dotless i */, "\xD0\xB6" /* ж */, "\xD0\x96" /* Ж */,
      "\xE6\x97\xA5", "\xF0\x9F\x98\x80" /* outside the BMP: two units */, "\xEF\xBF\xBF",
      "\xFF" /* not UTF-8 */, "a\xFF", "card\xC3\xA9", "CARD\xC3\x89", "card"};
  for (const std::string& a : names) {
    for (const std::string& b : names) {
      int byKeys = sign(standin::registryNameKey(a).compare(standin::registryNameKey(b)));
      EXPECT_EQ(byKeys, sign(standin::compareRegistryNames(a, b))) << a << " vs " << b;
    }
  }
}

}  // namespace
