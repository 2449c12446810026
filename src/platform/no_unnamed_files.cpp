// A system without unnamed files or copies inside the kernel (POSIX without Linux's additions,
// Windows): each reports that it is not supported, so that the portable way is taken.
#include <cerrno>

#include "platform/internal.h"
#include "platform/unnamed_file.h"

bool unnamedFilesNameable() { return false; }

FileHandle createUnnamedFile(const Folder&, const std::string&, bool) {
  errno = EOPNOTSUPP;
  return FileHandle();
}

bool linkUnnamedFile(const FileHandle&, const Folder&, const std::string&) {
  errno = EOPNOTSUPP;
  return false;
}

int64_t copyInKernel(const FileHandle&, uint64_t, const FileHandle&, size_t) {
  errno = ENOSYS;
  return -1;
}
