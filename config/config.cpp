#include "config/config.h"

#include "config/adapter_keys.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>

namespace {

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
void copyBounded(char* field, const char* text, size_t size) {
  if (size == 0) return;
  size_t i = 0;
  for (; i + 1 < size && text[i] != '\0'; ++i) field[i] = text[i];
  field[i] = '\0';
}

// "?" as a setting's first character asks for DHCP where it has a meaning.
int asksForDhcp(const char* text) { return text[0] == '?'; }

const size_t kKeyPathSize = 260;
const size_t kUtf16NameSize = 128;

const char kGlobalKeyPath[] = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";

const char kDhcpLibraryName[] = "dhcpcsvc";
const char kDhcpNotifyName[] = "DhcpNotifyConfigChange";

const char kCannotLocateAdapter[] = "Cannot locate adapter %s\n";
const char kRegistryUpdateFailed[] = "Registry update failed for %s\n";
const char kConfigurationFailed[] = "Adapter configuration failed\n";
const char kInvalidAddress[] = "Invalid %s \"%s\": not an IPv4 address\n";
const char kDhcpMarkerWithoutDhcp[] =
    "Invalid %s \"%s\": \"?\" asks for DHCP only when ipAddress is \"?\" too\n";
const char kNoDhcpLibrary[] =
    "Change written but not applied to the running adapter: cannot load dhcpcsvc\n";
const char kNoDhcpEntry[] =
    "Change written but not applied to the running adapter: dhcpcsvc has no "
    "DhcpNotifyConfigChange\n";

const char kDhcpAddress[] = "0.0.0.0";
const char kNoDhcpServer[] = "255.255.255.255";
const char kNoDhcpSubnetMask[] = "255.0.0.0";

struct DhcpClient {
  PlatformLibrary library;
  PlatformDhcpNotify notify;
};

void keepFirstFailure(int32_t* first, int32_t status) {
  if (*first == 0) *first = status;
}

int32_t writeFailed(const char* name) { return platformPrint(kRegistryUpdateFailed, name); }

int32_t setBytes(PlatformKey key, const char* name, uint32_t type, const void* data,
                 size_t size) {
  if (platformSetValue(key, name, type, static_cast<const unsigned char*>(data),
                       static_cast<uint32_t>(size)) != kResultSuccess) {
    return writeFailed(name);
  }
  return 0;
}

// The value writers. Each returns 0, or the length of the message that says
// the value could not be written.
int32_t setMultiString(PlatformKey key, const char* name, const char* text) {
  char data[kRegistryDataSize];
  size_t length = strlen(text);
  if (length + 2 > sizeof data) return writeFailed(name);
  memcpy(data, text, length);
  data[length] = '\0';
  data[length + 1] = '\0';
  return setBytes(key, name, kRegistryTypeMultiString, data, length + 2);
}

int32_t setMultiStringPair(PlatformKey key, const char* name, const char* first,
                           const char* second) {
  char data[kRegistryDataSize];
  size_t firstLength = strlen(first);
  size_t secondLength = strlen(second);
  if (firstLength + secondLength + 3 > sizeof data) return writeFailed(name);
  memcpy(data, first, firstLength + 1);
  memcpy(data + firstLength + 1, second, secondLength + 1);
  data[firstLength + secondLength + 2] = '\0';
  return setBytes(key, name, kRegistryTypeMultiString, data, firstLength + secondLength + 3);
}

int32_t setString(PlatformKey key, const char* name, const char* text) {
  return setBytes(key, name, kRegistryTypeString, text, strlen(text) + 1);
}

int32_t setDword(PlatformKey key, const char* name, uint32_t value) {
  // REG_DWORD is little-endian whatever the machine's own order.
  unsigned char data[4] = {static_cast<unsigned char>(value & 0xFF),
                           static_cast<unsigned char>((value >> 8) & 0xFF),
                           static_cast<unsigned char>((value >> 16) & 0xFF),
                           static_cast<unsigned char>((value >> 24) & 0xFF)};
  return setBytes(key, name, kRegistryTypeDword, data, sizeof data);
}

// A value that is already gone is what the caller wanted, so failures are
// not reported.
void deleteValue(PlatformKey key, const char* name) { platformDeleteValue(key, name); }

// Both name servers, the first one first, with `separator` between them only
// when both are given.
void joinNameServers(const AdapterSettings* settings, const char* separator, char* joined) {
  snprintf(joined, kRegistryDataSize, "%s%s%s", settings->nameServer1,
           settings->nameServer1[0] != '\0' && settings->nameServer2[0] != '\0' ? separator : "",
           settings->nameServer2);
}

// The DHCP switch and the addresses both layouts hold.
void writeAddresses(PlatformKey key, const AdapterSettings* settings, int32_t* firstFailure) {
  keepFirstFailure(firstFailure, setMultiString(key, "IPAddress", settings->ipAddress));
  keepFirstFailure(firstFailure, setMultiString(key, "SubnetMask", settings->mask));
  keepFirstFailure(firstFailure, setMultiString(key, "DefaultGateway", settings->gateway));
  keepFirstFailure(firstFailure,
                   setDword(key, "EnableDHCP", static_cast<uint32_t>(settings->useDhcp)));
}

void writeAdapterKey(PlatformKey key, const AdapterSettings* settings, int32_t* firstFailure) {
  writeAddresses(key, settings, firstFailure);
  if (!settings->useDhcp) {
    // A static address must not leave the lease of an earlier DHCP
    // configuration behind for the stack to pick up.
    deleteValue(key, "DhcpDefaultGateway");
    deleteValue(key, "DhcpSubnetMaskOpt");
    keepFirstFailure(firstFailure, setString(key, "DhcpIPAddress", kDhcpAddress));
    keepFirstFailure(firstFailure, setString(key, "DhcpServer", kNoDhcpServer));
    keepFirstFailure(firstFailure, setString(key, "DhcpSubnetMask", kNoDhcpSubnetMask));
  }
}

void writeInterfaceKey(PlatformKey key, const AdapterSettings* settings, int32_t* firstFailure) {
  writeAddresses(key, settings, firstFailure);
  char nameServers[kRegistryDataSize];
  joinNameServers(settings, ",", nameServers);
  keepFirstFailure(firstFailure, setString(key, "NameServer", nameServers));
  if (!settings->useDhcp) {
    deleteValue(key, "DhcpDefaultGateway");
    deleteValue(key, "DhcpIPAddress");
    deleteValue(key, "DhcpSubnetMask");
    deleteValue(key, "DhcpSubnetMaskOpt");
    deleteValue(key, "DhcpDomain");
    deleteValue(key, "DhcpNameServer");
    keepFirstFailure(firstFailure, setString(key, "DhcpServer", kNoDhcpServer));
  }
}

void writeNetbtInterfaceKey(PlatformKey key, const AdapterSettings* settings,
                            int32_t* firstFailure) {
  const char* wins1 = settings->winsServer1;
  const char* wins2 = settings->winsServer2;
  int32_t status;
  if (wins1[0] != '\0' && wins2[0] != '\0') {
    status = setMultiStringPair(key, "NameServerList", wins1, wins2);
  } else {
    status = setMultiString(key, "NameServerList", wins1[0] != '\0' ? wins1 : wins2);
  }
  keepFirstFailure(firstFailure, status);
}

void writeNetbtAdapterKey(PlatformKey key, const AdapterSettings* settings,
                          int32_t* firstFailure) {
  if (settings->winsServer1[0] != '\0') {
    keepFirstFailure(firstFailure, setString(key, "NameServer", settings->winsServer1));
  }
  if (settings->winsServer2[0] != '\0') {
    keepFirstFailure(firstFailure, setString(key, "NameServerBackup", settings->winsServer2));
  }
}

typedef void (*KeyWriter)(PlatformKey, const AdapterSettings*, int32_t*);

// Each location is written, flushed and closed before the next key is opened.
void writeKey(PlatformKey key, const AdapterSettings* settings, KeyWriter write,
              int32_t* firstFailure) {
  write(key, settings, firstFailure);
  platformFlushKey(key);
  platformCloseKey(key);
}

// One of the adapter's optional locations: skipped if it does not exist.
void writeOptionalKey(const char* prefix, const AdapterSettings* settings, KeyWriter write,
                      int32_t* firstFailure) {
  PlatformKey key = 0;
  if (openAdapterKey(prefix, settings->adapterName, "", &key) != kResultSuccess) return;
  writeKey(key, settings, write, firstFailure);
}

enum AdapterLocation { kAdapterMissing, kAdapterKeyFound, kOnlyInterfaceKeyFound };

// Windows NT 4.0 keeps an adapter's TCP/IP settings in its adapter key, 2000
// to 7 in that key and the interface key, and 8.1 and later often in the
// interface key alone, so either key locates the adapter. The key found is
// left open in `key`, so that an interface key is opened once for its writes.
AdapterLocation locateAdapter(const char* adapterName, PlatformKey* key) {
  if (openAdapterKey(kAdapterKeyPrefix, adapterName, kAdapterKeySuffix, key) == kResultSuccess) {
    return kAdapterKeyFound;
  }
  if (openAdapterKey(kInterfaceKeyPrefix, adapterName, "", key) == kResultSuccess) {
    return kOnlyInterfaceKeyFound;
  }
  return kAdapterMissing;
}

// Every address given is checked before anything is written, whatever the
// mode: the text is written as given, so a text inet_addr reads only in part
// ("10.0.0.1 junk", "10.1") would be stored as an address and the run
// reported as a success. With DHCP the gateway, and a second server beside a
// "?" first one, are not written, yet a mistake in them is still refused
// rather than dropped unseen; only the mask, which DHCP has no use for, is
// left unchecked. An empty setting is one that is not given.
int32_t checkAddresses(const AdapterSettings* settings) {
  const int dhcp = asksForDhcp(settings->ipAddress);
  if (!dhcp) {
    if (!isDottedQuad(settings->ipAddress)) {
      return platformPrint(kInvalidAddress, "ipAddress", settings->ipAddress);
    }
    if (!isDottedQuad(settings->mask)) {
      return platformPrint(kInvalidAddress, "mask", settings->mask);
    }
  }
  const struct {
    const char* name;
    const char* text;
    int dhcpMarker;  // "?" here asks for DHCP beside a "?" ipAddress
  } optional[] = {
      {"gateway", settings->gateway, 0},         {"nameServer1", settings->nameServer1, 1},
      {"nameServer2", settings->nameServer2, 0}, {"winsServer1", settings->winsServer1, 1},
      {"winsServer2", settings->winsServer2, 0},
  };
  for (size_t i = 0; i < sizeof optional / sizeof optional[0]; ++i) {
    const char* text = optional[i].text;
    if (text[0] == '\0' || isDottedQuad(text)) continue;
    if (optional[i].dhcpMarker && asksForDhcp(text)) {
      if (dhcp) continue;
      return platformPrint(kDhcpMarkerWithoutDhcp, optional[i].name, text);
    }
    return platformPrint(kInvalidAddress, optional[i].name, text);
  }
  return 0;
}

int32_t notifyDhcpClient(const AdapterSettings* settings, const DhcpClient* client) {
  if (client->library == 0) return platformPrint(kNoDhcpLibrary);
  if (client->notify == 0) return platformPrint(kNoDhcpEntry);
  uint16_t adapterName[kUtf16NameSize];
  if (platformToUtf16(settings->adapterName, adapterName, static_cast<int>(kUtf16NameSize)) == 0) {
    adapterName[0] = 0;
  }
  uint32_t address = 0;
  uint32_t mask = 0;
  if (!settings->useDhcp) {
    mask = platformInetAddr(settings->mask);
    address = platformInetAddr(settings->ipAddress);
  }
  uint32_t result = platformCallDhcpNotify(client->notify, NULL, adapterName,
                                           settings->useDhcp ? 0 : 1, 0, address, mask,
                                           settings->useDhcp ? 1 : 0);
  if (result != 0) return platformPrint(kConfigurationFailed);
  return 0;
}

void fillSettings(AdapterSettings* settings, const char* adapterName, const char* ipAddress,
                  const char* mask, const char* gateway, const char* nameServer1,
                  const char* nameServer2, const char* winsServer1, const char* winsServer2) {
  copyBounded(settings->adapterName, adapterName, kSettingSize);
  copyBounded(settings->ipAddress, ipAddress, kSettingSize);
  copyBounded(settings->mask, mask, kSettingSize);
  copyBounded(settings->gateway, gateway, kSettingSize);
  copyBounded(settings->nameServer1, nameServer1, kSettingSize);
  copyBounded(settings->nameServer2, nameServer2, kSettingSize);
  copyBounded(settings->winsServer1, winsServer1, kSettingSize);
  copyBounded(settings->winsServer2, winsServer2, kSettingSize);
  settings->useDhcp = 0;
}

// Turns a DHCP request into the values it writes, once the settings passed
// their checks.
void resolveDhcp(AdapterSettings* settings) {
  if (asksForDhcp(settings->ipAddress)) {
    copyBounded(settings->ipAddress, kDhcpAddress, kSettingSize);
    settings->mask[0] = '\0';
    settings->gateway[0] = '\0';
    settings->useDhcp = 1;
    if (asksForDhcp(settings->nameServer1)) {
      settings->nameServer1[0] = '\0';
      settings->nameServer2[0] = '\0';
    }
    if (asksForDhcp(settings->winsServer1)) {
      settings->winsServer1[0] = '\0';
      settings->winsServer2[0] = '\0';
    }
  }
}

}  // namespace

