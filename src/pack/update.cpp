#include "pack/update.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>

#include "archive/categories.h"
#include "archive/index.h"
#include "codec/decode.h"
#include "driver/entry.h"
#include "driver/read.h"
#include "guest/session.h"
#include "pack/durable_io.h"
#include "pack/journal.h"
#include "pack/replace_file.h"

namespace {

struct Failure {
  std::string message;
};
[[noreturn]] void fail(const std::string& message) { throw Failure{message}; }
std::string reason() { return std::strerror(errno); }

using Reader = std::function<void(uint64_t offset, uint8_t* out, size_t n)>;

// The archive's real file, open and locked for the whole update: a second update refuses.
class LockedArchive {
 public:
  LockedArchive(const std::string& path, bool writable) {
    std::string error;
    const std::optional<std::string> real = resolveSymlinks(path, error);
    if (!real) fail(error);
    real_ = *real;
    // Locked, then checked to be still the file the path names: an update that renamed a new
    // archive into place meanwhile leaves this one holding the old file.
    for (int attempt = 0;; ++attempt) {
      fd_ = open(real_.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK);
      if (fd_ < 0) fail("cannot open " + path + ": " + reason());
      struct stat info {};
      if (fstat(fd_, &info) != 0) fail("cannot read " + path + ": " + reason());
      if (!S_ISREG(info.st_mode)) fail(path + " is not a regular file");
      if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) fail(path + " is being updated by another archive-pack");
        fail("cannot lock " + path + ": " + reason());
      }
      struct stat now {};
      if (stat(real_.c_str(), &now) == 0 && now.st_dev == info.st_dev &&
          now.st_ino == info.st_ino) {
        break;
      }
      close(fd_);
      if (attempt == 10) fail(path + " keeps being replaced; try again");
    }
    fcntl(fd_, F_SETFL, 0);
  }
  ~LockedArchive() { close(fd_); }
  LockedArchive(const LockedArchive&) = delete;
  LockedArchive& operator=(const LockedArchive&) = delete;

  int fd() const { return fd_; }
  const std::string& real() const { return real_; }
  uint64_t size() const {
    struct stat info {};
    return fstat(fd_, &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
  }

 private:
  std::string real_;
  int fd_ = -1;
};

// A journal left by a stopped update is dealt with before anything else, through a writable
// descriptor of its own (the lock is held on the archive's).
void recoverFirst(const LockedArchive& archive, std::vector<std::string>& notes) {
  const std::string journal = journalPath(archive.real());
  if (access(journal.c_str(), F_OK) != 0) return;
  const int fd = open(archive.real().c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) fail("cannot open " + archive.real() + " to recover its journal: " + reason());
  JournalState found = JournalState::Absent;
  std::string error;
  const bool ok = recoverJournal(fd, archive.real(), found, error);
  close(fd);
  if (!ok) fail(error);
  if (found == JournalState::Complete) {
    notes.push_back("completed the update journal " + journal + " left by a stopped update");
  } else if (found == JournalState::Incomplete) {
    notes.push_back("discarded the incomplete update journal " + journal +
                    " left by a stopped update (the archive is as it was before it)");
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

// The old archive with the pieces laid over it: what the new archive will read as.
class Overlay {
 public:
  Overlay(int archive, const std::vector<Piece>& pieces) : archive_(archive), pieces_(pieces) {}
  // Fills `n` bytes at `offset`; what lies past the end of everything reads as zeros.
  void read(uint64_t offset, uint8_t* out, size_t n) const {
    readZeroFilled(archive_, offset, out, n);
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
        readZeroFilled(archive_, p.from + at, dst, length);
      }
    }
  }

 private:
  int archive_;
  const std::vector<Piece>& pieces_;
};

