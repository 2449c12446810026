#include "reading/archive.h"

#include <cerrno>

#include "archive/format.h"
#include "platform/error.h"

namespace {
// How long a reader waits for an update that holds the archive.
constexpr double kUpdateWaitSeconds = 10;
}  // namespace

std::string journalPath(const std::string& realPath) { return realPath + ".update-journal"; }

Archive::Archive(FileHandle file, std::string path, uint64_t size)
    : file_(std::move(file)), path_(std::move(path)), size_(size) {}

std::unique_ptr<Archive> Archive::open(const std::string& path) {
  // Not blocking on a FIFO without a writer: it is refused below like any other non-file.
  FileHandle file = openFile(path, OpenMode::ReadNonBlocking);
  if (!file.valid()) throwSystemError("cannot open " + path);
  const std::optional<FileInfo> info = fileInfo(file);
  if (!info) throwSystemError("cannot read " + path);
  if (info->directory) throw Error(path + ": is a directory", EISDIR);
  if (!info->regular) {
    throw Error(path + ": is not a regular file (the archive is read at random offsets)");
  }
  // Shared with other readers; an in-place update holds the lock exclusively while it writes, and
  // a reader waits for it rather than read a half-written index.
  if (!waitForLock(file, tryLockShared, kUpdateWaitSeconds)) {
    if (errno != EWOULDBLOCK) throwSystemError("cannot lock " + path);
    throw Error(path + ": being updated by archive-pack; try again when the update is done",
                    EWOULDBLOCK);
  }
  if (info->size >= kMinimumArchiveSize) {
    const std::optional<std::string> real = realPath(path);
    const std::string journal = real ? journalPath(*real) : "";
    if (!journal.empty() && exists(journal)) {
      throw Error(path + ": an update of it was stopped and left its journal " + journal +
                      "; run 'archive-pack --recover " + path + "' first");
    }
  }
  if (!setBlocking(file)) throwSystemError("cannot read " + path);
  return fromFile(std::move(file), path);
}

std::unique_ptr<Archive> Archive::fromFile(FileHandle file, const std::string& path) {
  const std::optional<FileInfo> info = fileInfo(file);
  if (!info) throwSystemError("cannot read " + path);
  if (info->size < kMinimumArchiveSize) {
    throw Error(path + ": too short to hold the archive index (0xE2000 bytes)");
  }
  std::unique_ptr<Archive> archive(new Archive(std::move(file), path, info->size));
  archive->index_.resize(kArchiveIndexSize);
  if (archive->readAt(kArchiveIndexOffset, archive->index_.data(), kArchiveIndexSize) !=
      kArchiveIndexSize) {
    throwSystemError("cannot read the archive index of " + path);
  }
  archive->session_ = GuestSession::open(archive->index_.data());
  if (!archive->session_) {
    throw Error("out of memory: cannot allocate the 32 MiB of guest RAM", ENOMEM);
  }
  return archive;
}

size_t Archive::readAt(uint64_t offset, uint8_t* buffer, size_t size) const {
  return ::readAt(file_, offset, buffer, size);
}
