// Compressed entries: the format's examples and quirks as literal bytes, corrupt input, and the
// encoders round-tripped through decompressEntry. CODEC_SEED overrides the random seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codec/decode.h"
#include "codec/encode.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Decoded {
  DecodeStatus status;
  bool hasOutput;
  Bytes bytes;
  int32_t consumed;  // input bytes decoding needed
};

// Decodes from an exactly sized heap copy, so that ASan sees any read past the input.
Decoded decode(const Bytes& entry) {
  auto input = std::make_unique<uint8_t[]>(entry.size());
  std::copy(entry.begin(), entry.end(), input.get());
  uint8_t sentinel = 0;
  uint8_t* output = &sentinel;
  const DecodeResult r = decompressEntry(input.get(), static_cast<int32_t>(entry.size()), &output);
  Decoded d{r.status, output != nullptr, {}, r.consumed};
  if (output != nullptr) d.bytes.assign(output, output + r.size);
  std::free(output);
  return d;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A hand-made entry; the bytes the decoder must not examine (0-2, and 12-15 of a long header)
// hold 0xA5, which would decode differently from the data if they were read.
Bytes entry(uint8_t tag, uint32_t methodWord, uint32_t sizeWord, const Bytes& data) {
  Bytes e(tag == kShortHeaderTag ? kShortHeaderSize : kLongHeaderSize, 0xA5);
  e[3] = tag;
  for (int i = 0; i < 4; ++i) {
    e[4 + i] = static_cast<uint8_t>(methodWord >> 8 * i);
    e[8 + i] = static_cast<uint8_t>(sizeWord >> 8 * i);
  }
  return e + data;
}
constexpr uint8_t kShort = kShortHeaderTag;

// Seeded from CODEC_SEED when set; the seed is printed when a test fails.
class CodecTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (HasFailure()) std::printf("seed %u (rerun with CODEC_SEED=%u)\n", seed_, seed_);
  }
  const char* seedText_ = std::getenv("CODEC_SEED");
  uint32_t seed_ = seedText_ != nullptr ? std::strtoul(seedText_, nullptr, 0) : 20261207;
  std::mt19937 rng_{seed_};
};

enum class Kind { Zeros, Text, Random, Runs, Mixed };

// Mixed: pieces of every other kind and of short periodic patterns, so token boundaries fall
// everywhere (literal runs next to matches, runs split at 127 and 128 bytes).
Bytes generate(Kind kind, size_t size, std::mt19937& rng) {
  static const char* const kWords[] = {"vertex ", "normal ", "index ", "strip ", "uv ", "\n"};
  Bytes data;
  while (data.size() < size) {
    switch (kind) {
      case Kind::Zeros: data.push_back(0); break;
      case Kind::Text: {
        const std::string word = kWords[rng() % 6];
        data.insert(data.end(), word.begin(), word.end());
        break;
      }
      case Kind::Random: data.push_back(static_cast<uint8_t>(rng())); break;
      case Kind::Runs:
        data.insert(data.end(), 1 + rng() % 5, static_cast<uint8_t>(rng() % 4));
        break;
      case Kind::Mixed: {
        const Bytes unit = generate(static_cast<Kind>(rng() % 4), 1 + rng() % 40, rng);
        for (size_t n = rng() % 400; n > 0; --n) data.push_back(unit[n % unit.size()]);
      }
    }
  }
  data.resize(size);
  return data;
}

Bytes pattern(size_t n) {  // each byte differs from its neighbours, so a wrong distance shows
  Bytes data(n);
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 256);
  return data;
}
Bytes lzLiterals(const Bytes& data) {  // runs of up to 127 bytes
  Bytes stream;
  for (size_t i = 0; i < data.size(); i += 127) {
    const size_t n = std::min<size_t>(127, data.size() - i);
    stream = stream + Bytes{static_cast<uint8_t>(n << 1)} + Bytes(&data[i], &data[i] + n);
  }
  return stream;
}
Bytes cut(const Bytes& bytes, size_t n) { return Bytes(bytes.begin(), bytes.begin() + n); }

