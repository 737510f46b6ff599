// One adapter's TCP/IP configuration: the registry values of both layouts the
// TCP/IP and NetBIOS services read, and the request that has the DHCP client
// service apply them to the running adapter.
#ifndef NETVANE_CONFIG_CONFIG_H
#define NETVANE_CONFIG_CONFIG_H

#include <stdint.h>

#include "platform/platform.h"

// Writes the eight settings to the registry and asks the DHCP client service
// to apply them. Returns 0 when everything was written and applied; else the
// number of characters of the message that reports the first failure, or of
// the final one when the change could not be applied.
int32_t configureAdapter(const char* adapterName, const char* ipAddress, const char* mask,
                         const char* gateway, const char* nameServer1, const char* nameServer2,
                         const char* winsServer1, const char* winsServer2);

// Whether the text is an IPv4 address as the registry keeps one: four
// decimal numbers from 0 to 255 joined by dots, none with a leading zero, and
// nothing before, between or after them. 1 or 0.
int isDottedQuad(const char* text);

#endif
