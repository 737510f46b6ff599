#include "platform/standin/regfile/reg_index.h"

#include <pthread.h>
#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>

#include "platform/standin/registry_names.h"
#include "platform/standin/registry_store.h"
#include "platform/standin/standin_text.h"

namespace standin {

namespace {

// Windows refuses to create keys nested deeper than this.
const size_t kMaxKeyDepth = 512;
// Files this large are indexed by two threads, each reading half.
const size_t kTwoThreadSize = size_t(8) << 20;
// Sorting the hashes costs about as much as this many passes over them.
const size_t kPassesBeforeSorting = 32;

const uint64_t kHashSeed = 0x243F6A8885A308D3ull;
const uint64_t kOnes = 0x0101010101010101ull;
const uint64_t kHighBits = 0x8080808080808080ull;

uint64_t mixWord(uint64_t h, uint64_t word) {
  h = (h ^ word) * 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 31);
}

// Upper-cases eight ASCII bytes at once: each byte in 'a'..'z' loses 0x20.
uint64_t upcaseAsciiWord(uint64_t word) {
  uint64_t atLeastA = word + kOnes * (0x80 - 'a');
  uint64_t aboveZ = word + kOnes * (0x80 - 'z' - 1);
  uint64_t lower = atLeastA & ~aboveZ & kHighBits;
  return word - (lower >> 2);
}

// Continues `h` over one key name given as UTF-8, folded the way Windows
// compares names, so that names equal but for case hash alike. ASCII names
// (nearly all of them) are hashed eight bytes at a time; since folding keeps
// ASCII and other text apart, the two ways never need to agree.
uint64_t hashComponent(uint64_t h, const char* name, size_t size) {
  uint64_t ascii = mixWord(h, 0x5C00000000000000ull ^ size);
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t word;
    memcpy(&word, name + i, 8);
    if ((word & kHighBits) != 0) break;
    ascii = mixWord(ascii, upcaseAsciiWord(word));
  }
  if (i + 8 <= size) {
    // Falls through to the slow way below.
  } else if (i < size) {
    uint64_t word = 0;
    memcpy(&word, name + i, size - i);
    if ((word & kHighBits) == 0) return mixWord(ascii, upcaseAsciiWord(word));
  } else {
    return ascii;
  }
  std::vector<uint16_t> units;
  appendUtf8AsUtf16(name, size, &units);
  h = mixWord(h, 0x5D00000000000000ull ^ units.size());
  for (size_t k = 0; k < units.size(); k += 4) {
    uint64_t word = 0;
    for (size_t j = 0; j < 4 && k + j < units.size(); ++j) {
      word |= static_cast<uint64_t>(upcaseRegistryUnit(units[k + j])) << (16 * j);
    }
    h = mixWord(h, word);
  }
  return h;
}

// The first i >= from with hashes[i] == hash, or hashes.size(). A lookup
// walks the whole array, so it compares sixteen hashes a step.
size_t findHash(const std::vector<uint32_t>& hashes, size_t from, uint32_t hash) {
  size_t i = from;
  const size_t size = hashes.size();
#if defined(__SSE2__)
  const __m128i wanted = _mm_set1_epi32(static_cast<int>(hash));
  for (; i + 16 <= size; i += 16) {
    const __m128i* at = reinterpret_cast<const __m128i*>(hashes.data() + i);
    __m128i any = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi32(_mm_loadu_si128(at), wanted), _mm_cmpeq_epi32(_mm_loadu_si128(at + 1), wanted)),
        _mm_or_si128(_mm_cmpeq_epi32(_mm_loadu_si128(at + 2), wanted), _mm_cmpeq_epi32(_mm_loadu_si128(at + 3), wanted)));
    if (_mm_movemask_epi8(any) != 0) break;
  }
#endif
  for (; i < size; ++i) {
    if (hashes[i] == hash) return i;
  }
  return size;
}

bool isBlank(uint32_t unit) { return unit == ' ' || unit == '\t'; }
bool isLineEnd(uint32_t unit) { return unit == '\n' || unit == '\r'; }

uint32_t foldHash(uint64_t h) { return static_cast<uint32_t>(h ^ (h >> 32)); }

bool sameAsciiName(const char* text, size_t size, const char* name) {
  size_t length = strlen(name);
  if (size != length) return false;
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
    if (c != name[i]) return false;
  }
  return true;
}

