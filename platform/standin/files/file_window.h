// Reading a store's file through its descriptor, a window at a time, and a
// large one by two threads.
#ifndef NETVANE_PLATFORM_STANDIN_FILES_FILE_WINDOW_H
#define NETVANE_PLATFORM_STANDIN_FILES_FILE_WINDOW_H

#include <pthread.h>
#include <stddef.h>

#include <functional>

namespace standin {

// What a reader takes in one window: as much as stays in the processor's
// cache while it reads, which is what made the window quicker than a mapping.
const size_t kFileWindowSize = size_t(256) << 10;
// Files this large are read by two threads, each taking its share.
const size_t kTwoThreadFileSize = size_t(8) << 20;

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

// A second thread for work on a large file, beside the caller's own share.
// A system that gives no thread leaves all of the work to the caller.
class SecondThread {
 public:
  SecondThread() = default;
  SecondThread(const SecondThread&) = delete;
  SecondThread& operator=(const SecondThread&) = delete;
  ~SecondThread() { join(); }

  // Runs `job` on the second thread when `wanted`; false when it does not.
  bool start(bool wanted, std::function<void()> job);
  // Waits for the job, if one was started.
  void join();

 private:
  std::function<void()> job_;
  pthread_t thread_;
  bool running_ = false;
};

}  // namespace standin

#endif
