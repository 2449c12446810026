// Looking at entries without extracting them: how each is stored (for the listing) and whether
// it decodes soundly (for the integrity test). Both start from the entry description the guest
// routines' answers give.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "driver/entry.h"
#include "driver/read.h"

enum class StorageMethod : uint8_t { Plain, Stored, Lz, Rle, Unsupported, Unknown, NoData };
const char* storageMethodName(StorageMethod method);

struct EntryStorage {
  StorageMethod method;
  std::optional<uint32_t> size;  // the expanded bytes: a plain entry's length, a compressed
                                 // entry's size from its own header; none when not known
};

// Plain and no-data entries are told by the description alone; a compressed entry's method and
// exact size come from its header, Unknown when the archive ends before the header does.
EntryStorage entryStorage(int archive, const EntryDescription& d);

// Reads every byte of an entry with data and decodes it when compressed, exactly as extraction
// does: None means extraction will write exactly what was decoded here. `chunk` is scratch space
// that is kept between calls.
EntryProblem testEntry(int archive, const EntryDescription& d, std::vector<uint8_t>& chunk);

// Entries whose stored bytes overlap those of an entry seen before. Sharing data is not damage
// (a packer may let identical entries share), but the integrity test notes it: it is also how a
// small archive makes a large extraction.
class StoredRanges {
 public:
  // Records the bytes [offset, offset + size); true when some of them were recorded before.
  bool overlapsEarlier(uint64_t offset, uint64_t size);

 private:
  std::map<uint64_t, uint64_t> ranges_;  // start -> end, disjoint and not touching
};
