// The archive format in one place: where the index lies, how entries are addressed, the EntryWord
// that describes each entry, and the header of a compressed entry. Everything that reads or writes
// archives (the extraction, the packer, the tests) takes these facts from here.
//
// An archive is addressed in sectors of 2048 bytes. Its table of contents, the index, is 0x28000
// bytes at byte 0xBA000 (sector 372); entry data is addressed in sectors counted from sector 500
// (byte 0xFA000). All multi-byte fields are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

constexpr uint32_t kSectorSize = 2048;
constexpr uint32_t kArchiveIndexOffset = 0xBA000;
constexpr uint32_t kArchiveIndexSize = 0x28000;
// An archive must hold its whole index.
constexpr uint64_t kMinimumArchiveSize = uint64_t{kArchiveIndexOffset} + kArchiveIndexSize;
constexpr uint32_t kDataBaseSector = 500;
constexpr uint64_t kDataStart = uint64_t{kDataBaseSector} * kSectorSize;

// Entry numbers 0 to 9999 are tried in every category: the four-digit file names cover them.
constexpr int32_t kEntriesPerCategory = 10000;
// The entries of a group lie one after another from the group's start sector.
constexpr uint32_t kEntriesPerGroup = 16;

// Index layout: byte 4 is the highest category number; the 10-byte record of category c at
// 0x10 + 10c holds the offset of its group-start table (32 bits), of its entry table (32 bits)
// and its entry count (16 bits). The entry table holds one EntryWord per entry, the group-start
// table one 24-bit value per group of 16, whose bits 2..23 are the group's start sector counted
// from sector 500 (bits 0 and 1 are not part of it).
constexpr uint32_t kHighestCategoryOffset = 4;
constexpr uint32_t kCategoryRecordsOffset = 0x10;
constexpr uint32_t kCategoryRecordSize = 10;
constexpr uint32_t kMaxGroupStartSector = 0x3FFFFF;  // 22 bits

// EntryWord. A plain entry (stored as is): bit 0 set, the length in bytes in bits 2..31, where
// all ones marks an entry without data. A compressed entry: bit 0 clear, the stored size in
// sectors in bits 1..13, the expanded size in 64-byte units in bits 14..31 (the exact size is in
// the entry's own header).
constexpr uint32_t kNoDataLength = 0x3FFFFFFF;
constexpr uint32_t kMaxPlainLength = 0x3FFFFFFE;
constexpr uint32_t kMaxStoredSectors = 0x1FFF;
constexpr uint32_t kMaxExpandedUnits = 0x3FFFF;
constexpr uint32_t kExpandedUnit = 64;

// Whole sectors that `bytes` bytes take.
constexpr uint64_t sectorsFor(uint64_t bytes) { return (bytes + kSectorSize - 1) / kSectorSize; }

constexpr uint32_t plainEntryWord(uint32_t length) { return length << 2 | 1; }
constexpr uint32_t compressedEntryWord(uint32_t storedSectors, uint32_t expandedUnits) {
  return expandedUnits << 14 | storedSectors << 1;
}
constexpr bool isPlainWord(uint32_t word) { return (word & 1) != 0; }
constexpr uint32_t plainLength(uint32_t word) { return word >> 2; }
constexpr uint32_t storedSectors(uint32_t word) { return (word >> 1) & kMaxStoredSectors; }
constexpr uint32_t expandedUnits(uint32_t word) { return word >> 14; }
// Sectors an entry occupies in the archive, as the lookup routines count them when they walk a
// group: plain lengths rounded up to whole sectors (an entry without data none), compressed
// entries their stored sector count.
constexpr uint32_t entrySectors(uint32_t word) {
  if (!isPlainWord(word)) return storedSectors(word);
  const uint32_t length = plainLength(word);
  return length == kNoDataLength ? 0 : static_cast<uint32_t>(sectorsFor(length));
}

// Compressed-entry header: byte 3 is the tag (0x64, the letter d, for a 12-byte header; anything
// else for 16 bytes), bits 0-1 of the word at 4 the method, bits 0-24 of the word at 8 the
// expanded size. Nothing else is examined: no magic number, no checksum.
constexpr uint8_t kShortHeaderTag = 0x64;
constexpr uint32_t kShortHeaderSize = 12;
constexpr uint32_t kLongHeaderSize = 16;
constexpr uint32_t kExpandedSizeMask = 0x1FFFFFF;
constexpr uint32_t kMethodMask = 3;

// How an entry is stored, one vocabulary for the header's method field (Stored to Unsupported
// are its values 0 to 3), the listing, the packer's --method and JSON. Plain entries have no
// header; Unknown is a compressed entry whose header the archive does not hold; NoData an entry
// the index marks as having none. Auto and Keep are the packer's choices, not ways of storing.
enum class StorageMethod : uint8_t {
  Stored = 0,
  Lz = 1,
  Rle = 2,
  Unsupported = 3,
  Plain,
  Unknown,
  NoData,
  Auto,
  Keep,
};
// "stored", "lz", "rle", "unsupported", "plain", "unknown", "nodata", "auto", "keep".
const char* storageMethodName(StorageMethod method);
// The method a name (as above) stands for.
std::optional<StorageMethod> parseStorageMethod(std::string_view name);

struct CompressedHeader {
  StorageMethod method;
  uint32_t expandedSize;
  uint32_t headerSize;  // where the data starts: 12 or 16
};
constexpr uint32_t headerSizeFor(uint8_t tag) {
  return tag == kShortHeaderTag ? kShortHeaderSize : kLongHeaderSize;
}
// The header at the start of `bytes`, which must hold at least headerSizeFor(bytes[3]) bytes.
inline CompressedHeader readCompressedHeader(const uint8_t* bytes) {
  const auto word = [bytes](size_t at) {
    return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
           uint32_t{bytes[at + 3]} << 24;
  };
  return {static_cast<StorageMethod>(word(4) & kMethodMask), word(8) & kExpandedSizeMask,
          headerSizeFor(bytes[3])};
}
