#include "platform/standin/image/windows_partition.h"

#include <stdlib.h>

#include <vector>

#include "platform/standin/image/hive_swap.h"

namespace standin {

namespace {

const char* const kConfigPath[] = {"Windows", "System32", "config"};

// Windows/System32/config below the root, names in any case, as spelled on
// the volume.
bool findConfig(NtfsVolume& volume, uint64_t* config, std::string* spelled, std::string* detail) {
  uint64_t directory = 0;
  spelled->clear();
  for (const char* name : kConfigPath) {
    NtfsEntry entry;
    if (!volume.find(directory, name, true, &entry, detail)) return false;
    directory = entry.stamp.reference;
    *spelled += "/" + entry.name;
  }
  *config = directory;
  return true;
}

// What the partition holds, for the line that says there is no Windows.
std::string describe(const Partition& partition, const std::string& noun, const std::string& holds) {
  return (partition.number == 0 ? "the whole " + noun : "partition " + std::to_string(partition.number)) + ": " +
         holds;
}

}  // namespace

bool findWindowsVolume(Disk& disk, const PartitionTable& table, const std::string& path, const std::string& noun,
                       WindowsVolume* chosen, std::string* error) {
  std::string capital = noun == "disk" ? "Disk" : "Disk image";
  const char* named = getenv("NETVANE_PARTITION");
  bool picked = named != nullptr && named[0] != '\0';
  std::vector<std::string> looked;
  std::vector<unsigned> found;
  const Partition* encrypted = nullptr;
  for (const Partition& partition : table.partitions) {
    if (picked && std::to_string(partition.number) != named) continue;
    if (partition.kind == VolumeKind::bitlocker && encrypted == nullptr) encrypted = &partition;
    if (partition.kind != VolumeKind::ntfs) {
      looked.push_back(describe(partition, noun, volumeKindName(partition.kind)));
      continue;
    }
    NtfsRefusal why;
    std::string detail;
    std::unique_ptr<NtfsVolume> volume =
        NtfsVolume::mount(&disk, partition.offset, partition.size, NtfsVolume::Mode::read, &why, &detail);
    if (!volume) {
      looked.push_back(describe(partition, noun, "NTFS that libntfs-3g cannot mount (" + detail + ")"));
      continue;
    }
    uint64_t config = 0;
    std::string spelled;
    Replacement system;
    detail.clear();
    bool windows = findConfig(*volume, &config, &spelled, &detail) &&
                   inspectReplacement(*volume, config, "SYSTEM", &system, &detail);
    if (!windows) {
      looked.push_back(describe(partition, noun, detail.empty() ? "NTFS without Windows"
                                                                : "NTFS that cannot be read (" + detail + ")"));
      continue;
    }
    found.push_back(partition.number);
    if (found.size() == 1) {
      chosen->partition = partition;
      chosen->volume = std::move(volume);
      chosen->config = config;
      chosen->configSpelled = spelled;
    }
  }
  if (found.size() == 1) return true;
  chosen->volume.reset();
  std::string list;
  for (size_t i = 0; i < found.size(); ++i) {
    list += (i == 0 ? "" : i + 1 == found.size() ? " and " : ", ") + std::to_string(found[i]);
  }
  if (found.size() > 1) {
    *error = capital + " " + path + " holds Windows installations on partitions " + list +
             ": name one with NETVANE_PARTITION";
  } else if (picked && looked.empty()) {
    *error = capital + " " + path + " has no partition " + named;
  } else if (encrypted != nullptr) {
    *error = capital + " " + path +
             (encrypted->number == 0 ? "" : " partition " + std::to_string(encrypted->number)) +
             " is encrypted (BitLocker), which netvane cannot open: unlock it, and use the mount route";
  } else {
    std::string holds;
    for (size_t i = 0; i < looked.size(); ++i) holds += (i == 0 ? "" : "; ") + looked[i];
    std::string cut;
    for (size_t i = 0; i < table.pastEnd.size(); ++i) {
      cut += (i == 0 ? "" : i + 1 == table.pastEnd.size() ? " and " : ", ") + std::to_string(table.pastEnd[i]);
    }
    if (!cut.empty()) {
      cut = ", which is cut short: " + std::string(table.pastEnd.size() == 1 ? "partition " : "partitions ") + cut +
            (table.pastEnd.size() == 1 ? " runs" : " run") + " past the end of the " + noun;
    }
    *error = "No Windows installation in " + noun + " " + path + cut + (holds.empty() ? "" : " (" + holds + ")");
  }
  return false;
}

}  // namespace standin
