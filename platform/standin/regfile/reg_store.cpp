// The registry export store: a .reg file as regedit and `reg export` write
// it, meaning what importing it into an empty registry would leave.
//
// Opening maps the file and finds its [key] lines without decoding any
// value; a key's values are decoded when the run first reads or writes it,
// and the rest of the file is checked while its new version is written.
// A run that changes something writes the file anew from the bytes it read,
// with only the changed values' lines replaced, so everything else comes
// back byte for byte: the order, the comments, the encoding.
//
// The file is mapped for as long as the store lives. Runs never change a
// store in place, they rename a new file over it, so the mapped bytes stay
// those that were read. Another program may still rewrite or cut the file
// in place; the store then reports that the file changed, and writes nothing.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>

#include "platform/standin/files/file_window.h"
#include "platform/standin/files/mapping_guard.h"
#include "platform/standin/files/store_file.h"
#include "platform/standin/regfile/reg_index.h"
#include "platform/standin/regfile/reg_syntax.h"
#include "platform/standin/registry_store.h"
#include "platform/standin/standin_hooks.h"
#include "platform/standin/standin_text.h"

namespace standin {

namespace {

// Far beyond any export of a real machine; the index keeps 32-bit offsets.
const size_t kMaxStoreSize = size_t(1) << 30;
// Stores up to this size are read in full when opened, which costs about a
// millisecond. A real machine's export is a hundred times larger, and reading
// all of it would cost a listing run several times what reading the file
// does: its [key] lines are checked when it is opened, a key's values when
// they are first read, and all of it before a new version replaces it.
const size_t kCheckedOnOpen = size_t(1) << 20;
// A header line is short; a longer first line is no export, and is not read on.
const size_t kMaxHeaderUnits = 128;
// The whole file is checked in stretches of a window's size, which two
// threads take in turn.
const size_t kCheckStretch = kFileWindowSize;
// The new file is written in steps of this many bytes, each handed to the
// disk at once.
const size_t kWriteStep = size_t(4) << 20;

const char kHeader4[] = "REGEDIT4";
const char kHeader5[] = "Windows Registry Editor Version 5.00";

// A value line of the file as the run sees it.
struct FileEntry {
  RegEntry line;
  size_t section = 0;
  bool changed = false;  // rewrite its lines with the new value
  bool removed = false;  // drop its lines
};

// A key that the run has looked up: its sections are found once, its values
// read when the run first reads or writes one.
struct KeyState {
  RegKeyPath path;
  bool exists = false;
  std::vector<size_t> sections;   // its live sections, in file order
  bool read = false;
  std::vector<FileEntry> entries;  // their value lines, in file order
  std::vector<RegEntry> added;     // values new in this run, in the order set
};

struct CurrentEntry {
  RegEntry* line = nullptr;
  FileEntry* fileEntry = nullptr;
};

// One change to the file's bytes: [start, end) is replaced by `bytes`.
struct Edit {
  // Among edits at one place, the order they apply in: a line rewritten or
  // dropped, then values appended to a section, then a new section.
  enum Order { kLine, kAppendedValues, kNewSection };
  size_t start;
  size_t end;
  Order order;
  std::string bytes;
};

// The keys a run has looked up, by the hash of their path, as indices into
// the run's list of keys: open addressing over a table of a power of two
// slots, which a listing of a million cards fills without the node and
// division per key of a std::unordered_multimap.
class KeyTable {
 public:
  // The indices of keys whose path has `hash`: candidates, in turn.
  template <typename Match>
  size_t find(uint64_t hash, Match match) const {
    if (slots_.empty()) return kNone;
    for (size_t at = hash & (slots_.size() - 1);; at = (at + 1) & (slots_.size() - 1)) {
      const Slot& slot = slots_[at];
      if (slot.index == kNone) return kNone;
      if (slot.hash == hash && match(slot.index)) return slot.index;
    }
  }
  void add(uint64_t hash, size_t index) {
    // At most half full, so that a probe meets an empty slot soon.
    if (2 * (used_ + 1) > slots_.size()) {
      std::vector<Slot> old(std::max<size_t>(64, 2 * slots_.size()));
      old.swap(slots_);
      used_ = 0;
      for (const Slot& slot : old) {
        if (slot.index != kNone) add(slot.hash, slot.index);
      }
    }
    size_t at = hash & (slots_.size() - 1);
    while (slots_[at].index != kNone) at = (at + 1) & (slots_.size() - 1);
    slots_[at] = Slot{hash, index};
    ++used_;
  }

