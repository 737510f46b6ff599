// A dirty hive brought up to date from the transaction logs beside it, as
// Windows does when it loads one: the logs found and read, the replay, and
// the image in memory that hivex then reads in the file's place.
#ifndef NETVANE_PLATFORM_STANDIN_HIVE_DIRTY_HIVE_H
#define NETVANE_PLATFORM_STANDIN_HIVE_DIRTY_HIVE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

namespace standin {

struct ReadLog {
  std::string path;
  struct stat seen;
};

struct UpToDate {
  // A memory file holding the hive brought up to date (or a clean hive's
  // copy that hivex can read), or -1 when the logs did not apply or the
  // hive was clean.
  int imageFd = -1;
  // Why the hive is not up to date: no log applied, or the replay stopped
  // where Windows would have gone on.
  std::string notUpToDate;
  // The logs as they were read: a run writes the hive only if they still are.
  std::vector<ReadLog> logs;
};

// Windows 8.1 and later, and Vista to 8, keep a hive's pending changes in
// NAME.LOG1 and NAME.LOG2; XP keeps them in NAME.LOG ("Multiple transaction
// log files").
const size_t kLogCount = 3;
extern const char* const kLogSuffixes[kLogCount];

// The largest hive Windows allows for `name` ("SYSTEM", "SOFTWARE", in any
// case), and the largest log beside it: 1.5 GB for SYSTEM, 2 GB for others.
uint64_t largestHive(const std::string& name);

// Opens the log `logName` beside the hive, to read: `shown` names it in
// messages, `fd` reads it and is the caller's to close. False when there is
// none, with `error` set only when that could not be told or the log is
// there but cannot be read: a log taken for absent would lose its entries.
typedef std::function<bool(const std::string& logName, std::string* shown, int* fd, std::string* error)> FindLog;

// The log at `path`, opened to read only if it is a regular file (links
// followed): judged by name before it is opened, since opening a device can
// act on it (a tape rewinds, a terminal becomes the run's), and again once
// open, in case the name went to another file in between. False with one
// line in `error`.
bool openLogFile(const std::string& path, int* fd, std::string* error);

// Replays the logs beside the dirty hive at `path`, open as `fd` with `size`
// bytes. False with one line in `error` when the hive cannot be used at all:
// a log that cannot be read or is larger than `largest`, or a base block that
// is damaged and that no log restores.
bool bringUpToDate(int fd, const std::string& path, uint64_t size, uint64_t largest, const FindLog& findLog,
                   UpToDate* result, std::string* error);

// A clean hive whose checksum Windows stored as 1 or 0xFFFFFFFE, which hivex
// refuses, as a memory file in `result->imageFd` that hivex reads.
bool copyForHivex(int fd, const std::string& path, uint64_t size, UpToDate* result, std::string* error);

// False with one line in `error` when a log is no longer as it was read.
bool logsUnchanged(const UpToDate& hive, std::string* error);

}  // namespace standin

#endif
