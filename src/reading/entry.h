// What the four answers of the guest routines say about an entry, as a plain value: whether it
// exists and has data, where it lies, how it is stored and its lengths. Extraction, listing,
// testing and the packer's update all start from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/format.h"
#include "guest/session.h"

enum class EntryKind : uint8_t {
  Absent,      // a length of 0: nothing to extract (also past the category's entry count)
  NoData,      // the index marks the entry as having no data (a length of -1)
  Plain,       // stored as is: `length` bytes at `offset`
  Compressed,  // a compressed entry: `stored` bytes at `offset`, header first
};

struct EntryDescription {
  EntryKind kind;
  uint32_t sector;  // archive sector, counted from the start of the file
  uint64_t offset;  // sector × 2048: entries beyond 4 GiB need the 64 bits
  uint32_t length;  // expanded bytes as the index counts them (compressed: whole 64-byte units)
  uint32_t stored;  // bytes the entry occupies in the archive (compressed: whole sectors)

  bool exists() const { return kind != EntryKind::Absent; }
  bool hasData() const { return kind == EntryKind::Plain || kind == EntryKind::Compressed; }
  // A compressed entry is read as its stored bytes into a zero-filled buffer of the larger of its
  // two lengths: a header that claims more than was stored decodes from zeros, never from
  // outside the buffer.
  size_t inputBufferSize() const { return length > stored ? length : stored; }
  // The bytes the entry occupies in the archive: a plain entry's length, a compressed one's
  // stored bytes.
  uint64_t storedBytes() const { return kind == EntryKind::Plain ? length : stored; }
  // Whether a plain entry's bytes all lie in an archive of `archiveSize` bytes.
  bool liesWithin(uint64_t archiveSize) const {
    return offset <= archiveSize && length <= archiveSize - offset;
  }
};

// The zero test comes first (either length 0: no entry), then the -1 test (either length -1: no
// data); the sector is an unsigned 32-bit number.
constexpr EntryDescription describeEntry(const EntryAnswers& a) {
  EntryKind kind = EntryKind::Absent;
  if (a.length != 0 && a.stored != 0) {
    kind = a.length == -1 || a.stored == -1 ? EntryKind::NoData
           : a.plain != 0                   ? EntryKind::Plain
                                            : EntryKind::Compressed;
  }
  const auto sector = static_cast<uint32_t>(a.sector);
  return {kind, sector, uint64_t{sector} * kSectorSize, static_cast<uint32_t>(a.length),
          static_cast<uint32_t>(a.stored)};
}

// Asks the routines about entry `entry` of `category` and describes it. Throws MachineFault when
// the machine stops.
inline EntryDescription lookUpEntry(GuestSession& session, int32_t category, int32_t entry) {
  return describeEntry(session.ask(category, entry));
}

// One entry of a sweep: which it is, and what the routines said about it.
struct SweptEntry {
  int32_t category;
  int32_t entry;
  EntryDescription description;
  std::string path() const;  // "models - g/0001.raw"
};