  static const size_t kNone = ~size_t(0);

 private:
  struct Slot {
    uint64_t hash = 0;
    size_t index = kNone;
  };
  std::vector<Slot> slots_;
  size_t used_ = 0;
};

// FNV-1a over the folded path, which names equal but for case share.
uint64_t keyHash(const RegKeyPath& path) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (char16_t unit : path.folded) h = (h ^ static_cast<uint64_t>(unit)) * 0x100000001B3ull;
  return h;
}

bool sameValue(const StoreValue& a, const StoreValue& b) { return a.type == b.type && a.data == b.data; }

class RegFileStore : public RegistryStore {
 public:
  explicit RegFileStore(const std::string& name) : name_(name) {}
  ~RegFileStore() override;

  bool openFile(const std::string& path, std::string* error);
  bool openText(const std::string& bytes, std::string* committed, std::string* error);

  bool keyExists(const std::string& path) override;
  std::vector<std::string> subkeys(const std::string& path) override;
  bool getValue(const std::string& path, const std::string& name, StoreValue* value) override;
  bool setValue(const std::string& path, const std::string& name, const StoreValue& value) override;
  bool deleteValue(const std::string& path, const std::string& name) override;
  bool commit(std::string* error) override;
  bool replacedSinceRead() const override { return replaced_; }

 private:
  void beginChanges();
  bool load(std::string* error);
  std::string parseMessage(const ParseError& error) const;
  void noteError(const ParseError& error);
  bool readSection(size_t section, std::vector<FileEntry>* entries);
  bool checkAllSections(const std::function<bool(const std::atomic<bool>& failed)>& alongside = nullptr);
  KeyState* lookUp(const std::string& path);
  KeyState* remember(std::unique_ptr<KeyState> state);
  KeyState* keyState(const std::string& path);
  CurrentEntry currentEntry(KeyState* key, const std::string& name);
  std::string encode(const std::string& utf8) const;
  size_t lineEndLength(size_t end) const;
  void collectEdits(const KeyState& key, std::vector<Edit>* edits);
  std::vector<struct iovec> newText(const std::vector<Edit>& edits) const;
  bool writePieces(int fd, const std::vector<struct iovec>& pieces, const std::atomic<bool>& failed,
                   std::string* error) const;
  bool writeFile(const std::vector<Edit>& edits, std::string* error);

  std::string name_;  // the file's path, as messages name it
  LockedFile file_;
  bool hasFile_ = false;
  void* mapping_ = nullptr;
  size_t mappingSize_ = 0;
  std::string memory_;  // the bytes, when they are not mapped
  std::string* committed_ = nullptr;  // receives what commit would write, for a store in memory
  RegText text_;
  std::string lineEnd_ = "\r\n";
  RegSectionIndex index_;
  std::vector<bool> checked_;  // sections whose lines have been read
  std::vector<std::unique_ptr<KeyState>> keys_;
  KeyTable keyTable_;
  KeyState* lastKey_ = nullptr;  // the key looked up last
  std::string error_;  // the first parse error met after opening
  bool dirty_ = false;
  bool changing_ = false;    // the run has made its first change
  bool replaced_ = false;    // and found the file replaced since it was read
  std::string changeError_;  // why the changes cannot be written
};

RegFileStore::~RegFileStore() {
  if (mapping_ != nullptr) {
    unguardMappedFile(mapping_);
    munmap(mapping_, mappingSize_);
  }
}

bool RegFileStore::openFile(const std::string& path, std::string* error) {
  if (!openStoreFile(path, "registry store", &file_, error)) return false;
  hasFile_ = true;
  struct stat info;
  if (fstat(file_.fd, &info) != 0) {
    *error = "Cannot read registry store " + name_ + ": " + strerror(errno);
    return false;
  }
  size_t size = static_cast<size_t>(info.st_size);
  if (info.st_size < 0 || size > kMaxStoreSize) {
    *error = "Cannot open registry store " + name_ + ": larger than 1 GiB, the most a store may hold";
    return false;
  }
  // An empty file is not mapped; its text is the empty string's, so that no
  // reader is handed a null pointer, even for no bytes.
  text_.bytes = reinterpret_cast<const uint8_t*>(memory_.data());
  if (size > 0) {
    // Mapped, a key's lines are read in place when the run first uses the
    // key, and nothing else of the file is; what reads all of it goes
    // through the descriptor, a window at a time, which costs less here
    // than paging the mapping in. A failure (an odd file system) falls back
    // to reading the whole file.
    void* mapping = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file_.fd, 0);
    if (mapping != MAP_FAILED) {
      mapping_ = mapping;
      mappingSize_ = size;
      guardMappedFile(mapping, size);
      stopForTest("mapped");
      text_.bytes = static_cast<const uint8_t*>(mapping);
    } else {
      memory_.resize(size);
      if (readFileAt(file_.fd, &memory_[0], 0, size) != size) {
        *error = "Cannot read registry store " + name_ + ": " +
                 (errno == 0 ? "the file shrank while it was read" : strerror(errno));
        return false;
      }
      text_.bytes = reinterpret_cast<const uint8_t*>(memory_.data());
    }
  }
  text_.end = size;
  bool loaded = load(error);
  // What the file held is no answer once another program changed it:
  // not even a parse error.
  return checkUnchanged(file_, error) && loaded;
}

