// Reading entries from the archive: positioned reads with 64-bit offsets, and a compressed entry
// read and decoded the way the extraction and the integrity test both need it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/decode.h"
#include "driver/entry.h"

// Reads up to `size` bytes at `offset` and returns how many were there: what lies past the end
// of the archive (or cannot be read) is not read.
size_t readAt(int archive, uint64_t offset, uint8_t* buffer, size_t size);
// `size` bytes at `offset`, zeros for what lies past the end (as extraction reads entries).
void readZeroFilled(int archive, uint64_t offset, uint8_t* buffer, size_t size);

struct LoadedEntry {
  DecodeStatus status;
  bool incomplete;  // the archive ends inside the entry's stored bytes (they decode as zeros)
  uint8_t* data;    // Ok: the expanded bytes, malloc'ed, owned by the caller; otherwise nullptr
  size_t size;      // the expanded size from the entry's header (OutOfMemory: what was wanted)
};

// Reads the stored bytes of compressed entry `d` into a zero-filled buffer of the larger of its
// two lengths and decodes them.
LoadedEntry loadCompressedEntry(int archive, const EntryDescription& d);
