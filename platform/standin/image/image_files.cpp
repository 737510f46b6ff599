// An offline installation inside a disk image or on a block device: its
// Windows volume found among the partitions, its hives, their logs and the
// head of hiberfil.sys read into memory files that the hive store opens as
// it opens files on a mounted volume, and a changed hive written back into
// the volume. Nothing is created beside the image; qemu's image locks keep
// other programs away while it is read or written.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <vector>

#include "platform/standin/files/store_file.h"
#include "platform/standin/hive/base_block.h"
#include "platform/standin/hive/hive_files.h"
#include "platform/standin/hive/installation.h"
#include "platform/standin/image/image_format.h"
#include "platform/standin/image/nbd_disk.h"
#include "platform/standin/image/ntfs_volume.h"
#include "platform/standin/image/partition_table.h"

namespace standin {

namespace {

const char* const kConfigPath[] = {"Windows", "System32", "config"};
const char* const kHives[] = {"SYSTEM", "SOFTWARE"};
std::string upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// Another run holds an image for well under this while it reads or
// writes it; a virtual machine holds it for as long as it runs.
const double kBusyImageSeconds = 2;

// A file of the volume, read into a memory file that no other program can
// change or cut short.
struct MemoryFile {
  std::string name;  // as spelled on the volume; for a hive, without what an interrupted run added
  std::string shown;
  int fd = -1;
  NtfsEntry entry;
};

bool readIntoMemory(NtfsVolume& volume, const NtfsEntry& entry, const std::string& name, const std::string& shown,
                    MemoryFile* file, std::string* error) {
  file->name = name;
  file->shown = shown;
  file->entry = entry;
  file->fd = memfd_create("netvane-image-file", MFD_CLOEXEC);
  uint64_t size = entry.stamp.size;
  bool ok = file->fd >= 0 && ftruncate(file->fd, static_cast<off_t>(size)) == 0;
  // A file above Windows' ceiling is not read, only its size is kept,
  // which the hive store refuses.
  if (ok && size > 0 && size <= largestHive(name.substr(0, name.find('.')))) {
    void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, file->fd, 0);
    ok = mapped != MAP_FAILED;
    std::string detail;
    size_t got = 0;
    if (ok && !volume.read(entry.stamp.reference, 0, mapped, static_cast<size_t>(size), &got, &detail)) {
      *error = "Cannot read " + shown + ": " + detail;
      munmap(mapped, size);
      return false;
    }
    if (ok) munmap(mapped, size);
  }
  if (!ok) *error = "Cannot read " + shown + " into memory: " + strerror(errno);
  return ok;
}

class ImageFiles : public HiveFiles {
 public:
  ~ImageFiles() override {
    for (std::map<std::string, MemoryFile>::value_type& file : files_) {
      if (file.second.fd >= 0) close(file.second.fd);
    }
  }

  bool open(const std::string& path, std::string* error) {
    path_ = path;
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
      *error = "Cannot open disk image " + path + ": " + strerror(errno);
      return false;
    }
    device_ = S_ISBLK(info.st_mode);
    noun_ = device_ ? "disk" : "disk image";
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    uint64_t size = device_ ? 0 : static_cast<uint64_t>(info.st_size);
    if (fd >= 0 && device_) {
      off_t end = lseek(fd, 0, SEEK_END);
      size = end > 0 ? static_cast<uint64_t>(end) : 0;
    }
    std::string head, tail;
    ImageStart start;
    bool read = fd >= 0 && readImageStart(fd, size, &head, &tail, &start);
    if (!read) {
      *error = "Cannot read " + noun_ + " " + path + ": " + strerror(errno);
      if (fd >= 0) close(fd);
      return false;
    }
    close(fd);
    format_ = imageFormat(start);
    if (!readInstallation(error)) return false;
    return settleAtOpen(error);
  }

