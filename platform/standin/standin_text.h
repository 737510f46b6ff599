// Text conversions of the stand-in, whose 8-bit code page is UTF-8.
#ifndef NETVANE_PLATFORM_STANDIN_STANDIN_TEXT_H
#define NETVANE_PLATFORM_STANDIN_STANDIN_TEXT_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace standin {

// Appends the UTF-16LE form of `size` bytes of UTF-8. Like Windows without
// MB_ERR_INVALID_CHARS, every byte that starts no valid sequence becomes U+FFFD;
// NUL bytes are kept, so multi-strings convert whole.
void appendUtf8AsUtf16(const char* text, size_t size, std::vector<uint16_t>* out);

// The UTF-8 form of `count` UTF-16 units; unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(const uint16_t* units, size_t count);

// The same over little-endian bytes; an odd last byte is dropped, as Windows does.
std::vector<uint8_t> utf8ToUtf16LE(const char* text, size_t size);
std::string utf16LEToUtf8(const uint8_t* bytes, size_t size);

}  // namespace standin

#endif
