#include "platform/standin/regfile/reg_syntax.h"

#include <stdio.h>
#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/standin/standin_text.h"

namespace standin {

namespace {

// regedit breaks a hex list once a line reaches this many characters.
const size_t kHexWrapColumn = 77;

int hexDigit(uint32_t unit) {
  if (unit >= '0' && unit <= '9') return static_cast<int>(unit - '0');
  if (unit >= 'a' && unit <= 'f') return static_cast<int>(unit - 'a' + 10);
  if (unit >= 'A' && unit <= 'F') return static_cast<int>(unit - 'A' + 10);
  return -1;
}

// Reading one line of text, with the position kept as a byte offset.
struct Scanner {
  const RegText& text;
  size_t pos;
  size_t end;

  bool done() const { return pos >= end; }
  uint32_t peek() const { return pos < end ? text.at(pos) : 0; }
  void advance() { pos += text.width; }
  void skipBlanks() {
    while (pos < end && isBlank(text.at(pos))) pos += text.width;
  }
  // Whether the rest of the line is blank or a comment.
  bool atLineEnd() {
    skipBlanks();
    return done() || peek() == ';';
  }
  bool startsWith(const char* word) const {
    size_t p = pos;
    for (; *word != '\0'; ++word, p += text.width) {
      if (p >= end || text.at(p) != static_cast<unsigned char>(*word)) return false;
    }
    return true;
  }
  void skip(const char* word) { pos += strlen(word) * text.width; }
};

bool fail(ParseError* error, size_t offset, const char* reason) {
  error->offset = offset;
  error->reason = reason;
  return false;
}

// A quoted name or string after its opening quote, unescaped the way
// `reg import` does: \\ \" \n \r, and any other escaped character stands for
// itself. Leaves the scanner past the closing quote.
bool readQuoted(Scanner* s, std::vector<uint16_t>* units, ParseError* error, const char* what) {
  if (units != nullptr) units->clear();
  size_t lineStart = s->pos;
  while (!s->done()) {
    uint32_t unit = s->peek();
    s->advance();
    if (unit == '"') return true;
    if (unit == '\\') {
      if (s->done()) break;
      unit = s->peek();
      s->advance();
      if (unit == 'n') unit = '\n';
      if (unit == 'r') unit = '\r';
      if (unit == '0') return fail(error, lineStart, "\\0 cannot stand in a name or string");
    }
    if (unit == 0) return fail(error, lineStart, "NUL character in a quoted name or string");
    if (units != nullptr) units->push_back(static_cast<uint16_t>(unit));
  }
  return fail(error, lineStart, what);
}

std::string unitsAsUtf8(const std::vector<uint16_t>& units, bool wide) {
  if (wide) return utf16ToUtf8(units.data(), units.size());
  // In an 8-bit file the units are the code page's bytes, passed on unchanged.
  return std::string(units.begin(), units.end());
}

void appendUnitsAsUtf16LE(const std::vector<uint16_t>& units, bool wide, std::vector<uint8_t>* out) {
  if (wide) {
    for (uint16_t unit : units) {
      out->push_back(static_cast<uint8_t>(unit & 0xFF));
      out->push_back(static_cast<uint8_t>(unit >> 8));
    }
    return;
  }
  std::string bytes(units.begin(), units.end());
  std::vector<uint8_t> converted = utf8ToUtf16LE(bytes.data(), bytes.size());
  out->insert(out->end(), converted.begin(), converted.end());
}

// The value of each hex digit, -1 for other bytes.
struct HexDigits {
  int8_t value[256];
  HexDigits() {
    for (int c = 0; c < 256; ++c) value[c] = static_cast<int8_t>(hexDigit(static_cast<uint32_t>(c)));
  }
};
const HexDigits kHexDigits;

// Reads the "hh," runs that make up nearly all of an export, from `p` up to
// the first text of another form, which the general reading below takes.
template <size_t w>
size_t readHexRunOf(const uint8_t* b, size_t p, size_t end, std::vector<uint8_t>* bytes) {
  for (; p + 3 * w <= end; p += 3 * w) {
    if (w == 2 && (b[p + 1] | b[p + 3] | b[p + 5]) != 0) break;
    if (b[p + 2 * w] != ',') break;
    int high = kHexDigits.value[b[p]];
    int low = kHexDigits.value[b[p + w]];
    if ((high | low) < 0) break;
    if (bytes != nullptr) bytes->push_back(static_cast<uint8_t>(high * 16 + low));
  }
  return p;
}

size_t readHexRun(const RegText& text, size_t p, size_t end, std::vector<uint8_t>* bytes) {
  return text.width == 1 ? readHexRunOf<1>(text.bytes, p, end, bytes) : readHexRunOf<2>(text.bytes, p, end, bytes);
}

// The comma-separated bytes of hex: and hex(N):, over as many lines as
// backslashes continue it. Blank lines and comments may stand between the
// continued lines, as `reg import` allows.
bool readHexList(const RegText& text, Scanner* s, size_t limit, RegLine* line,
                 std::vector<uint8_t>* bytes, ParseError* error) {
  for (;;) {
    bool continued = false;
    for (;;) {
      s->pos = readHexRun(text, s->pos, s->end, bytes);
      s->skipBlanks();
      if (s->done() || s->peek() == ';') break;
      if (s->peek() == '\\') {
        s->advance();
        if (!s->atLineEnd()) return fail(error, line->start, "text after the backslash that continues hex data");
        continued = true;
        break;
      }
      int high = hexDigit(s->peek());
      if (high < 0) return fail(error, line->start, "malformed hex data");
      s->advance();
      int low = hexDigit(s->peek());
      int value = high;
      if (low >= 0) {
        value = high * 16 + low;
        s->advance();
        if (hexDigit(s->peek()) >= 0) return fail(error, line->start, "malformed hex data: more than two digits in a byte");
      }
      if (bytes != nullptr) bytes->push_back(static_cast<uint8_t>(value));
      s->skipBlanks();
      if (s->done() || s->peek() == ';') break;
      if (s->peek() != ',') return fail(error, line->start, "malformed hex data");
      s->advance();
    }
    if (!continued) return true;
    // The data goes on after blank lines and comments; anything else breaks it.
    for (;;) {
      if (line->next >= limit) {
        return fail(error, line->start,
                    limit >= text.end ? "hex data breaks off at the end of the file"
                                      : "hex data breaks off before the next [key]");
      }
      *line = lineAt(text, line->next, limit);
      s->pos = line->start;
      s->end = line->contentEnd;
      if (s->atLineEnd()) continue;
      if (hexDigit(s->peek()) < 0) return fail(error, line->start, "hex data continues with text that is not hex");
      break;
    }
  }
}

bool readData(const RegText& text, Scanner* s, size_t limit, RegLine* line, bool decode, RegEntry* entry,
              ParseError* error) {
  std::vector<uint8_t>& data = entry->value.data;
  std::vector<uint16_t>* units = decode ? &entry->scratch : nullptr;
  if (s->peek() == '-') {
    s->advance();
    if (!s->atLineEnd()) return fail(error, line->start, "text after =-");
    entry->removes = true;
    return true;
  }
  if (s->peek() == '"') {
    s->advance();
    if (!readQuoted(s, units, error, "string lacks its closing quote")) return false;
    if (!s->atLineEnd()) return fail(error, line->start, "text after the closing quote of a string");
    entry->value.type = kRegistryTypeString;
    if (decode) {
      appendUnitsAsUtf16LE(*units, text.wide(), &data);
      data.push_back(0);
      data.push_back(0);
    }
    return true;
  }
  if (s->startsWith("dword:")) {
    s->skip("dword:");
    s->skipBlanks();
    uint32_t value = 0;
    int digits = 0;
    for (int digit; (digit = hexDigit(s->peek())) >= 0; s->advance(), ++digits) {
      value = (value << 4) | static_cast<uint32_t>(digit);
    }
    if (digits == 0 || digits > 8) return fail(error, line->start, "dword: needs one to eight hex digits");
    if (!s->atLineEnd()) return fail(error, line->start, "text after dword data");
    entry->value.type = kRegistryTypeDword;
    for (int i = 0; decode && i < 4; ++i) data.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return true;
  }
  if (s->startsWith("hex:")) {
    s->skip("hex:");
    entry->value.type = kRegistryTypeBinary;
  } else if (s->startsWith("hex(")) {
    s->skip("hex(");
    uint32_t type = 0;
    int digits = 0;
    for (int digit; (digit = hexDigit(s->peek())) >= 0; s->advance(), ++digits) {
      type = (type << 4) | static_cast<uint32_t>(digit);
    }
    if (digits == 0 || digits > 8 || !s->startsWith("):")) {
      return fail(error, line->start, "malformed hex(type): the type is one to eight hex digits");
    }
    s->skip("):");
    entry->value.type = type;
  } else {
    return fail(error, line->start, "unknown value type: expected \"string\", dword:, hex: or hex(type):");
  }
  if (!readHexList(text, s, limit, line, decode ? &data : nullptr, error)) return false;
  if (decode && isStringType(entry->value.type) && !text.wide()) {
    // An 8-bit file holds the code page's bytes; Windows keeps UTF-16.
    std::vector<uint8_t> converted =
        utf8ToUtf16LE(reinterpret_cast<const char*>(data.data()), data.size());
    data.swap(converted);
  }
  return true;
}

void appendHex(const uint8_t* bytes, size_t size, size_t column, const std::string& lineEnd,
               std::string* out) {
  char digits[4];
  for (size_t i = 0; i < size; ++i) {
    snprintf(digits, sizeof digits, "%02x", bytes[i]);
    out->append(digits);
    if (i + 1 == size) break;
    out->push_back(',');
    column += 3;
    if (column >= kHexWrapColumn) {
      out->append("\\");
      out->append(lineEnd);
      out->append("  ");
      column = 2;
    }
  }
}

std::string escapeText(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 2);
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

// Whether `"text"` can hold the string exactly: one terminator, at the end,
// no line breaks (a .reg line cannot hold them), and nothing that UTF-8 text
// would change (an unpaired surrogate).
bool isPlainString(const std::vector<uint8_t>& data) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  size_t count = data.size() / 2;
  for (size_t i = 0; i < count; ++i) {
    uint16_t unit = static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    if (unit == 0) return i + 1 == count;
    if (unit == '\r' || unit == '\n') return false;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      uint16_t low = i + 1 < count ? static_cast<uint16_t>(data[2 * i + 2] | (data[2 * i + 3] << 8)) : 0;
      if (low < 0xDC00 || low > 0xDFFF) return false;
      ++i;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return false;
    }
  }
  return false;
}

