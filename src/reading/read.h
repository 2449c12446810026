// Reading one entry and decoding it when compressed, the way extraction, the integrity test and
// the packer's update all need it, from any byte source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "reading/buffer_pool.h"
#include "reading/entry.h"
#include "reading/source.h"

enum class EntryProblem : uint8_t {
  None,
  Corrupt,      // the compressed data runs out or refers back before its start
  Unsupported,  // stored with the unsupported method
  Incomplete,   // the source ends inside the entry's stored bytes, and they were needed
  OutOfMemory,  // no memory to decode it (not the entry's fault)
  NoData,       // the index marks the entry as having no data: there is nothing to read
};
const char* entryProblemName(EntryProblem problem);

// The decoder's output, in a buffer of the pool it was decoded with.
using DecodedBytes = PooledBuffer;

struct LoadedEntry {
  EntryProblem problem;
  DecodedBytes data;  // None: the expanded bytes; otherwise empty
  size_t size;        // the expanded size from the entry's header (OutOfMemory: what was wanted)
};

// Reads the stored bytes of compressed entry `d` into a zero-filled buffer of the larger of its
// two lengths and decodes them. The zeros between the stored and the expanded length are part of
// the entry's input; bytes the source lacks within the stored length are not: an entry whose
// decoding reached one of them is Incomplete, whatever the decoder made of the zeros. A stream
// that ends before the source does is whole, even when its last sector is cut short (an archive
// need not be padded to a whole sector). The buffers come from `buffers`.
LoadedEntry loadCompressedEntry(const ByteSource& source, const EntryDescription& d,
                                BufferPool& buffers);
// With buffers of its own, which go back to the system when freed.
inline LoadedEntry loadCompressedEntry(const ByteSource& source, const EntryDescription& d) {
  BufferPool own(0);
  return loadCompressedEntry(source, d, own);
}

// Entry `d` as extraction writes it: a compressed entry decoded (loadCompressedEntry()), a plain
// one read whole (Incomplete when the source ends before it); NoData for an entry without data.
LoadedEntry loadEntry(const ByteSource& source, const EntryDescription& d, BufferPool& buffers);

// Where a run gets the bytes of the entries it reads: by default it reads and decodes them
// itself; a front end that decodes elsewhere (the page's workers, each with a module of its own)
// hands over what it has. Called from the run's workers, one entry at a time.
class EntryLoader {
 public:
  virtual ~EntryLoader() = default;
  // Entry `d` as loadEntry() gives it, in a buffer of `buffers`; none: the run reads it itself.
  virtual std::optional<LoadedEntry> load(const EntryDescription& d, BufferPool& buffers) = 0;
  // What testing entry `d` finds (see testEntry()); none: the run tests it itself.
  virtual std::optional<EntryProblem> test(const EntryDescription& d) = 0;
};

// Whether extracting entry `d` from `source` gives exactly `data`: a plain entry the source holds
// in full with those bytes, or a compressed entry that decodes soundly to them.
bool extractsTo(const ByteSource& source, const EntryDescription& d,
                const std::vector<uint8_t>& data);
