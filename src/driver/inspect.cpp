#include "driver/inspect.h"

#include <algorithm>
#include <cstdlib>

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

const char* entryProblemName(EntryProblem problem) {
  static const char* const kNames[] = {"ok", "corrupt", "unsupported", "incomplete",
                                       "out of memory"};
  static_assert(std::size(kNames) == static_cast<size_t>(EntryProblem::OutOfMemory) + 1);
  return kNames[static_cast<size_t>(problem)];
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
  // Only the bytes that are there: a decoder that needs more than the archive holds fails
  // rather than decoding the zeros extraction would put behind them.
  chunk.resize(std::max<size_t>(d.stored, 1));
  const size_t got = readAt(archive, d.offset, chunk.data(), d.stored);
  uint8_t* output = nullptr;
  const DecodeResult result = decompressEntry(chunk.data(), static_cast<int32_t>(got), &output);
  std::free(output);
  switch (result.status) {
    case DecodeStatus::Ok: return EntryProblem::None;
    case DecodeStatus::Unsupported: return EntryProblem::Unsupported;
    case DecodeStatus::OutOfMemory: return EntryProblem::OutOfMemory;
    case DecodeStatus::Corrupt: break;
  }
  return got < d.stored ? EntryProblem::Incomplete : EntryProblem::Corrupt;
}
