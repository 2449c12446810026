// Writing a file that replaces another in one step, so that a failure or an interruption leaves
// the old file as it was and no temporary file behind. The new content is written to an unnamed
// file in the target's folder (a named temporary file where the system or the file system cannot),
// which gets a name only at the commit, just before it is renamed over the target. While it has a
// name, a stop signal removes it (see removeNameToRemoveOnStop), and it is locked while it is
// written, so that a copy a run stopped dead left can be told from one being written.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"

class Replacement {
 public:
  // Prepares to replace `path`. A symlink is followed to the file it names (which is replaced,
  // the link kept); anything but a regular file (or nothing yet) is refused. With `expected`,
  // the commit replaces only that file (by device and inode). Throws Error.
  explicit Replacement(const std::string& path, std::optional<FileInfo> expected = std::nullopt);
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;
  ~Replacement();  // discards the new content unless committed

  const FileHandle& file() const { return file_; }
  const std::string& target() const { return target_; }
  // Fills the new file from `bytes` bytes of `from` at `offset` (inside the kernel where it can).
  void copyFrom(const FileHandle& from, uint64_t offset, uint64_t bytes);
  // Flushes the new content to disk, gives it the old file's mode (and owner, where permitted)
  // and renames it over the target. Throws Error when any step fails, when the target is no
  // longer the expected file, or when another program has it open where the system will not
  // replace an open file; what has the target's name is then unchanged. `closeTarget` closes the
  // caller's own handles on the target, where the system can only rename over a file that nobody
  // has open (see renameFile); the target is checked again after it.
  void commit(const std::function<void()>& closeTarget = {});

 private:
  void discard();
  void checkTarget() const;
  std::string target_;
  std::string folder_;
  std::string tempName_;  // set while the new file has a name of its own
  FileHandle file_;
  std::optional<FileInfo> expected_;
  bool existed_ = false;
  uint32_t mode_ = 0666;
  uint32_t owner_ = static_cast<uint32_t>(-1);
  uint32_t group_ = static_cast<uint32_t>(-1);
};

// Removes the copies that stopped runs left in the folder of archive `path` (the folder of the file
// its symlinks name): a run stopped dead between naming its copy and renaming it over the target
// leaves one, as large as the archive. A copy is locked while it is written, so one that another
// run holds locked is left alone. Returns a note for stderr per copy removed, or that could not
// be; nothing when the folder cannot be read.
std::vector<std::string> removeLeftCopies(const std::string& path);

// Whether `name` (a file name, no folder) is one of those copies' names.
bool isCopyName(std::string_view name);

// The file `path` names in the end, symlinks followed (it may not exist yet). Throws Error
// for a link that cannot be read or a loop.
std::string resolveSymlinks(const std::string& path);
