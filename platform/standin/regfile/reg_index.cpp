#include "platform/standin/regfile/reg_index.h"

#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <memory>

#include "platform/standin/files/file_window.h"
#include "platform/standin/registry_store.h"
#include "platform/standin/standin_text.h"

namespace standin {

namespace {

// Windows refuses to create keys nested deeper than this.
const size_t kMaxKeyDepth = 512;
// The units of a path, folded, that its section's prefix hash covers.
const size_t kHashedUnits = 48;
// A run that keeps reaching keys outside the subtrees it has picked out
// (none of netvane's does) gets the whole file as one subtree instead.
const size_t kMostSubtrees = 16;

const uint64_t kOnes = 0x0101010101010101ull;
const uint64_t kHighBits = 0x8080808080808080ull;
// The high bits of the units of a word of UTF-16 text that is all ASCII.
const uint64_t kWideHighBits = 0xFF80FF80FF80FF80ull;

// Upper-cases eight ASCII bytes at once, each in 'a'..'z' losing 0x20; in
// UTF-16 text of ASCII units the zero high bytes stay as they are.
uint64_t upcaseAsciiWord(uint64_t word) {
  uint64_t atLeastA = word + kOnes * (0x80 - 'a');
  uint64_t aboveZ = word + kOnes * (0x80 - 'z' - 1);
  uint64_t lower = atLeastA & ~aboveZ & kHighBits;
  return word - (lower >> 2);
}

// hashPath for a path that is not all ASCII.
uint32_t hashFoldedPath(const uint8_t* bytes, size_t size, size_t w) {
  std::string utf8 = w == 1 ? std::string(reinterpret_cast<const char*>(bytes), size) : utf16LEToUtf8(bytes, size);
  std::u16string folded = registryNameKey(utf8);
  folded.resize(std::min(folded.size(), kHashedUnits));
  uint64_t h = 0x13198A2E03707344ull ^ folded.size();
  for (char16_t unit : folded) h = (h ^ unit) * 0x9E3779B97F4A7C15ull;
  h ^= h >> 29;
  return static_cast<uint32_t>(h ^ (h >> 32));
}

// A hash of the first kHashedUnits units of a path of `size` bytes in a
// file whose units are `w` bytes (of all, when it has fewer), alike for
// paths whose first units fold alike; `readable` bytes may be read. ASCII
// text (nearly all) is hashed eight bytes at a time as it stands in the
// file; since folding keeps ASCII and other text apart, the other way, over
// the folded UTF-16 units, never needs to agree with it.
inline uint32_t hashPath(const uint8_t* bytes, size_t size, size_t readable, size_t w) {
  const size_t hashed = std::min(size, kHashedUnits * w);
  uint64_t h = 0x243F6A8885A308D3ull ^ hashed;
  uint64_t any = 0;
  size_t p = 0;
  for (; p + 8 <= hashed; p += 8) {
    uint64_t word;
    memcpy(&word, bytes + p, 8);
    any |= word;
    h = (h ^ upcaseAsciiWord(word)) * 0x9E3779B97F4A7C15ull;
  }
  if (p < hashed) {
    // One load where it may read on, and the bytes past the prefix masked off.
    uint64_t word = 0;
    if (p + 8 <= readable) {
      memcpy(&word, bytes + p, 8);
      word &= (uint64_t(1) << (8 * (hashed - p))) - 1;
    } else {
      memcpy(&word, bytes + p, hashed - p);
    }
    any |= word;
    h = (h ^ upcaseAsciiWord(word)) * 0x9E3779B97F4A7C15ull;
  }
  if ((any & (w == 1 ? kHighBits : kWideHighBits)) != 0) return hashFoldedPath(bytes, size, w);
  h ^= h >> 29;
  return static_cast<uint32_t>(h ^ (h >> 32));
}

// What one pass over a [key] line finds, sixteen bytes a step: where its
// text ends, where the next line starts, its last "]" and its first NUL
// (npos when there is none), and whether two backslashes stand in a row.
struct LineScan {
  size_t contentEnd = 0;
  size_t next = 0;
  size_t lastClose = std::string::npos;
  size_t firstNul = std::string::npos;
  bool doubled = false;
};

template <size_t w>
void scanLine(const RegText& t, size_t from, LineScan* scan) {
  size_t p = from;
#if defined(__SSE2__)
  // A step looks for the line end and for backslashes in a row; the rare
  // line with a NUL is read on unit by unit from that step.
  auto equal = [](__m128i a, char c) {
    return w == 1 ? _mm_cmpeq_epi8(a, _mm_set1_epi8(c)) : _mm_cmpeq_epi16(a, _mm_set1_epi16(c));
  };
  unsigned carried = 0;  // the last unit of the step before, when it was a backslash
  unsigned doubled = 0;
  for (; p + 16 <= t.end; p += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t.bytes + p));
    unsigned stops = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(equal(v, '\n'), equal(v, '\r')), equal(v, 0))));
    unsigned slashes = static_cast<unsigned>(_mm_movemask_epi8(equal(v, '\\')));
    if (stops != 0) {
      if (!isLineEnd(unitAt<w>(t.bytes, p + __builtin_ctz(stops)))) break;
      slashes &= (1u << __builtin_ctz(stops)) - 1;
      doubled |= slashes & ((slashes << w) | carried);
      p += __builtin_ctz(stops);
      break;
    }
    doubled |= slashes & ((slashes << w) | carried);
    carried = slashes >> (16 - w);
  }
  scan->doubled = doubled != 0;
  uint32_t previous = p > from ? unitAt<w>(t.bytes, p - w) : 0;