// The length of the root name HKEY_LOCAL_MACHINE or HKLM at the start of a
// key name, or 0 when the key is under another root.
size_t hklmRootSize(const char* key, size_t size) {
  static const char kLongRoot[] = "HKEY_LOCAL_MACHINE\\";
  const size_t kLongSize = sizeof kLongRoot - 2;
  if (size > kLongSize && memcmp(key, kLongRoot, kLongSize + 1) == 0) return kLongSize;
  const void* slash = memchr(key, '\\', size);
  size_t rootSize = slash == nullptr ? size : static_cast<size_t>(static_cast<const char*>(slash) - key);
  if (sameAsciiName(key, rootSize, "HKEY_LOCAL_MACHINE") || sameAsciiName(key, rootSize, "HKLM")) return rootSize;
  return 0;
}

// Packs little-endian UTF-16 units into `out` when they are all ASCII, four
// at a time (on a little-endian machine, as the stand-in's are); false, with
// `out` undefined, when one is not.
bool asciiUnits(const uint8_t* bytes, size_t size, std::string* out) {
  out->resize(size / 2);
  char* to = &(*out)[0];
  size_t p = 0;
  for (; p + 8 <= size; p += 8, to += 4) {
    uint64_t word;
    memcpy(&word, bytes + p, 8);
    if ((word & 0xFF80FF80FF80FF80ull) != 0) return false;
    uint32_t packed = static_cast<uint32_t>((word & 0xFF) | ((word >> 8) & 0xFF00) | ((word >> 16) & 0xFF0000) |
                                            ((word >> 24) & 0xFF000000));
    memcpy(to, &packed, 4);
  }
  for (; p + 2 <= size; p += 2) {
    if (bytes[p] >= 0x80 || bytes[p + 1] != 0) return false;
    *to++ = static_cast<char>(bytes[p]);
  }
  return true;
}

#if !defined(__SSE2__)
// High bit of each byte (or 16-bit unit) of `x` that is zero, and no other.
uint64_t zeroBytes(uint64_t x) {
  const uint64_t low7 = 0x7F7F7F7F7F7F7F7Full;
  return ~(((x & low7) + low7) | x | low7);
}
uint64_t zeroUnits(uint64_t x) {
  const uint64_t low15 = 0x7FFF7FFF7FFF7FFFull;
  return ~(((x & low15) + low15) | x | low15);
}
#endif

// What one pass over a [key] line finds, a word at a time: where its
// text ends, where the next line starts, its last "]" and its first NUL
// (npos when there is none).
struct LineScan {
  size_t contentEnd = 0;
  size_t next = 0;
  size_t lastClose = std::string::npos;
  size_t firstNul = std::string::npos;
};

template <size_t w>
void scanLineOf(const RegText& t, size_t from, LineScan* scan) {
  size_t p = from;
#if defined(__SSE2__)
  // Sixteen bytes at a time; a [key] line is read in five or six steps.
  const __m128i lf = w == 1 ? _mm_set1_epi8('\n') : _mm_set1_epi16('\n');
  const __m128i cr = w == 1 ? _mm_set1_epi8('\r') : _mm_set1_epi16('\r');
  const __m128i close = w == 1 ? _mm_set1_epi8(']') : _mm_set1_epi16(']');
  const __m128i zero = _mm_setzero_si128();
  auto equal = [](__m128i a, __m128i b) { return w == 1 ? _mm_cmpeq_epi8(a, b) : _mm_cmpeq_epi16(a, b); };
  for (; p + 16 <= t.end; p += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t.bytes + p));
    unsigned ends = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(equal(v, lf), equal(v, cr))));
    unsigned closes = static_cast<unsigned>(_mm_movemask_epi8(equal(v, close)));
    unsigned nuls = static_cast<unsigned>(_mm_movemask_epi8(equal(v, zero)));
    if (ends != 0) {
      unsigned before = (1u << __builtin_ctz(ends)) - 1;
      closes &= before;
      nuls &= before;
    }
    if (closes != 0) scan->lastClose = p + (31 - __builtin_clz(closes)) / w * w;
    if (nuls != 0 && scan->firstNul == std::string::npos) scan->firstNul = p + __builtin_ctz(nuls);
    if (ends != 0) {
      p += __builtin_ctz(ends);
      break;
    }
  }
