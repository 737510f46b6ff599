// Arbitrary text through the address conversion the tool checks its
// settings with. The two calls must agree: text that cannot be read gives
// 255.255.255.255, and an address that was read comes back the same from its
// own dotted form.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "platform/platform.h"

namespace {

void check(bool condition, const char* what, const std::string& text) {
  if (!condition) {
    fprintf(stderr, "address_fuzzer: %s for \"%s\"\n", what, text.c_str());
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The tool hands the conversion a C string: everything up to the first NUL.
  const std::string text(reinterpret_cast<const char*>(data), size);
  const char* c = text.c_str();
  const int readable = platformIsReadableAddress(c);
  const uint32_t address = platformInetAddr(c);
  check(readable == 0 || readable == 1, "readable is neither 0 nor 1", text);
  if (!readable) {
    check(address == 0xFFFFFFFFu, "unreadable text gave an address", text);
    return 0;
  }
  // The address is in network byte order: its bytes in memory are the parts.
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&address);
  char dotted[16];
  snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  check(platformIsReadableAddress(dotted) == 1, "the dotted form of an address is unreadable", text);
  check(platformInetAddr(dotted) == address, "the dotted form reads as another address", text);
  return 0;
}
