// Standard output, through the C library on every platform.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "platform/platform.h"

namespace {

// The cause of the first write to standard output that failed, or 0.
int outputFailure = 0;

void noteOutputFailure() {
  if (outputFailure == 0) outputFailure = errno != 0 ? errno : EIO;
}

}  // namespace

int platformPrint(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  errno = 0;
  int written = vprintf(format, arguments);
  va_end(arguments);
  if (written < 0) noteOutputFailure();
  return written;
}

int32_t platformFinishOutput(int32_t status) {
  // Standard output is buffered when it is a file or a pipe, so a full disk
  // or a closed descriptor often shows only now.
  errno = 0;
  if (fflush(stdout) != 0 || ferror(stdout)) noteOutputFailure();
  if (outputFailure == 0) return status;
  char reason[128];
#if defined(_MSC_VER)
  strerror_s(reason, sizeof reason, outputFailure);
#else
  snprintf(reason, sizeof reason, "%s", strerror(outputFailure));
#endif
  int written = fprintf(stderr, "Cannot write standard output: %s\n", reason);
  // Even when standard error is lost as well, the run must not read as success.
  return written > 0 ? written : 1;
}