  bool openHive(const char* name, LockedFile* file, std::string* error) override {
    std::map<std::string, MemoryFile>::const_iterator found = files_.find(name);
    if (found == files_.end()) {
      *error = "Cannot find registry hive " + configShown_ + "/" + name;
      return false;
    }
    file->path = file->resolved = found->second.shown;
    file->noun = "registry hive";
    file->fd = dup(found->second.fd);
    if (file->fd < 0 || fstat(file->fd, &file->opened) != 0) {
      *error = "Cannot read registry hive " + file->path + ": " + strerror(errno);
      return false;
    }
    return true;
  }

  bool findLog(const LockedFile&, const std::string& logName, std::string* shown, std::string* opened,
               std::string*) override {
    std::map<std::string, MemoryFile>::const_iterator found = files_.find(upper(logName));
    if (found == files_.end() || found->second.fd < 0) return false;
    *shown = found->second.shown;
    *opened = "/proc/self/fd/" + std::to_string(found->second.fd);
    return true;
  }

  const std::string& refusal() const override { return hibernated_; }

  // The memory files cannot change; whether the volume did is told when it
  // is opened for writing.
  bool unchanged(const LockedFile&, const UpToDate&, std::string*) override { return true; }

  // Nothing to lock yet: qemu's write lock on the image is taken, and the
  // volume checked against what was read, when the image is opened for
  // writing at the end of the run.
  bool lockForChange(LockedFile*, LockedFile*, std::string*, bool* replaced) override {
    *replaced = false;
    return true;
  }

  bool replace(const LockedFile& hive, const WriteHive& write, std::string* error) override {
    const MemoryFile& file = files_[upper(hive.path.substr(hive.path.rfind('/') + 1))];
    int fd = memfd_create("netvane-new-hive", MFD_CLOEXEC);
    if (fd < 0) {
      *error = "Cannot write registry hive " + hive.path + ": " + strerror(errno);
      return false;
    }
    struct stat written;
    void* mapped = MAP_FAILED;
    bool ok = write("/proc/self/fd/" + std::to_string(fd), error);
    if (ok && (fstat(fd, &written) != 0 ||
               (written.st_size > 0 &&
                (mapped = mmap(nullptr, static_cast<size_t>(written.st_size), PROT_READ, MAP_SHARED, fd, 0)) ==
                    MAP_FAILED))) {
      *error = "Cannot write registry hive " + hive.path + ": " + strerror(errno);
      ok = false;
    }
    close(fd);
    if (!ok) return false;
    const uint8_t* bytes = mapped == MAP_FAILED ? nullptr : static_cast<const uint8_t*>(mapped);
    ok = writeVolume(
        [this, &file, bytes, &written](NtfsVolume& volume, std::string* failure) {
          std::string detail;
          NtfsVolume::Replacement current;
          if (!volume.inspect(config_, file.name, &current, &detail) ||
              !volume.replace(config_, current.current, bytes, static_cast<uint64_t>(written.st_size), &detail)) {
            *failure = "Cannot write registry hive " + file.shown + ": " + detail;
            return false;
          }
          return true;
        },
        error);
    if (mapped != MAP_FAILED) munmap(mapped, static_cast<size_t>(written.st_size));
    return ok;
  }

 private:
  typedef std::function<bool(NtfsVolume& volume, std::string* error)> VolumeWork;

  std::string capitalNoun() const { return noun_ == "disk" ? "Disk" : "Disk image"; }

