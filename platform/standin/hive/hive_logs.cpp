// Replaying a hive's transaction logs, following msuhanov/regf's description
// of the Windows registry file format; the section each rule comes from is
// named where the rule is applied. Everything read from the primary and the
// logs is untrusted: every offset, size and count is checked against the
// bytes present before it is used.
#include "platform/standin/hive/hive_logs.h"

#include <string.h>
#include <strings.h>

#include <algorithm>
#include <iterator>
#include <map>

namespace standin {

namespace {

const size_t kHiveBinAlignment = 4096;
const size_t kEntryHeaderSize = 40;
const size_t kPageReferenceSize = 8;
const size_t kOldPageSize = 512;
const uint32_t kPrimaryFile = 0;
const uint32_t kOldLog = 1;
// Windows 2000 and XP wrote the same old format under another type number.
const uint32_t kOlderLog = 2;
const uint32_t kNewLog = 6;
// "Log entries", note 3: the seed is the 64-bit number whose bytes that
// description lists least significant first.
const uint64_t kEntrySeed = 0x82EF4D887A4E55C5ull;

uint32_t rotateLeft(uint32_t value, int bits) { return value << bits | value >> (32 - bits); }

void marvinBlock(uint32_t* lo, uint32_t* hi) {
  *hi ^= *lo;
  *lo = rotateLeft(*lo, 20);
  *lo += *hi;
  *hi = rotateLeft(*hi, 9);
  *hi ^= *lo;
  *lo = rotateLeft(*lo, 27);
  *lo += *hi;
  *hi = rotateLeft(*hi, 19);
}

}  // namespace

// Marvin32 as the kernel computes it for log entries: the two halves of the
// state make the 64-bit result, the high half above.
uint64_t logEntryHash(const uint8_t* data, size_t size) {
  uint32_t lo = static_cast<uint32_t>(kEntrySeed);
  uint32_t hi = static_cast<uint32_t>(kEntrySeed >> 32);
  for (; size >= 4; data += 4, size -= 4) {
    lo += littleEndian32(data);
    marvinBlock(&lo, &hi);
  }
  uint32_t last = 0x80;
  for (size_t i = size; i > 0; --i) last = last << 8 | data[i - 1];
  lo += last;
  marvinBlock(&lo, &hi);
  marvinBlock(&lo, &hi);
  return static_cast<uint64_t>(hi) << 32 | lo;
}

namespace {

std::string baseName(const std::string& path) {
  std::string::size_type slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "a, b and c"
std::string listNames(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 == names.size() ? " and " : ", ";
    text += names[i];
  }
  return text;
}

bool validHiveBinsSize(uint64_t hiveBinsSize, uint64_t largest) {
  return hiveBinsSize >= kHiveBinAlignment && hiveBinsSize % kHiveBinAlignment == 0 &&
         kBaseBlockSize + hiveBinsSize <= largest;
}

// "Format of transaction log files", "Base block", note 2: a log is valid when
// its base block is, and its two sequence numbers are equal.
bool validLog(const HiveLog& log, uint32_t type, BaseBlock* block) {
  *block = parseBaseBlock(log.data(), log.size());
  return block->signature && block->checksumRight &&
         block->primarySequence == block->secondarySequence &&
         (block->type == type || (type == kOldLog && block->type == kOlderLog));
}

struct Entry {
  size_t log = 0;
  size_t offset = 0;  // in the log
  uint32_t size = 0;  // in the log
  uint32_t sequence = 0;
  uint32_t hiveBinsSize = 0;
  uint32_t pages = 0;
  uint64_t pagesEnd = 0;  // the end of its furthest page, in the hive bins
  // An entry whose hashes hold, so that Windows would apply it, but that
  // the replay does not: why. It ends its log's entries.
  const char* refused = nullptr;
};

// The entries of one new-format log, in file order, as far as they hold
// ("Log entries"): each one at the next 512-byte boundary, numbered one more
// than the last from the log's base block on, whole, with both hashes right
// and a hive-bins size that is a multiple of 4096. The first that is not ends
// the log, as notes 7 and 8 say. The first whose hashes hold but that breaks
// a rule of ours ends it too, and goes last, marked refused. `damage` says
// why the first entry was refused, when it was.
std::vector<Entry> readEntries(const HiveLog& log, size_t index, uint32_t firstSequence,
                               uint64_t largest, std::string* damage) {
  std::vector<Entry> entries;
  const uint8_t* bytes = log.data();
  const size_t size = log.size();
  uint32_t expected = firstSequence;
  for (size_t at = kLogSector; size - at >= kEntryHeaderSize; ++expected) {
    const uint8_t* header = bytes + at;
    const char* problem = nullptr;
    const char* ours = nullptr;
    uint32_t entrySize = littleEndian32(header + 4);
    Entry entry;
    entry.log = index;
    entry.offset = at;
    entry.size = entrySize;
    entry.sequence = littleEndian32(header + 12);
    entry.hiveBinsSize = littleEndian32(header + 16);
    entry.pages = littleEndian32(header + 20);
    if (memcmp(header, "HvLE", 4) != 0) {
      problem = "is not a log entry";
    } else if (entrySize < kLogSector || entrySize % kLogSector != 0 || entrySize > size - at) {
      problem = "is cut short";
    } else if (littleEndian64(header + 32) != logEntryHash(header, 32) ||
               littleEndian64(header + 24) != logEntryHash(header + kEntryHeaderSize, entrySize - kEntryHeaderSize)) {
      problem = "has a wrong hash";
    } else if (entry.hiveBinsSize % kHiveBinAlignment != 0) {
      problem = "has a wrong hive-bins size";
    } else if (entry.sequence != expected) {
      problem = "is out of sequence";
    } else if (entry.hiveBinsSize == 0) {
      ours = "claims no hive bins";
    } else if (!validHiveBinsSize(entry.hiveBinsSize, largest)) {
      ours = "claims a hive bigger than the largest Windows allows";
    } else if (entry.pages == 0 ||
               entry.pages > (entrySize - kEntryHeaderSize) / kPageReferenceSize) {
      ours = "has a wrong page count";
    } else {
      // The pages follow their references, in the same order, without gaps.
      uint64_t data = kEntryHeaderSize + uint64_t(entry.pages) * kPageReferenceSize;
      for (uint32_t i = 0; i < entry.pages && ours == nullptr; ++i) {
        const uint8_t* reference = header + kEntryHeaderSize + i * kPageReferenceSize;
        uint64_t offset = littleEndian32(reference), pageSize = littleEndian32(reference + 4);
        data += pageSize;
        if (pageSize == 0) {
          ours = "has a page of no bytes";
        } else if (data > entrySize) {
          ours = "has a page that runs past its end";
        } else if (offset + pageSize > entry.hiveBinsSize) {
          ours = "has a page outside the hive bins it claims";
        }
        entry.pagesEnd = std::max(entry.pagesEnd, offset + pageSize);
      }
    }
    if (problem != nullptr || ours != nullptr) {
      if (entries.empty()) *damage = problem != nullptr ? problem : ours;
      entry.refused = ours;
      if (ours != nullptr) entries.push_back(entry);
      break;
    }
    entries.push_back(entry);
    at += entrySize;
  }
  return entries;
}

// Writes the entry's pages into the hive bins, but not past `limit`: what a
// later entry cuts off the hive is gone even if a still later one grows it
// back, and the storage holds zeros there. A log may be a mapping of a file
// that another program changes under the run, so each page is checked again
// against the entry as it was read; the run finds the log changed later.
void applyEntry(const HiveLog& log, const Entry& entry, uint64_t limit, uint8_t* image) {
  const uint8_t* header = log.data() + entry.offset;
  uint64_t data = kEntryHeaderSize + uint64_t(entry.pages) * kPageReferenceSize;
  for (uint32_t i = 0; i < entry.pages; ++i) {
    const uint8_t* reference = header + kEntryHeaderSize + i * kPageReferenceSize;
    uint64_t offset = littleEndian32(reference), pageSize = littleEndian32(reference + 4);
    if (data + pageSize > entry.size || offset + pageSize > entry.hiveBinsSize) return;
    if (offset < limit) memcpy(image + kBaseBlockSize + offset, header + data, std::min(pageSize, limit - offset));
    data += pageSize;
  }
}

// A claimed hive-bins size is believed only as far as bytes reach it: the
// primary's, or the furthest page that the entry itself brings. Windows adds
// a hive bin as dirty pages, so a real log never claims more. This stops a
// claim that no byte reaches, not a large one: an entry with one page at the
// end of a claim up to the cap still passes, and the hive is built that
// large, as Windows would build it ("Log entries", note 9). The cap bounds
// what that costs.
bool backedSize(uint64_t hiveBinsSize, size_t present, uint64_t pagesEnd) {
  uint64_t held = present > kBaseBlockSize ? present - kBaseBlockSize : 0;
  return hiveBinsSize <= std::max(held, pagesEnd);
}

struct Replayer {
  Replayer(const std::string& path, const uint8_t* bytes, size_t size, const std::vector<HiveLog>& found,
           uint64_t most, HiveReplay* result, const HiveImageStorage& where)
      : primaryPath(path), primary(bytes), primarySize(size), logs(found), largest(most), replay(result),
        storage(where) {}

