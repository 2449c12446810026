#include "pack/edit_plan.h"

#include <algorithm>
#include <map>

#include "archive/categories.h"
#include "archive/format.h"
#include "platform/error.h"
#include "reading/entry.h"

namespace {

[[noreturn]] void fail(const std::string& message) { throw Error(message); }

// A group with deleted entries is laid out again in place only up to this size: its journal holds
// it all. A larger one moves past the end, as a group an update outgrows does.
constexpr uint64_t kInPlaceLayoutLimit = uint64_t{64} << 20;

struct Extent {
  uint64_t start, end;  // sectors, end exclusive
  bool overlaps(const Extent& other) const { return start < other.end && other.start < end; }
};

// "models - b/0004.raw, models - t/0000.raw" (the first few, and how many more).
std::string listEntries(const std::vector<std::pair<int32_t, uint32_t>>& entries) {
  constexpr size_t kShown = 8;
  std::string list;
  for (size_t i = 0; i < entries.size() && i < kShown; ++i) {
    if (i > 0) list += ", ";
    list += entryPath(entries[i].first, static_cast<int32_t>(entries[i].second));
  }
  if (entries.size() > kShown) list += " and " + std::to_string(entries.size() - kShown) + " more";
  return list;
}

// The sectors entry e of `category` claims: walked in the index where its tables lie inside it,
// asked of the lookup routines (which then read guest memory past the index) where they do not.
Extent claimed(Archive& archive, const IndexEditor& index, int32_t category, uint32_t e,
               uint64_t& sector) {
  if (index.tablesInside(category)) {
    if (e % kEntriesPerGroup == 0) {
      sector = kDataBaseSector + (index.groupStartValue(category, e / kEntriesPerGroup) >> 2);
    }
    const Extent extent{sector, sector + entrySectors(index.entryWord(category, e))};
    sector = extent.end;
    return extent;
  }
  const EntryDescription d = archive.describe(category, static_cast<int32_t>(e));
  const uint64_t start = d.offset / kSectorSize;
  return {start, d.hasData() ? start + sectorsFor(d.storedBytes()) : start};
}

class Layout {
 public:
  Layout(EditPlan& plan, const IndexEditor& oldIndex) : plan_(plan), oldIndex_(oldIndex) {}

