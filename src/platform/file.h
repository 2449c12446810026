// Files through the operating system: an owned handle, positioned reads and writes with 64-bit
// offsets, copies, what a file is, its mode and owner, names and links, locks, durability and free
// space. The functions report failure the way the system does (false or an invalid handle, with
// errno set); the layers above turn that into a Error with the file's name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
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
  ReadNoFollow,  // refuses a symlink (ELOOP) and does not block on a FIFO
  CreateNew,     // created (0600); fails when the name exists, as a dangling symlink too
  Append,        // for writing at its end; created (0644 less the umask) when missing
};
FileHandle openFile(const std::string& path, OpenMode mode);
bool setBlocking(const FileHandle& file);

struct FileInfo {
  bool regular = false;
  bool directory = false;
  bool symlink = false;  // only linkInfo() sees a link itself
  uint64_t size = 0;
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t links = 0;        // the names (hard links) the file has
  uint32_t permissions = 0;  // the mode's permission bits (07777)
  uint32_t owner = 0;
  uint32_t group = 0;
  int64_t modifiedSeconds = 0;  // the last change of its bytes, since 1970 (UTC)
  uint32_t modifiedNanoseconds = 0;
};
std::optional<FileInfo> fileInfo(const FileHandle& file);
// What `path` names now (symlinks followed).
std::optional<FileInfo> fileInfo(const std::string& path);
// `path` itself, a symlink not followed.
std::optional<FileInfo> linkInfo(const std::string& path);
// What the symlink `path` points to.
std::optional<std::string> readLink(const std::string& path);
bool exists(const std::string& path);

// The program's paths are UTF-8 text. A std::filesystem::path of such a text, and the text of a
// path, with '/' between the names as the program shows paths on every system (std::string
// conversions would go through the Windows code page).
std::filesystem::path pathOfText(const std::string& text);
std::string textOfPath(const std::filesystem::path& path);
// A path the user typed, with each separator the system takes written as '/', the program's own
// and the one an archive's names use: Windows takes '\' as well; elsewhere '\' is a character
// that a name may hold, and the path stays as it is.
std::string withSlashSeparators(std::string path);

// Reads up to `size` bytes at `offset` and returns how many were there: what lies past the end
// of the file (or cannot be read) is not read.
size_t readAt(const FileHandle& file, uint64_t offset, uint8_t* buffer, size_t size);
// All of `size` bytes at `offset`; false with errno set otherwise.
bool writeAllAt(const FileHandle& file, const uint8_t* data, size_t size, uint64_t offset);
// `size` zero bytes at `offset`.
bool writeZerosAt(const FileHandle& file, uint64_t size, uint64_t offset);
// `size` bytes of `from` at `fromOffset` to `to` at `toOffset` (zeros for what lies past the end
// of `from`), through memory.
bool copyRange(const FileHandle& from, uint64_t fromOffset, const FileHandle& to, uint64_t toOffset,
               uint64_t size);
enum class CopyResult : uint8_t {
  Done,
  SourceEnded,  // the source ended (or could not be read) first; what it held was copied
  WriteFailed,  // errno set
};
// Copies between files, inside the kernel while the system and the file systems allow it, then
// in chunks through a buffer of its own (without asking the kernel again). One per thread.
class FileCopier {
 public:
  // `size` bytes of `from` at `fromOffset` to `to` at its position.
  CopyResult copy(const FileHandle& from, uint64_t fromOffset, const FileHandle& to, uint64_t size);

 private:
  bool inKernel_ = true;
  std::vector<uint8_t> chunk_;
};
// Standard output as a file, for writing bytes rather than lines (never closed).
const FileHandle& standardOutput();
// All of `size` bytes at the file's position.
bool writeAll(const FileHandle& file, const uint8_t* data, size_t size);
// Sets the file's length.
bool resize(const FileHandle& file, uint64_t size);
// The whole file.
bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes);