#else
  uint32_t previous = 0;
#endif
  for (; p < t.end; p += w) {
    uint32_t unit = unitAt<w>(t.bytes, p);
    if (isLineEnd(unit)) break;
    if (unit == 0 && scan->firstNul == std::string::npos) scan->firstNul = p;
    if (unit == '\\' && previous == '\\') scan->doubled = true;
    previous = unit;
  }
  scan->contentEnd = p;
  // The line's last "]", nearly always its last unit.
  for (size_t q = p; q > from;) {
    q -= w;
    if (unitAt<w>(t.bytes, q) == ']') {
      scan->lastClose = q;
      break;
    }
  }
  if (p < t.end) {
    bool isCr = unitAt<w>(t.bytes, p) == '\r';
    p += w;
    if (isCr && p < t.end && unitAt<w>(t.bytes, p) == '\n') p += w;
  }
  scan->next = p;
}

// Whether the units at `p` spell `name` in any case and end before `end`
// or at a backslash.
template <size_t w>
bool isRootName(const RegText& t, size_t p, size_t end, const char* name) {
  for (; *name != '\0'; ++name, p += w) {
    if (p >= end) return false;
    uint32_t unit = unitAt<w>(t.bytes, p);
    if (unit >= 'a' && unit <= 'z') unit -= 0x20;
    if (unit != static_cast<unsigned char>(*name)) return false;
  }
  return p >= end || unitAt<w>(t.bytes, p) == '\\';
}

bool fail(ParseError* error, const char* reason) {
  error->reason = reason;
  return false;
}

