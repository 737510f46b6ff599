// Address and code-page conversions as Windows offers them.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// MSVC flags inet_addr as deprecated in favour of inet_pton, which cannot
// read the forms inet_addr reads ("10.1", hexadecimal parts).
#ifndef _WINSOCK_DEPRECATED_NO_WARNINGS
#define _WINSOCK_DEPRECATED_NO_WARNINGS
#endif
#include <winsock2.h>
#include <windows.h>

#include <ctype.h>
#include <stdint.h>
#include <string.h>

#include "platform/platform.h"

namespace {

// RtlIpv4StringToAddressA: the forgiving parser that Windows' own inet_addr
// is built on, in ntdll since Vista. It is found at run time, so that an
// older NT system, which lacks it, can still start the tool.
typedef LONG(NTAPI* Ipv4StringToAddress)(const char* text, BOOLEAN strict,
                                         const char** terminator, struct in_addr* address);

const char kAllOnes[] = "255.255.255.255";

bool endsAddress(char c) { return c == '\0' || isspace(static_cast<unsigned char>(c)); }

// Whether the text spells 255.255.255.255 in any of the forms inet_addr
// reads ("0xffffffff", "4294967295", ...). Without the parser, only the
// dotted form counts.
bool readsAsAllOnes(const char* text) {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  FARPROC found = ntdll != NULL ? GetProcAddress(ntdll, "RtlIpv4StringToAddressA") : NULL;
  if (found == NULL) {
    size_t length = sizeof kAllOnes - 1;
    return strncmp(text, kAllOnes, length) == 0 && endsAddress(text[length]);
  }
  // Through an integer rather than a cast between function pointer types,
  // which GCC warns about.
  Ipv4StringToAddress parse =
      reinterpret_cast<Ipv4StringToAddress>(reinterpret_cast<uintptr_t>(found));
  const char* terminator = NULL;
  struct in_addr address;
  if (parse(text, FALSE, &terminator, &address) != 0) return false;
  // inet_addr stops at white space as well as at the end of the text.
  return endsAddress(*terminator) && address.s_addr == INADDR_NONE;
}

}  // namespace

uint32_t platformInetAddr(const char* text) { return inet_addr(text); }

// inet_addr answers INADDR_NONE both for text it cannot read and for every
// spelling of 255.255.255.255. Anything else it returns is readable by
// definition; only INADDR_NONE needs a second opinion.
int platformIsReadableAddress(const char* text) {
  return inet_addr(text) != INADDR_NONE || readsAsAllOnes(text);
}

int platformToUtf16(const char* text, uint16_t* buffer, int capacity) {
  return MultiByteToWideChar(CP_ACP, 0, text, -1, reinterpret_cast<LPWSTR>(buffer), capacity);
}
