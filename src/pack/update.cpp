#include "pack/update.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>

#include "archive/categories.h"
#include "archive/index.h"
#include "cpu/fault.h"
#include "guest/session.h"
#include "pack/edit_check.h"
#include "pack/journal.h"
#include "pack/locked_archive.h"
#include "pack/replace_file.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/interrupt.h"
#include "reading/archive.h"
#include "reading/entry.h"
#include "reading/inspect.h"
#include "reading/read.h"

namespace {

[[noreturn]] void fail(const std::string& message) { throw Error(message); }

// A group with deleted entries is laid out again in place only up to this size: its journal holds
// it all. A larger one moves past the end, as a group an update outgrows does.
constexpr uint64_t kInPlaceLayoutLimit = uint64_t{64} << 20;

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

// --in-place writes the archive's file itself: under another name (a hard link) it would change
// too, and a journal left beside this name would not stop its readers.
void refuseOtherNames(const LockedArchive& archive, const std::string& path) {
  const std::optional<FileInfo> info = fileInfo(archive.file);
  if (!info) throwSystemError("cannot read " + path, errno, path);
  if (info->links > 1) {
    throw Error(ErrorKind::Refused,
                path + " has " + std::to_string(info->links) +
                    " names (hard links), which an update in place would all change",
                path, 0, ErrorHint::EditByCopy);
  }
}

// A piece of the new archive: `size` bytes at `offset`, from `data` (padded with zeros to
// `size`), or copied from the old archive at `from`.
struct Piece {
  uint64_t offset;
  uint64_t size;
  std::shared_ptr<const std::vector<uint8_t>> data;
  uint64_t from = 0;
};

// The old archive with the pieces laid over it: what the new archive will read as, up to its
// new end.
class Overlay : public ByteSource {
 public:
  Overlay(const Archive& archive, const std::vector<Piece>& pieces, uint64_t size)
      : archive_(archive), pieces_(pieces), size_(size) {}
  uint64_t size() const override { return size_; }
  size_t readAt(uint64_t offset, uint8_t* buffer, size_t size) const override {
    const size_t n =
        offset >= size_ ? 0 : static_cast<size_t>(std::min<uint64_t>(size, size_ - offset));
    read(offset, buffer, n);
    return n;
  }

 private:
  // Fills `n` bytes at `offset`; holes in the new file read as zeros.
  void read(uint64_t offset, uint8_t* out, size_t n) const {
    archive_.readZeroFilled(offset, out, n);
    for (const Piece& p : pieces_) {
      const uint64_t start = std::max(offset, p.offset);
      const uint64_t end = std::min(offset + n, p.offset + p.size);
      if (start >= end) continue;
      uint8_t* dst = out + (start - offset);
      const uint64_t at = start - p.offset;
      const size_t length = static_cast<size_t>(end - start);
      if (p.data) {
        std::memset(dst, 0, length);
        if (at < p.data->size()) {
          std::memcpy(dst, p.data->data() + at,
                      static_cast<size_t>(std::min<uint64_t>(length, p.data->size() - at)));
        }
      } else {
        archive_.readZeroFilled(p.from + at, dst, length);
      }
    }
  }

  const Archive& archive_;
  const std::vector<Piece>& pieces_;
  const uint64_t size_;
};

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

struct Extent {
  uint64_t start, end;  // sectors, end exclusive
  bool overlaps(const Extent& other) const { return start < other.end && other.start < end; }
};

class Update {
 public:
  Update(const SourceTree& tree, const std::string& path, const UpdateOptions& options,
         PackEvents& events)
      : tree_(tree), path_(path), options_(options), events_(events) {}
  // A delete: the entries `members` name lose their data.
  Update(const std::vector<std::string>& members, const std::string& path,
         const UpdateOptions& options, PackEvents& events)
      : tree_(noTree_), path_(path), options_(options), events_(events), members_(&members) {}

  EditResult run() {
    edit();
    return std::move(result_);
  }

