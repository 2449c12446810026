// UTF-8 inside the program, UTF-16 at the Win32 boundary; Win32 errors as errno values with the
// system's own words for messages.
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstring>

#include "platform/error.h"
#include "platform/windows/internal.h"

std::wstring wide(const std::string& text) {
  if (text.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

namespace {
// A \\?\ path goes to the file system as it is, each backslash ending a name: two in a row make
// an empty name, which it refuses (EINVAL). They come from a name joined with '/' to a folder
// given with a separator at its end (`-C sub\`, what tab completion types, `.\`, a drive's root),
// which GetFullPathNameW keeps. One stays of each run.
std::wstring withoutEmptyNames(std::wstring path) {
  constexpr size_t kPrefix = 4;  // \\?\ itself
  size_t to = kPrefix;
  for (size_t from = kPrefix; from < path.size(); ++from) {
    if (path[from] == L'\\' && to > kPrefix && path[to - 1] == L'\\') continue;
    path[to++] = path[from];
  }
  path.resize(to);
  return path;
}
}  // namespace

std::wstring systemPath(const std::string& path) {
  std::wstring w = wide(path);
  for (wchar_t& c : w) {
    if (c == L'/') c = L'\\';
  }
  if (w.rfind(L"\\\\?\\", 0) == 0) return withoutEmptyNames(w);
  const DWORD n = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (n == 0) return w;
  std::wstring full(n, L'\0');
  const DWORD got = GetFullPathNameW(w.c_str(), n, full.data(), nullptr);
  full.resize(got);
  if (full.rfind(L"\\\\", 0) == 0) {
    return withoutEmptyNames(L"\\\\?\\UNC\\" + full.substr(2));  // \\server\share
  }
  return withoutEmptyNames(L"\\\\?\\" + full);
}

HANDLE osHandle(const FileHandle& file) {
  return file.valid() ? reinterpret_cast<HANDLE>(_get_osfhandle(file.get())) : INVALID_HANDLE_VALUE;
}

FileHandle adoptHandle(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
    setErrnoFromLast();
    return FileHandle();
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    errno = EMFILE;
  }
  return FileHandle(fd);
}

namespace {
// The last Win32 error turned into errno on this thread, and the errno value it became.
thread_local DWORD lastError = 0;
thread_local int lastErrno = 0;

int errnoFor(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_PRIVILEGE_NOT_HELD: return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE: return EBUSY;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_DIRECTORY: return ENOTDIR;
    case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_NOT_SAME_DEVICE: return EXDEV;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
    case ERROR_NEGATIVE_SEEK: return EINVAL;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA: return EPIPE;
    case ERROR_NOT_SUPPORTED:
    case ERROR_CALL_NOT_IMPLEMENTED: return ENOSYS;
    case ERROR_CANT_RESOLVE_FILENAME: return ELOOP;
    default: return EIO;
  }
}

// The system's own words for `error`, without the line end and the full stop it adds.
std::string systemText(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring words = n > 0 ? std::wstring(text, n) : std::wstring();
  LocalFree(text);
  while (!words.empty() && (words.back() == L'\n' || words.back() == L'\r' ||
                            words.back() == L' ' || words.back() == L'.')) {
    words.pop_back();
  }
  return words.empty() ? "error " + std::to_string(error) : narrow(words);
}
}  // namespace

int setErrnoFrom(DWORD error) {
  lastError = error;
  lastErrno = errnoFor(error);
  errno = lastErrno;
  return lastErrno;
}

std::string withReason(const std::string& what, int code) {
  if (lastError != 0 && code == lastErrno) return what + ": " + systemText(lastError);
  return what + ": " + std::strerror(code);
}
