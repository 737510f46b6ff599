// What is configured now: each adapter's TCP/IP settings as Windows reads
// them, read from the registry and never written, for a person (text) or a
// script (JSON).
#ifndef NETVANE_VIEW_VIEW_H
#define NETVANE_VIEW_VIEW_H

#include <stdint.h>

enum ViewFormat { kViewText, kViewJson };

// Every adapter of the list, in its order. Returns 0, or the length of
// "Cannot locate any network cards...\n" when there is no list to walk.
int32_t showAllSettings(ViewFormat format);

// One adapter: `number` from the list (0 when it was named by its service
// name, which is then looked up in the list). An adapter whose TCP/IP keys
// cannot be found gets the line a configure run gives it, and its length.
int32_t showAdapterSettings(int32_t number, const char* serviceName, ViewFormat format);

#endif
