#include "platform/folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

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
};

void FolderNames::Close::operator()(Stream* stream) const {
  closedir(stream->listing);
  delete stream;
}

const char* FolderNames::next() {
  const dirent* item = readdir(stream_->listing);
  return item != nullptr ? item->d_name : nullptr;
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