// The format's examples and quirks as literal bytes, then corrupt input (input that runs out is
// every cut of an entry, below; here the back-references before the start).
TEST_F(CodecTest, DecodesTheExamplesAndQuirks) {
  const Bytes window = pattern(2048);
  // Back-references 2048 back at position 2047, and 128 back at 127 with room for the decoder's
  // fast loop, which checks back-references on its own.
  const Bytes far = lzLiterals(pattern(2047)) + Bytes{0xFF, 0x0F};
  const Bytes fast = lzLiterals(pattern(127)) + Bytes{0xFF, 0} + lzLiterals(pattern(300));
  constexpr DecodeStatus kCorrupt = DecodeStatus::Corrupt, kUnsupported = DecodeStatus::Unsupported;
  const struct {
    const char* name;
    Bytes entry;
    Bytes expected;
    DecodeStatus status = DecodeStatus::Ok;
    int32_t consumed = -1;  // checked when set: where decoding stopped
  } cases[] = {
      {"lz example", entry(kShort, 1, 7, {6, 'A', 'B', 'C', 5, 0x10}), text("ABCABCA")},
      {"rle example", entry(kShort, 2, 6, {0x83, 'A', 1, 'B', 'C'}), text("AAAABC")},
      {"lz control byte 0 writes nothing", entry(kShort, 1, 1, {0, 0, 2, 'A'}), text("A")},
      {"lz distance 1", entry(kShort, 1, 11, {2, 'A', 0x01, 0x70}), text("AAAAAAAAAAA")},
      {"lz distance 2048", entry(kShort, 1, 2051, lzLiterals(window) + Bytes{0xFF, 0x0F}),
       window + cut(window, 3)},
      {"lz back-reference cut at the size", entry(kShort, 1, 5, {2, 'A', 0x01, 0xF0}),
       text("AAAAA")},
      {"lz literal run cut at the size", entry(kShort, 1, 2, {6, 'A', 'B', 'C'}), text("AB"),
       DecodeStatus::Ok, 15},  // the bytes past the size are not needed
      {"rle fill cut at the size", entry(kShort, 2, 3, {0xFF, 'A'}), text("AAA")},
      {"rle literal run cut at the size", entry(kShort, 2, 1, {2, 'A', 'B', 'C'}), text("A"),
       DecodeStatus::Ok, 14},
      {"rle control byte 0 is one literal", entry(kShort, 2, 2, {0, 'A', 0, 'B'}), text("AB")},
      {"stored copies only the size", entry(kShort, 0, 3, text("ABCDE")), text("ABC")},
      {"size bits 25-31 ignored", entry(kShort, 2, 0xFE000010, {0x8F, 'A'}), Bytes(16, 'A')},
      {"method word 5 is lz", entry(kShort, 5, 7, {6, 'A', 'B', 'C', 5, 0x10}), text("ABCABCA")},
      {"method word ~1 is rle", entry(kShort, ~1U, 2, {0x81, 'A'}), text("AA")},
      {"tag 0x63 is long", entry(0x63, 0, 2, text("AB")), text("AB")},
      {"size 0 reads no token", entry(kShort, 1, 0, {0x01}), {}},
      {"method 3", entry(kShort, 3, kExpandedSizeMask, {0x8F, 'A'}), {}, kUnsupported},
      {"input shorter than the short header", cut(entry(kShort, 0, 0, {}), 11), {}, kCorrupt},
      {"input shorter than the long header", cut(entry(0, 1, 0, {}), 14), {}, kCorrupt},
      {"lz back-reference at position 0", entry(kShort, 1, 3, {0x01, 0x00, 0}), {}, kCorrupt, 14},
      {"lz distance 2 at position 1", entry(kShort, 1, 4, {2, 'A', 0x03, 0x00}), {}, kCorrupt},
      {"lz distance 2048 at position 2047", entry(kShort, 1, 2050, far), {}, kCorrupt},
      {"lz distance 128 at position 127", entry(kShort, 1, 430, fast), {}, kCorrupt, 12 + 128 + 2},
      {"method 3 needs only its header", entry(kShort, 3, 1, {0}), {}, kUnsupported, 12},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Decoded d = decode(c.entry);
    EXPECT_EQ(d.status, c.status);
    EXPECT_EQ(d.hasOutput, c.status == DecodeStatus::Ok);
    EXPECT_EQ(d.bytes, c.expected);
    if (c.consumed >= 0) {
      EXPECT_EQ(d.consumed, c.consumed);
    }
  }
}

size_t bodySize(const Bytes& entry) { return entry.size() - kShortHeaderSize; }
size_t ceilDiv(size_t a, size_t b) { return (a + b - 1) / b; }

