// netvane-sample-volume VOLUME: puts the sample machine, the one a new
// user's first run gets as a .reg store, into an NTFS volume that mkntfs has
// just made, as a Windows installation holds it: the SYSTEM and SOFTWARE
// hives in Windows\System32\config. scripts/sample-image makes the volume and
// the disk image around it. It is a program of its own because no tool of
// ntfs-3g makes a directory without mounting the volume, and no tool of
// hivex makes a hive from nothing; libntfs-3g and libhivex, which netvane
// itself links, do both.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <hivex.h>

#include "platform/standin/regfile/reg_syntax.h"
#include "platform/standin/standin.h"

#include "platform/standin/image/libntfs3g.h"

namespace {

using standin::StoreValue;

const size_t kBaseBlockSize = 4096;
const size_t kBinSize = 4096;
const size_t kBinHeaderSize = 32;
const uint32_t kNoCell = 0xFFFFFFFF;
// The root key: the hive's entry, not to be deleted, its name 8-bit text.
const uint16_t kRootKeyFlags = 0x0004 | 0x0008 | 0x0020;
// What Windows gives its registry files: hidden, system and archive.
const uint32_t kHiveAttributes = 0x2 | 0x4 | 0x20;

struct Hive {
  const char* name;  // the root below HKEY_LOCAL_MACHINE, and the file's name
  std::vector<uint8_t> bytes;
};

// A key of the sample machine: its path inside its hive, and its values.
struct SampleKey {
  std::string hive;
  std::vector<std::string> names;
  std::vector<std::string> valueNames;
  std::vector<StoreValue> values;
};

void put16(std::vector<uint8_t>* bytes, size_t at, uint16_t value) {
  for (int i = 0; i < 2; ++i) (*bytes)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}
void put32(std::vector<uint8_t>* bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}
void put64(std::vector<uint8_t>* bytes, size_t at, uint64_t value) {
  for (int i = 0; i < 8; ++i) (*bytes)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// A security identifier: revision 1, the authority, its subauthorities.
std::vector<uint8_t> sid(uint8_t authority, std::vector<uint32_t> subauthorities) {
  std::vector<uint8_t> out = {1, static_cast<uint8_t>(subauthorities.size()), 0, 0, 0, 0, 0, authority};
  for (uint32_t sub : subauthorities) {
    out.resize(out.size() + 4);
    put32(&out, out.size() - 4, sub);
  }
  return out;
}

// A self-relative security descriptor, owned by Administrators with group
// SYSTEM: both have full control and Users may read, inherited by every key
// below, which hivex gives the root's descriptor.
std::vector<uint8_t> securityDescriptor() {
  const std::vector<uint8_t> administrators = sid(5, {32, 544}), system = sid(5, {18}), users = sid(5, {32, 545});
  std::vector<uint8_t> aces;
  for (const auto& ace : {std::make_pair(0xF003Fu, administrators), std::make_pair(0xF003Fu, system),
                          std::make_pair(0x20019u, users)}) {
    size_t at = aces.size();
    aces.resize(at + 8);
    aces[at + 1] = 0x02;  // container inherit
    put16(&aces, at + 2, static_cast<uint16_t>(8 + ace.second.size()));
    put32(&aces, at + 4, ace.first);
    aces.insert(aces.end(), ace.second.begin(), ace.second.end());
  }
  std::vector<uint8_t> out(20 + administrators.size() + system.size() + 8);
  out[0] = 1;
  put16(&out, 2, 0x0004 | 0x8000);  // a DACL, self-relative
  put32(&out, 4, 20);
  put32(&out, 8, static_cast<uint32_t>(20 + administrators.size()));
  put32(&out, 16, static_cast<uint32_t>(20 + administrators.size() + system.size()));
  std::copy(administrators.begin(), administrators.end(), out.begin() + 20);
  std::copy(system.begin(), system.end(), out.begin() + 20 + administrators.size());
  size_t acl = out.size() - 8;
  out[acl] = 2;
  put16(&out, acl + 2, static_cast<uint16_t>(8 + aces.size()));
  put16(&out, acl + 4, 3);
  out.insert(out.end(), aces.begin(), aces.end());
  return out;
}

// Appends an allocated cell (its size negative, the whole 8-byte aligned)
// and returns its offset from the first bin.
uint32_t appendCell(std::vector<uint8_t>* bin, const std::vector<uint8_t>& payload) {
  size_t at = bin->size();
  size_t size = (4 + payload.size() + 7) & ~static_cast<size_t>(7);
  bin->resize(at + size);
  put32(bin, at, static_cast<uint32_t>(-static_cast<int32_t>(size)));
  std::copy(payload.begin(), payload.end(), bin->begin() + static_cast<long>(at) + 4);
  return static_cast<uint32_t>(at);
}

// The smallest hive that hivex opens and fills: a base block, then one bin
// with the root key, its security cell and free space. Offsets are from the
// first bin, as the hive format has them.
std::vector<uint8_t> emptyHive(const char* fileName) {
  // 100 ns units since 1601.
  uint64_t stamp = static_cast<uint64_t>(time(nullptr)) * 10000000 + 116444736000000000ull;
  const char kRootName[] = "ROOT";
  std::vector<uint8_t> nk(76 + sizeof kRootName - 1);
  nk[0] = 'n';
  nk[1] = 'k';
  put16(&nk, 2, kRootKeyFlags);
  put64(&nk, 4, stamp);
  for (size_t field : {16, 28, 32, 40, 48}) put32(&nk, field, kNoCell);  // parent, lists, class
  put16(&nk, 72, sizeof kRootName - 1);
  memcpy(&nk[76], kRootName, sizeof kRootName - 1);
  std::vector<uint8_t> bin(kBinHeaderSize);
  uint32_t root = static_cast<uint32_t>(kBinHeaderSize);
  uint32_t security = root + ((4 + static_cast<uint32_t>(nk.size()) + 7) & ~7u);
  put32(&nk, 44, security);
  appendCell(&bin, nk);
  std::vector<uint8_t> descriptor = securityDescriptor();
  std::vector<uint8_t> sk(20);
  sk[0] = 's';
  sk[1] = 'k';
  put32(&sk, 4, security);  // the list of security cells is this one alone
  put32(&sk, 8, security);
  put32(&sk, 12, 1);
  put32(&sk, 16, static_cast<uint32_t>(descriptor.size()));
  sk.insert(sk.end(), descriptor.begin(), descriptor.end());
  appendCell(&bin, sk);
  size_t spare = kBinSize - bin.size();
  bin.resize(kBinSize);
  put32(&bin, kBinSize - spare, static_cast<uint32_t>(spare));
  memcpy(&bin[0], "hbin", 4);
  put32(&bin, 8, kBinSize);
  put64(&bin, 20, stamp);

  std::vector<uint8_t> block(kBaseBlockSize);
  memcpy(&block[0], "regf", 4);
  put32(&block, 4, 1);  // both sequence numbers: clean
  put32(&block, 8, 1);
  put64(&block, 12, stamp);
  put32(&block, 20, 1);  // format 1.5, which hivex's hash-leaf lists belong to
  put32(&block, 24, 5);
  put32(&block, 32, 1);
  put32(&block, 36, root);
  put32(&block, 40, kBinSize);
  put32(&block, 44, 1);
  for (size_t i = 0; fileName[i] != '\0' && i < 32; ++i) block[48 + 2 * i] = static_cast<uint8_t>(fileName[i]);
  uint32_t checksum = 0;
  for (size_t at = 0; at < 508; at += 4) {
    checksum ^= static_cast<uint32_t>(block[at]) | static_cast<uint32_t>(block[at + 1]) << 8 |
                static_cast<uint32_t>(block[at + 2]) << 16 | static_cast<uint32_t>(block[at + 3]) << 24;
  }
  put32(&block, 508, checksum == 0 ? 1 : checksum == 0xFFFFFFFF ? 0xFFFFFFFE : checksum);
  block.insert(block.end(), bin.begin(), bin.end());
  return block;
}

std::vector<std::string> splitPath(const std::string& path) {
  std::vector<std::string> names;
  std::string::size_type start = 0;
  for (std::string::size_type slash; (slash = path.find('\\', start)) != std::string::npos; start = slash + 1) {
    names.push_back(path.substr(start, slash - start));
  }
  names.push_back(path.substr(start));
  return names;
}

// The sample machine's keys, read as the .reg store reads them. Its
// CurrentControlSet is what a hive keeps as ControlSet001.
bool readSample(std::vector<SampleKey>* keys, std::string* error) {
  const std::string sample = standin::sampleMachine();
  standin::RegText text;
  text.bytes = reinterpret_cast<const uint8_t*>(sample.data());
  text.end = sample.size();
  size_t p = standin::lineAt(text, 0, text.end).next;  // past REGEDIT4
  while (p < text.end) {
    standin::RegLine line = standin::lineAt(text, p, text.end);
    if (line.contentEnd > line.start && sample[line.start] == '[') {
      std::string path = sample.substr(line.start + 1, sample.rfind(']', line.contentEnd) - line.start - 1);
      std::vector<std::string> names = splitPath(path);
      if (names.size() < 2 || (names[1] != "SYSTEM" && names[1] != "SOFTWARE")) {
        *error = "the sample machine has a key outside SYSTEM and SOFTWARE: " + path;
        return false;
      }
      SampleKey key;
      key.hive = names[1];
      key.names.assign(names.begin() + 2, names.end());
      if (key.hive == "SYSTEM" && !key.names.empty() && key.names[0] == "CurrentControlSet") {
        key.names[0] = "ControlSet001";
      }
      keys->push_back(key);
      p = line.next;
      continue;
    }
    standin::RegEntry entry;
    standin::ParseError problem;
    bool isEntry = false;
    size_t next = standin::readBodyLine(text, p, text.end, true, &entry, &isEntry, &problem);
    if (next == 0 || (isEntry && keys->empty())) {
      *error = "the sample machine cannot be read: " + problem.reason;
      return false;
    }
    if (isEntry) {
      keys->back().valueNames.push_back(entry.name);
      keys->back().values.push_back(entry.value);
    }
    p = next;
  }
  // Windows boots the control set that Select names.
  SampleKey select;
  select.hive = "SYSTEM";
  select.names = {"Select"};
  for (const char* name : {"Current", "Default", "Failed", "LastKnownGood"}) {
    select.valueNames.push_back(name);
    StoreValue value;
    value.type = kRegistryTypeDword;
    value.data = {static_cast<uint8_t>(strcmp(name, "Failed") == 0 ? 0 : 1), 0, 0, 0};
    select.values.push_back(value);
  }
  keys->push_back(select);
  return true;
}

// hivex reads and writes a file by name: the hive is kept in a memory file
// named through /proc, so that nothing is left behind on disk.
bool fillHive(Hive* hive, const std::vector<SampleKey>& keys, std::string* error) {
  int fd = memfd_create(hive->name, 0);
  std::vector<uint8_t> empty = emptyHive(hive->name);
  if (fd < 0 || write(fd, empty.data(), empty.size()) != static_cast<ssize_t>(empty.size())) {
    *error = std::string("cannot make the ") + hive->name + " hive: " + strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  hive_h* handle = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
  bool ok = handle != nullptr;
  for (size_t k = 0; ok && k < keys.size(); ++k) {
    if (keys[k].hive != hive->name) continue;
    hive_node_h node = hivex_root(handle);
    for (const std::string& name : keys[k].names) {
      hive_node_h child = hivex_node_get_child(handle, node, name.c_str());
      node = child != 0 ? child : hivex_node_add_child(handle, node, name.c_str());
      if (node == 0) break;
    }
    std::vector<std::string> names = keys[k].valueNames;
    std::vector<StoreValue> values = keys[k].values;
    std::vector<hive_set_value> set(values.size());
    static char noData = 0;
    for (size_t i = 0; i < values.size(); ++i) {
      set[i].key = &names[i][0];
      memcpy(&set[i].t, &values[i].type, sizeof values[i].type);
      set[i].len = values[i].data.size();
      set[i].value = set[i].len != 0 ? reinterpret_cast<char*>(values[i].data.data()) : &noData;
    }
    ok = node != 0 && (set.empty() || hivex_node_set_values(handle, node, set.size(), set.data(), 0) == 0);
  }
  ok = ok && hivex_commit(handle, nullptr, 0) == 0;
  if (!ok) *error = std::string("hivex cannot write the ") + hive->name + " hive: " + strerror(errno);
  if (handle != nullptr) hivex_close(handle);
  struct stat written;
  if (ok) {
    ok = fstat(fd, &written) == 0;
    if (ok) hive->bytes.resize(static_cast<size_t>(written.st_size));
    ok = ok && pread(fd, hive->bytes.data(), hive->bytes.size(), 0) == static_cast<ssize_t>(hive->bytes.size());
    if (!ok) *error = std::string("cannot read the ") + hive->name + " hive back: " + strerror(errno);
  }
  close(fd);
  return ok;
}

std::string volumeError(const char* volume, const char* what) {
  return std::string(volume) + ": " + what + ": " + strerror(errno);
}

// Creates `name` in the open directory `parent`, which stays open: a
// directory, or a hive with its bytes and the attributes Windows gives it.
// Returns the new inode's number, 0 when it could not be made.
uint64_t createIn(ntfs_inode* parent, const char* name, mode_t type, const Hive* hive) {
  ntfschar* units = nullptr;
  int length = ntfs_mbstoucs(name, &units);
  if (length <= 0) return 0;
  ntfs_inode* made = ntfs_create(parent, 0, units, static_cast<u8>(length), type);
  free(units);
  if (made == nullptr) return 0;
  bool ok = true;
  if (hive != nullptr) {
    ntfs_attr* data = ntfs_attr_open(made, AT_DATA, AT_UNNAMED, 0);
    ok = data != nullptr && ntfs_attr_pwrite(data, 0, static_cast<s64>(hive->bytes.size()), hive->bytes.data()) ==
                                static_cast<s64>(hive->bytes.size());
    if (data != nullptr) ntfs_attr_close(data);
    le32 attributes = cpu_to_le32(kHiveAttributes);
    ok = ok && ntfs_set_ntfs_attrib(made, reinterpret_cast<const char*>(&attributes), sizeof attributes, 0) == 0;
  }
  uint64_t number = made->mft_no;
  ok = ntfs_inode_close_in_dir(made, parent) == 0 && ok;
  return ok ? number : 0;
}

// Windows\System32\config and the hives in it, each hive with the one
// "Win32 & DOS" name and the attributes Windows gives it.
bool fillVolume(const char* volumePath, const std::vector<Hive>& hives, std::string* error) {
  ntfs_volume* volume = ntfs_mount(volumePath, NTFS_MNT_NONE);
  if (volume == nullptr) {
    *error = volumeError(volumePath, "cannot open the NTFS volume");
    return false;
  }
  ntfs_inode* directory = ntfs_inode_open(volume, FILE_root);
  bool ok = directory != nullptr;
  for (const char* name : {"Windows", "System32", "config"}) {
    uint64_t made = ok ? createIn(directory, name, S_IFDIR, nullptr) : 0;
    if (directory != nullptr) ntfs_inode_close(directory);
    directory = made != 0 ? ntfs_inode_open(volume, made) : nullptr;
    ok = directory != nullptr;
  }
  for (const Hive& hive : hives) {
    uint64_t made = ok ? createIn(directory, hive.name, S_IFREG, &hive) : 0;
    ntfs_inode* file = made != 0 ? ntfs_inode_open(volume, made) : nullptr;
    uint64_t parent = directory != nullptr ? directory->mft_no : 0;
    // ntfs_set_ntfs_dos_name closes both inodes it is given.
    ok = file != nullptr && ntfs_set_ntfs_dos_name(file, directory, hive.name, strlen(hive.name), 0) == 0;
    if (file == nullptr && directory != nullptr) ntfs_inode_close(directory);
    directory = ok ? ntfs_inode_open(volume, parent) : nullptr;
    ok = ok && directory != nullptr;
  }
  if (!ok) *error = volumeError(volumePath, "cannot write Windows\\System32\\config");
  if (directory != nullptr) ntfs_inode_close(directory);
  if (ntfs_umount(volume, FALSE) != 0 && ok) {
    *error = volumeError(volumePath, "cannot write the NTFS volume");
    ok = false;
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: netvane-sample-volume VOLUME (an NTFS volume file that mkntfs made)\n");
    return 2;
  }
  std::vector<SampleKey> keys;
  std::vector<Hive> hives = {{"SYSTEM", {}}, {"SOFTWARE", {}}};
  std::string error;
  bool ok = readSample(&keys, &error);
  for (Hive& hive : hives) ok = ok && fillHive(&hive, keys, &error);
  if (!ok || !fillVolume(argv[1], hives, &error)) {
    fprintf(stderr, "netvane-sample-volume: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
