// Files that get their name only once complete, so that a process stopped at any moment never
// leaves a partial file under a name a later run would take for a finished one. Where the system
// allows, the file has no name at all until then (unnamed_file.h) and a stopped process leaves
// nothing; elsewhere it is written under a temporary name, which a rerun takes over, and renamed.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"
#include "platform/folder.h"
#include "platform/unnamed_file.h"

enum class Naming : uint8_t {
  // An unnamed file is not linked over what has the name (EEXIST); a file under a temporary name
  // is renamed, replacing what took the name since it was looked at.
  Keep,
  // Whatever has the name is replaced in one step: the file takes the temporary name first (an
  // old one there removed), then is renamed over the name.
  Replace,
};

// The step of naming that failed.
enum class NamingFailure : uint8_t { None, Link, Close, Rename };

class PendingFile {
 public:
  PendingFile() = default;
  PendingFile(PendingFile&&) noexcept = default;
  PendingFile& operator=(PendingFile&& other) noexcept;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile() { drop(); }

  bool valid() const { return file_.valid(); }
  const FileHandle& file() const { return file_; }
  // True: the file has no name; false: it is written as tempName().
  bool unnamed() const { return unnamed_; }
  const std::string& tempName() const { return tempName_; }

  // Closes the file and gives it `name` in its base folder. On failure, with errno set, the file
  // is gone: neither name is left to it, and what had `name` before still has it.
  NamingFailure name(const std::string& name, Naming naming);
  // Closes the file; its temporary name, if it has one, is removed.
  void drop();

 private:
  friend class PendingFileMaker;
  FileHandle file_;
  const Folder* base_ = nullptr;
  std::string tempName_;
  bool unnamed_ = false;
};

// Makes pending files in the folders of `base` (which outlives them): unnamed until the system or
// the file system says it cannot, then under temporary names without asking again. One per
// thread.
class PendingFileMaker {
 public:
  explicit PendingFileMaker(const Folder& base, bool tryUnnamed = unnamedFilesNameable())
      : base_(base), tryUnnamed_(tryUnnamed) {}

  // A new, empty file for writing, to be named in folder `folder` of the base: unnamed, or else
  // created (mode 0666 less the umask) as `tempName`, a path in the base; what had that name
  // before (a file, a link, a FIFO) is removed, not opened.
  // Invalid with errno set when it cannot be made; unnamed() then says which failed.
  PendingFile create(const std::string& folder, std::string tempName);

 private:
  const Folder& base_;
  bool tryUnnamed_;
};
