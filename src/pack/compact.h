// Compaction: the archive rewritten so that the data of its entries lies contiguously from sector
// 500, without the sectors that moved groups (an update appends a group that outgrew its place
// and leaves the old one unused) and removed entries left behind.
//
// The entries of a group of 16 lie one after another from the group's start, so a group claims
// one contiguous run of sectors, and only its start in the index says where. The runs that
// overlap or touch (entries that share stored bytes) are merged and move as one, in their old
// order, so that sharing entries still share afterwards; each group start is repointed by the
// distance its run moved. Every byte before sector 500 (the index too, apart from the group
// starts) stays as it is; what lies past the last claimed sector is dropped.
//
// Before the new archive is committed, every entry of every category is looked up through the
// guest routines over the new index and its stored bytes compared with the old ones.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pack/events.h"
#include "pack/lock_wait.h"

struct CompactOptions {
  bool dryRun = false;  // report what would be reclaimed, write nothing
  // The free space of the archive's file system; measured when not given (tests inject it).
  std::optional<uint64_t> freeSpace;
  LockWait lockWait;  // how readers of the archive are waited for
};

// Compacts `archivePath` into a new file renamed over it; a journal a stopped update left is dealt
// with first, under the lock, and noted to `events`. Returns the report: the bytes reclaimed (or
// that would be). Throws Error when anything fails or is refused (an archive that does not hold
// one of its entries in full, tables that lie outside the index; a MachineFault where the lookup
// routines stop on its index); the archive is then unchanged.
std::string compactArchive(const std::string& archivePath, const CompactOptions& options,
                           PackEvents& events);
