#include "platform/standin/image/volume_window.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <iterator>
#include <map>

#include "platform/standin/image/disk.h"
#include "platform/standin/standin_hooks.h"

namespace standin {

namespace {

bool overlaps(uint64_t a, size_t aSize, uint64_t b, size_t bSize) { return a < b + bSize && b < a + aSize; }

// An MFT record's header: "FILE", and its flags at offset 22, of which 2
// marks a directory (MFT_RECORD_IS_DIRECTORY). An index block: "INDX".
const size_t kRecordFlags = 22;
const uint8_t kIsDirectory = 0x2;

}  // namespace

bool VolumeWindow::writable() const { return disk_->writable(); }

VolumeWindow::Group VolumeWindow::groupOf(const uint8_t* bytes, size_t count) const {
  if (count >= 4 && memcmp(bytes, "INDX", 4) == 0) return kNaming;
  if (count > kRecordFlags && memcmp(bytes, "FILE", 4) == 0) {
    return (bytes[kRecordFlags] & kIsDirectory) != 0 ? kNaming : kFileRecord;
  }
  return kOther;
}

bool VolumeWindow::read(uint64_t at, void* buffer, size_t count, size_t* got) {
  *got = 0;
  if (at >= size_) return true;
  size_t wanted = count < size_ - at ? count : static_cast<size_t>(size_ - at);
  if (!disk_->read(offset_ + at, buffer, wanted)) return false;
  uint8_t* bytes = static_cast<uint8_t*>(buffer);
  for (const Held& write : held_) {
    if (!overlaps(write.at, write.size, at, wanted)) continue;
    uint64_t from = write.at > at ? write.at : at;
    uint64_t to = write.at + write.size < at + wanted ? write.at + write.size : at + wanted;
    memcpy(bytes + (from - at), write.data() + (from - write.at), static_cast<size_t>(to - from));
  }
  *got = wanted;
  return true;
}

bool VolumeWindow::write(uint64_t at, const void* buffer, size_t count) {
  if (at > size_ || count > size_ - at) {
    errno = ENOSPC;
    return false;
  }
  if (failed_) return true;
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
  // Records written together are told apart, each by its own header.
  size_t piece = recordSize_ > 0 && count > recordSize_ && count % recordSize_ == 0 &&
                         memcmp(bytes, "FILE", 4) == 0
                     ? recordSize_
                     : count;
  for (size_t done = 0; done < count; done += piece) {
    const uint8_t* part = bytes + done;
    bool lent = part >= lent_ && part + piece <= lent_ + lentSize_;
    // A block written again replaces what was held for it.
    bool replaced = false;
    for (size_t i = held_.size(); i-- > 0 && !replaced;) {
      Held& earlier = held_[i];
      if (earlier.at == at + done && earlier.size == piece) {
        earlier.keep(part, piece, lent);
        earlier.group = groupOf(part, piece);
        replaced = true;
      } else if (overlaps(earlier.at, earlier.size, at + done, piece)) {
        break;
      }
    }
    if (!replaced) {
      held_.push_back(Held{at + done, {}, nullptr, piece, groupOf(part, piece)});
      held_.back().keep(part, piece, lent);
    }
  }
  return true;
}

// The group's writes as the disk should end up: later ones over earlier
// ones, in pieces that do not overlap, which the disk may write in any
// order. A piece that overlaps no other is written from where it is held.
bool VolumeWindow::writeGroup(Group group, bool* wrote) {
  *wrote = false;
  struct Extent {
    const uint8_t* bytes;
    size_t size;
    std::vector<uint8_t> merged;  // when writes overlapped
  };
  std::map<uint64_t, Extent> extents;
  for (const Held& write : held_) {
    if (write.group != group) continue;
    uint64_t start = write.at, end = write.at + write.size;
    std::map<uint64_t, Extent>::iterator it = extents.upper_bound(start);
    if (it != extents.begin()) {
      std::map<uint64_t, Extent>::iterator before = std::prev(it);
      if (before->first + before->second.size > start) it = before;
    }
    uint64_t mergedStart = start, mergedEnd = end;
    std::vector<std::map<uint64_t, Extent>::iterator> absorbed;
    for (; it != extents.end() && it->first < end; ++it) {
      if (it->first + it->second.size <= start) continue;
      if (it->first < mergedStart) mergedStart = it->first;
      if (it->first + it->second.size > mergedEnd) mergedEnd = it->first + it->second.size;
      absorbed.push_back(it);
    }
    if (absorbed.empty()) {
      extents[start] = Extent{write.data(), write.size, {}};
      continue;
    }
    std::vector<uint8_t> merged(static_cast<size_t>(mergedEnd - mergedStart));
    for (std::map<uint64_t, Extent>::iterator old : absorbed) {
      memcpy(merged.data() + (old->first - mergedStart), old->second.bytes, old->second.size);
    }
    memcpy(merged.data() + (start - mergedStart), write.data(), write.size);
    for (std::map<uint64_t, Extent>::iterator old : absorbed) extents.erase(old);
    Extent& joined = extents[mergedStart];
    joined.merged.swap(merged);
    joined.bytes = joined.merged.data();
    joined.size = joined.merged.size();
  }
  if (extents.empty()) return true;
  *wrote = true;
  std::vector<Disk::Piece> pieces;
  for (const std::map<uint64_t, Extent>::value_type& extent : extents) {
    pieces.push_back(Disk::Piece{offset_ + extent.first, extent.second.bytes, extent.second.size});
  }
  return disk_->write(pieces) && disk_->flush();
}

bool VolumeWindow::commit(StepKind kind) {
  if (failed_) {
    errno = EIO;
    return false;
  }
  if (rehearsing_) return true;
  static const Group kAdding[] = {kOther, kFileRecord, kNaming};
  static const Group kRemoving[] = {kNaming, kFileRecord, kOther};
  const Group* order = kind == StepKind::adding ? kAdding : kRemoving;
  for (int i = 0; i < 3; ++i) {
    bool wrote = false;
    if (!writeGroup(order[i], &wrote)) {
      int cause = errno;
      fail();
      errno = cause;
      return false;
    }
    // Tests kill a run here, after each group that reached the disk.
    static int groups = 0;
    char moment[32];
    snprintf(moment, sizeof moment, "group %d", wrote ? ++groups : 0);
    if (wrote) stopForTest(moment);
  }
  held_.clear();
  return true;
}

void VolumeWindow::fail() {
  failed_ = true;
  held_.clear();
  held_.shrink_to_fit();
}

void VolumeWindow::Held::keep(const uint8_t* bytes, size_t count, bool lend) {
  size = count;
  if (lend) {
    lent = bytes;
    owned.clear();
    owned.shrink_to_fit();
  } else {
    lent = nullptr;
    owned.assign(bytes, bytes + count);
  }
}

}  // namespace standin
