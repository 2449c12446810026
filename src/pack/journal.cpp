#include "pack/journal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "archive/format.h"
#include "archive/index.h"
#include "platform/error.h"
#include "reading/archive.h"

namespace {

constexpr char kMagic[8] = {'A', 'R', 'C', 'H', 'J', 'R', 'N', 'L'};
constexpr char kEnd[8] = {'J', 'R', 'N', 'L', 'D', 'O', 'N', 'E'};
constexpr uint32_t kVersion = 2;
// The old index is checked in units of 512 bytes, the least a disk writes whole: a power cut
// while the new index is written leaves each unit old or new.
constexpr uint32_t kUnit = 512;
constexpr uint32_t kIndexUnits = kArchiveIndexSize / kUnit;
constexpr uint64_t kHeaderSize = 16 + 24 + 8 * kIndexUnits;
constexpr uint64_t kTrailerSize = 16;
constexpr uint64_t kRecordHeaderSize = 12;

uint64_t fnv1a(const uint8_t* data, size_t size, uint64_t hash = 0xCBF29CE484222325ULL) {
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 0x100000001B3ULL;
  return hash;
}

void putLittle(std::vector<uint8_t>& out, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
uint64_t getLittle(const uint8_t* p, int width) {
  uint64_t value = 0;
  for (int i = 0; i < width; ++i) value |= uint64_t{p[i]} << (8 * i);
  return value;
}

// The archive a journal belongs to.
struct Identity {
  uint64_t device = 0, inode = 0, size = 0;
  std::vector<uint64_t> indexSums;  // one per unit of the old index
};

// A journal file, read a piece at a time: it may be as large as the archive.
struct Journal {
  FileHandle file;
  std::string path;
  uint64_t size = 0;
  Identity identity;
  uint64_t count = 0;
  uint64_t lastOffset = 0;
  std::vector<uint8_t> newIndex;  // the last record's bytes, when it is an index's size
};

}  // namespace

uint64_t journalSizeCap(uint64_t archiveSize) {
  // The records rewrite the index and the sectors of entries rewritten in place. Those never
  // overlap (entries that share sectors are moved instead), lie inside the file (it is extended
  // to its new end before the journal is written) and are a sector each at least.
  return kHeaderSize + archiveSize + kRecordHeaderSize * (archiveSize / kSectorSize + 1) +
         kTrailerSize;
}

namespace {

// Pieces are copied and checked through a buffer of this size.
constexpr size_t kChunk = 1 << 20;

// The journal written front to back, its checksum kept as it goes.
class JournalWriter {
 public:
  explicit JournalWriter(const FileHandle& file) : file_(file) {}
  bool put(const uint8_t* data, size_t size) {
    hash_ = fnv1a(data, size, hash_);
    const bool ok = writeAllAt(file_, data, size, at_);
    at_ += size;
    return ok;
  }
  bool put(const std::vector<uint8_t>& bytes) { return put(bytes.data(), bytes.size()); }
  // `size` bytes of `from` at `offset`, zeros past its end.
  bool copy(const FileHandle& from, uint64_t offset, uint64_t size, std::vector<uint8_t>& buffer) {
    for (uint64_t done = 0; done < size;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, buffer.size()));
      errno = 0;
      const size_t got = readAt(from, offset + done, buffer.data(), n);
      if (got < n && errno != 0) return false;
      std::memset(buffer.data() + got, 0, n - got);
      if (!put(buffer.data(), n)) return false;
      done += n;
    }
    return true;
  }
  bool zeros(uint64_t size, std::vector<uint8_t>& buffer) {
    std::fill(buffer.begin(), buffer.end(), 0);
    for (uint64_t done = 0; done < size;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, buffer.size()));
      if (!put(buffer.data(), n)) return false;
      done += n;
    }
    return true;
  }
  uint64_t hash() const { return hash_; }

 private:
  const FileHandle& file_;
  uint64_t at_ = 0;
  uint64_t hash_ = 0xCBF29CE484222325ULL;
};