bool RegFileStore::openText(const std::string& bytes, std::string* committed, std::string* error) {
  committed_ = committed;
  if (bytes.size() > kMaxStoreSize) {
    *error = "Cannot open registry store " + name_ + ": larger than 1 GiB, the most a store may hold";
    return false;
  }
  memory_ = bytes;
  text_.bytes = reinterpret_cast<const uint8_t*>(memory_.data());
  text_.end = memory_.size();
  return load(error);
}

std::string RegFileStore::parseMessage(const ParseError& error) const {
  return "Registry store " + name_ + ", line " + std::to_string(lineNumberAt(text_, error.offset)) +
         ": " + error.reason;
}

void RegFileStore::noteError(const ParseError& error) {
  if (error_.empty()) error_ = parseMessage(error);
}

// Recognises the flavour from the first bytes: a UTF-16LE byte-order mark
// means UTF-16 text, as regedit writes Version 5.00; anything else is 8-bit
// text, which also takes a Version 5.00 header saved without its mark (as
// `reg import` does). The header line decides nothing else.
bool RegFileStore::load(std::string* error) {
  const uint8_t* b = text_.bytes;
  size_t size = text_.end;
  ParseError problem;
  if (size >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
    text_.width = 2;
    text_.begin = 2;
    if ((size - 2) % 2 != 0) {
      text_.end = size - 1;
      problem.offset = text_.end;
      problem.reason = "UTF-16 text with an odd number of bytes: the file is cut short";
      *error = parseMessage(problem);
      return false;
    }
  } else if (size >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
    text_.begin = 3;
  }
  text_.end = size;
  size_t limit = std::min(text_.end, text_.begin + kMaxHeaderUnits * text_.width);
  RegLine header = lineAt(text_, text_.begin, limit);
  std::string first;
  for (size_t p = header.start; p < header.contentEnd; p += text_.width) {
    uint32_t unit = text_.at(p);
    first.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  }
  size_t from = first.find_first_not_of(" \t");
  size_t to = first.find_last_not_of(" \t");
  first = from == std::string::npos ? "" : first.substr(from, to - from + 1);
  bool ended = header.next > header.contentEnd || header.contentEnd == text_.end;
  if (!ended || (first != kHeader4 && first != kHeader5)) {
    problem.offset = text_.begin;
    problem.reason = std::string("not a registry export: the first line must be ") + kHeader4 +
                     " or " + kHeader5;
    *error = parseMessage(problem);
    return false;
  }
  if (header.next > header.contentEnd) {
    lineEnd_.clear();
    for (size_t p = header.contentEnd; p < header.next; p += text_.width) {
      lineEnd_.push_back(static_cast<char>(text_.at(p)));
    }
  }
  if (!index_.build(text_, header.next, mapping_ != nullptr ? file_.fd : -1, &problem)) {
    *error = parseMessage(problem);
    return false;
  }
  checked_.assign(index_.size(), false);
  if (text_.end - text_.begin <= kCheckedOnOpen && !checkAllSections()) {
    *error = error_;
    return false;
  }
  return true;
}

