// Reading a store's file through its descriptor, a window at a time.
#ifndef NETVANE_PLATFORM_STANDIN_FILES_FILE_WINDOW_H
#define NETVANE_PLATFORM_STANDIN_FILES_FILE_WINDOW_H

#include <stddef.h>

namespace standin {

// Reads `size` bytes at `offset` into `into`, in as many calls as it takes.
// Returns how many were read: fewer only where the file ends (errno is then
// 0) or cannot be read (errno says why).
size_t readFileAt(int fd, void* into, size_t offset, size_t size);

// Part of a file read into memory through its descriptor. Copying the page
// cache costs what reading the file with cat does, and the copy stays in
// the processor's cache for whoever reads it next; reading a mapping of the
// file instead costs a fault every few pages, and as much again to unmap
// them. The window keeps the file's page alignment, which the kernel copies
// quickest.
class FileWindow {
 public:
  FileWindow() = default;
  FileWindow(const FileWindow&) = delete;
  FileWindow& operator=(const FileWindow&) = delete;
  ~FileWindow();

  // Reads `size` bytes at `offset` into data(); returns how many were read,
  // fewer only where the file ends or cannot be read.
  size_t read(int fd, size_t offset, size_t size);
  const unsigned char* data() const { return data_; }

 private:
  unsigned char* buffer_ = nullptr;
  size_t capacity_ = 0;
  const unsigned char* data_ = nullptr;
};

}  // namespace standin

#endif