// Reads the [key] line at `lineStart`, whose "[" is at `open`, into
// `section`; `next` is where the line after it starts. The checks and
// their order are those `reg import` would trip over first.
template <size_t w>
bool readHeaderLine(const RegText& t, size_t lineStart, size_t open, RegSection* section, size_t* next,
                    ParseError* error) {
  error->offset = lineStart;
  size_t keyStart = open + w;
  LineScan scan;
  scanLine<w>(t, keyStart, &scan);
  *next = scan.next;
  // `reg import` takes the key name up to the last "]" of the line.
  if (scan.lastClose == std::string::npos) return fail(error, "a [key] line lacks its closing ]");
  size_t keyEnd = scan.lastClose;
  bool deletes = keyStart < keyEnd && unitAt<w>(t.bytes, keyStart) == '-';
  if (deletes) keyStart += w;
  if (keyStart == keyEnd || isBlank(unitAt<w>(t.bytes, keyStart))) {
    return fail(error, "a [key] line must start with the key's name, without a space");
  }
  if (scan.firstNul < keyEnd) return fail(error, "NUL character in a key name");
  section->lineStart = static_cast<uint32_t>(lineStart);
  section->kind = deletes ? kDeleteSection : kKeySection;
  // The root as regedit spells it, in 8-bit text and in UTF-16LE, with the
  // backslash that follows it.
  static const char kRoot[] = "HKEY_LOCAL_MACHINE";
  static const char kShortRoot[] = "HKLM";
  static const char kSpelled[] = "HKEY_LOCAL_MACHINE\\";
  static const char kSpelledWide[] = "H\0K\0E\0Y\0_\0L\0O\0C\0A\0L\0_\0M\0A\0C\0H\0I\0N\0E\0\\\0";
  const size_t kSpelledUnits = sizeof kSpelled - 1;
  bool asExported = keyEnd - keyStart > kSpelledUnits * w &&
                    memcmp(t.bytes + keyStart, w == 1 ? kSpelled : kSpelledWide, kSpelledUnits * w) == 0;
  size_t rootUnits = asExported || isRootName<w>(t, keyStart, keyEnd, kRoot) ? sizeof kRoot - 1
                     : isRootName<w>(t, keyStart, keyEnd, kShortRoot)          ? sizeof kShortRoot - 1
                                                                               : 0;
  if (rootUnits == 0) {
    // Other roots are kept as they are; nothing here reaches them.
    section->kind = kOtherRoot;
    section->pathStart = section->pathEnd = static_cast<uint32_t>(keyEnd);
    return true;
  }
  size_t pathStart = std::min(keyStart + (rootUnits + 1) * w, keyEnd);
  size_t pathEnd = keyEnd;
  // Windows accepts one trailing backslash on a key path.
  if (pathEnd > pathStart && unitAt<w>(t.bytes, pathEnd - w) == '\\') pathEnd -= w;
  section->pathStart = static_cast<uint32_t>(pathStart);
  section->pathEnd = static_cast<uint32_t>(pathEnd);
  section->prefixHash = hashPath(t.bytes + pathStart, pathEnd - pathStart, t.end - pathStart, w);
  if (pathStart == pathEnd) {
    return !deletes || fail(error, "[-HKEY_LOCAL_MACHINE] would delete the whole registry");
  }
  // Each name takes a unit and a backslash, so only a long path can be too deep.
  if (!scan.doubled && pathEnd - pathStart < 2 * kMaxKeyDepth * w) return true;
  // The rare path that may have an empty name or too many: its names in turn.
  size_t depth = 1;
  size_t nameStart = pathStart;
  for (size_t p = pathStart;; p += w) {
    if (p == pathEnd || unitAt<w>(t.bytes, p) == '\\') {
      if (p == nameStart) return fail(error, "empty key name between backslashes in a [key] line");
      if (depth > kMaxKeyDepth) return fail(error, "key nested deeper than 512 levels");
      if (p == pathEnd) return true;
      ++depth;
      nameStart = p + w;
    }
  }
}

// Where the next "[" that starts a line (after blanks) is, or npos; the
// line starts at `*lineStart`. `from` is the start of a line. memchr finds
// the rare "[" far faster than reading lines.
size_t findSectionLine(const RegText& text, size_t from, size_t limit, size_t* lineStart) {
  size_t p = from;
  while (p < limit) {
    const void* found = memchr(text.bytes + p, '[', limit - p);
    if (found == nullptr) return std::string::npos;
    size_t at = static_cast<size_t>(static_cast<const uint8_t*>(found) - text.bytes);
    p = at + 1;
    if (text.wide() && ((at - text.begin) % 2 != 0 || text.bytes[at + 1] != 0)) continue;
    size_t start = at;
    while (start > from && isBlank(text.at(start - text.width))) start -= text.width;
    if (start == from || isLineEnd(text.at(start - text.width))) {
      *lineStart = start;
      return at;
    }
  }
  return std::string::npos;
}

