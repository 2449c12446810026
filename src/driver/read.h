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
// `size` bytes at `offset`, zeros for what lies past the end.
void readZeroFilled(int archive, uint64_t offset, uint8_t* buffer, size_t size);

enum class EntryProblem : uint8_t {
  None,
  Corrupt,      // the compressed data runs out or refers back before its start
  Unsupported,  // stored with the unsupported method
  Incomplete,   // the archive ends inside the entry's stored bytes, and they were needed
  OutOfMemory,  // no memory to decode it (not the entry's fault)
};
const char* entryProblemName(EntryProblem problem);

struct LoadedEntry {
  EntryProblem problem;
  uint8_t* data;  // None: the expanded bytes, malloc'ed, owned by the caller; otherwise nullptr
  size_t size;    // the expanded size from the entry's header (OutOfMemory: what was wanted)
};

// Reads the stored bytes of compressed entry `d` into a zero-filled buffer of the larger of its
// two lengths and decodes them. The zeros between the stored and the expanded length are part of
// the entry's input; bytes the archive lacks within the stored length are not: an entry whose
// decoding reached one of them is Incomplete, whatever the decoder made of the zeros. A stream
// that ends before the archive does is whole, even when its last sector is cut short (an archive
// need not be padded to a whole sector).
LoadedEntry loadCompressedEntry(int archive, const EntryDescription& d);
