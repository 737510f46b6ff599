// Address and code-page conversions as Windows offers them.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// MSVC flags inet_addr as deprecated in favour of inet_pton; the address
// the DHCP client is handed is the one Windows' own inet_addr reads.
#ifndef _WINSOCK_DEPRECATED_NO_WARNINGS
#define _WINSOCK_DEPRECATED_NO_WARNINGS
#endif
#include <winsock2.h>
#include <windows.h>

#include <stdint.h>

#include "platform/platform.h"

uint32_t platformInetAddr(const char* text) { return inet_addr(text); }

int platformToUtf16(const char* text, uint16_t* buffer, int capacity) {
  return MultiByteToWideChar(CP_ACP, 0, text, -1, reinterpret_cast<LPWSTR>(buffer), capacity);
}
