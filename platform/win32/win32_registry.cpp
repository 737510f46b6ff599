// The registry calls of platform.h, passed straight to the 8-bit registry
// functions of Windows under HKEY_LOCAL_MACHINE.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <stdio.h>

#include "platform/platform.h"

namespace {

// Every key is opened with full access, which only an elevated prompt has.
// Without it the callers see a key they cannot open and report the adapter or
// the list of cards as missing; this line tells a person the real cause,
// while standard output and the status stay what scripts already read.
const char kElevationNeeded[] =
    "netvane: access to the registry was denied; run netvane from an elevated prompt "
    "(\"Run as administrator\")\n";

bool elevationNamed = false;

const int kValueNameSize = 260;

HKEY toHandle(PlatformKey key) { return reinterpret_cast<HKEY>(key); }

}  // namespace

PlatformResult platformOpenKey(const char* path, uint32_t options, uint32_t access,
                               PlatformKey* key) {
  HKEY opened = NULL;
  LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, options, access, &opened);
  if (result == ERROR_SUCCESS) *key = reinterpret_cast<PlatformKey>(opened);
  // One run meets several refused keys (the list of cards is opened twice, an
  // adapter has two keys that locate it); the cause is named once.
  if (result == ERROR_ACCESS_DENIED && !elevationNamed) {
    elevationNamed = true;
    fputs(kElevationNeeded, stderr);
  }
  return result;
}

PlatformResult platformEnumKey(PlatformKey key, uint32_t index, char* name,
                               uint32_t* nameLength) {
  DWORD length = *nameLength;
  FILETIME lastWrite;
  LONG result = RegEnumKeyExA(toHandle(key), index, name, &length, NULL, NULL, NULL, &lastWrite);
  *nameLength = length;
  return result;
}

PlatformResult platformQueryValue(PlatformKey key, const char* name, uint32_t* type,
                                  unsigned char* data, uint32_t* size) {
  DWORD valueType = 0;
  DWORD valueSize = size != NULL ? *size : 0;
  LONG result = RegQueryValueExA(toHandle(key), name, NULL, type != NULL ? &valueType : NULL,
                                 data, size != NULL ? &valueSize : NULL);
  if (type != NULL) *type = valueType;
  if (size != NULL) *size = valueSize;
  return result;
}

PlatformResult platformQueryValueUtf16(PlatformKey key, const char* name, uint32_t* type,
                                       unsigned char* data, uint32_t* size) {
  // Value names are the tool's own, ASCII, and short.
  WCHAR wideName[kValueNameSize];
  if (name != NULL && MultiByteToWideChar(CP_ACP, 0, name, -1, wideName, kValueNameSize) == 0) {
    return ERROR_INVALID_PARAMETER;
  }
  DWORD valueType = 0;
  DWORD valueSize = size != NULL ? *size : 0;
  LONG result = RegQueryValueExW(toHandle(key), name != NULL ? wideName : NULL, NULL,
                                 type != NULL ? &valueType : NULL, data,
                                 size != NULL ? &valueSize : NULL);
  if (type != NULL) *type = valueType;
  if (size != NULL) *size = valueSize;
  return result;
}

PlatformResult platformSetValue(PlatformKey key, const char* name, uint32_t type,
                                const unsigned char* data, uint32_t size) {
  return RegSetValueExA(toHandle(key), name, 0, type, data, size);
}

PlatformResult platformDeleteValue(PlatformKey key, const char* name) {
  return RegDeleteValueA(toHandle(key), name);
}

PlatformResult platformFlushKey(PlatformKey key) { return RegFlushKey(toHandle(key)); }

PlatformResult platformCloseKey(PlatformKey key) { return RegCloseKey(toHandle(key)); }