  void run(Archive& archive) {
    std::vector<Change>& changes = plan_.changes;
    const uint64_t oldSize = plan_.oldSize;
    std::map<std::pair<int32_t, uint32_t>, std::vector<Change*>> groups;
    std::vector<Extent> changedExtents;
    for (Change& c : changes) {
      groups[{c.category, c.entry / kEntriesPerGroup}].push_back(&c);
      const uint64_t start = oldIndex_.entrySector(c.category, c.entry);
      changedExtents.push_back({start, start + entrySectors(c.oldWord)});
    }
    // Every extent any entry claims: the sectors shared with a changed entry, and the end of
    // them all, where moved groups go.
    std::vector<bool> shared(changes.size(), false);
    uint64_t claimedEnd = 0;
    // A group with deleted entries is laid out again where it lies when the file holds what it
    // keeps, no entry outside it claims any of its sectors, and it is small enough for the
    // journal; otherwise it moves.
    std::map<std::pair<int32_t, uint32_t>, Extent> relaid;
    for (const auto& [key, members] : groups) {
      if (std::none_of(members.begin(), members.end(), [](const Change* c) { return c->deleted; }))
        continue;
      const uint32_t first = key.second * kEntriesPerGroup;
      const uint32_t last = std::min(first + kEntriesPerGroup, oldIndex_.entryCount(key.first));
      Extent extent{oldIndex_.entrySector(key.first, first), 0};
      extent.end = extent.start;
      uint64_t kept = extent.start;
      for (uint32_t e = first; e < last; ++e) {
        const uint32_t sectors = entrySectors(oldIndex_.entryWord(key.first, e));
        extent.end += sectors;
        if (!plan_.isNamed(key.first, e)) kept += sectors;
      }
      if (kept * kSectorSize <= oldSize &&
          (kept - extent.start) * kSectorSize <= kInPlaceLayoutLimit) {
        relaid[key] = extent;
      }
    }
    for (int32_t category = 0; category <= oldIndex_.highestCategory(); ++category) {
      const uint32_t count = oldIndex_.entryCount(category);
      uint64_t sector = 0;
      for (uint32_t e = 0; e < count; ++e) {
        const Extent extent = claimed(archive, oldIndex_, category, e, sector);
        if (extent.start == extent.end) continue;
        claimedEnd = std::max(claimedEnd, extent.end);
        for (auto it = relaid.begin(); it != relaid.end();) {
          const bool outside = it->first != std::pair{category, e / kEntriesPerGroup};
          it = outside && extent.overlaps(it->second) ? relaid.erase(it) : std::next(it);
        }
        for (size_t i = 0; i < changes.size(); ++i) {
          const Change& c = changes[i];
          if ((c.category != category || c.entry != e) && extent.overlaps(changedExtents[i])) {
            shared[i] = true;
          }
        }
      }
    }
    uint64_t next = std::max({sectorsFor(oldSize), uint64_t{kDataBaseSector}, claimedEnd});
    for (auto& [key, members] : groups) {
      const auto [category, group] = key;
      const bool inPlace = std::all_of(members.begin(), members.end(), [&](const Change* c) {
        const size_t i = static_cast<size_t>(c - changes.data());
        const uint32_t before = entrySectors(c->oldWord);
        const uint32_t after = entrySectors(c->stored.word);
        const bool fits = isPlainWord(c->stored.word) ? after == before : after <= before;
        // Rewritten in place, the data stays inside the old file, which never grows but by whole
        // appended groups: entries that claim sectors past its end would read other bytes.
        const uint64_t at = oldIndex_.entrySector(c->category, c->entry) * kSectorSize;
        const bool inside = at <= oldSize && c->stored.bytes.size() <= oldSize - at;
        // A deleted entry takes no sectors in its group's walk: the entries after it would read
        // other bytes unless the group is laid out again.
        return before > 0 && fits && inside && !shared[i] && !c->deleted;
      });
      if (const auto where = relaid.find(key); where != relaid.end()) {
        const size_t first = plan_.pieces.size();
        moveGroup(category, group, members, where->second.start);
        for (size_t i = first; i < plan_.pieces.size(); ++i) plan_.inPlacePieces.push_back(i);
        for (Change* c : members) c->inPlace = true;
      } else if (inPlace) {
        for (Change* c : members) placeInPlace(*c);
      } else {
        next = moveGroup(category, group, members, next);
      }
    }
  }

 private:
  // A compressed entry keeps its old sector count in the index, its unused bytes zeroed; a plain
  // one has the same sector count; the bytes after the data, to the end of the extent, are zeros.
  void placeInPlace(Change& c) {
    c.inPlace = true;
    const uint32_t sectors = entrySectors(c.oldWord);
    if (!isPlainWord(c.stored.word)) {
      c.stored.word = compressedEntryWord(sectors, expandedUnits(c.stored.word));
    }
    plan_.newIndex.setEntryWord(c.category, c.entry, c.stored.word);
    auto bytes = std::make_shared<std::vector<uint8_t>>(c.stored.bytes);
    // The padding after the data clears what was there, up to the old end of the file.
    const uint64_t at = oldIndex_.entrySector(c.category, c.entry) * kSectorSize;
    plan_.pieces.push_back(
        Piece{at, std::min(uint64_t{sectors} * kSectorSize, plan_.oldSize - at), bytes});
    plan_.inPlacePieces.push_back(plan_.pieces.size() - 1);
  }

