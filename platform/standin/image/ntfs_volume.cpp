#include "platform/standin/image/ntfs_volume.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <vector>

// libntfs-3g's headers take their platform from config macros that Debian's
// build set; without them, ntfstime.h declares its own struct timespec.
#define HAVE_STDINT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_STDIO_H 1
#define HAVE_STDLIB_H 1
#define HAVE_STRING_H 1
#define HAVE_ERRNO_H 1
#define HAVE_CLOCK_GETTIME 1
extern "C" {
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/device.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/logfile.h>
#include <ntfs-3g/logging.h>
#include <ntfs-3g/security.h>
#include <ntfs-3g/unistr.h>
#include <ntfs-3g/volume.h>
}

#include "platform/standin/image/nbd_disk.h"

namespace standin {

namespace {

// libntfs-3g changes a volume in several writes, in its own order: a run
// killed between two of them can leave, say, a directory that names an
// index block not yet written. So the small writes of metadata are held
// until the step that made them is flushed, and then go out in one burst:
// the records of the master file table, which name everything else, last.
// A file's data, in large writes, goes out at once, into clusters nothing
// names yet.
const uint64_t kHeldWrite = 64 << 10;

struct HeldWrite {
  uint64_t offset;
  std::vector<uint8_t> bytes;
};

// The volume's bytes: a window of the disk, so that libntfs-3g can never
// reach past the partition it was given.
struct Window {
  NbdDisk* disk;
  uint64_t offset;
  uint64_t size;
  s64 position = 0;
  std::vector<HeldWrite> held;  // in the order they were made
};

bool overlaps(const HeldWrite& write, uint64_t offset, uint64_t count) {
  return write.offset < offset + count && offset < write.offset + write.bytes.size();
}

bool writeHeld(Window* window) {
  std::vector<NbdDisk::Piece> pieces;
  for (int fileRecords = 0; fileRecords < 2; ++fileRecords) {
    for (const HeldWrite& write : window->held) {
      bool record = write.bytes.size() >= 4 && memcmp(write.bytes.data(), "FILE", 4) == 0;
      if (record == (fileRecords == 1)) {
        pieces.push_back(NbdDisk::Piece{window->offset + write.offset, write.bytes.data(), write.bytes.size()});
      }
    }
  }
  if (!window->disk->write(pieces)) return false;
  window->held.clear();
  return true;
}

Window* windowOf(struct ntfs_device* device) { return static_cast<Window*>(device->d_private); }

int openWindow(struct ntfs_device* device, int flags) {
  if ((flags & O_ACCMODE) != O_RDONLY && !windowOf(device)->disk->writable()) {
    errno = EROFS;
    return -1;
  }
  if ((flags & O_ACCMODE) == O_RDONLY) NDevSetReadOnly(device);
  NDevSetOpen(device);
  return 0;
}

int closeWindow(struct ntfs_device* device) {
  // Nothing held may be lost, whether or not libntfs-3g synced at the end.
  if (!writeHeld(windowOf(device))) return -1;
  NDevClearOpen(device);
  return 0;
}

s64 seekWindow(struct ntfs_device* device, s64 offset, int whence) {
  Window* window = windowOf(device);
  s64 base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? window->position : static_cast<s64>(window->size);
  if (base + offset < 0) {
    errno = EINVAL;
    return -1;
  }
  window->position = base + offset;
  return window->position;
}

s64 preadWindow(struct ntfs_device* device, void* buffer, s64 count, s64 offset) {
  Window* window = windowOf(device);
  if (offset < 0 || count < 0) {
    errno = EINVAL;
    return -1;
  }
  uint64_t at = static_cast<uint64_t>(offset);
  if (at >= window->size) return 0;
  uint64_t wanted = static_cast<uint64_t>(count);
  if (wanted > window->size - at) wanted = window->size - at;
  if (!window->disk->read(window->offset + at, buffer, static_cast<size_t>(wanted))) return -1;
  // What is held reads as written.
  uint8_t* bytes = static_cast<uint8_t*>(buffer);
  for (const HeldWrite& write : window->held) {
    if (!overlaps(write, at, wanted)) continue;
    uint64_t from = write.offset > at ? write.offset : at;
    uint64_t to = write.offset + write.bytes.size() < at + wanted ? write.offset + write.bytes.size() : at + wanted;
    memcpy(bytes + (from - at), write.bytes.data() + (from - write.offset), static_cast<size_t>(to - from));
  }
  return static_cast<s64>(wanted);
}

s64 pwriteWindow(struct ntfs_device* device, const void* buffer, s64 count, s64 offset) {
  Window* window = windowOf(device);
  if (NDevReadOnly(device)) {
    errno = EROFS;
    return -1;
  }
  if (offset < 0 || count < 0 || static_cast<uint64_t>(offset) > window->size ||
      static_cast<uint64_t>(count) > window->size - static_cast<uint64_t>(offset)) {
    errno = ENOSPC;
    return -1;
  }
  NDevSetDirty(device);
  uint64_t at = static_cast<uint64_t>(offset), size = static_cast<uint64_t>(count);
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
  if (size < kHeldWrite) {
    // A block written again replaces what was held for it, so that only
    // its last state goes out.
    for (size_t i = window->held.size(); i-- > 0;) {
      HeldWrite& write = window->held[i];
      if (write.offset == at && write.bytes.size() == size) {
        write.bytes.assign(bytes, bytes + size);
        return count;
      }
      if (overlaps(write, at, size)) break;
    }
    window->held.push_back(HeldWrite{at, std::vector<uint8_t>(bytes, bytes + size)});
    return count;
  }
  // What is held goes out first, once, if the write covers any of it:
  // writeHeld empties the list this looks through.
  for (const HeldWrite& write : window->held) {
    if (!overlaps(write, at, size)) continue;
    if (!writeHeld(window)) return -1;
    break;
  }
  if (!window->disk->write(window->offset + at, buffer, static_cast<size_t>(count))) return -1;
  return count;
}

s64 readWindow(struct ntfs_device* device, void* buffer, s64 count) {
  s64 got = preadWindow(device, buffer, count, windowOf(device)->position);
  if (got > 0) windowOf(device)->position += got;
  return got;
}

s64 writeWindow(struct ntfs_device* device, const void* buffer, s64 count) {
  s64 put = pwriteWindow(device, buffer, count, windowOf(device)->position);
  if (put > 0) windowOf(device)->position += put;
  return put;
}

int syncWindow(struct ntfs_device* device) {
  if (NDevReadOnly(device) || !NDevDirty(device)) return 0;
  if (!writeHeld(windowOf(device)) || !windowOf(device)->disk->flush()) {
    errno = EIO;
    return -1;
  }
  NDevClearDirty(device);
  return 0;
}

int statWindow(struct ntfs_device* device, struct stat* info) {
  memset(info, 0, sizeof *info);
  info->st_mode = S_IFREG | 0600;
  info->st_size = static_cast<off_t>(windowOf(device)->size);
  info->st_blksize = 4096;
  return 0;
}

int ioctlWindow(struct ntfs_device*, unsigned long, void*) {
  errno = EOPNOTSUPP;
  return -1;
}

struct ntfs_device_operations windowOperations = {openWindow,  closeWindow,  seekWindow, readWindow,
                                                  writeWindow, preadWindow,  pwriteWindow, syncWindow,
                                                  statWindow,  ioctlWindow};

// libntfs-3g reports why it failed through its log; the last error is kept
// to say what is wrong with a volume it cannot read.
std::string lastLibraryError;

int keepLastError(const char*, const char*, int, u32 level, void*, const char* format, va_list arguments) {
  char text[512];
  int cause = errno;
  vsnprintf(text, sizeof text, format, arguments);
  std::string message = text;
  while (!message.empty() && (message.back() == '\n' || message.back() == '.' || message.back() == ' ')) {
    message.pop_back();
  }
  if (level & NTFS_LOG_LEVEL_PERROR) message += std::string(": ") + strerror(cause);
  lastLibraryError = message;
  errno = cause;
  return 0;
}

std::vector<ntfschar> wide(const std::string& name) {
  std::vector<ntfschar> units;
  ntfschar* converted = nullptr;
  int length = ntfs_mbstoucs(name.c_str(), &converted);
  if (length > 0) units.assign(converted, converted + length);
  free(converted);
  return units;
}

std::string narrow(const ntfschar* name, int length) {
  char* converted = nullptr;
  std::string text;
  if (ntfs_ucstombs(name, length, &converted, 0) >= 0 && converted != nullptr) text = converted;
  free(converted);
  return text;
}

// What libntfs-3g said went wrong last, or else errno's text.
std::string reasonText() { return lastLibraryError.empty() ? strerror(errno) : lastLibraryError; }

std::string errnoText(const char* what) { return std::string(what) + ": " + reasonText(); }

struct Matches {
  ntfs_volume* volume;
  std::vector<ntfschar> name;
  bool wantDirectory;
  std::vector<std::pair<std::string, MFT_REF>> found;
  bool exact = false;
};

int matchEntry(void* context, const ntfschar* name, const int length, const int type, const s64, const MFT_REF reference,
               const unsigned kind) {
  Matches* matches = static_cast<Matches*>(context);
  // A separate short name is only another spelling of a long one.
  if (type == FILE_NAME_DOS) return 0;
  if ((kind == NTFS_DT_DIR) != matches->wantDirectory) return 0;
  if (!ntfs_names_are_equal(name, static_cast<size_t>(length), matches->name.data(), matches->name.size(),
                            IGNORE_CASE, matches->volume->upcase, matches->volume->upcase_len)) {
    return 0;
  }
  // A case-sensitive copy could hold two spellings; Windows' own wins.
  bool exact = static_cast<size_t>(length) == matches->name.size() &&
               memcmp(name, matches->name.data(), matches->name.size() * sizeof(ntfschar)) == 0;
  if (exact) matches->found.insert(matches->found.begin(), {narrow(name, length), reference});
  if (!exact) matches->found.push_back({narrow(name, length), reference});
  return 0;
}

bool stampOf(ntfs_inode* inode, NtfsStamp* stamp) {
  ntfs_attr* data = ntfs_attr_open(inode, AT_DATA, AT_UNNAMED, 0);
  if (data == nullptr) return false;
  stamp->reference = MK_MREF(inode->mft_no, le16_to_cpu(inode->mrec->sequence_number));
  stamp->size = static_cast<uint64_t>(data->data_size);
  stamp->modified = sle64_to_cpu(inode->last_data_change_time);
  stamp->changed = sle64_to_cpu(inode->last_mft_change_time);
  ntfs_attr_close(data);
  return true;
}

const char kNewSuffix[] = ".netvane-new";
const char kOldSuffix[] = ".netvane-old";

}  // namespace

struct NtfsVolume::Mounted {
  Window window;
  ntfs_volume* volume = nullptr;
};

std::unique_ptr<NtfsVolume> NtfsVolume::mount(NbdDisk* disk, uint64_t offset, uint64_t size, Mode mode,
                                              NtfsRefusal* why, std::string* detail) {
  ntfs_log_set_handler(keepLastError);
  lastLibraryError.clear();
  std::unique_ptr<NtfsVolume> volume(new NtfsVolume());
  volume->mounted_.reset(new Mounted{Window{disk, offset, size, 0, {}}, nullptr});
  struct ntfs_device* device = ntfs_device_alloc("volume", 0, &windowOperations, &volume->mounted_->window);
  if (device == nullptr) {
    *why = NtfsRefusal::damaged;
    *detail = errnoText("cannot read it");
    return nullptr;
  }
  unsigned long flags = mode == Mode::read ? NTFS_MNT_RDONLY
                        : mode == Mode::write ? NTFS_MNT_NONE
                                              : NTFS_MNT_RECOVER;
  volume->mounted_->volume = ntfs_device_mount(device, flags);
  if (volume->mounted_->volume == nullptr) {
    int cause = errno;
    ntfs_device_free(device);
    int reason = ntfs_volume_error(cause);
    *why = reason == NTFS_VOLUME_HIBERNATED        ? NtfsRefusal::hibernated
           : reason == NTFS_VOLUME_UNCLEAN_UNMOUNT ? NtfsRefusal::unclean
                                                   : NtfsRefusal::damaged;
    errno = cause;
    *detail = reasonText();
    return nullptr;
  }
  // Windows marks its registry files hidden and system; they are what we
  // look for. Names keep their case: ntfs_set_ignore_case would make
  // readdir return them folded, and a file recreated from them lower case.
  ntfs_set_shown_files(volume->mounted_->volume, TRUE, TRUE, FALSE);
  *why = NtfsRefusal::none;
  return volume;
}

NtfsVolume::~NtfsVolume() {
  if (mounted_ && mounted_->volume != nullptr) ntfs_umount(mounted_->volume, TRUE);
}

bool NtfsVolume::unmount(std::string* detail) {
  lastLibraryError.clear();
  int result = ntfs_umount(mounted_->volume, FALSE);
  mounted_->volume = nullptr;
  if (result != 0) *detail = errnoText("cannot write it");
  return result == 0;
}

NtfsJournal NtfsVolume::journal() {
  NtfsJournal state = NtfsJournal::unclean;
  ntfs_inode* inode = ntfs_inode_open(mounted_->volume, FILE_LogFile);
  ntfs_attr* log = inode != nullptr ? ntfs_attr_open(inode, AT_DATA, AT_UNNAMED, 0) : nullptr;
  RESTART_PAGE_HEADER* restart = nullptr;
  if (log != nullptr && ntfs_check_logfile(log, &restart) && ntfs_is_logfile_clean(log, restart)) {
    state = NtfsJournal::clean;
  }
  // Restart page version 2.0: Windows 8's fast start-up kept the metadata
  // in its memory image (ntfs_volume_check_logfile refuses it so).
  if (restart != nullptr && sle16_to_cpu(restart->major_ver) == 2 && sle16_to_cpu(restart->minor_ver) == 0) {
    state = NtfsJournal::fastStartUp;
  }
  free(restart);
  if (log != nullptr) ntfs_attr_close(log);
  if (inode != nullptr) ntfs_inode_close(inode);
  return state;
}

bool NtfsVolume::markedDirty() const { return (mounted_->volume->flags & VOLUME_IS_DIRTY) != 0; }

bool NtfsVolume::find(uint64_t directory, const std::string& name, bool wantDirectory, NtfsEntry* found,
                      std::string* detail) {
  lastLibraryError.clear();
  ntfs_volume* volume = mounted_->volume;
  ntfs_inode* inode = ntfs_inode_open(volume, directory == 0 ? static_cast<MFT_REF>(FILE_root) : directory);
  if (inode == nullptr) {
    *detail = errnoText("cannot read a directory");
    return false;
  }
  Matches matches{volume, wide(name), wantDirectory, {}};
  s64 position = 0;
  int listed = ntfs_readdir(inode, &position, &matches, matchEntry);
  int cause = errno;
  ntfs_inode_close(inode);
  if (listed != 0) {
    errno = cause;
    *detail = errnoText("cannot read a directory");
    return false;
  }
  for (const std::pair<std::string, MFT_REF>& match : matches.found) {
    ntfs_inode* entry = ntfs_inode_open(volume, match.second);
    if (entry == nullptr) continue;
    found->name = match.first;
    bool stamped = wantDirectory || stampOf(entry, &found->stamp);
    if (wantDirectory) found->stamp.reference = match.second;
    ntfs_inode_close(entry);
    if (stamped) return true;
  }
  return false;
}

bool NtfsVolume::read(uint64_t file, uint64_t offset, void* buffer, size_t count, size_t* got, std::string* detail) {
  lastLibraryError.clear();
  *got = 0;
  ntfs_inode* inode = ntfs_inode_open(mounted_->volume, file);
  ntfs_attr* data = inode != nullptr ? ntfs_attr_open(inode, AT_DATA, AT_UNNAMED, 0) : nullptr;
  bool ok = data != nullptr;
  uint8_t* bytes = static_cast<uint8_t*>(buffer);
  while (ok && *got < count) {
    s64 n = ntfs_attr_pread(data, static_cast<s64>(offset + *got), static_cast<s64>(count - *got), bytes + *got);
    if (n < 0) ok = false;
    if (n <= 0) break;
    *got += static_cast<size_t>(n);
  }
  if (!ok) *detail = errnoText("cannot read a file");
  if (data != nullptr) ntfs_attr_close(data);
  if (inode != nullptr) ntfs_inode_close(inode);
  return ok;
}

bool NtfsVolume::inspect(uint64_t directory, const std::string& name, Replacement* found, std::string* detail) {
  *found = Replacement();
  NtfsEntry named, fresh, kept;
  detail->clear();
  bool hasNamed = find(directory, name, false, &named, detail);
  bool hasFresh = detail->empty() && find(directory, name + kNewSuffix, false, &fresh, detail);
  bool hasKept = detail->empty() && find(directory, name + kOldSuffix, false, &kept, detail);
  if (!detail->empty()) return false;
  found->left = hasFresh || hasKept;
  if (hasNamed) {
    found->current = named;
    // The old file is moved aside only once the new one is whole, and the
    // name moves only after that: while NAME is the old file, undo.
    found->finishing = hasKept && kept.stamp.reference != named.stamp.reference &&
                       (!hasFresh || fresh.stamp.reference == named.stamp.reference);
    return true;
  }
  // NAME was between the two files: the new one is whole.
  if (hasFresh) {
    found->current = fresh;
    found->finishing = true;
    return true;
  }
  if (hasKept) {
    found->current = kept;
    return true;
  }
  return false;
}

namespace {

// The inodes a step works on, closed however it ends; ntfs_delete and
// ntfs_set_ntfs_dos_name close the ones they are given themselves.
struct Open {
  ntfs_inode* inode = nullptr;
  ~Open() {
    if (inode != nullptr) ntfs_inode_close(inode);
  }
  ntfs_inode* take() {
    ntfs_inode* taken = inode;
    inode = nullptr;
    return taken;
  }
};

// Windows gives a name that fits 8.3 in upper case one "Win32 & DOS" name.
bool isShortName(const std::string& name) {
  std::string::size_type dot = name.find('.');
  std::string base = name.substr(0, dot), extension = dot == std::string::npos ? "" : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || extension.size() > 3 || extension.find('.') != std::string::npos) {
    return false;
  }
  for (char c : base + extension) {
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-')) return false;
  }
  return true;
}

}  // namespace