// Decodes the value lines of a section the run uses.
bool RegFileStore::readSection(size_t section, std::vector<FileEntry>* entries) {
  checked_[section] = true;
  size_t limit = index_.sectionEnd(section);
  FileEntry entry;
  entry.section = section;
  ParseError problem;
  for (size_t p = index_.bodyStart(section); p < limit;) {
    bool isEntry = false;
    p = readBodyLine(text_, p, limit, true, &entry.line, &isEntry, &problem);
    if (p == 0) {
      noteError(problem);
      return false;
    }
    if (isEntry) {
      entry.line.scratch.clear();
      entries->push_back(entry);
    }
  }
  return true;
}

// Checks the lines of every section that no key the run used has read;
// true when all of them read. A large file is checked by two threads,
// stretch by stretch, and the first error in the file is the one kept.
// Meanwhile the calling thread runs `alongside`, which is told when a
// stretch has failed, and then joins in; its result is returned when the
// file reads in full.
bool RegFileStore::checkAllSections(const std::function<bool(const std::atomic<bool>& failed)>& alongside) {
  if (!error_.empty()) return false;
  struct Check {
    const RegFileStore* store;
    std::vector<size_t> starts;  // each stretch's first section, and size() last
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex lock;  // over the error
    std::atomic<size_t> failedStretch{~size_t(0)};
    ParseError error;

    void work() {
      const RegSectionIndex& index = store->index_;
      const int fd = store->mapping_ != nullptr ? store->file_.fd : -1;
      FileWindow file;
      ParseError problem;
      for (size_t k; (k = next++) + 1 < starts.size();) {
        // A stretch after one that failed cannot hold the first error.
        if (failed && k > failedStretch) return;
        // A mapped file's stretch is read again through its descriptor; a
        // file cut short under the run is read in place, as zeros.
        RegText window = store->text_;
        size_t base = 0;
        size_t end = index.sectionEnd(starts[k + 1] - 1);
        if (fd >= 0) {
          size_t start = index.section(starts[k]).lineStart;
          if (file.read(fd, start, end - start) == end - start) {
            window = RegText{file.data(), 0, end - start, window.width};
            base = start;
          }
        }
        for (size_t i = starts[k]; i < starts[k + 1]; ++i) {
          size_t limit = index.sectionEnd(i) - base;
          if (store->checked_[i] ||
              checkBodyLines(window, lineAt(window, index.section(i).pathEnd - base, limit).next, limit, &problem)) {
            continue;
          }
          problem.offset += base;
          std::lock_guard<std::mutex> hold(lock);
          if (k < failedStretch) {
            failedStretch = k;
            error = problem;
          }
          failed = true;
          return;
        }
      }
    }
  } check;
  check.store = this;
  for (size_t i = 0; i < index_.size(); ++i) {
    if (check.starts.empty() ||
        index_.section(i).lineStart - index_.section(check.starts.back()).lineStart >= kCheckStretch) {
      check.starts.push_back(i);
    }
  }
  check.starts.push_back(index_.size());
  SecondThread helper;
  helper.start(text_.end - text_.begin >= kTwoThreadFileSize, [&check] { check.work(); });
  bool done = !alongside || alongside(check.failed);
  check.work();
  helper.join();
  if (check.failed) {
    noteError(check.error);
    return false;
  }
  checked_.assign(index_.size(), true);
  return done;
}

KeyState* RegFileStore::lookUp(const std::string& path) {
  // A run reads a key's values right after it opens it, so the key asked
  // for is most often the one before, spelled alike; a listing of a
  // million cards asks for each one three times in a row.
  if (lastKey_ != nullptr && lastKey_->path.text == path) return lastKey_;
  RegKeyPath key = makeKeyPath(path);
  size_t known = keyTable_.find(keyHash(key), [&](size_t i) { return keys_[i]->path.folded == key.folded; });
  if (known != KeyTable::kNone) return lastKey_ = keys_[known].get();
  std::unique_ptr<KeyState> state(new KeyState);
  if (key.depth > 0) {
    state->sections = index_.sectionsOf(key);
    state->exists = !state->sections.empty() || index_.firstDescendant(key) < index_.size();
  }
  state->path = std::move(key);
  return remember(std::move(state));
}