  const std::string& primaryPath;
  const uint8_t* primary;
  size_t primarySize;
  const std::vector<HiveLog>& logs;
  uint64_t largest;
  HiveReplay* replay;
  const HiveImageStorage& storage;
  BaseBlock primaryBlock;
  uint32_t highestSequence = 0;  // of everything seen, for the clean base block
  std::vector<std::string> notes;  // why each log present did not apply

  void see(uint32_t sequence) { highestSequence = std::max(highestSequence, sequence); }

  // The clean hive must number itself above every entry a log holds, the
  // ones a replay stops at or never reaches included, so that none of them
  // can ever look subsequent to it. Windows starts each entry at a 512-byte
  // boundary, so every one is found there, whatever its hash says.
  void seeEveryEntry(const HiveLog& log) {
    for (size_t at = kLogSector; at + kEntryHeaderSize <= log.size(); at += kLogSector) {
      if (memcmp(log.data() + at, "HvLE", 4) == 0) see(littleEndian32(log.data() + at + 12));
    }
  }

  // The primary's bytes that an image starts from, before any log cuts it.
  size_t primaryBytes() const { return static_cast<size_t>(std::min<uint64_t>(primarySize, largest)); }

  // The image is written once, where the caller wants it, when its size is
  // known: `kept` bytes of it are the primary's, the rest starts as zeros.
  uint8_t* image(size_t size, size_t kept, std::string* error) {
    if (storage) return storage(size, kept, error);
    replay->image.assign(size, 0);
    memcpy(replay->image.data(), primary, kept);
    return replay->image.data();
  }