bool NtfsVolume::link(uint64_t directory, uint64_t file, const std::string& name) {
  std::vector<ntfschar> units = wide(name);
  Open entry, parent;
  entry.inode = ntfs_inode_open(mounted_->volume, file);
  parent.inode = ntfs_inode_open(mounted_->volume, directory);
  // The directory's index changed in memory: the file's names are synced
  // through it (ntfs_inode_close_in_dir), not through a fresh read of it.
  return entry.inode != nullptr && parent.inode != nullptr &&
         ntfs_link(entry.inode, parent.inode, units.data(), static_cast<u8>(units.size())) == 0 &&
         ntfs_inode_close_in_dir(entry.take(), parent.inode) == 0 && ntfs_inode_close(parent.take()) == 0 &&
         ntfs_device_sync(mounted_->volume->dev) == 0;
}

bool NtfsVolume::unlink(uint64_t directory, const std::string& name, bool flush) {
  NtfsEntry entry;
  std::string ignored;
  if (!find(directory, name, false, &entry, &ignored)) return ignored.empty();
  std::vector<ntfschar> units = wide(entry.name);
  Open file, parent;
  file.inode = ntfs_inode_open(mounted_->volume, entry.stamp.reference);
  parent.inode = ntfs_inode_open(mounted_->volume, directory);
  return file.inode != nullptr && parent.inode != nullptr &&
         ntfs_delete(mounted_->volume, nullptr, file.take(), parent.take(), units.data(),
                     static_cast<u8>(units.size())) == 0 &&
         (!flush || ntfs_device_sync(mounted_->volume->dev) == 0);
}

