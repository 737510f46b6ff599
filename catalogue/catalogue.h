// The installed adapters, as the registry's list of network cards names them.
// Adapter number k is the k-th card that list enumerates, counting from 1; the
// table and the printed list walk the cards the same way, so a number shown in
// the list selects the same card.
#ifndef NETVANE_CATALOGUE_CATALOGUE_H
#define NETVANE_CATALOGUE_CATALOGUE_H

#include <stdint.h>

#include "platform/platform.h"

// Fills the adapter table from the registry; failures only make it shorter.
void loadAdapterTable();

// The service name of adapter `number` (from 1), or null when there is none.
const char* adapterServiceName(int32_t number);

// Whether a service name can name an adapter's own keys. An empty name, or
// one of backslashes alone, would name the keys that hold every adapter's
// keys (Tcpip\Parameters\Interfaces\ and the like), never one adapter's.
bool isServiceName(const char* serviceName);

// Opens the card key of adapter `number` (from 1), found the way the table
// and the list find it, for a reader of its other values. The caller closes
// the key. Any failure is kResultNotFound or the registry's own result.
PlatformResult openAdapterCard(int32_t number, PlatformKey* card);

// 0 when the list of network cards can be opened; else prints the
// listing's "Cannot locate any network cards...\n" and returns its length.
int32_t checkNetworkCards();

// Prints "\nNetwork adapters:\n" and the numbered list. Returns 0 when the
// list of network cards could be opened, else the length of the message.
int32_t listAdapters();

#endif
