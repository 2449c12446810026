// The writes and flushes of an update. Each one goes through here, so that a test can stop the
// process dead after any one of them (the hook) and check that the archive survives it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Called after every write and every fsync of an update; archive-pack's main installs one that
// ends the process after the k-th call when its test variable asks for it.
using IoHook = void (*)();
void setIoHook(IoHook hook);

// All of `size` bytes at `offset`; false with errno set otherwise.
bool writeAllAt(int fd, const uint8_t* data, size_t size, uint64_t offset);
// `size` zero bytes at `offset`.
bool writeZerosAt(int fd, uint64_t size, uint64_t offset);
// `size` bytes of `from` at `fromOffset` to `to` at `toOffset` (zeros for what lies past the end
// of `from`).
bool copyRange(int from, uint64_t fromOffset, int to, uint64_t toOffset, uint64_t size);
bool syncFile(int fd);
// Makes a new name, a rename or a removal in `folder` durable.
bool syncFolder(const std::string& folder);
// The folder a path names a file in ("." for a bare name).
std::string folderOf(const std::string& path);
