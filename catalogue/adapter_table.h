// The adapter table that loadAdapterTable() fills: the catalogue's own, and
// read by tests, which also run the tool many times in one process.
#ifndef NETVANE_CATALOGUE_ADAPTER_TABLE_H
#define NETVANE_CATALOGUE_ADAPTER_TABLE_H

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

// Frees the table's copies and empties it, as a new process finds it. Only
// tests and fuzzers call it: a run of the tool keeps its table until the
// process ends.
void resetAdapterTable();

#endif
