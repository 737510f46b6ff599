// Arbitrary text through the check the tool gives every address and the
// conversion its DHCP request uses. Text the check accepts is read by
// inet_addr as exactly the address it spells, so what is written and what is
// applied agree; and the dotted form of anything inet_addr reads passes.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "config/config.h"
#include "platform/platform.h"

namespace {

void check(bool condition, const char* what, const std::string& text) {
  if (!condition) {
    fprintf(stderr, "address_fuzzer: %s for \"%s\"\n", what, text.c_str());
    abort();
  }
}

// The address in network byte order as a.b.c.d: its bytes in memory are the parts.
std::string dottedForm(uint32_t address) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&address);
  char dotted[16];
  snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return dotted;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The tool hands both a C string: everything up to the first NUL.
  const std::string text(reinterpret_cast<const char*>(data), size);
  const char* c = text.c_str();
  const int accepted = isDottedQuad(c);
  check(accepted == 0 || accepted == 1, "the check is neither 0 nor 1", text);
  const std::string dotted = dottedForm(platformInetAddr(c));
  if (accepted) {
    check(dotted == c, "an accepted text reads as another address", text);
  }
  check(isDottedQuad(dotted.c_str()) == 1, "a dotted form is refused", text);
  return 0;
}