  bool openDisk(NbdDisk* disk, bool writable, std::string* error) {
    DiskFailure failure;
    std::string detail;
    const double start = secondsNow();
    const double wait = std::min(kBusyImageSeconds, lockWaitSeconds());
    for (;;) {
      if (disk->open(path_, format_, device_, writable, false, &failure, &detail)) return true;
      if (failure != DiskFailure::inUse || !writable || secondsNow() - start >= wait) break;
      struct timespec pause = {0, 50 * 1000 * 1000};
      nanosleep(&pause, nullptr);
    }
    // A listing never waits for a lock: it reads what is there, and says
    // that another program may be changing it.
    if (failure == DiskFailure::inUse && !writable &&
        disk->open(path_, format_, device_, false, true, &failure, &detail)) {
      fprintf(stderr, "netvane: %s %s is in use by another program; what is listed may be stale\n",
              noun_.c_str(), path_.c_str());
      return true;
    }
    switch (failure) {
      case DiskFailure::inUse:
        *error = capitalNoun() + " " + path_ +
                 " is in use by another program, such as a virtual machine that is running; nothing was written";
        break;
      case DiskFailure::readOnly:
        *error = capitalNoun() + " " + path_ + " is read-only";
        break;
      case DiskFailure::noQemuNbd:
        *error = "Cannot open " + noun_ + " " + path_ + ": " + detail;
        break;
      default:
        *error = "Cannot " + std::string(writable ? "write " : "read ") + noun_ + " " + path_ + ": " + detail;
    }
    return false;
  }

  // What the partition holds, for the line that says there is no Windows.
  std::string describe(const Partition& partition, const std::string& holds) const {
    return (partition.number == 0 ? std::string("the whole ") + noun_
                                   : "partition " + std::to_string(partition.number)) +
           ": " + holds;
  }

  std::string rootOf(unsigned number) const {
    return number == 0 ? path_ : path_ + " partition " + std::to_string(number);
  }

  // Mounts each NTFS partition (or only the one NETVANE_PARTITION names)
  // and keeps the one that holds Windows/System32/config/SYSTEM.
  bool findWindows(NbdDisk& disk, const PartitionTable& table, std::unique_ptr<NtfsVolume>* chosen,
                   std::string* error) {
    const char* named = getenv("NETVANE_PARTITION");
    bool picked = named != nullptr && named[0] != '\0';
    std::vector<std::string> looked;
    std::vector<unsigned> found;
    for (const Partition& partition : table.partitions) {
      if (picked && std::to_string(partition.number) != named) continue;
      if (partition.kind != VolumeKind::ntfs) {
        looked.push_back(describe(partition, volumeKindName(partition.kind)));
        continue;
      }
      NtfsRefusal why;
      std::string detail;
      std::unique_ptr<NtfsVolume> volume =
          NtfsVolume::mount(&disk, partition.offset, partition.size, NtfsVolume::Mode::read, &why, &detail);
      if (!volume) {
        looked.push_back(describe(partition, "NTFS that libntfs-3g cannot mount (" + detail + ")"));
        continue;
      }
      uint64_t config = 0;
      NtfsVolume::Replacement system;
      detail.clear();
      bool windows = findConfig(*volume, &config, nullptr, &detail) &&
                     volume->inspect(config, "SYSTEM", &system, &detail);
      if (!windows) {
        looked.push_back(describe(partition, detail.empty() ? "NTFS without Windows"
                                                            : "NTFS that cannot be read (" + detail + ")"));
        continue;
      }
      found.push_back(partition.number);
      if (found.size() == 1) {
        *chosen = std::move(volume);
        partition_ = partition;
      }
    }
    if (found.size() == 1) return true;
    chosen->reset();
    std::string list;
    for (size_t i = 0; i < found.size(); ++i) {
      list += (i == 0 ? "" : i + 1 == found.size() ? " and " : ", ") + std::to_string(found[i]);
    }
    if (found.size() > 1) {
      *error = capitalNoun() + " " + path_ + " holds Windows installations on partitions " + list +
               ": name one with NETVANE_PARTITION";
    } else if (picked && looked.empty()) {
      *error = capitalNoun() + " " + path_ + " has no partition " + named;
    } else {
      std::string holds;
      for (size_t i = 0; i < looked.size(); ++i) holds += (i == 0 ? "" : "; ") + looked[i];
      *error = "No Windows installation in " + noun_ + " " + path_ + " (" + holds + ")";
    }
    return false;
  }

