#include "platform/pending_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/internal.h"

bool unnamedUnsupported(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

namespace {

// A file created afresh under `name` (O_EXCL): whatever has the name, whether a file a stopped run
// left or a link or FIFO put there, is removed and never opened, so that nothing written can reach
// another file and a FIFO cannot block. Someone who puts it back each time wins after a few tries.
FileHandle createAfresh(int at, const std::string& name) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    FileHandle file(
        openat(at, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (file.valid() || errno != EEXIST) return file;
    if (unlinkat(at, name.c_str(), 0) != 0 && errno != ENOENT) return file;
  }
  errno = EEXIST;
  return FileHandle();
}

}  // namespace

void PendingFile::drop() {
  if (!file_.valid()) return;
  file_.close();
  if (!unnamed_) unlinkat(atDescriptor(*base_), tempName_.c_str(), 0);
}

NamingFailure PendingFile::name(const std::string& name, Naming naming) {
  const int at = atDescriptor(*base_);
  const bool replace = naming == Naming::Replace;
  FileHandle file = std::move(file_);
  NamingFailure failure = NamingFailure::None;
  int error = 0;
  const auto failed = [&](NamingFailure step) {
    failure = step;
    error = errno;
  };
  bool linked = false;
  if (unnamed_) {
    if (replace) unlinkat(at, tempName_.c_str(), 0);
    if (linkUnnamedFile(file, *base_, replace ? tempName_ : name)) {
      linked = true;
    } else {
      failed(NamingFailure::Link);
    }
  }
  // Closing reports write errors that only showed at the end (a full disk over NFS).
  if (!file.close() && failure == NamingFailure::None) failed(NamingFailure::Close);
  const bool renamed = !unnamed_ || replace;
  if (failure == NamingFailure::None && renamed &&
      renameat(at, tempName_.c_str(), at, name.c_str()) != 0) {
    failed(NamingFailure::Rename);
  }
  if (failure != NamingFailure::None) {
    if (renamed) unlinkat(at, tempName_.c_str(), 0);
    if (linked && !replace) unlinkat(at, name.c_str(), 0);
    errno = error;
  }
  return failure;
}

PendingFile PendingFileMaker::create(const std::string& folder, std::string tempName) {
  PendingFile pending;
  pending.base_ = &base_;
  pending.tempName_ = std::move(tempName);
  if (tryUnnamed_) {
    pending.unnamed_ = true;
    pending.file_ = createUnnamedFile(base_, folder, false);
    if (pending.file_.valid() || !unnamedUnsupported(errno)) return pending;
    tryUnnamed_ = false;
  }
  pending.unnamed_ = false;
  pending.file_ = createAfresh(atDescriptor(base_), pending.tempName_);
  return pending;
}