  // "Log entries", notes 4 to 7, and "Multiple transaction log files", "New
  // format": the entries of both logs are taken in sequence order, whichever
  // file holds them, from the first that is subsequent to the hive; stale
  // ones are skipped, and recovery stops at a gap or at a bogus entry.
  bool replayNew(std::string* error) {
    std::vector<std::vector<Entry>> chains(logs.size());
    std::vector<BaseBlock> blocks(logs.size());
    std::vector<std::string> damage(logs.size());
    std::vector<bool> valid(logs.size());
    size_t newest = logs.size();
    for (size_t i = 0; i < logs.size(); ++i) {
      if (!validLog(logs[i], kNewLog, &blocks[i])) continue;
      valid[i] = true;
      see(blocks[i].primarySequence);
      chains[i] = readEntries(logs[i], i, blocks[i].primarySequence, largest, &damage[i]);
      seeEveryEntry(logs[i]);
      if (newest == logs.size() || blocks[i].primarySequence > blocks[newest].primarySequence) newest = i;
    }
    uint32_t start = primaryBlock.secondarySequence;
    if (!primaryBlock.checksumRight) {
      // Note 6: a base block with a wrong checksum is recovered from a log;
      // the newest log's copy is the one its own entries continue. Without
      // one, an old-format log may still restore it.
      if (newest == logs.size()) return true;
      start = blocks[newest].primarySequence;
    }
    // Note 5: entries numbered below the hive's are already in it. A log
    // listed earlier wins a number that both hold, even one that it holds
    // refused: Windows might apply that one, so the replay stops there.
    std::map<uint32_t, const Entry*> subsequent;
    for (const std::vector<Entry>& chain : chains) {
      for (const Entry& entry : chain) {
        if (entry.sequence >= start) subsequent.emplace(entry.sequence, &entry);
      }
    }
    // The entries that apply, and the sizes they give the hive, are known
    // from the logs alone; only then is the image written. `stop` says why
    // the replay stopped where Windows would have gone on.
    std::vector<const Entry*> apply;
    std::string stop;
    size_t size = primaryBytes(), kept = size;
    std::map<uint32_t, const Entry*>::const_iterator next = subsequent.begin();
    while (next != subsequent.end()) {
      const Entry& entry = *next->second;
      std::string which = "the replay stopped at entry " + std::to_string(entry.sequence) + " of " +
                          baseName(logs[entry.log].path) + ", which ";
      if (entry.refused != nullptr) {
        stop = which + entry.refused;
        break;
      }
      if (!backedSize(entry.hiveBinsSize, size, entry.pagesEnd)) {
        stop = which + "claims " + std::to_string(entry.hiveBinsSize) +
               " bytes of hive bins, more than the hive and its pages reach";
        break;
      }
      size = kBaseBlockSize + entry.hiveBinsSize;
      kept = std::min(kept, size);
      apply.push_back(&entry);
      if (replay->entriesApplied++ == 0) replay->firstSequence = entry.sequence;
      replay->lastSequence = entry.sequence;
      replay->pagesApplied += entry.pages;
      replay->applied.push_back({entry.sequence, entry.log});
      std::map<uint32_t, const Entry*>::const_iterator following = std::next(next);
      if (following == subsequent.end() || following->first != entry.sequence + 1) break;
      next = following;
    }
    if (apply.empty() && primaryBlock.checksumRight) {
      if (!stop.empty()) notes.push_back(stop);
      for (size_t i = 0; i < logs.size() && stop.empty(); ++i) {
        if (!valid[i]) continue;
        std::string name = baseName(logs[i].path);
        if (!damage[i].empty()) {
          notes.push_back("the first entry of " + name + " " + damage[i]);
        } else {
          notes.push_back("the entries of " + name + " do not continue from the hive (sequence " +
                          std::to_string(start) + ")");
        }
      }
      return true;
    }
    if (apply.empty()) {
      // The base block alone is recovered, and the hive bins are as the
      // log's copy of it describes them, when the primary holds them all.
      uint32_t hiveBins = blocks[newest].hiveBinsSize;
      if (!validHiveBinsSize(hiveBins, largest) || !backedSize(hiveBins, size, 0)) return true;
      size = kBaseBlockSize + hiveBins;
      kept = std::min(kept, size);
    }
    uint8_t* bytes = image(size, kept, error);
    if (bytes == nullptr) return false;
    if (!primaryBlock.checksumRight) memcpy(bytes, logs[newest].data(), kLogSector);
    // An entry's pages survive up to the smallest size a later entry gives.
    std::vector<uint64_t> limits(apply.size(), UINT64_MAX);
    for (size_t i = apply.size(); i-- > 1;) limits[i - 1] = std::min<uint64_t>(limits[i], apply[i]->hiveBinsSize);
    for (size_t i = 0; i < apply.size(); ++i) applyEntry(logs[apply[i]->log], *apply[i], limits[i], bytes);
    finish(bytes, size);
    replay->reason = stop;
    return true;
  }

