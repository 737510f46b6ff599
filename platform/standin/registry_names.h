// Case folding of registry names, shared by the comparison of names and by
// the registry export store's index, which must agree with it.
#ifndef NETVANE_PLATFORM_STANDIN_REGISTRY_NAMES_H
#define NETVANE_PLATFORM_STANDIN_REGISTRY_NAMES_H

#include <stdint.h>

namespace standin {

// The upper-case form of one UTF-16 unit, the way Windows folds names before
// it compares them. ASCII stays ASCII and nothing else becomes ASCII.
uint16_t upcaseRegistryUnit(uint16_t unit);

}  // namespace standin

#endif