// Whether extraction gives exactly `data` for the entry: a plain entry's bytes (zeros past the
// end of the file), compared a chunk at a time (a plain entry may be a gigabyte); a compressed
// entry decoded from its stored bytes in a zero-filled buffer.
bool extractsTo(const EntryDescription& d, const Reader& read, const std::vector<uint8_t>& data) {
  if (d.kind == EntryKind::Plain) {
    if (d.length != data.size()) return false;
    std::vector<uint8_t> chunk(std::min<size_t>(data.size(), 1 << 20));
    for (size_t done = 0; done < data.size(); done += chunk.size()) {
      const size_t n = std::min(chunk.size(), data.size() - done);
      read(d.offset + done, chunk.data(), n);
      if (std::memcmp(chunk.data(), data.data() + done, n) != 0) return false;
    }
    return true;
  }
  if (d.kind != EntryKind::Compressed) return false;
  std::vector<uint8_t> input(std::max<size_t>(d.inputBufferSize(), 1));
  read(d.offset, input.data(), d.stored);
  std::fill(input.begin() + d.stored, input.end(), 0);
  uint8_t* output = nullptr;
  const DecodeResult r =
      decompressEntry(input.data(), static_cast<int32_t>(d.inputBufferSize()), &output);
  const bool same = r.status == DecodeStatus::Ok && static_cast<size_t>(r.size) == data.size() &&
                    (data.empty() || std::memcmp(output, data.data(), data.size()) == 0);
  std::free(output);
  return same;
}

struct Change {
  int32_t category;
  uint32_t entry;
  std::string path;
  std::shared_ptr<std::vector<uint8_t>> data;  // the source file
  StoredEntry stored;
  uint32_t oldWord;
  bool isNew = false;
  bool wasUnsupported = false;
  bool inPlace = false;
};

struct Extent {
  uint64_t start, end;  // sectors, end exclusive
  bool overlaps(const Extent& other) const { return start < other.end && other.start < end; }
};

class Update {
 public:
  Update(const SourceTree& tree, const std::string& path, const UpdateOptions& options,
         UpdateResult& result)
      : tree_(tree), path_(path), options_(options), result_(result) {}

  void run() {
    LockedArchive archive(path_, options_.inPlace && !options_.dryRun);
    recoverFirst(archive, result_.notes);
    oldSize_ = archive.size();
    if (oldSize_ < kMinimumArchiveSize) {
      fail(path_ + ": too short to hold the archive index (0xE2000 bytes)");
    }
    std::vector<uint8_t> indexBytes(kArchiveIndexSize);
    if (readAt(archive.fd(), kArchiveIndexOffset, indexBytes.data(), kArchiveIndexSize) !=
        kArchiveIndexSize) {
      fail("cannot read the archive index of " + path_ + ": " + reason());
    }
    const IndexEditor oldIndex(indexBytes);
    for (int32_t c = 0; c <= oldIndex.highestCategory(); ++c) {
      if (!oldIndex.tablesInside(c)) {
        fail(path_ + ": the tables of category " + std::to_string(c) +
             " lie outside the index; an update cannot edit them");
      }
    }
    findChanges(archive.fd(), oldIndex);
    if (changes_.empty()) return;
    IndexEditor newIndex = oldIndex;
    plan(oldIndex, newIndex);
    verify(archive.fd(), oldIndex, newIndex);
    for (const Change& c : changes_) result_.report.push_back(reportLine(c));
    if (options_.dryRun) return;
    checkFreeSpace(archive);
    if (options_.inPlace) {
      commitInPlace(archive, newIndex);
    } else {
      commitCopy(archive, newIndex);
    }
  }

 private:
  void findChanges(int archive, const IndexEditor& index) {
    const std::unique_ptr<GuestSession> session = GuestSession::open(index.bytes().data());
    if (!session) fail("out of memory: cannot allocate the 32 MiB of guest RAM");
    std::string error;
    for (const auto& [category, files] : tree_.files) {
      for (const auto& [entry, file] : files) {
        const std::string path = entryPath(category, entry);
        const uint32_t count = index.entryCount(category);
        if (static_cast<uint32_t>(entry) >= count) {
          fail(path + ": category " + std::to_string(category) + " has " + std::to_string(count) +
               " entries in the index; adding entry " + std::to_string(entry) +
               " would need a larger entry table, which an update does not make");
        }
        const EntryAnswers answers = session->ask(category, entry);
        if (!agree(answers, index, category, static_cast<uint32_t>(entry))) {
          fail(path +
               ": the lookup routines and the index read on the host disagree about it; "
               "nothing was written");
        }
        const EntryDescription d = describeEntry(answers);
        auto data = std::make_shared<std::vector<uint8_t>>();
        if (!readWholeFile(file, *data, error)) fail(error);
        Change change{category, static_cast<uint32_t>(entry),
                      path,     data,
                      {},       index.entryWord(category, static_cast<uint32_t>(entry))};
        if (!changed(archive, d, change)) continue;
        change.stored = storage(archive, d, change);
        changes_.push_back(std::move(change));
      }
    }
  }

