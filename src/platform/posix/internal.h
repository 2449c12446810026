// Shared by the POSIX implementation: the descriptor a folder stands for in the *at() calls, and
// (platform/internal.h) what Linux adds that the portable code uses where it is there (linux/;
// elsewhere no_unnamed_files.cpp and posix/unsupported.cpp, which report that it is not).
#pragma once

#include <fcntl.h>

#include "platform/folder.h"
#include "platform/internal.h"

inline int atDescriptor(const Folder& folder) {
  return folder.handle().valid() ? folder.handle().get() : AT_FDCWD;
}
