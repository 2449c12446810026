// Where an edit puts what it changes. The entries of a group of 16 lie one after another from the
// group's start sector, so a changed entry is rewritten where it lies when every changed entry of
// its group fits the sectors it has inside the file and no other entry claims any of them;
// otherwise the whole group is appended past everything any entry claims and its start
// repointed. A group with deleted entries is laid out again where it lies when it can be (see
// layOut), or moved. The plan is the new index and the pieces of the new file; nothing is written
// until it is verified (pack/edit_verify.h) and committed (pack/edit_commit.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "archive/index.h"
#include "pack/edit_changes.h"
#include "pack/edit_check.h"
#include "reading/archive.h"

// A piece of the new archive: `size` bytes at `offset`, from `data` (padded with zeros to
// `size`), or copied from the old archive at `from`.
struct Piece {
  uint64_t offset;
  uint64_t size;
  std::shared_ptr<const std::vector<uint8_t>> data;
  uint64_t from = 0;
};

struct EditPlan {
  EditPlan(std::vector<Change> changes, const IndexEditor& oldIndex, uint64_t oldSize);

  std::vector<Change> changes;
  std::vector<std::pair<int32_t, uint32_t>> named;  // the changed entries, sorted
  IndexEditor newIndex;
  uint64_t oldSize;     // of the file, in bytes
  uint64_t newEnd = 0;  // the end of the appended groups, in bytes
  std::vector<Piece> pieces;
  std::vector<size_t> inPlacePieces;  // those written over the old archive's entries
  std::vector<std::pair<int32_t, uint32_t>> movedGroups;

  bool isNamed(int32_t category, uint32_t entry) const;
  bool isInPlace(size_t piece) const;
  uint64_t inPlaceBytes() const;
};

// The plan for `changes` to `archive` (whose index `oldIndex` is, its file `oldSize` bytes): in
// place or moved, group by group, and the new index. Throws Error when a moved group would start
// past the last sector the index can name.
EditPlan layOut(Archive& archive, const IndexEditor& oldIndex, uint64_t oldSize,
                std::vector<Change> changes);

// An edit leaves damage as it is. The entries the archive does not hold in full would read
// other bytes if their group moved or was laid out again (the sectors past the end of the file
// read as zeros when copied), or if the file grew under them; deleting or replacing them is the
// repair, so an edit that names them all goes ahead. Throws Error naming them otherwise.
void refuseDamage(const EditPlan& plan, const EditCheck& check, const std::string& archivePath);
