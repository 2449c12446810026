#include "reading/read.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "codec/decode.h"

void ByteSource::readZeroFilled(uint64_t offset, uint8_t* buffer, size_t size) const {
  const size_t got = readAt(offset, buffer, size);
  std::memset(buffer + got, 0, size - got);
}

const char* entryProblemName(EntryProblem problem) {
  static const char* const kNames[] = {"ok", "corrupt", "unsupported", "incomplete",
                                       "out of memory"};
  static_assert(std::size(kNames) == static_cast<size_t>(EntryProblem::OutOfMemory) + 1);
  return kNames[static_cast<size_t>(problem)];
}

LoadedEntry loadCompressedEntry(const ByteSource& source, const EntryDescription& d) {
  // Most streams end inside their stored bytes, so they are decoded from just those first; only a
  // stream that runs out of them is decoded again with the zeros behind them (the padding up to
  // the expanded length, and whatever the source lacks). Decoding is a function of the bytes it
  // reads, so the first attempt, when it does not run out, gives what the second would.
  const size_t inputLength = d.inputBufferSize();
  DecodedBytes input(static_cast<uint8_t*>(std::malloc(d.stored > 0 ? d.stored : 1)));
  if (!input) return {EntryProblem::OutOfMemory, nullptr, inputLength};
  const size_t got = source.readAt(d.offset, input.get(), d.stored);
  uint8_t* output = nullptr;
  DecodeResult result = decompressEntry(input.get(), static_cast<int32_t>(got), &output);
  if (result.status == DecodeStatus::Corrupt && static_cast<size_t>(result.consumed) >= got &&
      inputLength > got) {
    auto* padded = static_cast<uint8_t*>(std::realloc(input.get(), inputLength));
    if (padded == nullptr) return {EntryProblem::OutOfMemory, nullptr, inputLength};
    input.release();
    input.reset(padded);
    std::memset(padded + got, 0, inputLength - got);
    result = decompressEntry(padded, static_cast<int32_t>(inputLength), &output);
  }
  DecodedBytes decoded(output);
  const auto size = static_cast<size_t>(result.size);
  const auto consumed = static_cast<size_t>(result.consumed);
  if (got < d.stored && consumed > got) {  // decoding needed a byte the source lacks
    return {EntryProblem::Incomplete, nullptr, size};
  }
  switch (result.status) {
    case DecodeStatus::Ok: return {EntryProblem::None, std::move(decoded), size};
    case DecodeStatus::Unsupported: return {EntryProblem::Unsupported, nullptr, size};
    case DecodeStatus::Corrupt: return {EntryProblem::Corrupt, nullptr, size};
    case DecodeStatus::OutOfMemory: break;
  }
  return {EntryProblem::OutOfMemory, nullptr, size};
}

bool extractsTo(const ByteSource& source, const EntryDescription& d,
                const std::vector<uint8_t>& data) {
  if (d.kind == EntryKind::Plain) {
    // Compared a chunk at a time: a plain entry may be a gigabyte.
    if (d.length != data.size() || !d.liesWithin(source.size())) return false;
    std::vector<uint8_t> chunk(std::min<size_t>(data.size(), 1 << 20));
    for (size_t done = 0; done < data.size(); done += chunk.size()) {
      const size_t n = std::min(chunk.size(), data.size() - done);
      if (source.readAt(d.offset + done, chunk.data(), n) < n ||
          std::memcmp(chunk.data(), data.data() + done, n) != 0) {
        return false;
      }
    }
    return true;
  }
  if (d.kind != EntryKind::Compressed) return false;
  const LoadedEntry loaded = loadCompressedEntry(source, d);
  return loaded.problem == EntryProblem::None && loaded.size == data.size() &&
         (data.empty() || std::memcmp(loaded.data.get(), data.data(), data.size()) == 0);
}
