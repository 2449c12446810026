// Files through Win32: handles behind C runtime descriptors (so that FileHandle stays one int),
// positioned reads and writes with an OVERLAPPED offset, byte-range locks, FlushFileBuffers.
#include "platform/file.h"

#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/process.h"
#include "platform/windows/internal.h"

bool FileHandle::close() {
  if (fd_ < 0) return true;
  const int fd = release();
  return _close(fd) == 0;
}

uint64_t filePosition(const FileHandle& file) {
  LARGE_INTEGER at{};
  SetFilePointerEx(osHandle(file), LARGE_INTEGER{}, &at, FILE_CURRENT);
  return static_cast<uint64_t>(at.QuadPart);
}

namespace {
// Others may read, write, rename and remove a file this process has open, as on POSIX.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE openHandle(const std::string& path, DWORD access, DWORD disposition, DWORD flags) {
  return CreateFileW(systemPath(path).c_str(), access, kShareAll, nullptr, disposition,
                     flags | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}
}  // namespace

FileHandle openFile(const std::string& path, OpenMode mode) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  switch (mode) {
    case OpenMode::Read:
    case OpenMode::ReadNonBlocking:  // no FIFOs to block on here
      handle = openHandle(path, GENERIC_READ, OPEN_EXISTING, 0);
      break;
    case OpenMode::ReadWrite:
    case OpenMode::ReadWriteNonBlocking:
      handle = openHandle(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, 0);
      break;
    case OpenMode::ReadNoFollow: {
      handle = openHandle(path, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
      BY_HANDLE_FILE_INFORMATION info{};
      if (handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info) &&
          (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        CloseHandle(handle);
        errno = ELOOP;
        return FileHandle();
      }
      break;
    }
    case OpenMode::CreateNew:
      handle = openHandle(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
      break;
    case OpenMode::Append:
      handle = openHandle(path, FILE_APPEND_DATA, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
      break;
  }
  FileHandle file = adoptHandle(handle);
  if (mode == OpenMode::CreateNew && file.valid()) report(IoEvent::Kind::Create, &file, 0, 0, path);
  return file;
}

bool setBlocking(const FileHandle&) { return true; }

namespace {
std::optional<FileInfo> infoOf(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) {
    setErrnoFromLast();
    return std::nullopt;
  }
  FileInfo out;
  out.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  out.symlink = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  out.regular = !out.directory && !out.symlink;
  out.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  out.device = info.dwVolumeSerialNumber;
  out.inode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  out.links = info.nNumberOfLinks;
  // The only permission Windows keeps in a file's attributes: read-only or not.
  const bool readOnly = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  out.permissions = out.directory ? 0777 : readOnly ? 0444 : 0666;
  // Counted in 100 ns from 1601, 11644473600 seconds before 1970.
  const uint64_t written = (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                           info.ftLastWriteTime.dwLowDateTime;
  out.modifiedSeconds = static_cast<int64_t>(written / 10000000) - 11644473600;
  out.modifiedNanoseconds = static_cast<uint32_t>(written % 10000000 * 100);
  return out;
}

std::optional<FileInfo> pathInfo(const std::string& path, DWORD flags) {
  const HANDLE handle = openHandle(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, flags);
  if (handle == INVALID_HANDLE_VALUE) {
    setErrnoFromLast();
    return std::nullopt;
  }
  std::optional<FileInfo> info = infoOf(handle);
  CloseHandle(handle);
  return info;
}
}  // namespace

std::optional<FileInfo> fileInfo(const FileHandle& file) { return infoOf(osHandle(file)); }
std::optional<FileInfo> fileInfo(const std::string& path) { return pathInfo(path, 0); }
std::optional<FileInfo> linkInfo(const std::string& path) {
  return pathInfo(path, FILE_FLAG_OPEN_REPARSE_POINT);
}

std::optional<std::string> readLink(const std::string&) {
  errno = EINVAL;  // links are not followed or made here
  return std::nullopt;
}

bool exists(const std::string& path) {
  return GetFileAttributesW(systemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string withSlashSeparators(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

namespace {
OVERLAPPED at(uint64_t offset) {
  OVERLAPPED o{};
  o.Offset = static_cast<DWORD>(offset);
  o.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return o;
}
constexpr size_t kMaxTransfer = 1 << 30;  // a DWORD's worth, in round pieces
}  // namespace

// A read or write with an offset also moves a synchronous handle's position; readers here do not
// use the position, and writers that do (writeAll) do not mix it with writes at an offset.
size_t readAt(const FileHandle& file, uint64_t offset, uint8_t* buffer, size_t size) {
  const HANDLE handle = osHandle(file);
  size_t done = 0;
  while (done < size) {
    OVERLAPPED o = at(offset + done);
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(std::min(size - done, kMaxTransfer));
    if (!ReadFile(handle, buffer + done, want, &n, &o)) {
      if (GetLastError() != ERROR_HANDLE_EOF) setErrnoFromLast();
      break;
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

bool writeAllAt(const FileHandle& file, const uint8_t* data, size_t size, uint64_t offset) {
  const HANDLE handle = osHandle(file);
  size_t done = 0;
  while (done < size) {
    OVERLAPPED o = at(offset + done);
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(std::min(size - done, kMaxTransfer));
    if (!WriteFile(handle, data + done, want, &n, &o)) {
      setErrnoFromLast();
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += n;
  }
  report(IoEvent::Kind::Write, &file, offset, size);
  return true;
}

const FileHandle& standardOutput() {
  static const FileHandle* const out = new FileHandle(_fileno(stdout));
  return *out;
}

bool writeAll(const FileHandle& file, const uint8_t* data, size_t size) {
  const HANDLE handle = osHandle(file);
  size_t done = 0;
  while (done < size) {
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(std::min(size - done, kMaxTransfer));
    if (!WriteFile(handle, data + done, want, &n, nullptr)) {
      if (handle == GetStdHandle(STD_OUTPUT_HANDLE)) endIfStdoutClosed();
      setErrnoFromLast();
      return false;
    }
    done += n;
  }
  reportWriteAtPosition(file, size);
  return true;
}

bool resize(const FileHandle& file, uint64_t size) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFileInformationByHandle(osHandle(file), FileEndOfFileInfo, &end, sizeof end)) {
    setErrnoFromLast();
    return false;
  }
  report(IoEvent::Kind::Resize, &file, 0, size);
  return true;
}

bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes) {
  const FileHandle file = openFile(path, OpenMode::Read);
  if (!file.valid()) return false;
  const std::optional<FileInfo> info = fileInfo(file);
  if (!info) return false;
  bytes.resize(info->size);
  bytes.resize(readAt(file, 0, bytes.data(), bytes.size()));
  return true;
}

bool syncFile(const FileHandle& file) {
  if (!FlushFileBuffers(osHandle(file))) {
    setErrnoFromLast();
    return false;
  }
  report(IoEvent::Kind::SyncFile, &file);
  return true;
}

// NTFS journals its names and folders: a rename or creation is durable with the file system's
// own log, and Windows offers no flush of a folder's entries.
bool syncFolder(const std::string& folder) {
  report(IoEvent::Kind::SyncFolder, nullptr, 0, 0, folder);
  return true;
}

bool removeFile(const std::string& path) {
  if (!DeleteFileW(systemPath(path).c_str())) {
    setErrnoFromLast();
    return false;
  }
  report(IoEvent::Kind::Remove, nullptr, 0, 0, path);
  return true;
}

// Replacing a file by renaming another over it, as an update commits its new archive.
//
// Windows 10 (1607 on) renames the POSIX way on NTFS (FileRenameInfoEx with POSIX semantics):
// `to` is replaced while it is open, as long as every holder lets it be deleted. This process
// opens its files so (kShareAll): an update keeps its archive open, and locked, through the
// rename, and no other update can come between, as on Linux.
//
// Elsewhere the system has only the classic rename (MoveFileExW): FAT and exFAT, most network
// shares, and Wine, which takes FileRenameInfoEx for an invalid parameter. It refuses to replace
// a file anyone has open, this process included, so the caller's handles on `to` are closed first
// (`closeOwn`; an update checks then that the name still has its archive) and the lock goes with
// them. In the moment left before the rename another update may open and lock the old archive:
// its handle then makes the rename fail, and that update goes on with the archive it read. Only
// an update that read, rewrote and renamed a whole archive within that moment would be lost.
//
// ReplaceFileW is no way out: it moves `to` aside (Wine deletes it then) before the rename, so
// that for a moment the name has no file and a failure there loses the archive, and where `to`
// is held open under Wine it leaves an empty temporary ("rf*.tmp") behind.
namespace {
// (FileRenameInfoEx, which the headers declare only for later targets.)
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
bool renamePosixWay(const std::wstring& from, const std::wstring& to) {
  const HANDLE handle = CreateFileW(from.c_str(), DELETE | SYNCHRONIZE, kShareAll, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  std::vector<uint8_t> buffer(sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
  to.copy(info->FileName, to.size());
  const BOOL ok = SetFileInformationByHandle(handle, kFileRenameInfoEx, info,
                                             static_cast<DWORD>(buffer.size()));
  const DWORD error = GetLastError();
  CloseHandle(handle);
  SetLastError(error);
  return ok != 0;
}

// What a system or file system without the POSIX rename answers.
bool noPosixRename(DWORD error) {
  return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_FUNCTION || error == ERROR_CALL_NOT_IMPLEMENTED;
}

// Whether a handle of another program kept `to` from being replaced: one that does not let it be
// deleted, or, for the classic rename (`anyHolder`, this process's own handles closed), any. An
// open asking for what the rename needs fails with a sharing violation then.
bool heldByOthers(const std::wstring& to, bool anyHolder) {
  const HANDLE handle = CreateFileW(to.c_str(), DELETE, anyHolder ? 0 : kShareAll, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
    return false;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION;
}

bool renameFailed(const std::wstring& to, DWORD error, bool anyHolder) {
  if ((error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) &&
      heldByOthers(to, anyHolder)) {
    errno = ETXTBSY;
    return false;
  }
  setErrnoFrom(error);
  return false;
}
}  // namespace

bool renameFile(const std::string& from, const std::string& to,
                const std::function<void()>& closeOwn) {
  const std::wstring source = systemPath(from), target = systemPath(to);
  if (!renamePosixWay(source, target)) {
    const DWORD error = GetLastError();
    if (!noPosixRename(error)) return renameFailed(target, error, false);
    if (closeOwn) closeOwn();
    if (!MoveFileExW(source.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return renameFailed(target, GetLastError(), true);
    }
  }
  report(IoEvent::Kind::Rename, nullptr, 0, 0, from, to);
  return true;
}

FileHandle createUniqueFile(std::string& pattern) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  uint64_t seed = GetTickCount64() ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 32);
  for (int attempt = 0; attempt < 100; ++attempt) {
    for (size_t i = pattern.size() - 6; i < pattern.size(); ++i) {
      seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
      pattern[i] = kLetters[(seed >> 33) % 36];
    }
    FileHandle file = adoptHandle(
        openHandle(pattern, GENERIC_READ | GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN));
    if (file.valid()) {
      report(IoEvent::Kind::Create, &file, 0, 0, pattern);
      return file;
    }
    if (errno != EEXIST) return file;
  }
  errno = EEXIST;
  return FileHandle();
}

bool showFile(const FileHandle& file) {
  FILE_BASIC_INFO basic{};
  if (!GetFileInformationByHandleEx(osHandle(file), FileBasicInfo, &basic, sizeof basic)) {
    return false;
  }
  basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN);
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(osHandle(file), FileBasicInfo, &basic, sizeof basic) != 0;
}

uint32_t newFileMode() { return 0666; }
uint32_t creationMask() { return 0; }

// Windows keeps no mode but the read-only attribute, which is left alone: a read-only temporary
// could not be removed should its rename fail. The file is shown instead: createUniqueFile made it
// hidden while it was incomplete, and the attribute would go with it through the rename.
bool setPermissions(const FileHandle& file, uint32_t) {
  if (showFile(file)) return true;
  setErrnoFromLast();
  return false;
}

bool setOwner(const FileHandle&, uint32_t, uint32_t) {
  errno = EPERM;
  return false;
}

// LockFileEx locks are mandatory: a lock on the file's bytes would stop other readers from
// reading them. So the lock is on one byte far past any end, which nothing reads or writes.
namespace {
constexpr uint64_t kLockByte = 0x7FFFFFFFFFFFFFFEULL;
bool lock(const FileHandle& file, DWORD flags) {
  OVERLAPPED o = at(kLockByte);
  if (LockFileEx(osHandle(file), flags | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &o)) return true;
  // (Read first: setting errno goes through the C runtime's thread storage, which clears it.)
  const DWORD error = GetLastError();
  setErrnoFromLast();
  if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) errno = EWOULDBLOCK;
  return false;
}
}  // namespace

bool tryLockExclusive(const FileHandle& file) { return lock(file, LOCKFILE_EXCLUSIVE_LOCK); }
bool tryLockShared(const FileHandle& file) { return lock(file, 0); }
void unlockFile(const FileHandle& file) {
  OVERLAPPED o = at(kLockByte);
  UnlockFileEx(osHandle(file), 0, 1, 0, &o);
}
// Windows names no holder of a byte-range lock.
std::optional<LockHolder> lockHolder(const FileHandle&) { return std::nullopt; }

std::optional<uint64_t> freeSpace(const std::string& folder) {
  ULARGE_INTEGER available{};
  std::wstring path = systemPath(folder);
  if (!path.empty() && path.back() != L'\\') path += L'\\';
  if (!GetDiskFreeSpaceExW(path.c_str(), &available, nullptr, nullptr)) return std::nullopt;
  return available.QuadPart;
}

std::optional<std::string> realPath(const std::string& path) {
  const HANDLE handle = openHandle(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, 0);
  if (handle == INVALID_HANDLE_VALUE) {
    setErrnoFromLast();
    return std::nullopt;
  }
  std::wstring out(32768, L'\0');
  const DWORD n = GetFinalPathNameByHandleW(handle, out.data(), static_cast<DWORD>(out.size()),
                                            FILE_NAME_NORMALIZED);
  CloseHandle(handle);
  if (n == 0 || n >= out.size()) {
    setErrnoFromLast();
    return std::nullopt;
  }
  out.resize(n);
  if (out.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    out = L"\\\\" + out.substr(8);
  } else if (out.rfind(L"\\\\?\\", 0) == 0) {
    out = out.substr(4);
  }
  for (wchar_t& c : out) {
    if (c == L'\\') c = L'/';
  }
  return narrow(out);
}