  // "Dirty pages": recovery aborts when a dirty hive bin is not one, its
  // signature wrong or its offset not where it lies. Judged before the image
  // is written: a byte of it is its dirty page's, else the primary's up to
  // `kept`, else zero.
  bool dirtyBinsHold(size_t hiveBins, size_t kept, const std::vector<const uint8_t*>& dirty) const {
    for (size_t at = 0; at + 32 <= hiveBins;) {
      uint8_t bin[12];
      for (size_t i = 0; i < sizeof bin; ++i) {
        size_t hiveAt = at + i, page = hiveAt / kOldPageSize;
        if (dirty[page] != nullptr) bin[i] = dirty[page][hiveAt % kOldPageSize];
        else bin[i] = kBaseBlockSize + hiveAt < kept ? primary[kBaseBlockSize + hiveAt] : 0;
      }
      uint32_t size = littleEndian32(bin + 8);
      bool holds = memcmp(bin, "hbin", 4) == 0 && littleEndian32(bin + 4) == at && size >= kHiveBinAlignment &&
                   size % kHiveBinAlignment == 0 && size <= hiveBins - at;
      if (!holds) {
        // A bin that no page touched is the primary's own, for the reader
        // of the hive to judge.
        for (size_t page = at / kOldPageSize; page < (at + kHiveBinAlignment) / kOldPageSize; ++page) {
          if (page < dirty.size() && dirty[page] != nullptr) return false;
        }
        return true;
      }
      at += size;
    }
    return true;
  }

