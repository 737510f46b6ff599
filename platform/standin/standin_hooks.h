// The hooks that tests and fuzzers use to reach failures a real registry and
// DHCP client can produce, and to see what a run asked of them.
#ifndef NETVANE_PLATFORM_STANDIN_STANDIN_HOOKS_H
#define NETVANE_PLATFORM_STANDIN_STANDIN_HOOKS_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/standin/registry_store.h"

namespace standin {

// standin_run.cpp

// Black-box tests change a store under a run at a known moment: a run with
// NETVANE_TEST_STOP set to `moment` stops itself there, the first time it
// gets there, until it is sent SIGCONT. "mapped": a .reg store's file is
// mapped, not yet read; "opened": the store is open, not locked, and the run
// has not begun; "locked": the run has taken the store's lock at its first
// change, found the store as it read it, and is about to make that change;
// "group N": the Nth group of a disk image's writes (volume_window.h) has
// reached the image.
void stopForTest(const char* moment);

// standin_registry.cpp

// Uses `store` for the run instead of beginRun's, for tests and fuzzing;
// such a run keeps its registry calls for registryCallLog.
void beginRunWithStore(std::unique_ptr<RegistryStore> store);

// Faults a real registry can produce and a store file cannot: the next calls
// of `operation` ("open", "enum", "query", "set", "delete") on a key path or
// value name that matches `name` case-insensitively fail with `result`.
void injectRegistryFault(const std::string& operation, const std::string& name,
                         PlatformResult result);
void clearRegistryFaults();

// Every registry call of a run begun with a store, one line each, e.g. "open SYSTEM\...",
// "set IPAddress", "flush SYSTEM\...", "close SYSTEM\...".
const std::vector<std::string>& registryCallLog();

// standin_dhcp.cpp

// One DhcpNotifyConfigChange call as the stand-in client received it.
struct DhcpCall {
  bool serverNameIsNull = false;
  std::vector<uint16_t> adapterName;  // terminator not included
  int32_t isNewAddress = 0;
  uint32_t addressIndex = 0;
  uint32_t address = 0;  // network byte order, as received
  uint32_t subnetMask = 0;
  int32_t dhcpAction = 0;
  uint32_t result = 0;
};

// What the DHCP client library looks like to the run. Black-box tests set the
// same through NETVANE_DHCP_LIBRARY ("absent" or "no-entry"), and force the
// client's answer with NETVANE_DHCP_RESULT (a decimal result).
enum class DhcpLibrary { kPresent, kAbsent, kNoEntry };
void setDhcpLibrary(DhcpLibrary library);
const std::vector<DhcpCall>& dhcpCalls();
void clearDhcpCalls();
// The line NETVANE_DHCP_RECORD receives for a call: the seven arguments, the
// adapter name as UTF-16 units in hex and the addresses as their bytes in
// memory order, e.g. "server=NULL adapter=00650074 new=1 index=0
// address=192.168.0.5 mask=255.255.255.0 action=0".
std::string describeDhcpCall(const DhcpCall& call);

}  // namespace standin

#endif
