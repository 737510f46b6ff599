// The key sections of a registry export file, found by a fast scan for lines
// that start with "[", so that opening a 100 MB export reads each byte once
// and decodes only the keys a run uses. Each section keeps a hash of its key
// path and of its parent's, so looking up a key or its subkeys walks small
// arrays instead of the text.
#ifndef NETVANE_PLATFORM_STANDIN_REGFILE_REG_INDEX_H
#define NETVANE_PLATFORM_STANDIN_REGFILE_REG_INDEX_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "platform/standin/regfile/reg_syntax.h"

namespace standin {

enum RegSectionKind : uint8_t {
  kKeySection,     // [HKEY_LOCAL_MACHINE\path]
  kDeleteSection,  // [-HKEY_LOCAL_MACHINE\path]: the key and its subtree go
  kOtherRoot,      // a section under another root: kept, never reached
};

// Eight bytes a section, so that indexing half a million sections touches
// little memory; the rest is read again from the [key] line when needed.
struct RegSection {
  uint32_t lineStart = 0;  // first byte of the [key] line
  uint16_t depth = 0;      // path components; 0 for the root itself
  uint8_t kind = kKeySection;
};

// A key path below HKEY_LOCAL_MACHINE, ready for lookups.
struct RegKeyPath {
  std::string text;
  std::vector<uint64_t> prefixHashes;  // of its first 1, 2, ... components
  bool valid = true;                   // false when a component is empty

  size_t depth() const { return prefixHashes.size(); }
};
RegKeyPath makeKeyPath(const std::string& path);

class RegSectionIndex {
 public:
  // Finds every section after the header line, which ends at `bodyStart`.
  // False with `error` on a malformed [key] line, or on anything but blank
  // lines and comments before the first one.
  bool build(const RegText& text, size_t bodyStart, ParseError* error);

  size_t size() const { return sections_.size(); }
  const RegSection& section(size_t i) const { return sections_[i]; }
  size_t bodyStart(size_t i) const;
  size_t sectionEnd(size_t i) const {
    return i + 1 < sections_.size() ? sections_[i + 1].lineStart : text_.end;
  }

  // What importing the file leaves: a key exists when a section names it or
  // a key below it, after the last [-key] that deletes it or an ancestor.
  // The sections whose values the key has, in file order:
  std::vector<size_t> sectionsOf(const RegKeyPath& path) const;
  // The first section that creates a key below `path`, or size():
  size_t firstDescendant(const RegKeyPath& path) const;
  // The immediate subkeys, each once, spelled as its first section spells it.
  std::vector<std::string> subkeys(const RegKeyPath& path) const;
  // The [key] text of section `i` up to its component `depth`, root as spelled there.
  std::string spelledKey(size_t i, size_t depth) const;

 private:
  class Part;

  void pathRange(size_t i, size_t* start, size_t* end) const;
  std::string pathOf(size_t i) const;
  bool hasPrefix(size_t i, const RegKeyPath& path, bool exact) const;
  bool isUnder(size_t i, const RegKeyPath& path) const;
  const std::vector<size_t>& orphans() const;
  size_t firstLiveSection(const RegKeyPath& path) const;
  bool deletedAfter(size_t i, const RegKeyPath& key) const;

  // Finds the sections that have a hash. A run looks up a handful of keys,
  // which passes over the hashes answer quickest; a run that looks up many
  // (a listing of a million cards opens each card twice) would make that
  // quadratic, so once the passes have cost as much as a few dozen whole
  // ones, the hashes are sorted and searched instead.
  class HashLookup {
   public:
    // The first i >= from with hashes[i] == hash, or hashes.size().
    size_t next(const std::vector<uint32_t>& hashes, uint32_t hash, size_t from);

   private:
    size_t compared_ = 0;
    std::vector<uint64_t> sorted_;  // hash << 32 | section
  };

  RegText text_;
  std::vector<RegSection> sections_;
  std::vector<uint32_t> hashes_;        // of each section's key path
  std::vector<uint32_t> parentHashes_;  // ... and of its parent's
  mutable HashLookup byHash_;
  mutable HashLookup byParentHash_;
  std::vector<size_t> deletes_;
  // Sections whose parent had no section just before them: in an export,
  // which lists every key depth first, none but the first below the root.
  std::vector<size_t> suspects_;
  mutable std::vector<size_t> orphans_;
  mutable bool orphansKnown_ = false;
};

}  // namespace standin

#endif