// The sections of one stretch of the file. A large file is read as two
// stretches at once, one per thread, and the two joined. A stretch of a
// mapped file is read again through its descriptor, a window at a time,
// so that a listing never pages the mapping in.
struct Stretch {
  const RegText* text;
  int fd;
  size_t from;
  size_t limit;
  std::vector<RegSection> sections;
  ParseError error;
  bool ok = true;

  // The sections whose [key] lines start in [from, limit) of `window`, whose
  // byte 0 is byte `offset` of the file.
  bool scanWindow(const RegText& window, size_t from, size_t limit, size_t offset) {
    size_t lineStart = 0;
    for (size_t p = from, open; (open = findSectionLine(window, p, limit, &lineStart)) != std::string::npos;) {
      sections.emplace_back();
      RegSection& section = sections.back();
      if (!(window.wide() ? readHeaderLine<2>(window, lineStart, open, &section, &p, &error)
                          : readHeaderLine<1>(window, lineStart, open, &section, &p, &error))) {
        error.offset += offset;
        return false;
      }
      section.lineStart += static_cast<uint32_t>(offset);
      section.pathStart += static_cast<uint32_t>(offset);
      section.pathEnd += static_cast<uint32_t>(offset);
    }
    return true;
  }

  void scan() {
    const size_t w = text->width;
    sections.reserve((limit - from) / (256 * w) + 16);
    if (fd < 0) {
      ok = scanWindow(*text, from, limit, 0);
      return;
    }
    FileWindow file;
    size_t size = kFileWindowSize;
    for (size_t offset = from; offset < limit && ok;) {
      size_t want = std::min(size, limit - offset);
      size_t got = file.read(fd, offset, want);
      RegText window{file.data(), 0, got / w * w, w};
      // A full window that the stretch goes on after ends after its last
      // line end; one that has none grows until it has.
      if (got == want && offset + got < limit) {
        while (window.end >= w && !isLineEnd(window.at(window.end - w))) window.end -= w;
        if (window.end == 0) {
          size *= 2;
          continue;
        }
      }
      // Without a window (or with the file cut short under the run, which
      // the store then reports) the mapping is read in place.
      if (window.end == 0) {
        ok = scanWindow(*text, offset, limit, 0);
        return;
      }
      ok = scanWindow(window, 0, window.end, offset);
      offset += window.end;
    }
  }
};

// The folded form of a name or path as UTF-8: each unit upper-cased, each
// backslash 0.
void appendFolded(const char* utf8, size_t size, std::u16string* out) {
  std::u16string key = registryNameKey(std::string(utf8, size));
  for (char16_t& unit : key) {
    if (unit == '\\') unit = 0;
  }
  *out += key;
}

// Whether folded path `a` is `b` or one of its ancestors.
bool coversPath(const std::u16string& a, const std::u16string& b) {
  return a.empty() || (b.size() >= a.size() && b.compare(0, a.size(), a) == 0 && (b.size() == a.size() || b[a.size()] == 0));
}

}  // namespace

RegKeyPath makeKeyPath(const std::string& path) {
  RegKeyPath key;
  key.text = path;
  if (path.empty()) return key;
  appendFolded(path.data(), path.size(), &key.folded);
  key.depth = 1;
  for (size_t i = 0; i < key.folded.size(); ++i) {
    if (key.folded[i] != 0) continue;
    ++key.depth;
    if (i == 0 || key.folded[i - 1] == 0) key.valid = false;
  }
  if (key.folded.back() == 0) key.valid = false;
  return key;
}

