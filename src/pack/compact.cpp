#include "pack/compact.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "archive/categories.h"
#include "archive/format.h"
#include "archive/index.h"
#include "cpu/fault.h"
#include "guest/session.h"
#include "pack/locked_archive.h"
#include "pack/replace_file.h"
#include "platform/error.h"
#include "platform/file.h"
#include "reading/archive.h"
#include "reading/entry.h"
#include "reading/inspect.h"
#include "reading/read.h"

namespace {

[[noreturn]] void fail(const std::string& message) { throw Error(message); }

// Sectors the old archive's entries claim, in one piece, and where they go.
struct Run {
  uint64_t start, end;  // old sectors, end exclusive
  uint64_t to = 0;      // the new start sector
};

// A group that claims sectors: its start and the end of its walk.
struct Group {
  int32_t category;
  uint32_t group;
  uint64_t start, end;
};

struct OldEntry {
  int32_t category;
  uint32_t entry;
  EntryDescription d;
};

// The new archive as it will read: the bytes before sector 500 with the new index over them, then
// the runs at their new places.
class Compacted : public ByteSource {
 public:
  Compacted(const Archive& old, const std::vector<Run>& runs, const std::vector<uint8_t>& index,
            uint64_t size)
      : old_(old), runs_(runs), index_(index), size_(size) {}
  uint64_t size() const override { return size_; }
  size_t readAt(uint64_t offset, uint8_t* buffer, size_t size) const override {
    const size_t n =
        offset >= size_ ? 0 : static_cast<size_t>(std::min<uint64_t>(size, size_ - offset));
    std::memset(buffer, 0, n);
    copy(offset, buffer, n, 0, 0, kDataStart);
    if (offset < kMinimumArchiveSize && offset + n > kArchiveIndexOffset) {
      const uint64_t from = std::max<uint64_t>(offset, kArchiveIndexOffset);
      const uint64_t to = std::min<uint64_t>(offset + n, kMinimumArchiveSize);
      std::memcpy(buffer + (from - offset), index_.data() + (from - kArchiveIndexOffset),
                  static_cast<size_t>(to - from));
    }
    // The runs are in the order of their new places: from the last one that starts at or before
    // `offset`.
    auto run = std::upper_bound(runs_.begin(), runs_.end(), offset / kSectorSize,
                                [](uint64_t sector, const Run& r) { return sector < r.to; });
    if (run != runs_.begin()) --run;
    for (; run != runs_.end() && run->to * kSectorSize < offset + n; ++run) {
      copy(offset, buffer, n, run->to * kSectorSize, run->start * kSectorSize,
           (run->end - run->start) * kSectorSize);
    }
    return n;
  }

 private:
  // Where [offset, offset + n) meets the `size` new bytes at `to`, which are the old ones at
  // `from`.
  void copy(uint64_t offset, uint8_t* buffer, size_t n, uint64_t to, uint64_t from,
            uint64_t size) const {
    const uint64_t start = std::max(offset, to);
    const uint64_t end = std::min(offset + n, to + size);
    if (start >= end) return;
    old_.readZeroFilled(from + (start - to), buffer + (start - offset),
                        static_cast<size_t>(end - start));
  }

  const Archive& old_;
  const std::vector<Run>& runs_;
  const std::vector<uint8_t>& index_;
  const uint64_t size_;
};

class Compaction {
 public:
  Compaction(const std::string& path, const CompactOptions& options, PackEvents& events)
      : path_(path), options_(options), events_(events) {}

  // Returns the report.
  std::string run() {
    LockedArchive locked = lockArchive(path_, false, options_.lockWait);
    if (options_.dryRun) refuseJournalOnDryRun(locked, path_);
    recoverFirst(locked, events_);
    const std::string real = locked.real;
    const std::unique_ptr<Archive> archive = Archive::fromFile(std::move(locked.file), path_);
    oldSize_ = archive->size();
    const IndexEditor oldIndex(archive->index());
    survey(*archive, oldIndex);
    IndexEditor newIndex = oldIndex;
    layOut(oldIndex, newIndex);
    const bool moves =
        newSize_ != oldSize_ ||
        std::any_of(runs_.begin(), runs_.end(), [](const Run& r) { return r.to != r.start; });
    if (!moves) return path_ + ": already compact, nothing to reclaim";
    verify(*archive, newIndex);
    const std::string sizes =
        std::to_string(oldSize_) + " bytes to " + std::to_string(newSize_) + " bytes";
    const std::string reclaimed = std::to_string(oldSize_ - newSize_) + " bytes";
    if (options_.dryRun) {
      return path_ + ": compacting would reclaim " + reclaimed + " (" + sizes +
             "); nothing was written";
    }
    checkFreeSpace(real);
    commit(*archive, newIndex);
    return path_ + ": compacted, " + reclaimed + " reclaimed (" + sizes + ")";
  }

