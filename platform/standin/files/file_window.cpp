#include "platform/standin/files/file_window.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace standin {

size_t readFileAt(int fd, void* into, size_t offset, size_t size) {
  unsigned char* bytes = static_cast<unsigned char*>(into);
  size_t done = 0;
  while (done < size) {
    ssize_t n = pread(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = 0;
      break;
    }
    done += static_cast<size_t>(n);
  }
  return done;
}

FileWindow::~FileWindow() { free(buffer_); }

size_t FileWindow::read(int fd, size_t offset, size_t size) {
  const size_t kPage = 4096;
  size_t needed = (offset % kPage + size + kPage - 1) / kPage * kPage;
  if (needed > capacity_) {
    free(buffer_);
    capacity_ = std::max(needed, kFileWindowSize);
    buffer_ = static_cast<unsigned char*>(aligned_alloc(kPage, capacity_));
    if (buffer_ == nullptr) capacity_ = 0;
  }
  data_ = buffer_ + offset % kPage;
  return buffer_ == nullptr ? 0 : readFileAt(fd, buffer_ + offset % kPage, offset, size);
}

bool SecondThread::start(bool wanted, std::function<void()> job) {
  if (!wanted || running_) return false;
  job_ = std::move(job);
  auto run = [](void* self) -> void* {
    static_cast<SecondThread*>(self)->job_();
    return nullptr;
  };
  running_ = pthread_create(&thread_, nullptr, run, this) == 0;
  return running_;
}

void SecondThread::join() {
  if (running_) pthread_join(thread_, nullptr);
  running_ = false;
}

}  // namespace standin
