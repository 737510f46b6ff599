// The lines of a registry export file: reading the value lines of a key's
// section as `reg import` reads them, and writing values the way regedit
// writes them. The file is either 8-bit text or UTF-16LE; both are read in
// place, unit by unit, without converting the whole file.
#ifndef NETVANE_PLATFORM_STANDIN_REGFILE_REG_SYNTAX_H
#define NETVANE_PLATFORM_STANDIN_REGFILE_REG_SYNTAX_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "platform/standin/registry_store.h"

namespace standin {

// Unit `p` of text whose units are `w` bytes wide, for readers that are
// written once per width.
template <size_t w>
inline uint32_t unitAt(const uint8_t* bytes, size_t p) {
  return w == 1 ? bytes[p] : static_cast<uint32_t>(bytes[p] | (bytes[p + 1] << 8));
}
inline bool isBlank(uint32_t unit) { return unit == ' ' || unit == '\t'; }
inline bool isLineEnd(uint32_t unit) { return unit == '\n' || unit == '\r'; }

// The bytes of an export file seen as text units: bytes in an 8-bit file,
// little-endian 16-bit units in a UTF-16 one. Offsets are byte offsets into
// `bytes`; the text is [begin, end), after any byte-order mark and without an
// odd last byte, so every unit read between them is whole.
struct RegText {
  const uint8_t* bytes = nullptr;
  size_t begin = 0;
  size_t end = 0;
  size_t width = 1;

  bool wide() const { return width == 2; }
  uint32_t at(size_t offset) const {
    return width == 1 ? unitAt<1>(bytes, offset) : unitAt<2>(bytes, offset);
  }
};

struct ParseError {
  size_t offset = 0;  // a byte on the offending line
  std::string reason;
};

// One line: its text is [start, contentEnd); `next` is where the following
// line starts. A line ends at CR LF, LF or a lone CR, as `reg import` reads it.
struct RegLine {
  size_t start = 0;
  size_t contentEnd = 0;
  size_t next = 0;
};
RegLine lineAt(const RegText& text, size_t start, size_t limit);

// The 1-based number of the line that holds `offset`.
size_t lineNumberAt(const RegText& text, size_t offset);

// A value line of a key's section, with its continuation lines.
struct RegEntry {
  size_t start = 0;    // first byte of its first line
  size_t nameEnd = 0;  // just past its name: "name" or @
  size_t end = 0;      // just past its last line, line end included
  bool removes = false;  // "name"=- deletes the value
  std::string name;      // UTF-8; "" is the default value
  StoreValue value;
  std::vector<uint16_t> scratch;  // reused while reading
};

// Reads the body line at `start` of a section that ends at `limit`: a blank
// line or comment (then `*isEntry` is false), or a value with its
// continuation lines. Returns where the next line starts, or 0 with `error`
// set. Without `decode` only the syntax is checked and `entry` gets its
// extent alone, which is how a whole file is checked quickly.
size_t readBodyLine(const RegText& text, size_t start, size_t limit, bool decode, RegEntry* entry,
                    bool* isEntry, ParseError* error);

// Checks the body lines of a section, [start, limit), exactly as
// readBodyLine would without `decode`, and far quicker: the lines regedit
// writes are read sixteen units a step, and any other line by
// readBodyLine itself. False with `error` set on the first line that cannot
// be read.
bool checkBodyLines(const RegText& text, size_t start, size_t limit, ParseError* error);

// The name as it stands before the "=": "name" with \ and " escaped, or @.
// Names with line breaks cannot be written (`reg import` would split them).
bool canWriteValueName(const std::string& name);
std::string formatValueName(const std::string& name);

// "=" and the data as regedit writes it, with `lineEnd` between continuation
// lines: "text" for a plain string, dword:%08x, else hex lists wrapped near
// column 80. `column` counts the characters before the "=". In an 8-bit file
// the bytes of string types are 8-bit text, in a UTF-16 file UTF-16LE.
std::string formatValueData(const StoreValue& value, bool wide, size_t column,
                            const std::string& lineEnd);

// The number of characters regedit counts for UTF-8 text: its UTF-16 units.
size_t utf16Length(const std::string& text);

}  // namespace standin

#endif