  // "Old format" and "Multiple transaction log files", "Old format": the log
  // written for this very state of the hive (the same last-written
  // timestamp) brings its dirty 512-byte pages; another applicable log is
  // tried when one fails.
  bool replayOld(std::string* error) {
    uint64_t written = primaryBlock.written;
    if (!primaryBlock.checksumRight) {
      // "Base block", note 3: the first hive bin keeps a copy of the timestamp.
      if (primarySize < kBaseBlockSize + 28) written = 0;
      else written = littleEndian64(primary + kBaseBlockSize + 20);
    }
    for (size_t i = 0; i < logs.size(); ++i) {
      const HiveLog& log = logs[i];
      BaseBlock block;
      if (!validLog(log, kOldLog, &block)) continue;
      see(block.primarySequence);
      std::string name = baseName(log.path);
      if (block.written != written) {
        notes.push_back(name + " was written for another state of the hive");
        continue;
      }
      // "Multiple transaction log files": a log that cannot be used leaves
      // the others to try.
      if (block.hiveBinsSize == 0 || block.hiveBinsSize % kHiveBinAlignment != 0) {
        notes.push_back(name + " claims " + std::to_string(block.hiveBinsSize) +
                        " bytes of hive bins, which is not a positive multiple of 4096");
        continue;
      }
      if (!validHiveBinsSize(block.hiveBinsSize, largest)) {
        *error = "Transaction log " + log.path + " claims a hive bigger than the largest Windows allows";
        return false;
      }
      // "Dirty vector": one bit per 512-byte page of the hive bins, after "DIRT".
      size_t bitmap = block.hiveBinsSize / kOldPageSize / 8;
      size_t pagesAt = (kLogSector + 4 + bitmap + kLogSector - 1) / kLogSector * kLogSector;
      if (log.size() < kLogSector + 4 + bitmap ||
          memcmp(log.data() + kLogSector, "DIRT", 4) != 0) {
        notes.push_back(name + " has no dirty vector");
        continue;
      }
      const uint8_t* bits = log.data() + kLogSector + 4;
      // Each dirty page's bytes in the log, nullptr for a clean page. The
      // vector is read once: the log may be a mapping that changes under us.
      std::vector<const uint8_t*> dirty(block.hiveBinsSize / kOldPageSize);
      size_t held = pagesAt > log.size() ? 0 : (log.size() - pagesAt) / kOldPageSize;
      uint64_t pages = 0, pagesEnd = 0;
      for (size_t page = 0; page < dirty.size(); ++page) {
        if ((bits[page / 8] >> (page % 8) & 1) == 0) continue;
        if (pages < held) dirty[page] = log.data() + pagesAt + pages * kOldPageSize;
        ++pages;
        pagesEnd = (page + 1) * kOldPageSize;
      }
      if (pagesAt > log.size() || pages > held) {
        notes.push_back(name + " is cut short");
        continue;
      }
      if (!backedSize(block.hiveBinsSize, primarySize, pagesEnd)) {
        notes.push_back(name + " claims more hive than it and the hive hold");
        continue;
      }
      size_t size = kBaseBlockSize + block.hiveBinsSize, kept = std::min(primaryBytes(), size);
      if (!dirtyBinsHold(block.hiveBinsSize, kept, dirty)) {
        notes.push_back(name + " holds a damaged hive bin");
        continue;
      }
      uint8_t* bytes = image(size, kept, error);
      if (bytes == nullptr) return false;
      // "Base block", note 4: a damaged base block is recovered from the log.
      if (!primaryBlock.checksumRight) memcpy(bytes, log.data(), kLogSector);
      for (size_t page = 0; page < dirty.size(); ++page) {
        if (dirty[page] != nullptr) memcpy(bytes + kBaseBlockSize + page * kOldPageSize, dirty[page], kOldPageSize);
      }
      replay->entriesApplied = 1;
      replay->pagesApplied = static_cast<uint32_t>(pages);
      replay->firstSequence = replay->lastSequence = block.primarySequence;
      replay->applied.push_back({block.primarySequence, i});
      finish(bytes, size);
      return true;
    }
    if (!primaryBlock.checksumRight) {
      *error = "Registry hive " + primaryPath + " is damaged: the checksum of its base block is wrong";
      return false;
    }
    return true;
  }

