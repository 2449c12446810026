// Shared by the implementations of the platform layer (posix/, linux/, windows/).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"

// The I/O hook of file.h: whether one is installed, and handing it an event.
bool ioHooked();
void reportIo(const IoEvent& event);
inline void report(IoEvent::Kind kind, const FileHandle* file, uint64_t offset = 0,
                   uint64_t size = 0, const std::string& path = {}, const std::string& to = {}) {
  if (ioHooked()) reportIo({kind, file, offset, size, path, to});
}
// `size` bytes just written at the file's position.
void reportWriteAtPosition(const FileHandle& file, uint64_t size);

// Each system's own:
// The file's position.
uint64_t filePosition(const FileHandle& file);
// Copies up to `size` bytes of `from` at `fromOffset` to `to` at its position without passing
// them through the process: how many (0 at the end of `from`), or -1 with errno set; EXDEV,
// EINVAL, ENOSYS or EOPNOTSUPP when the system or these file systems cannot.
int64_t copyInKernel(const FileHandle& from, uint64_t fromOffset, const FileHandle& to,
                     size_t size);
// The cores the scheduler lets this process run on; 0 when not known.
unsigned coresAllowed();
