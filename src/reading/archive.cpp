#include "reading/archive.h"

#include <cerrno>

#include "archive/format.h"
#include "platform/error.h"

namespace {
// How long a reader waits for an update that holds the archive.
constexpr double kUpdateWaitSeconds = 10;
}  // namespace

std::string journalPath(const std::string& realPath) { return realPath + ".update-journal"; }

Error stoppedUpdateError(const std::string& path, const std::string& journal) {
  return Error(ErrorKind::Refused,
               path + ": an update of it was stopped and left its journal " + journal, path, 0,
               ErrorHint::RecoverFirst);
}

Archive::Archive(FileHandle file, std::string path, uint64_t size)
    : file_(std::move(file)), path_(std::move(path)), size_(size) {}

std::unique_ptr<Archive> Archive::open(const std::string& path) {
  // Not blocking on a FIFO without a writer: it is refused below like any other non-file.
  FileHandle file = openFile(path, OpenMode::ReadNonBlocking);
  if (!file.valid()) throwSystemError("cannot open " + path, errno, path);
  const std::optional<FileInfo> info = fileInfo(file);
  if (!info) throwSystemError("cannot read " + path, errno, path);
  if (info->directory) throw Error(path + ": is a directory", EISDIR, path);
  if (!info->regular) {
    throw Error(path + ": is not a regular file (the archive is read at random offsets)", 0, path);
  }
  // Shared with other readers; an in-place update holds the lock exclusively while it writes, and
  // a reader waits for it rather than read a half-written index.
  if (!waitForLock(file, tryLockShared, kUpdateWaitSeconds)) {
    if (errno != EWOULDBLOCK) throwSystemError("cannot lock " + path, errno, path);
    throw Error(path + ": being updated by archive-pack; try again when the update is done",
                EWOULDBLOCK, path);
  }
  if (info->size >= kMinimumArchiveSize) {
    const std::optional<std::string> real = realPath(path);
    const std::string journal = real ? journalPath(*real) : "";
    if (!journal.empty() && exists(journal)) {
      throw stoppedUpdateError(path, journal);
    }
  }
  if (!setBlocking(file)) throwSystemError("cannot read " + path, errno, path);
  return fromFile(std::move(file), path);
}

namespace {

Error tooShort(const std::string& name) {
  return Error(ErrorKind::NotAnArchive,
               name + ": too short to hold the archive index (0xE2000 bytes)", name);
}

}  // namespace

std::unique_ptr<Archive> Archive::fromFile(FileHandle file, const std::string& path) {
  const std::optional<FileInfo> info = fileInfo(file);
  if (!info) throwSystemError("cannot read " + path, errno, path);
  if (info->size < kMinimumArchiveSize) throw tooShort(path);
  return load(std::unique_ptr<Archive>(new Archive(std::move(file), path, info->size)));
}

std::unique_ptr<Archive> Archive::open(std::unique_ptr<ByteSource> reader, std::string name) {
  const uint64_t size = reader->size();
  if (size < kMinimumArchiveSize) throw tooShort(name);
  std::unique_ptr<Archive> archive(new Archive(FileHandle(), std::move(name), size));
  archive->reader_ = std::move(reader);
  return load(std::move(archive));
}

std::unique_ptr<Archive> Archive::load(std::unique_ptr<Archive> archive) {
  const std::string& path = archive->path_;
  archive->index_.resize(kArchiveIndexSize);
  if (archive->readAt(kArchiveIndexOffset, archive->index_.data(), kArchiveIndexSize) !=
      kArchiveIndexSize) {
    // A reader says nothing of why it came up short.
    throwSystemError("cannot read the archive index of " + path, archive->reader_ ? EIO : errno,
                     path);
  }
  archive->session_ = GuestSession::open(archive->index_.data());
  if (!archive->session_) {
    throw Error("out of memory: cannot allocate the 32 MiB of guest RAM", ENOMEM);
  }
  return archive;
}

size_t Archive::readAt(uint64_t offset, uint8_t* buffer, size_t size) const {
  if (reader_) return reader_->readAt(offset, buffer, size);
  return ::readAt(file_, offset, buffer, size);
}
