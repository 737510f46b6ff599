#include "platform/standin/image/image_chain.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "platform/standin/image/image_format.h"
#include "platform/standin/image/image_probe.h"
#include "platform/standin/image/image_references.h"

namespace standin {

namespace {

// libvirt's and OpenStack's overlays are one or two levels deep; a longer
// chain is more likely a loop or a trap than a disk.
const size_t kDeepestChain = 8;
// VMware's split disks have an extent per 2 GB: a thousand for 2 TB.
const size_t kMostReferences = 4096;
const int kDeepestExtents = 4;
const char* const kFormats[] = {"raw", "qcow2", "qcow", "qed", "vmdk", "vhdx", "vpc", "vdi"};

// Control characters as \xNN, the rest as it is.
std::string printable(const std::string& text) {
  static const char digits[] = "0123456789abcdef";
  std::string shown;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      shown += std::string("\\x") + digits[c >> 4] + digits[c & 15];
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown;
}

std::string directoryOf(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

class Checker {
 public:
  Checker(const std::string& shown, std::string* error) : shown_(shown), error_(error) {}

  bool chain(DiskRequest* request) {
    std::string path = top_ = request->path;
    std::string format = request->format;
    std::string subject = "Disk image " + shown_;
    seen_.insert(path);
    for (size_t depth = 0;; ++depth) {
      ImageHeader header;
      if (!readHeader(subject, path, format, false, &header)) return false;
      std::string dataFile, backing, backingFormat;
      ImageReference backingReference;
      for (const ImageReference& reference : header.references) {
        std::string target;
        if (!follow(subject, path, reference, &target)) return false;
        if (reference.kind == ReferenceKind::dataFile) dataFile = target;
        if (reference.kind == ReferenceKind::extent && !extent(target, 1)) return false;
        if (reference.kind == ReferenceKind::backingFile) {
          backing = target;
          backingReference = reference;
          if (!formatOf(subject, reference, target, &backingFormat)) return false;
        }
      }
      if (depth == 0) {
        request->dataFile = dataFile;
      } else {
        request->backing.back().dataFile = dataFile;
      }
      if (backing.empty()) return true;
      if (seen_.count(backing) != 0 || depth + 1 >= kDeepestChain) {
        *error_ = named(subject, backingReference, backing) + ", which " +
                  (seen_.count(backing) != 0 ? "is already in its chain of backing files"
                                             : "is more than " + std::to_string(kDeepestChain) +
                                                   " backing files deep");
        return false;
      }
      seen_.insert(backing);
      request->backing.push_back(BackingFile{backing, backingFormat, ""});
      subject = "The backing file " + backing + " of disk image " + shown_;
      path = backing;
      format = backingFormat;
    }
  }

 private:
  // A VMDK extent's own extents, where it embeds a descriptor.
  bool extent(const std::string& path, int depth) {
    std::string subject = "The extent " + path + " of disk image " + shown_;
    ImageHeader header;
    if (!readHeader(subject, path, "vmdk", true, &header)) return false;
    for (const ImageReference& reference : header.references) {
      std::string target;
      if (depth >= kDeepestExtents) {
        *error_ = subject + " names extents of its own more than " + std::to_string(kDeepestExtents) + " deep";
        return false;
      }
      if (!follow(subject, path, reference, &target) || !extent(target, depth + 1)) return false;
    }
    return true;
  }

  // Opens the file as the checked regular file it was, and reads what its
  // header names.
  bool readHeader(const std::string& subject, const std::string& path, const std::string& format, bool asExtent,
                  ImageHeader* header) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      *error_ = "Cannot read " + (path == top_ ? "disk image " + shown_ : path) + ": " +
                (fd < 0 ? strerror(errno) : "not a regular file");
      if (fd >= 0) close(fd);
      return false;
    }
    std::string problem;
    std::string shown = path == top_ ? "Disk image " + shown_ : subject;
    bool ok = probeHeader(fd, shown, format, asExtent, header, &problem, error_);
    close(fd);
    references_ += header->references.size();
    if (!ok) {
      // A probe that did not end well has said so already.
      if (error_->empty()) *error_ = subject + " cannot be opened safely: " + problem;
    } else if (!header->encryption.empty()) {
      *error_ = subject + " is encrypted (" + header->encryption + "), which netvane cannot open";
      ok = false;
    } else if (references_ > kMostReferences) {
      *error_ = subject + " names more than " + std::to_string(kMostReferences) + " other files";
      ok = false;
    }
    return ok;
  }

  // Where the reference leads, when that is a regular file beside the file
  // that names it; qemu is told to open that path.
  bool follow(const std::string& subject, const std::string& naming, const ImageReference& reference,
              std::string* target) {
    const std::string& name = reference.name;
    std::string directory = directoryOf(naming);
    std::string combined = name[0] == '/' ? name : directory + "/" + name;
    std::string why;
    std::string shownTarget = combined;
    std::string::size_type colon = name.find(':');
    char resolved[PATH_MAX];
    struct stat info;
    // "json:{...}", "nbd://host/x", "file:/x": qemu reads these as
    // options or protocols, not as names of files.
    if (colon != std::string::npos && colon < name.find('/')) {
      why = "is not a file but what qemu would read as a protocol or options";
      shownTarget.clear();
    } else if (realpath(combined.c_str(), resolved) == nullptr) {
      why = errno == ENOENT ? "does not exist" : std::string("cannot be reached (") + strerror(errno) + ")";
    } else if (shownTarget = resolved, stat(resolved, &info) != 0 || !S_ISREG(info.st_mode)) {
      why = "is not a regular file";
    } else if (directoryOf(resolved) != directory) {
      why = "is not a file beside it";
    }
    if (!why.empty()) {
      *error_ = named(subject, reference, shownTarget) + ", which " + why +
                (why == "does not exist" ? "" : "; netvane opens no file outside the image's own directory");
      return false;
    }
    *target = resolved;
    return true;
  }

  // "SUBJECT names NAME (TARGET) as its backing file", on one line
  // whatever bytes the header put in the name.
  static std::string named(const std::string& subject, const ImageReference& reference, const std::string& target) {
    return subject + " names " + printable(reference.name) +
           (target.empty() || target == reference.name ? "" : " (" + printable(target) + ")") + " as " +
           (reference.kind == ReferenceKind::extent ? "an " : "its ") + referenceKindName(reference.kind);
  }

  // The backing file's format: the one its image states, or else the one
  // its content shows, as qemu would probe it.
  bool formatOf(const std::string& subject, const ImageReference& reference, const std::string& target,
                std::string* format) {
    if (!reference.format.empty()) {
      for (const char* known : kFormats) {
        if (reference.format == known) *format = known;
      }
      if (format->empty()) {
        *error_ = named(subject, reference, target) + " in format " + reference.format +
                  ", which netvane does not open";
        return false;
      }
      return true;
    }
    int fd = open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
      *error_ = "Cannot read " + target + ", the backing file of disk image " + shown_ + ": " + strerror(errno);
      return false;
    }
    bool read = probeFormat(fd, "The backing file " + target + " of disk image " + shown_, format, error_);
    close(fd);
    return read;
  }

  const std::string& shown_;
  std::string* error_;
  std::string top_;
  std::set<std::string> seen_;
  size_t references_ = 0;
};

}  // namespace

bool checkImageChain(const std::string& shown, DiskRequest* request, std::string* error) {
  request->dataFile.clear();
  request->backing.clear();
  Checker checker(shown, error);
  return checker.chain(request);
}

}  // namespace standin
