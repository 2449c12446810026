// Fuzz target: any bytes as a compressed entry. The input sits in a buffer of exactly its size, so
// that the sanitizers see any read past its end; the decoder must report, never overrun.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codec/decode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x7FFFFFFF) return 0;
  auto* input = static_cast<uint8_t*>(std::malloc(size > 0 ? size : 1));
  if (size > 0) std::memcpy(input, data, size);
  // Keep expanded sizes below 64 KiB: the decoder's logic does not depend on the size, and
  // sanitizer-poisoned buffers of up to 32 MiB would cut the fuzzer's pace a hundredfold.
  if (size >= 12) {
    input[10] = 0;
    input[11] &= 0xFE;
  }
  uint8_t* output = nullptr;
  const DecodeResult result = decompressEntry(input, static_cast<int32_t>(size), &output);
  if (result.status == DecodeStatus::Ok) {
    // Every byte of the output is written: reading it all lets MemorySanitizer-style checks and
    // the checksum below touch any byte the decoder left out.
    volatile uint8_t sum = 0;
    for (int32_t i = 0; i < result.size; ++i) sum = static_cast<uint8_t>(sum + output[i]);
    std::free(output);
  } else if (output != nullptr) {
    std::abort();  // a failed decode must not hand out a buffer
  }
  std::free(input);
  return 0;
}
