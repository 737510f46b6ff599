// The quick check of a section's lines, which a run that writes a large
// store relies on, against the line reader that decodes them.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/standin/regfile/reg_syntax.h"
#include "platform/standin/standin_text.h"

namespace {

struct Verdict {
  bool ok;
  size_t offset;
  std::string reason;
};

Verdict quickly(const standin::RegText& text) {
  standin::ParseError error;
  bool ok = standin::checkBodyLines(text, text.begin, text.end, &error);
  return Verdict{ok, ok ? 0 : error.offset, ok ? "" : error.reason};
}

Verdict lineByLine(const standin::RegText& text) {
  standin::ParseError error;
  standin::RegEntry entry;
  for (size_t p = text.begin; p < text.end;) {
    bool isEntry = false;
    p = standin::readBodyLine(text, p, text.end, false, &entry, &isEntry, &error);
    if (p == 0) return Verdict{false, error.offset, error.reason};
  }
  return Verdict{true, 0, ""};
}

// Hex lists of every length, so that the quick steps break off at every
// point of a "hh," triple, and lines that are nearly what regedit writes.
std::vector<std::string> bodies() {
  std::vector<std::string> lines = {
      "\"a\"=\"text\"", "@=\"default\"", "\"a\"=dword:0000002a", "\"a\"=dword:1", "\"a\"=hex(7):61,00,00,00",
      "\"a\"=hex:", "\"a\"=-", "; comment", "", "  \"a\"=dword:1", "\"a\" = dword:1", "\"a\"=\"text\" ; note",
      "\"a\"=\"esc\\\"aped\"", "\"a\"=\"back\\\\slash\\n\"", "\"a\\\\b\"=dword:1", "\"a\"=\"x\\\"",
      "\"a\"=\"nul\\0\"", "\"a\"=\"open", "\"a\"=dword:", "\"a\"=dword:123456789", "\"a\"=hex(123456789):00",
      "\"a\"=hex(7:00", "\"a\"=hex:012", "\"a\"=hex:01,2", "\"a\"=hex:01,", "\"a\"=hex:01 ; note", "\"a\"=hex:0g",
      "\"a\"=hex:01,\\", "\"a\"=hex:01,\\ ; note", "\"a\"=hex:01,\\x", "rubbish", "\"a\"=word:1",
      std::string("\"a\0\"=dword:1", 12), std::string("\"a\"=hex:0\0", 10),
  };
  for (size_t length = 1; length <= 40; ++length) {
    std::string hex = "\"a\"=hex:";
    for (size_t i = 0; i < length; ++i) hex += i + 1 < length ? "ab," : "cd";
    lines.push_back(hex);
    lines.push_back(hex.substr(0, hex.size() - 1));
    // Continued as regedit wraps it, and with what may or may not stand between.
    for (const char* between : {"\n  ", "\n", "\n\n  ", "\n; note\n  ", "\n\t01,", "\nxy"}) {
      lines.push_back(hex + ",\\" + between + "ef,01");
    }
  }
  std::vector<std::string> out;
  for (const char* end : {"\r\n", "\n", "\r"}) {
    for (const std::string& line : lines) {
      std::string body;
      for (char c : line + "\n") body += c == '\n' ? std::string(end) : std::string(1, c);
      out.push_back(body);
      // The same line last in the file, without its line end, and between two others.
      out.push_back(body.substr(0, body.size() - std::string(end).size()));
      out.push_back("\"x\"=dword:0" + std::string(end) + body + "\"y\"=hex:01,02" + end);
    }
  }
  return out;
}

TEST(RegSyntax, QuickCheckAgreesWithTheLineReader) {
  for (const std::string& body : bodies()) {
    // 8-bit text, and UTF-16LE (also with units beyond Latin-1 where ASCII is expected).
    const std::vector<uint8_t> wide = standin::utf8ToUtf16LE(body.data(), body.size());
    std::vector<uint8_t> beyond = wide;
    for (size_t i = 1; i < beyond.size(); i += 2) beyond[i] = beyond[i - 1] == '1' ? 0x01 : beyond[i];
    const std::vector<uint8_t>& odd = beyond;
    const std::vector<uint8_t> narrow(body.begin(), body.end());
    for (const std::vector<uint8_t>* bytes : {&narrow, &wide, &odd}) {
      standin::RegText text;
      text.bytes = bytes->data();
      text.end = bytes->size();
      text.width = bytes == &narrow ? 1 : 2;
      SCOPED_TRACE(body + " as " + std::to_string(text.width) + "-byte units");
      Verdict expected = lineByLine(text);
      Verdict got = quickly(text);
      EXPECT_EQ(got.ok, expected.ok);
      EXPECT_EQ(got.offset, expected.offset);
      EXPECT_EQ(got.reason, expected.reason);
    }
  }
}

}  // namespace
