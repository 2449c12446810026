// Hostile archives end to end: entries past the end, padding and overlaps that would expand
// without end, and memory that must not grow with the workers.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "archive/categories.h"
#include "archive/format.h"
#include "support/archive_builder.h"
#include "support/tool_test.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uint64_t kFloor = uint64_t{256} << 20;

class Hostile : public ToolTest {
 protected:
  // The files under out(), hidden ones included, with their sizes.
  std::map<std::string, uintmax_t> sizes() const {
    std::map<std::string, uintmax_t> files;
    for (const auto& item : fs::recursive_directory_iterator(out())) {
      if (item.is_regular_file())
        files[fs::relative(item.path(), out()).generic_string()] = item.file_size();
    }
    return files;
  }
  // "stopped before PATH: the entries would expand to more than ..." for this archive.
  std::string stopped(const std::string& path) const {
    return "archive-extract: stopped before " + path +
           ": the entries would expand to more than 268435456 bytes, the bound for an archive of " +
           std::to_string(fs::file_size(archive())) +
           " bytes (64 times its size, at least 256 MiB); --no-size-limit lifts it\n";
  }
};

// Makes every model category after "models - g" share the category record of "models - g": the
// same entries at the same sectors.
void shareFirstCategory(const std::string& file) {
  std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
  char record[kCategoryRecordSize];
  const auto at = [](int32_t category) {
    return kArchiveIndexOffset + kCategoryRecordsOffset + kCategoryRecordSize * category;
  };
  f.seekg(at(kCategories[0]));
  f.read(record, sizeof record);
  for (size_t row = 1; row < std::size(kCategories); ++row) {
    f.seekp(at(kCategories[row]));
    f.write(record, sizeof record);
  }
}

// Sixteen plain entries of 100 MiB each, all past the end of a file that holds only the index:
// none is written, each is named, and nothing lands on the disk.
TEST_F(Hostile, EntriesPastTheEndAreNotWritten) {
  Table g{0, {}};
  std::string lines, warnings;
  for (int e = 0; e < 16; ++e) {
    g.entries.push_back({plainEntryWord(100 << 20), ""});
    lines += path(0, e) + "\n";
    warnings += "archive-extract: " + path(0, e) +
                ": incomplete: the archive ends inside its data; not written\n";
  }
  writeArchive(archive(), {g}, kMinimumArchiveSize);
  const Outcome run = extract({archive()});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, lines);
  EXPECT_EQ(run.err, warnings + "archive-extract: 0 entries written, 16 not written\n");
  EXPECT_TRUE(sizes().empty());
}

// Twenty entries of one stored sector whose header and index claim 16 MiB, stored as is: the
// bytes behind the header are the zero padding up to the index's length. Each on its own is
// sound; sixteen reach the floor of the bound and the run stops before the seventeenth, leaving
// sixteen whole files and no partial one. --test stops at the same entry; with --no-size-limit it
// decodes them all.
TEST_F(Hostile, ZeroPaddingStopsAtTheBound) {
  constexpr uint32_t kLength = kMaxExpandedUnits * kExpandedUnit;
  std::string header(kShortHeaderSize, '\0');
  header[3] = static_cast<char>(kShortHeaderTag);
  const uint32_t size = kLength - kShortHeaderSize;
  for (int i = 0; i < 4; ++i) header[8 + i] = static_cast<char>(size >> 8 * i);
  Table g{0, {}};
  std::string lines;
  for (int e = 0; e < 20; ++e) {
    g.entries.push_back(compressed(header, kLength));
    if (e < 16) lines += path(0, e) + "\n";
  }
  writeArchive(archive(), {g});
  ASSERT_LE(fs::file_size(archive()) * 64, kFloor);

  const Outcome run = extract({archive()});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, lines);
  EXPECT_EQ(run.err, stopped(path(0, 16)) + "archive-extract: 16 entries written, 4 not written\n");
  const auto files = sizes();
  EXPECT_EQ(files.size(), 16u);
  for (const auto& [name, bytes] : files) EXPECT_EQ(bytes, size) << name;

  const Outcome test = extract({"--test", archive()});
  EXPECT_EQ(test.status, 2);
  EXPECT_EQ(std::count(test.out.begin(), test.out.end(), '\n'), 16);
  EXPECT_EQ(test.err, stopped(path(0, 16)) + "archive-extract: tested 16 entries: all sound\n");
  const Outcome unbounded = extract({"--test", "--no-size-limit", archive()});
  EXPECT_EQ(unbounded.status, 0);
  EXPECT_EQ(unbounded.err, "archive-extract: tested 20 entries: all sound\n");
}

