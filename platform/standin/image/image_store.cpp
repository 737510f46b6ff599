// An offline installation inside a disk image or on a block device: the
// run's policy. Its Windows volume is found among the partitions, its hives,
// their logs and the head of hiberfil.sys are read into memory files that
// the hive store opens as it opens files on a mounted volume, and the
// changed hives are written back into the volume in one transaction
// (hive_swap.h). Nothing is created beside the image. A listing holds the
// image's lock while it reads; a configure run holds it for writing from
// before its first read until its last write, so that runs take turns.
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "platform/standin/files/store_file.h"
#include "platform/standin/hive/base_block.h"
#include "platform/standin/hive/hive_files.h"
#include "platform/standin/hive/installation.h"
#include "platform/standin/image/disk.h"
#include "platform/standin/image/hive_swap.h"
#include "platform/standin/image/image_chain.h"
#include "platform/standin/image/image_format.h"
#include "platform/standin/image/image_probe.h"
#include "platform/standin/image/ntfs_volume.h"
#include "platform/standin/image/partition_table.h"
#include "platform/standin/image/run_signals.h"
#include "platform/standin/image/run_supervisor.h"
#include "platform/standin/image/sandbox.h"
#include "platform/standin/image/windows_partition.h"

namespace standin {

namespace {

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
// Room beside the new hive's own clusters for what creating it takes: a
// new MFT record, which may grow the MFT, and an index block.
const uint64_t kCreationMargin = 1 << 20;

// A file of the volume, read into a memory file that no other program can
// change or cut short.
struct MemoryFile {
  std::string name;  // as spelled on the volume
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

// A new hive, as the hive store wrote it into a memory file.
struct NewHive {
  std::string name;
  std::string shown;
  int fd = -1;
  void* mapped = MAP_FAILED;
  uint64_t size = 0;
  ~NewHive() {
    if (mapped != MAP_FAILED) munmap(mapped, static_cast<size_t>(size));
    if (fd >= 0) close(fd);
  }
};

// The loop device, if any, whose backing file is `image`: writing the image
// would go under whatever has that device open or mounted.
std::string loopDeviceOf(const struct stat& image) {
  glob_t found;
  std::string device;
  if (glob("/sys/block/loop*/loop/backing_file", 0, nullptr, &found) != 0) return device;
  for (size_t i = 0; i < found.gl_pathc && device.empty(); ++i) {
    FILE* file = fopen(found.gl_pathv[i], "re");
    char backing[4096];
    bool read = file != nullptr && fgets(backing, sizeof backing, file) != nullptr;
    if (file != nullptr) fclose(file);
    if (!read) continue;
    std::string path = backing;
    while (!path.empty() && path.back() == '\n') path.pop_back();
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && info.st_dev == image.st_dev && info.st_ino == image.st_ino) {
      std::string sys = found.gl_pathv[i];
      std::string::size_type start = strlen("/sys/block/");
      device = "/dev/" + sys.substr(start, sys.find('/', start) - start);
    }
  }
  globfree(&found);
  return device;
}

class ImageFiles : public HiveFiles {
 public:
  ~ImageFiles() override {
    for (std::map<std::string, MemoryFile>::value_type& file : files_) {
      if (file.second.fd >= 0) close(file.second.fd);
    }
  }

  // Everything the run needs from outside is opened first (the image, its
  // lock, qemu-nbd); the image's bytes are read only in the sandbox.
  bool open(const std::string& path, bool device, const ImageProbe& probe, bool forChange, std::string* error) {
    path_ = path;
    forChange_ = forChange;
    device_ = device;
    noun_ = device_ ? "disk" : "disk image";
    format_ = probe.format;
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
      *error = "Cannot open " + noun_ + " " + path + ": " + strerror(errno);
      return false;
    }
    request_ = DiskRequest();
    request_.path = path;
    request_.format = format_.c_str();
    request_.device = device_;
    // What the image names is checked, and named to qemu, by the path its
    // own links lead to, so that its directory is the one qemu sees.
    char real[PATH_MAX];
    if (!device_ && format_ != "raw") {
      if (realpath(path.c_str(), real) == nullptr) {
        *error = "Cannot read disk image " + path + ": " + strerror(errno);
        return false;
      }
      request_.path = real;
      if (!checkImageChain(path, &request_, error)) return false;
    }
    if (forChange && !mayBeChanged(probe, info, error)) return false;
    if (!openDiskWaiting(error)) return false;
    std::string detail;
    if (!enterSandbox("run", &detail)) {
      *error = "Cannot read " + noun_ + " " + path + ": " + detail;
      return false;
    }
    return readInstallation(error);
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

