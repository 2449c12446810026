// Unnamed files: made in a folder without any name and given one by linking, once complete, so
// that a process stopped at any moment leaves nothing behind. Linux has them (see linux/); where
// the system does not, these report that they are not supported and callers fall back to a
// temporary name and a rename.
#pragma once

#include <string>

#include "platform/file.h"
#include "platform/folder.h"

// Whether an unnamed file can be given a name here at all (on Linux, /proc must be mounted).
bool unnamedFilesNameable();
// A new unnamed file in folder `folder` of `base`, open for writing (`readable`: and reading),
// mode 0666 less the umask once named. Invalid with errno set; unnamedUnsupported(errno) when
// the system or the file system has no unnamed files.
FileHandle createUnnamedFile(const Folder& base, const std::string& folder, bool readable);
bool unnamedUnsupported(int error);
// Gives the unnamed `file` the name `name` in `base`; EEXIST when something has the name.
bool linkUnnamedFile(const FileHandle& file, const Folder& base, const std::string& name);
