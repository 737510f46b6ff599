// Address and code-page conversions as Windows offers them.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>

#include <ctype.h>

#include "platform/platform.h"

// The parser that Windows' own inet_addr is built on. Older MinGW headers do
// not declare it (ip2string.h), so it is declared here; ntdll exports it on
// every Windows since Vista and under Wine.
extern "C" __declspec(dllimport) LONG NTAPI RtlIpv4StringToAddressA(const char* text,
                                                                    BOOLEAN strict,
                                                                    const char** terminator,
                                                                    struct in_addr* address);

uint32_t platformInetAddr(const char* text) { return inet_addr(text); }

// inet_addr answers INADDR_NONE both for text it cannot read and for every
// spelling of 255.255.255.255 ("0xffffffff", "4294967295", ...). Anything
// else it returns is readable by definition; only INADDR_NONE needs a second
// opinion, from the same forgiving parser, which tells the two apart.
int platformIsReadableAddress(const char* text) {
  if (inet_addr(text) != INADDR_NONE) return 1;
  const char* terminator = NULL;
  struct in_addr address;
  if (RtlIpv4StringToAddressA(text, FALSE, &terminator, &address) != 0) return 0;
  // inet_addr stops at white space as well as at the end of the text.
  if (*terminator != '\0' && !isspace(static_cast<unsigned char>(*terminator))) return 0;
  return address.s_addr == INADDR_NONE;
}

int platformToUtf16(const char* text, uint16_t* buffer, int capacity) {
  return MultiByteToWideChar(CP_ACP, 0, text, -1, reinterpret_cast<LPWSTR>(buffer), capacity);
}
