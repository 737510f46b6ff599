// The DHCP client library, reached at run time as on every Windows NT: the
// entry is not in any import library, and a system without the DHCP client
// must still be able to start the tool.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/platform.h"

namespace {

// DhcpNotifyConfigChange as dhcpcsvc.dll exports it. WINAPI matters on
// 32-bit Windows, where the entry is stdcall and cleans its own arguments.
// The last argument is the SERVICE_ENABLE enumeration, an int in size.
typedef DWORD(WINAPI* DhcpNotifyConfigChangeEntry)(LPWSTR serverName, LPWSTR adapterName,
                                                   BOOL isNewIpAddress, DWORD ipIndex,
                                                   DWORD ipAddress, DWORD subnetMask,
                                                   int dhcpAction);

}  // namespace

PlatformLibrary platformLoadLibrary(const char* name) {
  return reinterpret_cast<PlatformLibrary>(LoadLibraryA(name));
}

PlatformDhcpNotify platformFindDhcpNotify(PlatformLibrary library, const char* entryName) {
  if (library == 0) return 0;
  // Through an integer rather than a cast between function pointer types,
  // which GCC warns about.
  return reinterpret_cast<PlatformDhcpNotify>(
      GetProcAddress(reinterpret_cast<HMODULE>(library), entryName));
}

uint32_t platformCallDhcpNotify(PlatformDhcpNotify entry, const uint16_t* serverName,
                                const uint16_t* adapterName, int32_t isNewAddress,
                                uint32_t addressIndex, uint32_t address, uint32_t subnetMask,
                                int32_t dhcpAction) {
  DhcpNotifyConfigChangeEntry notify = reinterpret_cast<DhcpNotifyConfigChangeEntry>(entry);
  // The entry takes writable pointers but only reads the texts.
  return notify(reinterpret_cast<LPWSTR>(const_cast<uint16_t*>(serverName)),
                reinterpret_cast<LPWSTR>(const_cast<uint16_t*>(adapterName)), isNewAddress,
                addressIndex, address, subnetMask, dhcpAction);
}