 private:
  void edit() {
    LockedArchive locked =
        lockArchive(path_, options_.inPlace && !options_.dryRun, options_.lockWait);
    if (options_.dryRun) refuseJournalOnDryRun(locked, path_);
    recoverFirst(locked, events_);
    if (options_.inPlace) refuseOtherNames(locked, path_);
    const std::string real = locked.real;
    const std::unique_ptr<Archive> archive = Archive::fromFile(std::move(locked.file), path_);
    oldSize_ = archive->size();
    const IndexEditor oldIndex(archive->index());
    // The tables an update reads and edits with host code: those of the categories it changes.
    for (const auto& [c, files] : tree_.files) {
      if (!oldIndex.tablesInside(c)) {
        fail(path_ + ": the tables of category " + std::to_string(c) +
             " lie outside the index; an update cannot edit them");
      }
    }
    if (members_ != nullptr) {
      findDeletions(*archive, oldIndex);
    } else {
      findChanges(*archive, oldIndex);
    }
    if (changes_.empty()) return;
    std::sort(named_.begin(), named_.end());
    const EditCheck check(*archive, oldIndex);
    IndexEditor newIndex = oldIndex;
    plan(*archive, oldIndex, newIndex);
    refuseDamage(check);
    verify(*archive, newIndex, check);
    for (const Change& c : changes_) {
      result_.changes.push_back({c.path, action(c)});
      if (c.deleted) {
        ++result_.summary.entries;
        ++result_.summary.methods[StorageMethod::NoData];
      } else {
        result_.summary.add(c.data->size(), c.stored.word, c.stored.bytes, c.stored.bytes.size());
      }
    }
    if (options_.dryRun) return;
    checkFreeSpace(real);
    if (options_.inPlace) {
      commitInPlace(*archive, real, newIndex);
    } else {
      commitCopy(*archive, newIndex);
    }
  }

  void findChanges(Archive& archive, const IndexEditor& index) {
    for (const auto& [category, files] : tree_.files) {
      for (const auto& [entry, file] : files) {
        const std::string path = entryPath(category, entry);
        const uint32_t count = index.entryCount(category);
        if (static_cast<uint32_t>(entry) >= count) {
          fail(path + ": category " + std::to_string(category) + " has " + std::to_string(count) +
               " entries in the index; adding entry " + std::to_string(entry) +
               " would need a larger entry table, which an update does not make");
        }
        const EntryAnswers answers = ask(archive, category, entry);
        if (!routinesAgree(answers, index, category, static_cast<uint32_t>(entry))) {
          fail(path +
               ": the lookup routines and the index read on the host disagree about it; "
               "nothing was written");
        }
        const EntryDescription d = describeEntry(answers);
        auto data = readSourceEntry(file, largestSourceFile(options_.method));
        Change change{category, static_cast<uint32_t>(entry),
                      path,     data,
                      {},       index.entryWord(category, static_cast<uint32_t>(entry))};
        if (!changed(archive, d, change)) continue;
        change.stored = storage(archive, d, change);
        named_.emplace_back(category, static_cast<uint32_t>(entry));
        changes_.push_back(std::move(change));
      }
    }
  }

  // The entries with data the members name, swept as extraction sweeps them. A member that names
  // no entry refuses the whole delete.
  void findDeletions(Archive& archive, const IndexEditor& index) {
    Selection selection;
    for (const std::string& member : *members_) selection.addMember(member);
    Sweep sweep = archive.entries(selection);
    while (const std::optional<SweptEntry> e = sweep.next()) {
      if (!e->description.hasData()) continue;
      const auto entry = static_cast<uint32_t>(e->entry);
      if (!index.tablesInside(e->category) ||
          !routinesAgree(ask(archive, e->category, e->entry), index, e->category, entry)) {
        fail(e->path() +
             ": the lookup routines and the index read on the host disagree "
             "about it; nothing was written");
      }
      Change change{e->category,
                    entry,
                    e->path(),
                    std::make_shared<const std::vector<uint8_t>>(),
                    {{}, plainEntryWord(kNoDataLength)},
                    index.entryWord(e->category, entry)};
      change.deleted = true;
      named_.emplace_back(e->category, entry);
      changes_.push_back(std::move(change));
    }
    for (const Member& m : selection.members()) {
      if (!m.found) fail(m.text + ": not found in archive; nothing was deleted");
    }
  }

  // The routines' answers about an entry of the archive being edited; where the machine stops on
  // its index, that is the failure.
  EntryAnswers ask(Archive& archive, int32_t category, int32_t entry) const {
    try {
      return archive.session().ask(category, entry);
    } catch (const r5900::MachineFault& fault) {
      throwMachineFault(fault, path_);
    }
  }

