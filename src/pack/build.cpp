#include "pack/build.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "archive/index.h"
#include "pack/replace_file.h"
#include "platform/error.h"
#include "platform/file.h"

namespace {

void writeAt(Replacement& file, uint64_t offset, const uint8_t* data, size_t size) {
  if (!writeAllAt(file.file(), data, size, offset))
    throwSystemError("cannot write " + file.target(), errno, file.target());
}

// An entry stored as `method` asks (Plain for an empty file is a compressed entry of size 0),
// written whole with its last sector padded. Returns its EntryWord.
uint32_t storeAt(const SourceEntry& source, StorageMethod method, Replacement& file,
                 uint64_t offset, PackSummary& summary) {
  const std::shared_ptr<const std::vector<uint8_t>> held =
      readSourceEntry(source, largestSourceFile(method));
  const std::vector<uint8_t>& data = *held;
  const std::optional<StoredEntry> stored = storeEntry(data, method);
  if (!stored) {
    throw Error(source.shownName() + ": " + std::to_string(data.size()) +
                " bytes do not fit the chosen storage");
  }
  writeAt(file, offset, stored->bytes.data(), stored->bytes.size());
  const std::vector<uint8_t> padding(sectorsFor(stored->bytes.size()) * kSectorSize -
                                     stored->bytes.size());
  writeAt(file, offset + stored->bytes.size(), padding.data(), padding.size());
  summary.add(data.size(), stored->word, stored->bytes, stored->bytes.size());
  return stored->word;
}

// A plain entry goes from the source file to the archive without being held in memory. Returns
// its EntryWord; the caller pads the last sector.
uint32_t copyPlain(const SourceEntry& entry, Replacement& file, uint64_t offset,
                   PackSummary& summary) {
  if (entry.bytes) {
    if (entry.bytes->empty()) return storeAt(entry, StorageMethod::Stored, file, offset, summary);
    const std::shared_ptr<const std::vector<uint8_t>> data =
        readSourceEntry(entry, kMaxPlainLength);
    writeAt(file, offset, data->data(), data->size());
    const uint32_t word = plainEntryWord(static_cast<uint32_t>(data->size()));
    summary.add(data->size(), word, {}, data->size());
    return word;
  }
  const std::filesystem::path& path = entry.file;
  const SourceFile source = openSourceFile(path);
  if (source.size == 0) return storeAt(entry, StorageMethod::Stored, file, offset, summary);
  checkSourceSize(source, path, kMaxPlainLength);
  if (!copyRange(source.file, 0, file.file(), offset, source.size)) {
    throwSystemError("cannot copy " + textOfPath(path) + " into " + file.target(), errno,
                     textOfPath(path));
  }
  const uint32_t word = plainEntryWord(static_cast<uint32_t>(source.size));
  summary.add(source.size, word, {}, source.size);
  return word;
}

void build(const SourceTree& tree, Replacement& file, StorageMethod method, PackSummary& summary) {
  uint64_t sector = 0;  // next free data sector, counted from sector 500
  std::vector<CategoryTable> tables;
  int32_t highest = 34;  // the last model category
  const std::vector<uint8_t> padding(kSectorSize);
  for (const auto& [category, files] : tree.files) {
    highest = std::max(highest, category);
    CategoryTable table{category, {}, {}};
    const int32_t count = files.empty() ? 0 : files.rbegin()->first + 1;
    for (int32_t e = 0; e < count; ++e) {
      if (e % kEntriesPerGroup == 0) {
        if (sector > kMaxGroupStartSector) {
          throw Error("the archive would exceed the 8 GiB the index can address");
        }
        table.groupStarts.push_back(static_cast<uint32_t>(sector));
      }
      const auto found = files.find(e);
      if (found == files.end()) {
        table.entryWords.push_back(plainEntryWord(0));  // a gap: length 0, no entry
        continue;
      }
      const uint64_t offset = kDataStart + sector * kSectorSize;
      const uint32_t word = method == StorageMethod::Plain
                                ? copyPlain(found->second, file, offset, summary)
                                : storeAt(found->second, method, file, offset, summary);
      const uint32_t sectors = entrySectors(word);
      if (isPlainWord(word)) {
        const uint64_t end = offset + plainLength(word);
        writeAt(file, end, padding.data(), offset + uint64_t{sectors} * kSectorSize - end);
      }
      sector += sectors;
      table.entryWords.push_back(word);
    }
    tables.push_back(std::move(table));
  }
  std::string error;
  const std::optional<std::vector<uint8_t>> index = buildArchiveIndex(tables, highest, error);
  if (!index) throw Error(error);
  writeAt(file, kArchiveIndexOffset, index->data(), index->size());
  // The data area starts at sector 500 even when it is empty.
  if (sector == 0) writeAt(file, kDataStart - 1, padding.data(), 1);
}

}  // namespace

PackSummary buildArchive(const SourceTree& tree, const std::string& archivePath,
                         StorageMethod method) {
  PackSummary summary;
  Replacement file(archivePath);
  build(tree, file, method, summary);
  file.commit();
  return summary;
}
