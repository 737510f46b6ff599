// libntfs-3g's headers, as the files that call it include them. They take
// their platform from config macros that Debian's build set (without them,
// ntfstime.h declares its own struct timespec), define min and max, and
// name types (le32, le64, s64...) that clash with common names: include
// this after every C++ header, and only where libntfs-3g is called.
#ifndef NETVANE_PLATFORM_STANDIN_IMAGE_LIBNTFS3G_H
#define NETVANE_PLATFORM_STANDIN_IMAGE_LIBNTFS3G_H

#define HAVE_STDINT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_STDIO_H 1
#define HAVE_STDLIB_H 1
#define HAVE_STRING_H 1
#define HAVE_ERRNO_H 1
#define HAVE_CLOCK_GETTIME 1
extern "C" {
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/bitmap.h>
#include <ntfs-3g/device.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/logfile.h>
#include <ntfs-3g/logging.h>
#include <ntfs-3g/security.h>
#include <ntfs-3g/unistr.h>
#include <ntfs-3g/volume.h>
}

#endif
