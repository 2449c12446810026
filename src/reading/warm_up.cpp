#include "reading/warm_up.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "archive/categories.h"
#include "archive/format.h"
#include "archive/index.h"
#include "reading/archive.h"
#include "reading/sweep.h"

namespace {

class MemorySource : public ByteSource {
 public:
  explicit MemorySource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  size_t readAt(uint64_t offset, uint8_t* buffer, size_t size) const override {
    if (offset >= bytes_.size()) return 0;
    size = static_cast<size_t>(std::min<uint64_t>(size, bytes_.size() - offset));
    std::memcpy(buffer, bytes_.data() + offset, size);
    return size;
  }
  uint64_t size() const override { return bytes_.size(); }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace

void warmUpLookups(uint32_t entriesPerCategory) {
  const uint32_t entries = std::min<uint32_t>(entriesPerCategory, 3000);
  // Entries of one sector each, one category's after another's: groups of 16 entries, 16
  // sectors apart.
  std::vector<CategoryTable> tables;
  int32_t highest = 0;
  uint32_t sector = 0;
  for (const ModelCategory& m : kModelCategories) {
    CategoryTable table{m.category, std::vector<uint32_t>(entries, plainEntryWord(kSectorSize)), {}};
    for (uint32_t e = 0; e < entries; e += kEntriesPerGroup, sector += kEntriesPerGroup) {
      table.groupStarts.push_back(sector);
    }
    tables.push_back(std::move(table));
    highest = std::max(highest, m.category);
  }
  std::string error;
  const auto index = buildArchiveIndex(tables, highest, error);
  if (!index) return;
  std::vector<uint8_t> bytes(kMinimumArchiveSize);
  std::copy(index->begin(), index->end(), bytes.begin() + kArchiveIndexOffset);
  const std::unique_ptr<Archive> archive =
      Archive::open(std::make_unique<MemorySource>(std::move(bytes)), "warm-up");
  Selection selection;
  Sweep sweep = archive->entries(selection);
  const std::atomic<bool> never{false};
  lookUpExisting(sweep, never);
}
