#include "pack/journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "pack/durable_io.h"

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

std::string journalPath(const std::string& realPath) { return realPath + ".update-journal"; }

bool writeJournal(const std::string& path, const std::vector<JournalRecord>& records) {
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
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool ok = writeAllAt(fd, bytes.data(), bytes.size(), 0) && syncFile(fd);
  const int saved = errno;
  close(fd);
  errno = saved;
  return ok && syncFolder(folderOf(path));
}

bool readJournal(const std::string& path, JournalState& state,
                 std::vector<JournalRecord>& records) {
  records.clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    state = JournalState::Absent;
    return errno == ENOENT;
  }
  std::vector<uint8_t> bytes;
  uint8_t chunk[1 << 16];
  for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int saved = errno;
      close(fd);
      errno = saved;
      return false;
    }
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  close(fd);
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

bool applyJournal(int archive, const std::vector<JournalRecord>& records) {
  for (const JournalRecord& r : records) {
    if (!writeAllAt(archive, r.bytes.data(), r.bytes.size(), r.offset)) return false;
  }
  return syncFile(archive);
}

bool recoverJournal(int archive, const std::string& realPath, JournalState& found,
                    std::string& error) {
  const std::string path = journalPath(realPath);
  std::vector<JournalRecord> records;
  if (!readJournal(path, found, records)) {
    error = "cannot read the update journal " + path + ": " + std::strerror(errno);
    return false;
  }
  if (found == JournalState::Complete && !applyJournal(archive, records)) {
    error = "cannot complete the update journal " + path + " into " + realPath + ": " +
            std::strerror(errno);
    return false;
  }
  if (found != JournalState::Absent && (unlink(path.c_str()) != 0 || !syncFolder(folderOf(path)))) {
    error = "cannot remove the update journal " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}