KeyState* RegFileStore::remember(std::unique_ptr<KeyState> state) {
  keyTable_.add(keyHash(state->path), keys_.size());
  keys_.push_back(std::move(state));
  return lastKey_ = keys_.back().get();
}

// A key whose values the run reads or writes; null when it does not exist.
KeyState* RegFileStore::keyState(const std::string& path) {
  KeyState* state = lookUp(path);
  if (!state->exists) return nullptr;
  if (!state->read) {
    state->read = true;
    for (size_t section : state->sections) readSection(section, &state->entries);
  }
  return state;
}

// The line that decides a value now: the last one naming it, since importing
// the file goes line by line and a later line wins. `line` is null when
// there is none; `fileEntry` is set when the line is in the file.
CurrentEntry RegFileStore::currentEntry(KeyState* key, const std::string& name) {
  CurrentEntry found;
  for (size_t i = key->added.size(); i-- > 0;) {
    if (sameRegistryName(key->added[i].name, name)) {
      found.line = &key->added[i];
      return found;
    }
  }
  for (size_t i = key->entries.size(); i-- > 0;) {
    FileEntry& entry = key->entries[i];
    if (!entry.removed && sameRegistryName(entry.line.name, name)) {
      found.line = &entry.line;
      found.fileEntry = &entry;
      return found;
    }
  }
  return found;
}

bool RegFileStore::keyExists(const std::string& path) {
  // The root exists, but has no values this store can reach.
  return path.empty() || lookUp(path)->exists;
}

std::vector<std::string> RegFileStore::subkeys(const std::string& path) {
  return index_.subkeys(makeKeyPath(path));
}

bool RegFileStore::getValue(const std::string& path, const std::string& name, StoreValue* value) {
  KeyState* key = keyState(path);
  if (key == nullptr) return false;
  RegEntry* entry = currentEntry(key, name).line;
  if (entry == nullptr || entry->removes) return false;
  *value = entry->value;
  return true;
}

// A listing never waits for a lock; a run that changes the store takes it
// here. A failure is kept for commit(), as is a file changed under the run,
// so that the run's output is the same whenever it happens.
void RegFileStore::beginChanges() {
  if (changing_ || !hasFile_) return;
  changing_ = true;
  lockForChange({&file_}, &changeError_, &replaced_);
}

bool RegFileStore::setValue(const std::string& path, const std::string& name, const StoreValue& value) {
  KeyState* key = keyState(path);
  if (key == nullptr || !canWriteValueName(name)) return false;
  CurrentEntry current = currentEntry(key, name);
  if (current.line != nullptr && !current.line->removes) {
    // Setting what is already there changes nothing, so the file stays as it is.
    if (sameValue(current.line->value, value)) return true;
    beginChanges();
    current.line->value = value;
    if (current.fileEntry != nullptr) current.fileEntry->changed = true;
  } else {
    beginChanges();
    RegEntry added;
    added.name = name;
    added.value = value;
    key->added.push_back(added);
  }
  dirty_ = true;
  return true;
}

bool RegFileStore::deleteValue(const std::string& path, const std::string& name) {
  KeyState* key = keyState(path);
  if (key == nullptr) return false;
  RegEntry* entry = currentEntry(key, name).line;
  if (entry == nullptr || entry->removes) return false;
  beginChanges();
  // Every line that sets the value goes, or an earlier one would count again.
  for (FileEntry& fileEntry : key->entries) {
    if (!fileEntry.removed && !fileEntry.line.removes && sameRegistryName(fileEntry.line.name, name)) {
      fileEntry.removed = true;
    }
  }
  key->added.erase(std::remove_if(key->added.begin(), key->added.end(),
                                  [&name](const RegEntry& added) { return sameRegistryName(added.name, name); }),
                   key->added.end());
  dirty_ = true;
  return true;
}

std::string RegFileStore::encode(const std::string& utf8) const {
  if (!text_.wide()) return utf8;
  std::vector<uint8_t> bytes = utf8ToUtf16LE(utf8.data(), utf8.size());
  return std::string(bytes.begin(), bytes.end());
}

// The length in bytes of the line end just before `end`, 0 if there is none.
size_t RegFileStore::lineEndLength(size_t end) const {
  const size_t w = text_.width;
  if (end < text_.begin + w) return 0;
  uint32_t last = text_.at(end - w);
  if (last == '\r') return w;
  if (last != '\n') return 0;
  return end >= text_.begin + 2 * w && text_.at(end - 2 * w) == '\r' ? 2 * w : w;
}

