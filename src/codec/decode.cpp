#include "codec/decode.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// Copies a back-reference of n bytes from `distance` bytes back. The copy runs forward, so a
// distance below n repeats the last `distance` bytes; at 16 or more the source never overlaps
// what one 16-byte block writes, and a whole block may be written when the output has room
// (bytes past n are rewritten by later tokens before anything reads them).
inline void copyBack(uint8_t* out, int32_t pos, int32_t size, int32_t distance, int32_t n) {
  uint8_t* dst = out + pos;
  const uint8_t* src = dst - distance;
  if (size - pos >= 32) {
    if (distance >= 16) {
      std::memcpy(dst, src, 16);
      if (n > 16) std::memcpy(dst + 16, src + 16, 16);
      return;
    }
    if (distance >= 8) {
      // Each 8-byte block reads only bytes written before it (distance >= 8); 24 cover 18.
      std::memcpy(dst, src, 8);
      std::memcpy(dst + 8, src + 8, 8);
      std::memcpy(dst + 16, src + 16, 8);
      return;
    }
    if (distance == 1) {  // a run of the previous byte
      std::memset(dst, dst[-1], 18);
      return;
    }
  }
  for (int32_t i = 0; i < n; ++i) dst[i] = src[i];
}

// Copies a literal run of n bytes; `available` input bytes and `room` output bytes may be
// touched, so short runs move as one 16-byte block when both allow it.
inline void copyLiteral(uint8_t* dst, const uint8_t* src, int32_t n, int32_t available,
                        int32_t room) {
  if (n <= 16 && available >= 16 && room >= 16) {
    std::memcpy(dst, src, 16);
    return;
  }
  std::memcpy(dst, src, static_cast<size_t>(n));
}

}  // namespace

// LZ: each token starts with a control byte a. Bit 0 set: a back-reference; with the next byte b,
// w = a + 256 b, the distance is bits 1-11 of w plus one (1 to 2048) and the count bits 12-15
// plus three (3 to 18). Bit 0 clear: a literal run of a >> 1 bytes (0 to 127; a = 0 writes
// nothing). Tokens repeat while the output is short of the expanded size; bytes a token would
// place beyond it are dropped.
DecodeStatus expandLz(DecodeContext& c) {
  const uint8_t* in = c.input;
  const int32_t end = c.inputLength;
  int32_t cursor = c.cursor;
  uint8_t* out = c.output;
  const int32_t size = c.expandedSize;
  int32_t pos = 0;
  // A failure leaves the cursor where decoding stopped; input that runs out counts as read to
  // its end.
  const auto corrupt = [&c](int32_t at) {
    c.cursor = at;
    return DecodeStatus::Corrupt;
  };
  // While more than kLzSlack bytes of output and of input remain, no token can reach either end
  // (a token reads at most 128 input bytes and writes at most 127), so the loop checks only that
  // a back-reference stays inside the output, and copies in whole blocks that may run past the
  // token's bytes (later tokens overwrite them).
  constexpr int32_t kLzSlack = 160;
  while (size - pos > kLzSlack && end - cursor > kLzSlack) {
    const uint32_t a = in[cursor];
    uint8_t* dst = out + pos;
    if ((a & 1) != 0) {
      const uint32_t w = a | static_cast<uint32_t>(in[cursor + 1]) << 8;
      cursor += 2;
      const auto distance = static_cast<int32_t>(((w >> 1) & 0x7FF) + 1);
      const auto count = static_cast<int32_t>((w >> 12) + 3);
      if (distance > pos) return corrupt(cursor);
      copyBack(out, pos, size, distance, count);
      pos += count;
    } else {
      const auto n = static_cast<int32_t>(a >> 1);
      const uint8_t* src = in + cursor + 1;
      std::memcpy(dst, src, 16);
      if (n > 16) {
        std::memcpy(dst + 16, src + 16, 16);
        for (int32_t i = 32; i < n; i += 32) std::memcpy(dst + i, src + i, 32);
      }
      cursor += 1 + n;
      pos += n;
    }
  }
  while (pos < size) {
    if (cursor >= end) return corrupt(end);
    const uint32_t a = in[cursor++];
    if ((a & 1) != 0) {
      if (cursor >= end) return corrupt(end);
      const uint32_t w = a | static_cast<uint32_t>(in[cursor++]) << 8;
      const auto distance = static_cast<int32_t>(((w >> 1) & 0x7FF) + 1);
      const auto count = static_cast<int32_t>((w >> 12) + 3);
      if (distance > pos) return corrupt(cursor);
      const int32_t n = std::min(count, size - pos);
      copyBack(out, pos, size, distance, n);
      pos += n;
    } else {
      const int32_t n = std::min(static_cast<int32_t>(a >> 1), size - pos);
      if (n > end - cursor) return corrupt(end);
      copyLiteral(out + pos, in + cursor, n, end - cursor, size - pos);
      cursor += n;  // a run cut at the size ends the stream: its other bytes are not needed
      pos += n;
    }
  }
  c.cursor = cursor;
  return DecodeStatus::Ok;
}