// The quick reading of lines as regedit writes them, one template per unit
// width. Each step either accepts what readBodyLine would accept, with the
// same end, or gives up (npos) and leaves the line to readBodyLine.
template <size_t w>
struct QuickLines {
  const uint8_t* b;
  size_t limit;  // the section's end
  size_t end;    // the text's end, up to which whole steps may be loaded

  static const size_t kGiveUp = ~size_t(0);

  uint32_t at(size_t p) const { return unitAt<w>(b, p); }
  bool lineEndAt(size_t p) const { return p >= limit || isLineEnd(at(p)); }
  bool hexAt(size_t p) const { return p < limit && hexDigit(at(p)) >= 0; }
  // Where the line that ends at `p` (a line end, or the limit) is followed by the next one.
  size_t after(size_t p) const {
    if (p >= limit) return limit;
    bool cr = at(p) == '\r';
    p += w;
    if (cr && p < limit && at(p) == '\n') p += w;
    return p;
  }

#if defined(__SSE2__)
  // Sixteen units from `p` as bytes: a unit above 0xFF becomes 0xFF, which
  // is no character that these steps accept.
  __m128i load(size_t p) const {
    if (w == 1) return _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + p));
    return _mm_packus_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + p)),
                            _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + p + 16)));
  }
  static unsigned mask(__m128i bytes) { return static_cast<unsigned>(_mm_movemask_epi8(bytes)); }
  static unsigned hexMask(__m128i v) {
    __m128i digit = _mm_sub_epi8(v, _mm_set1_epi8('0'));
    __m128i letter = _mm_sub_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
    __m128i isDigit = _mm_cmpeq_epi8(_mm_min_epu8(digit, _mm_set1_epi8(9)), digit);
    __m128i isLetter = _mm_cmpeq_epi8(_mm_min_epu8(letter, _mm_set1_epi8(5)), letter);
    return mask(_mm_or_si128(isDigit, isLetter));
  }
