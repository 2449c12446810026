// archive-pack --update end to end, on archives shaped like real ones: bytes before the index, a
// category beyond the eleven, gaps between groups, an entry that shares its sectors with another,
// entries absent or without data inside the entry tables, one of the unsupported method.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "archive/categories.h"
#include "archive/index.h"
#include "support/archive_builder.h"
#include "support/tool_test.h"

namespace {

namespace fs = std::filesystem;

// Entries without data or absent, inside the tables: new entries may be given data.
const std::vector<std::string> kEmptySlots = {path(0, 5), path(0, 20), path(1, 3)};

// The archive the tests update, and the tree it extracts to (every category).
void writeBaseArchive(const fs::path& file, uint64_t seed) {
  std::mt19937_64 rng(seed);
  const auto some = [&](size_t most) { return content(rng, 100 + rng() % most); };
  Table g{0, {}};
  for (int e = 0; e < 40; ++e) {
    switch (e == 5 ? 4 : e == 20 ? 5 : e % 4) {
      case 0: g.entries.push_back(plain(some(9000))); break;
      case 1: g.entries.push_back(compressed(1, some(20000))); break;
      case 2: g.entries.push_back(compressed(2, some(5000))); break;
      case 3: g.entries.push_back(compressed(0, some(3000))); break;
      case 4: g.entries.push_back({plainEntryWord(kNoDataLength), ""}); break;
      default: g.entries.push_back(plain("")); break;  // length 0: absent
    }
  }
  std::string unsupported = encode(0, "old");
  unsupported[4] = 3;
  Table c{1,
          {plain(some(4000)), compressed(unsupported, 3), compressed(1, some(9000)), plain("")},
          40};  // a gap of sectors before it
  Table m{10, {plain(some(100)), plain(some(5000))}, 10};
  Table forty{0, {compressed(2, some(7000)), plain(some(2000))}, 3, 40};
  writeArchive(file, {g, c, m, forty});
  // Data before the index, and "models - m" entry 0 pointing at the sectors of "models - g" 0.
  std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
  std::string head(kArchiveIndexOffset, '\0');
  for (char& b : head) b = static_cast<char>(rng());
  f.write(head.data(), static_cast<std::streamsize>(head.size()));
  std::vector<uint8_t> index(kArchiveIndexSize);
  f.seekg(kArchiveIndexOffset);
  f.read(reinterpret_cast<char*>(index.data()), kArchiveIndexSize);
  IndexEditor editor(index);
  editor.setGroupStartValue(34, 0, editor.groupStartValue(13, 0));
  editor.setEntryWord(34, 0, editor.entryWord(13, 0));
  f.seekp(kArchiveIndexOffset);
  f.write(reinterpret_cast<const char*>(editor.bytes().data()), kArchiveIndexSize);
}

class Update : public ToolTest {
 protected:
  void SetUp() override {
    writeBaseArchive(base(), 1);
    base_ = extractAll(base());
    ASSERT_EQ(
        base_.count(path(0, 0)) + base_.count(path(10, 0)) + base_.count("category 040/0000.raw"),
        3u);
    ASSERT_EQ(base_.at(path(0, 0)), base_.at(path(10, 0)));  // shared sectors
  }
  fs::path base() const { return dir / "base.bin"; }

  Tree extractAll(const std::string& file) {
    fs::remove_all(out());
    fs::create_directories(out());
    const Outcome run = extract({"--category", "g,c,m,40,41", "-q", file});
    // The unsupported entry is reported and not written (status 2); anything else is a failure.
    EXPECT_TRUE(run.status == 0 || run.status == 2) << run.err;
    EXPECT_EQ(run.err.find("unsupported"), run.err.rfind("unsupported")) << run.err;
    return readTree(out());
  }
  Outcome update(const Tree& changes, std::vector<std::string> options = {},
                 const RunOptions& run = {}) {
    fs::remove_all(dir / "changes");
    fs::create_directories(dir / "changes");
    writeTree(dir / "changes", changes);
    options.insert(options.begin(), "--update");
    options.push_back("changes");
    options.push_back(archive());
    return pack(options, run);
  }

  Tree base_;
};

// An unchanged tree, as extraction wrote it: nothing is written, the modification time included.
TEST_F(Update, AnUnchangedTreeChangesNothing) {
  for (const char* mode : {"--method=keep", "--in-place"}) {
    fs::copy_file(base(), archive(), fs::copy_options::overwrite_existing);
    const auto before = fs::last_write_time(archive());
    const Outcome run = update(base_, {mode});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_EQ(readFile(archive()), readFile(base()));
    EXPECT_EQ(fs::last_write_time(archive()), before);
  }
}

// The old sectors of the entries rewritten in place, from the report.
std::vector<std::pair<uint64_t, uint64_t>> inPlaceExtents(const std::string& report,
                                                          const std::string& oldArchive) {
  const IndexEditor index(
      std::vector<uint8_t>(oldArchive.begin() + kArchiveIndexOffset,
                           oldArchive.begin() + kArchiveIndexOffset + kArchiveIndexSize));
  std::vector<std::pair<uint64_t, uint64_t>> extents;
  std::istringstream lines(report);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(": in place") == std::string::npos) continue;
    const std::string name = line.substr(0, line.find(": "));
    const auto category = categoryOfFolder(name.substr(0, name.find('/')));
    const uint32_t entry = std::stoul(name.substr(name.find('/') + 1, 4));
    const uint64_t start = index.entrySector(*category, entry) * kSectorSize;
    extents.push_back(
        {start, start + entrySectors(index.entryWord(*category, entry)) * kSectorSize});
  }
  return extents;
}

