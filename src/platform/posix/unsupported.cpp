// A POSIX system without Linux's additions: each reports that it is not supported (or not known),
// so that the portable way is taken.
#include <cerrno>

#include "platform/posix/internal.h"
#include "platform/process.h"
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

unsigned coresAllowed() { return 0; }

void keepFreedMemory(size_t, size_t) {}
