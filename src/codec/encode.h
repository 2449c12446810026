// Encoders for compressed entries, the inverse of decode.h: used by the archive packer and by
// tests. decode(encode(x)) == x for every x.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "archive/format.h"

// The LZ code: back-references of 3 to 18 bytes within the last 2048 bytes, literal runs of up to
// 127 bytes.
std::vector<uint8_t> compressLz(const uint8_t* data, size_t size);

// The run-length code: fill runs and literal runs of up to 128 bytes.
std::vector<uint8_t> compressRle(const uint8_t* data, size_t size);

enum class HeaderTag { Short, Long };  // 12-byte header (tag 0x64) or 16-byte header

// A whole compressed entry: header (tag, method word, size word) and the data encoded with
// `method` (Stored, Lz or Rle). `size` must fit the 25-bit size field.
std::vector<uint8_t> buildCompressedEntry(StorageMethod method, const uint8_t* data, size_t size,
                                          HeaderTag tag = HeaderTag::Short);
