// A file mapped into memory that another program cuts short makes reading the
// lost pages raise SIGBUS. Under the guard such pages read as zeros instead,
// and mappedFileShrank() says that it happened, so that the store reports a
// changed file where the run would otherwise die.
#ifndef NETVANE_PLATFORM_STANDIN_FILES_MAPPING_GUARD_H
#define NETVANE_PLATFORM_STANDIN_FILES_MAPPING_GUARD_H

#include <stddef.h>

namespace standin {

// Installs the guard for every mapping of the process, once; a mapping it
// was not told of loses its pages one by one.
void installMappingGuard();
// Installs the guard and names the mapping at `start` of `size` bytes, whose
// remaining pages then all read as zeros at once.
void guardMappedFile(const void* start, size_t size);
// Before the mapping at `start` is unmapped.
void unguardMappedFile(const void* start);
bool mappedFileShrank();

}  // namespace standin

#endif
