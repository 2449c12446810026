#include "codec/encode.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <stdexcept>

#include "codec/decode.h"

namespace {

// LZ token limits: a back-reference word has 11 bits of distance - 1 and 4 bits of count - 3; a
// literal control byte holds the run length in its upper 7 bits.
constexpr size_t kWindow = 2048;
constexpr size_t kMinMatch = 3;
constexpr size_t kMaxMatch = 18;
constexpr size_t kMaxLzLiteralRun = 127;

// Run-length limits: 7 bits of length - 1 in the control byte, bit 7 selecting a fill run.
constexpr size_t kMaxRleRun = 128;
constexpr uint8_t kRleFill = 0x80;

// A bucket per 3-byte hash, twice as many as the window holds positions, keeps false candidates
// rare. The chain walk stops after kMaxChain candidates, which bounds the worst case (many
// positions sharing three bytes that never extend to a full match, as the bytes of repeated
// float constants do); on model-like data 128 loses about half a percent of size to an
// unbounded walk.
constexpr int kHashBits = 12;
constexpr int kMaxChain = 128;

// The number of equal leading bytes of a and b, at most limit; eight bytes at a time, where the
// lowest differing bit of the little-endian words gives the first differing byte.
size_t matchLength(const uint8_t* a, const uint8_t* b, size_t limit) {
  size_t n = 0;
  for (; n + 8 <= limit; n += 8) {
    uint64_t x = 0;
    uint64_t y = 0;
    std::memcpy(&x, a + n, 8);
    std::memcpy(&y, b + n, 8);
    if (x != y) return n + static_cast<size_t>(std::countr_zero(x ^ y)) / 8;
  }
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

struct Match {
  size_t length = 0;
  size_t distance = 0;
};

// Hash chains over the window: head[h] is the latest position whose next three bytes hash to h,
// prev[p % kWindow] the position before p with the same hash. A slot of prev is reused only by a
// position kWindow later, by which time p has left the window, so a walk that stops at the window
// edge never follows a reused slot.
class MatchFinder {
 public:
  MatchFinder(const uint8_t* data, size_t size) : data_(data), size_(size) {
    std::fill(std::begin(head_), std::end(head_), kNone);
  }

  // Positions must be inserted in ascending order, each before the search at any later position.
  void insert(size_t pos) {
    if (pos + kMinMatch > size_) return;
    const uint32_t h = hash(pos);
    prev_[pos % kWindow] = head_[h];
    head_[h] = pos;
  }

  // The longest match for `pos` among the positions inserted so far, the nearest on a tie.
  Match find(size_t pos) const {
    Match best;
    if (pos + kMinMatch > size_) return best;
    const size_t limit = std::min(kMaxMatch, size_ - pos);
    const uint8_t* here = data_ + pos;
    size_t c = head_[hash(pos)];
    for (int chain = 0; chain < kMaxChain && c != kNone; ++chain) {
      if (pos - c > kWindow) break;
      const uint8_t* there = data_ + c;
      // A candidate can only beat the best if it also matches the byte just past it.
      if (there[best.length] == here[best.length]) {
        const size_t n = matchLength(there, here, limit);
        if (n > best.length) {
          best = {n, pos - c};
          if (n == limit) break;
        }
      }
      c = prev_[c % kWindow];
    }
    if (best.length < kMinMatch) best = {};
    return best;
  }

  Match findAndInsert(size_t pos) {
    const Match m = find(pos);
    insert(pos);
    return m;
  }

 private:
  static constexpr size_t kNone = SIZE_MAX;

  uint32_t hash(size_t pos) const {
    const uint8_t* p = data_ + pos;
    const uint32_t v = p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16;
    return (v * 2654435761U) >> (32 - kHashBits);
  }

  const uint8_t* data_;
  size_t size_;
  size_t head_[1 << kHashBits];
  size_t prev_[kWindow] = {};
};

void putLzLiterals(std::vector<uint8_t>& out, const uint8_t* p, size_t n) {
  while (n > 0) {
    const size_t run = std::min(n, kMaxLzLiteralRun);
    out.push_back(static_cast<uint8_t>(run << 1));  // bit 0 clear: a literal run
    out.insert(out.end(), p, p + run);
    p += run;
    n -= run;
  }
}

void putLzMatch(std::vector<uint8_t>& out, const Match& m) {
  // Bit 0 set marks a back-reference; the word is stored low byte first, so bit 0 is in the
  // control byte the decoder reads first.
  const size_t w = 1 | (m.distance - 1) << 1 | (m.length - kMinMatch) << 12;
  out.push_back(static_cast<uint8_t>(w));
  out.push_back(static_cast<uint8_t>(w >> 8));
}

void putRleLiterals(std::vector<uint8_t>& out, const uint8_t* p, size_t n) {
  while (n > 0) {
    const size_t run = std::min(n, kMaxRleRun);
    out.push_back(static_cast<uint8_t>(run - 1));
    out.insert(out.end(), p, p + run);
    p += run;
    n -= run;
  }
}

void putLittleWord(std::vector<uint8_t>& out, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

// A greedy parse: the longest match at each position is taken. A match costs 2 bytes whatever
// its length, and even a 3-byte one that splits a literal run (one more control byte) costs no
// more than the literals. Deferring a match by a byte for a longer one (a lazy parse) costs a
// literal and its control byte for at most a few bytes more coverage, which the next match
// mostly reaches anyway: on model-like data a lazy parse came out about 4% larger, and the greedy
// one about 1% larger than the smallest parse of these tokens (an exhaustive search).
std::vector<uint8_t> compressLz(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  out.reserve(size + size / kMaxLzLiteralRun + 1);
  auto finder = std::make_unique<MatchFinder>(data, size);
  size_t literalStart = 0;
  size_t pos = 0;
  while (pos < size) {
    const Match match = finder->findAndInsert(pos);
    if (match.length == 0) {
      ++pos;
      continue;
    }
    putLzLiterals(out, data + literalStart, pos - literalStart);
    putLzMatch(out, match);
    for (size_t p = pos + 1; p < pos + match.length; ++p) finder->insert(p);
    pos += match.length;
    literalStart = pos;
  }
  putLzLiterals(out, data + literalStart, size - literalStart);
  return out;
}

// Fill runs start at three equal bytes: a fill of three (2 bytes) never costs more than three
// literals, even when it splits a literal run, and decodes as a block fill. A pair only pays
// between two fills, and costs a byte inside literal data, which is where pairs mostly occur in
// model data (equal high bytes of neighbouring values), so pairs stay literal.
std::vector<uint8_t> compressRle(const uint8_t* data, size_t size) {
  constexpr size_t kMinFill = 3;
  std::vector<uint8_t> out;
  out.reserve(size + size / kMaxRleRun + 1);
  size_t literalStart = 0;
  size_t pos = 0;
  while (pos < size) {
    const uint8_t value = data[pos];
    size_t run = 1;
    while (pos + run < size && data[pos + run] == value) ++run;
    if (run < kMinFill) {
      pos += run;
      continue;
    }
    putRleLiterals(out, data + literalStart, pos - literalStart);
    // A run longer than one control byte allows is split; a tail of one byte is left to the
    // literal run that follows.
    while (run >= 2) {
      const size_t n = std::min(run, kMaxRleRun);
      out.push_back(static_cast<uint8_t>(kRleFill | (n - 1)));
      out.push_back(value);
      run -= n;
      pos += n;
    }
    literalStart = pos;
    pos += run;
  }
  putRleLiterals(out, data + literalStart, size - literalStart);
  return out;
}

std::vector<uint8_t> buildCompressedEntry(StorageMethod method, const uint8_t* data, size_t size,
                                          HeaderTag tag) {
  if (method != StorageMethod::Stored && method != StorageMethod::Lz &&
      method != StorageMethod::Rle) {
    throw std::invalid_argument("compressed entry: the method must be stored, lz or rle");
  }
  if (size > kExpandedSizeMask) {
    throw std::invalid_argument("compressed entry: size does not fit the 25-bit size field");
  }
  const size_t headerSize = tag == HeaderTag::Short ? kShortHeaderSize : kLongHeaderSize;
  std::vector<uint8_t> entry(headerSize);
  // Bytes 0-2 and the padding of the long header are never examined: they are left zero.
  entry[3] = tag == HeaderTag::Short ? kShortHeaderTag : 0;
  putLittleWord(entry, 4, static_cast<uint32_t>(method));
  putLittleWord(entry, 8, static_cast<uint32_t>(size));
  std::vector<uint8_t> body;
  switch (method) {
    case StorageMethod::Stored: body.assign(data, data + size); break;
    case StorageMethod::Lz: body = compressLz(data, size); break;
    case StorageMethod::Rle: body = compressRle(data, size); break;
    case StorageMethod::Unsupported:  // refused above
    case StorageMethod::Plain:
    case StorageMethod::Unknown:
    case StorageMethod::NoData:
    case StorageMethod::Auto:
    case StorageMethod::Keep: break;
  }
  entry.insert(entry.end(), body.begin(), body.end());
  return entry;
}