bool NtfsVolume::settle(uint64_t directory, const std::string& name, const std::string& shortName,
                        std::string* detail) {
  lastLibraryError.clear();
  Replacement left;
  if (!inspect(directory, name, &left, detail)) {
    if (detail->empty()) *detail = "cannot find it";
    return false;
  }
  if (!left.left) return true;
  NtfsEntry named;
  std::string ignored;
  // Each step leaves names that the next run settles the same way: NAME
  // first goes back to the file that holds its content, then the extra
  // names go, the one that keeps the file to be dropped last.
  bool linked = !find(directory, name, false, &named, &ignored);
  bool ok = !linked || link(directory, left.current.stamp.reference, name);
  if (left.finishing) {
    ok = ok && unlink(directory, name + kNewSuffix) && unlink(directory, name + kOldSuffix);
  } else {
    ok = ok && unlink(directory, name + kOldSuffix) && unlink(directory, name + kNewSuffix);
  }
  // A name given by link() is a POSIX one; Windows had given the file its
  // short name too ("Win32 & DOS" for SYSTEM).
  std::string shortened = shortName.empty() && isShortName(name) ? name : shortName;
  if (ok && (linked || left.finishing) && !shortened.empty() && find(directory, name, false, &named, &ignored)) {
    Open file, parent;
    file.inode = ntfs_inode_open(mounted_->volume, named.stamp.reference);
    parent.inode = ntfs_inode_open(mounted_->volume, directory);
    ok = file.inode != nullptr && parent.inode != nullptr &&
         ntfs_set_ntfs_dos_name(file.take(), parent.take(), shortened.c_str(), shortened.size(), 0) == 0;
  }
  if (!ok) *detail = errnoText("cannot settle what an interrupted run left");
  return ok && ntfs_device_sync(mounted_->volume->dev) == 0;
}

