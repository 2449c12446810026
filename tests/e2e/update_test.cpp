// archive-pack's edits end to end: --update, --delete and --compact on archives shaped like real
// ones, their refusals, and their survival of stops, signals and kills at every write.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "archive/categories.h"
#include "archive/format.h"
#include "archive/index.h"
#include "platform/file.h"
#include "support/archive_builder.h"
#include "support/system.h"
#include "support/tool_test.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// archive-pack --update, on archives shaped like real ones (see writeBaseArchive). Entries without
// data or absent, inside the tables: new entries may be given data.
const std::vector<std::string> kEmptySlots = {path(0, 5), path(0, 20), path(1, 3)};

// The archive the tests update: bytes before the index, a category beyond the eleven, gaps between
// groups, an entry sharing another's sectors, absent and no-data entries, an unsupported one.
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
    base_ = extractAll(base().string());
    ASSERT_EQ(
        base_.count(path(0, 0)) + base_.count(path(10, 0)) + base_.count("category 040/0000.raw"),
        3u);
    ASSERT_EQ(base_.at(path(0, 0)), base_.at(path(10, 0)));  // shared sectors
  }
  fs::path base() const { return dir / "base.bin"; }
  // A fresh copy of the base archive. (copy_options::overwrite_existing fails under Wine.)
  void copyBase() const {
    fs::remove(archive());
    fs::copy_file(base(), archive());
  }

  Tree extractAll(const std::string& file) {
    clearOut();
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

  // The names of the copies archive-pack makes beside the archive, found in the scratch folder.
  std::set<std::string> copiesLeft() const {
    std::set<std::string> names;
    for (const auto& item : fs::directory_iterator(dir.path())) {
      const std::string name = item.path().filename().string();
      if (name.rfind(".archive-pack-", 0) == 0) names.insert(name);
    }
    return names;
  }
  // Runs archive-pack with `args`: it removes the copies `gone` names, each with a note, and
  // keeps the others.
  void expectCopiesRemoved(const std::vector<std::string>& args,
                           const std::set<std::string>& gone) const {
    std::set<std::string> kept = copiesLeft();
    const Outcome run = pack(args);
    ASSERT_EQ(run.status, 0) << run.err;
    for (const std::string& name : gone) {
      kept.erase(name);
      EXPECT_NE(run.err.find("archive-pack: removed " + dir.path().string() + "/" + name +
                             ", a copy left by a stopped archive-pack\n"),
                std::string::npos)
          << run.err;
    }
    EXPECT_EQ(copiesLeft(), kept);
  }

  Tree base_;
};

// An unchanged tree, as extraction wrote it: nothing is written, the modification time included.
TEST_F(Update, AnUnchangedTreeChangesNothing) {
  for (const char* mode : {"--method=keep", "--in-place"}) {
    copyBase();
    const auto before = fs::last_write_time(archive());
    const Outcome run = update(base_, {mode});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_EQ(readFile(archive()), readFile(base()));
    EXPECT_EQ(fs::last_write_time(archive()), before);
  }
}