// What a file operation changed, reported to the hook below once it succeeded.
struct IoEvent {
  enum class Kind : uint8_t {
    Write,          // `size` bytes at `offset` of `file` (what they are, the file now holds)
    Resize,         // `file` set to `size` bytes
    SyncFile,       // `file` flushed
    SyncFolder,     // folder `path` flushed
    Create,         // `file` created as `path`
    CreateUnnamed,  // `file` created without a name in folder `path`
    Link,           // the unnamed `file` named `path`
    Rename,         // `path` renamed `to`
    Remove,         // `path` removed
  };
  Kind kind;
  const FileHandle* file = nullptr;
  uint64_t offset = 0;
  uint64_t size = 0;
  std::string path;
  std::string to;
};

// Called after every write, size change, flush, creation, link, rename and removal of a file:
// archive-pack installs one that ends the process dead after the k-th call when its test variable
// asks for it, so that a test can stop an update after any step and check that the archive
// survives it; the crash tests record the operations to build what a crash could leave on disk.
using IoHook = void (*)(const IoEvent&);
void setIoHook(IoHook hook);

// The file's data reach the disk.
bool syncFile(const FileHandle& file);
// A new name, a rename or a removal in `folder` reaches the disk.
bool syncFolder(const std::string& folder);
bool removeFile(const std::string& path);
// Replaces whatever `to` names, in one step. `to` may be a file this process holds open (and
// locked): where the system can rename over a file that is open, the handles stay open on the old
// file, as POSIX systems always do; where it can only replace a file nobody has open (Windows on
// some file systems, Wine; see windows/file.cpp), `closeOwn` is called just before the rename to
// close this process's own handles on `to` (it may throw: nothing is renamed then). False with
// errno set: ETXTBSY (the file is busy) when another program has `to` open in a way that keeps it
// from being replaced, which only Windows refuses for; `to` is then as it was.
bool renameFile(const std::string& from, const std::string& to,
                const std::function<void()>& closeOwn = {});
// A new file named `pattern` with its last six characters (XXXXXX) made unique, open for reading
// and writing, mode 0600; `pattern` then holds the name.
FileHandle createUniqueFile(std::string& pattern);

// The mode a new file gets: 0666 less the umask.
uint32_t newFileMode();
// The umask: the permission bits that files and folders made by this process go without.
uint32_t creationMask();
bool setPermissions(const FileHandle& file, uint32_t permissions);
// EPERM when the process may not give the file away.
bool setOwner(const FileHandle& file, uint32_t owner, uint32_t group);

// Locks on the whole file, held until the handle closes: any number of shared holders (readers),
// or one exclusive holder (an update). False with errno set; EWOULDBLOCK when another holder has
// a lock that excludes this one.
bool tryLockExclusive(const FileHandle& file);
bool tryLockShared(const FileHandle& file);
void unlockFile(const FileHandle& file);
// Waits `seconds` at most, in short steps, for `tryLock` to succeed; gives up early once a stop
// signal is caught (stopRequested()). False with errno set as by the last try.
bool waitForLock(const FileHandle& file, bool (*tryLock)(const FileHandle&), double seconds);
// A process holding a lock on a file: its id, and its name as the system knows it (empty when
// not known).
struct LockHolder {
  int64_t pid = 0;
  std::string program;
};
// Who holds a lock on `file`, as far as the system tells: another process rather than this one.
// Linux tells (its table of locks, and each process's name); elsewhere, and when the holder
// cannot be seen, nothing.
std::optional<LockHolder> lockHolder(const FileHandle& file);

// Bytes free for an unprivileged user on the file system of `folder`; nothing when not known.
std::optional<uint64_t> freeSpace(const std::string& folder);

// The folder a path names a file in ("." for a bare name).
std::string folderOf(const std::string& path);
// The absolute path of the file `path` names, symlinks resolved; nothing with errno set.
std::optional<std::string> realPath(const std::string& path);