  // Whether the source file differs from what extraction gives for the entry.
  // Read as extraction reads it: an entry the archive does not hold in full has changed.
  bool changed(const Archive& archive, const EntryDescription& d, Change& change) {
    change.isNew = !d.hasData();
    if (change.isNew) return true;
    change.wasUnsupported = entryStorage(archive, d).method == StorageMethod::Unsupported;
    return change.wasUnsupported || !extractsTo(archive, d, *change.data);
  }

  // The new storage: the entry's own (keep), or the method asked for; new entries and entries of
  // the unsupported method take auto under keep.
  StoredEntry storage(const Archive& archive, const EntryDescription& d, const Change& change) {
    const std::vector<uint8_t>& data = *change.data;
    std::optional<StoredEntry> stored;
    const bool keep = options_.method == StorageMethod::Keep;
    if (!keep || change.isNew || change.wasUnsupported) {
      stored = storeEntry(data, keep ? StorageMethod::Auto : options_.method);
      if (!stored) {
        fail(change.path + ": " + std::to_string(data.size()) +
             " bytes do not fit the chosen storage");
      }
      return std::move(*stored);
    }
    if (d.kind == EntryKind::Plain) {
      // An empty file cannot be plain (a length of 0 means no entry): a compressed entry of
      // size 0, which still counts as keeping.
      stored = data.empty() ? storeEntry(data, StorageMethod::Stored)
                            : storeEntry(data, StorageMethod::Plain);
    } else {
      uint8_t header[kLongHeaderSize] = {};
      archive.readZeroFilled(d.offset, header, sizeof header);
      const CompressedHeader h = readCompressedHeader(header);
      stored = storeCompressed(data, h.method, h.headerSize);
    }
    if (!stored) {
      throw Error(ErrorKind::Refused,
                  change.path + ": " + std::to_string(data.size()) +
                      " bytes do not fit its storage (a compressed entry holds at most 8191 " +
                      "sectors and 262143 units of 64 bytes, a plain one 0x3FFFFFFE bytes)",
                  change.path, 0, ErrorHint::PlainMethod);
    }
    return std::move(*stored);
  }