bool writeRecords(JournalWriter& out, const FileHandle& archive, const FileInfo& info,
                  const std::vector<uint8_t>& oldIndex, const std::vector<JournalRecord>& records) {
  std::vector<uint8_t> header(kMagic, kMagic + 8);
  putLittle(header, kVersion, 4);
  putLittle(header, records.size(), 4);
  for (const uint64_t value : {info.device, info.inode, info.size}) putLittle(header, value, 8);
  for (uint32_t u = 0; u < kIndexUnits; ++u) {
    putLittle(header, fnv1a(oldIndex.data() + uint64_t{u} * kUnit, kUnit), 8);
  }
  if (!out.put(header)) return false;
  std::vector<uint8_t> buffer(kChunk);
  for (const JournalRecord& r : records) {
    std::vector<uint8_t> fields;
    putLittle(fields, r.offset, 8);
    putLittle(fields, r.size(), 4);
    if (!out.put(fields) || !out.put(r.bytes.data(), r.bytes.size()) ||
        !out.copy(archive, r.from, r.copied, buffer) || !out.zeros(r.zeros, buffer)) {
      return false;
    }
  }
  std::vector<uint8_t> trailer;
  putLittle(trailer, out.hash(), 8);
  trailer.insert(trailer.end(), kEnd, kEnd + 8);
  return out.put(trailer);
}

}  // namespace

void writeJournal(const std::string& path, const FileHandle& archive,
                  const std::vector<uint8_t>& oldIndex, const std::vector<JournalRecord>& records) {
  const std::optional<FileInfo> info = fileInfo(archive);
  if (!info)
    throwSystemError("cannot read the archive to write its update journal " + path, errno, path);
  // A new file: never through a link, never over what another left there.
  FileHandle file = openFile(path, OpenMode::CreateNew);
  if (!file.valid()) throwSystemError("cannot write the update journal " + path, errno, path);
  JournalWriter out(file);
  bool ok = writeRecords(out, archive, *info, oldIndex, records) && syncFile(file);
  const int saved = errno;
  ok = file.close() && ok;
  if (ok && syncFolder(folderOf(path))) return;
  const int error = ok ? errno : saved;
  removeFile(path);
  throwSystemError("cannot write the update journal " + path, error, path);
}