#else
  const uint64_t lanes = w == 1 ? kOnes : 0x0001000100010001ull;
  auto zero = [](uint64_t x) { return w == 1 ? zeroBytes(x) : zeroUnits(x); };
  const size_t laneBits = 8 * w;
  for (; p + 8 <= t.end; p += 8) {
    uint64_t word;
    memcpy(&word, t.bytes + p, 8);
    uint64_t ends = zero(word ^ (lanes * '\n')) | zero(word ^ (lanes * '\r'));
    uint64_t closes = zero(word ^ (lanes * ']'));
    uint64_t nuls = zero(word);
    uint64_t before = ~0ull;
    if (ends != 0) {
      unsigned first = static_cast<unsigned>(__builtin_ctzll(ends)) / laneBits * laneBits;
      before = first == 0 ? 0 : ~0ull >> (64 - first);
    }
    closes &= before;
    nuls &= before;
    if (closes != 0) scan->lastClose = p + (63 - __builtin_clzll(closes)) / 8 / w * w;
    if (nuls != 0 && scan->firstNul == std::string::npos) scan->firstNul = p + __builtin_ctzll(nuls) / 8 / w * w;
    if (ends != 0) {
      p += __builtin_ctzll(ends) / 8 / w * w;
      break;
    }
  }
#endif
  for (; p < t.end; p += w) {
    uint32_t unit = t.at(p);
    if (unit == '\n' || unit == '\r') break;
    if (unit == ']') scan->lastClose = p;
    if (unit == 0 && scan->firstNul == std::string::npos) scan->firstNul = p;
  }
  scan->contentEnd = p;
  if (p < t.end) {
    bool cr = t.at(p) == '\r';
    p += w;
    if (cr && p < t.end && t.at(p) == '\n') p += w;
  }
  scan->next = p;
}

void scanLine(const RegText& t, size_t from, LineScan* scan) {
  if (t.width == 1) {
    scanLineOf<1>(t, from, scan);
  } else {
    scanLineOf<2>(t, from, scan);
  }
}

// The parts of a [key] line: [keyStart, keyEnd) is the key name without
// the brackets or the "-" of a deletion; `next` is where the next line starts.
struct HeaderLine {
  size_t keyStart = 0;
  size_t keyEnd = 0;
  size_t next = 0;
  bool deletes = false;
  bool hasNul = false;
};

bool readHeaderLine(const RegText& t, size_t lineStart, HeaderLine* header, ParseError* error) {
  const size_t w = t.width;
  error->offset = lineStart;
  size_t open = lineStart;
  // The "[" was found there before, but a file cut short under the run
  // reads as zeros now: the line is then no [key] line at all.
  while (open < t.end && isBlank(t.at(open))) open += w;
  if (open >= t.end || t.at(open) != '[') {
    header->keyStart = header->keyEnd = header->next = t.end;
    error->reason = "a [key] line lacks its [";
    return false;
  }
  size_t keyStart = open + w;
  LineScan scan;
  scanLine(t, keyStart, &scan);
  header->next = scan.next;
  // `reg import` takes the key name up to the last "]" of the line.
  if (scan.lastClose == std::string::npos) {
    error->reason = "a [key] line lacks its closing ]";
    return false;
  }
  header->keyEnd = scan.lastClose;
  header->hasNul = scan.firstNul < scan.lastClose;
  header->deletes = keyStart < header->keyEnd && t.at(keyStart) == '-';
  if (header->deletes) keyStart += w;
  header->keyStart = keyStart;
  if (keyStart == header->keyEnd || isBlank(t.at(keyStart))) {
    error->reason = "a [key] line must start with the key's name, without a space";
    return false;
  }
  return true;
}

// The first `depth` components of a UTF-8 path, or npos when it has fewer.
size_t prefixLength(const std::string& path, size_t depth) {
  size_t end = 0;
  for (size_t d = 0; d < depth; ++d) {
    if (d > 0) {
      if (end >= path.size()) return std::string::npos;
      ++end;  // the backslash
    }
    size_t slash = path.find('\\', end);
    end = slash == std::string::npos ? path.size() : slash;
  }
  return end;
}

// Where the next line that starts with "[" (after blanks) begins, or the
// end of the text. memchr finds the rare "[" far faster than reading lines.
size_t findSectionLine(const RegText& text, size_t from, size_t limit) {
  size_t p = from;
  while (p < limit) {
    const void* found = memchr(text.bytes + p, '[', limit - p);
    if (found == nullptr) return limit;
    size_t at = static_cast<size_t>(static_cast<const uint8_t*>(found) - text.bytes);
    p = at + 1;
    if (text.wide() && ((at - text.begin) % 2 != 0 || text.bytes[at + 1] != 0)) continue;
    size_t start = at;
    while (start > from && isBlank(text.at(start - text.width))) start -= text.width;
    if (start == from || isLineEnd(text.at(start - text.width))) return start;
  }
  return limit;
}

}  // namespace