 private:
  // Every entry of every category up to the highest: the index as the routines read it, held in
  // full by the archive, and the sectors each group claims.
  void survey(Archive& archive, const IndexEditor& index) {
    BufferPool buffers(kInFlightBudget);
    for (int32_t category = 0; category <= index.highestCategory(); ++category) {
      const uint32_t count = index.entryCount(category);
      if (count == 0) continue;
      if (!index.tablesInside(category)) {
        fail(path_ + ": the tables of category " + std::to_string(category) +
             " lie outside the index, so its groups cannot be repointed; it cannot be compacted");
      }
      for (uint32_t group = 0; group * kEntriesPerGroup < count; ++group) {
        const uint64_t start = kDataBaseSector + (index.groupStartValue(category, group) >> 2);
        uint64_t end = start;
        const uint32_t last = std::min(count, (group + 1) * kEntriesPerGroup);
        for (uint32_t e = group * kEntriesPerGroup; e < last; ++e) {
          const EntryDescription d = look(archive, index, category, e);
          if (d.hasData())
            checkHeld(archive, d, entryPath(category, static_cast<int32_t>(e)), buffers);
          if (d.exists()) entries_.push_back({category, e, d});
          end += entrySectors(index.entryWord(category, e));
        }
        if (end > start) groups_.push_back({category, group, start, end});
      }
    }
  }

  EntryDescription look(Archive& archive, const IndexEditor& index, int32_t category,
                        uint32_t e) const {
    const std::string name = entryPath(category, static_cast<int32_t>(e));
    try {
      const EntryAnswers answers = archive.session().ask(category, static_cast<int32_t>(e));
      if (!routinesAgree(answers, index, category, e)) {
        fail(name + ": the lookup routines and the index read on the host disagree about it; " +
             path_ + " cannot be compacted");
      }
      return describeEntry(answers);
    } catch (const r5900::MachineFault& fault) {
      throwMachineFault(fault, path_);
    }
  }

  // Moved, an entry the archive does not hold in full (what the listing calls incomplete or
  // unknown) would read other bytes than the end of the file it reads now.
  void checkHeld(const Archive& archive, const EntryDescription& d, const std::string& name,
                 BufferPool& buffers) const {
    const bool unknown = d.kind == EntryKind::Compressed &&
                         entryStorage(archive, d).method == StorageMethod::Unknown;
    const EntryProblem problem =
        unknown ? EntryProblem::Incomplete : testEntry(archive, d, buffers);
    if (problem == EntryProblem::OutOfMemory) fail(name + ": out of memory to decode it");
    if (problem == EntryProblem::Incomplete) {
      fail(name + ": the archive does not hold it in full (" +
           (unknown ? "its header" : "its stored bytes") + " run past the end of " + path_ +
           "); moved, it would read other bytes, so the archive cannot be compacted");
    }
  }

  // The runs, merged where they overlap or touch and laid one after another from sector 500;
  // each group start moves with its run.
  void layOut(const IndexEditor& oldIndex, IndexEditor& newIndex) {
    std::vector<Group> byStart = groups_;
    std::sort(byStart.begin(), byStart.end(),
              [](const Group& a, const Group& b) { return a.start < b.start; });
    for (const Group& g : byStart) {
      if (!runs_.empty() && g.start <= runs_.back().end) {
        runs_.back().end = std::max(runs_.back().end, g.end);
      } else {
        runs_.push_back({g.start, g.end});
      }
    }
    uint64_t next = kDataBaseSector;
    newSize_ = std::min<uint64_t>(oldSize_, kDataStart);
    for (Run& r : runs_) {
      r.to = next;
      next += r.end - r.start;
      // A run the file ends inside (or before) keeps only what the file holds of it.
      if (r.start * kSectorSize < oldSize_) {
        newSize_ =
            r.to * kSectorSize + std::min(r.end * kSectorSize, oldSize_) - r.start * kSectorSize;
      }
    }
    for (const Group& g : groups_) {
      const uint64_t start = moved(g.start) - kDataBaseSector;
      if (start > kMaxGroupStartSector) {
        fail("a group would start at sector " + std::to_string(start + kDataBaseSector) +
             ", past the last one the index can hold (500 + 4194303)");
      }
      const uint32_t value = oldIndex.groupStartValue(g.category, g.group);
      newIndex.setGroupStartValue(g.category, g.group,
                                  static_cast<uint32_t>(start << 2) | (value & 3));
    }
  }

