#include "platform/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/host_error.h"
#include "platform/interrupt.h"
#include "platform/posix/internal.h"

namespace {
IoHook ioHook = nullptr;

void report(IoEvent::Kind kind, const FileHandle* file, uint64_t offset = 0, uint64_t size = 0,
            const std::string& path = {}, const std::string& to = {}) {
  if (ioHook != nullptr) ioHook({kind, file, offset, size, path, to});
}

// `size` bytes just written at the file's position.
void reportWriteAtPosition(const FileHandle& file, uint64_t size) {
  if (ioHook == nullptr || size == 0) return;
  const off_t end = lseek(file.get(), 0, SEEK_CUR);
  report(IoEvent::Kind::Write, &file, static_cast<uint64_t>(end) - size, size);
}
}  // namespace

void setIoHook(IoHook hook) { ioHook = hook; }

void reportIo(const IoEvent& event) {
  if (ioHook != nullptr) ioHook(event);
}

std::string withReason(const std::string& what, int code) {
  return what + ": " + std::strerror(code);
}
void throwSystemError(const std::string& what, int code) {
  throw HostError(withReason(what, code), code);
}
void throwSystemError(const std::string& what) { throwSystemError(what, errno); }

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.release();
  }
  return *this;
}

FileHandle::~FileHandle() { close(); }

bool FileHandle::close() {
  if (fd_ < 0) return true;
  const int fd = release();
  return ::close(fd) == 0;
}

FileHandle openFile(const std::string& path, OpenMode mode) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case OpenMode::Read: flags |= O_RDONLY; break;
    case OpenMode::ReadNonBlocking: flags |= O_RDONLY | O_NONBLOCK; break;
    case OpenMode::ReadWrite: flags |= O_RDWR; break;
    case OpenMode::ReadWriteNonBlocking: flags |= O_RDWR | O_NONBLOCK; break;
    case OpenMode::ReadNoFollow: flags |= O_RDONLY | O_NOFOLLOW | O_NONBLOCK; break;
    case OpenMode::CreateNew: flags |= O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW; break;
  }
  FileHandle file(open(path.c_str(), flags, 0600));
  if (mode == OpenMode::CreateNew && file.valid()) report(IoEvent::Kind::Create, &file, 0, 0, path);
  return file;
}

bool setBlocking(const FileHandle& file) { return fcntl(file.get(), F_SETFL, 0) == 0; }

namespace {
FileInfo infoOf(const struct stat& s) {
  return {S_ISREG(s.st_mode),
          S_ISDIR(s.st_mode),
          S_ISLNK(s.st_mode),
          static_cast<uint64_t>(s.st_size),
          static_cast<uint64_t>(s.st_dev),
          static_cast<uint64_t>(s.st_ino),
          static_cast<uint64_t>(s.st_nlink),
          static_cast<uint32_t>(s.st_mode & 07777),
          static_cast<uint32_t>(s.st_uid),
          static_cast<uint32_t>(s.st_gid)};
}
}  // namespace

std::optional<FileInfo> fileInfo(const FileHandle& file) {
  struct stat s {};
  if (fstat(file.get(), &s) != 0) return std::nullopt;
  return infoOf(s);
}

std::optional<FileInfo> fileInfo(const std::string& path) {
  struct stat s {};
  if (stat(path.c_str(), &s) != 0) return std::nullopt;
  return infoOf(s);
}

std::optional<FileInfo> linkInfo(const std::string& path) {
  struct stat s {};
  if (lstat(path.c_str(), &s) != 0) return std::nullopt;
  return infoOf(s);
}

std::optional<std::string> readLink(const std::string& path) {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t n = readlink(path.c_str(), target.data(), target.size());
    if (n < 0) return std::nullopt;
    if (static_cast<size_t>(n) < target.size()) {
      target.resize(static_cast<size_t>(n));
      return target;
    }
    target.resize(target.size() * 2);  // it may have been cut short
  }
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