#endif

  // Past the "hh," of a hex list from `p`, stopping at anything else.
  size_t hexRun(size_t p) const {
#if defined(__SSE2__)
    // The commas of sixteen units that start i units into a "hh," triple.
    static const unsigned kCommas[3] = {0x4924, 0x2492, 0x9249};
    for (unsigned phase = 0; p + 16 * w <= end; p += 16 * w, phase = (phase + 1) % 3) {
      __m128i v = load(p);
      unsigned commas = mask(_mm_cmpeq_epi8(v, _mm_set1_epi8(',')));
      if (commas != kCommas[phase] || hexMask(v) != (~commas & 0xFFFF)) {
        p -= phase * w;  // back to the start of the triple the step broke into
        break;
      }
    }
#endif
    while (p + 3 * w <= limit && at(p + 2 * w) == ',' && hexDigit(at(p)) >= 0 && hexDigit(at(p + w)) >= 0) p += 3 * w;
    return p;
  }

  // The first quote, backslash, NUL or line end from `p`, or the limit.
  size_t nextStop(size_t p) const {
#if defined(__SSE2__)
    for (; p + 16 * w <= end; p += 16 * w) {
      unsigned stops = 0;
      if (w == 1) {
        __m128i v = load(p);
        auto is = [v](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
        stops = mask(_mm_or_si128(_mm_or_si128(is('"'), is('\\')), _mm_or_si128(_mm_or_si128(is('\n'), is('\r')), is(0))));
      } else {
        // Units compared whole, then packed to a byte each.
        auto any = [](__m128i x) {
          auto is = [x](char c) { return _mm_cmpeq_epi16(x, _mm_set1_epi16(c)); };
          return _mm_or_si128(_mm_or_si128(is('"'), is('\\')), _mm_or_si128(_mm_or_si128(is('\n'), is('\r')), is(0)));
        };
        stops = mask(_mm_packs_epi16(any(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + p))),
                                     any(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + p + 16)))));
      }
      if (stops != 0) return std::min(limit, p + static_cast<size_t>(__builtin_ctz(stops)) * w);
    }
