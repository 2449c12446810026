// Writing the archive index: the table of contents the guest lookup routines read.
//
// Layout (little-endian): byte 4 the highest category number; at 0x10 + 10c the record of
// category c (group table offset, entry table offset, 16-bit entry count); an entry table of one
// 32-bit EntryWord per entry (aligned); a group table of one 24-bit start sector (bits 2..23,
// relative to sector 500) per group of 16 entries.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

constexpr uint32_t kNoDataLength = 0x3FFFFFFF;
constexpr uint32_t kMaxPlainLength = 0x3FFFFFFE;
constexpr uint32_t kMaxStoredSectors = 0x1FFF;
constexpr uint32_t kMaxExpandedUnits = 0x3FFFF;
constexpr uint32_t kMaxGroupStartSector = 0x3FFFFF;

// EntryWords. A plain entry: bit 0 set, the length in bits 2..31. A compressed entry: bit 0 clear,
// stored sectors in bits 1..13, expanded size in 64-byte units in bits 14..31.
constexpr uint32_t plainEntryWord(uint32_t length) { return length << 2 | 1; }
constexpr uint32_t compressedEntryWord(uint32_t storedSectors, uint32_t expandedUnits) {
  return expandedUnits << 14 | storedSectors << 1;
}
// Sectors an entry occupies in the archive, as the lookup routines count them.
constexpr uint32_t entrySectors(uint32_t word) {
  if ((word & 1) == 0) return (word >> 1) & 0x1FFF;
  const uint32_t length = word >> 2;
  return length == kNoDataLength ? 0 : (length + 2047) / 2048;
}

struct CategoryTable {
  int32_t category;
  std::vector<uint32_t> entryWords;   // entry e's word
  std::vector<uint32_t> groupStarts;  // start sector of group g, relative to sector 500
};

// Builds the index for categories 0..highestCategory (records of categories without a table are
// empty). Returns the bytes, or nothing with `error` set when the tables do not fit.
std::optional<std::vector<uint8_t>> buildArchiveIndex(const std::vector<CategoryTable>& tables,
                                                      int32_t highestCategory, std::string& error);
