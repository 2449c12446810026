// Shared by the POSIX implementation: the descriptor a folder stands for in the *at() calls, and
// what Linux adds that the portable code uses where it is there (linux/; elsewhere
// posix/unsupported.cpp, which reports that it is not).
#pragma once

#include <fcntl.h>

#include <cstddef>
#include <cstdint>

#include "platform/file.h"
#include "platform/folder.h"

inline int atDescriptor(const Folder& folder) {
  return folder.handle().valid() ? folder.handle().get() : AT_FDCWD;
}

// Hands `event` to the hook of file.h, if one is installed.
void reportIo(const IoEvent& event);

// Copies up to `size` bytes of `from` at `fromOffset` to `to` at its position without passing
// them through the process: how many (0 at the end of `from`), or -1 with errno set; EXDEV,
// EINVAL, ENOSYS or EOPNOTSUPP when the system or these file systems cannot.
int64_t copyInKernel(const FileHandle& from, uint64_t fromOffset, const FileHandle& to,
                     size_t size);

// The cores the scheduler lets this process run on; 0 when not known.
unsigned coresAllowed();
