// A POSIX system without Linux's additions: what is not known is reported so (with
// no_unnamed_files.cpp for the files), so that the portable way is taken.
#include "platform/file.h"
#include "platform/internal.h"

unsigned coresAllowed() { return 0; }

std::optional<LockHolder> lockHolder(const FileHandle&) { return std::nullopt; }