RegKeyPath makeKeyPath(const std::string& path) {
  RegKeyPath key;
  key.text = path;
  if (path.empty()) return key;
  uint64_t h = kHashSeed;
  size_t start = 0;
  for (;;) {
    size_t slash = path.find('\\', start);
    size_t end = slash == std::string::npos ? path.size() : slash;
    if (end == start) key.valid = false;
    h = hashComponent(h, path.data() + start, end - start);
    key.prefixHashes.push_back(h);
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return key;
}

// The sections of one stretch of the file. A large file is read as two
// stretches at once, one per thread, and the two joined.
class RegSectionIndex::Part {
 public:
  // A key on the path of the last section read, for telling a section's
  // parent without hashing its path again.
  struct Ancestor {
    size_t length;  // bytes of the UTF-8 path
    uint64_t hash;
    size_t depth;
    bool hasSection;
  };

  Part(const RegText& text, size_t estimate) : text_(text) {
    // Room up front: the vectors then grow in place instead of being
    // copied, and untouched room costs nothing.
    sections.reserve(estimate);
    hashes.reserve(estimate);
    parentHashes.reserve(estimate);
    ancestors.assign(1, Ancestor{0, kHashSeed, 0, true});
  }

  // Reads the sections whose [key] lines start in [from, limit).
  bool scan(size_t from, size_t limit) {
    for (size_t p = from; p < limit;) {
      size_t next = 0;
      if (!addSection(p, &next)) return false;
      p = findSectionLine(text_, next, limit);
    }
    return true;
  }

  std::vector<RegSection> sections;
  std::vector<uint32_t> hashes;
  std::vector<uint32_t> parentHashes;
  std::vector<size_t> deletes;
  std::vector<size_t> suspects;
  std::vector<Ancestor> ancestors;
  ParseError error;

 private:
  bool addSection(size_t lineStart, size_t* next);
  bool hashWholePath(const char* path, size_t length, size_t* depth, uint64_t* parentHash);
  void push(size_t lineStart, size_t depth, uint8_t kind, uint32_t hash, uint32_t parentHash);

  const RegText text_;
  std::string path_;      // the UTF-8 path of a UTF-16 file's section
  std::string lastPath_;  // ... and of the one before
  const char* lastPathBytes_ = nullptr;
};

bool RegSectionIndex::build(const RegText& text, size_t bodyStart, ParseError* error) {
  text_ = text;
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
  size_t estimate = (text.end - text.begin) / (64 * text.width) + 16;
  size_t split = text.end;
  if (text.end - first >= kTwoThreadSize) {
    size_t middle = first + (text.end - first) / 2 / text.width * text.width;
    split = findSectionLine(text, lineAt(text, middle, text.end).next, text.end);
  }
  Part head(text, estimate);
  Part tail(text, split < text.end ? estimate / 2 : 0);
  struct Job {
    Part* part;
    size_t from;
    size_t limit;
    bool ok;
  } second{&tail, split, text.end, true};
  auto run = [](void* job) -> void* {
    Job* j = static_cast<Job*>(job);
    j->ok = j->part->scan(j->from, j->limit);
    return nullptr;
  };
  pthread_t thread;
  bool threaded = split < text.end && pthread_create(&thread, nullptr, run, &second) == 0;
  bool ok = head.scan(first, split);
  if (threaded) {
    pthread_join(thread, nullptr);
  } else if (ok) {
    run(&second);
  }
  if (!ok || !second.ok) {
    *error = ok ? tail.error : head.error;
    return false;
  }
  sections_ = std::move(head.sections);
  hashes_ = std::move(head.hashes);
  parentHashes_ = std::move(head.parentHashes);
  deletes_ = std::move(head.deletes);
  suspects_ = std::move(head.suspects);
  size_t offset = sections_.size();
  sections_.insert(sections_.end(), tail.sections.begin(), tail.sections.end());
  hashes_.insert(hashes_.end(), tail.hashes.begin(), tail.hashes.end());
  parentHashes_.insert(parentHashes_.end(), tail.parentHashes.begin(), tail.parentHashes.end());
  for (size_t i : tail.deletes) deletes_.push_back(offset + i);
  // The tail's first sections did not see their parents, which the head
  // read last; in an export those parents are on the head's last path.
  for (size_t i : tail.suspects) {
    bool seen = false;
    for (const Part::Ancestor& ancestor : head.ancestors) {
      seen = seen || (ancestor.hasSection && ancestor.depth + 1 == tail.sections[i].depth &&
                      foldHash(ancestor.hash) == tail.parentHashes[i]);
    }
    if (!seen) suspects_.push_back(offset + i);
  }
  return true;
}

bool RegSectionIndex::Part::addSection(size_t lineStart, size_t* next) {
  const RegText& t = text_;
  const size_t w = t.width;
  HeaderLine header;
  ParseError* error = &this->error;
  if (!readHeaderLine(t, lineStart, &header, error)) return false;
  *next = header.next;
  uint8_t kind = header.deletes ? kDeleteSection : kKeySection;
  // The key name as UTF-8, the way the registry calls spell it: the file's
  // own bytes in an 8-bit file.
  const char* key;
  size_t keySize;
  if (w == 1) {
    key = reinterpret_cast<const char*>(t.bytes + header.keyStart);
    keySize = header.keyEnd - header.keyStart;
  } else {
    if (!asciiUnits(t.bytes + header.keyStart, header.keyEnd - header.keyStart, &path_)) {
      path_ = utf16LEToUtf8(t.bytes + header.keyStart, header.keyEnd - header.keyStart);
    }
    key = path_.data();
    keySize = path_.size();
  }
  if (header.hasNul) {
    error->reason = "NUL character in a key name";
    return false;
  }
  size_t rootSize = hklmRootSize(key, keySize);
  if (rootSize == 0) {
    // Other roots are kept as they are; nothing here reaches them.
    push(lineStart, 0, kOtherRoot, 0, 0);
    return true;
  }
  const char* path = key + std::min(rootSize + 1, keySize);
  size_t pathSize = static_cast<size_t>(key + keySize - path);
  // Windows accepts one trailing backslash on a key path.
  if (pathSize > 0 && path[pathSize - 1] == '\\') --pathSize;
  if (pathSize == 0) {
    if (kind == kDeleteSection) {
      error->reason = "[-HKEY_LOCAL_MACHINE] would delete the whole registry";
      return false;
    }
    push(lineStart, 0, kind, foldHash(kHashSeed), 0);
    return true;
  }
  const char* lastSlash = static_cast<const char*>(memrchr(path, '\\', pathSize));
  size_t parentSize = lastSlash == nullptr ? 0 : static_cast<size_t>(lastSlash - path);
  const char* name = lastSlash == nullptr ? path : lastSlash + 1;
  size_t nameSize = static_cast<size_t>(path + pathSize - name);
  if (nameSize == 0 || (lastSlash != nullptr && parentSize == 0)) {
    error->reason = "empty key name between backslashes in a [key] line";
    return false;
  }
  // Exports list keys depth first, so the parent is nearly always on the
  // path of the section before, already hashed.
  while (ancestors.size() > 1 && ancestors.back().length > parentSize) ancestors.pop_back();
  size_t depth;
  uint64_t parentHash;
  bool parentHasSection = false;
  const Ancestor& top = ancestors.back();
  if (top.length == parentSize && (parentSize == 0 || memcmp(lastPathBytes_, path, parentSize) == 0)) {
    depth = top.depth + 1;
    parentHash = top.hash;
    parentHasSection = top.hasSection;
  } else {
    if (!hashWholePath(path, parentSize, &depth, &parentHash)) return false;
    ++depth;
  }
  if (depth > kMaxKeyDepth) {
    error->reason = "key nested deeper than 512 levels";
    return false;
  }
  uint64_t hash = hashComponent(parentHash, name, nameSize);
  size_t index = sections.size();
  if (kind == kDeleteSection) {
    deletes.push_back(index);
  } else if (!parentHasSection && depth > 1) {
    suspects.push_back(index);
  }
  push(lineStart, depth, kind, foldHash(hash), foldHash(parentHash));
  ancestors.emplace_back();
  Ancestor& added = ancestors.back();
  added.length = pathSize;
  added.hash = hash;
  added.depth = depth;
  added.hasSection = kind == kKeySection;
  if (w == 1) {
    lastPathBytes_ = path;
  } else {
    path_.swap(lastPath_);
    lastPathBytes_ = lastPath_.data() + (path - key);
  }
  return true;
}

void RegSectionIndex::Part::push(size_t lineStart, size_t depth, uint8_t kind, uint32_t hash, uint32_t parentHash) {
  sections.emplace_back();
  RegSection& section = sections.back();
  section.lineStart = static_cast<uint32_t>(lineStart);
  section.depth = static_cast<uint16_t>(depth);
  section.kind = kind;
  hashes.push_back(hash);
  parentHashes.push_back(parentHash);
}

// Hashes every component of a parent path that the sections before did not
// lead to, and puts its keys on the ancestor path in place of theirs.
bool RegSectionIndex::Part::hashWholePath(const char* path, size_t length, size_t* depth,
                                          uint64_t* parentHash) {
  ParseError* error = &this->error;
  ancestors.resize(1);
  uint64_t h = kHashSeed;
  size_t d = 0;
  for (size_t start = 0; start < length;) {
    const void* slash = memchr(path + start, '\\', length - start);
    size_t end = slash == nullptr ? length : static_cast<size_t>(static_cast<const char*>(slash) - path);
    if (end == start) {
      error->reason = "empty key name between backslashes in a [key] line";
      return false;
    }
    if (++d > kMaxKeyDepth) {
      error->reason = "key nested deeper than 512 levels";
      return false;
    }
    h = hashComponent(h, path + start, end - start);
    ancestors.push_back(Ancestor{end, h, d, false});
    start = end + 1;
  }
  if (length > 0 && path[length - 1] == '\\') {
    error->reason = "empty key name between backslashes in a [key] line";
    return false;
  }
  *depth = d;
  *parentHash = h;
  return true;
}

size_t RegSectionIndex::HashLookup::next(const std::vector<uint32_t>& hashes, uint32_t hash, size_t from) {
  if (sorted_.empty() && compared_ > kPassesBeforeSorting * hashes.size()) {
    sorted_.reserve(hashes.size());
    for (size_t i = 0; i < hashes.size(); ++i) sorted_.push_back(uint64_t(hashes[i]) << 32 | i);
    std::sort(sorted_.begin(), sorted_.end());
  }
  if (sorted_.empty()) {
    size_t found = findHash(hashes, from, hash);
    compared_ += found - from + 1;
    return found;
  }
  // Sections fit in 32 bits: the store is at most 1 GiB, and a section at least a few bytes.
  auto at = std::lower_bound(sorted_.begin(), sorted_.end(), uint64_t(hash) << 32 | from);
  return at != sorted_.end() && (*at >> 32) == hash ? static_cast<size_t>(*at & 0xFFFFFFFFu) : hashes.size();
}

size_t RegSectionIndex::bodyStart(size_t i) const {
  return lineAt(text_, sections_[i].lineStart, text_.end).next;
}

// The key path of an HKEY_LOCAL_MACHINE section in the file's bytes, read
// again from its [key] line, which the index has already found well formed.
void RegSectionIndex::pathRange(size_t i, size_t* start, size_t* end) const {
  const size_t w = text_.width;
  HeaderLine header;
  ParseError unused;
  readHeaderLine(text_, sections_[i].lineStart, &header, &unused);
  // The root is HKLM when a backslash or the end follows its fourth letter.
  size_t rootUnits = 18;
  size_t afterShort = header.keyStart + 4 * w;
  if (afterShort >= header.keyEnd || text_.at(afterShort) == '\\') rootUnits = 4;
  *start = std::min(header.keyStart + (rootUnits + 1) * w, header.keyEnd);
  *end = header.keyEnd;
  if (*end > *start && text_.at(*end - w) == '\\') *end -= w;
}

std::string RegSectionIndex::pathOf(size_t i) const {
  size_t start = 0;
  size_t end = 0;
  pathRange(i, &start, &end);
  if (!text_.wide()) return std::string(reinterpret_cast<const char*>(text_.bytes + start), end - start);
  return utf16LEToUtf8(text_.bytes + start, end - start);
}

// Whether section `i` names `path` itself (exact) or a key below it.
bool RegSectionIndex::hasPrefix(size_t i, const RegKeyPath& path, bool exact) const {
  if (path.depth() == 0) return !exact;
  std::string own = pathOf(i);
  size_t length = prefixLength(own, path.depth());
  if (length == std::string::npos) return false;
  if (exact != (length == own.size())) return false;
  return sameRegistryName(own.substr(0, length), path.text);
}

bool RegSectionIndex::isUnder(size_t i, const RegKeyPath& path) const {
  return sections_[i].kind == kKeySection && sections_[i].depth > path.depth() && hasPrefix(i, path, false);
}

// Sections below a key that has no section of its own, which are the only
// way to learn of that key (apart from a [-key] listed before them).
const std::vector<size_t>& RegSectionIndex::orphans() const {
  if (orphansKnown_) return orphans_;
  orphansKnown_ = true;
  if (suspects_.empty()) return orphans_;
  // A suspect whose parent has a section is no orphan. A few suspects (the
  // first sections of exports joined into one file) are looked up one by
  // one; many are looked up among the key sections sorted by hash.
  const size_t kFewSuspects = 64;
  std::vector<std::pair<uint32_t, size_t>> keys;
  if (suspects_.size() > kFewSuspects) {
    keys.reserve(sections_.size());
    for (size_t i = 0; i < sections_.size(); ++i) {
      if (sections_[i].kind == kKeySection) keys.emplace_back(hashes_[i], i);
    }
    std::sort(keys.begin(), keys.end());
  }
  for (size_t i : suspects_) {
    std::string own = pathOf(i);
    RegKeyPath parent = makeKeyPath(own.substr(0, own.rfind('\\')));
    uint32_t h = parentHashes_[i];
    auto isParent = [&](size_t candidate) {
      return sections_[candidate].kind == kKeySection && sections_[candidate].depth == parent.depth() &&
             hasPrefix(candidate, parent, true);
    };
    bool found = false;
    if (keys.empty()) {
      for (size_t k = byHash_.next(hashes_, h, 0); !found && k < sections_.size(); k = byHash_.next(hashes_, h, k + 1)) {
        found = isParent(k);
      }
    } else {
      auto at = std::lower_bound(keys.begin(), keys.end(), std::make_pair(h, size_t(0)));
      for (; !found && at != keys.end() && at->first == h; ++at) found = isParent(at->second);
    }
    if (!found) orphans_.push_back(i);
  }
  return orphans_;
}

// Sections before the last [-key] that deletes `path` or an ancestor no
// longer count for it: the first one that does.
size_t RegSectionIndex::firstLiveSection(const RegKeyPath& path) const {
  for (size_t k = deletes_.size(); k-- > 0;) {
    size_t i = deletes_[k];
    const RegSection& s = sections_[i];
    if (s.depth <= path.depth() && hashes_[i] == foldHash(path.prefixHashes[s.depth - 1])) {
      size_t length = prefixLength(path.text, s.depth);
      if (sameRegistryName(pathOf(i), path.text.substr(0, length))) return i + 1;
    }
  }
  return 0;
}

// Whether a [-key] after section `i` deletes `key`, which section `i`
// created as a subkey of a live key (so only a [-key] naming it can).
bool RegSectionIndex::deletedAfter(size_t i, const RegKeyPath& key) const {
  for (size_t k = deletes_.size(); k-- > 0 && deletes_[k] > i;) {
    size_t d = deletes_[k];
    if (hashes_[d] == foldHash(key.prefixHashes.back()) && hasPrefix(d, key, true)) return true;
  }
  return false;
}

// Without [-key] sections a key exists when a section names it, names a
// subkey, or is an orphan below it. With them, liveness depends on order,
// and the sections are read one by one instead.
size_t RegSectionIndex::firstDescendant(const RegKeyPath& path) const {
  if (!path.valid) return sections_.size();
  if (!deletes_.empty()) {
    for (size_t i = firstLiveSection(path); i < sections_.size(); ++i) {
      if (isUnder(i, path)) return i;
    }
    return sections_.size();
  }
  uint32_t h = foldHash(path.depth() == 0 ? kHashSeed : path.prefixHashes.back());
  size_t first = sections_.size();
  for (size_t i = byParentHash_.next(parentHashes_, h, 0); i < first; i = byParentHash_.next(parentHashes_, h, i + 1)) {
    if (isUnder(i, path)) first = i;
  }
  for (size_t i : orphans()) {
    if (i < first && isUnder(i, path)) first = i;
  }
  return first;
}

std::vector<std::string> RegSectionIndex::subkeys(const RegKeyPath& path) const {
  std::vector<std::string> names;
  if (!path.valid) return names;
  const size_t w = text_.width;
  size_t depth = path.depth();
  uint64_t state = depth == 0 ? kHashSeed : path.prefixHashes.back();
  std::vector<std::pair<uint32_t, size_t>> hashes;  // of each name, by its place in `names`
  auto add = [&](size_t i, std::string child) {
    uint64_t childHash = hashComponent(state, child.data(), child.size());
    if (!deletes_.empty()) {
      RegKeyPath key;
      key.text = depth == 0 ? child : path.text + "\\" + child;
      key.prefixHashes = path.prefixHashes;
      key.prefixHashes.push_back(childHash);
      if (deletedAfter(i, key)) return;
    }
    hashes.emplace_back(foldHash(childHash), names.size());
    names.push_back(std::move(child));
  };
  auto childOf = [&](size_t i) {
    std::string own = pathOf(i);
    size_t begin = depth == 0 ? 0 : prefixLength(own, depth) + 1;
    size_t end = own.find('\\', begin);
    return own.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
  };
  if (!deletes_.empty()) {
    for (size_t i = firstLiveSection(path); i < sections_.size(); ++i) {
      if (isUnder(i, path)) add(i, childOf(i));
    }
  } else {
    // A key may have a million subkeys. Their sections nearly always spell
    // the parent alike, so once one is checked the others are compared
    // byte for byte and only their own names are decoded.
    std::string parentBytes;
    bool parentKnown = false;
    uint32_t h = foldHash(state);
    for (size_t i = byParentHash_.next(parentHashes_, h, 0); i < sections_.size();
         i = byParentHash_.next(parentHashes_, h, i + 1)) {
      if (sections_[i].kind != kKeySection || sections_[i].depth != depth + 1) continue;
      size_t start = 0;
      size_t end = 0;
      pathRange(i, &start, &end);
      size_t split = start + parentBytes.size();
      bool sameParent = parentKnown && split + w < end && text_.at(split) == '\\' &&
                        memcmp(text_.bytes + start, parentBytes.data(), parentBytes.size()) == 0;
      if (!sameParent) {
        if (!hasPrefix(i, path, false)) continue;
        // The parent ends at the last backslash of this one's path.
        split = end - w;
        while (split > start && text_.at(split) != '\\') split -= w;
        if (depth == 0) split = start - w;
        parentBytes.assign(reinterpret_cast<const char*>(text_.bytes + start), split > start ? split - start : 0);
        parentKnown = depth > 0;
      }
      size_t nameStart = depth == 0 ? start : split + w;
      add(i, w == 1 ? std::string(reinterpret_cast<const char*>(text_.bytes + nameStart), end - nameStart)
                    : utf16LEToUtf8(text_.bytes + nameStart, end - nameStart));
    }
    for (size_t i : orphans()) {
      if (isUnder(i, path)) add(i, childOf(i));
    }
  }
  // Each name once, as first spelled: equal names have equal hashes.
  std::sort(hashes.begin(), hashes.end());
  std::vector<bool> repeated(names.size(), false);
  for (size_t run = 0; run < hashes.size();) {
    size_t runEnd = run + 1;
    while (runEnd < hashes.size() && hashes[runEnd].first == hashes[run].first) ++runEnd;
    for (size_t a = run; a < runEnd; ++a) {
      for (size_t b = run; b < a && !repeated[hashes[a].second]; ++b) {
        repeated[hashes[a].second] = !repeated[hashes[b].second] &&
                                     sameRegistryName(names[hashes[a].second], names[hashes[b].second]);
      }
    }
    run = runEnd;
  }
  size_t kept = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    if (repeated[i]) continue;
    if (kept != i) names[kept] = std::move(names[i]);
    ++kept;
  }
  names.resize(kept);
  return names;
}

std::vector<size_t> RegSectionIndex::sectionsOf(const RegKeyPath& path) const {
  std::vector<size_t> found;
  if (!path.valid || path.depth() == 0) return found;
  uint32_t h = foldHash(path.prefixHashes.back());
  for (size_t i = byHash_.next(hashes_, h, firstLiveSection(path)); i < sections_.size();
       i = byHash_.next(hashes_, h, i + 1)) {
    if (sections_[i].kind == kKeySection && hasPrefix(i, path, true)) found.push_back(i);
  }
  return found;
}

std::string RegSectionIndex::spelledKey(size_t i, size_t depth) const {
  size_t pathStart = 0;
  size_t pathEnd = 0;
  pathRange(i, &pathStart, &pathEnd);
  HeaderLine header;
  ParseError unused;
  readHeaderLine(text_, sections_[i].lineStart, &header, &unused);
  std::string root;
  for (size_t p = header.keyStart; p < pathStart; p += text_.width) {
    root.push_back(static_cast<char>(text_.at(p)));
  }
  std::string path = pathOf(i);
  return root + path.substr(0, prefixLength(path, depth));
}

}  // namespace standin
