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

#include "pack/durable_io.h"

namespace {

// The temporary name that exists right now, for the signal handler (one replacement at a time).
char pendingName[4096];
std::atomic<bool> pendingNameSet{false};

std::string withReason(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

// At most 40 links, as the kernel follows.
std::optional<std::string> resolveSymlinks(const std::string& start, std::string& error) {
  std::string path = start;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    std::vector<char> target(static_cast<size_t>(info.st_size) + 2);
    const ssize_t n = readlink(path.c_str(), target.data(), target.size() - 1);
    if (n < 0) {
      error = withReason("cannot read the link " + path);
      return std::nullopt;
    }
    const std::string next(target.data(), static_cast<size_t>(n));
    if (next[0] == '/') {
      path = next;
    } else {
      path = folderOf(path);
      path += '/';
      path += next;
    }
  }
  error = start + ": too many levels of symbolic links";
  return std::nullopt;
}

void removePendingTempName() {
  if (pendingNameSet.load()) unlink(pendingName);
}

std::optional<Replacement> Replacement::begin(const std::string& path, std::string& error) {
  const std::optional<std::string> target = resolveSymlinks(path, error);
  if (!target) return std::nullopt;
  Replacement r;
  r.target_ = *target;
  r.folder_ = folderOf(*target);
  struct stat info {};
  if (stat(target->c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode)) {
      error = path + " is not a regular file; refusing to replace it";
      return std::nullopt;
    }
    r.existed_ = true;
    r.mode_ = info.st_mode & 07777;
    r.owner_ = info.st_uid;
    r.group_ = info.st_gid;
  } else if (errno != ENOENT) {
    error = withReason("cannot look at " + path);
    return std::nullopt;
  } else {
    const mode_t mask = umask(0);  // a new file gets 0666 less the umask, as creat() gives
    umask(mask);
    r.mode_ = 0666 & ~mask;
  }
  r.fd_ = open(r.folder_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (r.fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    // No unnamed files here: a named one, removed again on failure and by the signal handler.
    std::string name = r.folder_ + "/.archive-pack-XXXXXX";
    r.fd_ = mkostemp(name.data(), O_CLOEXEC);
    if (r.fd_ >= 0) {
      r.tempName_ = name;
      std::snprintf(pendingName, sizeof pendingName, "%s", name.c_str());
      pendingNameSet.store(true);
    }
  }
  if (r.fd_ < 0) {
    error = withReason("cannot create a file in " + r.folder_);
    return std::nullopt;
  }
  return r;
}

Replacement::Replacement(Replacement&& other) noexcept
    : target_(std::move(other.target_)),
      folder_(std::move(other.folder_)),
      tempName_(std::move(other.tempName_)),
      fd_(other.fd_),
      existed_(other.existed_),
      mode_(other.mode_),
      owner_(other.owner_),
      group_(other.group_) {
  other.fd_ = -1;
  other.tempName_.clear();
}

Replacement::~Replacement() { discard(); }

void Replacement::discard() {
  if (!tempName_.empty()) {
    pendingNameSet.store(false);
    unlink(tempName_.c_str());
    tempName_.clear();
  }
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool Replacement::copyFrom(int from, off_t offset, off_t bytes, std::string& error) {
  off_t in = offset;
  while (bytes > 0) {
    const ssize_t n = copy_file_range(from, &in, fd_, nullptr, static_cast<size_t>(bytes), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      error = withReason("cannot copy the archive");
      return false;
    }
    bytes -= n;
  }
  return true;
}

bool Replacement::commit(std::string& error) {
  // The mode first (fchmod cannot fail for the file's owner), then the owner where permitted:
  // a user who may not give the file away keeps it as theirs.
  if (fchmod(fd_, mode_) != 0) {
    error = withReason("cannot set the mode of the new " + target_);
    return false;
  }
  if (existed_ && fchown(fd_, owner_, group_) != 0 && errno != EPERM) {
    error = withReason("cannot set the owner of the new " + target_);
    return false;
  }
  if (!syncFile(fd_)) {
    error = withReason("cannot write " + target_);
    return false;
  }
  if (tempName_.empty()) {
    // Give the unnamed file a name beside the target, then rename it over the target.
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd_);
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
        if (errno != EEXIST || attempt > 100) {
          error = withReason("cannot name the new " + target_);
          return false;
        }
      }
    }
  }
  if (rename(tempName_.c_str(), target_.c_str()) != 0) {
    error = withReason("cannot rename the new archive onto " + target_);
    return false;
  }
  pendingNameSet.store(false);
  tempName_.clear();
  // The rename reaches the disk with the folder.
  syncFolder(folder_);
  close(fd_);
  fd_ = -1;
  return true;
}