// --delete: the entries get no data and every other extracts as before, the later ones of their
// groups (laid out again in place, or moved where m0 shares g0's sectors) and m0 included. A
// member that names nothing refuses it all.
TEST_F(Update, DeletesEntriesAndKeepsEveryOther) {
  const std::vector<std::string> gone = {path(0, 0), path(0, 22), "category 040/0001.raw"};
  Tree want = base_;
  for (const std::string& name : gone) want.erase(name);
  const std::string report = gone[0] + ": deleted, its group moved\n" + gone[1] +
                             ": deleted, its group laid out again in place\n" + gone[2] +
                             ": deleted, its group laid out again in place\n";
  fs::copy_file(base(), archive());
  const std::string before = readFile(archive());
  const auto remove = [&](const std::string& mode, std::vector<std::string> members) {
    members.insert(members.begin(), {"--delete", mode, archive()});
    return pack(members);
  };
  const Outcome missing = remove("--dry-run", {path(0, 6), path(1, 9)});
  EXPECT_EQ(missing.err,
            "archive-pack: " + path(1, 9) + ": not found in archive; nothing was deleted\n");
  EXPECT_EQ(remove("--dry-run", gone).out, report);
  EXPECT_EQ(readFile(archive()), before);
  for (const char* mode : {"--in-place", "--"}) {
    copyBase();
    const Outcome run = remove(mode, gone);
    EXPECT_EQ(run.out + run.err, report);
    EXPECT_TRUE(extractAll(archive()) == want) << mode;
  }
  // An index whose lookups fault: the machine's line as archive-extract prints it, status 1, the
  // archive untouched, by a delete and an update alike.
  writeArchive(archive(), {{0, {plain("g")}}, {5, {plain("hn")}}});
  const std::string faulting = withFaultingLookups(readFile(archive()));
  std::ofstream(archive(), std::ios::binary) << faulting;
  const Outcome listed = extract({"--list", archive()});
  ASSERT_EQ(listed.status, 1);
  for (const Outcome& fault : {remove("--", {path(5, 0)}), update({{path(0, 0), "new g"}})}) {
    EXPECT_EQ(fault.status, 1);
    EXPECT_EQ(fault.out, listed.out.substr(listed.out.rfind('\n', listed.out.size() - 2) + 1));
    EXPECT_EQ(fault.err, "archive-pack: " + archive() +
                             ": the lookup routines stopped on its index (is it an archive of "
                             "this kind?)\n");
    EXPECT_EQ(readFile(archive()), faulting);
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
      copyBase();
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
  const Outcome shrink = update({{path(0, 6), "small"}}, {"-v"});
  EXPECT_EQ(shrink.out, path(0, 6) + ": in place\n");
  EXPECT_EQ(shrink.err, "archive-pack: " + archive() +
                            ": changed 1 entry, 5 bytes expanded, 18 bytes stored (rle 1)\n");
  const Outcome list = extract({"-tv", archive(), path(0, 6), path(0, 1)});
  EXPECT_NE(list.out.find(" lz "), std::string::npos) << list.out;   // g1 kept LZ
  EXPECT_NE(list.out.find(" rle "), std::string::npos) << list.out;  // g6 kept run-length
  EXPECT_EQ(extractAll(archive()).at(path(10, 0)), g0);              // m0 still has the old data
}

// Refusals and failures leave the archive as it was, in place too (a write past the size limit left
// the appended groups); --in-place refuses a hard-linked file.
TEST_F(Update, RefusesWhatItCannotDoAndLeavesTheArchive) {
  fs::copy_file(base(), archive());
  const std::string before = readFile(archive());
  const RunOptions lowSpace{.env = {"ARCHIVE_PACK_FREE_SPACE=1000"}};
  const RunOptions sizeLimit{.fileSizeLimit = before.size() + 1};
  const struct {
    const char* name;
    Tree changes;
    RunOptions run;
    const char* err;
    std::vector<std::string> mode = {};
  } cases[] = {
      {"too large for LZ", {{path(0, 1), std::string(17 << 20, '\0')}}, {}, "use --method plain"},
      {"beyond the count", {{path(1, 4), "x"}}, {}, "would need a larger entry table"},
      {"not in the index", {{"category 041/0000.raw", "x"}}, {}, "would need a larger entry table"},
      {"no free space", {{path(0, 0), "grown"}}, lowSpace, "not enough free space"},
      {"size limit", {{path(0, 0), "grown"}}, sizeLimit, "too large", {"--in-place"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (kWindows && c.run.fileSizeLimit != kNoFileSizeLimit) continue;  // no file size limits
    const Outcome run = update(c.changes, c.mode, c.run);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    EXPECT_EQ(readFile(archive()), before);
    EXPECT_FALSE(fs::exists(archive() + ".update-journal"));
  }
  fs::create_hard_link(archive(), dir / "hard.bin");
  EXPECT_NE(update({{path(0, 0), "x"}}, {"--in-place"}).err.find("without --in-place"),
            std::string::npos);
  // A second update while one holds the lock; a FIFO as the archive.
  {
    const FileHandle held = openFile(archive(), OpenMode::Read);
    ASSERT_TRUE(tryLockExclusive(held));
    EXPECT_NE(update({{path(0, 0), "x"}}).err.find("is being updated by another archive-pack"),
              std::string::npos);
  }
  if (makeFifo(dir / "fifo")) {
    EXPECT_EQ(pack({"--update", ".", "fifo"}).status, 2);
  }
  for (const auto& item : fs::directory_iterator(dir.path())) {
    EXPECT_EQ(item.path().filename().string().find(".archive-pack"), std::string::npos);
  }
}

// --compact after an update moved group 1 of "models - g": sector 500 plus every sector some entry
// claims, counted once, is left; the entries extract as before, m0 still shares g0's bytes, and
// before sector 500 only group starts change. A dry run, nonsense and an archive cut short inside
// an entry change nothing.
TEST_F(Update, CompactsToTheClaimedSectors) {
  fs::copy_file(base(), archive());
  ASSERT_EQ(update({{path(0, 17), base_.at(path(0, 17)) + std::string(9000, 'x')}}).status, 0);
  const Tree updated = extractAll(archive());
  std::string before = readFile(archive());
  IndexEditor old({before.begin() + kArchiveIndexOffset, before.begin() + kMinimumArchiveSize});
  std::set<uint64_t> claimed;
  for (int32_t c = 0; c <= old.highestCategory(); ++c) {
    for (uint32_t e = 0; e < old.entryCount(c); ++e) {
      const uint64_t at = old.entrySector(c, e);
      for (uint64_t s = at; s < at + entrySectors(old.entryWord(c, e)); ++s) claimed.insert(s);
    }
  }
  const uint64_t size = kDataStart + claimed.size() * kSectorSize, gone = before.size() - size;
  const std::string sizes =
      " (" + std::to_string(before.size()) + " bytes to " + std::to_string(size) + " bytes)";
  for (const std::string other : {"--dry-run", "--update", "--in-place", "src"}) {
    const Outcome run = pack({"--compact", other, archive()});
    EXPECT_EQ(run.out + std::to_string(run.status),
              other != "--dry-run"
                  ? "2"
                  : archive() + ": compacting would reclaim " + std::to_string(gone) + " bytes" +
                        sizes + "; nothing was written\n0");
  }
  EXPECT_EQ(readFile(archive()), before);
  EXPECT_EQ(pack({"--compact", archive()}).out,
            archive() + ": compacted, " + std::to_string(gone) + " bytes reclaimed" + sizes + "\n");
  const std::string after = readFile(archive());
  EXPECT_EQ(after.size(), size);
  EXPECT_EQ(extractAll(archive()), updated);
  EXPECT_NE(extract({"--test", archive()}).out.find(path(10, 0) + ": ok (shares stored bytes"),
            std::string::npos);
  const IndexEditor now({after.begin() + kArchiveIndexOffset, after.begin() + kMinimumArchiveSize});
  for (int32_t c = 0; c <= old.highestCategory(); ++c) {
    for (uint32_t g = 0; g * kEntriesPerGroup < old.entryCount(c); ++g) {
      old.setGroupStartValue(c, g, now.groupStartValue(c, g));
    }
  }
  std::copy(old.bytes().begin(), old.bytes().end(), before.begin() + kArchiveIndexOffset);
  EXPECT_TRUE(after.compare(0, kDataStart, before, 0, kDataStart) == 0);
  fs::resize_file(archive(), kDataStart + 100);
  const std::string cut = readFile(archive());
  const Outcome incomplete = pack({"--compact", archive()});
  EXPECT_NE(incomplete.err.find("does not hold it in full"), std::string::npos) << incomplete.err;
  EXPECT_EQ(readFile(archive()) + std::to_string(incomplete.status), cut + "2");
}

// Through a symlink: the file it names is replaced and the link kept, with its mode; a hard link
// to the old file keeps the old content (the copy is renamed over the name, not written into it).
TEST_F(Update, WritesThroughLinksAndKeepsTheMode) {
  SKIP_ON_WINDOWS("symbolic links (they need a privilege there) and POSIX modes");
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

// The updater stopped dead (as by a crash) or sent SIGTERM after its k-th write or flush, for
// every k, then recovered: the old tree or the new one, never a mix. Status 128 + 15 means the old
// one: once the update commits, the signal waits and the run ends with 0. archive-extract refuses
// while a journal is there. The delete runs on the archive cut short too: its damaged entries stay
// so.
TEST_F(Update, SurvivesAStopAfterEveryWrite) {
  const Tree changes = {
      {path(0, 1), "tiny"}, {path(0, 33), std::string(50000, 'y')}, {path(1, 0), "c"}};
  Tree changed = base_, deleted = base_;  // and with g22 deleted in place, its group laid out again
  for (const auto& [name, data] : changes) changed[name] = data;
  deleted.erase(path(0, 22));
  const auto cutBase = [this] {
    copyBase();
    fs::resize_file(archive(), fs::file_size(archive()) - 3 * kSectorSize);
  };
  cutBase();
  const Tree cut = extractAll(archive());
  ASSERT_LT(cut.size(), base_.size());
  Tree cutDeleted = cut;
  cutDeleted.erase(path(0, 22));
  for (const std::string stop : {"ARCHIVE_PACK_STOP_AFTER=", "ARCHIVE_PACK_SIGNAL_AFTER="}) {
    const int stopped = stop.find("SIGNAL") != std::string::npos ? 128 + SIGTERM : 99;
    for (const std::string mode : {"", "--in-place", "--delete", "--delete cut"}) {
      const Tree& before = mode == "--delete cut" ? cut : base_;
      const Tree& after = mode == "--delete"       ? deleted
                          : mode == "--delete cut" ? cutDeleted
                                                   : changed;
      for (int k = 1;; ++k) {
        SCOPED_TRACE(testing::Message() << stop << k << " " << mode);
        mode == "--delete cut" ? cutBase() : copyBase();
        const RunOptions env{.env = {stop + std::to_string(k)}};
        const Outcome run =
            mode.starts_with("--delete")
                ? pack({"--delete", "--in-place", archive(), path(0, 22)}, env)
                : update(changes, mode.empty() ? std::vector<std::string>{} : std::vector{mode},
                         env);
        ASSERT_TRUE(run.status == stopped || run.status == 0) << run.status << run.err;
        if (fs::exists(archive() + ".update-journal")) {
          const Outcome refused = extract({"-t", archive()});
          EXPECT_EQ(refused.status, 2);
          EXPECT_NE(refused.err.find("archive-pack --recover"), std::string::npos);
          const Outcome dry = update(changes, {"--dry-run"});  // writes nothing, refuses
          EXPECT_NE(dry.err.find("a dry run writes nothing"), std::string::npos) << dry.err;
        }
        expectCopiesRemoved({"--recover", archive()}, copiesLeft());
        const Tree now = extractAll(archive());
        EXPECT_TRUE(now == after ? stopped == 99 || run.status == 0 : now == before && run.status);
        if (run.status == 0) break;
      }
    }
  }
}

// A copy a stopped run left (planted here, unlocked) is removed by the next run in its folder,
// whatever the command, with a note; one that another run holds locked, and any during a dry run,
// are left.
TEST_F(Update, RemovesTheCopiesStoppedRunsLeft) {
  copyBase();
  writeTree(dir / "src", {{path(0, 0), "x"}});
  const std::string left = ".archive-pack-left01", held = ".archive-pack-held01";
  writeTree(dir.path(), {{held, "being written"}});
  const FileHandle holder = openFile((dir / held).string(), OpenMode::ReadWrite);
  ASSERT_TRUE(tryLockExclusive(holder));
  for (const std::vector<std::string>& command :
       std::vector<std::vector<std::string>>{{"--recover", archive()},
                                             {"--update", "src", archive()},
                                             {"--update", "--in-place", "src", archive()},
                                             {"--delete", archive(), path(0, 1)},
                                             {"--compact", archive()},
                                             {"src", (dir / "new.bin").string()}}) {
    SCOPED_TRACE(command[0]);
    writeTree(dir.path(), {{left, readFile(archive())}});
    expectCopiesRemoved({"--delete", "--dry-run", archive(), path(0, 2)}, {});
    expectCopiesRemoved(command, {left});
  }
}

// Extraction in a loop against in-place updates that swap two trees: every run sees one tree
// whole (it waits while an update writes).
TEST_F(Update, ReadersNeverSeeAHalfAppliedUpdate) {
  fs::copy_file(base(), archive());
  const Tree changes = {{path(0, 1), std::string(30000, 'n')}, {path(1, 0), "c"}};
  Tree changed = base_, restore;
  for (const auto& [name, data] : changes) changed[name] = data, restore[name] = base_.at(name);
  writeTree(dir / "to", changes);
  writeTree(dir / "back", restore);
  fs::create_directory(dir / "updater");
  std::atomic<bool> done = false;
  std::vector<int> statuses;  // checked once joined: assertions stay on the test's thread
  std::thread updater([&] {
    for (int i = 0; i < 16; ++i) {
      const std::vector<std::string> args = {ARCHIVE_PACK_PATH, "--update", "--in-place",
                                             i % 2 ? "back" : "to", archive()};
      statuses.push_back(runTool(args, dir.path(), dir / "updater").status);
    }
    done = true;
  });
  int runs = 0;
  for (; !done; ++runs) {
    const Tree now = extractAll(archive());
    EXPECT_TRUE(now == base_ || now == changed) << "run " << runs;
  }
  updater.join();
  EXPECT_EQ(statuses, std::vector<int>(16, 0));
}

// SIGKILL at random moments: the same.
TEST_F(Update, SurvivesSigkillAtRandomMoments) {
  std::mt19937_64 rng(std::random_device{}());
  const Tree changes = {{path(0, 3), std::string(400000, 'z')}, {path(0, 17), "q"}};
  Tree changed = base_;
  for (const auto& [name, data] : changes) changed[name] = data;
  for (int i = 0; i < 24; ++i) {
    copyBase();
    const auto delay = std::chrono::microseconds(rng() % 20000);
    const auto start = std::chrono::steady_clock::now();
    const auto late = [&] { return std::chrono::steady_clock::now() - start > delay; };
    const Outcome run =
        update(changes, i % 2 ? std::vector<std::string>{"--in-place"} : std::vector<std::string>{},
               {.stdoutFile = (dir / "stdout").string(), .signalWhen = late});
    ASSERT_TRUE(run.status == 0 || run.status == 128 + SIGKILL) << run.status << run.err;
    expectCopiesRemoved({"--recover", archive()}, copiesLeft());
    const Tree now = extractAll(archive());
    EXPECT_TRUE(now == base_ || now == changed) << "run " << i;
  }
}

}  // namespace
