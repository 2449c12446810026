// The extraction as a library: a guest session and an extractor per archive, in one process.
#include "driver/extractor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "archive/categories.h"
#include "driver/entry.h"
#include "guest/session.h"
#include "support/archive_builder.h"

namespace {

namespace fs = std::filesystem;

// Records what the writer reports, in order.
class RecordedEvents : public ExtractEvents {
 public:
  std::string log;
  void extracting(const std::string& path) override { log += path + "\n"; }
  void unsupported(const std::string& path) override { log += "unsupported " + path + "\n"; }
  void problem(const std::string& path, const std::string& what) override {
    log += "problem " + path + ": " + what + "\n";
  }
  void failure(const std::string& message) override { log += "failure " + message + "\n"; }
};

std::vector<uint8_t> indexOf(const fs::path& archive) {
  const std::string bytes = readFile(archive);
  return {bytes.begin() + kArchiveIndexOffset,
          bytes.begin() + kArchiveIndexOffset + kArchiveIndexSize};
}

// Two archives with different trees, extracted one after the other into folders of their own:
// each gives its own tree (a session copies its own index into guest memory).
TEST(Extractor, TwoArchivesInOneProcessGiveTheirOwnTrees) {
  const fs::path dir = fs::temp_directory_path() / ("extractor-test-" + std::to_string(getpid()));
  fs::remove_all(dir);
  std::mt19937_64 rng(7);
  for (int round = 0; round < 2; ++round) {
    Tree want;
    std::vector<Table> tables;
    for (int row = round; row < 11; row += 2) {
      Table table{row, {}};
      for (int e = 0; e < 3 + round; ++e) {
        const std::string data = content(rng, 100 + rng() % 5000);
        table.entries.push_back(e % 2 == 0 ? plain(data) : compressed(1 + round, data));
        want[path(row, e)] = data;
      }
      tables.push_back(table);
    }
    const fs::path archive = dir / ("archive" + std::to_string(round));
    const fs::path out = dir / ("out" + std::to_string(round));
    fs::create_directories(out);
    writeArchive(archive, tables);

    const std::vector<uint8_t> index = indexOf(archive);
    const auto session = GuestSession::open(index.data());
    ASSERT_TRUE(session);
    const int archiveFd = open(archive.c_str(), O_RDONLY | O_CLOEXEC);
    const int outFd = open(out.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    RecordedEvents events;
    {
      Extractor extractor(archiveFd, outFd, events);
      for (const ModelCategory& row : kModelCategories) {
        for (int32_t e = 0; e < 20; ++e) {
          ASSERT_TRUE(
              extractor.extract(row.category, e, describeEntry(session->ask(row.category, e))));
        }
      }
      EXPECT_EQ(extractor.finish(), ExtractStatus::Clean);
    }
    close(archiveFd);
    close(outFd);
    EXPECT_EQ(events.log, sweepLines(want));
    EXPECT_EQ(summary(readTree(out)), summary(want));
  }
  fs::remove_all(dir);
}

}  // namespace
