// Finding an offline Windows installation's files below the directory the
// user named, as a Linux mount shows them.
#ifndef NETVANE_PLATFORM_STANDIN_HIVE_INSTALLATION_H
#define NETVANE_PLATFORM_STANDIN_HIVE_INSTALLATION_H

#include <stddef.h>

#include <string>

namespace standin {

enum class EntryKind { kFile, kDirectory, kAny };

// NTFS keeps names as they were created, and a Linux mount shows them so:
// "Windows/System32/config" may be "WINDOWS/system32/CONFIG". False when
// there is no such entry of that kind (kAny: whatever it is or links to), and
// then with `error` set when the directory could not be read: a directory the
// user may not read hides nothing from them.
bool findEntry(const std::string& directory, const char* name, EntryKind kind, std::string* found,
               std::string* error);

std::string withoutTrailingSlashes(std::string path);

// The directory may be the installation's volume root, its Windows
// directory or its config directory itself. `root` is the volume root above
// the config directory found, wherever the user pointed; empty for a
// directory of hives that is not in a Windows/System32/config layout. False
// with one line in `error`.
bool findConfigDirectory(const std::string& directory, std::string* config, std::string* root,
                         std::string* error);

// The hive `name` ("SYSTEM", "SOFTWARE") in the config directory. False with
// one line in `error`.
bool findHive(const std::string& config, const char* name, std::string* path, std::string* error);

// Whether Windows on the volume at `root` is hibernated, and would resume
// from memory over any change to its files. When it is, or when that cannot
// be told, `refusal` is one line that says so and what to do.
bool isHibernated(const std::string& root, std::string* refusal);

// The bytes of hiberfil.sys that tell whether it holds a memory image.
const size_t kHiberfileHeaderSize = 4096;
// Whether a hiberfil.sys that begins with the `got` bytes of `header` (at
// most kHiberfileHeaderSize) holds a memory image Windows would resume from.
bool holdsHibernationImage(const char* header, size_t got);
// The line that refuses to change the hibernated Windows on `root`.
std::string hibernatedRefusal(const std::string& root);
// The line that refuses a change when hiberfil.sys could not be read, after
// the one line `readError` that says why.
std::string unknownHibernationRefusal(const std::string& readError);

}  // namespace standin

#endif
