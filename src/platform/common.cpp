// What the platform layer does the same way on every system: owned handles and pending files
// (their closing and removing is each system's), the I/O hook, errors as exceptions, zeros and
// copies through memory, waiting for a lock, and folders of paths.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/internal.h"
#include "platform/interrupt.h"
#include "platform/pending_file.h"

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.release();
  }
  return *this;
}

FileHandle::~FileHandle() { close(); }

PendingFile& PendingFile::operator=(PendingFile&& other) noexcept {
  if (this != &other) {
    drop();
    file_ = std::move(other.file_);
    base_ = other.base_;
    tempName_ = std::move(other.tempName_);
    unnamed_ = other.unnamed_;
  }
  return *this;
}

namespace {
IoHook ioHook = nullptr;
}  // namespace

void setIoHook(IoHook hook) { ioHook = hook; }
bool ioHooked() { return ioHook != nullptr; }
void reportIo(const IoEvent& event) {
  if (ioHook != nullptr) ioHook(event);
}

void reportWriteAtPosition(const FileHandle& file, uint64_t size) {
  if (ioHook == nullptr || size == 0) return;
  report(IoEvent::Kind::Write, &file, filePosition(file) - size, size);
}

void throwSystemError(const std::string& what, int code, const std::string& path) {
  throw Error(withReason(what, code), code, path);
}
void throwSystemError(const std::string& what) { throwSystemError(what, errno); }

bool writeZerosAt(const FileHandle& file, uint64_t size, uint64_t offset) {
  static const std::vector<uint8_t> zeros(1 << 20);
  while (size > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size, zeros.size()));
    if (!writeAllAt(file, zeros.data(), n, offset)) return false;
    offset += n;
    size -= n;
  }
  return true;
}

bool copyRange(const FileHandle& from, uint64_t fromOffset, const FileHandle& to, uint64_t toOffset,
               uint64_t size) {
  std::vector<uint8_t> chunk(std::min<uint64_t>(size, 1 << 20));
  while (size > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size, chunk.size()));
    errno = 0;
    const size_t got = readAt(from, fromOffset, chunk.data(), n);
    if (got < n && errno != 0) return false;  // a read error, not the end of `from`
    std::fill(chunk.begin() + static_cast<ptrdiff_t>(got),
              chunk.begin() + static_cast<ptrdiff_t>(n), 0);
    if (!writeAllAt(to, chunk.data(), n, toOffset)) return false;
    fromOffset += n;
    toOffset += n;
    size -= n;
  }
  return true;
}

CopyResult FileCopier::copy(const FileHandle& from, uint64_t fromOffset, const FileHandle& to,
                            uint64_t size) {
  constexpr size_t kChunk = 1 << 20;
  while (size > 0 && inKernel_) {
    const int64_t n = copyInKernel(from, fromOffset, to, static_cast<size_t>(size));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      // Not supported here (another file system, an old kernel) or a real error: the copy through
      // memory below tells a read error from a write error.
      if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
        inKernel_ = false;
      }
      break;
    }
    if (n == 0) break;  // the end of `from`
    reportWriteAtPosition(to, static_cast<uint64_t>(n));
    fromOffset += static_cast<uint64_t>(n);
    size -= static_cast<uint64_t>(n);
  }
  while (size > 0) {
    chunk_.resize(kChunk);
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, size));
    const size_t got = readAt(from, fromOffset, chunk_.data(), n);
    if (!writeAll(to, chunk_.data(), got)) return CopyResult::WriteFailed;
    if (got < n) return CopyResult::SourceEnded;
    fromOffset += n;
    size -= n;
  }
  return CopyResult::Done;
}

bool waitForLock(const FileHandle& file, bool (*tryLock)(const FileHandle&), double seconds) {
  constexpr double kStep = 0.05;
  for (double waited = 0;; waited += kStep) {
    if (tryLock(file)) return true;
    if (errno != EWOULDBLOCK || waited >= seconds || stopRequested().load()) return false;
    std::this_thread::sleep_for(std::chrono::duration<double>(kStep));
    errno = EWOULDBLOCK;
  }
}

std::string folderOf(const std::string& path) {
#ifdef _WIN32
  const size_t slash = path.find_last_of("/\\");
  // "C:" alone would be drive C's current folder: its root keeps the separator.
  if (slash == 2 && path[1] == ':') return path.substr(0, 3);
#else
  const size_t slash = path.rfind('/');
#endif
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::filesystem::path pathOfText(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string textOfPath(const std::filesystem::path& path) {
  const std::u8string text = path.generic_u8string();
  return {text.begin(), text.end()};
}