int32_t configureAdapter(const char* adapterName, const char* ipAddress, const char* mask,
                         const char* gateway, const char* nameServer1, const char* nameServer2,
                         const char* winsServer1, const char* winsServer2) {
  // Cut to its field, a longer service name would be another adapter's.
  if (strlen(adapterName) >= kSettingSize) {
    char shown[kSettingSize];
    copyBounded(shown, adapterName, kSettingSize);
    return platformPrint(kCannotLocateAdapter, shown);
  }
  DhcpClient client;
  client.library = platformLoadLibrary(kDhcpLibraryName);
  client.notify = client.library != 0 ? platformFindDhcpNotify(client.library, kDhcpNotifyName) : 0;

  AdapterSettings settings;
  fillSettings(&settings, adapterName, ipAddress, mask, gateway, nameServer1, nameServer2,
               winsServer1, winsServer2);
  int32_t refused = checkAddresses(&settings);
  if (refused != 0) return refused;
  resolveDhcp(&settings);

  PlatformKey located = 0;
  AdapterLocation location = locateAdapter(settings.adapterName, &located);
  if (location == kAdapterMissing) {
    return platformPrint(kCannotLocateAdapter, settings.adapterName);
  }
  int32_t firstFailure = 0;
  if (location == kAdapterKeyFound) {
    writeKey(located, &settings, writeAdapterKey, &firstFailure);
    writeOptionalKey(kInterfaceKeyPrefix, &settings, writeInterfaceKey, &firstFailure);
  } else {
    writeKey(located, &settings, writeInterfaceKey, &firstFailure);
  }
  // The global parameters are shared by every adapter; they are written but,
  // unlike the adapter's own keys, not flushed.
  PlatformKey globalKey = 0;
  if (platformOpenKey(kGlobalKeyPath, 0, kKeyAllAccess, &globalKey) == kResultSuccess) {
    char nameServers[kRegistryDataSize];
    joinNameServers(&settings, " ", nameServers);
    keepFirstFailure(&firstFailure, setString(globalKey, "NameServer", nameServers));
    platformCloseKey(globalKey);
  }
  writeOptionalKey(kNetbtInterfaceKeyPrefix, &settings, writeNetbtInterfaceKey, &firstFailure);
  writeOptionalKey(kNetbtAdapterKeyPrefix, &settings, writeNetbtAdapterKey, &firstFailure);

  // A refused or impossible notification decides the status; otherwise the
  // first value that could not be written does, so a partial write never
  // reads as success.
  int32_t notified = notifyDhcpClient(&settings, &client);
  if (notified != 0) return notified;
  return firstFailure;
}

int isDottedQuad(const char* text) {
  const char* p = text;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && *p++ != '.') return 0;
    if (*p < '0' || *p > '9') return 0;
    // A leading zero makes the part octal to inet_addr: "010" is 8.
    if (p[0] == '0' && p[1] >= '0' && p[1] <= '9') return 0;
    int value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
      value = value * 10 + (*p - '0');
      if (value > 255) return 0;
    }
  }
  return *p == '\0';
}

PlatformResult openAdapterKey(const char* prefix, const char* adapterName, const char* suffix, PlatformKey* key) {
  char path[kKeyPathSize];
  int length = snprintf(path, sizeof path, "%s%s%s", prefix, adapterName, suffix);
  if (length < 0 || static_cast<size_t>(length) >= sizeof path) return kResultNotFound;
  return platformOpenKey(path, 0, kKeyAllAccess, key);
}
