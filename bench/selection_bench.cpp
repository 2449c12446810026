// Members as patterns: a member is matched against the 256 folder names and the 10,000 file names
// once, when it is added, so that the sweep asks each entry one bit. A class is parsed once into
// a 256-bit set, so a pattern with a class hundreds of thousands of characters long costs about
// what a short one does.
#include <benchmark/benchmark.h>

#include <string>

#include "reading/glob.h"
#include "reading/selection.h"

namespace {

// "models - g/*[aaa...a]" with a class of state.range(0) characters, added as a member.
void BM_AddLongClassMember(benchmark::State& state) {
  const std::string member =
      "models - g/*[" + std::string(static_cast<size_t>(state.range(0)), 'a') + "]";
  for (auto _ : state) {
    Selection selection;
    selection.addMember(member);
    benchmark::DoNotOptimize(selection);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(member.size()));
}
BENCHMARK(BM_AddLongClassMember)->Arg(4)->Arg(130000)->Arg(300000)->Unit(benchmark::kMillisecond);

// A short pattern with a class against one file name, parsed once.
void BM_MatchFileName(benchmark::State& state) {
  const Glob glob("*[0-4]?.raw");
  for (auto _ : state) benchmark::DoNotOptimize(glob.matches("0123.raw"));
}
BENCHMARK(BM_MatchFileName);

}  // namespace

BENCHMARK_MAIN();