  // The packer edits the index with host code: its reading must be the routines' own.
  static bool agree(const EntryAnswers& a, const IndexEditor& index, int32_t category,
                    uint32_t entry) {
    const uint32_t word = index.entryWord(category, entry);
    const uint32_t plain = plainLength(word) == kNoDataLength ? 0xFFFFFFFF : plainLength(word);
    const uint32_t length = isPlainWord(word) ? plain : expandedUnits(word) * kExpandedUnit;
    const uint32_t stored = isPlainWord(word) ? plain : storedSectors(word) * kSectorSize;
    return static_cast<uint32_t>(a.length) == length && static_cast<uint32_t>(a.stored) == stored &&
           (a.plain != 0) == isPlainWord(word) &&
           static_cast<uint32_t>(a.sector) ==
               static_cast<uint32_t>(index.entrySector(category, entry));
  }

  // Whether the source file differs from what extraction gives for the entry.
  bool changed(int archive, const EntryDescription& d, Change& change) {
    change.isNew = !d.hasData();
    if (change.isNew) return true;
    const Reader read = [archive](uint64_t offset, uint8_t* out, size_t n) {
      readZeroFilled(archive, offset, out, n);
    };
    if (d.kind == EntryKind::Compressed) {
      uint8_t header[kLongHeaderSize] = {};
      read(d.offset, header, sizeof header);
      change.wasUnsupported = readCompressedHeader(header).method == CompressionMethod::Unsupported;
      if (change.wasUnsupported) return true;
    }
    return !extractsTo(d, read, *change.data);
  }

  // The new storage: the entry's own (keep), or the method asked for; new entries and entries of
  // the unsupported method take auto under keep.
  StoredEntry storage(int archive, const EntryDescription& d, const Change& change) {
    const std::vector<uint8_t>& data = *change.data;
    std::optional<StoredEntry> stored;
    const bool keep = options_.method == StoreMethod::Keep;
    if (!keep || change.isNew || change.wasUnsupported) {
      stored = storeEntry(data, keep ? StoreMethod::Auto : options_.method);
      if (!stored) {
        fail(change.path + ": " + std::to_string(data.size()) +
             " bytes do not fit the chosen storage");
      }
      return std::move(*stored);
    }
    if (d.kind == EntryKind::Plain) {
      // An empty file cannot be plain (a length of 0 means no entry): a compressed entry of
      // size 0, which still counts as keeping.
      stored = data.empty() ? storeEntry(data, StoreMethod::Stored)
                            : storeEntry(data, StoreMethod::Plain);
    } else {
      uint8_t header[kLongHeaderSize] = {};
      readZeroFilled(archive, d.offset, header, sizeof header);
      const CompressedHeader h = readCompressedHeader(header);
      stored = storeCompressed(data, h.method, h.headerSize);
    }
    if (!stored) {
      fail(change.path + ": " + std::to_string(data.size()) +
           " bytes do not fit its storage (a compressed entry holds at most 8191 sectors and " +
           "262143 units of 64 bytes, a plain one 0x3FFFFFFE bytes); use --method plain");
    }
    return std::move(*stored);
  }

