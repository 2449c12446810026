#include "pack/replace_file.h"

#include <cerrno>
#include <vector>

#include "platform/host_error.h"
#include "platform/interrupt.h"
#include "platform/process.h"
#include "platform/unnamed_file.h"

// At most 40 links, as the kernel follows.
std::string resolveSymlinks(const std::string& start) {
  std::string path = start;
  for (int hops = 0; hops < 40; ++hops) {
    const std::optional<FileInfo> info = linkInfo(path);
    if (!info || !info->symlink) return path;
    const std::optional<std::string> next = readLink(path);
    if (!next) throwSystemError("cannot read the link " + path);
    if ((*next)[0] == '/') {
      path = *next;
    } else {
      path = folderOf(path);
      path += '/';
      path += *next;
    }
  }
  throw HostError(start + ": too many levels of symbolic links", ELOOP);
}

Replacement::Replacement(const std::string& path, std::optional<FileInfo> expected)
    : target_(resolveSymlinks(path)), expected_(expected) {
  folder_ = folderOf(target_);
  if (const std::optional<FileInfo> info = fileInfo(target_)) {
    if (!info->regular) {
      throw HostError(path + " is not a regular file; refusing to replace it");
    }
    existed_ = true;
    mode_ = info->permissions;
    owner_ = info->owner;
    group_ = info->group;
  } else if (errno != ENOENT) {
    throwSystemError("cannot look at " + path);
  } else {
    mode_ = newFileMode();  // as a file made afresh would get
  }
  // Unnamed only where it can be named at the commit (on Linux, with /proc mounted).
  bool named = !unnamedFilesNameable();
  if (!named) {
    file_ = createUnnamedFile(Folder(), folder_, true);
    named = !file_.valid() && unnamedUnsupported(errno);
  }
  if (named) {
    // No unnamed files here: a named one, removed again on failure and by the signal handler.
    std::string name = folder_ + "/.archive-pack-XXXXXX";
    file_ = createUniqueFile(name);
    if (file_.valid()) {
      tempName_ = name;
      setNameToRemoveOnStop(name);
    }
  }
  if (!file_.valid()) throwSystemError("cannot create a file in " + folder_);
}

Replacement::~Replacement() { discard(); }

void Replacement::discard() {
  if (!tempName_.empty()) {
    clearNameToRemoveOnStop();
    removeFile(tempName_);
    tempName_.clear();
  }
  file_.close();
}

// Another file renamed onto the target since `expected` was read would be lost by the rename. (A
// rename in the moment between this check and the rename still would.)
void Replacement::checkTarget() const {
  if (!expected_) return;
  const std::optional<FileInfo> now = linkInfo(target_);
  if (!now || now->device != expected_->device || now->inode != expected_->inode) {
    throw HostError(target_ +
                    " was replaced by another file during the update; nothing was written");
  }
}

void Replacement::copyFrom(const FileHandle& from, uint64_t offset, uint64_t bytes) {
  FileCopier copier;
  switch (copier.copy(from, offset, file_, bytes)) {
    case CopyResult::Done: break;
    case CopyResult::SourceEnded: throwSystemError("cannot copy the archive", EIO);
    case CopyResult::WriteFailed: throwSystemError("cannot copy the archive");
  }
}

void Replacement::commit(const std::function<void()>& closeTarget) {
  // The mode first (it cannot fail for the file's owner), then the owner where permitted: a user
  // who may not give the file away keeps it as theirs.
  if (!setPermissions(file_, mode_)) throwSystemError("cannot set the mode of the new " + target_);
  if (existed_ && !setOwner(file_, owner_, group_) && errno != EPERM) {
    throwSystemError("cannot set the owner of the new " + target_);
  }
  if (!syncFile(file_)) throwSystemError("cannot write " + target_);
  // Give the unnamed file a name beside the target, then rename it over the target.
  for (int attempt = 0; tempName_.empty(); ++attempt) {
    const std::string candidate =
        folder_ + "/.archive-pack-" + std::to_string(processId()) + "-" + std::to_string(attempt);
    setNameToRemoveOnStop(candidate);
    if (linkUnnamedFile(file_, Folder(), candidate)) {
      tempName_ = candidate;
    } else {
      const int error = errno;
      clearNameToRemoveOnStop();
      if (error != EEXIST || attempt > 100)
        throwSystemError("cannot name the new " + target_, error);
    }
  }
  checkTarget();
  stopSignalsWaitFromNow();  // renamed, the new archive is the result: a stop cannot undo it
  const auto closeOwn = [&] {
    if (closeTarget) closeTarget();
    checkTarget();
  };
  if (!renameFile(tempName_, target_, closeOwn)) {
    if (errno == ETXTBSY) {
      throw HostError(target_ +
                          " is open in another program, which keeps it from being replaced; "
                          "nothing was written: try again once that program has closed it",
                      ETXTBSY);
    }
    throwSystemError("cannot rename the new archive onto " + target_);
  }
  clearNameToRemoveOnStop();
  tempName_.clear();
  // The rename reaches the disk with the folder.
  syncFolder(folder_);
  file_.close();
}
