// The key sections of a registry export file. Opening a file finds and
// checks every [key] line in one pass that reads each byte once and keeps
// nothing but where the line and its key path lie. What a run asks about a
// key (its sections, whether it exists, its subkeys) is answered from the
// sections of the subtree around it, which one more pass over the [key]
// lines picks out when the run first reaches that subtree. A run reaches a
// few subtrees, so the shape of the rest of the file (sorted, shuffled,
// sections without their parents' sections) costs it nothing.
#ifndef NETVANE_PLATFORM_STANDIN_REGFILE_REG_INDEX_H
#define NETVANE_PLATFORM_STANDIN_REGFILE_REG_INDEX_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/standin/regfile/reg_syntax.h"

namespace standin {

enum RegSectionKind : uint8_t {
  kKeySection,     // [HKEY_LOCAL_MACHINE\path]
  kDeleteSection,  // [-HKEY_LOCAL_MACHINE\path]: the key and its subtree go
  kOtherRoot,      // a section under another root: kept, never reached
};

// Byte offsets into the file. The key path is the part below
// HKEY_LOCAL_MACHINE, without a trailing backslash; empty for the root.
struct RegSection {
  uint32_t lineStart = 0;  // first byte of the [key] line
  uint32_t pathStart = 0;
  uint32_t pathEnd = 0;
  // A hash of the path's first 48 units folded (of all, when it has
  // fewer). Every key netvane asks for has a path at least that long, and
  // the sections of its subtree then share its hash.
  uint32_t prefixHash = 0;
  uint8_t kind = kKeySection;
};

// A key path below HKEY_LOCAL_MACHINE, ready for lookups: `folded` has each
// UTF-16 unit upper-cased as Windows compares names, and each backslash as
// 0, so that a key and everything below it sort together.
struct RegKeyPath {
  std::string text;
  std::u16string folded;
  size_t depth = 0;
  bool valid = true;  // false when a component is empty
};
RegKeyPath makeKeyPath(const std::string& path);

class RegSectionIndex {
 public:
  RegSectionIndex();
  ~RegSectionIndex();

  // Finds every section after the header line, which ends at `bodyStart`.
  // `fd` is the file that `text` maps, or -1 for text in memory. False with
  // `error` on a malformed [key] line, or on anything but blank lines and
  // comments before the first one.
  bool build(const RegText& text, size_t bodyStart, int fd, ParseError* error);

  size_t size() const { return sections_.size(); }
  const RegSection& section(size_t i) const { return sections_[i]; }
  size_t bodyStart(size_t i) const;
  size_t sectionEnd(size_t i) const {
    return i + 1 < sections_.size() ? sections_[i + 1].lineStart : text_.end;
  }

  // What importing the file leaves: a key exists when a section names it or
  // a key below it, after the last [-key] that deletes it or an ancestor.
  // The sections whose values the key has, in file order:
  std::vector<size_t> sectionsOf(const RegKeyPath& path);
  // The first section that creates a key below `path`, or size():
  size_t firstDescendant(const RegKeyPath& path);
  // The immediate subkeys, each once, spelled as the section that creates it spells it.
  std::vector<std::string> subkeys(const RegKeyPath& path);
  // The [key] text of section `i` up to its component `depth`, root as spelled there.
  std::string spelledKey(size_t i, size_t depth) const;

 private:
  class Subtree;

  Subtree& subtreeOf(const RegKeyPath& path);
  std::u16string foldedPath(size_t i) const;
  std::string component(size_t i, size_t index) const;

  RegText text_;
  std::vector<RegSection> sections_;
  std::vector<std::unique_ptr<Subtree>> subtrees_;
};

}  // namespace standin

#endif
