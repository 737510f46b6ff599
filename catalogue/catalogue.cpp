#include "catalogue/catalogue.h"

#include "catalogue/adapter_table.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/platform.h"

AdapterTable adapterTable = {0, 0, NULL, 0};

namespace {

const char kNetworkCardsPath[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";
const uint32_t kRegistryTextSize = 260;

const char kNoNetworkCards[] = "Cannot locate any network cards...\n";
const char kListHeading[] = "\nNetwork adapters:\n";
const char kListEntry[] = "\n%d:\t%s\n";
const char kListName[] = "\tName: %s\n";

// Reads a text value into a buffer of kRegistryTextSize bytes and terminates
// it. Windows may hand back a string without its terminator; such a text is
// cut where its bytes end, and one that leaves no room for the terminator
// counts as a failed query, like one too long for the buffer. On failure the
// buffer holds the empty text.
PlatformResult readRegistryText(PlatformKey key, const char* name, char* buffer) {
  uint32_t size = kRegistryTextSize;
  uint32_t type = 0;
  PlatformResult result =
      platformQueryValue(key, name, &type, reinterpret_cast<unsigned char*>(buffer), &size);
  if (result == kResultSuccess && size > kRegistryTextSize) result = kResultMoreData;
  if (result == kResultSuccess && size > 0 && buffer[size - 1] != '\0') {
    if (size == kRegistryTextSize) {
      result = kResultMoreData;
    } else {
      buffer[size] = '\0';
    }
  }
  if (result != kResultSuccess || size == 0) buffer[0] = '\0';
  return result;
}

// Opens the card behind subkey `index` of the open list. Both walks use it,
// which keeps the printed numbers and the table's positions the same.
PlatformResult openCard(PlatformKey cards, uint32_t index, PlatformKey* card) {
  char subkey[kRegistryTextSize];
  uint32_t subkeyLength = kRegistryTextSize;
  PlatformResult result = platformEnumKey(cards, index, subkey, &subkeyLength);
  if (result != kResultSuccess) return result;
  char path[kRegistryTextSize];
  int length = snprintf(path, sizeof path, "%s\\%s", kNetworkCardsPath, subkey);
  // A subkey name too long for the path cannot be opened; the walk ends there.
  if (length < 0 || static_cast<size_t>(length) >= sizeof path) return kResultNotFound;
  return platformOpenKey(path, 0, kKeyAllAccess, card);
}

char* copyName(const char* name) {
  size_t length = strlen(name);
  char* copy = static_cast<char*>(malloc(length + 1));
  if (copy != NULL) memcpy(copy, name, length + 1);
  return copy;
}

// Makes room for one more entry; false when memory runs out.
bool reserveEntry() {
  if (adapterTable.count < adapterTable.capacity) return true;
  int32_t capacity =
      adapterTable.capacity == 0 ? kAdapterTableInitialCapacity : adapterTable.capacity * 2;
  if (capacity <= adapterTable.capacity) return false;
  char** names =
      static_cast<char**>(realloc(adapterTable.names, static_cast<size_t>(capacity) * sizeof(char*)));
  if (names == NULL) return false;
  adapterTable.names = names;
  adapterTable.capacity = capacity;
  return true;
}

}  // namespace

void loadAdapterTable() {
  PlatformKey cards = 0;
  if (platformOpenKey(kNetworkCardsPath, 0, kKeyAllAccess, &cards) != kResultSuccess) return;
  adapterTable.count = 0;
  for (;;) {
    PlatformKey card = 0;
    if (openCard(cards, static_cast<uint32_t>(adapterTable.count), &card) != kResultSuccess) break;
    char serviceName[kRegistryTextSize];
    PlatformResult query = readRegistryText(card, "ServiceName", serviceName);
    platformCloseKey(card);
    char* copy = reserveEntry() ? copyName(serviceName) : NULL;
    if (copy == NULL) {
      adapterTable.truncated = 1;
      break;
    }
    adapterTable.names[adapterTable.count] = copy;
    adapterTable.count++;
    // A card whose service name cannot be read keeps its number, as the empty
    // name, but the walk ends with it.
    if (query != kResultSuccess) break;
  }
  platformCloseKey(cards);
}

void resetAdapterTable() {
  for (int32_t i = 0; i < adapterTable.count; ++i) free(adapterTable.names[i]);
  free(adapterTable.names);
  adapterTable = AdapterTable{0, 0, NULL, 0};
}

const char* adapterServiceName(int32_t number) {
  if (number < 1 || number > adapterTable.count) return NULL;
  return adapterTable.names[number - 1];
}

bool isServiceName(const char* serviceName) {
  for (const char* p = serviceName; *p != '\0'; ++p) {
    if (*p != '\\') return true;
  }
  return false;
}

PlatformResult openAdapterCard(int32_t number, PlatformKey* card) {
  if (number < 1) return kResultNotFound;
  PlatformKey cards = 0;
  PlatformResult result = platformOpenKey(kNetworkCardsPath, 0, kKeyAllAccess, &cards);
  if (result != kResultSuccess) return result;
  result = openCard(cards, static_cast<uint32_t>(number - 1), card);
  platformCloseKey(cards);
  return result;
}

int32_t checkNetworkCards() {
  PlatformKey cards = 0;
  if (platformOpenKey(kNetworkCardsPath, 0, kKeyAllAccess, &cards) != kResultSuccess) {
    return platformPrint(kNoNetworkCards);
  }
  platformCloseKey(cards);
  return 0;
}

int32_t listAdapters() {
  PlatformKey cards = 0;
  if (platformOpenKey(kNetworkCardsPath, 0, kKeyAllAccess, &cards) != kResultSuccess) {
    return platformPrint(kNoNetworkCards);
  }
  platformPrint(kListHeading);
  for (uint32_t index = 0;; ++index) {
    if (adapterTable.truncated && index >= static_cast<uint32_t>(adapterTable.count)) break;
    PlatformKey card = 0;
    if (openCard(cards, index, &card) != kResultSuccess) break;
    char description[kRegistryTextSize];
    char serviceName[kRegistryTextSize];
    readRegistryText(card, "Description", description);
    PlatformResult query = readRegistryText(card, "ServiceName", serviceName);
    platformCloseKey(card);
    platformPrint(kListEntry, static_cast<int>(index + 1), description);
    platformPrint(kListName, serviceName);
    if (query != kResultSuccess) break;
  }
  platformCloseKey(cards);
  return 0;
}