  // Where old sector `sector`, inside a run, lies in the new archive.
  uint64_t moved(uint64_t sector) const {
    const auto run = std::upper_bound(runs_.begin(), runs_.end(), sector,
                                      [](uint64_t s, const Run& r) { return s < r.start; });
    return sector - std::prev(run)->start + std::prev(run)->to;
  }

  // Through the guest routines over the new index, every entry is what it was, its stored bytes
  // the old ones at its new place.
  void verify(Archive& archive, const IndexEditor& newIndex) const {
    const Compacted compacted(archive, runs_, newIndex.bytes(), newSize_);
    const std::unique_ptr<GuestSession> session = GuestSession::open(newIndex.bytes().data());
    if (!session) fail("out of memory: cannot allocate the 32 MiB of guest RAM");
    for (const OldEntry& old : entries_) {
      const std::string name = entryPath(old.category, static_cast<int32_t>(old.entry));
      bool same = false;
      try {
        const EntryDescription d =
            lookUpEntry(*session, old.category, static_cast<int32_t>(old.entry));
        same = d.kind == old.d.kind && d.length == old.d.length && d.stored == old.d.stored;
        if (same && d.hasData()) {
          same = d.sector == moved(old.d.sector) &&
                 sameBytes(archive, old.d.offset, compacted, d.offset, old.d.storedBytes());
        }
      } catch (const r5900::MachineFault&) {
      }
      if (!same) {
        fail(name + ": compacting would change it (an internal error); nothing was written");
      }
    }
  }

  void checkFreeSpace(const std::string& real) const {
    const std::optional<uint64_t> free =
        options_.freeSpace ? options_.freeSpace : freeSpace(folderOf(real));
    if (free && *free < newSize_) {
      fail("not enough free space beside " + path_ + " for the compacted copy: it needs " +
           std::to_string(newSize_) + " bytes, " + std::to_string(*free) + " are free");
    }
  }

  // A new archive written beside the old one, flushed, and renamed over it, unless the name no
  // longer has the file locked and read: the bytes before sector 500, the runs one after another,
  // the new index.
  void commit(Archive& archive, const IndexEditor& newIndex) const {
    Replacement file(path_, fileInfo(archive.file()));
    file.copyFrom(archive.file(), 0, std::min<uint64_t>(oldSize_, kDataStart));
    for (const Run& r : runs_) {
      const uint64_t from = r.start * kSectorSize;
      if (from >= oldSize_) break;
      const uint64_t held = std::min(r.end * kSectorSize, oldSize_) - from;
      file.copyFrom(archive.file(), from, held);  // it lands at r.to: the runs are contiguous
      if (held < (r.end - r.start) * kSectorSize) break;
    }
    if (!writeAllAt(file.file(), newIndex.bytes().data(), kArchiveIndexSize, kArchiveIndexOffset)) {
      throwSystemError("cannot write " + path_, errno, path_);
    }
    file.commit([&archive] { archive.closeFile(); });
  }

  const std::string path_;
  const CompactOptions& options_;
  PackEvents& events_;
  uint64_t oldSize_ = 0;
  uint64_t newSize_ = 0;
  std::vector<Group> groups_;
  std::vector<OldEntry> entries_;
  std::vector<Run> runs_;  // in the order of their old sectors, which is that of their new ones
};

}  // namespace

std::string compactArchive(const std::string& archivePath, const CompactOptions& options,
                           PackEvents& events) {
  return Compaction(archivePath, options, events).run();
}
