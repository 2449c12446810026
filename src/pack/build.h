// Building a whole archive from a source tree: the index at byte 0xBA000, entry data from sector
// 500 on, the entries of each group of 16 one after another.
#pragma once

#include <string>

#include "pack/source_tree.h"
#include "pack/store.h"

// Writes the archive for `tree` through a one-step replacement of `archivePath` (see
// replace_file.h). Throws Error when a file cannot be read, an entry does not fit its storage
// or the index, or the archive cannot be written; `archivePath` is then unchanged.
// Returns what was stored.
PackSummary buildArchive(const SourceTree& tree, const std::string& archivePath,
                         StorageMethod method);
