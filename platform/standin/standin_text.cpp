#include "platform/standin/standin_text.h"

namespace standin {

namespace {

const uint32_t kReplacement = 0xFFFD;

void appendCodePoint(uint32_t c, std::vector<uint16_t>* out) {
  if (c >= 0x10000) {
    c -= 0x10000;
    out->push_back(static_cast<uint16_t>(0xD800 + (c >> 10)));
    out->push_back(static_cast<uint16_t>(0xDC00 + (c & 0x3FF)));
  } else {
    out->push_back(static_cast<uint16_t>(c));
  }
}

void appendUtf8(uint32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

void appendUtf8AsUtf16(const char* text, size_t size, std::vector<uint16_t>* out) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < size) {
    unsigned char lead = s[i];
    if (lead < 0x80) {
      out->push_back(lead);
      ++i;
      continue;
    }
    size_t length = 0;
    uint32_t c = 0;
    uint32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, c = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, c = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, c = lead & 0x07, minimum = 0x10000;
    }
    size_t k = 1;
    while (length != 0 && k < length && i + k < size && (s[i + k] & 0xC0) == 0x80) {
      c = (c << 6) | (s[i + k] & 0x3F);
      ++k;
    }
    if (length == 0 || k != length || c < minimum || c > 0x10FFFF ||
        (c >= 0xD800 && c <= 0xDFFF)) {
      out->push_back(kReplacement);
      ++i;
      continue;
    }
    appendCodePoint(c, out);
    i += length;
  }
}

std::string utf16ToUtf8(const uint16_t* units, size_t count) {
  std::string out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    uint32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    appendUtf8(c, &out);
  }
  return out;
}

std::vector<uint8_t> utf8ToUtf16LE(const char* text, size_t size) {
  std::vector<uint16_t> units;
  units.reserve(size);
  appendUtf8AsUtf16(text, size, &units);
  std::vector<uint8_t> bytes;
  bytes.reserve(units.size() * 2);
  for (uint16_t unit : units) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return bytes;
}

std::string utf16LEToUtf8(const uint8_t* bytes, size_t size) {
  std::vector<uint16_t> units(size / 2);
  for (size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return utf16ToUtf8(units.data(), units.size());
}

}  // namespace standin