  // Windows/System32/config below the root, names in any case; `shown`
  // gets them as spelled on the volume.
  bool findConfig(NtfsVolume& volume, uint64_t* config, std::string* shown, std::string* detail) {
    uint64_t directory = 0;
    std::string spelled;
    for (const char* name : kConfigPath) {
      NtfsEntry entry;
      if (!volume.find(directory, name, true, &entry, detail)) return false;
      directory = entry.stamp.reference;
      spelled += "/" + entry.name;
    }
    *config = directory;
    if (shown != nullptr) *shown = spelled;
    return true;
  }

  uint64_t volumeSerial(NbdDisk& disk) {
    uint8_t boot[512];
    return disk.read(partition_.offset, boot, sizeof boot) ? littleEndian64(boot + 0x48) : 0;
  }

  bool readInstallation(std::string* error) {
    NbdDisk disk;
    if (!openDisk(&disk, false, error)) return false;
    diskSize_ = disk.size();
    PartitionTable table;
    std::string detail;
    ReadDisk read = [&disk](uint64_t offset, void* buffer, size_t size) { return disk.read(offset, buffer, size); };
    if (!readPartitionTable(read, disk.size(), &table, &detail)) {
      *error = "Cannot read " + noun_ + " " + path_ + ": " + detail;
      return false;
    }
    if (!table.warning.empty()) fprintf(stderr, "netvane: %s %s: %s\n", noun_.c_str(), path_.c_str(), table.warning.c_str());
    std::unique_ptr<NtfsVolume> volume;
    if (!findWindows(disk, table, &volume, error)) return false;
    root_ = rootOf(partition_.number);
    serial_ = volumeSerial(disk);
    std::string spelled;
    findConfig(*volume, &config_, &spelled, &detail);
    configShown_ = root_ + ":" + spelled;
    journal_ = volume->journal();
    markedDirty_ = volume->markedDirty();
    hibernated_.clear();
    readHibernation(*volume, &hibernated_);
    if (journal_ == NtfsJournal::fastStartUp && hibernated_.empty()) hibernated_ = hibernatedRefusal(root_);
    for (std::map<std::string, MemoryFile>::value_type& file : files_) close(file.second.fd);
    files_.clear();
    left_.clear();
    for (const char* hive : kHives) {
      NtfsVolume::Replacement current;
      detail.clear();
      if (!volume->inspect(config_, hive, &current, &detail)) {
        if (!detail.empty()) {
          *error = "Cannot read " + configShown_ + ": " + detail;
          return false;
        }
        continue;
      }
      std::string spelled = current.current.name.substr(0, strlen(hive));
      if (current.left) left_.push_back(spelled);
      MemoryFile& file = files_[hive];
      if (!readIntoMemory(*volume, current.current, spelled, configShown_ + "/" + spelled, &file, error)) {
        return false;
      }
      // The logs matter only to a dirty hive, which the store replays.
      uint8_t head[kBaseBlockSize];
      if (pread(file.fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) ||
          !isDirty(parseBaseBlock(head, sizeof head))) {
        continue;
      }
      for (const char* suffix : kLogSuffixes) {
        NtfsEntry log;
        std::string logName = spelled + suffix;
        if (!volume->find(config_, logName, false, &log, &detail)) {
          if (!detail.empty()) {
            *error = "Cannot read transaction log " + configShown_ + "/" + logName + ": " + detail;
            return false;
          }
          continue;
        }
        if (!readIntoMemory(*volume, log, log.name, configShown_ + "/" + log.name, &files_[upper(logName)], error)) {
          return false;
        }
      }
    }
    if (!volume->unmount(&detail)) {
      *error = "Cannot read the NTFS volume on " + root_ + ": " + detail;
      return false;
    }
    volume.reset();
    if (!disk.close(&detail)) {
      *error = "Cannot read " + noun_ + " " + path_ + ": " + detail;
      return false;
    }
    if (journal_ != NtfsJournal::clean || markedDirty_) {
      fprintf(stderr, "netvane: the NTFS volume on %s was not shut down cleanly; what is listed may be slightly stale\n",
              root_.c_str());
    }
    return true;
  }