bool NtfsVolume::replace(uint64_t directory, const NtfsEntry& old, const uint8_t* data, uint64_t size,
                         std::string* detail) {
  lastLibraryError.clear();
  ntfs_volume* volume = mounted_->volume;
  std::vector<ntfschar> fresh = wide(old.name + kNewSuffix);
  Open parent, previous, created;
  parent.inode = ntfs_inode_open(volume, directory);
  previous.inode = parent.inode != nullptr ? ntfs_inode_open(volume, old.stamp.reference) : nullptr;
  if (previous.inode == nullptr) {
    *detail = errnoText("cannot open it");
    return false;
  }
  le32 securityId = previous.inode->security_id;
  le32 attributes = previous.inode->flags;
  ntfs_time creation = previous.inode->creation_time;
  char shortName[16] = {0};
  int shortLength = ntfs_get_ntfs_dos_name(previous.inode, parent.inode, shortName, sizeof shortName - 1);
  std::string kept = shortLength > 0 ? std::string(shortName, static_cast<size_t>(shortLength)) : "";
  // A file of an NTFS 1.x volume, or one written by ntfs-3g, keeps its
  // security descriptor itself rather than an id into $Secure.
  std::vector<u8> descriptor;
  ntfs_attr* own = securityId == 0 ? ntfs_attr_open(previous.inode, AT_SECURITY_DESCRIPTOR, AT_UNNAMED, 0) : nullptr;
  if (own != nullptr) {
    descriptor.resize(static_cast<size_t>(own->data_size));
    if (ntfs_attr_pread(own, 0, own->data_size, descriptor.data()) != own->data_size) descriptor.clear();
    ntfs_attr_close(own);
  }
  ntfs_inode_close(previous.take());
  // 1. The new file, whole and flushed, under a name of its own, with the
  // old one's security descriptor, attributes and creation time.
  created.inode = ntfs_create(parent.inode, securityId, fresh.data(), static_cast<u8>(fresh.size()), S_IFREG);
  ntfs_attr* content = created.inode != nullptr ? ntfs_attr_open(created.inode, AT_DATA, AT_UNNAMED, 0) : nullptr;
  bool ok = content != nullptr;
  const uint64_t kPiece = 16 << 20;
  for (uint64_t done = 0; ok && done < size;) {
    s64 piece = static_cast<s64>(size - done < kPiece ? size - done : kPiece);
    s64 written = ntfs_attr_pwrite(content, static_cast<s64>(done), piece, data + done);
    ok = written > 0;
    if (ok) done += static_cast<uint64_t>(written);
  }
  if (content != nullptr) ntfs_attr_close(content);
  if (ok && !descriptor.empty()) {
    ok = ntfs_attr_remove(created.inode, AT_SECURITY_DESCRIPTOR, AT_UNNAMED, 0) == 0 &&
         ntfs_attr_add(created.inode, AT_SECURITY_DESCRIPTOR, AT_UNNAMED, 0, descriptor.data(),
                       static_cast<s64>(descriptor.size())) == 0;
  }
  if (ok) {
    created.inode->creation_time = creation;
    NInoFileNameSetDirty(created.inode);
    ntfs_inode_mark_dirty(created.inode);
    ok = ntfs_set_ntfs_attrib(created.inode, reinterpret_cast<const char*>(&attributes), sizeof attributes, 0) ==
         0;
  }
  if (!ok) {
    *detail = errnoText("cannot write the new file");
    if (created.inode != nullptr) {
      ntfs_delete(volume, nullptr, created.take(), parent.take(), fresh.data(), static_cast<u8>(fresh.size()));
    }
    return false;
  }
  if (ntfs_inode_close_in_dir(created.take(), parent.inode) != 0 || ntfs_inode_close(parent.take()) != 0) {
    *detail = errnoText("cannot write the new file");
    return false;
  }
  // 2. The old file gets a second name, and 3. loses NAME; 4. settle()
  // gives NAME to the new file and removes the extra names. Each step is
  // flushed, so that a run killed between them leaves names that inspect()
  // reads and settle() finishes; but for 3, so that NAME is missing only
  // for as long as it takes to link it anew (a killed run leaves it so, and
  // the next run puts it back).
  ok = ntfs_device_sync(volume->dev) == 0 && link(directory, old.stamp.reference, old.name + kOldSuffix) &&
       unlink(directory, old.name, false);
  if (!ok) {
    *detail = errnoText("cannot move the old file aside");
    return false;
  }
  return settle(directory, old.name, kept, detail);
}

}  // namespace standin
