#include "pack/durable_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace {

IoHook hook = nullptr;

void afterIo() {
  if (hook != nullptr) hook();
}

}  // namespace

void setIoHook(IoHook h) { hook = h; }

bool writeAllAt(int fd, const uint8_t* data, size_t size, uint64_t offset) {
  while (size > 0) {
    const ssize_t n = pwrite(fd, data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
  afterIo();
  return true;
}

bool writeZerosAt(int fd, uint64_t size, uint64_t offset) {
  static const std::vector<uint8_t> zeros(1 << 20);
  while (size > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size, zeros.size()));
    if (!writeAllAt(fd, zeros.data(), n, offset)) return false;
    offset += n;
    size -= n;
  }
  return true;
}

bool copyRange(int from, uint64_t fromOffset, int to, uint64_t toOffset, uint64_t size) {
  std::vector<uint8_t> chunk(std::min<uint64_t>(size, 1 << 20));
  while (size > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size, chunk.size()));
    size_t got = 0;
    while (got < n) {
      const ssize_t r =
          pread(from, chunk.data() + got, n - got, static_cast<off_t>(fromOffset + got));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return false;
      if (r == 0) break;  // the end of `from`: the rest reads as zeros
      got += static_cast<size_t>(r);
    }
    std::fill(chunk.begin() + static_cast<ptrdiff_t>(got),
              chunk.begin() + static_cast<ptrdiff_t>(n), 0);
    if (!writeAllAt(to, chunk.data(), n, toOffset)) return false;
    fromOffset += n;
    toOffset += n;
    size -= n;
  }
  return true;
}

bool syncFile(int fd) {
  const bool ok = fsync(fd) == 0;
  if (ok) afterIo();
  return ok;
}

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool syncFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  if (ok) afterIo();
  return ok;
}
