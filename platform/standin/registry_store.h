// What the Linux stand-in keeps its registry in. The registry calls of
// platform.h are answered by the stand-in's registry layer, which sits on one
// RegistryStore: a registry export file, or the hive files of an offline
// Windows installation.
#ifndef NETVANE_PLATFORM_STANDIN_REGISTRY_STORE_H
#define NETVANE_PLATFORM_STANDIN_REGISTRY_STORE_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace standin {

// The types a store keeps beside those platform.h names for the tool.
const uint32_t kRegistryTypeExpandString = 2;  // REG_EXPAND_SZ
const uint32_t kRegistryTypeBinary = 3;        // REG_BINARY

// A value as Windows keeps it: string types (REG_SZ, REG_EXPAND_SZ,
// REG_MULTI_SZ) hold UTF-16LE bytes; the 8-bit registry calls convert.
inline bool isStringType(uint32_t type) {
  return type == kRegistryTypeString || type == kRegistryTypeExpandString || type == kRegistryTypeMultiString;
}
struct StoreValue {
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

// Key paths are below HKEY_LOCAL_MACHINE, e.g. "SYSTEM\CurrentControlSet\Services",
// with single backslashes between non-empty components and none at either end.
// Key and value names are compared with compareRegistryNames; "" names the
// default value. Texts are UTF-8, the stand-in's 8-bit code page.
class RegistryStore {
 public:
  virtual ~RegistryStore() = default;

  virtual bool keyExists(const std::string& path) = 0;
  // The immediate subkeys' names, each once, as spelled in the store, in any order.
  virtual std::vector<std::string> subkeys(const std::string& path) = 0;
  virtual bool getValue(const std::string& path, const std::string& name, StoreValue* value) = 0;
  // The key exists (the caller opened it). False when the value cannot be stored.
  virtual bool setValue(const std::string& path, const std::string& name,
                        const StoreValue& value) = 0;
  // False when there is no such value.
  virtual bool deleteValue(const std::string& path, const std::string& name) = 0;
  // Makes every change of the run durable at once, or none of them; a store
  // without changes is left untouched. On failure `error` is one line naming
  // the file.
  virtual bool commit(std::string* error) = 0;

  // A store is read without a lock, and locked at the run's first change.
  // True when that change found the store no longer the one that was read
  // (another run replaced it meanwhile): commit() then refuses, unless the
  // run opens the store anew, while this one keeps the lock, and makes its
  // changes there.
  virtual bool replacedSinceRead() const { return false; }
};

// Case-insensitive order of key and value names, the way Windows sorts a
// hive's subkey lists: by upper-cased name.
int compareRegistryNames(const std::string& a, const std::string& b);
bool sameRegistryName(const std::string& a, const std::string& b);
// The name folded once the way those compare it: two keys compare as
// strings the way their names compare, which sorts many names quickly.
std::u16string registryNameKey(const std::string& name);

// A registry export file (REGEDIT4 or Version 5.00), locked until the store is
// destroyed. On failure returns null and sets `error` to one line naming the file.
std::unique_ptr<RegistryStore> openRegFileStore(const std::string& path, std::string* error);

// Creates a registry export file at `path` holding `text`, unless something
// is already there (another run may have created it meanwhile): then it is
// left as it is, and `created` says which. False with one line in `error`.
bool createRegFile(const std::string& path, const std::string& text, bool* created, std::string* error);

// The same store over bytes in memory, for tests and fuzzing; commit()
// writes no file, but puts into `committed` (when given, and only when the
// run changed something) the bytes it would have written.
std::unique_ptr<RegistryStore> parseRegText(const std::string& bytes, std::string* error,
                                            std::string* committed = nullptr);

// The SYSTEM and SOFTWARE hives of an offline Windows installation, found
// below `directory` (its volume root, Windows directory or config directory)
// and locked until the store is destroyed. SYSTEM\CurrentControlSet is the
// control set that Windows boots next. `forChange` opens them for a run that
// may change them, which refuses at once what it could not change without
// harm. On failure returns null and sets `error` to one line naming the
// directory or hive file.
std::unique_ptr<RegistryStore> openHiveStore(const std::string& directory, bool forChange, std::string* error);

// The same store on the Windows installation inside a disk image (raw,
// qcow2, vmdk, vhdx, vpc or vdi) or on a block device (`device`), whole disk
// or one partition, if the file at `path` is one: `image` says whether it
// is, told from its bytes by a sandboxed process. The run goes on in a child
// process that reads the image in a sandbox (image/run_supervisor.h); this
// one then returns null with `image` true and `supervised` set to the
// child's exit status, or `error` to one line about a child that did not end
// well. For a run that may change it, the image is held for writing from the
// start. On failure returns null and sets `error` to one line naming the
// image.
std::unique_ptr<RegistryStore> openDiskImageStore(const std::string& path, bool device, bool forChange, bool* image,
                                                  int32_t* supervised, std::string* error);

}  // namespace standin

#endif