  // hiberfil.sys at the volume's root, judged as installation.cpp judges it.
  void readHibernation(NtfsVolume& volume, std::string* refusal) {
    NtfsEntry file;
    std::string detail;
    char header[kHiberfileHeaderSize];
    size_t got = 0;
    hibernation_.clear();
    if (!volume.find(0, "hiberfil.sys", false, &file, &detail) && detail.empty()) return;
    if (!detail.empty() || !volume.read(file.stamp.reference, 0, header, sizeof header, &got, &detail)) {
      *refusal = unknownHibernationRefusal("Cannot read " + root_ + ":/hiberfil.sys: " + detail);
      return;
    }
    hibernation_ = std::string(header, got);
    if (holdsHibernationImage(header, got)) *refusal = hibernatedRefusal(root_);
  }

  bool resetsJournal() const {
    const char* setting = getenv("NETVANE_NTFS_JOURNAL");
    return setting != nullptr && strcmp(setting, "reset") == 0;
  }

  std::string uncleanRefusal(bool flagged) const {
    return "The NTFS volume on " + root_ + " was not shut down cleanly" +
           (flagged ? " (it is marked for a disk check): start Windows and let it check the volume"
                    : ": start Windows and shut it down, or run ntfsrecover on the volume") +
           ", then try again, or set NETVANE_NTFS_JOURNAL=reset to drop what Windows has yet to apply; "
           "nothing was written";
  }

  // Opens the image for writing, mounts the volume read-write, checks that
  // it is the one that was read, and does `work`. Refusals come before
  // anything is written.
  bool writeVolume(const VolumeWork& work, std::string* error) {
    bool reset = resetsJournal();
    if (!reset && (journal_ == NtfsJournal::unclean || markedDirty_)) {
      *error = uncleanRefusal(journal_ == NtfsJournal::clean);
      return false;
    }
    if (faccessat(AT_FDCWD, path_.c_str(), W_OK, AT_EACCESS) != 0) {
      *error = errno == EACCES || errno == EROFS || errno == EPERM
                   ? capitalNoun() + " " + path_ + " is read-only"
                   : "Cannot write " + noun_ + " " + path_ + ": " + strerror(errno);
      return false;
    }
    // A signal that would end the run waits until the volume is closed.
    HoldSignals hold;
    NbdDisk disk;
    if (!openDisk(&disk, true, error)) return false;
    std::string changed = capitalNoun() + " " + path_ + " changed while netvane was reading it";
    if (disk.size() != diskSize_ || volumeSerial(disk) != serial_) {
      *error = changed;
      return false;
    }
    NtfsRefusal why;
    std::string detail;
    std::unique_ptr<NtfsVolume> volume = NtfsVolume::mount(
        &disk, partition_.offset, partition_.size,
        reset ? NtfsVolume::Mode::writeResettingJournal : NtfsVolume::Mode::write, &why, &detail);
    if (!volume) {
      *error = why == NtfsRefusal::hibernated ? hibernatedRefusal(root_)
               : why == NtfsRefusal::unclean  ? uncleanRefusal(false)
                                              : "Cannot write the NTFS volume on " + root_ + ": " + detail;
      return false;
    }
    if (!reset && volume->markedDirty()) {
      *error = uncleanRefusal(true);
      return false;
    }
    if (!sameAsRead(*volume, &changed)) {
      *error = changed;
      return false;
    }
    if (!settleLeftovers(*volume, error)) return false;
    bool ok = work(*volume, error);
    if (!volume->unmount(&detail) && ok) {
      *error = "Cannot write the NTFS volume on " + root_ + ": " + detail;
      ok = false;
    }
    volume.reset();
    if (!disk.close(&detail) && ok) {
      *error = "Cannot write " + noun_ + " " + path_ + ": " + detail;
      ok = false;
    }
    return ok;
  }

