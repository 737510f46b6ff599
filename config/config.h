// One adapter's TCP/IP configuration: the registry values of both layouts the
// TCP/IP and NetBIOS services read, and the request that has the DHCP client
// service apply them to the running adapter.
#ifndef NETVANE_CONFIG_CONFIG_H
#define NETVANE_CONFIG_CONFIG_H

#include <stddef.h>
#include <stdint.h>

#include "platform/platform.h"

// Each setting holds at most 127 characters and its terminator.
const size_t kSettingSize = 128;

// Registry data built from settings: large enough for the longest thing built
// here, two 127-character name servers joined, or a pair of WINS servers as a
// multi-string (127 + 127 characters and three terminators).
const size_t kRegistryDataSize = 2 * kSettingSize + 4;

struct AdapterSettings {
  char adapterName[kSettingSize];
  char ipAddress[kSettingSize];
  char mask[kSettingSize];
  char gateway[kSettingSize];
  char nameServer1[kSettingSize];
  char nameServer2[kSettingSize];
  char winsServer1[kSettingSize];
  char winsServer2[kSettingSize];
  int32_t useDhcp;
};

// Copies at most size - 1 characters of `text` and always terminates `field`.
void copyBounded(char* field, const char* text, size_t size);

// Writes the eight settings to the registry and asks the DHCP client service
// to apply them. Returns 0 when everything was written and applied; else the
// number of characters of the message that reports the first failure, or of
// the final one when the change could not be applied.
int32_t configureAdapter(const char* adapterName, const char* ipAddress, const char* mask,
                         const char* gateway, const char* nameServer1, const char* nameServer2,
                         const char* winsServer1, const char* winsServer2);

// The value writers. Each returns 0, or the length of the message that says
// the value could not be written.
int32_t setMultiString(PlatformKey key, const char* name, const char* text);
int32_t setMultiStringPair(PlatformKey key, const char* name, const char* first,
                           const char* second);
int32_t setString(PlatformKey key, const char* name, const char* text);
int32_t setDword(PlatformKey key, const char* name, uint32_t value);
void deleteValue(PlatformKey key, const char* name);

#endif
