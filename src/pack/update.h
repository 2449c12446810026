// Putting changed models back into an existing archive, changing nothing it need not change.
//
// Each file of the source tree is compared with the entry it names, decoded as extraction decodes
// it; an identical file changes nothing. A changed entry keeps its storage (or takes the method
// asked for). The entries of a group of 16 lie one after another from the group's start sector,
// so a changed entry is rewritten where it lies when every changed entry of its group fits the
// sectors it has inside the file and no other entry claims any of them; otherwise the whole group
// is appended past everything any entry claims and its start repointed. The bytes outside the
// index, the sectors rewritten in place and the appended groups are never touched, and the file
// grows only by appended groups.
//
// Before anything is committed, the new index is built in memory and every changed entry is
// looked up through the guest routines over it, read from what will be stored, decoded and
// compared; every other entry of every category must come out as before (pack/edit_check.h).
// Entries the archive does not hold in full are never moved, nor given more file under them: such
// an edit refuses, naming them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pack/events.h"
#include "pack/lock_wait.h"
#include "pack/source_tree.h"
#include "pack/store.h"

struct UpdateOptions {
  StorageMethod method = StorageMethod::Keep;
  bool inPlace = false;  // rewrite the archive where it lies, through a journal
  bool dryRun = false;   // report what would change, write nothing
  // The free space of the archive's file system; measured when not given (tests inject it).
  std::optional<uint64_t> freeSpace;
  LockWait lockWait;  // how readers of the archive are waited for
};

// One entry an edit changes: its path ("models - g/0001.raw") and what is done to it ("in place",
// "moved with its group", "new entry, in place", "deleted, its group moved", ...).
struct EntryChange {
  std::string path;
  std::string action;
  std::string line() const { return path + ": " + action; }
};

struct EditResult {
  std::vector<EntryChange> changes;  // in sweep order
  PackSummary summary;               // the changed entries as stored (deleted ones as nodata)
};

// Updates `archivePath` from `tree`; a journal a stopped update left is dealt with first, under
// the lock, and noted to `events`. Throws Error when anything fails or is refused; the archive is
// then unchanged (or, in place, recoverable from its journal). Where the lookup routines stop on
// the archive's index, the Error is a MachineFault whose what() is the machine's line.
EditResult updateArchive(const SourceTree& tree, const std::string& archivePath,
                         const UpdateOptions& options, PackEvents& events);

// The delete: the entries with data that `members` name (entry paths and category
// folders, as archive-extract takes them) become entries with no data; every other entry extracts
// as before, the later entries of their groups included (their groups are laid out again: in
// place where the file holds what they keep, up to 64 MiB, and nothing outside them claims any
// of their sectors, otherwise moved past the end as an update moves a group). A member that names
// nothing refuses the whole delete. Throws Error as updateArchive does; the archive is then
// unchanged. `options.method` does not apply.
EditResult deleteEntries(const std::vector<std::string>& members, const std::string& archivePath,
                         const UpdateOptions& options, PackEvents& events);

// The recovery: completes a whole journal left beside the archive by a stopped update,
// or discards an incomplete one, under the update lock. Returns what it did; throws Error.
enum class Recovery : uint8_t { None, Completed, Discarded };
struct RecoverResult {
  Recovery outcome = Recovery::None;
  std::string note;  // what was done, in words (empty for None)
};
RecoverResult recoverArchive(const std::string& archivePath, const LockWait& wait = {});