namespace {

void readOrThrow(const Journal& journal, uint64_t offset, uint8_t* buffer, size_t size) {
  errno = 0;
  if (readAt(journal.file, offset, buffer, size) != size) {
    throwSystemError("cannot read the update journal " + journal.path, errno != 0 ? errno : EIO,
                     journal.path);
  }
}

// Calls visit(offset, length, where its bytes lie in the journal) for each record; false when one
// runs into the trailer.
template <typename Visit>
bool forEachRecord(const Journal& journal, Visit visit) {
  const uint64_t end = journal.size - kTrailerSize;
  uint64_t at = kHeaderSize;
  for (uint64_t n = 0; n < journal.count; ++n) {
    uint8_t fields[kRecordHeaderSize];
    if (end - at < kRecordHeaderSize) return false;
    readOrThrow(journal, at, fields, sizeof fields);
    const uint64_t offset = getLittle(fields, 8);
    const uint64_t length = getLittle(fields + 8, 4);
    at += kRecordHeaderSize;
    if (end - at < length) return false;
    visit(offset, length, at, n + 1 == journal.count);
    at += length;
  }
  return at == end;
}

// Whether the journal ends with its checksum and end mark, and its records fill it exactly; reads
// its identity, and the last record when it has an index's size.
JournalState checkJournal(Journal& journal) {
  const uint64_t size = journal.size;
  if (size < kHeaderSize + kTrailerSize) return JournalState::Incomplete;
  std::vector<uint8_t> header(kHeaderSize);
  uint8_t trailer[kTrailerSize];
  readOrThrow(journal, 0, header.data(), header.size());
  readOrThrow(journal, size - kTrailerSize, trailer, sizeof trailer);
  if (std::memcmp(header.data(), kMagic, 8) != 0 || getLittle(header.data() + 8, 4) != kVersion ||
      std::memcmp(trailer + 8, kEnd, 8) != 0) {
    return JournalState::Incomplete;
  }
  uint64_t hash = 0xCBF29CE484222325ULL;
  std::vector<uint8_t> chunk(static_cast<size_t>(std::min<uint64_t>(size, 1 << 20)));
  for (uint64_t at = 0; at < size - kTrailerSize;) {
    const size_t n =
        static_cast<size_t>(std::min<uint64_t>(size - kTrailerSize - at, chunk.size()));
    readOrThrow(journal, at, chunk.data(), n);
    hash = fnv1a(chunk.data(), n, hash);
    at += n;
  }
  if (getLittle(trailer, 8) != hash) return JournalState::Incomplete;
  Identity& id = journal.identity;
  id.device = getLittle(header.data() + 16, 8);
  id.inode = getLittle(header.data() + 24, 8);
  id.size = getLittle(header.data() + 32, 8);
  for (uint32_t u = 0; u < kIndexUnits; ++u)
    id.indexSums.push_back(getLittle(&header[40 + 8 * u], 8));
  journal.count = getLittle(header.data() + 12, 4);
  const bool whole =
      forEachRecord(journal, [&](uint64_t offset, uint64_t length, uint64_t at, bool last) {
        if (!last) return;
        journal.lastOffset = offset;
        if (length != kArchiveIndexSize) return;
        journal.newIndex.resize(kArchiveIndexSize);
        readOrThrow(journal, at, journal.newIndex.data(), kArchiveIndexSize);
      });
  return whole ? JournalState::Complete : JournalState::Incomplete;
}

// Opens the journal at `path`: only a regular file, not through a link, not blocking on a FIFO,
// and nothing past `cap` bytes.
JournalState openJournal(const std::string& path, uint64_t cap, Journal& journal) {
  journal.path = path;
  journal.file = openFile(path, OpenMode::ReadNoFollow);
  if (!journal.file.valid() && errno == ENOENT) return JournalState::Absent;
  if (!journal.file.valid() && errno == ELOOP) return JournalState::NotAFile;
  const std::optional<FileInfo> info = journal.file.valid() ? fileInfo(journal.file) : std::nullopt;
  if (!info) throwSystemError("cannot read the update journal " + path, errno, path);
  if (!info->regular) return JournalState::NotAFile;
  if (info->size > cap) return JournalState::TooLarge;
  journal.size = info->size;
  return checkJournal(journal);
}

using Extent = std::pair<uint64_t, uint64_t>;  // bytes, end exclusive

// The bytes the index gives entries, merged and in order: each entry of a group starts where the
// one before it ends, as the lookup routines walk it.
std::vector<Extent> entryExtents(const IndexEditor& index) {
  std::vector<Extent> merged;
  // Merged category by category: categories may share their tables, and a hostile index could
  // otherwise make millions of extents at once.
  for (int32_t c = 0; c <= index.highestCategory(); ++c) {
    if (!index.tablesInside(c)) continue;
    std::vector<Extent> extents = std::move(merged);
    for (uint32_t e = 0; e < index.entryCount(c); ++e) {
      const uint64_t start = index.entrySector(c, e) * kSectorSize;
      const uint64_t sectors = entrySectors(index.entryWord(c, e));
      if (sectors > 0) extents.emplace_back(start, start + sectors * kSectorSize);
    }
    std::sort(extents.begin(), extents.end());
    merged.clear();
    for (const Extent& e : extents) {
      if (!merged.empty() && e.first <= merged.back().second) {
        merged.back().second = std::max(merged.back().second, e.second);
      } else {
        merged.push_back(e);
      }
    }
  }
  return merged;
}

// Whether every record lies inside the archive's recorded size and inside the index or sectors
// the journal's new index (its last record, the whole index) gives entries: nothing else is
// an update's to write.
bool recordsInBounds(const Journal& journal) {
  if (journal.lastOffset != kArchiveIndexOffset || journal.newIndex.empty()) return false;
  std::vector<Extent> allowed = entryExtents(IndexEditor(journal.newIndex));
  allowed.insert(allowed.begin(), {kArchiveIndexOffset, kMinimumArchiveSize});  // before sector 500
  const uint64_t size = journal.identity.size;
  bool inside = true;
  forEachRecord(journal, [&](uint64_t offset, uint64_t length, uint64_t, bool) {
    if (offset > size || length > size - offset) {
      inside = false;
      return;
    }
    auto after = std::upper_bound(allowed.begin(), allowed.end(), Extent{offset, UINT64_MAX});
    inside = inside && after != allowed.begin() && offset + length <= (--after)->second;
  });
  return inside;
}

// Whether `archive` is the file the journal was written for: the same device and inode, the size
// the journal recorded (the appended groups and any growth were written before it, and applying
// it writes only inside that size), and an index that reads, unit by unit, as the old one or the
// new one (the last record, written after the others): a stop or a power cut while the journal
// is applied leaves it partly new. A file copied over the archive's name keeps the inode, but not
// its size and index.
bool belongsTo(const Journal& journal, const FileHandle& archive, const FileInfo& info) {
  const Identity& id = journal.identity;
  if (info.device != id.device || info.inode != id.inode || info.size != id.size) return false;
  std::vector<uint8_t> index(kArchiveIndexSize);
  if (readAt(archive, kArchiveIndexOffset, index.data(), index.size()) != index.size())
    return false;
  const std::vector<uint8_t>& newIndex = journal.newIndex;
  for (uint32_t u = 0; u < kIndexUnits; ++u) {
    const size_t at = size_t{u} * kUnit;
    if (fnv1a(index.data() + at, kUnit) != id.indexSums[u] &&
        std::memcmp(index.data() + at, newIndex.data() + at, kUnit) != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

namespace {

void applyRecords(const Journal& journal, const FileHandle& archive, const std::string& what) {
  std::vector<uint8_t> chunk;
  forEachRecord(journal, [&](uint64_t offset, uint64_t length, uint64_t at, bool) {
    chunk.resize(static_cast<size_t>(std::min<uint64_t>(length, 1 << 20)));
    for (uint64_t done = 0; done < length;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(length - done, chunk.size()));
      readOrThrow(journal, at + done, chunk.data(), n);
      if (!writeAllAt(archive, chunk.data(), n, offset + done)) throwSystemError(what);
      done += n;
    }
  });
  if (!syncFile(archive)) throwSystemError(what);
}

}  // namespace

void applyJournal(const FileHandle& archive, const std::string& path, const std::string& what) {
  Journal journal;
  if (openJournal(path, UINT64_MAX, journal) != JournalState::Complete) {
    throw Error(what + ": its journal " + path + " no longer reads whole", EIO);
  }
  applyRecords(journal, archive, what);
}

JournalState recoverJournal(const FileHandle& archive, const std::string& realPath) {
  const std::string path = journalPath(realPath);
  const std::optional<FileInfo> info = fileInfo(archive);
  if (!info) throwSystemError("cannot read " + realPath, errno, realPath);
  Journal journal;
  JournalState found = openJournal(path, journalSizeCap(info->size), journal);
  if (found == JournalState::Complete && !recordsInBounds(journal)) {
    found = JournalState::OutOfBounds;
  }
  if (found == JournalState::Complete) {
    if (!belongsTo(journal, archive, *info)) {
      throw Error("the update journal " + path + " belongs to another file than " + realPath +
                  " (its device, inode, size or index differ) and was left alone; " +
                  "if the archive was replaced on purpose, move the journal away or delete it");
    }
    applyRecords(journal, archive,
                 "cannot complete the update journal " + path + " into " + realPath);
  }
  journal.file.close();  // Windows removes no file that is open
  if (found != JournalState::Absent && (!removeFile(path) || !syncFolder(folderOf(path)))) {
    throwSystemError("cannot remove the update journal " + path, errno, path);
  }
  return found;
}