void RegFileStore::collectEdits(const KeyState& key, std::vector<Edit>* edits) {
  const size_t w = text_.width;
  size_t lastSection = key.sections.empty() ? index_.size() : key.sections.back();
  size_t lastEnd = key.sections.empty() ? 0 : index_.bodyStart(lastSection);
  for (const FileEntry& entry : key.entries) {
    const RegEntry& line = entry.line;
    if (entry.section == lastSection) lastEnd = std::max(lastEnd, line.end);
    if (!entry.removed && !entry.changed) continue;
    Edit edit{line.start, line.end, Edit::kLine, std::string()};
    if (entry.changed) {
      // The name stays as the file spells it; the data is written anew,
      // ending the way the old line ended.
      size_t column = 0;
      if (w == 2) {
        column = (line.nameEnd - line.start) / 2;
      } else {
        column = utf16Length(std::string(reinterpret_cast<const char*>(text_.bytes + line.start),
                                         line.nameEnd - line.start));
      }
      size_t ending = lineEndLength(line.end);
      edit.bytes.assign(reinterpret_cast<const char*>(text_.bytes + line.start), line.nameEnd - line.start);
      edit.bytes += encode(formatValueData(line.value, text_.wide(), column, lineEnd_));
      edit.bytes.append(reinterpret_cast<const char*>(text_.bytes + line.end - ending), ending);
    }
    edits->push_back(edit);
  }
  if (key.added.empty()) return;
  std::string lines;
  for (const RegEntry& added : key.added) {
    std::string name = formatValueName(added.name);
    lines += name + formatValueData(added.value, text_.wide(), utf16Length(name), lineEnd_) + lineEnd_;
  }
  if (!key.sections.empty()) {
    // New values go after the last value of the key's last section.
    std::string prefix = lastEnd == text_.end && lineEndLength(lastEnd) == 0 ? lineEnd_ : std::string();
    edits->push_back(Edit{lastEnd, lastEnd, Edit::kAppendedValues, encode(prefix + lines)});
    return;
  }
  // A key with no section of its own gets one before its first subkey's.
  size_t before = index_.firstDescendant(key.path);
  std::string section = "[" + index_.spelledKey(before, key.path.depth) + "]" + lineEnd_ + lines + lineEnd_;
  size_t at = index_.section(before).lineStart;
  edits->push_back(Edit{at, at, Edit::kNewSection, encode(section)});
}

// The new file as pieces of the old bytes and of the edits, in order; the
// edits are sorted by where they apply.
std::vector<struct iovec> RegFileStore::newText(const std::vector<Edit>& edits) const {
  std::vector<struct iovec> pieces;
  size_t cursor = 0;
  auto add = [&pieces](const void* data, size_t size) {
    if (size > 0) pieces.push_back(iovec{const_cast<void*>(data), size});
  };
  for (const Edit& edit : edits) {
    add(text_.bytes + cursor, edit.start - cursor);
    add(edit.bytes.data(), edit.bytes.size());
    cursor = edit.end;
  }
  add(text_.bytes + cursor, text_.end - cursor);
  return pieces;
}

// Writes the pieces in order, in steps each handed to the disk as soon as
// it is written, so that little is left to flush at the end. What the new
// file keeps of the old one the kernel copies from the old file, which costs
// what a copy with dd does, where writing it from the mapping would page
// the mapping in. Stops early, its work wasted, once `failed` is set.
bool RegFileStore::writePieces(int fd, const std::vector<struct iovec>& pieces, const std::atomic<bool>& failed,
                               std::string* error) const {
  bool copying = mapping_ != nullptr;
  const uintptr_t mapped = reinterpret_cast<uintptr_t>(text_.bytes);
  off_t done = 0;
  off_t handed = 0;  // bytes handed to the disk
  for (const struct iovec& piece : pieces) {
    const char* data = static_cast<const char*>(piece.iov_base);
    uintptr_t at = reinterpret_cast<uintptr_t>(data);
    bool kept = at >= mapped && at < mapped + text_.end;
    for (size_t left = piece.iov_len; left > 0;) {
      if (failed) return true;
      size_t step = std::min(left, kWriteStep);
      ssize_t n;
      if (kept && copying) {
        loff_t from = static_cast<loff_t>(data - reinterpret_cast<const char*>(text_.bytes));
        n = copy_file_range(file_.fd, &from, fd, nullptr, step, 0);
        // A file system that cannot copy gets the bytes written instead.
        if (n < 0 && errno != EINTR) {
          copying = false;
          continue;
        }
      } else {
        n = write(fd, data, step);
      }
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        *error = "Cannot write registry store " + name_ + ": " + strerror(n < 0 ? errno : EIO);
        return false;
      }
      data += n;
      left -= static_cast<size_t>(n);
      done += n;
      if (done - handed >= static_cast<off_t>(kWriteStep)) {
        sync_file_range(fd, handed, done - handed, SYNC_FILE_RANGE_WRITE);
        handed = done;
      }
    }
  }
  return true;
}

