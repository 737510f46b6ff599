// Replacing files of the config directory with new content. NTFS as
// libntfs-3g writes it has no rename that replaces a file at once, so a
// file NAME is replaced through two names beside it, each step written
// whole before the next (ntfs_volume.h):
//   1. the new content is written whole as NAME.netvane-new, then read back;
//   2. the old file gets the further name NAME.netvane-old;
//   3. NAME is taken from the old file, and 4. given to the new one;
//   5. NAME.netvane-new goes, NAME gets its short name (NTFS gives one only
//      to a file of one name), and NAME.netvane-old goes last.
// A run killed on the way leaves some of these names. Whatever file then
// has the name NAME is what a listing reads and what the next configure
// run keeps; without NAME (killed between 3 and 4) it is the old file.
// When several files are replaced together, all of them are finished once
// any new file has its name, and otherwise all are undone.
#ifndef NETVANE_PLATFORM_STANDIN_IMAGE_HIVE_SWAP_H
#define NETVANE_PLATFORM_STANDIN_IMAGE_HIVE_SWAP_H

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/standin/image/ntfs_volume.h"

namespace standin {

// The names that NAME's replacement has in the directory.
struct Replacement {
  std::string name;  // NAME as asked for
  bool named = false, fresh = false, kept = false;
  NtfsEntry namedEntry, freshEntry, keptEntry;

  // An interrupted replacement left names behind.
  bool left() const { return fresh || kept; }
  // The file NAME is now the new one.
  bool newIsNamed() const;
  // The file whose content NAME holds once the replacements are settled
  // `forward` (finished) or back (undone).
  const NtfsEntry& keeps(bool forward) const;
};

// False, with `detail` set only when that could not be told, when there is
// no file of that name under any of the three names.
bool inspectReplacement(NtfsVolume& volume, uint64_t directory, const std::string& name, Replacement* found,
                        std::string* detail);

// Makes the names that the files of NAME's replacement have agree with the
// directory's index (NtfsVolume::forgetUnindexedNames). False with `detail`.
bool repairNames(NtfsVolume& volume, uint64_t directory, const Replacement& found, std::string* detail);

// Whether replacements left together are settled forward.
bool settlesForward(const std::vector<Replacement>& replacements);

// Finishes or undoes what a replacement left, `shortName` (when not empty)
// given to NAME if it has none. False with `detail`.
bool settleReplacement(NtfsVolume& volume, uint64_t directory, const Replacement& left, bool forward,
                       const std::string& shortName, std::string* detail);

struct NewFile {
  std::string name;  // NAME
  std::string shown;  // the file as messages name it
  const uint8_t* data = nullptr;
  uint64_t size = 0;
};

// Replaces each file with its new content: step 1 for all of them, then the
// others for all of them. Each keeps its old file's security descriptor,
// attributes, creation time and short name. A new file that does not read
// back as written is removed, and every old file stays. False with `error`,
// one line.
bool replaceFiles(NtfsVolume& volume, uint64_t directory, const std::vector<NewFile>& files, std::string* error);

// Windows gives a name that fits 8.3 in upper case one "Win32 & DOS" name.
bool isShortName(const std::string& name);

}  // namespace standin

#endif
