// Pending files on Windows: there are no unnamed files, so each is written under a hidden
// temporary name and renamed once complete (MoveFileExW; replacing what has the name only when
// asked to).
#include "platform/pending_file.h"

#include <cerrno>

#include "platform/windows/internal.h"

namespace {

std::string below(const Folder& base, const std::string& name) {
  return base.path().empty() ? name : base.path() + "/" + name;
}

// A temporary another run left: removed only when this run can open it alone (a run still
// writing it holds it open, and then it is left to that run).
bool removeLeftOver(const std::wstring& path) {
  const HANDLE handle =
      CreateFileW(path.c_str(), DELETE, 0, nullptr, OPEN_EXISTING,
                  FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    setErrnoFromLast();
    return false;
  }
  CloseHandle(handle);
  return true;
}

FileHandle createAfresh(const std::string& name) {
  const std::wstring path = systemPath(name);
  for (int attempt = 0; attempt < 5; ++attempt) {
    const HANDLE handle = CreateFileW(
        path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
        CREATE_NEW, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return adoptHandle(handle);
    if (setErrnoFromLast() != EEXIST) return FileHandle();
    if (!removeLeftOver(path) && errno != ENOENT) return FileHandle();
  }
  errno = EEXIST;
  return FileHandle();
}

}  // namespace

void PendingFile::drop() {
  if (!file_.valid()) return;
  file_.close();
  DeleteFileW(systemPath(below(*base_, tempName_)).c_str());
}

NamingFailure PendingFile::name(const std::string& name, Naming naming) {
  const std::wstring from = systemPath(below(*base_, tempName_));
  const std::wstring to = systemPath(below(*base_, name));
  FileHandle file = std::move(file_);
  NamingFailure failure = NamingFailure::None;
  int error = 0;
  if (!showFile(file)) {
    failure = NamingFailure::Close;
    error = setErrnoFromLast();
  }
  // Closing reports write errors that only showed at the end.
  if (!file.close() && failure == NamingFailure::None) {
    failure = NamingFailure::Close;
    error = errno;
  }
  const DWORD flags = naming == Naming::Replace ? MOVEFILE_REPLACE_EXISTING : 0;
  if (failure == NamingFailure::None && !MoveFileExW(from.c_str(), to.c_str(), flags)) {
    error = setErrnoFromLast();
    // A name taken meanwhile, kept: as a link onto it fails where files are linked into place.
    failure =
        naming == Naming::Keep && error == EEXIST ? NamingFailure::Link : NamingFailure::Rename;
  }
  if (failure != NamingFailure::None) {
    DeleteFileW(from.c_str());
    errno = error;
  }
  return failure;
}

PendingFile PendingFileMaker::create(const std::string&, std::string tempName) {
  PendingFile pending;
  pending.base_ = &base_;
  pending.tempName_ = std::move(tempName);
  pending.unnamed_ = false;
  pending.file_ = createAfresh(below(base_, pending.tempName_));
  return pending;
}