  bool findLog(const LockedFile&, const std::string& logName, std::string* shown, int* fd,
               std::string* error) override {
    std::map<std::string, MemoryFile>::const_iterator found = files_.find(upper(logName));
    if (found == files_.end() || found->second.fd < 0) return false;
    *shown = found->second.shown;
    *fd = dup(found->second.fd);
    if (*fd < 0) *error = "Cannot read transaction log " + *shown + ": " + strerror(errno);
    return *fd >= 0;
  }

  const std::string& refusal() const override { return hibernated_; }

  // The memory files cannot change, and a configure run has held the
  // image's write lock since before it read them.
  bool unchanged(const LockedFile&, const UpToDate&, std::string*) override { return true; }
  bool lockForChange(LockedFile*, LockedFile*, std::string*, bool* replaced) override {
    *replaced = false;
    return true;
  }

  bool commit(const std::vector<HiveWrite>& writes, std::string* error) override {
    if (!disk_) {
      *error = capitalNoun() + " " + path_ + " was read for a listing, which changes nothing";
      return false;
    }
    std::vector<std::unique_ptr<NewHive>> hives;
    for (const HiveWrite& write : writes) {
      std::unique_ptr<NewHive> hive(new NewHive());
      const MemoryFile& file = files_[upper(write.hive->path.substr(write.hive->path.rfind('/') + 1))];
      hive->name = file.name;
      hive->shown = file.shown;
      hive->fd = memfd_create("netvane-new-hive", MFD_CLOEXEC);
      struct stat written;
      if (hive->fd < 0) {
        *error = "Cannot write registry hive " + file.shown + ": " + strerror(errno);
        return false;
      }
      if (!write.write("/proc/self/fd/" + std::to_string(hive->fd), error)) return false;
      if (fstat(hive->fd, &written) != 0 ||
          (written.st_size > 0 && (hive->mapped = mmap(nullptr, static_cast<size_t>(written.st_size), PROT_READ,
                                                       MAP_SHARED, hive->fd, 0)) == MAP_FAILED)) {
        *error = "Cannot write registry hive " + file.shown + ": " + strerror(errno);
        return false;
      }
      hive->size = static_cast<uint64_t>(written.st_size);
      hives.push_back(std::move(hive));
    }
    return writeVolume(hives, error);
  }

 private:
  std::string capitalNoun() const { return device_ ? "Disk" : "Disk image"; }

  // What keeps a configure run from changing the image at all, before
  // anything is read.
  bool mayBeChanged(const ImageProbe& probe, const struct stat& info, std::string* error) {
    if (!probe.unwritable.empty()) {
      *error = capitalNoun() + " " + path_ + " is a " + probe.unwritable +
               " VMDK, which cannot be changed in place: convert it first (qemu-img convert -O vmdk " + path_ +
               " NEW.vmdk); nothing was written";
      return false;
    }
    std::string loop = device_ ? "" : loopDeviceOf(info);
    if (!loop.empty()) {
      *error = capitalNoun() + " " + path_ + " is attached to loop device " + loop + ": detach it (losetup -d " +
               loop + ") first; nothing was written";
      return false;
    }
    return true;
  }

  // Opens the disk, waiting a moment for another run that holds it. A
  // listing that finds it held for writing by a program that does not let
  // go reads it without the lock, and says that what it lists may be stale.
  bool openDiskWaiting(std::string* error) {
    DiskRequest request = request_;
    request.writable = forChange_;
    DiskFailure failure;
    std::string detail;
    const double start = secondsNow();
    const double wait = std::min(kBusyImageSeconds, lockWaitSeconds());
    // Two runs that start together each see the other's lock and back out
    // (image_lock.h); pauses of their own lengths let one go first.
    std::minstd_rand pauses(static_cast<unsigned>(getpid()));
    for (;;) {
      disk_ = openDisk(request, &failure, &detail);
      if (disk_) return true;
      if ((failure != DiskFailure::inUse && failure != DiskFailure::busy) || secondsNow() - start >= wait) break;
      struct timespec pause = {0, static_cast<long>(20 + pauses() % 60) * 1000 * 1000};
      nanosleep(&pause, nullptr);
    }
    if (failure == DiskFailure::inUse && !forChange_) {
      request.forceShare = true;
      disk_ = openDisk(request, &failure, &detail);
      if (disk_) {
        fprintf(stderr, "netvane: %s %s is in use by another program; what is listed may be stale\n",
                noun_.c_str(), path_.c_str());
        return true;
      }
    }
    switch (failure) {
      case DiskFailure::inUse:
        *error = capitalNoun() + " " + path_ +
                 " is in use by another program, such as a virtual machine that is running; nothing was written";
        break;
      case DiskFailure::busy:
        *error = capitalNoun() + " " + path_ +
                 " is in use: a partition of it is mounted, or another program holds it; nothing was written";
        break;
      case DiskFailure::readOnly:
        *error = capitalNoun() + " " + path_ + " is read-only";
        break;
      case DiskFailure::noQemuNbd:
        *error = "Cannot open " + noun_ + " " + path_ + ": " + detail;
        break;
      default:
        *error = "Cannot read " + noun_ + " " + path_ + ": " + detail;
    }
    return false;
  }