// Every byte outside the index, the sectors rewritten in place and what was appended is as it
// was.
void expectOnlyAllowedBytesChanged(const std::string& before, const std::string& after,
                                   const std::string& report) {
  ASSERT_GE(after.size(), before.size());
  const auto extents = inPlaceExtents(report, before);
  for (uint64_t i = 0; i < before.size(); ++i) {
    if (before[i] == after[i]) continue;
    const bool allowed = (i >= kArchiveIndexOffset && i < kMinimumArchiveSize) ||
                         std::any_of(extents.begin(), extents.end(),
                                     [i](const auto& e) { return i >= e.first && i < e.second; });
    ASSERT_TRUE(allowed) << "byte " << i << " changed outside what the update may touch";
  }
}

// Random changes (bigger, smaller, empty, equal, new entries), then extraction again: the changed
// tree, every other entry byte for byte, and only the allowed bytes touched.
TEST_F(Update, RoundTripsRandomChanges) {
  const char* fixed = std::getenv("UPDATE_SEED");
  const uint64_t seed = fixed ? std::strtoull(fixed, nullptr, 0) : std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (UPDATE_SEED=seed repeats it)");
  std::mt19937_64 rng(seed);
  std::vector<std::string> names;
  for (const auto& item : base_) names.push_back(item.first);
  for (const std::vector<std::string>& mode : std::vector<std::vector<std::string>>{
           {}, {"--in-place"}, {"--method", "auto"}, {"--in-place", "--method", "auto"}}) {
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(testing::Message() << (mode.empty() ? "" : mode.back()) << " round " << round);
      fs::copy_file(base(), archive(), fs::copy_options::overwrite_existing);
      Tree changes, want = base_;
      for (int k = 0; k < 6; ++k) {
        const std::string name =
            rng() % 4 == 0 ? kEmptySlots[rng() % kEmptySlots.size()] : names[rng() % names.size()];
        std::string data = want.count(name) ? want[name] : "";
        switch (rng() % 4) {
          case 0: data += content(rng, 1 + rng() % 30000); break;     // bigger
          case 1: data.resize(data.size() / (2 + rng() % 3)); break;  // smaller
          case 2: data.clear(); break;                                // empty
          default: break;                                             // equal
        }
        changes[name] = want[name] = data;
      }
      const std::string before = readFile(archive());
      const Outcome run = update(changes, mode);
      ASSERT_EQ(run.status, 0) << run.err;
      // The report names exactly the files that differ.
      std::set<std::string> reported, differing;
      std::istringstream lines(run.out);
      for (std::string line; std::getline(lines, line);)
        reported.insert(line.substr(0, line.find(": ")));
      for (const auto& [name, data] : changes) {
        if (!base_.count(name) || base_.at(name) != data) differing.insert(name);
      }
      EXPECT_EQ(reported, differing) << run.out;
      EXPECT_EQ(extractAll(archive()), want);
      expectOnlyAllowedBytesChanged(before, readFile(archive()), run.out);
    }
  }
}

TEST_F(Update, ReportsPlacementAndKeepsStorage) {
  fs::copy_file(base(), archive());
  const std::string g0 = base_.at(path(0, 0));
  // g1 (LZ) shrinks, but g0 grows past its sectors (and shares them with m0 anyway): their group
  // moves. The unsupported entry is replaced, and a new entry fills an absent slot of its group.
  const Outcome run = update({{path(0, 1), "tiny"},
                              {path(0, 0), g0 + std::string(5000, 'x')},
                              {path(1, 1), "was unsupported"},
                              {path(1, 3), "new"}});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, path(0, 0) + ": moved with its group\n" + path(0, 1) +
                         ": moved with its group\n" + path(1, 1) +
                         ": replaces an entry of the unsupported method, moved with its group\n" +
                         path(1, 3) + ": new entry, moved with its group\n");
  const Outcome shrink = update({{path(0, 6), "small"}});
  EXPECT_EQ(shrink.out, path(0, 6) + ": in place\n");
  const Outcome list = extract({"-t", archive(), path(0, 6), path(0, 1)});
  EXPECT_NE(list.out.find(" lz "), std::string::npos) << list.out;   // g1 kept LZ
  EXPECT_NE(list.out.find(" rle "), std::string::npos) << list.out;  // g6 kept run-length
  EXPECT_EQ(extractAll(archive()).at(path(10, 0)), g0);              // m0 still has the old data
}

