#include "pack/journal.h"

#include <cerrno>
#include <cstring>

#include "platform/host_error.h"
#include "reading/archive.h"

namespace {

constexpr char kMagic[8] = {'A', 'R', 'C', 'H', 'J', 'R', 'N', 'L'};
constexpr char kEnd[8] = {'J', 'R', 'N', 'L', 'D', 'O', 'N', 'E'};
constexpr uint32_t kVersion = 1;
// A record longer than this is not one this program writes (the index is the largest).
constexpr uint64_t kMaxRecord = 1ULL << 32;

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

}  // namespace

void writeJournal(const std::string& path, const std::vector<JournalRecord>& records) {
  std::vector<uint8_t> bytes(kMagic, kMagic + 8);
  putLittle(bytes, kVersion, 4);
  putLittle(bytes, records.size(), 4);
  for (const JournalRecord& r : records) {
    putLittle(bytes, r.offset, 8);
    putLittle(bytes, r.bytes.size(), 4);
    bytes.insert(bytes.end(), r.bytes.begin(), r.bytes.end());
  }
  putLittle(bytes, fnv1a(bytes.data(), bytes.size()), 8);
  bytes.insert(bytes.end(), kEnd, kEnd + 8);
  FileHandle file = openFile(path, OpenMode::CreateWrite);
  bool ok = file.valid() && writeAllAt(file, bytes.data(), bytes.size(), 0) && syncFile(file);
  const int saved = errno;
  ok = file.close() && ok;
  if (ok && syncFolder(folderOf(path))) return;
  const int error = ok ? errno : saved;
  removeFile(path);
  throwSystemError("cannot write the update journal " + path, error);
}

namespace {

// Reads a journal; `records` are filled only when it is complete. Unreadable counts as absent
// only when it does not exist; other failures are errors (false, errno set).
bool readJournal(const std::string& path, JournalState& state,
                 std::vector<JournalRecord>& records) {
  records.clear();
  std::vector<uint8_t> bytes;
  if (!readWholeFile(path, bytes)) {
    state = JournalState::Absent;
    return errno == ENOENT;
  }
  state = JournalState::Incomplete;
  const size_t size = bytes.size();
  if (size < 32 || std::memcmp(bytes.data(), kMagic, 8) != 0 ||
      getLittle(bytes.data() + 8, 4) != kVersion ||
      std::memcmp(bytes.data() + size - 8, kEnd, 8) != 0 ||
      getLittle(bytes.data() + size - 16, 8) != fnv1a(bytes.data(), size - 16)) {
    return true;
  }
  std::vector<JournalRecord> parsed;
  size_t at = 16;
  for (uint64_t n = getLittle(bytes.data() + 12, 4); n > 0; --n) {
    if (size - 16 - at < 12) return true;
    const uint64_t offset = getLittle(bytes.data() + at, 8);
    const uint64_t length = getLittle(bytes.data() + at + 8, 4);
    at += 12;
    if (length > kMaxRecord || size - 16 - at < length) return true;
    parsed.push_back(
        {offset, std::vector<uint8_t>(bytes.begin() + static_cast<ptrdiff_t>(at),
                                      bytes.begin() + static_cast<ptrdiff_t>(at + length))});
    at += length;
  }
  if (at != size - 16) return true;
  state = JournalState::Complete;
  records = std::move(parsed);
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
  std::vector<JournalRecord> records;
  JournalState found = JournalState::Absent;
  if (!readJournal(path, found, records)) {
    throwSystemError("cannot read the update journal " + path);
  }
  if (found == JournalState::Complete) {
    applyJournal(archive, records,
                 "cannot complete the update journal " + path + " into " + realPath);
  }
  if (found != JournalState::Absent && (!removeFile(path) || !syncFolder(folderOf(path)))) {
    throwSystemError("cannot remove the update journal " + path);
  }
  return found;
}
