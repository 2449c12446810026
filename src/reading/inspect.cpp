#include "reading/inspect.h"

#include <algorithm>
#include <iterator>

namespace {
constexpr size_t kChunk = 1 << 20;
}  // namespace

EntryStorage entryStorage(const ByteSource& source, const EntryDescription& d) {
  switch (d.kind) {
    case EntryKind::Absent:
    case EntryKind::NoData: return {StorageMethod::NoData, std::nullopt};
    case EntryKind::Plain: return {StorageMethod::Plain, d.length};
    case EntryKind::Compressed: break;
  }
  uint8_t header[kLongHeaderSize] = {};
  const size_t got = source.readAt(d.offset, header, std::min<size_t>(d.stored, sizeof header));
  if (got < kShortHeaderSize || got < headerSizeFor(header[3])) {
    return {StorageMethod::Unknown, std::nullopt};
  }
  const CompressedHeader h = readCompressedHeader(header);
  return {h.method, h.expandedSize};
}

EntryProblem testEntry(const ByteSource& source, const EntryDescription& d, BufferPool& buffers) {
  if (d.kind == EntryKind::Plain) {
    const PooledBuffer chunk = buffers.acquire(std::min<size_t>(kChunk, d.length));
    if (!chunk) return EntryProblem::OutOfMemory;
    for (uint64_t done = 0; done < d.length;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, d.length - done));
      if (source.readAt(d.offset + done, chunk.get(), n) < n) return EntryProblem::Incomplete;
      done += n;
    }
    return EntryProblem::None;
  }
  if (d.kind != EntryKind::Compressed) return EntryProblem::None;
  return loadCompressedEntry(source, d, buffers).problem;
}

bool StoredRanges::overlapsEarlier(uint64_t offset, uint64_t size) {
  if (size == 0) return false;
  const uint64_t last = offset + size;
  uint64_t start = offset, end = last;
  bool overlaps = false;
  // The first range that ends at or after `start` may touch; merge every one up to `end`.
  auto it = ranges_.upper_bound(start);
  if (it != ranges_.begin() && std::prev(it)->second >= start) --it;
  while (it != ranges_.end() && it->first <= end) {
    overlaps = overlaps || (it->first < last && it->second > offset);
    start = std::min(start, it->first);
    end = std::max(end, it->second);
    it = ranges_.erase(it);
  }
  ranges_.emplace(start, end);
  return overlaps;
}

std::optional<EntryTester::Admission> EntryTester::admit(const SweptEntry& e) {
  const EntryDescription& d = e.description;
  const uint64_t size = archive_.size();
  const uint64_t expanded = outputSizeOf(archive_, d);
  // A plain entry the archive does not hold in full is neither read nor counted.
  if ((d.kind == EntryKind::Compressed || d.liesWithin(size)) && !bound_.take(expanded)) {
    return std::nullopt;
  }
  // Only the stored bytes that lie in the archive can be shared.
  const uint64_t held = d.offset >= size ? 0 : std::min(d.storedBytes(), size - d.offset);
  return Admission{ranges_.overlapsEarlier(d.offset, held), expanded};
}
