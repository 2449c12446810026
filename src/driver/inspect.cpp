#include "driver/inspect.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>

#include "codec/decode.h"
#include "driver/read.h"

namespace {

constexpr size_t kChunk = 1 << 20;

StorageMethod methodOf(CompressionMethod method) {
  switch (method) {
    case CompressionMethod::Stored: return StorageMethod::Stored;
    case CompressionMethod::Lz: return StorageMethod::Lz;
    case CompressionMethod::Rle: return StorageMethod::Rle;
    case CompressionMethod::Unsupported: break;
  }
  return StorageMethod::Unsupported;
}

}  // namespace

const char* storageMethodName(StorageMethod method) {
  static const char* const kNames[] = {"plain",       "stored",  "lz",    "rle",
                                       "unsupported", "unknown", "nodata"};
  static_assert(std::size(kNames) == static_cast<size_t>(StorageMethod::NoData) + 1);
  return kNames[static_cast<size_t>(method)];
}

EntryStorage entryStorage(int archive, const EntryDescription& d) {
  switch (d.kind) {
    case EntryKind::Absent:
    case EntryKind::NoData: return {StorageMethod::NoData, std::nullopt};
    case EntryKind::Plain: return {StorageMethod::Plain, d.length};
    case EntryKind::Compressed: break;
  }
  uint8_t header[kLongHeaderSize] = {};
  const size_t got = readAt(archive, d.offset, header, std::min<size_t>(d.stored, sizeof header));
  if (got < kShortHeaderSize || got < headerSizeFor(header[3])) {
    return {StorageMethod::Unknown, std::nullopt};
  }
  const CompressedHeader h = readCompressedHeader(header);
  return {methodOf(h.method), h.expandedSize};
}

EntryProblem testEntry(int archive, const EntryDescription& d, std::vector<uint8_t>& chunk) {
  if (d.kind == EntryKind::Plain) {
    chunk.resize(kChunk);
    for (uint64_t done = 0; done < d.length;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, d.length - done));
      if (readAt(archive, d.offset + done, chunk.data(), n) < n) return EntryProblem::Incomplete;
      done += n;
    }
    return EntryProblem::None;
  }
  if (d.kind != EntryKind::Compressed) return EntryProblem::None;
  const LoadedEntry loaded = loadCompressedEntry(archive, d);
  std::free(loaded.data);
  return loaded.problem;
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