  // In place or moved, group by group, and the new index.
  void plan(const IndexEditor& oldIndex, IndexEditor& newIndex) {
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
    for (int32_t category = 0; category <= oldIndex.highestCategory(); ++category) {
      const uint32_t count = oldIndex.entryCount(category);
      uint64_t sector = 0;
      for (uint32_t e = 0; e < count; ++e) {
        if (e % kEntriesPerGroup == 0) {
          sector =
              kDataBaseSector + (oldIndex.groupStartValue(category, e / kEntriesPerGroup) >> 2);
        }
        const Extent extent{sector, sector + entrySectors(oldIndex.entryWord(category, e))};
        sector = extent.end;
        if (extent.start == extent.end) continue;
        claimedEnd = std::max(claimedEnd, extent.end);
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
        return before > 0 && fits && !shared[i];
      });
      if (inPlace) {
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
    pieces_.push_back(Piece{oldIndex.entrySector(c.category, c.entry) * kSectorSize,
                            uint64_t{sectors} * kSectorSize, bytes});
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

  // Through the guest routines over the new index: every changed entry decodes to its source
  // file, every other entry of a moved group to what it was.
  void verify(int archive, const IndexEditor& oldIndex, const IndexEditor& newIndex) {
    const Overlay overlay(archive, pieces_);
    const Reader readNew = [&](uint64_t offset, uint8_t* out, size_t n) {
      overlay.read(offset, out, n);
    };
    const Reader readOld = [archive](uint64_t offset, uint8_t* out, size_t n) {
      readZeroFilled(archive, offset, out, n);
    };
    // The old answers of the unchanged entries of moved groups first (one session at a time).
    std::vector<std::pair<std::pair<int32_t, uint32_t>, EntryDescription>> moved;
    {
      const std::unique_ptr<GuestSession> session = GuestSession::open(oldIndex.bytes().data());
      if (!session) fail("out of memory: cannot allocate the 32 MiB of guest RAM");
      for (const auto& [category, group] : movedGroups_) {
        const uint32_t first = group * kEntriesPerGroup;
        const uint32_t last = std::min(first + kEntriesPerGroup, oldIndex.entryCount(category));
        for (uint32_t e = first; e < last; ++e) {
          if (isChanged(category, e)) continue;
          moved.push_back(
              {{category, e}, describeEntry(session->ask(category, static_cast<int32_t>(e)))});
        }
      }
    }
    const std::unique_ptr<GuestSession> session = GuestSession::open(newIndex.bytes().data());
    if (!session) fail("out of memory: cannot allocate the 32 MiB of guest RAM");
    for (const Change& c : changes_) {
      const EntryDescription d =
          describeEntry(session->ask(c.category, static_cast<int32_t>(c.entry)));
      if (!extractsTo(d, readNew, *c.data)) {
        fail(c.path +
             ": the new archive would not give this file back (an internal error); "
             "nothing was written");
      }
    }
    for (const auto& [key, old] : moved) {
      const EntryDescription d =
          describeEntry(session->ask(key.first, static_cast<int32_t>(key.second)));
      bool same = d.kind == old.kind && d.length == old.length && d.stored == old.stored;
      if (same && d.hasData())
        same = sameBytes(readOld, old.offset, readNew, d.offset,
                         d.kind == EntryKind::Plain ? d.length : d.stored);
      if (!same) {
        fail(entryPath(key.first, static_cast<int32_t>(key.second)) +
             ": moving its group would change it (an internal error); nothing was written");
      }
    }
  }

  static bool sameBytes(const Reader& a, uint64_t offsetA, const Reader& b, uint64_t offsetB,
                        uint64_t size) {
    std::vector<uint8_t> x(1 << 20), y(1 << 20);
    for (uint64_t done = 0; done < size;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, x.size()));
      a(offsetA + done, x.data(), n);
      b(offsetB + done, y.data(), n);
      if (std::memcmp(x.data(), y.data(), n) != 0) return false;
      done += n;
    }
    return true;
  }

  bool isChanged(int32_t category, uint32_t entry) const {
    return std::any_of(changes_.begin(), changes_.end(),
                       [&](const Change& c) { return c.category == category && c.entry == entry; });
  }

  static std::string reportLine(const Change& c) {
    std::string line = c.path + ": ";
    if (c.isNew) line += "new entry, ";
    if (c.wasUnsupported) line += "replaces an entry of the unsupported method, ";
    return line + (c.inPlace ? "in place" : "moved with its group");
  }

  // The new archive needs room before a byte is written: a failure half-way would leave a
  // temporary file to clean up and nothing gained.
  void checkFreeSpace(const LockedArchive& archive) {
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
    uint64_t free = 0;
    if (options_.freeSpace) {
      free = *options_.freeSpace;
    } else {
      struct statvfs fs {};
      if (statvfs(folderOf(archive.real()).c_str(), &fs) != 0) return;  // not known: try
      free = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    }
    if (free < need) {
      fail("not enough free space beside " + path_ + " for the update: it needs " +
           std::to_string(need) + " bytes, " + std::to_string(free) + " are free" +
           (options_.inPlace ? "" : " (--in-place needs only the appended groups)"));
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
  void writePiece(int from, int to, const Piece& p, bool whole) {
    bool ok = true;
    if (p.data) {
      const uint64_t n = std::min<uint64_t>(p.size, p.data->size());
      ok = writeAllAt(to, p.data->data(), static_cast<size_t>(n), p.offset) &&
           (!whole || writeZerosAt(to, p.size - n, p.offset + n));
    } else if (p.from < oldSize_) {
      ok = copyRange(from, p.from, to, p.offset, std::min(p.size, oldSize_ - p.from));
    }
    if (!ok) fail("cannot write " + path_ + ": " + reason());
  }

  // The file reaches the end of the last appended group.
  void extendTo(int fd, uint64_t end) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || (static_cast<uint64_t>(info.st_size) < end &&
                                  ftruncate(fd, static_cast<off_t>(end)) != 0)) {
      fail("cannot write " + path_ + ": " + reason());
    }
  }

