// The stand-in platform's own controls: its start-up and shutdown, which
// open and commit the registry store around one run. The hooks that tests
// use are in standin_hooks.h.
#ifndef NETVANE_PLATFORM_STANDIN_STANDIN_H
#define NETVANE_PLATFORM_STANDIN_STANDIN_H

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/standin/registry_store.h"

namespace standin {

// standin_run.cpp

// The store a run uses: NETVANE_REGISTRY, or the per-user default, created
// from the sample machine on first use; `forChange` for a run that may
// change it. kFailed with one line in `error` when the store cannot be used;
// then nothing has been written or created. kSupervised when the run went on
// in a child process (a disk image's), which has ended with `childStatus`
// having said all it had to say; this process then only ends the same way.
enum class RunStart { kReady, kFailed, kSupervised };
RunStart beginRun(bool forChange, int32_t* childStatus, std::string* error);
// The per-user default store: $XDG_STATE_HOME/netvane/registry.reg, or
// ~/.local/state/netvane/registry.reg, the home taken from HOME or else from
// the password database. False with one line in `error` without a home.
bool defaultStorePath(std::string* path, std::string* error);

// standin_registry.cpp

// Opens the run's store (again); null with one line in `error` on failure.
typedef std::function<std::unique_ptr<RegistryStore>(std::string* error)> StoreOpener;

// Hands `store` to the registry calls for one run; `keepCallLog` keeps the
// calls for registryCallLog. `reopen`, when given, opens the store anew for
// a run that finds it replaced by another run at its first change.
void setRunStore(std::unique_ptr<RegistryStore> store, bool keepCallLog, StoreOpener reopen = nullptr);
// The registry store of the current run, for the DHCP client's check.
RegistryStore* currentStore();
// Commits the run's changes and releases the store.
bool endRun(std::string* error);

// standin_dhcp.cpp

// Opens the file NETVANE_DHCP_RECORD names, if any, for the run's DHCP
// requests (standin_hooks.h), before the run may read a disk image.
void openDhcpRecord();

// sample_machine.cpp

// The sample machine that a new default store starts from, as REGEDIT4 text.
const char* sampleMachine();

}  // namespace standin

#endif
