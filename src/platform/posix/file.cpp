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

#include "platform/error.h"
#include "platform/interrupt.h"
#include "platform/posix/internal.h"

uint64_t filePosition(const FileHandle& file) {
  return static_cast<uint64_t>(lseek(file.get(), 0, SEEK_CUR));
}

std::string withReason(const std::string& what, int code) {
  return what + ": " + std::strerror(code);
}
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
    case OpenMode::Append: flags |= O_WRONLY | O_APPEND | O_CREAT; break;
  }
  FileHandle file(open(path.c_str(), flags, mode == OpenMode::Append ? 0644 : 0600));
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
          static_cast<uint32_t>(s.st_gid),
          static_cast<int64_t>(s.st_mtim.tv_sec),
          static_cast<uint32_t>(s.st_mtim.tv_nsec)};
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

std::string withSlashSeparators(std::string path) { return path; }

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

// An open `to` never stands in the way: its holders keep the old file.
bool renameFile(const std::string& from, const std::string& to, const std::function<void()>&) {
  if (rename(from.c_str(), to.c_str()) != 0) return false;
  report(IoEvent::Kind::Rename, nullptr, 0, 0, from, to);
  return true;
}

FileHandle createUniqueFile(std::string& pattern) {
  FileHandle file(mkostemp(pattern.data(), O_CLOEXEC));
  if (file.valid()) report(IoEvent::Kind::Create, &file, 0, 0, pattern);
  return file;
}

uint32_t newFileMode() { return 0666 & ~creationMask(); }

uint32_t creationMask() {
  const mode_t mask = umask(0);  // only read by setting it
  umask(mask);
  return mask;
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

std::optional<uint64_t> freeSpace(const std::string& folder) {
  struct statvfs fs {};
  if (statvfs(folder.c_str(), &fs) != 0) return std::nullopt;
  return static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
}

std::optional<std::string> realPath(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return std::nullopt;
  std::string result(real);
  std::free(real);
  return result;
}
