// What an edit changes, entry by entry: for an update, the files of the source tree that differ
// from what extraction gives for their entries, with their new storage; for a delete, the entries
// with data that the members name. Both are found before anything is laid out (pack/edit_plan.h)
// and both refuse, naming the entry, where the lookup routines and the index read on the host
// disagree: the packer edits the index with host code.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/index.h"
#include "pack/source_tree.h"
#include "pack/store.h"
#include "reading/archive.h"

struct Change {
  int32_t category;
  uint32_t entry;
  std::string path;
  std::shared_ptr<const std::vector<uint8_t>> data;  // the source file
  StoredEntry stored;
  uint32_t oldWord;
  bool isNew = false;
  bool wasUnsupported = false;
  bool inPlace = false;
  bool deleted = false;  // becomes an entry with no data
};

// The entries of `tree` whose files differ from what `archive` (whose index `index` is) gives
// for them, stored with `method`, in the tree's order. Throws Error (naming `archivePath` where
// it concerns the archive) when an entry cannot be edited or its file does not fit its storage.
std::vector<Change> findUpdates(Archive& archive, const IndexEditor& index, const SourceTree& tree,
                                StorageMethod method, const std::string& archivePath);

// The entries with data that `members` name, swept as extraction sweeps them, each to become an
// entry with no data. A member that names no entry refuses the whole delete.
std::vector<Change> findDeletions(Archive& archive, const IndexEditor& index,
                                  const std::vector<std::string>& members,
                                  const std::string& archivePath);
