// How the packer stores an entry's bytes: plain, or as a compressed entry (stored, LZ or
// run-length, with a 12- or 16-byte header), and the EntryWord that describes it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "archive/format.h"

enum class StoreMethod : uint8_t { Keep, Auto, Plain, Stored, Lz, Rle };
// "keep", "auto", "plain", "stored", "lz" or "rle".
std::optional<StoreMethod> parseStoreMethod(std::string_view text);

struct StoredEntry {
  std::vector<uint8_t> bytes;  // what goes into the archive, not yet padded to whole sectors
  uint32_t word;               // its EntryWord
};

// `data` stored with `method` (not Keep); Auto picks the smallest of plain, LZ and run-length.
// An empty file is always a compressed entry of size 0 (stored method, one 64-byte unit in the
// index): a plain length of 0 means "no entry". Nothing when the sizes do not fit the storage.
std::optional<StoredEntry> storeEntry(const std::vector<uint8_t>& data, StoreMethod method);

// `data` stored like an existing compressed entry: the same codec and the same header form.
std::optional<StoredEntry> storeCompressed(const std::vector<uint8_t>& data,
                                           CompressionMethod codec, uint32_t headerSize);
