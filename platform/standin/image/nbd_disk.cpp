// Any image format but raw, read and written through a private qemu-nbd
// (nbd_server.cpp) and libnbd. qemu reads every format, and takes the
// image's lock itself: a format driver that writes shares the right to
// write with no one, and one that reads refuses a writer.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform/standin/image/chunk_cache.h"
#include "platform/standin/image/disk.h"
#include "platform/standin/image/libnbd_calls.h"
#include "platform/standin/image/nbd_server.h"

namespace standin {

namespace {

// qemu-nbd refuses requests over 32 MiB. A few smaller ones in flight let
// it read the next while this process takes in the last: a quarter faster
// than one request after another, measured on a qcow2 image.
const size_t kRequest = 4 << 20;
const size_t kRequestsInFlight = 4;
// qemu-nbd writes out its cache as it ends; one that has not ended after
// this long is ended by its keeper.
const double kServerEndSeconds = 30;

std::string findProgram(const char* name) {
  const char* path = getenv("PATH");
  std::string directories = path != nullptr && path[0] != '\0' ? path : "/usr/local/bin:/usr/bin:/bin";
  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type colon = directories.find(':', start);
    std::string directory = directories.substr(start, colon - start);
    std::string candidate = (directory.empty() ? "." : directory) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string::npos) return "";
    start = colon + 1;
  }
}

// qemu's key=value options, where a comma is written twice.
std::string optionValue(const std::string& value) {
  std::string escaped;
  for (char c : value) {
    escaped += c;
    if (c == ',') escaped += ',';
  }
  return escaped;
}

DiskFailure classify(const std::string& text, bool writable) {
  // qemu's own words (block/file-posix.c): "Failed to get "write" lock",
  // "Failed to get shared "write" lock", then "Is another process using the image".
  if (text.find("Is another process using the image") != std::string::npos ||
      (text.find("Failed to get") != std::string::npos && text.find("lock") != std::string::npos)) {
    return DiskFailure::inUse;
  }
  if (writable && (text.find("Permission denied") != std::string::npos ||
                   text.find("Read-only file system") != std::string::npos ||
                   text.find("read-only") != std::string::npos || text.find("Read-only") != std::string::npos)) {
    return DiskFailure::readOnly;
  }
  return DiskFailure::other;
}

class NbdDisk : public Disk {
 public:
  NbdDisk(const LibnbdCalls* nbd, bool writable) : nbd_(nbd) { writable_ = writable; }
  ~NbdDisk() override { close(nullptr); }

  bool open(const DiskRequest& request, DiskFailure* failure, std::string* detail);

  bool read(uint64_t offset, void* buffer, size_t count) override {
    if (offset > size_ || count > size_ - offset) {
      errno = EIO;
      return false;
    }
    if (!ChunkCache::worthCaching(count)) return transfer(true, {Piece{offset, buffer, count}});
    return cache_.read(offset, buffer, count, size_, [this](uint64_t at, void* into, size_t size) {
      return transfer(true, {Piece{at, into, size}});
    });
  }

  bool write(const std::vector<Piece>& pieces) override {
    bool ok = transfer(false, pieces);
    for (const Piece& piece : pieces) {
      if (ok) {
        cache_.wrote(piece.offset, piece.bytes, piece.size);
      } else {
        cache_.drop(piece.offset, piece.size);
      }
    }
    return ok;
  }

  bool flush() override {
    if (handle_ == nullptr) return false;
    return !writable_ || nbd_->flush(handle_, 0) == 0;
  }

  void forget() override { cache_.clear(); }

  bool close(std::string* detail) override;

 private:
  // Every piece, split into requests qemu-nbd takes, a few in flight at a
  // time. No request may still fill a buffer once this returns.
  bool transfer(bool reading, const std::vector<Piece>& pieces);

  const LibnbdCalls* nbd_;
  nbd_handle* handle_ = nullptr;
  NbdServer server_;
  ChunkCache cache_;
};

bool NbdDisk::transfer(bool reading, const std::vector<Piece>& pieces) {
  std::vector<Piece> requests;
  for (const Piece& piece : pieces) {
    if (piece.offset > size_ || piece.size > size_ - piece.offset) {
      errno = EIO;
      return false;
    }
    for (size_t done = 0; done < piece.size; done += kRequest) {
      size_t size = piece.size - done < kRequest ? piece.size - done : kRequest;
      requests.push_back(Piece{piece.offset + done, static_cast<const uint8_t*>(piece.bytes) + done, size});
    }
  }
  std::vector<int64_t> pending;
  size_t issued = 0;
  bool ok = true;
  while (ok && (issued < requests.size() || !pending.empty())) {
    while (issued < requests.size() && pending.size() < kRequestsInFlight) {
      const Piece& request = requests[issued];
      void* bytes = const_cast<void*>(request.bytes);
      int64_t cookie = reading ? nbd_->aio_pread(handle_, bytes, request.size, request.offset, NBD_NULL_COMPLETION, 0)
                               : nbd_->aio_pwrite(handle_, bytes, request.size, request.offset,
                                                  NBD_NULL_COMPLETION, 0);
      if (cookie < 0) {
        ok = false;
        break;
      }
      pending.push_back(cookie);
      ++issued;
    }
    if (!ok || pending.empty()) break;
    int done = nbd_->aio_command_completed(handle_, pending.front());
    if (done == 0) {
      ok = nbd_->poll(handle_, -1) >= 0;
    } else {
      ok = done > 0;
      pending.erase(pending.begin());
    }
  }
  while (!ok && nbd_->aio_in_flight(handle_) > 0 && nbd_->poll(handle_, -1) >= 0) {
  }
  if (!ok) errno = EIO;
  return ok;
}