  // One clause for every log looked for: missing, or why it did not apply.
  std::string whyNotRecovered(const std::vector<std::string>& lookedFor) const {
    std::vector<std::string> missing;
    for (const std::string& name : lookedFor) {
      bool found = false;
      // The store finds each log whatever the case of its name.
      for (const HiveLog& log : logs) found = found || strcasecmp(baseName(log.path).c_str(), baseName(name).c_str()) == 0;
      if (!found) missing.push_back(baseName(name));
    }
    std::string are = missing.size() == 1 ? " is missing" : " are missing";
    if (logs.empty() && missing.empty()) return "it has no transaction logs";
    if (logs.empty()) return "its transaction logs " + listNames(missing) + are;
    std::vector<std::string> clauses = notes;
    for (const HiveLog& log : logs) {
      BaseBlock block = parseBaseBlock(log.data(), log.size());
      std::string name = baseName(log.path);
      if (log.size() == 0) {
        clauses.push_back(name + " is empty");
      } else if (!block.signature ||
                 (block.type != kNewLog && block.type != kOldLog && block.type != kOlderLog)) {
        clauses.push_back(name + " is not a transaction log");
      } else if (!block.checksumRight || block.primarySequence != block.secondarySequence) {
        clauses.push_back("the base block of " + name + " is damaged");
      }
    }
    if (!missing.empty()) clauses.push_back(listNames(missing) + are);
    std::string reason;
    for (const std::string& clause : clauses) reason += (reason.empty() ? "" : "; ") + clause;
    return reason;
  }

  // "Dirty state of a hive": a clean base block has equal sequence numbers
  // and a right checksum. Both are made higher than any entry's, so that
  // the entries left in the logs stay stale should Windows ever find the
  // hive dirty again.
  void finish(uint8_t* block, size_t size) {
    uint32_t sequence = highestSequence == UINT32_MAX ? highestSequence : highestSequence + 1;
    putLittleEndian32(block + 4, sequence);
    putLittleEndian32(block + 8, sequence);
    putLittleEndian32(block + 28, kPrimaryFile);
    putLittleEndian32(block + 40, static_cast<uint32_t>(size - kBaseBlockSize));
    putLittleEndian32(block + kChecksummedBytes, baseBlockChecksum(block));
    replay->state = HiveState::kRecovered;
    replay->imageSize = size;
  }
};

}  // namespace

bool replayHiveLogs(const std::string& primaryPath, const uint8_t* primary, size_t primarySize,
                    const std::vector<HiveLog>& logs, const std::vector<std::string>& lookedFor,
                    uint64_t largest, HiveReplay* replay, std::string* error,
                    const HiveImageStorage& storage) {
  *replay = HiveReplay();
  Replayer replayer(primaryPath, primary, primarySize, logs, largest, replay, storage);
  replayer.primaryBlock = parseBaseBlock(primary, primarySize);
  if (primarySize < kBaseBlockSize || !replayer.primaryBlock.signature) {
    *error = primaryPath + " is not a Windows registry hive";
    return false;
  }
  const BaseBlock& block = replayer.primaryBlock;
  if (block.checksumRight && block.primarySequence == block.secondarySequence) return true;
  replayer.see(block.primarySequence);
  replayer.see(block.secondarySequence);
  if (!replayer.replayNew(error)) return false;
  if (replay->state != HiveState::kRecovered && !replayer.replayOld(error)) return false;
  if (replay->state == HiveState::kRecovered) return true;

  replay->state = HiveState::kNotRecovered;
  replay->reason = replayer.whyNotRecovered(lookedFor);
  return true;
}

}  // namespace standin
