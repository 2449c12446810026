// The codecs on a generated, model-like corpus of 4 MiB: expansion through decompressEntry (bytes/s
// of expanded output), memcpy of the same size as the ceiling, and the encoders (bytes/s of
// input). The `ratio` counters are expanded size / compressed size.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "codec/decode.h"
#include "codec/encode.h"

namespace {

constexpr size_t kCorpusSize = 4 << 20;

template <typename T>
void put(std::vector<uint8_t>& out, T value) {
  uint8_t bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  out.insert(out.end(), bytes, bytes + sizeof(T));
}

// Models one after another, each a grid mesh of w x h vertices as separate arrays: a 32-byte
// header, positions (x, y, z, 1.0f) on a quarter-unit grid with heights in eighths, normals from
// a handful of directions, texture coordinates, RGBA colours mostly at the neutral 0x80, triangle
// strip indices, and zero padding to a 2048-byte boundary.
std::vector<uint8_t> modelCorpus() {
  std::mt19937 rng(7);
  std::vector<uint8_t> out;
  static const float kNormals[][3] = {{0, 1, 0},       {0, 1, 0},       {0, 1, 0},
                                      {0.6f, 0.8f, 0}, {0, 0.8f, 0.6f}, {-0.6f, 0.8f, 0},
                                      {0, 0.8f, -0.6f}};
  while (out.size() < kCorpusSize) {
    const uint32_t w = 8 + rng() % 25;
    const uint32_t h = 8 + rng() % 25;
    put(out, w * h);
    put(out, 2 * (h - 1) * w);
    put(out, uint32_t{0x00010003});
    out.resize(out.size() + 20);
    for (uint32_t j = 0; j < h; ++j) {
      for (uint32_t i = 0; i < w; ++i) {
        put(out, (static_cast<float>(i) - static_cast<float>(w) / 2) * 0.25f);
        put(out, static_cast<float>(rng() % 4 == 0 ? rng() % 8 : 0) * 0.125f);
        put(out, (static_cast<float>(j) - static_cast<float>(h) / 2) * 0.25f);
        put(out, 1.0f);
      }
    }
    for (uint32_t v = 0; v < w * h; ++v) {
      const float* n = kNormals[rng() % 7];
      for (int k = 0; k < 3; ++k) put(out, n[k]);
      put(out, 0.0f);
    }
    for (uint32_t j = 0; j < h; ++j) {
      for (uint32_t i = 0; i < w; ++i) {
        put(out, static_cast<float>(i) / static_cast<float>(w - 1));
        put(out, static_cast<float>(j) / static_cast<float>(h - 1));
      }
    }
    for (uint32_t v = 0; v < w * h; ++v) {
      const uint8_t shade = rng() % 8 == 0 ? static_cast<uint8_t>(0x60 + rng() % 0x40) : 0x80;
      for (uint8_t c : {shade, shade, shade, uint8_t{0x80}}) out.push_back(c);
    }
    for (uint32_t j = 0; j + 1 < h; ++j) {
      for (uint32_t i = 0; i < w; ++i) {
        put(out, static_cast<uint16_t>(j * w + i));
        put(out, static_cast<uint16_t>((j + 1) * w + i));
      }
    }
    out.resize((out.size() + 2047) / 2048 * 2048);
  }
  out.resize(kCorpusSize);
  return out;
}

const std::vector<uint8_t>& corpus() {
  static const std::vector<uint8_t> data = modelCorpus();
  return data;
}

void setRatio(benchmark::State& state, size_t expanded, size_t compressed) {
  state.counters["ratio"] = static_cast<double>(expanded) / static_cast<double>(compressed);
}

void expand(benchmark::State& state, uint32_t method) {
  const std::vector<uint8_t> entry =
      buildCompressedEntry(static_cast<StorageMethod>(method), corpus().data(), corpus().size());
  for (auto _ : state) {
    uint8_t* output = nullptr;
    const DecodeResult r =
        decompressEntry(entry.data(), static_cast<int32_t>(entry.size()), &output);
    if (r.status != DecodeStatus::Ok) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(output);
    std::free(output);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus().size()));
  setRatio(state, corpus().size(), entry.size() - kShortHeaderSize);
}
void BM_ExpandLz(benchmark::State& state) { expand(state, 1); }
void BM_ExpandRle(benchmark::State& state) { expand(state, 2); }
BENCHMARK(BM_ExpandLz)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExpandRle)->Unit(benchmark::kMillisecond);

void BM_Memcpy(benchmark::State& state) {
  std::vector<uint8_t> output(corpus().size());
  for (auto _ : state) {
    std::memcpy(output.data(), corpus().data(), corpus().size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus().size()));
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);

template <std::vector<uint8_t> (*compress)(const uint8_t*, size_t)>
void BM_Compress(benchmark::State& state) {
  size_t compressed = 0;
  for (auto _ : state) {
    const std::vector<uint8_t> out = compress(corpus().data(), corpus().size());
    compressed = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus().size()));
  setRatio(state, corpus().size(), compressed);
}
BENCHMARK(BM_Compress<compressLz>)->Name("BM_CompressLz")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Compress<compressRle>)->Name("BM_CompressRle")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
