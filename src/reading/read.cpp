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
  static const char* const kNames[] = {"ok",         "corrupt",       "unsupported",
                                       "incomplete", "out of memory", "nodata"};
  static_assert(std::size(kNames) == static_cast<size_t>(EntryProblem::NoData) + 1);
  return kNames[static_cast<size_t>(problem)];
}

namespace {

// Decodes input[0, length) into a buffer of `buffers` (`output`, on Ok).
DecodeResult decodeInto(const uint8_t* input, size_t length, BufferPool& buffers,
                        DecodedBytes& output) {
  const auto inputLength = static_cast<int32_t>(length);
  const DecodeResult header = readEntryHeader(input, inputLength);
  if (header.status != DecodeStatus::Ok) return header;
  output = buffers.acquire(static_cast<size_t>(header.size));
  if (!output) return {DecodeStatus::OutOfMemory, header.size, header.consumed};
  const DecodeResult result = decodeEntry(input, inputLength, output.get());
  if (result.status != DecodeStatus::Ok) output.reset();
  return result;
}

}  // namespace

LoadedEntry loadCompressedEntry(const ByteSource& source, const EntryDescription& d,
                                BufferPool& buffers) {
  // Most streams end inside their stored bytes, so they are decoded from just those first; only a
  // stream that runs out of them is decoded again with the zeros behind them (the padding up to
  // the expanded length, and whatever the source lacks). Decoding is a function of the bytes it
  // reads, so the first attempt, when it does not run out, gives what the second would.
  const size_t inputLength = d.inputBufferSize();
  PooledBuffer input = buffers.acquire(d.stored);
  if (!input) return {EntryProblem::OutOfMemory, {}, inputLength};
  const size_t got = source.readAt(d.offset, input.get(), d.stored);
  DecodedBytes decoded;
  DecodeResult result = decodeInto(input.get(), got, buffers, decoded);
  if (result.status == DecodeStatus::Corrupt && static_cast<size_t>(result.consumed) >= got &&
      inputLength > got) {
    PooledBuffer padded = buffers.acquire(inputLength);
    if (!padded) return {EntryProblem::OutOfMemory, {}, inputLength};
    std::memcpy(padded.get(), input.get(), got);
    std::memset(padded.get() + got, 0, inputLength - got);
    input = std::move(padded);
    result = decodeInto(input.get(), inputLength, buffers, decoded);
  }
  const auto size = static_cast<size_t>(result.size);
  const auto consumed = static_cast<size_t>(result.consumed);
  if (got < d.stored && consumed > got) {  // decoding needed a byte the source lacks
    return {EntryProblem::Incomplete, {}, size};
  }
  switch (result.status) {
    case DecodeStatus::Ok: return {EntryProblem::None, std::move(decoded), size};
    case DecodeStatus::Unsupported: return {EntryProblem::Unsupported, {}, size};
    case DecodeStatus::Corrupt: return {EntryProblem::Corrupt, {}, size};
    case DecodeStatus::OutOfMemory: break;
  }
  return {EntryProblem::OutOfMemory, {}, size};
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

LoadedEntry loadEntry(const ByteSource& source, const EntryDescription& d, BufferPool& buffers) {
  if (d.kind == EntryKind::Compressed) return loadCompressedEntry(source, d, buffers);
  if (d.kind != EntryKind::Plain) return {EntryProblem::NoData, {}, 0};
  PooledBuffer data = buffers.acquire(d.length);
  if (!data) return {EntryProblem::OutOfMemory, {}, d.length};
  if (source.readAt(d.offset, data.get(), d.length) < d.length) {
    return {EntryProblem::Incomplete, {}, d.length};
  }
  return {EntryProblem::None, std::move(data), d.length};
}
