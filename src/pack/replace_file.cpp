#include "pack/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/host_error.h"

namespace {

// The temporary name that exists right now, for the signal handler (one replacement at a time).
char pendingName[4096];
std::atomic<bool> pendingNameSet{false};

}  // namespace

// At most 40 links, as the kernel follows.
std::string resolveSymlinks(const std::string& start) {
  std::string path = start;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    std::vector<char> target(static_cast<size_t>(info.st_size) + 2);
    const ssize_t n = readlink(path.c_str(), target.data(), target.size() - 1);
    if (n < 0) throwSystemError("cannot read the link " + path);
    const std::string next(target.data(), static_cast<size_t>(n));
    if (next[0] == '/') {
      path = next;
    } else {
      path = folderOf(path);
      path += '/';
      path += next;
    }
  }
  throw HostError(start + ": too many levels of symbolic links", ELOOP);
}

void removePendingTempName() {
  if (pendingNameSet.load()) unlink(pendingName);
}

Replacement::Replacement(const std::string& path) : target_(resolveSymlinks(path)) {
  folder_ = folderOf(target_);
  struct stat info {};
  if (stat(target_.c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode)) {
      throw HostError(path + " is not a regular file; refusing to replace it");
    }
    existed_ = true;
    mode_ = info.st_mode & 07777;
    owner_ = info.st_uid;
    group_ = info.st_gid;
  } else if (errno != ENOENT) {
    throwSystemError("cannot look at " + path);
  } else {
    const mode_t mask = umask(0);  // a new file gets 0666 less the umask, as creat() gives
    umask(mask);
    mode_ = 0666 & ~mask;
  }
  file_ = FileHandle(open(folder_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
  if (!file_.valid() && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    // No unnamed files here: a named one, removed again on failure and by the signal handler.
    std::string name = folder_ + "/.archive-pack-XXXXXX";
    file_ = FileHandle(mkostemp(name.data(), O_CLOEXEC));
    if (file_.valid()) {
      tempName_ = name;
      std::snprintf(pendingName, sizeof pendingName, "%s", name.c_str());
      pendingNameSet.store(true);
    }
  }
  if (!file_.valid()) throwSystemError("cannot create a file in " + folder_);
}

Replacement::~Replacement() { discard(); }

void Replacement::discard() {
  if (!tempName_.empty()) {
    pendingNameSet.store(false);
    unlink(tempName_.c_str());
    tempName_.clear();
  }
  file_.close();
}

void Replacement::copyFrom(const FileHandle& from, uint64_t offset, uint64_t bytes) {
  auto in = static_cast<off_t>(offset);
  while (bytes > 0) {
    const ssize_t n = copy_file_range(from.get(), &in, file_.get(), nullptr, bytes, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      throwSystemError("cannot copy the archive");
    }
    bytes -= static_cast<uint64_t>(n);
  }
}

void Replacement::commit() {
  // The mode first (fchmod cannot fail for the file's owner), then the owner where permitted:
  // a user who may not give the file away keeps it as theirs.
  if (fchmod(file_.get(), mode_) != 0)
    throwSystemError("cannot set the mode of the new " + target_);
  if (existed_ && fchown(file_.get(), owner_, group_) != 0 && errno != EPERM) {
    throwSystemError("cannot set the owner of the new " + target_);
  }
  if (!syncFile(file_)) throwSystemError("cannot write " + target_);
  if (tempName_.empty()) {
    // Give the unnamed file a name beside the target, then rename it over the target.
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", file_.get());
    for (int attempt = 0; tempName_.empty(); ++attempt) {
      char name[64];
      std::snprintf(name, sizeof name, "/.archive-pack-%d-%d", static_cast<int>(getpid()), attempt);
      const std::string candidate = folder_ + name;
      std::snprintf(pendingName, sizeof pendingName, "%s", candidate.c_str());
      pendingNameSet.store(true);
      if (linkat(AT_FDCWD, self, AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        tempName_ = candidate;
      } else {
        pendingNameSet.store(false);
        if (errno != EEXIST || attempt > 100) throwSystemError("cannot name the new " + target_);
      }
    }
  }
  if (rename(tempName_.c_str(), target_.c_str()) != 0) {
    throwSystemError("cannot rename the new archive onto " + target_);
  }
  pendingNameSet.store(false);
  tempName_.clear();
  // The rename reaches the disk with the folder.
  syncFolder(folder_);
  file_.close();
}
