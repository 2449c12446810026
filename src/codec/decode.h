// Compressed archive entries: the header and the two decoders.
//
// A compressed entry starts with a header: byte 3 is the tag (0x64, the letter d, for a 12-byte
// header; anything else for 16 bytes), bits 0-1 of the little-endian word at 4 the method
// (0 stored, 1 LZ, 2 run-length, 3 unsupported), bits 0-24 of the word at 8 the expanded size.
// Nothing else is examined: no magic number, no checksum.
#pragma once

#include <cstdint>

constexpr uint8_t kShortHeaderTag = 0x64;
constexpr uint32_t kShortHeaderSize = 12;
constexpr uint32_t kLongHeaderSize = 16;
constexpr uint32_t kExpandedSizeMask = 0x1FFFFFF;

enum class DecodeStatus {
  Ok,
  Unsupported,  // method 3: no decoder exists
  Corrupt,      // the data runs out, or a back-reference reaches before the start of the output
  OutOfMemory,  // no memory for the expanded size; the caller decides what that means
};

// The state one decode shares between decompressEntry and the codecs: one decode at a time.
struct DecodeContext {
  const uint8_t* input;  // the entry's bytes, header first
  int32_t inputLength;   // bytes readable at `input`
  int32_t cursor;        // next input byte to read
  uint8_t* output;       // expandedSize bytes
  int32_t expandedSize;
};
extern DecodeContext decodeContext;

struct DecodeResult {
  DecodeStatus status;
  int32_t size;  // the expanded size from the header (not meaningful with Corrupt)
};

// Decodes the entry in input[0, inputLength). On Ok, *output is a malloc'ed buffer of exactly
// `size` bytes that the caller frees (nullptr when size is 0 is not guaranteed: a 1-byte
// allocation may stand for it). On any other status *output is nullptr and nothing is allocated.
DecodeResult decompressEntry(const uint8_t* input, int32_t inputLength, uint8_t** output);

// The codecs, on decodeContext; the output is fully written when they return Ok.
DecodeStatus expandLz();
DecodeStatus expandRle();