  // The default: a new archive written beside the old one, flushed, and renamed over it.
  void commitCopy(const LockedArchive& archive, const IndexEditor& newIndex) {
    std::string error;
    std::optional<Replacement> file = Replacement::begin(path_, error);
    if (!file) fail(error);
    if (!file->copyFrom(archive.fd(), 0, static_cast<off_t>(oldSize_), error)) fail(error);
    for (size_t i = 0; i < pieces_.size(); ++i) {
      writePiece(archive.fd(), file->fd(), pieces_[i], isInPlace(i));
    }
    extendTo(file->fd(), newEnd_);
    if (!writeAllAt(file->fd(), newIndex.bytes().data(), kArchiveIndexSize, kArchiveIndexOffset)) {
      fail("cannot write " + path_ + ": " + reason());
    }
    if (!file->commit(error)) fail(error);
  }

  // --in-place. The order of the flushes is what makes a stop at any moment safe:
  //  1. The moved groups are appended past everything the old index claims and flushed. A stop
  //     here leaves the old archive whole: nothing it uses was touched.
  //  2. The journal (the in-place sectors and the new index, with a checksum) is written and
  //     flushed with its folder. A stop before it is complete leaves an incomplete journal, which
  //     the next contact discards: the old archive is still whole. Once it is complete, the data
  //     it points at (step 1) is already on disk.
  //  3. The journal is applied to the archive and flushed. A stop here leaves a complete journal,
  //     which the next contact applies again (writing the same bytes twice is harmless).
  //  4. The journal is removed.
  void commitInPlace(const LockedArchive& archive, const IndexEditor& newIndex) {
    const int fd = archive.fd();
    std::vector<JournalRecord> records;
    bool appended = false;
    for (size_t i = 0; i < pieces_.size(); ++i) {
      const Piece& p = pieces_[i];
      if (isInPlace(i)) {
        std::vector<uint8_t> bytes(p.size, 0);
        std::copy(p.data->begin(), p.data->end(), bytes.begin());
        records.push_back({p.offset, std::move(bytes)});
      } else {
        writePiece(fd, fd, p, false);
        appended = true;
      }
    }
    if (appended) {
      extendTo(fd, newEnd_);
      if (!syncFile(fd)) fail("cannot write " + path_ + ": " + reason());
    }
    records.push_back({kArchiveIndexOffset, newIndex.bytes()});
    const std::string journal = journalPath(archive.real());
    if (!writeJournal(journal, records)) {
      const std::string why = reason();
      unlink(journal.c_str());
      fail("cannot write the update journal " + journal + ": " + why);
    }
    if (!applyJournal(fd, records)) {
      fail("cannot write " + path_ + ": " + reason() + "; its journal " + journal +
           " completes the update (archive-pack --recover " + path_ + ")");
    }
    if (unlink(journal.c_str()) != 0 || !syncFolder(folderOf(journal))) {
      fail("the update is complete, but its journal " + journal +
           " could not be removed: " + reason());
    }
  }

  const SourceTree& tree_;
  const std::string path_;
  const UpdateOptions& options_;
  UpdateResult& result_;
  uint64_t oldSize_ = 0;
  uint64_t newEnd_ = 0;  // the end of the appended groups, in bytes
  std::vector<Change> changes_;
  std::vector<Piece> pieces_;
  std::vector<size_t> inPlacePieces_;
  std::vector<std::pair<int32_t, uint32_t>> movedGroups_;
};

}  // namespace

bool updateArchive(const SourceTree& tree, const std::string& archivePath,
                   const UpdateOptions& options, UpdateResult& result, std::string& error) {
  try {
    Update(tree, archivePath, options, result).run();
  } catch (const Failure& failure) {
    error = failure.message;
    return false;
  }
  return true;
}

bool recoverArchive(const std::string& archivePath, std::string& note, std::string& error) {
  try {
    LockedArchive archive(archivePath, false);
    std::vector<std::string> notes;
    recoverFirst(archive, notes);
    note = notes.empty() ? "" : notes.front();
  } catch (const Failure& failure) {
    error = failure.message;
    return false;
  }
  return true;
}
