// How the packer stores an entry's bytes: plain, or as a compressed entry (stored, LZ or
// run-length, with a 12- or 16-byte header), and the EntryWord that describes it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/format.h"

// The methods an entry can be stored with: Plain, Stored, Lz and Rle, and the choices Auto and
// Keep (an update's default).
constexpr bool isPackerMethod(StorageMethod method) {
  return method == StorageMethod::Plain || method == StorageMethod::Stored ||
         method == StorageMethod::Lz || method == StorageMethod::Rle ||
         method == StorageMethod::Auto || method == StorageMethod::Keep;
}

struct StoredEntry {
  std::vector<uint8_t> bytes;  // what goes into the archive, not yet padded to whole sectors
  uint32_t word;               // its EntryWord
};

// `data` stored with `method` (Plain, Stored, Lz, Rle or Auto); Auto picks the smallest of plain,
// LZ and run-length. An empty file is always a compressed entry of size 0 (stored method, one
// 64-byte unit in the index): a plain length of 0 means "no entry". Nothing when the sizes do not
// fit the storage.
std::optional<StoredEntry> storeEntry(const std::vector<uint8_t>& data, StorageMethod method);

// `data` stored like an existing compressed entry: the same codec and the same header form.
std::optional<StoredEntry> storeCompressed(const std::vector<uint8_t>& data, StorageMethod codec,
                                           uint32_t headerSize);

// What a run of the packer stored, for archive-pack -v: entries, the bytes they expand to and the
// bytes they take, and how many were stored each way.
struct PackSummary {
  uint64_t entries = 0;
  uint64_t expanded = 0;
  uint64_t stored = 0;
  std::map<StorageMethod, uint64_t> methods;
  // An entry of `size` bytes stored as `entry` (its word and bytes; plain entries' bytes may be
  // left out: `storedSize` counts them).
  void add(uint64_t size, uint32_t word, const std::vector<uint8_t>& bytes, uint64_t storedSize);
  // "3 entries, 1234 bytes expanded, 567 bytes stored (lz 2, plain 1)".
  std::string text() const;
};
