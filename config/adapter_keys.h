// The registry keys below HKEY_LOCAL_MACHINE that hold one adapter's TCP/IP
// and NetBIOS settings: the keys a configure run writes and a view reads.
// A key's path is a prefix, the adapter's service name and a suffix.
#ifndef NETVANE_CONFIG_ADAPTER_KEYS_H
#define NETVANE_CONFIG_ADAPTER_KEYS_H

#include "platform/platform.h"

const char kAdapterKeyPrefix[] = "SYSTEM\\CurrentControlSet\\Services\\";
const char kAdapterKeySuffix[] = "\\Parameters\\Tcpip";
const char kInterfaceKeyPrefix[] = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\";
const char kNetbtInterfaceKeyPrefix[] = "SYSTEM\\CurrentControlSet\\Services\\NetBT\\Parameters\\Interfaces\\Tcpip_";
const char kNetbtAdapterKeyPrefix[] = "SYSTEM\\CurrentControlSet\\Services\\NetBT\\Adapters\\";

// Opens prefix + adapter name + suffix with full access; a path that does
// not fit in a key path's 260 bytes is a key that does not exist.
PlatformResult openAdapterKey(const char* prefix, const char* adapterName, const char* suffix, PlatformKey* key);

#endif
