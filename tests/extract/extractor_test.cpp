// The extraction as a library: archives open at once, an extractor each, in one process.
#include "extract/extractor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <random>

#include "archive/categories.h"
#include "reading/archive.h"
#include "reading/entry.h"
#include "reading/selection.h"
#include "support/archive_builder.h"
#include "support/scratch.h"

namespace {

namespace fs = std::filesystem;

// Records what the writer reports, in order.
class RecordedEvents : public ExtractEvents {
 public:
  std::string log;
  void extracting(const std::string& path) override { log += path + "\n"; }
  void unsupported(const std::string& path) override { log += "unsupported " + path + "\n"; }
  void problem(const std::string& path, EntryProblem, const std::string& what) override {
    log += "problem " + path + ": " + what + "\n";
  }
  void failure(const Error& error) override { log += "failure " + std::string(error.what()) + "\n"; }
};

// Two archives with different trees, open at once and swept side by side, an entry of one then an
// entry of the other, each extracted into a folder of its own: each gives its own tree (the one
// machine looks each entry up in its own archive's index).
TEST(Extractor, TwoOpenArchivesSweptSideBySideGiveTheirOwnTrees) {
  const ScratchFolder dir;
  std::mt19937_64 rng(7);
  struct Run {
    Tree want;
    std::unique_ptr<Archive> archive;
    Selection selection;
    std::optional<Sweep> sweep;
    RecordedEvents events;
    std::unique_ptr<Extractor> extractor;
  } runs[2];
  for (int round = 0; round < 2; ++round) {
    Run& run = runs[round];
    std::vector<Table> tables;
    for (int row = round; row < 11; row += 2) {
      Table table{row, {}};
      for (int e = 0; e < 3 + round; ++e) {
        const std::string data = content(rng, 100 + rng() % 5000);
        table.entries.push_back(e % 2 == 0 ? plain(data) : compressed(1 + round, data));
        run.want[path(row, e)] = data;
      }
      tables.push_back(table);
    }
    const fs::path archive = dir / ("archive" + std::to_string(round));
    const fs::path out = dir / ("out" + std::to_string(round));
    fs::create_directories(out);
    writeArchive(archive, tables);
    run.archive = Archive::open(archive.string());
    run.selection.restrictEntries("0-19");
    run.sweep.emplace(run.archive->entries(run.selection));
    std::optional<Folder> folder = openFolder(out.string());
    ASSERT_TRUE(folder);
    run.extractor = std::make_unique<Extractor>(*run.archive, std::move(*folder), run.events);
  }
  for (bool more = true; more;) {
    more = false;
    for (Run& run : runs) {
      if (const std::optional<SweptEntry> e = run.sweep->next()) {
        ASSERT_TRUE(run.extractor->extract(e->category, e->entry, e->description));
        more = true;
      }
    }
  }
  for (int round = 0; round < 2; ++round) {
    Run& run = runs[round];
    EXPECT_EQ(run.extractor->finish(), ExtractStatus::Clean);
    EXPECT_EQ(run.events.log, sweepLines(run.want));
    EXPECT_EQ(summary(readTree(dir / ("out" + std::to_string(round)))), summary(run.want));
  }
}

}  // namespace