#endif
    for (; p < limit; p += w) {
      uint32_t unit = at(p);
      if (unit == '"' || unit == '\\' || unit == 0 || unit == '\n' || unit == '\r') return p;
    }
    return limit;
  }

  // Past a quoted name or string from `p` (just after its opening quote),
  // when it holds no NUL, no line end and no escape but those that stand
  // for a character.
  size_t quoted(size_t p) const {
    for (;;) {
      p = nextStop(p);
      if (p >= limit) return kGiveUp;
      uint32_t unit = at(p);
      if (unit == '"') return p + w;
      if (unit != '\\' || p + w >= limit) return kGiveUp;
      uint32_t escaped = at(p + w);
      if (escaped == '0' || escaped == 0 || escaped == '\n' || escaped == '\r') return kGiveUp;
      p += 2 * w;
    }
  }

  // Past a hex list from `p`, over the lines that continue it, to the start
  // of the line after it.
  size_t hexList(size_t p) const {
    for (;;) {
      p = hexRun(p);
      if (lineEndAt(p)) return after(p);
      if (at(p) == '\\') {
        if (!lineEndAt(p + w) || p + w >= limit) return kGiveUp;
        p = after(p + w);
        while (p < limit && isBlank(at(p))) p += w;
        if (!hexAt(p)) return kGiveUp;
        continue;
      }
      // The last byte, of one digit or two.
      if (!hexAt(p)) return kGiveUp;
      p += hexAt(p + w) ? 2 * w : w;
      return lineEndAt(p) ? after(p) : kGiveUp;
    }
  }

  bool startsWith(size_t p, const char* word) const {
    for (; *word != '\0'; ++word, p += w) {
      if (p >= limit || at(p) != static_cast<unsigned char>(*word)) return false;
    }
    return true;
  }

  // Where the line after the blank line, comment or value line at `p` starts.
  size_t line(size_t p) const {
    if (at(p) == ';') {
      while (!lineEndAt(p)) p += w;
    }
    if (lineEndAt(p)) return after(p);
    if (at(p) == '@') {
      p += w;
    } else if (at(p) == '"') {
      p = quoted(p + w);
      if (p == kGiveUp) return kGiveUp;
    } else {
      return kGiveUp;
    }
    if (p >= limit || at(p) != '=') return kGiveUp;
    p += w;
    if (p >= limit) return kGiveUp;
    if (at(p) == '"') {
      p = quoted(p + w);
      return p != kGiveUp && lineEndAt(p) ? after(p) : kGiveUp;
    }
    if (startsWith(p, "hex:")) return hexList(p + 4 * w);
    if (startsWith(p, "dword:")) {
      p += 6 * w;
      size_t digits = 0;
      for (; hexAt(p) && digits <= 8; p += w) ++digits;
      return digits >= 1 && digits <= 8 && lineEndAt(p) ? after(p) : kGiveUp;
    }
    if (startsWith(p, "hex(")) {
      p += 4 * w;
      size_t digits = 0;
      for (; hexAt(p) && digits <= 8; p += w) ++digits;
      if (digits < 1 || digits > 8 || !startsWith(p, "):")) return kGiveUp;
      return hexList(p + 2 * w);
    }
    return kGiveUp;
  }
};