bool NbdDisk::open(const DiskRequest& request, DiskFailure* failure, std::string* detail) {
  std::string program = findProgram("qemu-nbd");
  if (program.empty()) {
    *failure = DiskFailure::noQemuNbd;
    *detail = "qemu-nbd was not found (install the package qemu-utils)";
    return false;
  }
  // The image is named by options, never by a file name that qemu would
  // parse: a name like "json:{...}" or "nbd:host" is a protocol to qemu.
  // qemu-nbd has no --force-share of its own; the block layer's option
  // does the same, and only beside --read-only.
  // The files the image names are named here too, as checked
  // (image_chain.h), each in its format: qemu follows no name from a
  // header, and probes no backing file's format. The last backing file
  // gets none ("backing=", which qemu 7.2 takes for null with a warning).
  std::string image = std::string("driver=") + request.format + (request.forceShare ? ",force-share=on" : "") +
                      ",file.driver=" + (request.device ? "host_device" : "file") +
                      ",file.filename=" + optionValue(request.path);
  if (!request.dataFile.empty()) image += ",data-file.driver=file,data-file.filename=" + optionValue(request.dataFile);
  std::string node;
  for (const BackingFile& backing : request.backing) {
    node += "backing.";
    image += "," + node + "driver=" + backing.format + "," + node + "read-only=on," + node + "file.driver=file," +
             node + "file.filename=" + optionValue(backing.path);
    if (!backing.dataFile.empty()) {
      image += "," + node + "data-file.driver=file," + node + "data-file.filename=" + optionValue(backing.dataFile);
    }
  }
  image += "," + node + "backing=";
  std::vector<std::string> arguments = {"qemu-nbd", "--image-opts", "--cache=writeback"};
  arguments.push_back(request.writable ? "--discard=unmap" : "--read-only");
  arguments.push_back(image);
  int client = -1;
  if (!startNbdServer(program, arguments, request.writable, &server_, &client, detail)) return false;
  handle_ = nbd_->create();
  bool ok = handle_ != nullptr;
  // libntfs-3g reads bitmaps in pieces of any size, which qemu-nbd serves
  // but libnbd's strict mode would refuse as unaligned.
  ok = ok && nbd_->set_strict_mode(handle_, nbd_->get_strict_mode(handle_) & ~LIBNBD_STRICT_ALIGN) == 0;
  // The handle owns the socket from here on, connected or not.
  ok = ok && nbd_->connect_socket(handle_, client) == 0;
  if (handle_ == nullptr) ::close(client);
  int64_t size = ok ? nbd_->get_size(handle_) : -1;
  if (ok && size < 0) ok = false;
  if (ok && request.writable && nbd_->is_read_only(handle_) == 1) {
    *failure = DiskFailure::readOnly;
    *detail = "qemu-nbd serves it read-only";
    return false;
  }
  if (!ok) {
    std::string libnbdError = nbd_->get_error() != nullptr ? nbd_->get_error() : "";
    // A server that refused the image has ended already; one that did not
    // finish the handshake is ended by its keeper.
    if (handle_ != nullptr) nbd_->close(handle_);
    handle_ = nullptr;
    endNbdServer(&server_, 0);
    std::string said = nbdServerMessage(server_);
    *failure = classify(said, request.writable);
    *detail = said.empty() ? (libnbdError.empty() ? "qemu-nbd did not serve it" : libnbdError) : said;
    return false;
  }
  size_ = static_cast<uint64_t>(size);
  return true;
}

bool NbdDisk::close(std::string* detail) {
  bool ok = true;
  if (handle_ != nullptr) {
    if (writable_ && nbd_->aio_is_ready(handle_) == 1 && !flush()) {
      ok = false;
      if (detail != nullptr) *detail = nbd_->get_error() != nullptr ? nbd_->get_error() : strerror(errno);
    }
    if (nbd_->aio_is_ready(handle_) == 1) nbd_->shutdown(handle_, 0);
    nbd_->close(handle_);
    handle_ = nullptr;
  }
  if (server_.keeper > 0) {
    // Disconnected, qemu-nbd writes out its cache and exits, and so does
    // its keeper.
    int status = endNbdServer(&server_, kServerEndSeconds);
    if (writable_ && status != 0 && ok) {
      ok = false;
      if (detail != nullptr) {
        std::string said = nbdServerMessage(server_);
        *detail = !said.empty() ? said
                  : status < 0  ? "qemu-nbd did not end when the disk was closed"
                                : "qemu-nbd failed as it closed the disk";
      }
    }
  }
  if (server_.messages >= 0) ::close(server_.messages);
  server_.messages = -1;
  return ok;
}

}  // namespace

std::unique_ptr<Disk> openNbdDisk(const DiskRequest& request, DiskFailure* failure, std::string* detail) {
  *failure = DiskFailure::other;
  const LibnbdCalls* nbd = loadLibnbd(detail);
  if (nbd == nullptr) return nullptr;
  std::unique_ptr<NbdDisk> disk(new NbdDisk(nbd, request.writable));
  if (!disk->open(request, failure, detail)) return nullptr;
  *failure = DiskFailure::none;
  return std::unique_ptr<Disk>(disk.release());
}

}  // namespace standin
