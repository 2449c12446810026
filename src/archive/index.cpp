#include "archive/index.h"

namespace {

void put(std::vector<uint8_t>& bytes, uint32_t offset, uint32_t value, int width) {
  for (int i = 0; i < width; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

std::optional<std::vector<uint8_t>> buildArchiveIndex(const std::vector<CategoryTable>& tables,
                                                      int32_t highestCategory, std::string& error) {
  std::vector<uint8_t> index(kArchiveIndexSize);
  index[kHighestCategoryOffset] = static_cast<uint8_t>(highestCategory);
  uint32_t free =
      kCategoryRecordsOffset + kCategoryRecordSize * static_cast<uint32_t>(highestCategory + 1);
  for (const CategoryTable& table : tables) {
    const auto count = static_cast<uint32_t>(table.entryWords.size());
    if (count > 0xFFFF) {
      error = "category " + std::to_string(table.category) + " has more than 65535 entries";
      return std::nullopt;
    }
    const uint32_t groups = free;
    const uint32_t entries =
        (groups + 3 * static_cast<uint32_t>(table.groupStarts.size()) + 3) & ~3U;
    const uint32_t end = entries + 4 * count;
    if (end > kArchiveIndexSize) {
      error = "the index would need more than 0x28000 bytes";
      return std::nullopt;
    }
    const uint32_t record =
        kCategoryRecordsOffset + kCategoryRecordSize * static_cast<uint32_t>(table.category);
    put(index, record, groups, 4);
    put(index, record + 4, entries, 4);
    put(index, record + 8, count, 2);
    for (size_t g = 0; g < table.groupStarts.size(); ++g) {
      put(index, groups + 3 * static_cast<uint32_t>(g), table.groupStarts[g] << 2, 3);
    }
    for (uint32_t e = 0; e < count; ++e) put(index, entries + 4 * e, table.entryWords[e], 4);
    free = end;
  }
  return index;
}

uint32_t IndexEditor::field(uint32_t offset, int width) const {
  uint32_t value = 0;
  for (int i = 0; i < width; ++i) value |= uint32_t{bytes_[offset + i]} << (8 * i);
  return value;
}

void IndexEditor::setField(uint32_t offset, uint32_t value, int width) {
  put(bytes_, offset, value, width);
}

uint32_t IndexEditor::entryCount(int32_t category) const {
  if (category < 0 || category > highestCategory()) return 0;
  return field(record(category) + 8, 2);
}

bool IndexEditor::tablesInside(int32_t category) const {
  const uint64_t count = entryCount(category);
  if (count == 0) return true;  // a table of no entries is never read
  const uint64_t groups = field(record(category), 4);
  const uint64_t entries = field(record(category) + 4, 4);
  const uint64_t groupCount = (count + kEntriesPerGroup - 1) / kEntriesPerGroup;
  return groups + 3 * groupCount <= kArchiveIndexSize && entries + 4 * count <= kArchiveIndexSize;
}

uint32_t IndexEditor::entryWord(int32_t category, uint32_t entry) const {
  return field(field(record(category) + 4, 4) + 4 * entry, 4);
}

void IndexEditor::setEntryWord(int32_t category, uint32_t entry, uint32_t word) {
  setField(field(record(category) + 4, 4) + 4 * entry, word, 4);
}

uint32_t IndexEditor::groupStartValue(int32_t category, uint32_t group) const {
  return field(field(record(category), 4) + 3 * group, 3);
}

void IndexEditor::setGroupStartValue(int32_t category, uint32_t group, uint32_t value) {
  setField(field(record(category), 4) + 3 * group, value, 3);
}

uint64_t IndexEditor::entrySector(int32_t category, uint32_t entry) const {
  const uint32_t group = entry / kEntriesPerGroup;
  uint64_t sector = kDataBaseSector + (groupStartValue(category, group) >> 2);
  for (uint32_t k = group * kEntriesPerGroup; k < entry; ++k) {
    sector += entrySectors(entryWord(category, k));
  }
  return sector;
}
