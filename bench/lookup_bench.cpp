// The lookups of a full sweep: the four queries for 11 categories x 10000 entry numbers
// (440,000 guest calls) over a realistic index of 500 to 2000 entries per category.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "guest/bridge.h"
#include "guest/session.h"

namespace {

constexpr int32_t kCategories[] = {13, 14, 15, 16, 19, 20, 22, 23, 24, 25, 34};

void putWord(std::vector<uint8_t>& index, uint32_t offset, uint32_t value) {
  std::memcpy(index.data() + offset, &value, 4);
}

std::vector<uint8_t> realisticIndex() {
  std::vector<uint8_t> index(kArchiveIndexSize);
  std::mt19937 rng(42);
  index[4] = 40;
  uint32_t free = 0x200;
  for (int32_t c : kCategories) {
    const uint32_t count = 500 + rng() % 1501;
    const uint32_t groups = free;
    const uint32_t entries = (groups + 3 * ((count + 15) / 16) + 3) & ~3U;
    free = entries + 4 * count;
    const uint32_t record = 0x10 + 10 * c;
    putWord(index, record, groups);
    putWord(index, record + 4, entries);
    index[record + 8] = static_cast<uint8_t>(count);
    index[record + 9] = static_cast<uint8_t>(count >> 8);
    uint32_t sector = 0;
    for (uint32_t e = 0; e < count; ++e) {
      uint32_t word = 0;
      uint32_t sectors = 0;
      if (rng() % 2 == 0) {  // plain, up to 200 KiB
        const uint32_t length = 1 + rng() % 200000;
        word = length << 2 | 1;
        sectors = (length + 2047) / 2048;
      } else {  // compressed, about 2:1
        sectors = 1 + rng() % 50;
        word = (sectors * 32 * 2) << 14 | sectors << 1;
      }
      if (e % 16 == 0) {
        for (int i = 0; i < 3; ++i)
          index[groups + 3 * (e / 16) + i] = static_cast<uint8_t>((sector << 2) >> 8 * i);
      }
      sector += sectors;
      putWord(index, entries + 4 * e, word);
    }
  }
  return index;
}

void BM_SweepLookups(benchmark::State& state) {
  static std::vector<uint8_t> index = realisticIndex();
  if (!initMachine(index.data())) {
    state.SkipWithError("out of memory");
    return;
  }
  const uint64_t stepsBefore = guestCallSteps;
  int64_t sum = 0;
  for (auto _ : state) {
    for (int32_t c : kCategories) {
      for (int32_t e = 0; e < 10000; ++e) {
        sum += queryEntrySector(c, e);
        sum += queryEntryIsPlain(c, e);
        sum += queryEntryLength(c, e);
        sum += queryEntryStoredLength(c, e);
      }
    }
  }
  benchmark::DoNotOptimize(sum);
  const double calls = 440000.0 * static_cast<double>(state.iterations());
  state.counters["ns_per_call"] =
      benchmark::Counter(calls, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["steps_per_call"] = static_cast<double>(guestCallSteps - stepsBefore) / calls;
}
BENCHMARK(BM_SweepLookups)->Unit(benchmark::kMillisecond);

// --all-categories: every category number from 0 to 255, entries 0 to 9999, four questions each
// (10,240,000 guest calls), through a guest session as archive-extract asks them.
void BM_AllCategoriesSweep(benchmark::State& state) {
  static std::vector<uint8_t> index = realisticIndex();
  const auto session = GuestSession::open(index.data());
  if (!session) {
    state.SkipWithError("out of memory");
    return;
  }
  int64_t sum = 0;
  for (auto _ : state) {
    for (int32_t c = 0; c < 256; ++c) {
      for (int32_t e = 0; e < 10000; ++e) sum += session->ask(c, e).sector;
    }
  }
  benchmark::DoNotOptimize(sum);
}
BENCHMARK(BM_AllCategoriesSweep)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
