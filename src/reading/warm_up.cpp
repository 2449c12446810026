#include "reading/warm_up.h"

#include <algorithm>
#include <string>

#include "archive/categories.h"
#include "archive/format.h"
#include "archive/index.h"

std::vector<uint8_t> madeUpArchive(uint32_t entriesPerCategory) {
  const uint32_t entries = std::min<uint32_t>(entriesPerCategory, 3000);
  // One category's entries after another's: groups of 16 entries, 16 sectors apart.
  std::vector<CategoryTable> tables;
  int32_t highest = 0;
  uint32_t sector = 0;
  for (const ModelCategory& m : kModelCategories) {
    CategoryTable table{
        m.category, std::vector<uint32_t>(entries, plainEntryWord(kSectorSize)), {}};
    for (uint32_t e = 0; e < entries; e += kEntriesPerGroup, sector += kEntriesPerGroup) {
      table.groupStarts.push_back(sector);
    }
    tables.push_back(std::move(table));
    highest = std::max(highest, m.category);
  }
  std::string error;
  std::vector<uint8_t> bytes(kMinimumArchiveSize);
  if (const auto index = buildArchiveIndex(tables, highest, error)) {
    std::copy(index->begin(), index->end(), bytes.begin() + kArchiveIndexOffset);
  }
  return bytes;
}