// Run-length: each run starts with a control byte a of length (a & 0x7F) + 1 (1 to 128). Bit 7
// set: the next byte repeated; clear: that many literal bytes.
DecodeStatus expandRle(DecodeContext& c) {
  const uint8_t* in = c.input;
  const int32_t end = c.inputLength;
  int32_t cursor = c.cursor;
  uint8_t* out = c.output;
  const int32_t size = c.expandedSize;
  int32_t pos = 0;
  const auto corrupt = [&c, end] {  // the input ran out: all of it was read
    c.cursor = end;
    return DecodeStatus::Corrupt;
  };
  while (pos < size) {
    // Most runs are short. While a control byte and 32 more input bytes, and 32 output bytes,
    // are to spare, a run of up to 32 bytes is written as one 32-byte block, with no call,
    // string instruction or loop whose trip count depends on the length; later runs overwrite
    // the bytes past it.
    while (size - pos >= 32 && end - cursor >= 33) {
      const uint32_t a = in[cursor];
      const int32_t length = static_cast<int32_t>(a & 0x7F) + 1;
      if (length > 32) break;
      if ((a & 0x80) != 0) {
        const uint64_t fillWord = in[cursor + 1] * 0x0101010101010101ULL;
        for (int32_t i = 0; i < 32; i += 8) std::memcpy(out + pos + i, &fillWord, 8);
        cursor += 2;
      } else {
        std::memcpy(out + pos, in + cursor + 1, 32);
        cursor += 1 + length;
      }
      pos += length;
    }
    if (pos >= size) break;
    if (cursor >= end) return corrupt();
    const uint32_t a = in[cursor++];
    const int32_t length = static_cast<int32_t>(a & 0x7F) + 1;
    const int32_t n = std::min(length, size - pos);
    if ((a & 0x80) != 0) {
      if (cursor >= end) return corrupt();
      std::memset(out + pos, in[cursor++], static_cast<size_t>(n));
    } else {
      if (n > end - cursor) return corrupt();
      copyLiteral(out + pos, in + cursor, n, end - cursor, size - pos);
      cursor += n;  // likewise
    }
    pos += n;
  }
  c.cursor = cursor;
  return DecodeStatus::Ok;
}

DecodeResult readEntryHeader(const uint8_t* input, int32_t inputLength) {
  if (input == nullptr || inputLength < static_cast<int32_t>(kShortHeaderSize) ||
      inputLength < static_cast<int32_t>(headerSizeFor(input[3]))) {
    return {DecodeStatus::Corrupt, 0, std::max(inputLength, 0)};
  }
  const CompressedHeader header = readCompressedHeader(input);
  const auto size = static_cast<int32_t>(header.expandedSize);
  const auto headerSize = static_cast<int32_t>(header.headerSize);
  if (header.method == StorageMethod::Unsupported) {
    return {DecodeStatus::Unsupported, size, headerSize};
  }
  return {DecodeStatus::Ok, size, headerSize};
}

DecodeResult decodeEntry(const uint8_t* input, int32_t inputLength, uint8_t* output) {
  const CompressedHeader header = readCompressedHeader(input);
  const auto size = static_cast<int32_t>(header.expandedSize);
  DecodeContext context = {input, inputLength, static_cast<int32_t>(header.headerSize), output,
                           size};
  DecodeStatus status = DecodeStatus::Ok;
  switch (header.method) {
    case StorageMethod::Stored:  // the bytes behind the header are the entry
      if (size > inputLength - context.cursor) {
        status = DecodeStatus::Corrupt;
        context.cursor = inputLength;
      } else if (size > 0) {
        std::memcpy(output, input + context.cursor, static_cast<size_t>(size));
        context.cursor += size;
      }
      break;
    case StorageMethod::Lz: status = expandLz(context); break;
    case StorageMethod::Rle: status = expandRle(context); break;
    // Method 3 has no decoder (readEntryHeader() says so first); the others never stand in a
    // compressed entry's header.
    case StorageMethod::Unsupported:
    case StorageMethod::Plain:
    case StorageMethod::Unknown:
    case StorageMethod::NoData:
    case StorageMethod::Auto:
    case StorageMethod::Keep: status = DecodeStatus::Unsupported; break;
  }
  return {status, size, context.cursor};
}

DecodeResult decompressEntry(const uint8_t* input, int32_t inputLength, uint8_t** output) {
  *output = nullptr;
  const DecodeResult header = readEntryHeader(input, inputLength);
  if (header.status != DecodeStatus::Ok) return header;
  const int32_t size = header.size;
  auto* buffer = static_cast<uint8_t*>(std::malloc(size > 0 ? static_cast<size_t>(size) : 1));
  if (buffer == nullptr) return {DecodeStatus::OutOfMemory, size, header.consumed};
  const DecodeResult result = decodeEntry(input, inputLength, buffer);
  if (result.status == DecodeStatus::Ok) {
    *output = buffer;
  } else {
    std::free(buffer);
  }
  return result;
}
