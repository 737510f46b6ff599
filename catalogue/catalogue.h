// The installed adapters, as the registry's list of network cards names them.
// Adapter number k is the k-th card that list enumerates, counting from 1; the
// table and the printed list walk the cards the same way, so a number shown in
// the list selects the same card.
#ifndef NETVANE_CATALOGUE_CATALOGUE_H
#define NETVANE_CATALOGUE_CATALOGUE_H

#include <stdint.h>

// The table starts with room for this many cards and grows when there are more.
const int32_t kAdapterTableInitialCapacity = 64;

struct AdapterTable {
  int32_t count;
  int32_t capacity;
  char** names;  // heap copies of the service names; never freed
  // Set when the table could not grow: the list then stops where the table
  // ends, so that no card is shown that its number cannot select.
  int32_t truncated;
};

extern AdapterTable adapterTable;

// Fills adapterTable from the registry; failures only make it shorter.
void loadAdapterTable();

// The service name of adapter `number` (from 1), or null when there is none.
const char* adapterServiceName(int32_t number);

// Prints "\nNetwork adapters:\n" and the numbered list. Returns 0 when the
// list of network cards could be opened, else the length of the message.
int32_t listAdapters();

#endif
