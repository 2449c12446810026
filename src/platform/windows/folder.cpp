// Folders through Win32: a folder is opened without FILE_SHARE_DELETE, so that it cannot be
// renamed or removed while the tool writes under it, and names below it are its path and theirs.
#include "platform/folder.h"

#include <cerrno>

#include "platform/windows/internal.h"

namespace {
std::string below(const Folder& base, const std::string& name) {
  return base.path().empty() ? name : base.path() + "/" + name;
}
}  // namespace

std::optional<Folder> openFolder(const std::string& path) {
  const std::wstring system = systemPath(path);
  const HANDLE handle = CreateFileW(system.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    setErrnoFromLast();
    return std::nullopt;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(handle, &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    CloseHandle(handle);
    errno = ENOTDIR;
    return std::nullopt;
  }
  return Folder(adoptHandle(handle), narrow(system));
}

bool makeFolder(const Folder& base, const std::string& name) {
  if (CreateDirectoryW(systemPath(below(base, name)).c_str(), nullptr)) return true;
  setErrnoFromLast();
  return false;
}

struct FolderNames::Stream {
  HANDLE search = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAW found{};
  bool first = true;
  std::string folder;
  std::string name;
};

void FolderNames::Close::operator()(Stream* stream) const {
  if (stream->search != INVALID_HANDLE_VALUE) FindClose(stream->search);
  delete stream;
}

const char* FolderNames::next() {
  Stream& s = *stream_;
  errno = 0;
  if (s.search == INVALID_HANDLE_VALUE) return nullptr;
  if (!s.first && !FindNextFileW(s.search, &s.found)) {
    if (GetLastError() != ERROR_NO_MORE_FILES) setErrnoFromLast();
    return nullptr;
  }
  s.first = false;
  s.name = narrow(s.found.cFileName);
  return s.name.c_str();
}

// The listing tells a folder from a file; a reparse point (a symlink, a junction) is followed.
NameKind FolderNames::kind() const {
  const Stream& s = *stream_;
  if ((s.found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    const bool folder = (s.found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return folder ? NameKind::Folder : NameKind::Regular;
  }
  const std::optional<FileInfo> info = fileInfo(s.folder + "/" + s.name);
  if (!info) return NameKind::Other;
  if (info->directory) return NameKind::Folder;
  return info->regular ? NameKind::Regular : NameKind::Other;
}

FolderNames listFolder(const Folder& base, const std::string& name) {
  FolderNames names;
  auto stream = std::make_unique<FolderNames::Stream>();
  stream->folder = below(base, name);
  stream->search = FindFirstFileW((systemPath(stream->folder) + L"\\*").c_str(), &stream->found);
  if (stream->search == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_NOT_FOUND) {
    setErrnoFromLast();
    return names;
  }
  names.stream_.reset(stream.release());
  return names;
}