// A store is only ever replaced by one that reads in full. Checking it and
// writing its new version beside it each read the whole file, so they run
// side by side; a store that fails the check is left as it was, and the
// new file removed.
bool RegFileStore::writeFile(const std::vector<Edit>& edits, std::string* error) {
  // Once nothing reads the old file any more, its pages are dropped from
  // the page cache while the new file is flushed: freeing a large file's
  // pages is a good part of what deleting it costs, and the rename deletes it.
  SecondThread dropOldPages;
  const int oldFile = file_.fd;
  auto fill = [&](int fd, const std::string&, std::string* writeError) {
    std::vector<struct iovec> pieces = newText(edits);
    bool written = checkAllSections([&](const std::atomic<bool>& failed) {
      return writePieces(fd, pieces, failed, writeError);
    });
    if (!error_.empty()) *writeError = error_;
    dropOldPages.start(written && mapping_ != nullptr,
                       [oldFile] { posix_fadvise(oldFile, 0, 0, POSIX_FADV_DONTNEED); });
    return written;
  };
  bool replaced = replaceFileAtomically(file_, fill, error);
  dropOldPages.join();
  return replaced;
}

bool RegFileStore::commit(std::string* error) {
  // A file changed under the run gave it answers from neither version, so
  // that is reported first, even when the run changed nothing.
  if (hasFile_ && !checkUnchanged(file_, error)) return false;
  // A key the run used had a line that cannot be read: the run's answers
  // may lack its values, so it is reported even when nothing changed.
  if (!error_.empty()) {
    *error = error_;
    return false;
  }
  if (!dirty_) return true;
  if (!changeError_.empty()) {
    *error = changeError_;
    return false;
  }
  if (!hasFile_) {
    if (!checkAllSections()) {
      *error = error_;
      return false;
    }
  } else if (!mayReplace(file_, error)) {
    // One that does not read in full either is reported as that.
    if (!checkAllSections()) *error = error_;
    return false;
  }
  std::vector<Edit> edits;
  for (const std::unique_ptr<KeyState>& key : keys_) collectEdits(*key, &edits);
  std::stable_sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) {
    if (a.start != b.start) return a.start < b.start;
    if (a.end != b.end) return a.end < b.end;
    return a.order < b.order;
  });
  if (!hasFile_) {
    if (committed_ != nullptr) {
      committed_->clear();
      for (const struct iovec& piece : newText(edits)) {
        committed_->append(static_cast<const char*>(piece.iov_base), piece.iov_len);
      }
    }
  } else if (!writeFile(edits, error)) {
    return false;
  }
  dirty_ = false;
  return true;
}

}  // namespace

std::unique_ptr<RegistryStore> openRegFileStore(const std::string& path, std::string* error) {
  std::unique_ptr<RegFileStore> store(new RegFileStore(path));
  if (!store->openFile(path, error)) return nullptr;
  return std::unique_ptr<RegistryStore>(std::move(store));
}

bool createRegFile(const std::string& path, const std::string& text, bool* created, std::string* error) {
  return createFileOnce(path, "registry store", text, created, error);
}

std::unique_ptr<RegistryStore> parseRegText(const std::string& bytes, std::string* error,
                                            std::string* committed) {
  std::unique_ptr<RegFileStore> store(new RegFileStore("(memory)"));
  if (!store->openText(bytes, committed, error)) return nullptr;
  return std::unique_ptr<RegistryStore>(std::move(store));
}

}  // namespace standin
