#include "platform/folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/posix/internal.h"

std::optional<Folder> openFolder(const std::string& path) {
  FileHandle handle(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!handle.valid()) return std::nullopt;
  return Folder(std::move(handle));
}

bool makeFolder(const Folder& base, const std::string& name) {
  return mkdirat(atDescriptor(base), name.c_str(), 0777) == 0;
}

struct FolderNames::Stream {
  DIR* listing;
  const dirent* last = nullptr;
};

void FolderNames::Close::operator()(Stream* stream) const {
  closedir(stream->listing);
  delete stream;
}

const char* FolderNames::next() {
  errno = 0;  // readdir leaves it so at the end, and sets it when it fails
  stream_->last = readdir(stream_->listing);
  return stream_->last != nullptr ? stream_->last->d_name : nullptr;
}

NameKind FolderNames::kind() const {
  const dirent* item = stream_->last;
  switch (item->d_type) {
    case DT_DIR: return NameKind::Folder;
    case DT_REG: return NameKind::Regular;
    case DT_LNK:
    case DT_UNKNOWN: break;
    default: return NameKind::Other;
  }
  struct stat info {};
  if (fstatat(dirfd(stream_->listing), item->d_name, &info, 0) != 0) return NameKind::Other;
  if (S_ISDIR(info.st_mode)) return NameKind::Folder;
  return S_ISREG(info.st_mode) ? NameKind::Regular : NameKind::Other;
}

FolderNames listFolder(const Folder& base, const std::string& name) {
  FolderNames names;
  FileHandle handle(openat(atDescriptor(base), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!handle.valid()) return names;
  // The listing owns the descriptor from here on.
  if (DIR* listing = fdopendir(handle.get())) {
    handle.release();
    names.stream_.reset(new FolderNames::Stream{listing});
  }
  return names;
}
