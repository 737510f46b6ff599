// The address and code-page conversions of platform.h, as
// platform/win32/win32_text.cpp has them; the stand-in's code page is UTF-8.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <vector>

#include "platform/platform.h"
#include "platform/standin/standin_text.h"

namespace {

// Windows' inet_addr reads a text of one space as 0.0.0.0, where the C
// library finds no address. Otherwise both read the same forms: one to four
// parts, decimal, octal or hexadecimal, ending at the text's end or at white
// space.
bool isLoneSpace(const char* text) { return text[0] == ' ' && text[1] == '\0'; }

}  // namespace

uint32_t platformInetAddr(const char* text) { return isLoneSpace(text) ? 0 : inet_addr(text); }

int platformToUtf16(const char* text, uint16_t* buffer, int capacity) {
  std::vector<uint16_t> units;
  size_t length = 0;
  while (text[length] != '\0') ++length;
  standin::appendUtf8AsUtf16(text, length + 1, &units);
  if (capacity < 0 || units.size() > static_cast<size_t>(capacity)) return 0;
  for (size_t i = 0; i < units.size(); ++i) buffer[i] = units[i];
  return static_cast<int>(units.size());
}