template <size_t w>
bool checkBodyLinesOf(const RegText& text, size_t start, size_t limit, ParseError* error) {
  QuickLines<w> quick{text.bytes, limit, text.end};
  RegEntry entry;
  for (size_t p = start; p < limit;) {
    size_t next = quick.line(p);
    if (next == QuickLines<w>::kGiveUp) {
      bool isEntry = false;
      next = readBodyLine(text, p, limit, false, &entry, &isEntry, error);
      if (next == 0) return false;
    }
    p = next;
  }
  return true;
}

}  // namespace

bool checkBodyLines(const RegText& text, size_t start, size_t limit, ParseError* error) {
  return text.wide() ? checkBodyLinesOf<2>(text, start, limit, error) : checkBodyLinesOf<1>(text, start, limit, error);
}

RegLine lineAt(const RegText& text, size_t start, size_t limit) {
  RegLine line;
  line.start = start;
  size_t p = start;
  if (text.width == 1) {
    const void* lf = memchr(text.bytes + start, '\n', limit - start);
    p = lf == nullptr ? limit : static_cast<size_t>(static_cast<const uint8_t*>(lf) - text.bytes);
    const void* cr = memchr(text.bytes + start, '\r', p - start);
    if (cr != nullptr) p = static_cast<size_t>(static_cast<const uint8_t*>(cr) - text.bytes);
  } else {
    while (p < limit) {
      uint32_t unit = text.at(p);
      if (unit == '\n' || unit == '\r') break;
      p += 2;
    }
  }
  line.contentEnd = p;
  if (p >= limit) {
    line.next = limit;
    return line;
  }
  bool cr = text.at(p) == '\r';
  p += text.width;
  if (cr && p < limit && text.at(p) == '\n') p += text.width;
  line.next = p;
  return line;
}

