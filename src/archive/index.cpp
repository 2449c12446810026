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
