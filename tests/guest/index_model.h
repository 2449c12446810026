// An independent host model of the archive index format, for checking the guest lookup routines.
// The tool itself never reads the index on the host; only the tests do.
#pragma once

#include <cstdint>
#include <vector>

struct IndexModel {
  const std::vector<uint8_t>& index;

  uint32_t byte(uint32_t offset) const { return index.at(offset); }
  uint32_t half(uint32_t offset) const { return byte(offset) | byte(offset + 1) << 8; }
  uint32_t triple(uint32_t offset) const { return half(offset) | byte(offset + 2) << 16; }
  uint32_t word(uint32_t offset) const { return triple(offset) | byte(offset + 3) << 24; }

  static constexpr uint32_t kNoData = 0x3FFFFFFF;

  // The CategoryRecord of c at 0x10 + 10c: group table, entry table, entry count.
  uint32_t record(int32_t c) const { return 0x10 + 10 * static_cast<uint32_t>(c); }
  bool exists(int32_t c, int32_t e) const {
    return c <= static_cast<int32_t>(byte(4)) && e < static_cast<int32_t>(half(record(c) + 8));
  }
  uint32_t entryWord(int32_t c, int32_t e) const {
    return word(word(record(c) + 4) + 4 * static_cast<uint32_t>(e));
  }

  int32_t isPlain(int32_t c, int32_t e) const { return exists(c, e) ? entryWord(c, e) & 1 : 0; }

  int32_t plainLength(uint32_t w) const {
    const uint32_t length = w >> 2;
    return length == kNoData ? -1 : static_cast<int32_t>(length);
  }
  int32_t storedLength(int32_t c, int32_t e) const {
    if (!exists(c, e)) return 0;
    const uint32_t w = entryWord(c, e);
    return (w & 1) != 0 ? plainLength(w) : static_cast<int32_t>(((w >> 1) & 0x1FFF) * 2048);
  }
  int32_t length(int32_t c, int32_t e) const {
    if (!exists(c, e)) return 0;
    const uint32_t w = entryWord(c, e);
    return (w & 1) != 0 ? plainLength(w) : static_cast<int32_t>((w >> 14) * 64);
  }
  // Sectors an entry occupies: plain lengths rounded up to whole 2048-byte sectors, entries
  // without data none, compressed entries their stored sector count.
  uint32_t sectors(uint32_t w) const {
    if ((w & 1) == 0) return (w >> 1) & 0x1FFF;
    const uint32_t length = w >> 2;
    return length == kNoData ? 0 : (length + 2047) / 2048;
  }
  int32_t sector(int32_t c, int32_t e) const {
    if (!exists(c, e)) return 0;
    const uint32_t group = static_cast<uint32_t>(e) / 16;
    uint32_t start = triple(word(record(c)) + 3 * group) >> 2;
    for (int32_t k = static_cast<int32_t>(group * 16); k < e; ++k) {
      start += sectors(entryWord(c, k));
    }
    return static_cast<int32_t>(500 + start);
  }
};
