// The only header that cli/, catalogue/ and config/ include from platform/.
//
// It names just what the tool uses of the operating system: the registry under
// HKEY_LOCAL_MACHINE through its 8-bit calls, the DHCP client library reached
// at run time, the address and code-page conversions, and standard output.
// Results are the platform's own numbers, so callers compare against the
// constants below and never against a particular implementation.
#ifndef NETVANE_PLATFORM_PLATFORM_H
#define NETVANE_PLATFORM_PLATFORM_H

#include <stdint.h>

typedef int32_t PlatformResult;

const PlatformResult kResultSuccess = 0;
const PlatformResult kResultNotFound = 2;
const PlatformResult kResultAccessDenied = 5;
const PlatformResult kResultInvalidHandle = 6;
const PlatformResult kResultInvalidParameter = 87;
const PlatformResult kResultMoreData = 234;
const PlatformResult kResultNoMoreItems = 259;

const uint32_t kRegistryTypeString = 1;       // REG_SZ
const uint32_t kRegistryTypeDword = 4;        // REG_DWORD, little-endian
const uint32_t kRegistryTypeMultiString = 7;  // REG_MULTI_SZ

const uint32_t kKeyAllAccess = 0xF003F;  // KEY_ALL_ACCESS

// An open registry key; 0 is never a valid key.
typedef uintptr_t PlatformKey;

// Opens a key below HKEY_LOCAL_MACHINE. Never creates one. On Windows, the
// first refusal of a run for lack of rights (kResultAccessDenied) also puts
// one line on standard error asking for an elevated prompt; callers print
// nothing about it.
PlatformResult platformOpenKey(const char* path, uint32_t options, uint32_t access,
                               PlatformKey* key);

// Names the subkey at `index`. `nameLength` holds the capacity of `name` in
// characters, terminator included, and receives the name's length without it.
// Past the last subkey the result is kResultNoMoreItems.
PlatformResult platformEnumKey(PlatformKey key, uint32_t index, char* name,
                               uint32_t* nameLength);

// Copies a value's bytes into `data`. `size` holds the capacity of `data` and
// receives the number of bytes the value has; a buffer that is too small gives
// kResultMoreData. Strings come back in the 8-bit code page, and Windows does
// not promise that they carry a terminator.
PlatformResult platformQueryValue(PlatformKey key, const char* name, uint32_t* type,
                                  unsigned char* data, uint32_t* size);

// The same query, but a string value (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ)
// comes back as the registry keeps it, UTF-16LE, with `size` in bytes: the
// 8-bit code page cannot hold every character a text may have, nor an
// unpaired surrogate, and a reader that must show each text whole needs them.
// Other types come back as platformQueryValue gives them.
PlatformResult platformQueryValueUtf16(PlatformKey key, const char* name, uint32_t* type,
                                       unsigned char* data, uint32_t* size);

PlatformResult platformSetValue(PlatformKey key, const char* name, uint32_t type,
                                const unsigned char* data, uint32_t size);
PlatformResult platformDeleteValue(PlatformKey key, const char* name);
PlatformResult platformFlushKey(PlatformKey key);
PlatformResult platformCloseKey(PlatformKey key);

// The DHCP client library, loaded by name; 0 when it cannot be loaded.
typedef uintptr_t PlatformLibrary;
// An entry found in a library by name; 0 when there is no such entry.
typedef uintptr_t PlatformDhcpNotify;

PlatformLibrary platformLoadLibrary(const char* name);
PlatformDhcpNotify platformFindDhcpNotify(PlatformLibrary library, const char* entryName);

// Calls DhcpNotifyConfigChange with its seven arguments. Texts are UTF-16, and
// the address and mask are in network byte order. Returns the entry's result.
uint32_t platformCallDhcpNotify(PlatformDhcpNotify entry, const uint16_t* serverName,
                                const uint16_t* adapterName, int32_t isNewAddress,
                                uint32_t addressIndex, uint32_t address, uint32_t subnetMask,
                                int32_t dhcpAction);

// inet_addr: dotted text to an address in network byte order. Text it cannot
// read gives 0xFFFFFFFF, the same as "255.255.255.255".
uint32_t platformInetAddr(const char* text);

// The 8-bit text, terminator included, as UTF-16 in the system code page.
// Returns the number of units written, or 0 when it does not fit.
int platformToUtf16(const char* text, uint16_t* buffer, int capacity);

// printf to standard output; returns the number of characters written.
int platformPrint(const char* format, ...);

// For the platform's start-up, once the tool has returned `status`: flushes
// standard output. When any of it could not be written, says so in one line
// on standard error and returns that line's length instead, so that lost
// output never reads as success.
int32_t platformFinishOutput(int32_t status);

#endif
