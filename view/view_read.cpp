// Reads one adapter's settings from the keys a configure run writes, and
// the two the listing and Windows' network folder keep beside them.
#include <stdio.h>
#include <string.h>

#include "catalogue/catalogue.h"
#include "config/adapter_keys.h"
#include "platform/platform.h"
#include "view/view_values.h"

namespace {

// A configure run takes a service name of at most 127 characters; a longer
// one would be another adapter's, cut.
const size_t kServiceNameSize = 128;

// The network folder's name for the adapter ("Ethernet 2"), under the class
// of network adapters.
const char kConnectionKeyPrefix[] =
    "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\";
const char kConnectionKeySuffix[] = "\\Connection";

struct FieldSource {
  ViewField field;
  const char* valueName;
};

const FieldSource kCardValues[] = {{kDescription, "Description"}, {kServiceName, "ServiceName"}};
const FieldSource kConnectionValues[] = {{kConnectionName, "Name"}};
const FieldSource kTcpipValues[] = {
    {kEnableDhcp, "EnableDHCP"},
    {kIpAddress, "IPAddress"},
    {kSubnetMask, "SubnetMask"},
    {kGateway, "DefaultGateway"},
    {kNameServer, "NameServer"},
    {kDhcpIpAddress, "DhcpIPAddress"},
    {kDhcpSubnetMask, "DhcpSubnetMask"},
    {kDhcpGateway, "DhcpDefaultGateway"},
    {kDhcpNameServer, "DhcpNameServer"},
    {kDhcpServer, "DhcpServer"},
    {kLeaseObtained, "LeaseObtainedTime"},
    {kLeaseExpires, "LeaseTerminatesTime"},
};
const FieldSource kNetbtInterfaceValues[] = {{kWinsList, "NameServerList"}};
const FieldSource kNetbtAdapterValues[] = {{kWinsPrimary, "NameServer"},
                                           {kWinsBackup, "NameServerBackup"}};

typedef PlatformResult (*ValueQuery)(PlatformKey, const char*, uint32_t*, unsigned char*, uint32_t*);

// A value that cannot be read whole is not dropped: it is shown as too
// large. Any other failure leaves it absent.
void readValue(PlatformKey key, const char* name, ValueQuery query, ViewValue* value) {
  value->size = kViewValueSize;
  value->type = 0;
  PlatformResult result = query(key, name, &value->type, value->data, &value->size);
  if (result == kResultSuccess && value->size <= kViewValueSize) {
    value->state = kValuePresent;
  } else if (result == kResultMoreData || (result == kResultSuccess && value->size > kViewValueSize)) {
    value->state = kValueTooLarge;
  } else {
    value->state = kValueAbsent;
  }
}

void readValues(PlatformKey key, const FieldSource* sources, size_t count, ValueQuery query,
                AdapterView* view) {
  for (size_t i = 0; i < count; ++i) {
    readValue(key, sources[i].valueName, query, &view->values[sources[i].field]);
  }
}

bool keyExists(const char* prefix, const char* serviceName, const char* suffix) {
  PlatformKey key = 0;
  if (openAdapterKey(prefix, serviceName, suffix, &key) != kResultSuccess) return false;
  platformCloseKey(key);
  return true;
}

// Each key is opened, read and closed before the next one is opened. False
// when the key does not exist.
bool readKey(const char* prefix, const char* serviceName, const char* suffix,
             const FieldSource* sources, size_t count, ValueQuery query, AdapterView* view) {
  PlatformKey key = 0;
  if (openAdapterKey(prefix, serviceName, suffix, &key) != kResultSuccess) return false;
  readValues(key, sources, count, query, view);
  platformCloseKey(key);
  return true;
}

// A service that no card lists shows the name it was given, in the form
// the printers read. A name too long to be usable is never shown: the run
// says it cannot locate the adapter.
void setGivenName(AdapterView* view) {
  ViewValue* value = &view->values[kServiceName];
  size_t length = strlen(view->serviceName);
  if (length >= kServiceNameSize) return;
  value->state = kValuePresent;
  value->type = kRegistryTypeString;
  if (!view->wide) {
    value->size = static_cast<uint32_t>(length + 1);
    memcpy(value->data, view->serviceName, length + 1);
    return;
  }
  uint16_t units[kServiceNameSize] = {0};
  int count = platformToUtf16(view->serviceName, units, static_cast<int>(kServiceNameSize));
  if (count <= 0) count = 1;
  for (int i = 0; i < count; ++i) {
    value->data[2 * i] = static_cast<unsigned char>(units[i] & 0xFF);
    value->data[2 * i + 1] = static_cast<unsigned char>(units[i] >> 8);
  }
  value->size = static_cast<uint32_t>(2 * count);
}

bool isUsableName(const char* serviceName) {
  return isServiceName(serviceName) && strlen(serviceName) < kServiceNameSize;
}

}  // namespace

void readAdapterView(int32_t number, const char* serviceName, int32_t wide, AdapterView* view) {
  ValueQuery query = wide ? platformQueryValueUtf16 : platformQueryValue;
  view->number = number;
  view->serviceName = serviceName;
  view->wide = wide;
  view->layout = kLayoutNone;
  view->netbtInterfaceKey = 0;
  for (int field = 0; field < kViewFieldCount; ++field) view->values[field].state = kValueAbsent;

  PlatformKey card = 0;
  if (number > 0 && openAdapterCard(number, &card) == kResultSuccess) {
    readValues(card, kCardValues, sizeof kCardValues / sizeof kCardValues[0], query, view);
    platformCloseKey(card);
  } else if (number == 0) {
    setGivenName(view);
  }
  if (!isUsableName(serviceName)) return;

  bool adapterKey = keyExists(kAdapterKeyPrefix, serviceName, kAdapterKeySuffix);
  bool interfaceKey = keyExists(kInterfaceKeyPrefix, serviceName, "");
  view->layout = adapterKey ? (interfaceKey ? kLayoutBoth : kLayoutAdapter)
                            : (interfaceKey ? kLayoutInterface : kLayoutNone);
  // Windows reads the interface key where there is one; Windows NT 4.0
  // has only the adapter key.
  const size_t tcpipCount = sizeof kTcpipValues / sizeof kTcpipValues[0];
  if (interfaceKey) {
    readKey(kInterfaceKeyPrefix, serviceName, "", kTcpipValues, tcpipCount, query, view);
  } else if (adapterKey) {
    readKey(kAdapterKeyPrefix, serviceName, kAdapterKeySuffix, kTcpipValues, tcpipCount, query, view);
  }
  readKey(kConnectionKeyPrefix, serviceName, kConnectionKeySuffix, kConnectionValues,
          sizeof kConnectionValues / sizeof kConnectionValues[0], query, view);
  view->netbtInterfaceKey =
      readKey(kNetbtInterfaceKeyPrefix, serviceName, "", kNetbtInterfaceValues,
              sizeof kNetbtInterfaceValues / sizeof kNetbtInterfaceValues[0], query, view);
  // The same rule for WINS: NT 4.0 keeps its two servers in the NetBIOS
  // adapter key.
  if (!view->netbtInterfaceKey) {
    readKey(kNetbtAdapterKeyPrefix, serviceName, "", kNetbtAdapterValues,
            sizeof kNetbtAdapterValues / sizeof kNetbtAdapterValues[0], query, view);
  }
}

bool isLocated(const AdapterView* view) { return view->layout != kLayoutNone; }
