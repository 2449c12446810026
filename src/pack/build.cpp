#include "pack/build.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "archive/index.h"
#include "pack/replace_file.h"

namespace {

struct Failure {
  std::string message;
};

void writeAt(Replacement& file, uint64_t offset, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = pwrite(file.fd(), data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw Failure{"cannot write " + file.target() + ": " + std::strerror(errno)};
    data += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
}

void build(const SourceTree& tree, Replacement& file, StoreMethod method) {
  uint64_t sector = 0;  // next free data sector, counted from sector 500
  std::vector<CategoryTable> tables;
  int32_t highest = 34;  // the last model category
  const std::vector<uint8_t> padding(kSectorSize);
  std::vector<uint8_t> data;
  std::string error;
  for (const auto& [category, files] : tree.files) {
    highest = std::max(highest, category);
    CategoryTable table{category, {}, {}};
    const int32_t count = files.empty() ? 0 : files.rbegin()->first + 1;
    for (int32_t e = 0; e < count; ++e) {
      if (e % kEntriesPerGroup == 0) {
        if (sector > kMaxGroupStartSector) {
          throw Failure{"the archive would exceed the 8 GiB the index can address"};
        }
        table.groupStarts.push_back(static_cast<uint32_t>(sector));
      }
      const auto found = files.find(e);
      if (found == files.end()) {
        table.entryWords.push_back(plainEntryWord(0));  // a gap: length 0, no entry
        continue;
      }
      if (!readWholeFile(found->second, data, error)) throw Failure{error};
      const std::optional<StoredEntry> stored = storeEntry(data, method);
      if (!stored) {
        throw Failure{found->second.string() + ": " + std::to_string(data.size()) +
                      " bytes do not fit the chosen storage"};
      }
      const uint64_t offset = kDataStart + sector * kSectorSize;
      writeAt(file, offset, stored->bytes.data(), stored->bytes.size());
      const uint32_t sectors = entrySectors(stored->word);
      const size_t tail = sectors * size_t{kSectorSize} - stored->bytes.size();
      writeAt(file, offset + stored->bytes.size(), padding.data(), tail);
      sector += sectors;
      table.entryWords.push_back(stored->word);
    }
    tables.push_back(std::move(table));
  }
  const std::optional<std::vector<uint8_t>> index = buildArchiveIndex(tables, highest, error);
  if (!index) throw Failure{error};
  writeAt(file, kArchiveIndexOffset, index->data(), index->size());
  // The data area starts at sector 500 even when it is empty.
  if (sector == 0) writeAt(file, kDataStart - 1, padding.data(), 1);
}

}  // namespace

bool buildArchive(const SourceTree& tree, const std::string& archivePath, StoreMethod method,
                  std::string& error) {
  std::optional<Replacement> file = Replacement::begin(archivePath, error);
  if (!file) return false;
  try {
    build(tree, *file, method);
  } catch (const Failure& failure) {
    error = failure.message;
    return false;
  }
  return file->commit(error);
}
