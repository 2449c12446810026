// Entries stored ahead of a reader, in process: what is given is the entry whole and exact,
// damage and a size the front end does not show are never given, the window grows while the
// reader follows and shrinks when it jumps, and readers racing the workers decode nothing twice.
#include "reading/store_ahead.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "reading/archive.h"
#include "support/archive_builder.h"
#include "support/scratch.h"

namespace {

// 40 entries of about 200 KB in category 13, plain and compressed by turns; 7 is corrupt, 11 is
// stored with the unsupported method, 13 is shown one byte longer than it is, 20 is 3 MB (given
// in pieces), and takes no more after its first.
class StoreAheadTest : public ::testing::Test {
 protected:
  static constexpr int kCount = 40;
  void SetUp() override {
    std::mt19937_64 rng(9);
    Table table{0, {}};
    for (int e = 0; e < kCount; ++e) {
      data.push_back(content(rng, e == 20 ? 3 << 20 : 150000 + rng() % 100000));
      table.entries.push_back(e % 2 == 0 ? plain(data.back()) : compressed(1, data.back()));
    }
    std::string corrupt = encode(1, data[7]), unsupported = encode(2, data[11]);
    corrupt[12] = 1;  // a back-reference before the first byte
    unsupported[4] = 3;
    table.entries[7] = compressed(corrupt, data[7].size());
    table.entries[11] = compressed(unsupported, data[11].size());
    const std::filesystem::path file = dir.path() / "archive.bin";
    writeArchive(file, {table});
    archive = Archive::open(file.string());
  }

  std::unique_ptr<StoreAhead> storeAhead(DecodeCache& cache, uint64_t budget, unsigned workers) {
    const auto next = [this](uint64_t key) -> std::optional<StoreAhead::Item> {
      if (key + 1 >= kCount) return std::nullopt;
      const int e = static_cast<int>(key + 1);
      return StoreAhead::Item{key + 1, archive->describe(13, e), data[e].size() + (e == 13)};
    };
    const auto store = [this](uint64_t key, uint64_t offset, const uint8_t* bytes, size_t size) {
      const std::lock_guard lock(mutex);
      std::string& got = given[key];
      EXPECT_EQ(offset, got.size()) << key;
      got.append(reinterpret_cast<const char*>(bytes), size);
      return key != 20;
    };
    return std::make_unique<StoreAhead>(*archive, cache, budget, workers, next, store);
  }
  static void settle(const StoreAhead& ahead) {
    for (int i = 0; i < 2000 && !ahead.idle(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(ahead.idle());
  }

  ScratchFolder dir;
  std::vector<std::string> data;
  std::unique_ptr<Archive> archive;
  std::mutex mutex;
  std::map<uint64_t, std::string> given;
};

// A reader going through in order triggers only where nothing was given: the window doubles at
// each trigger that follows the plan, and what was given is exact.
TEST_F(StoreAheadTest, GivesWholeSoundEntriesAheadOfAReaderInOrder) {
  DecodeCache cache(*archive, 64 << 20);
  const std::unique_ptr<StoreAhead> ahead = storeAhead(cache, 8 << 20, 3);
  std::vector<int> triggers;
  uint64_t lastWindow = 0;
  for (int e = 0; e < kCount; ++e) {
    {
      const std::lock_guard lock(mutex);
      if (given.contains(e) && given[e].size() == data[e].size()) continue;
    }
    triggers.push_back(e);
    ahead->started(e);
    EXPECT_GE(ahead->window(), lastWindow) << e;
    lastWindow = ahead->window();
    settle(*ahead);
  }
  EXPECT_EQ(lastWindow, uint64_t{8} << 20);
  EXPECT_LE(triggers.size(), 10u);
  for (const int damaged : {7, 11, 13}) {
    EXPECT_FALSE(given.contains(damaged)) << damaged;
    EXPECT_NE(std::find(triggers.begin(), triggers.end(), damaged), triggers.end()) << damaged;
  }
  EXPECT_EQ(given.at(20).size(), StoreAhead::kPiece);
  for (const auto& [key, bytes] : given) {
    EXPECT_TRUE(key == 20 || bytes == data[key]) << key;
  }
}

// A reader that jumps elsewhere shrinks the window to its smallest; one that follows again grows
// it again. Stopped, nothing more is given.
TEST_F(StoreAheadTest, ShrinksTheWindowWhenTheReaderJumps) {
  DecodeCache cache(*archive, 64 << 20);
  const std::unique_ptr<StoreAhead> ahead = storeAhead(cache, 64 << 20, 2);
  ahead->started(0);
  settle(*ahead);
  ahead->started(1);
  EXPECT_EQ(ahead->window(), 2 * StoreAhead::kFirstWindow);
  settle(*ahead);
  ahead->started(30);
  EXPECT_EQ(ahead->window(), StoreAhead::kFirstWindow);
  ahead->started(31);
  EXPECT_EQ(ahead->window(), 2 * StoreAhead::kFirstWindow);
  ahead->stop();
  const size_t count = given.size();
  ahead->started(32);
  EXPECT_TRUE(ahead->idle());
  EXPECT_EQ(given.size(), count);
}

// Readers racing the workers through the same entries: each compressed entry decodes once, and
// the readers get the same bytes as the workers give.
TEST_F(StoreAheadTest, ReadersRacingTheWorkersDecodeNothingTwice) {
  std::map<uint64_t, int> decodes;
  DecodeCache cache(*archive, 256 << 20, [&](uint64_t key) {
    const std::lock_guard lock(mutex);
    ++decodes[key];
  });
  const std::unique_ptr<StoreAhead> ahead = storeAhead(cache, 16 << 20, 4);
  std::vector<std::jthread> readers;
  for (int r = 0; r < 4; ++r) {
    readers.emplace_back([&] {
      for (int e = 1; e < kCount; e += 2) {
        ahead->started(e);
        const auto entry = cache.get({uint64_t(e), archive->describe(13, e)}, data[e].size());
        if (entry->problem == EntryProblem::None) {
          EXPECT_TRUE(std::string(reinterpret_cast<const char*>(entry->data.get()), entry->size) ==
                      data[e])
              << e;
        }
      }
    });
  }
  readers.clear();
  settle(*ahead);
  for (const auto& [key, count] : decodes) EXPECT_EQ(count, 1) << key;
  for (const auto& [key, bytes] : given) {
    EXPECT_TRUE(key == 20 || bytes == data[key]) << key;
  }
}

}  // namespace