// The sections of one subtree: those of a key and of every key below it,
// and the [-key] sections that delete it, an ancestor or a key below it.
// Their paths, below the subtree's key, are kept folded and sorted, so that
// a key's sections, and those of the keys below it, lie side by side.
class RegSectionIndex::Subtree {
 public:
  Subtree(RegSectionIndex* index, const RegKeyPath& root);

  // Whether `path` lies in this subtree.
  bool covers(const RegKeyPath& path) const { return coversPath(root_.folded, path.folded); }

  std::vector<size_t> sectionsOf(const RegKeyPath& path) const;
  size_t firstDescendant(const RegKeyPath& path) const;
  std::vector<std::string> subkeys(const RegKeyPath& path) const;

 private:
  struct Entry {
    std::u16string key;  // below the subtree's key; "" for that key itself
    uint32_t section;
    uint64_t head;  // the key's first four units, which order most keys alone
    bool operator<(const Entry& other) const {
      if (head != other.head) return head < other.head;
      int order = key.compare(other.key);
      return order != 0 ? order < 0 : section < other.section;
    }
  };
  static uint64_t headOf(const std::u16string& key) {
    uint64_t head = 0;
    for (size_t i = 0; i < 4; ++i) head = head << 16 | (i < key.size() ? key[i] : 0);
    return head;
  }
  struct Deletion {
    std::u16string key;  // as for an entry; "" also for an ancestor's
    uint32_t section;
  };

  bool related(const RegSection& section, std::u16string* key, bool* above) const;
  std::u16string below(const RegKeyPath& path) const;
  size_t liveFrom(const std::u16string& key) const;
  // The entries of `key` and of the keys below it.
  std::pair<size_t, size_t> range(const std::u16string& key) const;

  RegSectionIndex* index_;
  RegKeyPath root_;
  std::string rootUnits_;  // the root's path in the file's encoding
  std::vector<Entry> entries_;
  std::vector<Deletion> deletions_;  // in file order
};

