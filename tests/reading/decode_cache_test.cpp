// The decode cache in process: each entry decoded once however many readers want it at once, kept
// within its bound and dropped oldest first.
#include "reading/decode_cache.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "reading/archive.h"
#include "support/archive_builder.h"
#include "support/scratch.h"

namespace {

// Four compressed entries of 200,000 bytes each in category 13.
class DecodeCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937_64 rng(5);
    Table table{0, {}};
    for (int e = 0; e < 4; ++e) {
      data.push_back(content(rng, 200000));
      table.entries.push_back(compressed(1 + e % 2, data.back()));
    }
    const std::filesystem::path file = dir.path() / "archive.bin";
    writeArchive(file, {table});
    archive = Archive::open(file.string());
    for (int e = 0; e < 4; ++e) entries.push_back({uint64_t(e), archive->describe(13, e)});
  }
  // Entry `e` through the cache, compared with what was packed.
  void expectEntry(DecodeCache& cache, int e) {
    const std::shared_ptr<const LoadedEntry> got = cache.get(entries[e], data[e].size());
    ASSERT_TRUE(got);
    ASSERT_EQ(got->problem, EntryProblem::None);
    ASSERT_EQ(got->size, data[e].size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(got->data.get()), got->size), data[e]);
  }
  // What was decoded, counted by key, as the cache tells it.
  std::function<void(uint64_t)> counter() {
    return [this](uint64_t key) {
      const std::lock_guard lock(mutex);
      ++decoded[key];
      changed.notify_all();
    };
  }

  ScratchFolder dir;
  std::vector<std::string> data;
  std::unique_ptr<Archive> archive;
  std::vector<DecodeCache::Entry> entries;
  std::mutex mutex;
  std::condition_variable changed;
  std::map<uint64_t, int> decoded;
};

// Room for all four: each decoded once, whatever the order of the reads. Room for about one: the
// oldest goes first, so reading A, B, A decodes A twice.
TEST_F(DecodeCacheTest, KeepsWhatFitsAndDropsTheOldestFirst) {
  const struct {
    uint64_t limit;
    std::vector<int> reads;
    std::map<uint64_t, int> decodes;
  } cases[] = {
      {8 << 20, {0, 1, 2, 3, 2, 1, 0}, {{0, 1}, {1, 1}, {2, 1}, {3, 1}}},
      {600000, {0, 1, 0, 1}, {{0, 2}, {1, 2}}},
      // Each larger than the whole cache: kept alone until another needs the room.
      {1, {3, 3, 2, 3}, {{2, 1}, {3, 2}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.limit);
    decoded.clear();
    DecodeCache cache(*archive, c.limit, counter());
    for (const int e : c.reads) expectEntry(cache, e);
    const std::lock_guard lock(mutex);
    EXPECT_EQ(decoded, c.decodes);
  }
}

// Eight readers asking for one entry at the same moment share one decoding.
TEST_F(DecodeCacheTest, ReadersAtOnceShareOneDecoding) {
  DecodeCache cache(*archive, 8 << 20, counter());
  std::vector<std::thread> readers;
  for (int i = 0; i < 8; ++i) readers.emplace_back([&] { expectEntry(cache, 2); });
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(decoded, (std::map<uint64_t, int>{{2, 1}}));
}

}  // namespace