  // The hives, their logs and hiberfil.sys are as they were read.
  bool sameAsRead(NtfsVolume& volume, std::string* changed) {
    std::string detail;
    for (std::map<std::string, MemoryFile>::value_type& file : files_) {
      NtfsVolume::Replacement current;
      bool hive = file.first == "SYSTEM" || file.first == "SOFTWARE";
      bool found = hive ? volume.inspect(config_, file.second.name, &current, &detail)
                        : volume.find(config_, file.second.name, false, &current.current, &detail);
      if (!found || current.current.stamp != file.second.entry.stamp) {
        *changed = "Registry " + std::string(hive ? "hive " : "transaction log ") + file.second.shown +
                   " changed while netvane was reading it";
        return false;
      }
    }
    NtfsEntry hiberfile;
    std::string header;
    if (volume.find(0, "hiberfil.sys", false, &hiberfile, &detail)) {
      header.resize(kHiberfileHeaderSize);
      size_t got = 0;
      if (!volume.read(hiberfile.stamp.reference, 0, &header[0], header.size(), &got, &detail)) return false;
      header.resize(got);
    }
    if (header != hibernation_) {
      *changed = "Windows on " + root_ + " was started or hibernated while netvane was reading it";
      return false;
    }
    return true;
  }

  // A replacement an interrupted run left is finished or undone before
  // anything else is written.
  bool settleLeftovers(NtfsVolume& volume, std::string* error) {
    for (const char* hive : kHives) {
      NtfsVolume::Replacement left;
      std::string detail;
      if (!volume.inspect(config_, hive, &left, &detail) || !left.left) continue;
      if (!volume.settle(config_, left.current.name.substr(0, strlen(hive)), "", &detail)) {
        *error = "Cannot write registry hive " + configShown_ + "/" + hive + ": " + detail;
        return false;
      }
      fprintf(stderr, "netvane: %s %s/%s, which an interrupted run had left half replaced\n",
              left.finishing ? "finished replacing" : "put back the old", configShown_.c_str(), hive);
    }
    return true;
  }

  // A listing, too, settles what an interrupted run left, when it may
  // write the image; otherwise it reads what that run left.
  bool settleAtOpen(std::string* error) {
    if (left_.empty()) return true;
    std::string why;
    bool settled = hibernated_.empty() && faccessat(AT_FDCWD, path_.c_str(), W_OK, AT_EACCESS) == 0 &&
                   writeVolume([](NtfsVolume&, std::string*) { return true; }, &why);
    if (!settled) {
      for (const std::string& hive : left_) {
        fprintf(stderr, "netvane: %s/%s was left half replaced by an interrupted run, and is read as that run left it%s\n",
                configShown_.c_str(), hive.c_str(), why.empty() ? "" : (" (" + why + ")").c_str());
      }
      return true;
    }
    return readInstallation(error);
  }

  std::string path_;
  std::string noun_;
  bool device_ = false;
  const char* format_ = "raw";
  uint64_t diskSize_ = 0;
  Partition partition_;
  uint64_t serial_ = 0;
  std::string root_;
  uint64_t config_ = 0;
  std::string configShown_;
  NtfsJournal journal_ = NtfsJournal::clean;
  bool markedDirty_ = false;
  std::string hibernated_;
  std::string hibernation_;  // hiberfil.sys's first bytes as read, if any
  std::vector<std::string> left_;
  // The hives and the logs of dirty ones, by their names in upper case.
  std::map<std::string, MemoryFile> files_;
};

}  // namespace

std::unique_ptr<RegistryStore> openDiskImageStore(const std::string& path, std::string* error) {
  std::unique_ptr<ImageFiles> files(new ImageFiles());
  if (!files->open(path, error)) return nullptr;
  return openHiveStoreOn(std::unique_ptr<HiveFiles>(files.release()), error);
}

}  // namespace standin
