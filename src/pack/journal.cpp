#include "pack/journal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "archive/format.h"
#include "archive/index.h"
#include "platform/host_error.h"
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

struct Journal {
  Identity identity;
  std::vector<JournalRecord> records;
};

}  // namespace

uint64_t journalSizeCap(uint64_t archiveSize) {
  // The records rewrite the index and the sectors of entries rewritten in place. Those never
  // overlap (entries that share sectors are moved instead), lie inside the file (it is extended
  // to its new end before the journal is written) and are a sector each at least.
  return kHeaderSize + archiveSize + kRecordHeaderSize * (archiveSize / kSectorSize + 1) +
         kTrailerSize;
}

void writeJournal(const std::string& path, const FileHandle& archive,
                  const std::vector<uint8_t>& oldIndex, const std::vector<JournalRecord>& records) {
  const std::optional<FileInfo> info = fileInfo(archive);
  if (!info) throwSystemError("cannot read the archive to write its update journal " + path);
  std::vector<uint8_t> bytes(kMagic, kMagic + 8);
  putLittle(bytes, kVersion, 4);
  putLittle(bytes, records.size(), 4);
  for (const uint64_t value : {info->device, info->inode, info->size}) putLittle(bytes, value, 8);
  for (uint32_t u = 0; u < kIndexUnits; ++u) {
    putLittle(bytes, fnv1a(oldIndex.data() + uint64_t{u} * kUnit, kUnit), 8);
  }
  for (const JournalRecord& r : records) {
    putLittle(bytes, r.offset, 8);
    putLittle(bytes, r.bytes.size(), 4);
    bytes.insert(bytes.end(), r.bytes.begin(), r.bytes.end());
  }
  putLittle(bytes, fnv1a(bytes.data(), bytes.size()), 8);
  bytes.insert(bytes.end(), kEnd, kEnd + 8);
  // A new file: never through a link, never over what another left there.
  FileHandle file = openFile(path, OpenMode::CreateNew);
  if (!file.valid()) throwSystemError("cannot write the update journal " + path);
  bool ok = writeAllAt(file, bytes.data(), bytes.size(), 0) && syncFile(file);
  const int saved = errno;
  ok = file.close() && ok;
  if (ok && syncFolder(folderOf(path))) return;
  const int error = ok ? errno : saved;
  removeFile(path);
  throwSystemError("cannot write the update journal " + path, error);
}