  uint64_t volumeSerial() {
    uint8_t boot[512];
    return disk_->read(windows_.partition.offset, boot, sizeof boot) ? littleEndian64(boot + 0x48) : 0;
  }

  // A note on standard error, for a listing only: a configure run's answer
  // is the one line it ends with, or nothing.
  void note(const std::string& text) {
    if (!forChange_) fprintf(stderr, "netvane: %s\n", text.c_str());
  }

  bool readInstallation(std::string* error) {
    diskSize_ = disk_->size();
    PartitionTable table;
    std::string detail;
    ReadDisk read = [this](uint64_t offset, void* buffer, size_t size) { return disk_->read(offset, buffer, size); };
    if (!readPartitionTable(read, disk_->size(), &table, &detail)) {
      *error = "Cannot read " + noun_ + " " + path_ + ": " + detail;
      return false;
    }
    // What the table's reader worked around is said in the one line of a
    // refusal, or else in a note.
    if (!findWindowsVolume(*disk_, table, path_, noun_, &windows_, error)) {
      if (!table.warning.empty() && table.pastEnd.empty()) *error += "; " + table.warning;
      return false;
    }
    if (!table.warning.empty()) note(noun_ + " " + path_ + ": " + table.warning);
    NtfsVolume& volume = *windows_.volume;
    root_ = windows_.partition.number == 0 ? path_
                                           : path_ + " partition " + std::to_string(windows_.partition.number);
    serial_ = volumeSerial();
    configShown_ = root_ + ":" + windows_.configSpelled;
    journal_ = volume.journal();
    markedDirty_ = volume.markedDirty();
    hibernated_.clear();
    readHibernation(volume, &hibernated_);
    if (journal_ == NtfsJournal::fastStartUp && hibernated_.empty()) hibernated_ = hibernatedRefusal(root_);
    // What an interrupted run left is read as the next configure run will
    // settle it: the file that has the hive's name, or else the old one.
    std::vector<Replacement> replacements;
    for (const char* hive : kHives) {
      Replacement found;
      detail.clear();
      if (inspectReplacement(volume, windows_.config, hive, &found, &detail)) {
        replacements.push_back(found);
      } else if (!detail.empty()) {
        *error = "Cannot read " + configShown_ + ": " + detail;
        return false;
      }
    }
    bool forward = settlesForward(replacements);
    for (const Replacement& found : replacements) {
      const NtfsEntry& kept = found.keeps(forward);
      std::string spelled = kept.name.substr(0, found.name.size());
      MemoryFile& file = files_[found.name];
      if (!readIntoMemory(volume, kept, spelled, configShown_ + "/" + spelled, &file, error)) return false;
      file.name = found.name;
      // The logs matter only to a dirty hive, which the store replays.
      uint8_t head[kBaseBlockSize];
      if (pread(file.fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) ||
          !isDirty(parseBaseBlock(head, sizeof head))) {
        continue;
      }
      for (const char* suffix : kLogSuffixes) {
        NtfsEntry log;
        std::string logName = spelled + suffix;
        if (!volume.find(windows_.config, logName, false, &log, &detail)) {
          if (!detail.empty()) {
            *error = "Cannot read transaction log " + configShown_ + "/" + logName + ": " + detail;
            return false;
          }
          continue;
        }
        if (!readIntoMemory(volume, log, log.name, configShown_ + "/" + log.name, &files_[upper(logName)], error)) {
          return false;
        }
      }
    }
    if (!volume.unmount(&detail)) {
      *error = "Cannot read the NTFS volume on " + root_ + ": " + detail;
      return false;
    }
    windows_.volume.reset();
    if (!forChange_ && !disk_->close(&detail)) {
      *error = "Cannot read " + noun_ + " " + path_ + ": " + detail;
      return false;
    }
    if (!forChange_) disk_.reset();
    if (journal_ != NtfsJournal::clean || markedDirty_) {
      note("the NTFS volume on " + root_ + " was not shut down cleanly; what is listed may be slightly stale");
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

  std::string damagedRefusal(const std::string& damage) const {
    return "The NTFS volume on " + root_ + " is damaged (" + damage +
           "): run chkdsk /f on it from Windows; nothing was written";
  }

  // Mounts the volume for writing, checks everything the change relies on,
  // and settles what an interrupted run left and replaces the hives: first
  // in rehearsal, which writes nothing, then for real. Every refusal, and
  // every failure of libntfs-3g that the volume's state can cause, comes
  // before anything is written.
  bool writeVolume(const std::vector<std::unique_ptr<NewHive>>& hives, std::string* error) {
    bool reset = resetsJournal();
    if (!reset && (journal_ == NtfsJournal::unclean || markedDirty_)) {
      *error = uncleanRefusal(journal_ == NtfsJournal::clean);
      return false;
    }
    // A signal that would end the run waits until the volume is closed.
    HoldSignals hold;
    if (disk_->size() != diskSize_ || volumeSerial() != serial_) {
      *error = capitalNoun() + " " + path_ + " changed while netvane was reading it";
      return false;
    }
    bool ok = changeVolume(hives, reset, true, error) && changeVolume(hives, reset, false, error);
    std::string detail;
    if (!disk_->close(&detail) && ok) {
      *error = "Cannot write " + noun_ + " " + path_ + ": " + detail;
      ok = false;
    }
    disk_.reset();
    return ok;
  }

  bool changeVolume(const std::vector<std::unique_ptr<NewHive>>& hives, bool reset, bool rehearsal,
                    std::string* error) {
    NtfsRefusal why;
    std::string detail;
    std::unique_ptr<NtfsVolume> volume = NtfsVolume::mount(
        disk_.get(), windows_.partition.offset, windows_.partition.size,
        reset ? NtfsVolume::Mode::writeResettingJournal : NtfsVolume::Mode::write, &why, &detail);
    if (!volume) {
      *error = why == NtfsRefusal::hibernated ? hibernatedRefusal(root_)
               : why == NtfsRefusal::unclean  ? uncleanRefusal(false)
                                              : "Cannot write the NTFS volume on " + root_ + ": " + detail;
      return false;
    }
    if (rehearsal) volume->rehearse();
    if (!reset && volume->markedDirty()) {
      *error = uncleanRefusal(true);
      return false;
    }
    std::vector<Replacement> replacements;
    std::string changed = capitalNoun() + " " + path_ + " changed while netvane was reading it";
    bool ok = sameAsRead(*volume, &replacements, &changed);
    if (!ok) *error = changed;
    uint64_t needed = kCreationMargin;
    for (const std::unique_ptr<NewHive>& hive : hives) {
      const MemoryFile& file = files_[hive->name];
      if (ok && !volume->checkBeforeChange(windows_.config, file.entry.stamp.reference, &detail)) {
        *error = damagedRefusal(detail);
        ok = false;
      }
      needed += hive->size;
    }
    uint64_t free = ok ? volume->freeBytes() : 0;
    if (ok && free < needed) {
      *error = "The NTFS volume on " + root_ + " has " + std::to_string(free) +
               " bytes free, too few for the new registry hive " + hives.front()->shown + " (" +
               std::to_string(hives.front()->size) + " bytes); nothing was written";
      ok = false;
    }
    if (ok) {
      std::vector<NewFile> files;
      for (const std::unique_ptr<NewHive>& hive : hives) {
        files.push_back(NewFile{hive->name, hive->shown, static_cast<const uint8_t*>(hive->mapped), hive->size});
      }
      // A run killed in the middle of a step can leave a file a name that
      // the index does not list; the names are made to agree first.
      for (const Replacement& found : replacements) {
        if (ok && !repairNames(*volume, windows_.config, found, &detail)) {
          *error = "Cannot write registry hive " + configShown_ + "/" + found.name + ": " + detail;
          ok = false;
        }
      }
      ok = ok && settleLeftovers(*volume, replacements, !rehearsal, error) &&
           replaceFiles(*volume, windows_.config, files, error);
      if (!ok && rehearsal) *error += "; nothing was written";
    }
    if (!volume->unmount(&detail) && ok) {
      *error = "Cannot write the NTFS volume on " + root_ + ": " + detail;
      ok = false;
    }
    return ok;
  }

  // The hives, their logs and hiberfil.sys are as they were read; what an
  // interrupted run left of the hives goes into `replacements`.
  bool sameAsRead(NtfsVolume& volume, std::vector<Replacement>* replacements, std::string* changed) {
    std::string detail;
    for (const char* hive : kHives) {
      Replacement found;
      if (inspectReplacement(volume, windows_.config, hive, &found, &detail)) replacements->push_back(found);
    }
    bool forward = settlesForward(*replacements);
    for (std::map<std::string, MemoryFile>::value_type& file : files_) {
      bool hive = file.first == "SYSTEM" || file.first == "SOFTWARE";
      NtfsEntry now;
      bool found = false;
      if (hive) {
        for (const Replacement& r : *replacements) {
          if (r.name == file.first) {
            now = r.keeps(forward);
            found = true;
          }
        }
      } else {
        found = volume.find(windows_.config, file.second.name, false, &now, &detail);
      }
      if (!found || now.stamp != file.second.entry.stamp) {
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

  // What an interrupted run left is finished or undone, as it was read,
  // before anything else is written.
  bool settleLeftovers(NtfsVolume& volume, const std::vector<Replacement>& replacements, bool say,
                       std::string* error) {
    bool forward = settlesForward(replacements);
    for (const Replacement& left : replacements) {
      if (!left.left()) continue;
      std::string detail;
      if (!settleReplacement(volume, windows_.config, left, forward, "", &detail)) {
        *error = "Cannot write registry hive " + configShown_ + "/" + left.name + ": " + detail;
        return false;
      }
      bool finished = forward && (left.fresh || left.newIsNamed());
      if (say) fprintf(stderr, "netvane: %s %s/%s, which an interrupted run had left half replaced\n",
              finished ? "finished replacing" : "put back the old", configShown_.c_str(), left.name.c_str());
    }
    return true;
  }

  std::string path_;
  std::string noun_;
  bool device_ = false;
  bool forChange_ = false;
  std::string format_ = "raw";
  // The disk as qemu or the run opens it, with what its image names.
  DiskRequest request_;
  // A configure run's disk, held open for writing until its change is
  // written; a listing's, until it has read what it needs.
  std::unique_ptr<Disk> disk_;
  uint64_t diskSize_ = 0;
  WindowsVolume windows_;
  uint64_t serial_ = 0;
  std::string root_;
  std::string configShown_;
  NtfsJournal journal_ = NtfsJournal::clean;
  bool markedDirty_ = false;
  std::string hibernated_;
  std::string hibernation_;  // hiberfil.sys's first bytes as read, if any
  // The hives and the logs of dirty ones, by their names in upper case.
  std::map<std::string, MemoryFile> files_;
};

}  // namespace

std::unique_ptr<RegistryStore> openDiskImageStore(const std::string& path, bool device, bool forChange, bool* image,
                                                  int32_t* supervised, std::string* error) {
  ImageProbe probe;
  *image = true;
  if (!probeImage(path, device, getenv("NETVANE_FORMAT"), &probe, error)) return nullptr;
  std::string shown = (device ? "Disk " : "Disk image ") + path;
  switch (probe.kind) {
    case FileKind::registryExport:
    case FileKind::unread:
      *image = false;
      return nullptr;
    case FileKind::neither:
      *error = "Registry store " + path +
               " is neither a registry export nor a disk image that netvane knows (an export's first line is "
               "REGEDIT4 or Windows Registry Editor Version 5.00)";
      return nullptr;
    case FileKind::diskImage:
      break;
  }
  if (probe.format.empty()) {
    *error = shown + " " + probe.problem;
    return nullptr;
  }
  if (probe.luks) {
    *error = shown + " is encrypted (LUKS), which netvane cannot open";
    return nullptr;
  }
  RunSide side;
  int32_t status = 0;
  if (!splitRun(shown, &side, &status, error)) return nullptr;
  if (side == RunSide::supervisor) {
    *supervised = status;
    return nullptr;
  }
  std::unique_ptr<ImageFiles> files(new ImageFiles());
  if (!files->open(path, device, probe, forChange, error)) return nullptr;
  return openHiveStoreOn(std::unique_ptr<HiveFiles>(files.release()), forChange, error);
}

}  // namespace standin
