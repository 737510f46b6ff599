// Standard output, through the C library on every platform.
#include <stdarg.h>
#include <stdio.h>

#include "platform/platform.h"

int platformPrint(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int written = vprintf(format, arguments);
  va_end(arguments);
  return written;
}