RegSectionIndex::Subtree::Subtree(RegSectionIndex* index, const RegKeyPath& root) : index_(index), root_(root) {
  if (index->text_.wide()) {
    std::vector<uint8_t> units = utf8ToUtf16LE(root.text.data(), root.text.size());
    rootUnits_.assign(units.begin(), units.end());
  } else {
    rootUnits_ = root.text;
  }
  // Under a key of kHashedUnits units or more the prefix hashes tell the
  // subtree's sections apart without reading them; [-key] sections, which
  // may delete an ancestor, are read all the same.
  bool hashed = root.folded.size() >= kHashedUnits;
  uint32_t rootHash = 0;
  if (hashed) {
    const uint8_t* units = reinterpret_cast<const uint8_t*>(rootUnits_.data());
    rootHash = hashPath(units, rootUnits_.size(), rootUnits_.size(), index->text_.width);
  }
  // Otherwise the [key] lines, which lie far apart in the file, are each
  // fetched well before they are compared, so that the pass waits for
  // memory once, not once a line.
  const size_t kAhead = 16;
  const size_t count = index->sections_.size();
  for (size_t i = 0; i < count; ++i) {
    const RegSection& section = index->sections_[i];
    if (hashed && section.prefixHash != rootHash && section.kind != kDeleteSection) continue;
    if (!hashed && i + kAhead < count) __builtin_prefetch(index->text_.bytes + index->sections_[i + kAhead].pathStart);
    std::u16string key;
    bool above = false;
    if (section.kind == kOtherRoot || section.pathStart == section.pathEnd || !related(section, &key, &above)) continue;
    if (section.kind == kDeleteSection) {
      deletions_.push_back(Deletion{above ? std::u16string() : key, static_cast<uint32_t>(i)});
    } else {
      uint64_t head = headOf(key);
      entries_.push_back(Entry{std::move(key), static_cast<uint32_t>(i), head});
    }
  }
  // An export lists its keys in this order already.
  if (std::is_sorted(entries_.begin(), entries_.end())) return;
  // Sorted by place, which moves no key until each moves once.
  std::vector<uint32_t> order(entries_.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<uint32_t>(i);
  std::sort(order.begin(), order.end(), [this](uint32_t a, uint32_t b) { return entries_[a] < entries_[b]; });
  std::vector<Entry> sorted;
  sorted.reserve(entries_.size());
  for (uint32_t i : order) sorted.push_back(std::move(entries_[i]));
  entries_.swap(sorted);
}

// Whether the section belongs to the subtree; if it does, `key` is its path
// below the subtree's key, and `above` says a [-key] deletes an ancestor.
// Most sections are told apart from the subtree by their first bytes, eight
// at a time, without decoding them.
bool RegSectionIndex::Subtree::related(const RegSection& section, std::u16string* key, bool* above) const {
  const size_t w = index_->text_.width;
  const size_t length = section.pathEnd - section.pathStart;
  const uint8_t* path = index_->text_.bytes + section.pathStart;
  const uint8_t* root = reinterpret_cast<const uint8_t*>(rootUnits_.data());
  const size_t compared = std::min(length, rootUnits_.size());
  const uint64_t nonAscii = w == 1 ? kHighBits : kWideHighBits;
  bool ascii = true;
  for (size_t p = 0; p < compared && ascii; p += 8) {
    uint64_t a = 0;
    uint64_t b = 0;
    size_t n = std::min<size_t>(8, compared - p);
    memcpy(&a, path + p, n);
    memcpy(&b, root + p, n);
    ascii = ((a | b) & nonAscii) == 0;
    if (ascii && upcaseAsciiWord(a) != upcaseAsciiWord(b)) return false;
  }
  auto unit = [w](const uint8_t* bytes, size_t p) { return w == 1 ? unitAt<1>(bytes, p) : unitAt<2>(bytes, p); };
  *above = false;
  if (ascii) {
    // ASCII names fold to ASCII names of the same length.
    if (length == rootUnits_.size()) {
      key->clear();
      return true;
    }
    if (length < rootUnits_.size()) {
      *above = true;
      return section.kind == kDeleteSection && unit(root, length) == '\\';
    }
    if (!rootUnits_.empty() && unit(path, rootUnits_.size()) != '\\') return false;
  }
  std::u16string folded = index_->foldedPath(static_cast<size_t>(&section - index_->sections_.data()));
  const std::u16string& rootKey = root_.folded;
  if (coversPath(rootKey, folded)) {
    if (rootKey.empty()) {
      *key = std::move(folded);
    } else {
      *key = folded.size() == rootKey.size() ? std::u16string() : folded.substr(rootKey.size() + 1);
    }
    return true;
  }
  if (section.kind == kDeleteSection && coversPath(folded, rootKey)) {
    *above = true;
    return true;
  }
  return false;
}

std::u16string RegSectionIndex::Subtree::below(const RegKeyPath& path) const {
  if (root_.folded.empty()) return path.folded;
  return path.folded.size() == root_.folded.size() ? std::u16string() : path.folded.substr(root_.folded.size() + 1);
}

// Sections before the last [-key] that deletes `key` or an ancestor no
// longer count for it: the first one that does.
size_t RegSectionIndex::Subtree::liveFrom(const std::u16string& key) const {
  size_t from = 0;
  for (const Deletion& deletion : deletions_) {
    if (coversPath(deletion.key, key)) from = deletion.section + 1;
  }
  return from;
}

std::pair<size_t, size_t> RegSectionIndex::Subtree::range(const std::u16string& key) const {
  if (key.empty()) return std::make_pair(size_t(0), entries_.size());
  auto at = [this](const std::u16string& bound) {
    return static_cast<size_t>(std::lower_bound(entries_.begin(), entries_.end(), Entry{bound, 0, headOf(bound)}) - entries_.begin());
  };
  // Below `key` its paths go on with a 0, before any other unit.
  return std::make_pair(at(key), at(key + u'\x01'));
}

std::vector<size_t> RegSectionIndex::Subtree::sectionsOf(const RegKeyPath& path) const {
  std::vector<size_t> found;
  std::u16string key = below(path);
  size_t live = liveFrom(key);
  std::pair<size_t, size_t> span = range(key);
  for (size_t i = span.first; i < span.second && entries_[i].key == key; ++i) {
    if (entries_[i].section >= live) found.push_back(entries_[i].section);
  }
  return found;
}

size_t RegSectionIndex::Subtree::firstDescendant(const RegKeyPath& path) const {
  std::u16string key = below(path);
  size_t live = liveFrom(key);
  size_t first = index_->sections_.size();
  std::pair<size_t, size_t> span = range(key);
  for (size_t i = span.first; i < span.second; ++i) {
    const Entry& entry = entries_[i];
    if (entry.key.size() > key.size() && entry.section >= live) first = std::min<size_t>(first, entry.section);
  }
  return first;
}

std::vector<std::string> RegSectionIndex::Subtree::subkeys(const RegKeyPath& path) const {
  std::vector<std::string> names;
  std::u16string key = below(path);
  std::pair<size_t, size_t> span = range(key);
  const size_t nameStart = key.empty() ? 0 : key.size() + 1;
  const size_t sectionCount = index_->sections_.size();
  for (size_t i = span.first; i < span.second;) {
    if (entries_[i].key.size() <= key.size()) {
      ++i;
      continue;
    }
    // The entries of one subkey, and of the keys below it, stand together.
    const std::u16string& first = entries_[i].key;
    size_t nameEnd = first.find(u'\0', nameStart);
    if (nameEnd == std::u16string::npos) nameEnd = first.size();
    std::u16string child = first.substr(0, nameEnd);
    size_t live = deletions_.empty() ? 0 : liveFrom(child);
    size_t creator = sectionCount;
    for (; i < span.second && coversPath(child, entries_[i].key); ++i) {
      if (entries_[i].section >= live) creator = std::min<size_t>(creator, entries_[i].section);
    }
    if (creator < sectionCount) names.push_back(index_->component(creator, path.depth));
  }
  return names;
}

RegSectionIndex::RegSectionIndex() = default;
RegSectionIndex::~RegSectionIndex() = default;

bool RegSectionIndex::build(const RegText& text, size_t bodyStart, int fd, ParseError* error) {
  text_ = text;
  subtrees_.clear();
  // Before the first section only blank lines and comments may stand: a
  // value there belongs to no key. They are read line by line, so that a
  // file of anything else is refused without being read to its end.
  size_t first = bodyStart;
  for (;;) {
    size_t q = first;
    while (q < text.end && isBlank(text.at(q))) q += text.width;
    // A last line of blanks without a line end holds no section either.
    if (q >= text.end) {
      first = text.end;
      break;
    }
    if (text.at(q) == '[') break;
    uint32_t unit = text.at(q);
    if (unit != ';' && !isLineEnd(unit)) {
      error->offset = first;
      error->reason = unit == '"' || unit == '@' ? "a value before the first [key] line"
                                                 : "expected a [key] line or a comment";
      return false;
    }
    first = lineAt(text, first, text.end).next;
  }
  // A large file is scanned by two threads, each reading half.
  size_t split = text.end;
  if (text.end - first >= kTwoThreadFileSize) {
    size_t middle = first + (text.end - first) / 2 / text.width * text.width;
    split = lineAt(text, middle, text.end).next;
  }
  Stretch head{&text, fd, first, split, {}, {}, true};
  Stretch tail{&text, fd, split, text.end, {}, {}, true};
  SecondThread helper;
  bool threaded = helper.start(split < text.end, [&tail] { tail.scan(); });
  head.scan();
  if (threaded) {
    helper.join();
  } else if (head.ok) {
    tail.scan();
  }
  if (!head.ok || !tail.ok) {
    *error = head.ok ? tail.error : head.error;
    return false;
  }
  sections_ = std::move(head.sections);
  sections_.insert(sections_.end(), tail.sections.begin(), tail.sections.end());
  return true;
}

size_t RegSectionIndex::bodyStart(size_t i) const { return lineAt(text_, sections_[i].pathEnd, text_.end).next; }

// The folded form of section `i`'s key path.
std::u16string RegSectionIndex::foldedPath(size_t i) const {
  const RegSection& s = sections_[i];
  const size_t w = text_.width;
  std::u16string folded((s.pathEnd - s.pathStart) / w, u'\0');
  // ASCII, as nearly every path is, folds unit by unit.
  bool ascii = true;
  for (size_t k = 0; k < folded.size() && ascii; ++k) {
    uint32_t unit = text_.at(s.pathStart + k * w);
    ascii = unit < 0x80;
    folded[k] = unit == '\\' ? 0 : static_cast<char16_t>(unit >= 'a' && unit <= 'z' ? unit - 0x20 : unit);
  }
  if (ascii) return folded;
  folded.clear();
  if (!text_.wide()) {
    appendFolded(reinterpret_cast<const char*>(text_.bytes + s.pathStart), s.pathEnd - s.pathStart, &folded);
  } else {
    std::string utf8 = utf16LEToUtf8(text_.bytes + s.pathStart, s.pathEnd - s.pathStart);
    appendFolded(utf8.data(), utf8.size(), &folded);
  }
  return folded;
}

// Name number `index` (from 0) of section `i`'s key path, as spelled there.
std::string RegSectionIndex::component(size_t i, size_t index) const {
  const RegSection& s = sections_[i];
  const size_t w = text_.width;
  size_t start = s.pathStart;
  for (size_t p = s.pathStart; p < s.pathEnd && index > 0; p += w) {
    if (text_.at(p) == '\\' && --index == 0) start = p + w;
  }
  size_t end = start;
  while (end < s.pathEnd && text_.at(end) != '\\') end += w;
  if (!text_.wide()) return std::string(reinterpret_cast<const char*>(text_.bytes + start), end - start);
  return utf16LEToUtf8(text_.bytes + start, end - start);
}

std::string RegSectionIndex::spelledKey(size_t i, size_t depth) const {
  const RegSection& s = sections_[i];
  const size_t w = text_.width;
  size_t keyStart = s.lineStart;
  while (text_.at(keyStart) != '[') keyStart += w;
  keyStart += w;
  size_t end = s.pathStart;
  for (size_t d = 0; end < s.pathEnd; end += w) {
    if (text_.at(end) == '\\' && ++d == depth) break;
  }
  if (!text_.wide()) return std::string(reinterpret_cast<const char*>(text_.bytes + keyStart), end - keyStart);
  return utf16LEToUtf8(text_.bytes + keyStart, end - keyStart);
}

RegSectionIndex::Subtree& RegSectionIndex::subtreeOf(const RegKeyPath& path) {
  for (const std::unique_ptr<Subtree>& subtree : subtrees_) {
    if (subtree->covers(path)) return *subtree;
  }
  RegKeyPath root = subtrees_.size() < kMostSubtrees ? path : RegKeyPath();
  subtrees_.emplace_back(new Subtree(this, root));
  return *subtrees_.back();
}

std::vector<size_t> RegSectionIndex::sectionsOf(const RegKeyPath& path) {
  if (!path.valid || path.depth == 0) return std::vector<size_t>();
  return subtreeOf(path).sectionsOf(path);
}

size_t RegSectionIndex::firstDescendant(const RegKeyPath& path) {
  if (!path.valid) return sections_.size();
  return subtreeOf(path).firstDescendant(path);
}

std::vector<std::string> RegSectionIndex::subkeys(const RegKeyPath& path) {
  if (!path.valid) return std::vector<std::string>();
  return subtreeOf(path).subkeys(path);
}

}  // namespace standin
