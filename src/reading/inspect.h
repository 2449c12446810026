// Looking at entries without extracting them: how each is stored (for the listing) and whether
// it decodes soundly (for the integrity test), under the rules extraction follows.
#pragma once

#include <cstdint>
#include <map>
#include <optional>

#include "archive/format.h"
#include "reading/buffer_pool.h"
#include "reading/entry.h"
#include "reading/output_bound.h"
#include "reading/read.h"
#include "reading/source.h"

struct EntryStorage {
  StorageMethod method;
  std::optional<uint32_t> size;  // the expanded bytes: a plain entry's length, a compressed
                                 // entry's size from its own header; none when not known
};

// Plain and no-data entries are told by the description alone; a compressed entry's method and
// exact size come from its header, Unknown when the source ends before the header does.
EntryStorage entryStorage(const ByteSource& source, const EntryDescription& d);

// Reads every byte of an entry with data and decodes it when compressed, exactly as extraction
// does: None means extraction will write exactly what was decoded here. Its buffers come from
// `buffers`.
EntryProblem testEntry(const ByteSource& source, const EntryDescription& d, BufferPool& buffers);

// Entries whose stored bytes overlap those of an entry seen before. Sharing data is not damage
// (a packer may let identical entries share), but the integrity test notes it: it is also how a
// small archive makes a large extraction.
class StoredRanges {
 public:
  // Records the bytes [offset, offset + size); true when some of them were recorded before.
  bool overlapsEarlier(uint64_t offset, uint64_t size);

 private:
  std::map<uint64_t, uint64_t> ranges_;  // start -> end, disjoint and not touching
};

// The integrity test of one run's entries, handed over in sweep order: what must be decided in
// that order before each entry is read and decoded (test(), which may run on several threads at
// once): whether it shares stored bytes with an earlier entry, and where the test stops, as
// extraction stops at the output bound.
class EntryTester {
 public:
  EntryTester(const ByteSource& archive, uint64_t outputBound, EntryLoader* loader = nullptr)
      : archive_(archive), bound_(outputBound), loader_(loader), buffers_(kInFlightBudget) {}
  struct Admission {
    bool shared;        // its stored bytes overlap an earlier entry's
    uint64_t expanded;  // what it expands to (see outputSizeOf())
  };
  // Entry `e`, which has data; none when the test stops before it at the output bound (refusal()
  // says so).
  std::optional<Admission> admit(const SweptEntry& e);
  Error refusal(const SweptEntry& e) const { return bound_.refusal(e.path(), archive_.size()); }
  // testEntry() of an admitted entry, on any thread, the threads sharing their buffers.
  // (Or what the loader found.)
  EntryProblem test(const EntryDescription& d) {
    if (loader_ != nullptr) {
      if (const std::optional<EntryProblem> found = loader_->test(d)) return *found;
    }
    return testEntry(archive_, d, buffers_);
  }

 private:
  const ByteSource& archive_;
  OutputBound bound_;
  EntryLoader* const loader_;
  StoredRanges ranges_;
  BufferPool buffers_;
};
