#include "driver/read.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>

size_t readAt(int archive, uint64_t offset, uint8_t* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = pread(archive, buffer + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

void readZeroFilled(int archive, uint64_t offset, uint8_t* buffer, size_t size) {
  const size_t got = readAt(archive, offset, buffer, size);
  std::memset(buffer + got, 0, size - got);
}

const char* entryProblemName(EntryProblem problem) {
  static const char* const kNames[] = {"ok", "corrupt", "unsupported", "incomplete",
                                       "out of memory"};
  static_assert(std::size(kNames) == static_cast<size_t>(EntryProblem::OutOfMemory) + 1);
  return kNames[static_cast<size_t>(problem)];
}

LoadedEntry loadCompressedEntry(int archive, const EntryDescription& d) {
  // Most streams end inside their stored bytes, so they are decoded from just those first; only a
  // stream that runs out of them is decoded again with the zeros behind them (the padding up to
  // the expanded length, and whatever the archive lacks). Decoding is a function of the bytes it
  // reads, so the first attempt, when it does not run out, gives what the second would.
  const size_t inputLength = d.inputBufferSize();
  auto* input = static_cast<uint8_t*>(std::malloc(d.stored > 0 ? d.stored : 1));
  if (input == nullptr) return {EntryProblem::OutOfMemory, nullptr, inputLength};
  const size_t got = readAt(archive, d.offset, input, d.stored);
  uint8_t* output = nullptr;
  DecodeResult result = decompressEntry(input, static_cast<int32_t>(got), &output);
  if (result.status == DecodeStatus::Corrupt && static_cast<size_t>(result.consumed) >= got &&
      inputLength > got) {
    auto* padded = static_cast<uint8_t*>(std::realloc(input, inputLength));
    if (padded == nullptr) {
      std::free(input);
      return {EntryProblem::OutOfMemory, nullptr, inputLength};
    }
    input = padded;
    std::memset(input + got, 0, inputLength - got);
    result = decompressEntry(input, static_cast<int32_t>(inputLength), &output);
  }
  std::free(input);
  const auto size = static_cast<size_t>(result.size);
  const auto consumed = static_cast<size_t>(result.consumed);
  if (got < d.stored && consumed > got) {  // decoding needed a byte the archive lacks
    std::free(output);
    return {EntryProblem::Incomplete, nullptr, size};
  }
  switch (result.status) {
    case DecodeStatus::Ok: return {EntryProblem::None, output, size};
    case DecodeStatus::Unsupported: return {EntryProblem::Unsupported, nullptr, size};
    case DecodeStatus::Corrupt: return {EntryProblem::Corrupt, nullptr, size};
    case DecodeStatus::OutOfMemory: break;
  }
  return {EntryProblem::OutOfMemory, nullptr, size};
}
