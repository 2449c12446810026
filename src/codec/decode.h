// Compressed archive entries: the two decoders. The header's layout is in archive/format.h.
#pragma once

#include <cstdint>

#include "archive/format.h"

enum class DecodeStatus {
  Ok,
  Unsupported,  // method 3: no decoder exists
  Corrupt,      // the data runs out, or a back-reference reaches before the start of the output
  OutOfMemory,  // no memory for the expanded size; the caller decides what that means
};

// The state one decode shares between decompressEntry and the codec it calls.
struct DecodeContext {
  const uint8_t* input;  // the entry's bytes, header first
  int32_t inputLength;   // bytes readable at `input`
  int32_t cursor;        // next input byte to read
  uint8_t* output;       // expandedSize bytes
  int32_t expandedSize;
};

struct DecodeResult {
  DecodeStatus status;
  int32_t size;  // the expanded size from the header (not meaningful with Corrupt)
  // How many input bytes, header included, decoding needed: with Ok, the end of the stream;
  // with Corrupt, where it stopped (the whole input when the input ran out). A caller whose
  // input was cut short tells from it whether the missing bytes mattered.
  int32_t consumed;
};

// The header of the entry in input[0, inputLength): Ok with the expanded size (`consumed`: the
// header's size); Unsupported for method 3; Corrupt when the input cannot hold the header.
DecodeResult readEntryHeader(const uint8_t* input, int32_t inputLength);
// Decodes the entry in input[0, inputLength), whose header readEntryHeader() accepted, into
// `output`, which has room for its expanded size.
DecodeResult decodeEntry(const uint8_t* input, int32_t inputLength, uint8_t* output);
// Both, into a malloc'ed buffer. On Ok, *output holds exactly `size` bytes and the caller frees
// it (nullptr when size is 0 is not guaranteed: a 1-byte allocation may stand for it). On any
// other status *output is nullptr and nothing is allocated.
DecodeResult decompressEntry(const uint8_t* input, int32_t inputLength, uint8_t** output);

// The codecs; the output is fully written when they return Ok. context.cursor is then past the
// last byte they read, and after Corrupt where they stopped (the input's end if it ran out).
DecodeStatus expandLz(DecodeContext& context);
DecodeStatus expandRle(DecodeContext& context);