TEST_F(Update, RefusesWhatItCannotDoAndLeavesTheArchive) {
  fs::copy_file(base(), archive());
  RunOptions lowSpace;
  lowSpace.env = {"ARCHIVE_PACK_FREE_SPACE=1000"};
  const struct {
    const char* name;
    Tree changes;
    RunOptions run;
    const char* err;
  } cases[] = {
      {"too large for LZ", {{path(0, 1), std::string(17 << 20, '\0')}}, {}, "use --method plain"},
      {"beyond the count", {{path(1, 4), "x"}}, {}, "would need a larger entry table"},
      {"not in the index", {{"category 041/0000.raw", "x"}}, {}, "would need a larger entry table"},
      {"no free space", {{path(0, 0), "grown"}}, lowSpace, "not enough free space"},
  };
  const std::string before = readFile(archive());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome run = update(c.changes, {}, c.run);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    EXPECT_EQ(readFile(archive()), before);
  }
  // A second update while one holds the lock; a FIFO as the archive.
  const int fd = open(archive().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  EXPECT_NE(update({{path(0, 0), "x"}}).err.find("is being updated by another archive-pack"),
            std::string::npos);
  close(fd);
  mkfifo((dir / "fifo").c_str(), 0666);
  EXPECT_EQ(pack({"--update", ".", "fifo"}).status, 2);
  for (const auto& item : fs::directory_iterator(dir.path())) {
    EXPECT_EQ(item.path().filename().string().find(".archive-pack"), std::string::npos);
  }
}

// Through a symlink: the file it names is replaced and the link kept, with its mode; a hard link
// to the old file keeps the old content (the copy is renamed over the name, not written into it).
TEST_F(Update, WritesThroughLinksAndKeepsTheMode) {
  fs::copy_file(base(), dir / "real.bin");
  fs::permissions(dir / "real.bin",
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_hard_link(dir / "real.bin", dir / "hard.bin");
  fs::create_symlink("real.bin", archive());
  ASSERT_EQ(update({{path(0, 2), "changed"}}).status, 0);
  EXPECT_TRUE(fs::is_symlink(archive()));
  EXPECT_EQ(fs::status(dir / "real.bin").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(readFile(dir / "hard.bin"), readFile(base()));
  EXPECT_EQ(extractAll(archive()).at(path(0, 2)), "changed");
}

// The updater stopped dead after its k-th write or flush, for every k, then recovered: the old
// tree or the new one, never a mix. archive-extract refuses while a journal is there.
TEST_F(Update, SurvivesAStopAfterEveryWrite) {
  const Tree changes = {
      {path(0, 1), "tiny"}, {path(0, 33), std::string(50000, 'y')}, {path(1, 0), "c"}};
  Tree changed = base_;
  for (const auto& [name, data] : changes) changed[name] = data;
  for (const std::vector<std::string>& mode : {std::vector<std::string>{}, {"--in-place"}}) {
    for (int k = 1;; ++k) {
      SCOPED_TRACE(testing::Message() << (mode.empty() ? "copy" : "in place") << ", k " << k);
      fs::copy_file(base(), archive(), fs::copy_options::overwrite_existing);
      RunOptions stop;
      stop.env = {"ARCHIVE_PACK_STOP_AFTER=" + std::to_string(k)};
      const Outcome run = update(changes, mode, stop);
      ASSERT_TRUE(run.status == 99 || run.status == 0) << run.status << run.err;
      if (fs::exists(archive() + ".update-journal")) {
        const Outcome refused = extract({"-t", archive()});
        EXPECT_EQ(refused.status, 2);
        EXPECT_NE(refused.err.find("archive-pack --recover"), std::string::npos);
      }
      ASSERT_EQ(pack({"--recover", archive()}).status, 0);
      const Tree now = extractAll(archive());
      EXPECT_TRUE(now == base_ || now == changed);
      if (run.status == 0) {
        EXPECT_EQ(now, changed);
        break;
      }
    }
  }
}

// SIGKILL at random moments: the same.
TEST_F(Update, SurvivesSigkillAtRandomMoments) {
  std::mt19937_64 rng(std::random_device{}());
  const Tree changes = {{path(0, 3), std::string(400000, 'z')}, {path(0, 17), "q"}};
  Tree changed = base_;
  for (const auto& [name, data] : changes) changed[name] = data;
  for (int i = 0; i < 24; ++i) {
    fs::copy_file(base(), archive(), fs::copy_options::overwrite_existing);
    RunOptions kill;
    kill.stdoutFile = dir / "stdout";
    const auto delay = std::chrono::microseconds(rng() % 20000);
    const auto start = std::chrono::steady_clock::now();
    kill.signalWhen = [&] { return std::chrono::steady_clock::now() - start > delay; };
    const Outcome run = update(
        changes, i % 2 ? std::vector<std::string>{"--in-place"} : std::vector<std::string>{}, kill);
    ASSERT_TRUE(run.status == 0 || run.status == 128 + SIGKILL) << run.status << run.err;
    ASSERT_EQ(pack({"--recover", archive()}).status, 0);
    const Tree now = extractAll(archive());
    EXPECT_TRUE(now == base_ || now == changed) << "run " << i;
  }
}

}  // namespace
