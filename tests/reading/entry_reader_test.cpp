// One entry read as extraction would write it, through the library alone: the bytes, or the
// problem as a value that any front end can put in its own terms.
#include "reading/entry_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>

#include "reading/archive.h"
#include "reading/decode_cache.h"
#include "support/archive_builder.h"
#include "support/scratch.h"

namespace {

namespace fs = std::filesystem;

TEST(OpenEntry, GivesExtractionsBytesOrItsProblem) {
  const ScratchFolder dir;
  std::mt19937_64 rng(9);
  const std::string plainBytes = content(rng, 7000), packed = content(rng, 90000);
  std::string corrupt = encode(1, content(rng, 5000)), unsupported = encode(2, packed);
  corrupt[12] = 1;
  unsupported[4] = 3;
  const std::string cut = content(rng, 4 * 2048);  // to the end of its last sector
  const fs::path file = dir.path() / "archive.bin";
  writeArchive(file, {{0,
                       {plain(plainBytes),
                        compressed(1, packed),
                        compressed(corrupt, 5000),
                        {plainEntryWord(kNoDataLength), ""},
                        compressed(unsupported, 90000)}},
                      {1, {plain(cut)}}});
  fs::resize_file(file, fs::file_size(file) - 100);  // the last entry's end is not there
  const std::unique_ptr<Archive> archive = Archive::open(file.string());
  std::set<uint64_t> decoded;
  DecodeCache cache(*archive, 1 << 20,
                    [&](uint64_t key) { EXPECT_TRUE(decoded.insert(key).second); });

  const struct {
    int row, entry;
    std::optional<std::string> bytes;  // none: the problem below
    EntryProblem problem;
  } cases[] = {
      {0, 0, plainBytes, EntryProblem::None},
      {0, 1, packed, EntryProblem::None},
      {0, 2, std::nullopt, EntryProblem::Corrupt},
      {0, 3, std::nullopt, EntryProblem::NoData},
      {0, 4, std::nullopt, EntryProblem::Unsupported},
      {1, 0, std::nullopt, EntryProblem::Incomplete},
  };
  for (const bool cached : {false, true, true}) {  // the second time from the cache
    for (const auto& c : cases) {
      SCOPED_TRACE(path(c.row, c.entry) + (cached ? " cached" : ""));
      const ReadOptions options{.cache = cached ? &cache : nullptr,
                                .key = static_cast<uint64_t>(c.row * 100 + c.entry)};
      try {
        const std::optional<EntryBytes> got =
            openEntry(*archive, kCategories[c.row], c.entry, options);
        ASSERT_TRUE(got && c.bytes);
        std::string bytes(got->size(), '\0');
        EXPECT_EQ(got->readAt(0, reinterpret_cast<uint8_t*>(bytes.data()), bytes.size() + 1),
                  c.bytes->size());
        EXPECT_EQ(bytes, *c.bytes);
        EXPECT_EQ(got->data() != nullptr, c.entry == 1);
        EXPECT_EQ(got->readAt(got->size(), nullptr, 1), 0u);
      } catch (const EntryError& e) {
        EXPECT_EQ(e.problem(), c.problem);
        EXPECT_EQ(e.kind(), ErrorKind::EntryProblem);
        EXPECT_EQ(e.path(), path(c.row, c.entry));
        EXPECT_EQ(std::string(e.what()), e.path() + ": " + entryProblemName(c.problem));
      }
    }
  }
  EXPECT_EQ(decoded, (std::set<uint64_t>{1, 2, 4}));  // each compressed entry decoded once
  EXPECT_FALSE(openEntry(*archive, kCategories[0], 5));
}

}  // namespace