size_t readAt(const FileHandle& file, uint64_t offset, uint8_t* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n =
        pread(file.get(), buffer + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

bool writeAllAt(const FileHandle& file, const uint8_t* data, size_t size, uint64_t offset) {
  const size_t size0 = size;
  while (size > 0) {
    const ssize_t n = pwrite(file.get(), data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
  report(IoEvent::Kind::Write, &file, offset - size0, size0);
  return true;
}

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

const FileHandle& standardOutput() {
  static const FileHandle* const out = new FileHandle(STDOUT_FILENO);
  return *out;
}

bool writeAll(const FileHandle& file, const uint8_t* data, size_t size) {
  const size_t size0 = size;
  while (size > 0) {
    const ssize_t n = write(file.get(), data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  reportWriteAtPosition(file, size0);
  return true;
}

bool resize(const FileHandle& file, uint64_t size) {
  if (ftruncate(file.get(), static_cast<off_t>(size)) != 0) return false;
  report(IoEvent::Kind::Resize, &file, 0, size);
  return true;
}

bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes) {
  const FileHandle file = openFile(path, OpenMode::Read);
  if (!file.valid()) return false;
  bytes.clear();
  uint8_t chunk[1 << 16];
  for (;;) {
    const ssize_t n = read(file.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
}

bool syncFile(const FileHandle& file) {
  if (fsync(file.get()) != 0) return false;
  report(IoEvent::Kind::SyncFile, &file);
  return true;
}

bool syncFolder(const std::string& folder) {
  const FileHandle handle(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!handle.valid() || fsync(handle.get()) != 0) return false;
  report(IoEvent::Kind::SyncFolder, nullptr, 0, 0, folder);
  return true;
}

bool removeFile(const std::string& path) {
  if (unlink(path.c_str()) != 0) return false;
  report(IoEvent::Kind::Remove, nullptr, 0, 0, path);
  return true;
}

bool renameFile(const std::string& from, const std::string& to) {
  if (rename(from.c_str(), to.c_str()) != 0) return false;
  report(IoEvent::Kind::Rename, nullptr, 0, 0, from, to);
  return true;
}

FileHandle createUniqueFile(std::string& pattern) {
  FileHandle file(mkostemp(pattern.data(), O_CLOEXEC));
  if (file.valid()) report(IoEvent::Kind::Create, &file, 0, 0, pattern);
  return file;
}

uint32_t newFileMode() {
  const mode_t mask = umask(0);  // only read by setting it
  umask(mask);
  return 0666 & ~mask;
}

bool setPermissions(const FileHandle& file, uint32_t permissions) {
  return fchmod(file.get(), static_cast<mode_t>(permissions)) == 0;
}

bool setOwner(const FileHandle& file, uint32_t owner, uint32_t group) {
  return fchown(file.get(), static_cast<uid_t>(owner), static_cast<gid_t>(group)) == 0;
}

bool tryLockExclusive(const FileHandle& file) { return flock(file.get(), LOCK_EX | LOCK_NB) == 0; }
bool tryLockShared(const FileHandle& file) { return flock(file.get(), LOCK_SH | LOCK_NB) == 0; }
void unlockFile(const FileHandle& file) { flock(file.get(), LOCK_UN); }

bool waitForLock(const FileHandle& file, bool (*tryLock)(const FileHandle&), double seconds) {
  constexpr double kStep = 0.05;
  for (double waited = 0;; waited += kStep) {
    if (tryLock(file)) return true;
    if (errno != EWOULDBLOCK || waited >= seconds || stopRequested().load()) return false;
    const timespec step{0, static_cast<long>(kStep * 1e9)};
    nanosleep(&step, nullptr);
    errno = EWOULDBLOCK;
  }
}

std::optional<uint64_t> freeSpace(const std::string& folder) {
  struct statvfs fs {};
  if (statvfs(folder.c_str(), &fs) != 0) return std::nullopt;
  return static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
}

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::optional<std::string> realPath(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return std::nullopt;
  std::string result(real);
  std::free(real);
  return result;
}
