// Looking at entries without extracting them: how each is stored (for the listing) and whether
// it decodes soundly (for the integrity test). Both start from the entry description the guest
// routines' answers give.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "driver/entry.h"

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

enum class EntryProblem : uint8_t {
  None,
  Corrupt,      // the compressed data runs out or refers back before its start
  Unsupported,  // stored with the unsupported method
  Incomplete,   // the archive ends inside the entry: it does not hold all the data it needs
  OutOfMemory,  // no memory to decode it (not the entry's fault)
};
const char* entryProblemName(EntryProblem problem);

// Reads every byte of an entry with data and decodes it when compressed, from the bytes the
// archive really holds: None means extraction will write exactly what was decoded here. `chunk`
// is scratch space that is kept between calls.
EntryProblem testEntry(int archive, const EntryDescription& d, std::vector<uint8_t>& chunk);