size_t lineNumberAt(const RegText& text, size_t offset) {
  size_t number = 1;
  size_t p = text.begin;
  while (p < offset && p < text.end) {
    RegLine line = lineAt(text, p, text.end);
    if (line.next > offset || line.next <= line.contentEnd) break;
    ++number;
    p = line.next;
  }
  return number;
}

size_t readBodyLine(const RegText& text, size_t start, size_t limit, bool decode, RegEntry* entry,
                    bool* isEntry, ParseError* error) {
  RegLine line = lineAt(text, start, limit);
  Scanner s{text, line.start, line.contentEnd};
  *isEntry = false;
  s.skipBlanks();
  if (s.done() || s.peek() == ';') return line.next;
  uint32_t first = s.peek();
  if (first != '"' && first != '@') {
    fail(error, line.start,
         first == 0 ? "NUL character where a value line should start"
                    : "expected a value line (\"name\"=... or @=...), a [key] line or a comment");
    return 0;
  }
  entry->start = line.start;
  entry->removes = false;
  entry->value.type = 0;
  entry->value.data.clear();
  s.advance();
  if (first == '@') {
    entry->name.clear();
  } else {
    std::vector<uint16_t>* units = decode ? &entry->scratch : nullptr;
    if (!readQuoted(&s, units, error, "value name lacks its closing quote")) return 0;
    if (decode) entry->name = unitsAsUtf8(*units, text.wide());
  }
  entry->nameEnd = s.pos;
  s.skipBlanks();
  if (s.peek() != '=') {
    fail(error, line.start, "expected = after the value name");
    return 0;
  }
  s.advance();
  s.skipBlanks();
  if (!readData(text, &s, limit, &line, decode, entry, error)) return 0;
  entry->end = line.next;
  *isEntry = true;
  return line.next;
}

bool canWriteValueName(const std::string& name) {
  return name.find_first_of("\r\n", 0, 2) == std::string::npos && name.find('\0') == std::string::npos;
}

std::string formatValueName(const std::string& name) {
  if (name.empty()) return "@";
  return "\"" + escapeText(name) + "\"";
}

size_t utf16Length(const std::string& text) {
  size_t count = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++count;
    if (c >= 0xF0) ++count;  // a surrogate pair
  }
  return count;
}

std::string formatValueData(const StoreValue& value, bool wide, size_t column,
                            const std::string& lineEnd) {
  std::string out = "=";
  column += 1;
  const std::vector<uint8_t>& data = value.data;
  if (value.type == kRegistryTypeString && isPlainString(data)) {
    std::string text = utf16LEToUtf8(data.data(), data.size() - 2);
    return out + "\"" + escapeText(text) + "\"";
  }
  if (value.type == kRegistryTypeDword && data.size() == 4) {
    char dword[16];
    uint32_t number = static_cast<uint32_t>(data[0]) | (static_cast<uint32_t>(data[1]) << 8) |
                      (static_cast<uint32_t>(data[2]) << 16) | (static_cast<uint32_t>(data[3]) << 24);
    snprintf(dword, sizeof dword, "dword:%08x", number);
    return out + dword;
  }
  char tag[24];
  if (value.type == kRegistryTypeBinary) {
    snprintf(tag, sizeof tag, "hex:");
  } else {
    snprintf(tag, sizeof tag, "hex(%x):", value.type);
  }
  out.append(tag);
  column += strlen(tag);
  if (isStringType(value.type) && !wide) {
    std::string bytes = utf16LEToUtf8(data.data(), data.size());
    appendHex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), column, lineEnd, &out);
  } else {
    appendHex(data.data(), data.size(), column, lineEnd, &out);
  }
  return out;
}

}  // namespace standin
