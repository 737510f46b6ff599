#include "platform/standin/image/hive_swap.h"

#include <string.h>

namespace standin {

namespace {

const char kNewSuffix[] = ".netvane-new";
const char kOldSuffix[] = ".netvane-old";

// The file NAME would have been replaced with: under its own name, or, once
// that name has gone, under NAME beside the old file's extra name.
uint64_t newFileOf(const Replacement& r) {
  if (r.fresh) return r.freshEntry.stamp.reference;
  if (r.kept && r.named && r.keptEntry.stamp.reference != r.namedEntry.stamp.reference) {
    return r.namedEntry.stamp.reference;
  }
  return 0;
}

}  // namespace

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

bool Replacement::newIsNamed() const { return named && newFileOf(*this) == namedEntry.stamp.reference; }

const NtfsEntry& Replacement::keeps(bool forward) const {
  uint64_t fresh = newFileOf(*this);
  if (forward && fresh != 0) return newIsNamed() ? namedEntry : freshEntry;
  if (named && !newIsNamed()) return namedEntry;
  return kept ? keptEntry : fresh != 0 && named ? namedEntry : freshEntry;
}

bool inspectReplacement(NtfsVolume& volume, uint64_t directory, const std::string& name, Replacement* found,
                        std::string* detail) {
  *found = Replacement();
  found->name = name;
  detail->clear();
  found->named = volume.find(directory, name, false, &found->namedEntry, detail);
  found->fresh = detail->empty() && volume.find(directory, name + kNewSuffix, false, &found->freshEntry, detail);
  found->kept = detail->empty() && volume.find(directory, name + kOldSuffix, false, &found->keptEntry, detail);
  if (!detail->empty()) return false;
  return found->named || found->fresh || found->kept;
}

bool repairNames(NtfsVolume& volume, uint64_t directory, const Replacement& found, std::string* detail) {
  uint64_t done[3] = {0, 0, 0};
  const std::pair<bool, const NtfsEntry*> files[] = {
      {found.named, &found.namedEntry}, {found.fresh, &found.freshEntry}, {found.kept, &found.keptEntry}};
  for (int i = 0; i < 3; ++i) {
    uint64_t file = files[i].second->stamp.reference;
    if (!files[i].first || file == done[0] || file == done[1]) continue;
    if (!volume.forgetUnindexedNames(directory, file, detail)) return false;
    done[i] = file;
  }
  return true;
}

bool settlesForward(const std::vector<Replacement>& replacements) {
  for (const Replacement& r : replacements) {
    // Without NAME and without the old file, the new one is all there is.
    if (r.newIsNamed() || (!r.named && !r.kept && r.fresh)) return true;
  }
  return false;
}

bool settleReplacement(NtfsVolume& volume, uint64_t directory, const Replacement& left, bool forward,
                       const std::string& shortName, std::string* detail) {
  const std::string& name = left.name;
  uint64_t fresh = newFileOf(left);
  uint64_t kept = left.keeps(forward).stamp.reference;
  bool ok = true;
  if (forward && fresh != 0 && !left.newIsNamed()) {
    // The old file keeps an extra name until the new one has NAME.
    if (left.named && !left.kept) ok = volume.link(directory, left.namedEntry.stamp.reference, name + kOldSuffix, detail);
    if (ok && left.named) ok = volume.unlink(directory, name, detail);
    ok = ok && volume.link(directory, fresh, name, detail);
  } else if (!left.named) {
    ok = volume.link(directory, kept, name, detail);
  }
  // NTFS gives a short name only to a file with one name, and a name given
  // by link() is a POSIX one: the kept file's extra name goes first, then
  // it gets its short name, and the other file's extra name goes last, so
  // that until then the next run finds something left to settle.
  bool freshIsKept = left.fresh && left.freshEntry.stamp.reference == kept;
  bool oldIsKept = left.kept && left.keptEntry.stamp.reference == kept;
  if (ok && freshIsKept) ok = volume.unlink(directory, name + kNewSuffix, detail);
  if (ok && oldIsKept) ok = volume.unlink(directory, name + kOldSuffix, detail);
  std::string wanted = shortName.empty() && isShortName(name) ? name : shortName;
  if (ok && !wanted.empty() && volume.shortName(directory, name).empty()) {
    ok = volume.setShortName(directory, name, wanted, detail);
  }
  if (ok && left.fresh && !freshIsKept) ok = volume.unlink(directory, name + kNewSuffix, detail);
  if (ok && left.kept && !oldIsKept) ok = volume.unlink(directory, name + kOldSuffix, detail);
  return ok;
}

bool replaceFiles(NtfsVolume& volume, uint64_t directory, const std::vector<NewFile>& files, std::string* error) {
  std::vector<Replacement> olds(files.size());
  std::vector<std::string> shortNames(files.size());
  std::string detail;
  for (size_t i = 0; i < files.size(); ++i) {
    const NewFile& file = files[i];
    if (!inspectReplacement(volume, directory, file.name, &olds[i], &detail) || !olds[i].named || olds[i].left()) {
      *error = "Cannot write registry hive " + file.shown + ": " + (detail.empty() ? "it is not there" : detail);
      return false;
    }
    shortNames[i] = volume.shortName(directory, file.name);
    if (!volume.create(directory, file.name + kNewSuffix, olds[i].namedEntry, file.data, file.size, &detail)) {
      *error = "Cannot write registry hive " + file.shown + ": " + detail;
      return false;
    }
  }
  // What the disk holds, not what was meant for it: a new file that reads
  // back otherwise is removed before any old one is touched.
  for (size_t i = 0; i < files.size() && !volume.rehearsing(); ++i) {
    detail.clear();
    if (!volume.readsBackAs(directory, files[i].name + kNewSuffix, files[i].data, files[i].size, &detail)) {
      *error = "Cannot write registry hive " + files[i].shown + ": it did not read back as written (" + detail +
               "), so the old one was kept";
      for (const NewFile& file : files) {
        std::string ignored;
        if (!volume.unlink(directory, file.name + kNewSuffix, &ignored)) break;
      }
      return false;
    }
  }
  for (size_t i = 0; i < files.size(); ++i) {
    if (!volume.link(directory, olds[i].namedEntry.stamp.reference, files[i].name + kOldSuffix, &detail)) {
      *error = "Cannot write registry hive " + files[i].shown + ": " + detail;
      return false;
    }
  }
  for (size_t i = 0; i < files.size(); ++i) {
    Replacement now;
    if (!inspectReplacement(volume, directory, files[i].name, &now, &detail) ||
        !settleReplacement(volume, directory, now, true, shortNames[i], &detail)) {
      *error = "Cannot write registry hive " + files[i].shown + ": " + detail;
      return false;
    }
  }
  return true;
}

}  // namespace standin