namespace {

// A complete journal's fields, or Incomplete.
JournalState parseJournal(const std::vector<uint8_t>& bytes, Journal& journal) {
  const size_t size = bytes.size();
  if (size < kHeaderSize + kTrailerSize || std::memcmp(bytes.data(), kMagic, 8) != 0 ||
      getLittle(bytes.data() + 8, 4) != kVersion ||
      std::memcmp(bytes.data() + size - 8, kEnd, 8) != 0 ||
      getLittle(bytes.data() + size - 16, 8) != fnv1a(bytes.data(), size - 16)) {
    return JournalState::Incomplete;
  }
  Identity& id = journal.identity;
  id.device = getLittle(bytes.data() + 16, 8);
  id.inode = getLittle(bytes.data() + 24, 8);
  id.size = getLittle(bytes.data() + 32, 8);
  for (uint32_t u = 0; u < kIndexUnits; ++u)
    id.indexSums.push_back(getLittle(&bytes[40 + 8 * u], 8));
  const size_t end = size - kTrailerSize;
  size_t at = kHeaderSize;
  for (uint64_t n = getLittle(bytes.data() + 12, 4); n > 0; --n) {
    if (end - at < kRecordHeaderSize) return JournalState::Incomplete;
    const uint64_t offset = getLittle(bytes.data() + at, 8);
    const uint64_t length = getLittle(bytes.data() + at + 8, 4);
    at += kRecordHeaderSize;
    if (end - at < length) return JournalState::Incomplete;
    const auto from = bytes.begin() + static_cast<ptrdiff_t>(at);
    journal.records.push_back(
        {offset, std::vector<uint8_t>(from, from + static_cast<ptrdiff_t>(length))});
    at += length;
  }
  return at == end ? JournalState::Complete : JournalState::Incomplete;
}

// Reads the journal at `path`: only a regular file, not through a link, not blocking on a FIFO,
// and nothing past `cap` bytes.
JournalState readJournal(const std::string& path, uint64_t cap, Journal& journal) {
  const FileHandle file = openFile(path, OpenMode::ReadNoFollow);
  if (!file.valid() && errno == ENOENT) return JournalState::Absent;
  if (!file.valid() && errno == ELOOP) return JournalState::NotAFile;
  const std::optional<FileInfo> info = file.valid() ? fileInfo(file) : std::nullopt;
  if (!info) throwSystemError("cannot read the update journal " + path);
  if (!info->regular) return JournalState::NotAFile;
  if (info->size > cap) return JournalState::TooLarge;
  std::vector<uint8_t> bytes(info->size);
  errno = 0;
  bytes.resize(readAt(file, 0, bytes.data(), bytes.size()));
  if (errno != 0) throwSystemError("cannot read the update journal " + path);
  return parseJournal(bytes, journal);
}

using Extent = std::pair<uint64_t, uint64_t>;  // bytes, end exclusive

// The bytes the index gives entries, merged and in order: each entry of a group starts where the
// one before it ends, as the lookup routines walk it.
std::vector<Extent> entryExtents(const IndexEditor& index) {
  std::vector<Extent> extents;
  for (int32_t c = 0; c <= index.highestCategory(); ++c) {
    if (!index.tablesInside(c)) continue;
    for (uint32_t e = 0; e < index.entryCount(c); ++e) {
      const uint64_t start = index.entrySector(c, e) * kSectorSize;
      const uint64_t sectors = entrySectors(index.entryWord(c, e));
      if (sectors > 0) extents.emplace_back(start, start + sectors * kSectorSize);
    }
  }
  std::sort(extents.begin(), extents.end());
  std::vector<Extent> merged;
  for (const Extent& e : extents) {
    if (!merged.empty() && e.first <= merged.back().second) {
      merged.back().second = std::max(merged.back().second, e.second);
    } else {
      merged.push_back(e);
    }
  }
  return merged;
}

// Whether every record lies inside the archive's recorded size and inside the index or sectors
// the journal's new index (its last record, the whole index) gives entries: nothing else is
// an update's to write.
bool recordsInBounds(const Journal& journal) {
  const std::vector<JournalRecord>& records = journal.records;
  if (records.empty() || records.back().offset != kArchiveIndexOffset ||
      records.back().bytes.size() != kArchiveIndexSize) {
    return false;
  }
  std::vector<Extent> allowed = entryExtents(IndexEditor(records.back().bytes));
  allowed.insert(allowed.begin(), {kArchiveIndexOffset, kMinimumArchiveSize});  // before sector 500
  const uint64_t size = journal.identity.size;
  return std::all_of(records.begin(), records.end(), [&](const JournalRecord& r) {
    if (r.offset > size || r.bytes.size() > size - r.offset) return false;
    const uint64_t end = r.offset + r.bytes.size();
    auto after = std::upper_bound(allowed.begin(), allowed.end(), Extent{r.offset, UINT64_MAX});
    return after != allowed.begin() && end <= (--after)->second;
  });
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
  const std::vector<uint8_t>& newIndex = journal.records.back().bytes;
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

void applyJournal(const FileHandle& archive, const std::vector<JournalRecord>& records,
                  const std::string& what) {
  for (const JournalRecord& r : records) {
    if (!writeAllAt(archive, r.bytes.data(), r.bytes.size(), r.offset)) throwSystemError(what);
  }
  if (!syncFile(archive)) throwSystemError(what);
}

JournalState recoverJournal(const FileHandle& archive, const std::string& realPath) {
  const std::string path = journalPath(realPath);
  const std::optional<FileInfo> info = fileInfo(archive);
  if (!info) throwSystemError("cannot read " + realPath);
  Journal journal;
  JournalState found = readJournal(path, journalSizeCap(info->size), journal);
  if (found == JournalState::Complete && !recordsInBounds(journal)) {
    found = JournalState::OutOfBounds;
  }
  if (found == JournalState::Complete) {
    if (!belongsTo(journal, archive, *info)) {
      throw HostError("the update journal " + path + " belongs to another file than " + realPath +
                      " (its device, inode, size or index differ) and was left alone; " +
                      "if the archive was replaced on purpose, move the journal away or delete it");
    }
    applyJournal(archive, journal.records,
                 "cannot complete the update journal " + path + " into " + realPath);
  }
  if (found != JournalState::Absent && (!removeFile(path) || !syncFolder(folderOf(path)))) {
    throwSystemError("cannot remove the update journal " + path);
  }
  return found;
}
