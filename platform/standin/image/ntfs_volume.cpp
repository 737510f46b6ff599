#include "platform/standin/image/ntfs_volume.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <vector>

#include "platform/standin/image/libntfs3g.h"

#include "platform/standin/image/disk.h"
#include "platform/standin/image/volume_window.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NETVANE_LEAK_CHECKED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(NETVANE_LEAK_CHECKED)
// A volume that libntfs-3g failed on is let go unclosed (see Open), which
// the sanitizer builds' leak check would otherwise report at exit.
extern "C" const char* __lsan_default_suppressions() { return "leak:libntfs-3g.so\n"; }
// Quietly: a run's standard error is its own.
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
#endif

namespace standin {

namespace {

// libntfs-3g's device, on a window of the disk.
struct Device {
  VolumeWindow window;
  s64 position = 0;
  // A step reached the disk: what unmounting writes may follow it.
  bool stepped = false;
};

Device* deviceOf(struct ntfs_device* device) { return static_cast<Device*>(device->d_private); }

int openDevice(struct ntfs_device* device, int flags) {
  if ((flags & O_ACCMODE) != O_RDONLY && !deviceOf(device)->window.writable()) {
    errno = EROFS;
    return -1;
  }
  if ((flags & O_ACCMODE) == O_RDONLY) NDevSetReadOnly(device);
  NDevSetOpen(device);
  return 0;
}

// What unmounting wrote goes out after the last step, or, when no step
// did or one failed, not at all.
int closeDevice(struct ntfs_device* device) {
  Device* self = deviceOf(device);
  if (!self->stepped) self->window.fail();
  bool ok = self->window.failed() || !self->window.holding() || self->window.commit(StepKind::adding);
  NDevClearOpen(device);
  return ok ? 0 : -1;
}

s64 seekDevice(struct ntfs_device* device, s64 offset, int whence) {
  Device* self = deviceOf(device);
  s64 base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? self->position : static_cast<s64>(self->window.size());
  if (base + offset < 0) {
    errno = EINVAL;
    return -1;
  }
  self->position = base + offset;
  return self->position;
}

s64 preadDevice(struct ntfs_device* device, void* buffer, s64 count, s64 offset) {
  if (offset < 0 || count < 0) {
    errno = EINVAL;
    return -1;
  }
  size_t got = 0;
  if (!deviceOf(device)->window.read(static_cast<uint64_t>(offset), buffer, static_cast<size_t>(count), &got)) {
    return -1;
  }
  return static_cast<s64>(got);
}

s64 pwriteDevice(struct ntfs_device* device, const void* buffer, s64 count, s64 offset) {
  if (NDevReadOnly(device)) {
    errno = EROFS;
    return -1;
  }
  if (offset < 0 || count < 0) {
    errno = EINVAL;
    return -1;
  }
  NDevSetDirty(device);
  if (!deviceOf(device)->window.write(static_cast<uint64_t>(offset), buffer, static_cast<size_t>(count))) return -1;
  return count;
}

s64 readDevice(struct ntfs_device* device, void* buffer, s64 count) {
  s64 got = preadDevice(device, buffer, count, deviceOf(device)->position);
  if (got > 0) deviceOf(device)->position += got;
  return got;
}

s64 writeDevice(struct ntfs_device* device, const void* buffer, s64 count) {
  s64 put = pwriteDevice(device, buffer, count, deviceOf(device)->position);
  if (put > 0) deviceOf(device)->position += put;
  return put;
}

// libntfs-3g syncs when it sees fit, in the middle of a step too; what it
// wrote stays held until the step is done (NtfsVolume's endStep).
int syncDevice(struct ntfs_device* device) {
  NDevClearDirty(device);
  return 0;
}

int statDevice(struct ntfs_device* device, struct stat* info) {
  memset(info, 0, sizeof *info);
  info->st_mode = S_IFREG | 0600;
  info->st_size = static_cast<off_t>(deviceOf(device)->window.size());
  info->st_blksize = 4096;
  return 0;
}

int ioctlDevice(struct ntfs_device*, unsigned long, void*) {
  errno = EOPNOTSUPP;
  return -1;
}

struct ntfs_device_operations deviceOperations = {openDevice,  closeDevice,  seekDevice, readDevice,
                                                  writeDevice, preadDevice,  pwriteDevice, syncDevice,
                                                  statDevice,  ioctlDevice};

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

// An inode a step works on, closed however the step ends. Calls that close
// the inodes they are given (ntfs_delete, ntfs_set_ntfs_dos_name, and
// ntfs_inode_close_in_dir when it succeeds) take it first. After a step
// failed, libntfs-3g's failure paths may have freed what an inode points to
// (a damaged index block, say, leaves the directory's inode so): nothing of
// that volume is closed any more, and the process lets it go as it ends.
struct Open {
  explicit Open(const bool* abandoned) : abandoned(abandoned) {}
  Open(const Open&) = delete;
  Open& operator=(const Open&) = delete;
  ~Open() {
    if (inode != nullptr && !*abandoned) ntfs_inode_close(inode);
  }
  ntfs_inode* take() {
    ntfs_inode* taken = inode;
    inode = nullptr;
    return taken;
  }
  ntfs_inode* inode = nullptr;
  const bool* abandoned;
};

}  // namespace

struct NtfsVolume::Mounted {
  Device device;
  Disk* disk = nullptr;
  uint64_t offset = 0;
  ntfs_volume* volume = nullptr;
  bool failed = false;
};

std::unique_ptr<NtfsVolume> NtfsVolume::mount(Disk* disk, uint64_t offset, uint64_t size, Mode mode,
                                              NtfsRefusal* why, std::string* detail) {
  ntfs_log_set_handler(keepLastError);
  lastLibraryError.clear();
  std::unique_ptr<NtfsVolume> volume(new NtfsVolume());
  volume->mounted_.reset(new Mounted{Device{VolumeWindow(disk, offset, size)}, disk, offset, nullptr, false});
  struct ntfs_device* device = ntfs_device_alloc("volume", 0, &deviceOperations, &volume->mounted_->device);
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
  volume->mounted_->device.window.setRecordSize(volume->mounted_->volume->mft_record_size);
  // Windows marks its registry files hidden and system; they are what we
  // look for. Names keep their case: ntfs_set_ignore_case would make
  // readdir return them folded, and a file recreated from them lower case.
  ntfs_set_shown_files(volume->mounted_->volume, TRUE, TRUE, FALSE);
  *why = NtfsRefusal::none;
  return volume;
}

NtfsVolume::~NtfsVolume() {
  if (mounted_ && mounted_->volume != nullptr && !mounted_->failed) {
    mounted_->device.window.fail();
    ntfs_umount(mounted_->volume, TRUE);
  }
}

bool NtfsVolume::unmount(std::string* detail) {
  lastLibraryError.clear();
  if (mounted_->failed) {
    mounted_->volume = nullptr;
    return true;
  }
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

bool NtfsVolume::readsBackAs(uint64_t directory, const std::string& name, const uint8_t* data, uint64_t size,
                             std::string* detail) {
  mounted_->disk->forget();
  NtfsRefusal why;
  std::unique_ptr<NtfsVolume> fresh = mount(mounted_->disk, mounted_->offset,
                                            mounted_->device.window.size(), Mode::read, &why, detail);
  NtfsEntry entry;
  if (!fresh || !fresh->find(directory, name, false, &entry, detail)) {
    if (fresh && detail->empty()) *detail = "it is not there";
    return false;
  }
  bool ok = entry.stamp.size == size;
  if (!ok) *detail = "it has " + std::to_string(entry.stamp.size) + " bytes";
  const size_t kPiece = 1 << 20;
  std::vector<uint8_t> piece(kPiece);
  for (uint64_t done = 0; ok && done < size;) {
    size_t wanted = size - done < kPiece ? static_cast<size_t>(size - done) : kPiece, got = 0;
    ok = fresh->read(entry.stamp.reference, done, piece.data(), wanted, &got, detail) && got == wanted;
    if (ok && memcmp(piece.data(), data + done, wanted) != 0) {
      *detail = "byte " + std::to_string(done) + " on differs";
      ok = false;
    } else if (!ok && detail->empty()) {
      *detail = "it ends sooner than it should";
    }
    done += wanted;
  }
  std::string ignored;
  fresh->unmount(&ignored);
  return ok;
}

namespace {

// Whether every bit of `count` bits from `first` is set in a bitmap attribute.
bool allSet(ntfs_attr* bitmap, uint64_t first, uint64_t count) {
  uint8_t bytes[4096];
  while (count > 0) {
    uint64_t byte = first / 8;
    s64 got = ntfs_attr_pread(bitmap, static_cast<s64>(byte), sizeof bytes, bytes);
    if (got <= 0) return false;
    for (uint64_t bit = first; count > 0 && bit / 8 < byte + static_cast<uint64_t>(got); ++bit, --count, ++first) {
      if ((bytes[bit / 8 - byte] & (1u << (bit % 8))) == 0) return false;
    }
  }
  return true;
}

// The clusters of an attribute's runs are marked used in $Bitmap.
bool clustersMarked(ntfs_volume* volume, ntfs_attr* attribute, const char* what, std::string* damage) {
  if (!NAttrNonResident(attribute)) return true;
  if (ntfs_attr_map_whole_runlist(attribute) != 0) {
    *damage = std::string("the data runs of ") + what + " cannot be read";
    return false;
  }
  for (runlist_element* run = attribute->rl; run != nullptr && run->length > 0; ++run) {
    if (run->lcn < 0) continue;
    if (static_cast<uint64_t>(run->lcn) + static_cast<uint64_t>(run->length) >
            static_cast<uint64_t>(volume->nr_clusters) ||
        !allSet(volume->lcnbmp_na, static_cast<uint64_t>(run->lcn), static_cast<uint64_t>(run->length))) {
      *damage = std::string("$Bitmap does not mark the clusters of ") + what + " as used";
      return false;
    }
  }
  return true;
}

// An index block's update sequence, as ntfs_mst_post_read_fixup checks it:
// libntfs-3g reads a block that fails it with a warning, but its writers
// cannot handle one, and fail in ways that free memory still in use.
bool sequenceWhole(const uint8_t* block, size_t size) {
  size_t offset = block[4] | block[5] << 8, count = block[6] | block[7] << 8;
  if (memcmp(block, "INDX", 4) != 0 || offset % 2 != 0 || count != size / 512 + 1 || offset + count * 2 > size) {
    return false;
  }
  for (size_t sector = 1; sector < count; ++sector) {
    if (memcmp(block + sector * 512 - 2, block + offset, 2) != 0) return false;
  }
  return true;
}

// Every index block the directory uses ($I30's bitmap) is whole.
bool indexBlocksWhole(ntfs_inode* directory, std::string* damage) {
  ntfs_attr* blocks = ntfs_attr_open(directory, AT_INDEX_ALLOCATION, NTFS_INDEX_I30, 4);
  if (blocks == nullptr) return true;
  ntfs_attr* used = ntfs_attr_open(directory, AT_BITMAP, NTFS_INDEX_I30, 4);
  size_t size = directory->vol->indx_record_size;
  std::vector<uint8_t> block(size);
  bool ok = used != nullptr && size >= 512;
  for (s64 index = 0; ok && index * static_cast<s64>(size) < blocks->data_size; ++index) {
    uint8_t bits = 0;
    if (ntfs_attr_pread(used, index / 8, 1, &bits) != 1) break;
    if ((bits & (1u << (index % 8))) == 0) continue;
    ok = ntfs_attr_pread(blocks, index * static_cast<s64>(size), static_cast<s64>(size), block.data()) ==
             static_cast<s64>(size) &&
         sequenceWhole(block.data(), size);
  }
  if (!ok) *damage = "an index block of the directory is damaged";
  if (used != nullptr) ntfs_attr_close(used);
  ntfs_attr_close(blocks);
  return ok;
}

}  // namespace

bool NtfsVolume::checkBeforeChange(uint64_t directory, uint64_t file, std::string* damage) {
  lastLibraryError.clear();
  ntfs_volume* volume = mounted_->volume;
  Open parent(&mounted_->failed), hive(&mounted_->failed);
  parent.inode = ntfs_inode_open(volume, directory);
  hive.inode = parent.inode != nullptr ? ntfs_inode_open(volume, file) : nullptr;
  if (hive.inode == nullptr) {
    *damage = errnoText("its directory or file cannot be read");
    return false;
  }
  ntfs_attr* data = ntfs_attr_open(hive.inode, AT_DATA, AT_UNNAMED, 0);
  if (data == nullptr) {
    *damage = errnoText("the file's data cannot be read");
    return false;
  }
  bool ok = data->initialized_size <= data->data_size && data->data_size <= data->allocated_size;
  if (!ok) *damage = "the sizes of the file's data disagree";
  ok = ok && clustersMarked(volume, data, "the file", damage);
  ntfs_attr_close(data);
  ok = ok && clustersMarked(volume, volume->mft_na, "the MFT", damage);
  ntfs_attr* index = ok ? ntfs_attr_open(parent.inode, AT_INDEX_ALLOCATION, NTFS_INDEX_I30, 4) : nullptr;
  if (index != nullptr) {
    ok = clustersMarked(volume, index, "the directory's index", damage);
    ntfs_attr_close(index);
  }
  ok = ok && indexBlocksWhole(parent.inode, damage);
  uint64_t records[] = {FILE_MFT, MREF(directory), MREF(file)};
  for (uint64_t record : records) {
    if (ok && !allSet(volume->mftbmp_na, record, 1)) {
      *damage = "the MFT's bitmap does not mark the records in use as used";
      ok = false;
    }
  }
  return ok;
}

uint64_t NtfsVolume::freeBytes() {
  ntfs_volume* volume = mounted_->volume;
  if (ntfs_volume_get_free_space(volume) != 0 || volume->free_clusters < 0) return 0;
  return static_cast<uint64_t>(volume->free_clusters) * volume->cluster_size;
}

void NtfsVolume::rehearse() { mounted_->device.window.rehearse(); }
bool NtfsVolume::rehearsing() const { return mounted_->device.window.rehearsing(); }

// A step that went well goes out; one that failed, and every later one,
// does not.
bool NtfsVolume::endStep(bool ok, bool adding, const char* what, std::string* detail) {
  VolumeWindow& window = mounted_->device.window;
  if (ok && !mounted_->failed && window.commit(adding ? StepKind::adding : StepKind::removing)) {
    if (!window.rehearsing()) mounted_->device.stepped = true;
    return true;
  }
  if (ok) *detail = errnoText(what);
  window.fail();
  mounted_->failed = true;
  return false;
}

bool NtfsVolume::create(uint64_t directory, const std::string& name, const NtfsEntry& like, const uint8_t* data,
                        uint64_t size, std::string* detail) {
  lastLibraryError.clear();
  ntfs_volume* volume = mounted_->volume;
  std::vector<ntfschar> units = wide(name);
  Open parent(&mounted_->failed), previous(&mounted_->failed), created(&mounted_->failed);
  parent.inode = ntfs_inode_open(volume, directory);
  previous.inode = parent.inode != nullptr ? ntfs_inode_open(volume, like.stamp.reference) : nullptr;
  if (previous.inode == nullptr) {
    *detail = errnoText("cannot open it");
    return endStep(false, true, "", detail);
  }
  le32 securityId = previous.inode->security_id;
  le32 attributes = previous.inode->flags;
  ntfs_time creation = previous.inode->creation_time;
  // A file of an NTFS 1.x volume, or one written by ntfs-3g, keeps its
  // security descriptor itself rather than an id into $Secure. One that
  // has neither cannot be copied, and a new file would get libntfs-3g's
  // default, which lets everyone change it.
  std::vector<u8> descriptor;
  if (securityId == 0) {
    ntfs_attr* own = ntfs_attr_open(previous.inode, AT_SECURITY_DESCRIPTOR, AT_UNNAMED, 0);
    if (own != nullptr && own->data_size > 0 && own->data_size < (1 << 20)) {
      descriptor.resize(static_cast<size_t>(own->data_size));
      if (ntfs_attr_pread(own, 0, own->data_size, descriptor.data()) != own->data_size) descriptor.clear();
    }
    if (own != nullptr) ntfs_attr_close(own);
    if (descriptor.empty()) {
      *detail = errnoText("its security descriptor cannot be read");
      return endStep(false, true, "", detail);
    }
  }
  ntfs_inode_close(previous.take());
  created.inode = ntfs_create(parent.inode, securityId, units.data(), static_cast<u8>(units.size()), S_IFREG);
  // libntfs-3g writes the data from this buffer, which stays as it is until
  // the change is done: it is held where it is, not copied.
  mounted_->device.window.lend(data, static_cast<size_t>(size));
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
  // The directory's index changed in memory: the file's names are synced
  // through it (ntfs_inode_close_in_dir), not through a fresh read of it.
  ok = ok && ntfs_inode_close_in_dir(created.take(), parent.inode) == 0 && ntfs_inode_close(parent.take()) == 0;
  if (!ok) *detail = errnoText("cannot write the new file");
  return endStep(ok, true, "cannot write the new file", detail);
}

bool NtfsVolume::link(uint64_t directory, uint64_t file, const std::string& name, std::string* detail) {
  lastLibraryError.clear();
  std::vector<ntfschar> units = wide(name);
  Open entry(&mounted_->failed), parent(&mounted_->failed);
  entry.inode = ntfs_inode_open(mounted_->volume, file);
  parent.inode = ntfs_inode_open(mounted_->volume, directory);
  bool ok = entry.inode != nullptr && parent.inode != nullptr &&
            ntfs_link(entry.inode, parent.inode, units.data(), static_cast<u8>(units.size())) == 0 &&
            ntfs_inode_close_in_dir(entry.take(), parent.inode) == 0 && ntfs_inode_close(parent.take()) == 0;
  if (!ok) *detail = errnoText(("cannot name it " + name).c_str());
  return endStep(ok, true, "cannot write a name", detail);
}

bool NtfsVolume::unlink(uint64_t directory, const std::string& name, std::string* detail) {
  lastLibraryError.clear();
  NtfsEntry entry;
  detail->clear();
  if (!find(directory, name, false, &entry, detail)) return detail->empty();
  std::vector<ntfschar> units = wide(entry.name);
  Open file(&mounted_->failed), parent(&mounted_->failed);
  file.inode = ntfs_inode_open(mounted_->volume, entry.stamp.reference);
  parent.inode = ntfs_inode_open(mounted_->volume, directory);
  bool ok = file.inode != nullptr && parent.inode != nullptr &&
            ntfs_delete(mounted_->volume, nullptr, file.take(), parent.take(), units.data(),
                        static_cast<u8>(units.size())) == 0;
  if (!ok) *detail = errnoText(("cannot remove the name " + name).c_str());
  return endStep(ok, false, "cannot remove a name", detail);
}

bool NtfsVolume::forgetUnindexedNames(uint64_t directory, uint64_t file, std::string* detail) {
  lastLibraryError.clear();
  Open entry(&mounted_->failed), parent(&mounted_->failed);
  entry.inode = ntfs_inode_open(mounted_->volume, file);
  parent.inode = ntfs_inode_open(mounted_->volume, directory);
  ntfs_attr_search_ctx* search = entry.inode != nullptr && parent.inode != nullptr
                                     ? ntfs_attr_get_search_ctx(entry.inode, nullptr)
                                     : nullptr;
  bool ok = search != nullptr;
  bool changed = false;
  while (ok && ntfs_attr_lookup(AT_FILE_NAME, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, search) == 0) {
    const FILE_NAME_ATTR* name = reinterpret_cast<const FILE_NAME_ATTR*>(
        reinterpret_cast<const u8*>(search->attr) + le16_to_cpu(search->attr->value_offset));
    if (MREF_LE(name->parent_directory) != MREF(directory)) continue;
    // The name is copied out of the packed record before it is looked up.
    std::vector<ntfschar> units(name->file_name_length);
    memcpy(units.data(), reinterpret_cast<const u8*>(name) + offsetof(FILE_NAME_ATTR, file_name),
           units.size() * sizeof(ntfschar));
    u64 listed = ntfs_inode_lookup_by_name(parent.inode, units.data(), static_cast<int>(units.size()));
    if (listed != static_cast<u64>(-1) && MREF(listed) == entry.inode->mft_no) continue;
    ok = ntfs_attr_record_rm(search) == 0;
    if (ok) {
      entry.inode->mrec->link_count = cpu_to_le16(le16_to_cpu(entry.inode->mrec->link_count) - 1);
      ntfs_inode_mark_dirty(entry.inode);
      ntfs_attr_reinit_search_ctx(search);
      changed = true;
    }
  }
  if (search != nullptr) ntfs_attr_put_search_ctx(search);
  if (ok && changed) ok = ntfs_inode_close(entry.take()) == 0;
  if (!ok) *detail = errnoText("cannot read the names of a file");
  return endStep(ok, false, "cannot write the names of a file", detail);
}

std::string NtfsVolume::shortName(uint64_t directory, const std::string& name) {
  NtfsEntry entry;
  std::string ignored;
  if (!find(directory, name, false, &entry, &ignored)) return "";
  Open file(&mounted_->failed), parent(&mounted_->failed);
  file.inode = ntfs_inode_open(mounted_->volume, entry.stamp.reference);
  parent.inode = ntfs_inode_open(mounted_->volume, directory);
  char shortName[16] = {0};
  int length = file.inode != nullptr && parent.inode != nullptr
                   ? ntfs_get_ntfs_dos_name(file.inode, parent.inode, shortName, sizeof shortName - 1)
                   : -1;
  return length > 0 ? std::string(shortName, static_cast<size_t>(length)) : "";
}

bool NtfsVolume::setShortName(uint64_t directory, const std::string& name, const std::string& shortName,
                              std::string* detail) {
  lastLibraryError.clear();
  NtfsEntry entry;
  detail->clear();
  if (!find(directory, name, false, &entry, detail)) {
    if (detail->empty()) *detail = "cannot find " + name;
    return endStep(false, true, "", detail);
  }
  Open file(&mounted_->failed), parent(&mounted_->failed);
  file.inode = ntfs_inode_open(mounted_->volume, entry.stamp.reference);
  parent.inode = ntfs_inode_open(mounted_->volume, directory);
  bool ok = file.inode != nullptr && parent.inode != nullptr &&
            ntfs_set_ntfs_dos_name(file.take(), parent.take(), shortName.c_str(), shortName.size(), 0) == 0;
  if (!ok) *detail = errnoText("cannot give it its short name");
  return endStep(ok, true, "cannot give it its short name", detail);
}

}  // namespace standin
