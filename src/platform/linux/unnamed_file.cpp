// Unnamed files are O_TMPFILE files; the link that names one goes through its /proc/self/fd entry
// (AT_SYMLINK_FOLLOW), which needs no privilege, unlike AT_EMPTY_PATH.
#include "platform/unnamed_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "platform/posix/internal.h"

bool unnamedFilesNameable() { return access("/proc/self/fd", X_OK) == 0; }

FileHandle createUnnamedFile(const Folder& base, const std::string& folder, bool readable) {
  const int mode = readable ? O_RDWR : O_WRONLY;
  FileHandle file(openat(atDescriptor(base), folder.c_str(), O_TMPFILE | mode | O_CLOEXEC, 0666));
  if (file.valid()) reportIo({IoEvent::Kind::CreateUnnamed, &file, 0, 0, folder, {}});
  return file;
}

bool linkUnnamedFile(const FileHandle& file, const Folder& base, const std::string& name) {
  char self[32];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", file.get());
  if (linkat(AT_FDCWD, self, atDescriptor(base), name.c_str(), AT_SYMLINK_FOLLOW) != 0)
    return false;
  reportIo({IoEvent::Kind::Link, &file, 0, 0, name, {}});
  return true;
}
