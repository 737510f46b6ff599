// A registry store on the hive files of an offline Windows installation,
// read and written through hivex, so that netvane can configure an image
// before its first boot.
#include <errno.h>
#include <fcntl.h>
#include <hivex.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <thread>
#include <tuple>

#include "platform/standin/files/mapping_guard.h"
#include "platform/standin/files/store_file.h"
#include "platform/standin/hive/base_block.h"
#include "platform/standin/hive/dirty_hive.h"
#include "platform/standin/hive/hive_files.h"
#include "platform/standin/registry_store.h"

namespace standin {

namespace {

// Windows keeps value data above this size as a list of segments ("big
// data") in hives of version 1.4 and later. hivex rewrites every value of a
// key it changes and would store such data in one cell, which Windows then
// misreads; a key holding one is refused instead.
const size_t kLargestSingleCellData = 16344;

// hive_type is a C enum that a hive may hold any 32-bit number in; copying
// the bytes keeps C++ from ever loading an enum value it does not list.
static_assert(sizeof(hive_type) == sizeof(uint32_t), "hive_type holds a registry type");
uint32_t fromHiveType(const hive_type& type) {
  uint32_t number;
  memcpy(&number, &type, sizeof number);
  return number;
}
void setHiveType(hive_type* type, uint32_t number) { memcpy(type, &number, sizeof number); }

std::vector<std::string> splitPath(const std::string& path) {
  std::vector<std::string> names;
  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type slash = path.find('\\', start);
    names.push_back(path.substr(start, slash - start));
    if (slash == std::string::npos) return names;
    start = slash + 1;
  }
}

struct Hive {
  std::string path;
  LockedFile file;
  hive_h* handle = nullptr;
  bool writable = false;
  bool changed = false;
  // hivex failed half-way through replacing a key's values, so the copy in
  // memory may have lost some; it must never reach the file.
  bool damaged = false;
  // A dirty hive as its logs bring it up to date, or why they do not.
  UpToDate upToDate;
};

// hivex opens the file through the descriptor we hold, so it reads exactly
// the file that the run locks and replaces, whatever happens to the name; a
// hive brought up to date from its logs it reads from memory instead.
std::string hivexPath(const Hive& hive) {
  int fd = hive.upToDate.imageFd >= 0 ? hive.upToDate.imageFd : hive.file.fd;
  return "/proc/self/fd/" + std::to_string(fd);
}

bool readBaseBlock(const Hive& hive, BaseBlock* block, std::string* error) {
  uint8_t bytes[kBaseBlockSize];
  ssize_t got = pread(hive.file.fd, bytes, sizeof bytes, 0);
  if (got < 0) {
    *error = "Cannot read registry hive " + hive.path + ": " + strerror(errno);
    return false;
  }
  // A hive is at least its whole base block; only a log keeps less of one.
  *block = parseBaseBlock(bytes, static_cast<size_t>(got) < kBaseBlockSize ? 0 : static_cast<size_t>(got));
  return true;
}

bool openHiveFile(HiveFiles& files, const char* name, Hive* hive, std::string* error) {
  if (!files.openHive(name, &hive->file, error)) return false;
  hive->path = hive->file.path;
  if (static_cast<uint64_t>(hive->file.opened.st_size) > largestHive(name)) {
    *error = "Registry hive " + hive->path + " is larger than " + (strcmp(name, "SYSTEM") == 0 ? "1.5" : "2") +
             " GB, the most Windows allows for a " + name + " hive";
    return false;
  }
  return true;
}

bool openHandle(Hive* hive, std::string* error) {
  hive->handle = hivex_open(hivexPath(*hive).c_str(), 0);
  if (hive->handle != nullptr) return true;
  *error = "Cannot read registry hive " + hive->path + ": hivex cannot open it (" + strerror(errno) + ")";
  return false;
}

bool readHiveBytes(void* context, uint64_t offset, void* buffer, size_t size) {
  int fd = *static_cast<int*>(context);
  return pread(fd, buffer, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
}

// A run that may change the hive refuses one whose bins are not as its base
// block says: hivex reads it, but writes back only the bins the base block
// counts, and what refers to the others would point nowhere.
bool checkForChange(const Hive& hive, std::string* error) {
  int fd = hive.upToDate.imageFd >= 0 ? hive.upToDate.imageFd : hive.file.fd;
  uint8_t bytes[kBaseBlockSize];
  struct stat info;
  std::string damage;
  bool ok = fstat(fd, &info) == 0 && pread(fd, bytes, sizeof bytes, 0) == static_cast<ssize_t>(sizeof bytes);
  if (!ok) damage = std::string("it cannot be read: ") + strerror(errno);
  ok = ok && hiveBinsWhole(parseBaseBlock(bytes, sizeof bytes), static_cast<uint64_t>(info.st_size), readHiveBytes,
                           &fd, &damage);
  if (!ok) *error = "Registry hive " + hive.path + " is damaged (" + damage + "); nothing was written";
  return ok;
}

// hivex 1.3.23 stores the plain XOR of the base block's first 508 bytes as
// its checksum, where Windows stores an XOR of 0 as 1 and one of 0xFFFFFFFF
// as 0xFFFFFFFE ("Base block"): Windows would take such a hive for dirty and
// replay its logs over it again, cutting it back. So the base block that
// hivex wrote is read back, rather than predicted from hivex's internals,
// and when its XOR is one of the two, the last-written timestamp goes on a
// tick at a time until it is not; then both rules agree. hivex does not keep
// that timestamp, and Windows reads it only to match an old-format log to a
// dirty hive.
bool checksumForWindows(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  uint8_t block[kLogSector];
  const ssize_t whole = sizeof block;
  ssize_t done = pread(fd, block, sizeof block, 0);
  if (done == whole && baseBlockXor(block) != baseBlockChecksum(block)) {
    for (uint64_t written = littleEndian64(block + 12); baseBlockXor(block) != baseBlockChecksum(block);) {
      putLittleEndian64(block + 12, ++written);
    }
    putLittleEndian32(block + kChecksummedBytes, baseBlockXor(block));
    done = pwrite(fd, block, sizeof block, 0);
  }
  if (done >= 0 && done != whole) errno = EIO;
  int kept = errno;
  close(fd);
  errno = kept;
  return done == whole;
}

// Opens one hive of the installation: finds it, opens it, checks its base
// block, brings it up to date when it is dirty, and has hivex read it.
// `locked` runs once the file is open and is a hive, so that the caller
// can start on the next hive. `usable`
// says whether the file could be used at all, before hivex read it: such a
// failure is named before what hivex finds inside another hive.
bool openHive(HiveFiles& files, const char* name, Hive* hive, bool* usable,
              const std::function<void()>& locked, std::string* error) {
  *usable = false;
  BaseBlock block;
  if (!openHiveFile(files, name, hive, error) || !readBaseBlock(*hive, &block, error)) return false;
  const std::string& path = hive->path;
  if (!block.signature) {
    *error = path + " is not a Windows registry hive";
    return false;
  }
  if (locked) locked();
  // Windows writes a hive's changes to its logs first and marks the hive
  // dirty, and writes them into the hive only now and then and at a full
  // shutdown; it brings a dirty hive up to date from the logs when it loads
  // it, and so does a run.
  FindLog findLog = [&files, hive](const std::string& logName, std::string* shown, int* fd, std::string* failure) {
    return files.findLog(hive->file, logName, shown, fd, failure);
  };
  if (isDirty(block) && !bringUpToDate(hive->file.fd, path, static_cast<uint64_t>(hive->file.opened.st_size),
                                       largestHive(name), findLog, &hive->upToDate, error)) {
    return false;
  }
  // A clean hive that hivex would refuse for its checksum is read from a copy.
  if (!isDirty(block) && !block.checksumForHivex &&
      !copyForHivex(hive->file.fd, path, static_cast<uint64_t>(hive->file.opened.st_size), &hive->upToDate, error)) {
    return false;
  }
  *usable = true;
  return openHandle(hive, error);
}

class HiveStore : public RegistryStore {
 public:
  HiveStore(std::unique_ptr<HiveFiles> files, bool forChange) : files_(std::move(files)), forChange_(forChange) {}
  ~HiveStore() override {
    for (Hive* hive : {&system_, &software_}) {
      if (hive->handle != nullptr) hivex_close(hive->handle);
      if (hive->upToDate.imageFd >= 0) close(hive->upToDate.imageFd);
    }
  }

  bool open(std::string* error) {
    hibernated_ = files_->refusal();
    // hivex maps a hive that it only reads, and another program may cut it short.
    installMappingGuard();
    // hivex reads through a whole hive when it opens it, which is most of a
    // run's time on a real installation; the two files are independent, so
    // SOFTWARE is opened beside SYSTEM, once SYSTEM is found to be a hive.
    std::thread software;
    std::string softwareError;
    bool softwareOpened = false, softwareUsable = false, systemUsable = false;
    auto openSoftware = [this, &software, &softwareOpened, &softwareUsable, &softwareError] {
      software = std::thread([this, &softwareOpened, &softwareUsable, &softwareError] {
        softwareOpened = openHive(*files_, "SOFTWARE", &software_, &softwareUsable, nullptr, &softwareError);
      });
    };
    bool systemOpened = openHive(*files_, "SYSTEM", &system_, &systemUsable, openSoftware, error) &&
                        selectControlSet(error);
    if (software.joinable()) software.join();
    if (systemUsable && !softwareOpened && (systemOpened || !softwareUsable)) *error = softwareError;
    if (!systemOpened || !softwareOpened) return false;
    if (forChange_) {
      for (Hive* hive : {&system_, &software_}) {
        if (!checkForChange(*hive, error)) return false;
      }
    }
    char* name = hivex_node_name(system_.handle, controlSet_);
    controlSetName_ = name != nullptr ? name : "";
    free(name);
    return true;
  }

  bool keyExists(const std::string& path) override {
    Hive* hive;
    hive_node_h node;
    return locate(path, &hive, &node);
  }

  std::vector<std::string> subkeys(const std::string& path) override {
    std::vector<std::string> names;
    Hive* hive;
    hive_node_h node;
    if (!locate(path, &hive, &node)) return names;
    hive_node_h* children = hivex_node_children(hive->handle, node);
    if (children == nullptr) return names;
    for (size_t i = 0; children[i] != 0; ++i) {
      char* name = hivex_node_name(hive->handle, children[i]);
      if (name != nullptr) names.push_back(name);
      free(name);
    }
    free(children);
    return names;
  }

  bool getValue(const std::string& path, const std::string& name, StoreValue* value) override {
    Hive* hive;
    hive_node_h node;
    if (!locate(path, &hive, &node)) return false;
    std::vector<Value> values;
    if (!readValues(*hive, node, &values)) return false;
    for (Value& existing : values) {
      if (sameRegistryName(existing.name, name)) {
        value->type = existing.type;
        value->data.swap(existing.data);
        return true;
      }
    }
    return false;
  }

  bool setValue(const std::string& path, const std::string& name, const StoreValue& value) override {
    Hive* hive = nullptr;
    hive_node_h node;
    std::vector<Value> values;
    if (!locate(path, &hive, &node) || !readValues(*hive, node, &values)) return failed(hive);
    // Windows keeps the name as first spelled and the value where it was.
    Value* target = nullptr;
    for (Value& existing : values) {
      if (sameRegistryName(existing.name, name)) target = &existing;
    }
    if (target == nullptr) {
      values.push_back(Value());
      target = &values.back();
      target->name = name;
    }
    target->type = value.type;
    target->data = value.data;
    if (!writeValues(hive, node, values)) return failed(hive);
    made_[{hive, path, name}] = Made{false, value};
    return true;
  }

  bool deleteValue(const std::string& path, const std::string& name) override {
    Hive* hive = nullptr;
    hive_node_h node;
    std::vector<Value> values;
    if (!locate(path, &hive, &node) || !readValues(*hive, node, &values)) return failed(hive);
    for (std::vector<Value>::iterator it = values.begin(); it != values.end(); ++it) {
      if (sameRegistryName(it->name, name)) {
        values.erase(it);
        if (!writeValues(hive, node, values)) return failed(hive);
        made_[{hive, path, name}] = Made{true, StoreValue()};
        return true;
      }
    }
    return false;
  }

  bool replacedSinceRead() const override { return replaced_; }

  bool commit(std::string* error) override {
    // A hive changed under the run gave it answers from neither version.
    for (Hive* hive : {&system_, &software_}) {
      if (!files_->unchanged(hive->file, hive->upToDate, error)) return false;
    }
    if (!changeError_.empty() && (system_.changed || software_.changed)) {
      *error = changeError_;
      return false;
    }
    // Windows would resume from its memory and write over the change.
    if (!hibernated_.empty() && (system_.changed || software_.changed)) {
      *error = hibernated_;
      return false;
    }
    // A hive is written with all of the run's changes or with none: one
    // written without some of them would say what nobody asked for.
    if (failedHive_ != nullptr && (system_.changed || software_.changed)) {
      *error = "Registry hive " + failedHive_->path + " was left as it was: a change to it failed, so none was written";
      return false;
    }
    for (Hive* hive : {&system_, &software_}) {
      if (hive->damaged) {
        *error = "Registry hive " + hive->path + " was left as it was: a change to it failed half-way";
        return false;
      }
      // A clean hive written over a dirty one whose logs did not apply, or
      // applied only in part, would drop, for good, whatever Windows still
      // had to write into it.
      if (hive->changed && !hive->upToDate.notUpToDate.empty()) {
        *error = "Registry hive " + hive->path + " is not " + (hive->upToDate.imageFd >= 0 ? "fully " : "") +
                 "up to date: " + hive->upToDate.notUpToDate +
                 "; writing it would lose what Windows has yet to apply, so nothing was written";
        return false;
      }
    }
    std::vector<HiveWrite> writes;
    for (Hive* hive : {&system_, &software_}) {
      if (!hive->changed) continue;
      // hivex_commit sets both sequence numbers to one above the first and
      // recomputes the checksum (hivex, lib/handle.c), so a hive brought up
      // to date, whose numbers are already above every log entry's, is
      // written clean, and Windows leaves its logs unread ("Dirty state of
      // a hive").
      writes.push_back(HiveWrite{&hive->file, [this, hive](const std::string& tempPath, std::string* writeError) {
                                   if (hivex_commit(hive->handle, tempPath.c_str(), 0) != 0 ||
                                       !checksumForWindows(tempPath)) {
                                     *writeError = "Cannot write registry hive " + hive->path + ": " + strerror(errno);
                                     return false;
                                   }
                                   return readsBack(*hive, tempPath, writeError);
                                 }});
    }
    if (!writes.empty() && !files_->commit(writes, error)) return false;
    for (Hive* hive : {&system_, &software_}) hive->changed = false;
    for (Hive* hive : {&system_, &software_}) {
      if (!hive->upToDate.notUpToDate.empty()) {
        bool part = hive->upToDate.imageFd >= 0;
        fprintf(stderr, "netvane: registry hive %s is not %sup to date: %s; it was read %s\n", hive->path.c_str(),
                part ? "fully " : "", hive->upToDate.notUpToDate.c_str(),
                part ? "with the entries before it" : "as it is");
      }
    }
    return true;
  }

 private:
  struct Value {
    std::string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
  };

  // A value the run set or deleted, by hive, key path and name.
  struct Made {
    bool deleted;
    StoreValue value;
  };
  struct MadeOrder {
    bool operator()(const std::tuple<Hive*, std::string, std::string>& a,
                    const std::tuple<Hive*, std::string, std::string>& b) const {
      if (std::get<0>(a) != std::get<0>(b)) return std::get<0>(a) < std::get<0>(b);
      int path = compareRegistryNames(std::get<1>(a), std::get<1>(b));
      if (path != 0) return path < 0;
      return compareRegistryNames(std::get<2>(a), std::get<2>(b)) < 0;
    }
  };

  bool failed(Hive* hive) {
    if (failedHive_ == nullptr) failedHive_ = hive != nullptr ? hive : &system_;
    return false;
  }

  // The hive hivex wrote at `path` opens, and holds every value the run
  // set as it set it and none it deleted: a hive that does not is never
  // put in the old one's place.
  bool readsBack(const Hive& hive, const std::string& path, std::string* error) {
    hive_h* written = hivex_open(path.c_str(), 0);
    std::string wrong;
    if (written == nullptr) wrong = std::string("hivex cannot open it (") + strerror(errno) + ")";
    for (const auto& made : made_) {
      if (!wrong.empty()) break;
      if (std::get<0>(made.first) != &hive) continue;
      const std::string& keyPath = std::get<1>(made.first);
      const std::string& name = std::get<2>(made.first);
      std::vector<std::string> names = splitPath(keyPath);
      hive_node_h node = hivex_root(written);
      size_t first = 1;
      if (&hive == &system_) {
        first = 2;
        if (node == 0 || !findChild(written, node, controlSetName_, &node)) node = 0;
      }
      for (size_t i = first; i < names.size() && node != 0; ++i) {
        if (!findChild(written, node, names[i], &node)) node = 0;
      }
      std::vector<Value> values;
      Value* found = nullptr;
      if (node != 0 && readValues(written, node, &values)) {
        for (Value& value : values) {
          if (sameRegistryName(value.name, name)) found = &value;
        }
      }
      bool right = node != 0 && (made.second.deleted ? found == nullptr
                                                     : found != nullptr && found->type == made.second.value.type &&
                                                           found->data == made.second.value.data);
      if (!right) wrong = "it does not hold " + keyPath + "\\" + name + " as it was set";
    }
    if (written != nullptr) hivex_close(written);
    if (!wrong.empty()) *error = "Cannot write registry hive " + hive.path + ": what hivex wrote does not read back: " + wrong;
    return wrong.empty();
  }

  struct Location {
    Hive* hive;
    hive_node_h node;
  };

  struct NameOrder {
    bool operator()(const std::string& a, const std::string& b) const {
      return compareRegistryNames(a, b) < 0;
    }
  };

  // Windows boots the control set that Select\Default names. Select\Current
  // only records the one the last boot used (and LastKnownGood the last one
  // that booted well), so it is merely the fallback for a Select key that
  // lacks Default; KB102984 and the Windows 2000 registry reference describe
  // the four values so.
  bool selectControlSet(std::string* error) {
    hive_node_h root = hivex_root(system_.handle);
    hive_node_h select = 0;
    if (root == 0 || !findChild(system_, root, "Select", &select)) {
      *error = "Registry hive " + system_.path +
               " has no Select key, so the control set Windows boots is unknown";
      return false;
    }
    std::vector<Value> values;
    readValues(system_, select, &values);
    uint32_t number = controlSetNumber(values, "Default");
    if (number == 0) number = controlSetNumber(values, "Current");
    if (number == 0) number = 1;
    char controlSet[32];
    snprintf(controlSet, sizeof controlSet, "ControlSet%03u", number);
    if (!findChild(system_, root, controlSet, &controlSet_)) {
      *error = "Registry hive " + system_.path + " has no " + controlSet +
               ", the control set that its Select key names";
      return false;
    }
    return true;
  }

  // 0 when the value is missing or is no usable number.
  static uint32_t controlSetNumber(const std::vector<Value>& values, const char* name) {
    for (const Value& value : values) {
      if (sameRegistryName(value.name, name) && value.type == kRegistryTypeDword && value.data.size() == 4)
        return littleEndian32(value.data.data());
    }
    return 0;
  }

  bool findChild(const Hive& hive, hive_node_h parent, const std::string& name, hive_node_h* child) {
    return findChild(hive.handle, parent, name, child);
  }

  static bool findChild(hive_h* handle, hive_node_h parent, const std::string& name, hive_node_h* child) {
    hive_node_h* children = hivex_node_children(handle, parent);
    if (children == nullptr) return false;
    bool found = false;
    for (size_t i = 0; children[i] != 0 && !found; ++i) {
      char* childName = hivex_node_name(handle, children[i]);
      if (childName != nullptr && sameRegistryName(childName, name)) {
        *child = children[i];
        found = true;
      }
      free(childName);
    }
    free(children);
    return found;
  }

  // SOFTWARE\... is the SOFTWARE hive; SYSTEM\CurrentControlSet\... is the
  // chosen control set of the SYSTEM hive. Nothing else can be opened.
  bool locate(const std::string& path, Hive** hive, hive_node_h* node) {
    std::map<std::string, Location, NameOrder>::const_iterator cached = located_.find(path);
    if (cached != located_.end()) {
      *hive = cached->second.hive;
      *node = cached->second.node;
      return true;
    }
    std::vector<std::string> names = splitPath(path);
    size_t first;
    Location location;
    if (sameRegistryName(names[0], "SOFTWARE")) {
      location = Location{&software_, hivex_root(software_.handle)};
      first = 1;
    } else if (names.size() >= 2 && sameRegistryName(names[0], "SYSTEM") &&
               sameRegistryName(names[1], "CurrentControlSet")) {
      location = Location{&system_, controlSet_};
      first = 2;
    } else {
      return false;
    }
    // Each prefix found is remembered, since the five keys of an adapter
    // share most of their paths.
    std::string prefix = names[0];
    for (size_t i = 1; i < names.size(); ++i) {
      prefix += "\\" + names[i];
      if (i < first) continue;
      cached = located_.find(prefix);
      if (cached != located_.end()) {
        location = cached->second;
        continue;
      }
      if (!findChild(*location.hive, location.node, names[i], &location.node)) return false;
      located_[prefix] = location;
    }
    *hive = location.hive;
    *node = location.node;
    return location.node != 0;
  }

  bool readValues(const Hive& hive, hive_node_h node, std::vector<Value>* values) {
    return readValues(hive.handle, node, values);
  }

  static bool readValues(hive_h* handle, hive_node_h node, std::vector<Value>* values) {
    hive_value_h* handles = hivex_node_values(handle, node);
    if (handles == nullptr) return false;
    bool ok = true;
    for (size_t i = 0; handles[i] != 0 && ok; ++i) {
      Value value;
      char* name = hivex_value_key(handle, handles[i]);
      hive_type type;
      size_t size = 0;
      char* data = hivex_value_value(handle, handles[i], &type, &size);
      ok = name != nullptr && data != nullptr;
      if (ok) {
        value.name = name;
        value.type = fromHiveType(type);
        value.data.assign(data, data + size);
        values->push_back(value);
      }
      free(name);
      free(data);
    }
    free(handles);
    return ok;
  }

  // hivex replaces a key's values as a whole; the ones we did not touch go
  // back as they were read, in their order.
  bool writeValues(Hive* hive, hive_node_h node, std::vector<Value>& values) {
    for (const Value& value : values) {
      if (value.data.size() > kLargestSingleCellData) return false;
    }
    // A run that only lists never waits for the hives' locks; one that
    // changes them takes both here, and a failure is reported by commit().
    if (!changing_) {
      changing_ = true;
      files_->lockForChange(&system_.file, &software_.file, &changeError_, &replaced_);
    }
    if (!makeWritable(hive)) return false;
    static char noData = 0;
    std::vector<hive_set_value> set(values.size());
    for (size_t i = 0; i < values.size(); ++i) {
      set[i].key = &values[i].name[0];
      setHiveType(&set[i].t, values[i].type);
      set[i].len = values[i].data.size();
      set[i].value = set[i].len ? reinterpret_cast<char*>(values[i].data.data()) : &noData;
    }
    if (hivex_node_set_values(hive->handle, node, set.size(), set.data(), 0) != 0) {
      hive->damaged = true;
      return false;
    }
    hive->changed = true;
    return true;
  }

  // A hive is first mapped read-only, which costs little for a run that
  // only lists; the first change reads it into memory for writing. hivex
  // reads the file the run opened, so every node found so far stays where
  // it was.
  bool makeWritable(Hive* hive) {
    if (hive->writable) return true;
    hive_h* writable = hivex_open(hivexPath(*hive).c_str(), HIVEX_OPEN_WRITE);
    if (writable == nullptr) return false;
    hivex_close(hive->handle);
    hive->handle = writable;
    hive->writable = true;
    return true;
  }

  // Declared first, so that the hives are closed before their files.
  std::unique_ptr<HiveFiles> files_;
  bool forChange_;
  std::string controlSetName_;
  std::map<std::tuple<Hive*, std::string, std::string>, Made, MadeOrder> made_;
  // The hive of the run's first change that failed.
  Hive* failedHive_ = nullptr;
  Hive system_;
  Hive software_;
  // Why a run may not change this installation, when it is hibernated.
  std::string hibernated_;
  hive_node_h controlSet_ = 0;
  std::map<std::string, Location, NameOrder> located_;
  bool changing_ = false;
  bool replaced_ = false;
  std::string changeError_;
};

}  // namespace

std::unique_ptr<RegistryStore> openHiveStoreOn(std::unique_ptr<HiveFiles> files, bool forChange, std::string* error) {
  std::unique_ptr<HiveStore> store(new HiveStore(std::move(files), forChange));
  if (!store->open(error)) return nullptr;
  return std::unique_ptr<RegistryStore>(store.release());
}

std::unique_ptr<RegistryStore> openHiveStore(const std::string& directory, bool forChange, std::string* error) {
  std::unique_ptr<HiveFiles> files = openInstallationDirectory(directory, error);
  return files ? openHiveStoreOn(std::move(files), forChange, error) : nullptr;
}

}  // namespace standin
