// Folders: the one a tool writes its output under (names are then taken relative to it, so that
// the output stays where it was opened even if the folder is renamed meanwhile), creating the
// folders below it and listing the names in them. The functions report failure as the system
// does (false, nothing or an invalid listing, with errno set).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/file.h"

class Folder {
 public:
  Folder() = default;  // the current folder
  explicit Folder(FileHandle handle, std::string path = {})
      : handle_(std::move(handle)), path_(std::move(path)) {}
  // The open folder; invalid for the current one.
  const FileHandle& handle() const { return handle_; }
  // Where Windows names files by path: the folder's, in the system's form (empty for the current
  // one); the open handle keeps it from being renamed meanwhile.
  const std::string& path() const { return path_; }

 private:
  FileHandle handle_;
  std::string path_;
};

std::optional<Folder> openFolder(const std::string& path);

// Creates folder `name` in `base`, mode 0777 less the umask. EEXIST when something has the name.
bool makeFolder(const Folder& base, const std::string& name);

// What a name in a folder stands for, symlinks followed. Other: anything else, or nothing that
// can be seen (a link to nothing, a name removed meanwhile).
enum class NameKind : uint8_t { Folder, Regular, Other };

// The names in one folder, read once (one listing rather than a lookup per file).
class FolderNames {
 public:
  bool valid() const { return stream_ != nullptr; }
  // The next name ("." and ".." among them), valid until the next call; nullptr after the last,
  // errno then 0, or set when the listing failed on the way.
  const char* next();
  // What the name next() gave last stands for: most file systems tell it in the listing itself;
  // for the others, and for a symlink, the system is asked.
  NameKind kind() const;

 private:
  friend FolderNames listFolder(const Folder& base, const std::string& name);
  struct Stream;
  struct Close {
    void operator()(Stream* stream) const;
  };
  std::unique_ptr<Stream, Close> stream_;
};
// The names in folder `name` of `base`; an invalid listing, errno set, when it cannot be read.
FolderNames listFolder(const Folder& base, const std::string& name);
