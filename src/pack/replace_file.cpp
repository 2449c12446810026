#include "pack/replace_file.h"

#include <algorithm>
#include <cerrno>
#include <random>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/folder.h"
#include "platform/interrupt.h"
#include "platform/unnamed_file.h"

namespace {

// The copy's name beside the target while it has one: this prefix and six letters or digits.
constexpr std::string_view kCopyPrefix = ".archive-pack-";
constexpr size_t kCopySuffix = 6;

}  // namespace

bool isCopyName(std::string_view name) {
  if (name.substr(0, kCopyPrefix.size()) != kCopyPrefix) return false;
  const std::string_view rest = name.substr(kCopyPrefix.size());
  // Earlier versions named a linked copy .archive-pack-PID-N: removed as well.
  const bool earlier = rest.find_first_not_of("0123456789-") == std::string_view::npos &&
                       rest.find('-') != std::string_view::npos;
  const auto alnum = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  };
  return earlier || (rest.size() == kCopySuffix && std::all_of(rest.begin(), rest.end(), alnum));
}

namespace {

std::string copyName(const std::string& folder) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  thread_local std::mt19937_64 rng(std::random_device{}());
  std::string name = folder + "/" + std::string(kCopyPrefix);
  for (size_t i = 0; i < kCopySuffix; ++i) name += kLetters[rng() % (sizeof kLetters - 1)];
  return name;
}

// Whether `file`, locked now, still has the name `path`: a run that removes copies left behind
// takes only those it can lock, and removes them while it holds the lock.
bool sameFile(const FileHandle& file, const std::string& path) {
  const std::optional<FileInfo> mine = fileInfo(file), named = linkInfo(path);
  return mine && named && mine->device == named->device && mine->inode == named->inode;
}

// Locks the copy for as long as it is written: a lock held elsewhere is the run removing copies
// left behind, which took this one in the moment before; false then. Where the file system has
// no locks nobody can take one, so the copy goes on unlocked.
bool lockCopy(const FileHandle& file) { return tryLockExclusive(file) || errno != EWOULDBLOCK; }

}  // namespace

// At most 40 links, as the kernel follows.
std::string resolveSymlinks(const std::string& start) {
  std::string path = start;
  for (int hops = 0; hops < 40; ++hops) {
    const std::optional<FileInfo> info = linkInfo(path);
    if (!info || !info->symlink) return path;
    const std::optional<std::string> next = readLink(path);
    if (!next) throwSystemError("cannot read the link " + path, errno, path);
    if ((*next)[0] == '/') {
      path = *next;
    } else {
      path = folderOf(path);
      path += '/';
      path += *next;
    }
  }
  throw Error(start + ": too many levels of symbolic links", ELOOP);
}

Replacement::Replacement(const std::string& path, std::optional<FileInfo> expected)
    : target_(resolveSymlinks(path)), expected_(expected) {
  folder_ = folderOf(target_);
  if (const std::optional<FileInfo> info = fileInfo(target_)) {
    if (!info->regular) {
      throw Error(path + " is not a regular file; refusing to replace it");
    }
    existed_ = true;
    mode_ = info->permissions;
    owner_ = info->owner;
    group_ = info->group;
  } else if (errno != ENOENT) {
    throwSystemError("cannot look at " + path, errno, path);
  } else {
    mode_ = newFileMode();  // as a file made afresh would get
  }
  // Unnamed only where it can be named at the commit (on Linux, with /proc mounted).
  bool named = !unnamedFilesNameable();
  if (!named) {
    file_ = createUnnamedFile(Folder(), folder_, true);
    named = !file_.valid() && unnamedUnsupported(errno);
    // Locked before it has a name, so from the moment it has one. Nobody else can have it yet:
    // this fails only where the file system has no locks.
    if (file_.valid()) static_cast<void>(tryLockExclusive(file_));
  }
  // No unnamed files here: a named one, removed again on failure and by the signal handler. It is
  // locked just after it is made, and made again under another name when a run removing copies
  // left behind took it in that moment.
  for (int attempt = 0; named && attempt < 100; ++attempt) {
    std::string name = folder_ + "/" + std::string(kCopyPrefix) + "XXXXXX";
    file_ = createUniqueFile(name);
    if (!file_.valid()) break;
    tempName_ = name;
    setNameToRemoveOnStop(name);
    if (lockCopy(file_) && sameFile(file_, name)) break;
    clearNameToRemoveOnStop();
    tempName_.clear();
    file_.close();
  }
  if (!file_.valid()) throwSystemError("cannot create a file in " + folder_, errno, folder_);
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
    throw Error(target_ + " was replaced by another file during the update; nothing was written");
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
  if (!setPermissions(file_, mode_))
    throwSystemError("cannot set the mode of the new " + target_, errno, target_);
  if (existed_ && !setOwner(file_, owner_, group_) && errno != EPERM) {
    throwSystemError("cannot set the owner of the new " + target_, errno, target_);
  }
  if (!syncFile(file_)) throwSystemError("cannot write " + target_, errno, target_);
  // Give the unnamed file a name beside the target, then rename it over the target.
  for (int attempt = 0; tempName_.empty(); ++attempt) {
    const std::string candidate = copyName(folder_);
    setNameToRemoveOnStop(candidate);
    if (linkUnnamedFile(file_, Folder(), candidate)) {
      tempName_ = candidate;
    } else {
      const int error = errno;
      clearNameToRemoveOnStop();
      if (error != EEXIST || attempt > 100)
        throwSystemError("cannot name the new " + target_, error, target_);
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
      throw Error(target_ +
                      " is open in another program, which keeps it from being replaced; "
                      "nothing was written: try again once that program has closed it",
                  ETXTBSY);
    }
    throwSystemError("cannot rename the new archive onto " + target_, errno, target_);
  }
  clearNameToRemoveOnStop();
  tempName_.clear();
  unlockFile(file_);  // the lock was the copy's; readers of the new archive need not wait for it
  // The rename reaches the disk with the folder.
  syncFolder(folder_);
  file_.close();
}

std::vector<std::string> removeLeftCopies(const std::string& path) {
  std::string folder;
  try {
    folder = folderOf(resolveSymlinks(path));
  } catch (const Error&) {
    return {};  // the run itself reports it
  }
  std::vector<std::string> copies, notes;
  FolderNames names = listFolder(Folder(), folder);
  if (!names.valid()) return {};
  while (const char* name = names.next()) {
    if (isCopyName(name)) copies.push_back(folder + "/" + name);
  }
  for (const std::string& copy : copies) {
    const FileHandle file = openFile(copy, OpenMode::ReadNoFollow);
    const std::optional<FileInfo> info = file.valid() ? fileInfo(file) : std::nullopt;
    // One that another run holds locked is being written.
    if (!info || !info->regular || !tryLockExclusive(file) || !sameFile(file, copy)) continue;
    const std::string what = copy + ", a copy left by a stopped archive-pack";
    notes.push_back(removeFile(copy) ? "removed " + what
                                     : withReason("cannot remove " + what, errno));
  }
  return notes;
}