  // The group's entries, changed or not, one after another from sector `at`; returns the sector
  // after them.
  uint64_t moveGroup(int32_t category, uint32_t group, const std::vector<Change*>& members,
                     uint64_t at) {
    const uint64_t start = at - kDataBaseSector;
    if (start > kMaxGroupStartSector) {
      fail("the update would need a group to start at sector " + std::to_string(at) +
           ", past the last one the index can hold (500 + 4194303)");
    }
    const uint32_t value = oldIndex_.groupStartValue(category, group);
    plan_.newIndex.setGroupStartValue(category, group,
                                      static_cast<uint32_t>(start << 2) | (value & 3));
    plan_.movedGroups.push_back({category, group});
    const uint32_t first = group * kEntriesPerGroup;
    const uint32_t last = std::min(first + kEntriesPerGroup, oldIndex_.entryCount(category));
    for (uint32_t e = first; e < last; ++e) {
      const auto change = std::find_if(members.begin(), members.end(),
                                       [e](const Change* c) { return c->entry == e; });
      const uint32_t word =
          change != members.end() ? (*change)->stored.word : oldIndex_.entryWord(category, e);
      const uint64_t sectors = entrySectors(word);
      if (change != members.end()) {
        plan_.newIndex.setEntryWord(category, e, word);
        plan_.pieces.push_back(
            Piece{at * kSectorSize, sectors * kSectorSize,
                  std::make_shared<std::vector<uint8_t>>((*change)->stored.bytes)});
      } else if (sectors > 0) {
        plan_.pieces.push_back(Piece{at * kSectorSize, sectors * kSectorSize, nullptr,
                                     oldIndex_.entrySector(category, e) * kSectorSize});
      }
      at += sectors;
    }
    plan_.newEnd = std::max(plan_.newEnd, at * kSectorSize);
    return at;
  }

  EditPlan& plan_;
  const IndexEditor& oldIndex_;
};

}  // namespace

EditPlan::EditPlan(std::vector<Change> found, const IndexEditor& oldIndex, uint64_t fileSize)
    : changes(std::move(found)), newIndex(oldIndex), oldSize(fileSize) {
  named.reserve(changes.size());
  for (const Change& c : changes) named.emplace_back(c.category, c.entry);
  std::sort(named.begin(), named.end());
}

bool EditPlan::isNamed(int32_t category, uint32_t entry) const {
  return std::binary_search(named.begin(), named.end(), std::pair{category, entry});
}

bool EditPlan::isInPlace(size_t piece) const {
  return std::find(inPlacePieces.begin(), inPlacePieces.end(), piece) != inPlacePieces.end();
}

uint64_t EditPlan::inPlaceBytes() const {
  uint64_t bytes = 0;
  for (const size_t i : inPlacePieces) bytes += pieces[i].size;
  return bytes;
}

EditPlan layOut(Archive& archive, const IndexEditor& oldIndex, uint64_t oldSize,
                std::vector<Change> changes) {
  EditPlan plan(std::move(changes), oldIndex, oldSize);
  Layout(plan, oldIndex).run(archive);
  return plan;
}

void refuseDamage(const EditPlan& plan, const EditCheck& check, const std::string& archivePath) {
  const auto damaged = check.notHeldInFull(
      [&plan](int32_t category, uint32_t entry) { return plan.isNamed(category, entry); });
  if (damaged.empty()) return;
  std::vector<std::pair<int32_t, uint32_t>> moved;
  for (const auto& [category, entry] : damaged) {
    const std::pair group{category, entry / kEntriesPerGroup};
    if (std::find(plan.movedGroups.begin(), plan.movedGroups.end(), group) !=
        plan.movedGroups.end()) {
      moved.emplace_back(category, entry);
    }
  }
  // "it" or "them", as many as there are.
  const auto words = [](size_t n, const char* one, const char* many) {
    return n == 1 ? one : many;
  };
  const auto repair = [&](size_t n) {
    return std::string("; nothing was written. Deleting or replacing ") + words(n, "it", "them") +
           " is the repair (in this edit too)";
  };
  if (!moved.empty()) {
    const size_t n = moved.size();
    fail(archivePath + ": the edit would move " + listEntries(moved) + " with " +
         words(n, "its group", "their groups") + ", but the archive does not hold " +
         words(n, "it", "them") + " in full: moved, " + words(n, "it", "they") +
         " would read other bytes" + repair(n));
  }
  if (plan.newEnd > plan.oldSize) {
    const size_t n = damaged.size();
    fail(archivePath + ": the edit would append past the end of the file, over sectors that " +
         listEntries(damaged) + words(n, " claims", " claim") +
         ", which the archive does not hold in full: " + words(n, "it", "they") +
         " would then read other bytes" + repair(n));
  }
}
