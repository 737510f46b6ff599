// Where a run reads what a disk image holds. The partition table, NTFS
// (libntfs-3g), the hives and their logs (hivex and the replay) are parsed
// from bytes that whoever handed over the image chose, often by a run with
// root's rights: so they are parsed in a process that has given up, for
// good, the means to do harm beyond itself. It cannot open a file, start a
// program, make or connect a socket, or signal another process; it keeps
// what it opened before (the image, qemu-nbd's socket, standard output);
// it cannot dump core, gain privileges, or take more memory than a limit
// above what the largest hives need.
#ifndef NETVANE_PLATFORM_STANDIN_IMAGE_SANDBOX_H
#define NETVANE_PLATFORM_STANDIN_IMAGE_SANDBOX_H

#include <string>

namespace standin {

// Enters the sandbox for the rest of the process. What the libraries in it
// would open on first use is opened first. A forbidden call ends the process
// with SIGSYS. hivex opens hives by name only: a name /proc/self/fd/N of a
// descriptor the process holds is opened as a new descriptor of the same
// file, and every other name ends the process. False with `detail` when the
// sandbox cannot be set up; then nothing has been read. `role` ("probe",
// "run") names the process for the tests' hook (NETVANE_TEST_ESCAPE=ROLE:WHAT
// makes it try, once in, what it must not do).
bool enterSandbox(const char* role, std::string* detail);

// Whether there is a sandbox at all: a build made to measure what it costs
// (cmake -DNETVANE_SANDBOX=OFF, bench/hive_bench.sh) has none, and reads an
// image in the run's own process.
bool sandboxed();

}  // namespace standin

#endif