TEST_F(CodecTest, RoundTripsEveryKindSizeMethodAndTag) {
  const size_t sizes[] = {0, 1, 2, 3, 18, 19, 127, 128, 129, 2048, 2049, 4133, 65549, 1 << 20};
  for (const Kind kind : {Kind::Zeros, Kind::Text, Kind::Random, Kind::Runs, Kind::Mixed}) {
    for (const size_t size : sizes) {
      const Bytes data = generate(kind, size, rng_);
      for (uint32_t method = 0; method < 3; ++method) {
        for (const HeaderTag tag : {HeaderTag::Short, HeaderTag::Long}) {
          SCOPED_TRACE(testing::Message()
                       << "kind " << static_cast<int>(kind) << ", size " << size << ", method "
                       << method << ", tag " << static_cast<int>(tag));
          const Bytes e =
              buildCompressedEntry(static_cast<StorageMethod>(method), data.data(), size, tag);
          ASSERT_EQ(e[3] == kShortHeaderTag, tag == HeaderTag::Short);
          // Exactly sized, and followed by zero padding as the stored bytes of an archive are.
          for (const Bytes& input : {e, e + Bytes(64, 0)}) {
            const Decoded d = decode(input);
            ASSERT_EQ(d.status, DecodeStatus::Ok);
            ASSERT_TRUE(d.bytes == data) << "decoded to " << d.bytes.size() << " bytes";
            ASSERT_EQ(d.consumed, static_cast<int32_t>(e.size()));  // the padding is not needed
          }
          // Incompressible data grows by no more than the literal runs' control bytes.
          if (kind == Kind::Random && tag == HeaderTag::Short && method > 0) {
            EXPECT_LE(bodySize(e), size + ceilDiv(size, method == 1 ? 127 : 128) + 1);
          }
        }
      }
    }
  }
}

// Data repeating with period p: after the first period, every 18 bytes are one back-reference
// while p fits the window (the bound allows a little for chance matches in the first period), and
// a run of one byte is one fill per 128 bytes.
TEST_F(CodecTest, EncodersFindRepeatsOfEveryPeriodTheWindowHolds) {
  std::vector<size_t> periods = {63, 64, 65, 127, 128, 129, 1000, 2047, 2048};
  for (size_t p = 1; p <= 40; ++p) periods.push_back(p);
  for (const size_t p : periods) {
    SCOPED_TRACE("period " + std::to_string(p));
    const Bytes unit = generate(Kind::Random, p, rng_);
    Bytes data(3 * p + 100 + rng_() % 1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = unit[i % p];
    const Bytes e = buildCompressedEntry(StorageMethod::Lz, data.data(), data.size());
    ASSERT_TRUE(decode(e).bytes == data);
    EXPECT_LE(bodySize(e), p + ceilDiv(p, 127) + 2 * ceilDiv(data.size() - p, 18) + p / 64 + 4);
    if (p == 1) {
      EXPECT_EQ(bodySize(buildCompressedEntry(StorageMethod::Rle, data.data(), data.size())),
                2 * ceilDiv(data.size(), 128));
    }
  }
}

// The encoders emit exactly the tokens the output needs, so every shorter input runs out: inside
// a literal run, between the two bytes of a back-reference, before a fill byte, in stored data,
// with long runs and short ones.
// A cut entry has read all its input when it fails (a caller whose archive was cut short can tell
// that the missing bytes mattered).
TEST_F(CodecTest, EveryCutOfAnEntryIsCorrupt) {
  const Bytes data = generate(Kind::Text, 300, rng_) + Bytes(100, 0) +
                     generate(Kind::Random, 300, rng_) + generate(Kind::Runs, 300, rng_);
  for (uint32_t method = 0; method < 3; ++method) {
    for (const HeaderTag tag : {HeaderTag::Short, HeaderTag::Long}) {
      const Bytes e =
          buildCompressedEntry(static_cast<StorageMethod>(method), data.data(), data.size(), tag);
      for (size_t n = 0; n < e.size(); ++n) {
        const Decoded d = decode(cut(e, n));
        ASSERT_EQ(d.status, DecodeStatus::Corrupt) << "method " << method << ", cut at " << n;
        ASSERT_FALSE(d.hasOutput);
        ASSERT_EQ(d.consumed, static_cast<int32_t>(n));  // it ran out: all of it was read
      }
    }
  }
}
}  // namespace