// One run-length entry that declares the largest sizes the format allows (8191 stored sectors,
// an index length of 16 MiB, a header of 32 MiB) and expands to 32 MiB from a 512 KiB stream, with
// all eleven categories pointing at it. The archive ends right after the stream: the stream is
// whole. Eight copies reach the bound; memory stays within 64 MiB plus twice the largest entry.
TEST_F(Hostile, OverlappingEntriesStopAtTheBoundWithinTheirMemory) {
  const std::string stream = encode(2, std::string(kExpandedSizeMask, '\0'));
  writeArchive(archive(),
               {{0, {{compressedEntryWord(kMaxStoredSectors, kMaxExpandedUnits), stream}}}},
               kDataStart + stream.size());
  shareFirstCategory(archive());
  std::string lines;
  for (int row = 0; row < 8; ++row) lines += path(row, 0) + "\n";

  // Four workers: the entries in flight share one memory budget, whatever their number.
  const Outcome run = extract({"--jobs", "4", archive()});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, lines);
  EXPECT_EQ(run.err, stopped(path(8, 0)) + "archive-extract: 8 entries written, 3 not written\n");
  EXPECT_EQ(sizes().size(), 8u);
#if !defined(__SANITIZE_ADDRESS__)
  EXPECT_LE(run.peakKiB, (64 + 2 * 32) << 10);
  RecordProperty("peak_kib", std::to_string(run.peakKiB));
#endif

  // The test names every entry after the first as sharing its bytes, and stops where extraction
  // stopped.
  const Outcome test = extract({"--test", "--no-size-limit", archive()});
  EXPECT_EQ(test.status, 0);
  std::string tested = path(0, 0) + ": ok\n";
  for (int row = 1; row < 11; ++row) {
    tested += path(row, 0) + ": ok (shares stored bytes with an earlier entry)\n";
  }
  EXPECT_EQ(test.out, tested);
  const Outcome json = extract({"--test", "--json", "--no-size-limit", archive()});
  EXPECT_NE(json.out.find("\"ok\":true,\"shared\":true}"), std::string::npos) << json.out;
  const Outcome bounded = extract({"--test", archive()});
  EXPECT_EQ(bounded.out, tested.substr(0, tested.find(path(8, 0))));
  EXPECT_EQ(bounded.err, stopped(path(8, 0)) + "archive-extract: tested 8 entries: all sound\n");
}

// Thirty-two run-length entries of 16 MiB, tested and sent to stdout by 1, 4 and 16 workers: the
// entries in flight and their buffers share one budget, so the peak stays within 64 MiB plus twice
// the largest entry, and 16 workers take at most 8 MiB more than one.
TEST_F(Hostile, PeakMemoryDoesNotGrowWithTheWorkers) {
  if (const std::string why = whyPeakMemoryIsNotTheTools(); !why.empty()) GTEST_SKIP() << why;
  const Entry entry = compressed(2, std::string(kMaxExpandedUnits * kExpandedUnit, 'x'));
  writeArchive(archive(), {{0, std::vector<Entry>(32, entry)}});
  for (const std::string mode : {"--test", "-O"}) {
    long one = 0;
    for (const std::string jobs : {"1", "4", "16"}) {
      const Outcome run = extract({mode, "--jobs", jobs, archive()}, {.stdoutFile = "/dev/null"});
      EXPECT_EQ(run.status, 0) << run.err;
      one = jobs == "1" ? run.peakKiB : one;
      EXPECT_LE(run.peakKiB, std::min(one + (8 << 10), long{128 << 10})) << mode << " -j " << jobs;
    }
  }
}

}  // namespace
