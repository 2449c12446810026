// Files through the operating system: an owned handle, positioned reads and writes with 64-bit
// offsets, what a file is, locks, durability and free space. The functions report failure the
// way the system does (false or an invalid handle, with errno set); the layers above turn that
// into a HostError with the file's name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// An open file, closed when its owner goes.
class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(int fd) : fd_(fd) {}
  FileHandle(FileHandle&& other) noexcept : fd_(other.release()) {}
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle();

  bool valid() const { return fd_ >= 0; }
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes it now. False, with errno set, when the system reports that written data was lost.
  bool close();

 private:
  int fd_ = -1;
};

enum class OpenMode : uint8_t {
  Read,
  ReadNonBlocking,  // a FIFO without a writer does not block the open; setBlocking() after
  ReadWrite,
  ReadWriteNonBlocking,
  CreateWrite,  // created (0600) or truncated
};
FileHandle openFile(const std::string& path, OpenMode mode);
bool setBlocking(const FileHandle& file);

struct FileInfo {
  bool regular = false;
  bool directory = false;
  uint64_t size = 0;
  uint64_t device = 0;
  uint64_t inode = 0;
};
std::optional<FileInfo> fileInfo(const FileHandle& file);
// What `path` names now (symlinks followed).
std::optional<FileInfo> fileInfo(const std::string& path);
bool exists(const std::string& path);

// Reads up to `size` bytes at `offset` and returns how many were there: what lies past the end
// of the file (or cannot be read) is not read.
size_t readAt(const FileHandle& file, uint64_t offset, uint8_t* buffer, size_t size);
// `size` bytes at `offset`, zeros for what lies past the end.
void readZeroFilled(const FileHandle& file, uint64_t offset, uint8_t* buffer, size_t size);
// All of `size` bytes at `offset`; false with errno set otherwise.
bool writeAllAt(const FileHandle& file, const uint8_t* data, size_t size, uint64_t offset);
// `size` zero bytes at `offset`.
bool writeZerosAt(const FileHandle& file, uint64_t size, uint64_t offset);
// `size` bytes of `from` at `fromOffset` to `to` at `toOffset` (zeros for what lies past the end
// of `from`), through memory.
bool copyRange(const FileHandle& from, uint64_t fromOffset, const FileHandle& to, uint64_t toOffset,
               uint64_t size);
// All of `size` bytes at the file's position.
bool writeAll(const FileHandle& file, const uint8_t* data, size_t size);
// Sets the file's length.
bool resize(const FileHandle& file, uint64_t size);
// The whole file.
bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes);

// Called after every positioned write and every flush: archive-pack installs one that ends the
// process dead after the k-th call when its test variable asks for it, so that a test can stop
// an update after any write and check that the archive survives it.
using IoHook = void (*)();
void setIoHook(IoHook hook);

// The file's data reach the disk.
bool syncFile(const FileHandle& file);
// A new name, a rename or a removal in `folder` reaches the disk.
bool syncFolder(const std::string& folder);
bool removeFile(const std::string& path);

// An exclusive lock on the whole file, held until the handle closes. False with errno set;
// EWOULDBLOCK when another holder has it.
bool tryLockExclusive(const FileHandle& file);

// Bytes free for an unprivileged user on the file system of `folder`; nothing when not known.
std::optional<uint64_t> freeSpace(const std::string& folder);

// The folder a path names a file in ("." for a bare name).
std::string folderOf(const std::string& path);
// The absolute path of the file `path` names, symlinks resolved; nothing with errno set.
std::optional<std::string> realPath(const std::string& path);
