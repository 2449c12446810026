// The bound on what one run may expand. A run-length stream expands at most 64 times (two bytes
// make a run of 128), so a sound archive never holds more than 64 times its size; a small
// archive gets a floor, for the few entries that may share their data. Without the bound, a small
// hostile archive could demand terabytes: entries that point at the same sectors, headers that
// claim megabytes decoded from the zeros behind a short stream.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "platform/error.h"
#include "reading/entry.h"
#include "reading/source.h"

constexpr uint64_t kOutputFactor = 64;
constexpr uint64_t kOutputFloor = uint64_t{256} << 20;
constexpr uint64_t kNoOutputBound = std::numeric_limits<uint64_t>::max();

constexpr uint64_t outputBoundOf(uint64_t archiveSize) {
  const uint64_t scaled =
      archiveSize > kNoOutputBound / kOutputFactor ? kNoOutputBound : archiveSize * kOutputFactor;
  return scaled > kOutputFloor ? scaled : kOutputFloor;
}

// The bytes extracting entry `d` writes: a plain entry's length, a compressed entry's expanded
// size from its header (none when its method has no decoder or its header is not in the
// archive).
uint64_t outputSizeOf(const ByteSource& source, const EntryDescription& d);

// The bound of one run: what its entries expand to, counted in sweep order against it. (The output
// bound is this one thing; "budget" names only the memory the entries in flight may hold.)
class OutputBound {
 public:
  explicit OutputBound(uint64_t bound) : bound_(bound) {}
  // Counts `bytes` more; false (counting nothing) when they would pass the bound.
  bool take(uint64_t bytes) {
    if (bytes > bound_ - used_) return false;
    used_ += bytes;
    return true;
  }
  // What a run that stops before `path` says: a refusal concerning `path`, which the caller may
  // lift (ErrorHint::LiftOutputBound).
  Error refusal(const std::string& path, uint64_t archiveSize) const;

 private:
  const uint64_t bound_;
  uint64_t used_ = 0;
};