  // In place or moved, group by group, and the new index.
  // The sectors entry e of `category` claims: walked in the index where its tables lie inside it,
  // asked of the lookup routines (which then read guest memory past the index) where they do not.
  static Extent claimed(Archive& archive, const IndexEditor& index, int32_t category, uint32_t e,
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

  void plan(Archive& archive, const IndexEditor& oldIndex, IndexEditor& newIndex) {
    std::map<std::pair<int32_t, uint32_t>, std::vector<Change*>> groups;
    std::vector<Extent> changedExtents;
    for (Change& c : changes_) {
      groups[{c.category, c.entry / kEntriesPerGroup}].push_back(&c);
      const uint64_t start = oldIndex.entrySector(c.category, c.entry);
      changedExtents.push_back({start, start + entrySectors(c.oldWord)});
    }
    // Every extent any entry claims: the sectors shared with a changed entry, and the end of
    // them all, where moved groups go.
    std::vector<bool> shared(changes_.size(), false);
    uint64_t claimedEnd = 0;
    // A group with deleted entries is laid out again where it lies when the file holds what it
    // keeps, no entry outside it claims any of its sectors, and it is small enough for the
    // journal; otherwise it moves.
    std::map<std::pair<int32_t, uint32_t>, Extent> relaid;
    for (const auto& [key, members] : groups) {
      if (std::none_of(members.begin(), members.end(), [](const Change* c) { return c->deleted; }))
        continue;
      const uint32_t first = key.second * kEntriesPerGroup;
      const uint32_t last = std::min(first + kEntriesPerGroup, oldIndex.entryCount(key.first));
      Extent extent{oldIndex.entrySector(key.first, first), 0};
      extent.end = extent.start;
      uint64_t kept = extent.start;
      for (uint32_t e = first; e < last; ++e) {
        const uint32_t sectors = entrySectors(oldIndex.entryWord(key.first, e));
        extent.end += sectors;
        if (!isNamed(key.first, e)) kept += sectors;
      }
      if (kept * kSectorSize <= oldSize_ &&
          (kept - extent.start) * kSectorSize <= kInPlaceLayoutLimit) {
        relaid[key] = extent;
      }
    }
    for (int32_t category = 0; category <= oldIndex.highestCategory(); ++category) {
      const uint32_t count = oldIndex.entryCount(category);
      uint64_t sector = 0;
      for (uint32_t e = 0; e < count; ++e) {
        const Extent extent = claimed(archive, oldIndex, category, e, sector);
        if (extent.start == extent.end) continue;
        claimedEnd = std::max(claimedEnd, extent.end);
        for (auto it = relaid.begin(); it != relaid.end();) {
          const bool outside = it->first != std::pair{category, e / kEntriesPerGroup};
          it = outside && extent.overlaps(it->second) ? relaid.erase(it) : std::next(it);
        }
        for (size_t i = 0; i < changes_.size(); ++i) {
          const Change& c = changes_[i];
          if ((c.category != category || c.entry != e) && extent.overlaps(changedExtents[i])) {
            shared[i] = true;
          }
        }
      }
    }
    uint64_t next = std::max({sectorsFor(oldSize_), uint64_t{kDataBaseSector}, claimedEnd});
    for (auto& [key, members] : groups) {
      const auto [category, group] = key;
      const bool inPlace = std::all_of(members.begin(), members.end(), [&](const Change* c) {
        const size_t i = static_cast<size_t>(c - changes_.data());
        const uint32_t before = entrySectors(c->oldWord);
        const uint32_t after = entrySectors(c->stored.word);
        const bool fits = isPlainWord(c->stored.word) ? after == before : after <= before;
        // Rewritten in place, the data stays inside the old file, which never grows but by whole
        // appended groups: entries that claim sectors past its end would read other bytes.
        const uint64_t at = oldIndex.entrySector(c->category, c->entry) * kSectorSize;
        const bool inside = at <= oldSize_ && c->stored.bytes.size() <= oldSize_ - at;
        // A deleted entry takes no sectors in its group's walk: the entries after it would read
        // other bytes unless the group is laid out again.
        return before > 0 && fits && inside && !shared[i] && !c->deleted;
      });
      if (const auto where = relaid.find(key); where != relaid.end()) {
        const size_t first = pieces_.size();
        moveGroup(category, group, members, oldIndex, newIndex, where->second.start);
        for (size_t i = first; i < pieces_.size(); ++i) inPlacePieces_.push_back(i);
        for (Change* c : members) c->inPlace = true;
      } else if (inPlace) {
        for (Change* c : members) placeInPlace(*c, oldIndex, newIndex);
      } else {
        next = moveGroup(category, group, members, oldIndex, newIndex, next);
      }
    }
  }

  // A compressed entry keeps its old sector count in the index, its unused bytes zeroed; a plain
  // one has the same sector count; the bytes after the data, to the end of the extent, are zeros.
  void placeInPlace(Change& c, const IndexEditor& oldIndex, IndexEditor& newIndex) {
    c.inPlace = true;
    const uint32_t sectors = entrySectors(c.oldWord);
    if (!isPlainWord(c.stored.word)) {
      c.stored.word = compressedEntryWord(sectors, expandedUnits(c.stored.word));
    }
    newIndex.setEntryWord(c.category, c.entry, c.stored.word);
    auto bytes = std::make_shared<std::vector<uint8_t>>(c.stored.bytes);
    // The padding after the data clears what was there, up to the old end of the file.
    const uint64_t at = oldIndex.entrySector(c.category, c.entry) * kSectorSize;
    pieces_.push_back(Piece{at, std::min(uint64_t{sectors} * kSectorSize, oldSize_ - at), bytes});
    inPlacePieces_.push_back(pieces_.size() - 1);
  }

  // The group's entries, changed or not, one after another from sector `at`; returns the sector
  // after them.
  uint64_t moveGroup(int32_t category, uint32_t group, const std::vector<Change*>& members,
                     const IndexEditor& oldIndex, IndexEditor& newIndex, uint64_t at) {
    const uint64_t start = at - kDataBaseSector;
    if (start > kMaxGroupStartSector) {
      fail("the update would need a group to start at sector " + std::to_string(at) +
           ", past the last one the index can hold (500 + 4194303)");
    }
    const uint32_t value = oldIndex.groupStartValue(category, group);
    newIndex.setGroupStartValue(category, group, static_cast<uint32_t>(start << 2) | (value & 3));
    movedGroups_.push_back({category, group});
    const uint32_t first = group * kEntriesPerGroup;
    const uint32_t last = std::min(first + kEntriesPerGroup, oldIndex.entryCount(category));
    for (uint32_t e = first; e < last; ++e) {
      const auto change = std::find_if(members.begin(), members.end(),
                                       [e](const Change* c) { return c->entry == e; });
      const uint32_t word =
          change != members.end() ? (*change)->stored.word : oldIndex.entryWord(category, e);
      const uint64_t sectors = entrySectors(word);
      if (change != members.end()) {
        newIndex.setEntryWord(category, e, word);
        pieces_.push_back(Piece{at * kSectorSize, sectors * kSectorSize,
                                std::make_shared<std::vector<uint8_t>>((*change)->stored.bytes)});
      } else if (sectors > 0) {
        pieces_.push_back(Piece{at * kSectorSize, sectors * kSectorSize, nullptr,
                                oldIndex.entrySector(category, e) * kSectorSize});
      }
      at += sectors;
    }
    newEnd_ = std::max(newEnd_, at * kSectorSize);
    return at;
  }

  bool isNamed(int32_t category, uint32_t entry) const {
    return std::binary_search(named_.begin(), named_.end(), std::pair{category, entry});
  }

  // An edit leaves damage as it is. The entries the archive does not hold in full would read
  // other bytes if their group moved or was laid out again (the sectors past the end of the file
  // read as zeros when copied), or if the file grew under them; deleting or replacing them is the
  // repair, so an edit that names them all goes ahead.
  void refuseDamage(const EditCheck& check) const {
    const auto damaged = check.notHeldInFull(
        [this](int32_t category, uint32_t entry) { return isNamed(category, entry); });
    if (damaged.empty()) return;
    std::vector<std::pair<int32_t, uint32_t>> moved;
    for (const auto& [category, entry] : damaged) {
      const std::pair group{category, entry / kEntriesPerGroup};
      if (std::find(movedGroups_.begin(), movedGroups_.end(), group) != movedGroups_.end()) {
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
      fail(path_ + ": the edit would move " + listEntries(moved) + " with " +
           words(n, "its group", "their groups") + ", but the archive does not hold " +
           words(n, "it", "them") + " in full: moved, " + words(n, "it", "they") +
           " would read other bytes" + repair(n));
    }
    if (newEnd_ > oldSize_) {
      const size_t n = damaged.size();
      fail(path_ + ": the edit would append past the end of the file, over sectors that " +
           listEntries(damaged) + words(n, " claims", " claim") +
           ", which the archive does not hold in full: " + words(n, "it", "they") +
           " would then read other bytes" + repair(n));
    }
  }

  // Before anything is written, the new archive is read as it will be: through the guest
  // routines over the new index, every changed entry decodes to its source file, and every entry
  // the edit does not name, in every category, comes out as before.
  void verify(Archive& archive, const IndexEditor& newIndex, const EditCheck& check) {
    const uint64_t newSize = std::max(oldSize_, newEnd_);
    const Overlay overlay(archive, pieces_, newSize);
    const std::unique_ptr<GuestSession> session = GuestSession::open(newIndex.bytes().data());
    if (!session) fail("out of memory: cannot allocate the 32 MiB of guest RAM");
    for (const Change& c : changes_) {
      bool gives = false;
      try {
        const EntryDescription d = lookUpEntry(*session, c.category, static_cast<int32_t>(c.entry));
        gives = c.deleted ? !d.hasData() : extractsTo(overlay, d, *c.data);
      } catch (const r5900::MachineFault&) {
      }
      if (!gives) {
        fail(c.path +
             ": the new archive would not give this file back (an internal error); "
             "nothing was written");
      }
    }
    std::vector<WrittenRange> written;
    for (const Piece& p : pieces_) written.push_back({p.offset, p.offset + p.size});
    if (newSize > oldSize_) written.push_back({oldSize_, newSize});
    check.verify(*session, newIndex, overlay, written,
                 [this](int32_t category, uint32_t entry) { return isNamed(category, entry); });
  }

  static std::string action(const Change& c) {
    std::string line;
    if (c.deleted)
      return line + (c.inPlace ? "deleted, its group laid out again in place"
                               : "deleted, its group moved");
    if (c.isNew) line += "new entry, ";
    if (c.wasUnsupported) line += "replaces an entry of the unsupported method, ";
    return line + (c.inPlace ? "in place" : "moved with its group");
  }

  // The new archive needs room before a byte is written: a failure half-way would leave a
  // temporary file to clean up and nothing gained.
  void checkFreeSpace(const std::string& real) {
    uint64_t appended = 0;  // what the appended groups really write (holes take no room)
    for (size_t i = 0; i < pieces_.size(); ++i) {
      const Piece& p = pieces_[i];
      if (isInPlace(i)) continue;
      appended += p.data              ? std::min<uint64_t>(p.size, p.data->size())
                  : p.from < oldSize_ ? std::min(p.size, oldSize_ - p.from)
                                      : 0;
    }
    const uint64_t need =
        options_.inPlace ? appended + kArchiveIndexSize + inPlaceBytes() : oldSize_ + appended;
    const std::optional<uint64_t> measured =
        options_.freeSpace ? options_.freeSpace : freeSpace(folderOf(real));
    if (!measured) return;  // not known: try
    const uint64_t free = *measured;
    if (free < need) {
      throw Error(ErrorKind::Refused,
                  "not enough free space beside " + path_ + " for the update: it needs " +
                      std::to_string(need) + " bytes, " + std::to_string(free) + " are free",
                  path_, 0, options_.inPlace ? ErrorHint::None : ErrorHint::EditInPlace);
    }
  }

  bool isInPlace(size_t piece) const {
    return std::find(inPlacePieces_.begin(), inPlacePieces_.end(), piece) != inPlacePieces_.end();
  }

  uint64_t inPlaceBytes() const {
    uint64_t bytes = 0;
    for (const size_t i : inPlacePieces_) bytes += pieces_[i].size;
    return bytes;
  }

  // In place, a piece is written whole, its padding zeros included (they clear what was there).
  // Appended, it lies past the old end of the file: what would be zeros (padding, or data copied
  // from past the old end) is left as a hole, so that an archive whose entries claim sectors far
  // past its end cannot make the update fill the disk.
  void writePiece(const FileHandle& from, const FileHandle& to, const Piece& p, bool whole) {
    bool ok = true;
    if (p.data) {
      const uint64_t n = std::min<uint64_t>(p.size, p.data->size());
      ok = writeAllAt(to, p.data->data(), static_cast<size_t>(n), p.offset) &&
           (!whole || writeZerosAt(to, p.size - n, p.offset + n));
    } else if (p.from < oldSize_) {
      ok = copyRange(from, p.from, to, p.offset, std::min(p.size, oldSize_ - p.from));
    }
    if (!ok) throwSystemError("cannot write " + path_, errno, path_);
  }

  // The file reaches the end of the last appended group.
  void extendTo(const FileHandle& file, uint64_t end) {
    const std::optional<FileInfo> info = fileInfo(file);
    if (!info || (info->size < end && !resize(file, end))) {
      throwSystemError("cannot write " + path_, errno, path_);
    }
  }

  // The default: a new archive written beside the old one, flushed, and renamed over it, unless
  // the name no longer has the file locked and read. The old archive stays open, and locked,
  // through the rename, unless the system cannot rename over a file that is open.
  void commitCopy(Archive& archive, const IndexEditor& newIndex) {
    Replacement file(path_, fileInfo(archive.file()));
    file.copyFrom(archive.file(), 0, oldSize_);
    for (size_t i = 0; i < pieces_.size(); ++i) {
      writePiece(archive.file(), file.file(), pieces_[i], isInPlace(i));
    }
    extendTo(file.file(), newEnd_);
    if (!writeAllAt(file.file(), newIndex.bytes().data(), kArchiveIndexSize, kArchiveIndexOffset)) {
      throwSystemError("cannot write " + path_, errno, path_);
    }
    file.commit([&archive] { archive.closeFile(); });
  }

  // --in-place. The order of the flushes is what makes a stop at any moment safe:
  //  1. The moved groups are appended past everything the old index claims, the file is extended
  //     to its new end, and it is flushed. A stop here leaves the old archive whole: nothing it
  //     uses was touched.
  //  2. The journal (the archive's identity, the in-place sectors and the new index, with a
  //     checksum) is written and flushed with its folder. A stop before it is complete leaves an
  //     incomplete journal, which the next contact discards: the old archive is still whole. Once
  //     it is complete, the data it points at (step 1) is already on disk. A failure before then
  //     cuts the file back to its old size: it is as it was, byte for byte.
  //  3. The journal is applied to the archive and flushed. A stop here leaves a complete journal,
  //     which the next contact applies again (writing the same bytes twice is harmless).
  //  4. The journal is removed.
  void commitInPlace(const Archive& archive, const std::string& real, const IndexEditor& newIndex) {
    const FileHandle& fd = archive.file();
    // The journal is written a piece at a time from the entries' new bytes and the old archive
    // (an entry laid out again), and applied from itself: nothing is held twice.
    std::vector<JournalRecord> records;
    for (const size_t i : inPlacePieces_) {
      const Piece& p = pieces_[i];
      if (p.size == 0) continue;
      if (p.data) {
        const uint64_t n = std::min<uint64_t>(p.size, p.data->size());
        records.push_back({p.offset, {p.data->data(), static_cast<size_t>(n)}, 0, 0, p.size - n});
      } else {
        records.push_back({p.offset, {}, p.size, p.from});
      }
    }
    records.push_back({kArchiveIndexOffset, newIndex.bytes()});
    const std::string journal = journalPath(real);
    try {
      appendAndExtend(fd);
      // From here the update runs to its end (the journal, the writes it names, its removal): a
      // stop signal waits, so that a status of 128 + the signal always means the old archive.
      stopSignalsWaitFromNow();
      writeJournal(journal, fd, archive.index(), records);
    } catch (const Error&) {
      if (resize(fd, oldSize_)) syncFile(fd);
      throw;
    }
    try {
      applyJournal(fd, journal, "cannot write " + path_);
    } catch (const Error& error) {
      throw Error(error.kind(),
                  std::string(error.what()) + "; its journal " + journal + " completes the update",
                  path_, error.code(), ErrorHint::RecoverToFinish);
    }
    if (!removeFile(journal) || !syncFolder(folderOf(journal))) {
      throw Error("the update is complete, but its journal " + journal +
                      " could not be removed: " + std::strerror(errno),
                  errno);
    }
  }

  // Step 1 in place: the moved groups, then the file's new end, which an entry rewritten in
  // place may push out too (its padding is written whole). The journal then writes only inside.
  void appendAndExtend(const FileHandle& fd) {
    uint64_t end = std::max(oldSize_, newEnd_);
    for (size_t i = 0; i < pieces_.size(); ++i) {
      const Piece& p = pieces_[i];
      if (isInPlace(i)) {
        end = std::max(end, p.offset + p.size);
      } else {
        writePiece(fd, fd, p, false);
      }
    }
    if (end == oldSize_ && inPlacePieces_.size() == pieces_.size()) return;
    extendTo(fd, end);
    if (!syncFile(fd)) throwSystemError("cannot write " + path_, errno, path_);
  }

  static inline const SourceTree noTree_{};
  const SourceTree& tree_;
  const std::string path_;
  const UpdateOptions& options_;
  PackEvents& events_;
  EditResult result_;
  uint64_t oldSize_ = 0;
  uint64_t newEnd_ = 0;  // the end of the appended groups, in bytes
  std::vector<Change> changes_;
  std::vector<Piece> pieces_;
  std::vector<size_t> inPlacePieces_;
  std::vector<std::pair<int32_t, uint32_t>> movedGroups_;
  std::vector<std::pair<int32_t, uint32_t>> named_;  // the changed entries, sorted
  const std::vector<std::string>* members_ = nullptr;
};

}  // namespace

EditResult updateArchive(const SourceTree& tree, const std::string& archivePath,
                         const UpdateOptions& options, PackEvents& events) {
  return Update(tree, archivePath, options, events).run();
}

EditResult deleteEntries(const std::vector<std::string>& members, const std::string& archivePath,
                         const UpdateOptions& options, PackEvents& events) {
  return Update(members, archivePath, options, events).run();
}

RecoverResult recoverArchive(const std::string& archivePath, const LockWait& wait) {
  const LockedArchive archive = lockArchive(archivePath, false, wait);
  // The one note the recovery makes is its outcome.
  struct Kept : PackEvents {
    std::string text;
    void note(const std::string& t) override { text = t; }
  } kept;
  const JournalState found = recoverFirst(archive, kept);
  return {found == JournalState::Absent     ? Recovery::None
          : found == JournalState::Complete ? Recovery::Completed
                                            : Recovery::Discarded,
          kept.text};
}
