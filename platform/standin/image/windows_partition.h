// Which partition of a disk holds Windows: the NTFS volume with
// Windows/System32/config/SYSTEM, or the one NETVANE_PARTITION names.
#ifndef NETVANE_PLATFORM_STANDIN_IMAGE_WINDOWS_PARTITION_H
#define NETVANE_PLATFORM_STANDIN_IMAGE_WINDOWS_PARTITION_H

#include <stdint.h>

#include <memory>
#include <string>

#include "platform/standin/image/ntfs_volume.h"
#include "platform/standin/image/partition_table.h"

namespace standin {

class Disk;

struct WindowsVolume {
  Partition partition;
  std::unique_ptr<NtfsVolume> volume;  // mounted to read
  uint64_t config = 0;                 // Windows/System32/config
  std::string configSpelled;           // "/Windows/System32/config", as spelled on the volume
};

// `shown` names the disk in messages ("Disk image X", "Disk X"), `noun` in
// the middle of a line ("disk image", "disk"). False with one line in `error`.
bool findWindowsVolume(Disk& disk, const PartitionTable& table, const std::string& path, const std::string& noun,
                       WindowsVolume* found, std::string* error);

}  // namespace standin

#endif
