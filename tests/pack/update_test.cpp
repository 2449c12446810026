// The update as a library, in one process with other archives open: it reads the entries it
// compares and verifies as extraction reads them, and its lookups over the old and the new index
// leave every other open archive's lookups alone.
#include "pack/update.h"

#include <gtest/gtest.h>

#include <cerrno>
#ifdef __linux__
#include <unistd.h>
#endif
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>

#include "archive/format.h"
#include "pack/commands.h"
#include "pack/compact.h"
#include "pack/journal.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/process.h"
#include "reading/archive.h"
#include "reading/inspect.h"
#include "reading/read.h"
#include "support/archive_builder.h"
#include "support/scratch.h"
#include "support/system.h"

namespace {

namespace fs = std::filesystem;

class UpdateLibrary : public testing::Test {
 protected:
  // A source tree of one file for entry `entry` of row 0 ("models - g").
  SourceTree source(int32_t entry, const std::string& contents) {
    const fs::path file = dir_ / ("source" + std::to_string(entry) + ".raw");
    writeTree(dir_.path(), {{file.filename().string(), contents}});
    SourceTree tree;
    tree.files[kCategories[0]][entry] = file;
    return tree;
  }

  static std::vector<uint8_t> bytes(const std::string& text) { return {text.begin(), text.end()}; }

  ScratchFolder dir_;
  PackEvents quiet_;
};

// An entry the archive does not hold in full extracts to nothing, so a source file equal to what
// its bytes would read as with zeros for the missing ones is a change: the update writes it, and
// extraction then gives it. (Comparing against the zero-filled bytes called it unchanged, and the
// entry stayed unextractable.)
TEST_F(UpdateLibrary, AnEntryTheArchiveDoesNotHoldInFullIsRewritten) {
  std::mt19937_64 rng(3);
  const std::string data = content(rng, 5000);
  const std::string zeroFilled = data.substr(0, 3000) + std::string(2000, '\0');
  const struct {
    const char* name;
    Entry entry;
    std::string readsAs;  // the entry decoded with zeros for what the archive lacks
  } cases[] = {
      {"plain", plain(data), zeroFilled},
      {"stored", compressed(0, data),
       data.substr(0, 3000 - kShortHeaderSize) + std::string(2000 + kShortHeaderSize, '\0')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path archive = dir_ / (std::string(c.name) + ".bin");
    writeArchive(archive, {{0, {c.entry}}}, kDataStart + 3000);
    EXPECT_EQ(updateArchive(source(0, c.readsAs), archive.string(), {}, quiet_).changes.size(), 1U);
    const std::unique_ptr<Archive> updated = Archive::open(archive.string());
    EXPECT_TRUE(extractsTo(*updated, updated->describe(kCategories[0], 0), bytes(c.readsAs)));
  }
}

// What extraction gives of every entry with data of the eleven categories: its verdict, and the
// bytes of it the archive holds.
std::map<std::string, std::string> verdicts(const fs::path& file) {
  const std::unique_ptr<Archive> archive = Archive::open(file.string());
  Selection all;
  Sweep sweep = archive->entries(all);
  std::map<std::string, std::string> out;
  BufferPool buffers(0);
  while (const std::optional<SweptEntry> e = sweep.next()) {
    const EntryDescription& d = e->description;
    if (!d.hasData()) continue;
    std::string held(
        d.offset >= archive->size() ? 0 : std::min(d.storedBytes(), archive->size() - d.offset),
        '\0');
    archive->readZeroFilled(d.offset, reinterpret_cast<uint8_t*>(held.data()), held.size());
    out[e->path()] = std::string(entryProblemName(testEntry(*archive, d, buffers))) + ":" + held;
  }
  return out;
}

// An edit changes what it names and nothing else, in any category, damage included, or refuses
// and writes nothing. Three categories of plain entries of two sectors; cut short, the file ends
// inside models - hc/0001.raw. Shared: models - c takes models - g's whole record, or only its
// group starts (so that models - c/0001.raw lies where models - g/0001.raw does).
TEST_F(UpdateLibrary, EditsChangeOnlyWhatTheyName) {
  enum Shape { kCut, kSharedRecord, kSharedStarts };
  const struct {
    const char* name;
    Shape shape;
    std::vector<std::string> deleted;  // else: models - g/NNNN.raw updated
    int updated = 0;
    size_t size = 0;                // of the new file
    const char* refusal = nullptr;  // what a refusal says
    bool inPlace = false;
  } cases[] = {
      {"cut: a group with damage moves",
       kCut,
       {path(2, 0)},
       0,
       0,
       "would move models - hc/0001.raw with its group"},
      {"cut: the damage deleted too", kCut, {path(2, 0), path(2, 1)}},
      {"cut: a group appended",
       kCut,
       {},
       1,
       3 * kSectorSize,
       "append past the end of the file, over sectors that models - hc/0001.raw claims"},
      {"cut: in place", kCut, {}, 1, 2 * kSectorSize},
      {"cut: in place, journal", kCut, {}, 1, 2 * kSectorSize, nullptr, true},
      {"shared record: delete",
       kSharedRecord,
       {path(0, 1)},
       0,
       0,
       "would change models - c/0001.raw, which it does not name"},
      {"shared starts: a group moved",
       kSharedStarts,
       {},
       0,
       3 * kSectorSize,
       "would change models - c/0000.raw, which it does not name"},
      {"shared starts: a shared entry",
       kSharedStarts,
       {},
       1,
       2 * kSectorSize,
       "would change models - c/0001.raw, which it does not name"},
      {"shared starts: in place", kSharedStarts, {}, 5, 2 * kSectorSize},
  };
  std::mt19937_64 rng(7);
  std::vector<Entry> g, c, hc;
  for (int e = 0; e < 20; ++e) g.push_back(plain(content(rng, 3000)));
  for (int e = 0; e < 3; ++e) c.push_back(plain(content(rng, 3000)));
  for (int e = 0; e < 2; ++e) hc.push_back(plain(content(rng, 3000)));
  for (const auto& t : cases) {
    SCOPED_TRACE(t.name);
    const fs::path archive = dir_ / "edited.bin";
    writeArchive(archive, {{0, g}, {1, c}, {2, hc}},
                 t.shape == kCut ? kDataStart + 49 * kSectorSize + 100 : 0);
    if (t.shape != kCut) {
      std::fstream file(archive, std::ios::in | std::ios::out | std::ios::binary);
      const auto record = [](int row) {
        return kArchiveIndexOffset + kCategoryRecordsOffset +
               kCategoryRecordSize * kCategories[row];
      };
      char bytes[kCategoryRecordSize];
      file.seekg(record(0)).read(bytes, sizeof bytes);
      file.seekp(record(1)).write(bytes, t.shape == kSharedRecord ? kCategoryRecordSize : 4);
    }
    const std::string before = readFile(archive);
    std::map<std::string, std::string> expected = verdicts(archive);
    UpdateOptions options;
    options.inPlace = t.inPlace;
    std::string refusal;
    try {
      if (t.deleted.empty()) {
        std::string data = content(rng, t.size - 1000);
        updateArchive(source(t.updated, data), archive.string(), options, quiet_);
        expected[path(0, t.updated)] = "ok:" + data;
      } else {
        deleteEntries(t.deleted, archive.string(), options, quiet_);
        for (const std::string& name : t.deleted) expected.erase(name);
      }
    } catch (const Error& error) {
      refusal = error.what();
    }
    if (t.refusal != nullptr) {
      EXPECT_NE(refusal.find(t.refusal), std::string::npos) << refusal;
      EXPECT_EQ(readFile(archive), before);
    } else {
      EXPECT_EQ(refusal, "");
      EXPECT_EQ(verdicts(archive), expected);
    }
  }
}

// A group with a deleted entry is laid out again in place (through the journal, which holds it
// all) only up to 64 MiB; a larger one moves past the end.
TEST_F(UpdateLibrary, OnlyGroupsUpTo64MiBAreLaidOutAgainInPlace) {
  for (const auto& [size, report] :
       {std::pair{4'100'000, "laid out again in place"}, std::pair{4'500'000, "its group moved"}}) {
    const fs::path archive = dir_ / "large.bin";
    writeArchive(archive, {{0, std::vector<Entry>(16, plain(std::string(size, 'x')))}});
    UpdateOptions options;
    options.inPlace = true;
    const EditResult result = deleteEntries({path(0, 3)}, archive.string(), options, quiet_);
    ASSERT_EQ(result.changes.size(), 1U);
    EXPECT_NE(result.changes[0].action.find(report), std::string::npos) << result.changes[0].action;
    fs::remove(archive);
  }
}

// Entries held in memory pack as the same files in a folder do: a build (every method) and an
// update write the same archive, byte for byte. A name that is no entry path refuses.
TEST_F(UpdateLibrary, EntriesInMemoryPackAsTheSameFilesInAFolder) {
  const Tree files = {
      {path(0, 0), "zero"}, {path(0, 17), std::string(5000, 'x')}, {"category 040/0001.raw", ""}};
  writeTree(dir_ / "folder", files);
  std::map<std::string, std::vector<uint8_t>> held;
  for (const auto& [name, data] : files) held[name] = bytes(data);
  const PackSource sources[] = {PackSource::folder(dir_ / "folder"), PackSource::memory(held)};
  Packer packer(quiet_);
  const auto built = [&](const PackSource& source, StorageMethod method) {
    const std::string archive = (dir_ / "built.bin").string();
    packer.build(source, archive, {method, true});
    return readFile(archive);
  };
  for (const StorageMethod method :
       {StorageMethod::Auto, StorageMethod::Plain, StorageMethod::Lz}) {
    EXPECT_EQ(built(sources[0], method), built(sources[1], method));
  }
  std::map<std::string, std::vector<uint8_t>> old;
  for (const auto& [name, data] : files) old[name] = bytes("old " + name);
  std::string updated[2];
  for (int i = 0; i < 2; ++i) {
    packer.build(PackSource::memory(old), (dir_ / "updated.bin").string(),
                 {StorageMethod::Auto, true});
    EXPECT_EQ(packer.update(sources[i], (dir_ / "updated.bin").string(), {}).changes.size(), 3U);
    updated[i] = readFile(dir_ / "updated.bin");
  }
  EXPECT_EQ(updated[0], updated[1]);
  try {
    packer.build(PackSource::memory({{"models - g/1.raw", {}}}), (dir_ / "x.bin").string(), {});
    ADD_FAILURE() << "not refused";
  } catch (const Error& e) {
    EXPECT_EQ(e.path(), "models - g/1.raw");
  }
}

// An update that moves a group looks up the old index and the new one while another archive is
// open; that archive's entries are still described from its own index, before and after.
TEST_F(UpdateLibrary, RunsBesideAnOpenArchive) {
  writeArchive(dir_ / "other.bin", {{0, {plain("other 0"), plain("other entry 1")}}});
  writeArchive(dir_ / "updated.bin", {{0, {plain("old 0"), plain("old 1"), plain("old 2")}}});
  const std::unique_ptr<Archive> other = Archive::open((dir_ / "other.bin").string());
  const EntryDescription before = other->describe(kCategories[0], 1);

  const std::string grown(5000, 'x');  // more sectors than entry 1 has: its group moves
  const EditResult result =
      updateArchive(source(1, grown), (dir_ / "updated.bin").string(), {}, quiet_);
  ASSERT_EQ(result.changes.size(), 1U);
  ASSERT_EQ(result.changes[0].line(), path(0, 1) + ": moved with its group");

  const EntryDescription after = other->describe(kCategories[0], 1);
  EXPECT_EQ(after.offset, before.offset);
  EXPECT_EQ(after.length, before.length);
  EXPECT_TRUE(extractsTo(*other, after, bytes("other entry 1")));
  const std::unique_ptr<Archive> updated = Archive::open((dir_ / "updated.bin").string());
  EXPECT_TRUE(extractsTo(*updated, updated->describe(kCategories[0], 1), bytes(grown)));
  EXPECT_TRUE(extractsTo(*updated, updated->describe(kCategories[0], 2), bytes("old 2")));
}

// Only the tables an update edits must lie inside the index: another category may point its tables
// past it, without entries or with entries the routines then read from guest memory beyond it.
TEST_F(UpdateLibrary, OnlyTheTablesItEditsMustLieInsideTheIndex) {
  for (const uint16_t count : {0, 3}) {
    const fs::path archive = dir_ / "far.bin";
    writeArchive(archive, {{0, {plain("old 0")}}, {1, {plain("c")}}});
    std::fstream file(archive, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(kArchiveIndexOffset + kCategoryRecordsOffset + kCategoryRecordSize * kCategories[1]);
    const uint32_t far[2] = {0x30000, 0x30000};
    file.write(reinterpret_cast<const char*>(far), 8)
        .write(reinterpret_cast<const char*>(&count), 2);
    file.close();
    const EditResult result = updateArchive(source(0, "new 0"), archive.string(), {}, quiet_);
    ASSERT_EQ(result.changes.size(), 1U);
    EXPECT_EQ(result.changes[0].line(), path(0, 0) + ": in place") << count;
  }
}

// A file renamed onto the archive during a copy update (at its first write) is kept: it refuses.
TEST_F(UpdateLibrary, RefusesWhenTheArchiveIsReplacedMeanwhile) {
  if (kWindows) GTEST_SKIP() << "Windows lets no file be renamed onto one the update holds open";
  static std::string archive;
  archive = (dir_ / "a").string();
  writeArchive(archive, {{0, {plain("old 0")}}});
  writeTree(dir_.path(), {{"b", "moved in"}});
  setIoHook(
      [](const IoEvent&) { std::rename((folderOf(archive) + "/b").c_str(), archive.c_str()); });
  EXPECT_THROW(updateArchive(source(0, "new 0"), archive, {}, quiet_), Error);
  setIoHook(nullptr);
  EXPECT_EQ(summary(readTree(dir_.path())), summary({{"a", "moved in"}, {"source0.raw", "new 0"}}));
}

// A new copy is renamed over the archive while the update still holds its lock on the old file:
// another update that opened the old file meanwhile finds it locked up to the rename, and so never
// writes an archive that the rename would lose.
TEST_F(UpdateLibrary, TheOldArchiveStaysLockedThroughTheRename) {
  if (kWindows)
    GTEST_SKIP() << "Wine has no POSIX rename: the update lets go of the old archive first";
  static FileHandle old;
  static int renames = 0, locked = 0;
  const std::pair<const char*, std::function<void(const std::string&)>> commands[] = {
      {"update",
       [this](const std::string& a) { updateArchive(source(0, "new 0"), a, {}, quiet_); }},
      {"delete", [this](const std::string& a) { deleteEntries({path(0, 0)}, a, {}, quiet_); }},
      {"compact", [this](const std::string& a) { compactArchive(a, {}, quiet_); }},
  };
  for (const auto& [name, command] : commands) {
    SCOPED_TRACE(name);
    const std::string archive = (dir_ / (std::string(name) + ".bin")).string();
    writeArchive(archive, {{0, {plain("old 0"), plain("old 1")}}});
    // The group moved leaves sectors for the compaction to reclaim.
    updateArchive(source(1, std::string(5000, 'x')), archive, {}, quiet_);
    old = openFile(archive, OpenMode::Read);
    renames = locked = 0;
    setIoHook([](const IoEvent& e) {
      if (e.kind != IoEvent::Kind::Rename) return;
      ++renames;
      locked += static_cast<int>(!tryLockShared(old) && errno == EWOULDBLOCK);
    });
    command(archive);
    setIoHook(nullptr);
    old.close();
    EXPECT_EQ(renames, 1);
    EXPECT_EQ(locked, 1);
  }
}

// A compaction waits for the archive's readers: it says so before the wait, naming the reader
// where the system tells (this test, holding a shared lock), and goes on once the reader is gone;
// a reader still there when the wait ends is named in the refusal.
TEST_F(UpdateLibrary, SaysItWaitsForAReaderAndNamesIt) {
  const std::string archive = (dir_ / "read.bin").string();
  writeArchive(archive, {{0, {plain("old 0")}}});
  std::string holder = "another program";
#if defined(__linux__) && !defined(LOCK_HOLDER_UNKNOWN)
  std::ifstream comm("/proc/self/comm");
  std::getline(comm, holder);
  holder += " (process " + std::to_string(getpid()) + ")";
#endif
  FileHandle reader = openFile(archive, OpenMode::Read);
  ASSERT_TRUE(tryLockShared(reader));
  std::vector<std::string> notices;
  CompactOptions options;
  options.lockWait.notice = [&](const std::string& line) {
    notices.push_back(line);
    reader.close();  // a wait that began before the notice would not end
  };
  compactArchive(archive, options, quiet_);
  EXPECT_EQ(notices,
            std::vector<std::string>{archive + " is in use by " + holder + "; waiting up to 10 s"});
  reader = openFile(archive, OpenMode::Read);
  ASSERT_TRUE(tryLockShared(reader));
  options.lockWait = {nullptr, 0};
  try {
    compactArchive(archive, options, quiet_);
    ADD_FAILURE() << "not refused";
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()),
              archive + " is still in use by " + holder + "; try again when it is done");
  }
}

// A recovery completes only a journal of the archive, which may be half applied: another file at
// its name is refused and the journal kept; what no update of it wrote is removed (never followed
// or written through), the archive untouched. (A FIFO hung the recovery, a large sparse file
// exhausted memory; the fuzz target's seeds hold records far out, which grew the archive.)
TEST_F(UpdateLibrary, RecoveryCompletesOnlyAJournalOfTheArchive) {
  const fs::path archive = dir_ / "archive.bin", other = dir_ / "other.bin";
  const auto make = [&](const char* data) { writeArchive(archive, {{0, {plain(data)}}}); };
  make("old 0");
  const std::string old = readFile(archive).substr(kArchiveIndexOffset, kArchiveIndexSize);
  std::vector<uint8_t> index(old.begin(), old.end());
  index[0x100] ^= 0x5A;
  index.back() ^= 0x5A;
  const std::vector<uint8_t> lastUnit(index.end() - 512, index.end());
  const auto journal = [&] { return journalPath(fs::canonical(archive).string()); };
  const auto with = [&](const std::vector<JournalRecord>& records) {
    writeJournal(journal(), openFile(archive.string(), OpenMode::Read), {old.begin(), old.end()},
                 records);
  };
  const auto whole = [&] { with({{kArchiveIndexOffset, index}}); };
  const auto halfApplied = [&] {
    whole();
    writeAllAt(openFile(archive.string(), OpenMode::ReadWrite), lastUnit.data(), lastUnit.size(),
               0xE1E00);
  };
  const std::vector<uint8_t> one = {1};
  const auto noIndexLast = [&] { with({{kDataStart, one}}); };
  const std::tuple<const char*, std::function<void()>, const char*> cases[] = {
      {"its own", whole, "completed"},
      {"half applied", halfApplied, "completed"},
      {"another archive", [&] { whole(), make("another"); }, "move the journal away"},
      {"a new inode", [&] { whole(), fs::rename(archive, other), fs::copy_file(other, archive); },
       "move the journal away"},
      {"a dangling link", [&] { fs::create_symlink(dir_ / "elsewhere", journal()); },
       "not a regular"},
      {"a FIFO", [&] { makeFifo(journal()); }, "not a regular"},
      {"20 GB", [&] { whole(), fs::resize_file(journal(), 20ULL << 30); }, "larger than any"},
      {"no index last", noIndexLast, "would write outside"},
  };
  for (const auto& [name, alter, expected] : cases) {
    SCOPED_TRACE(name);
    // No FIFOs on Windows; its symbolic links need a privilege.
    if (kWindows && (name == std::string("a FIFO") || name == std::string("a dangling link"))) {
      continue;
    }
    make("old 0");
    alter();
    const std::string before = readFile(archive);
    std::string outcome;
    try {
      outcome = recoverArchive(archive.string()).note;
    } catch (const Error& error) {
      outcome = error.what();
    }
    EXPECT_NE(outcome.find(expected), std::string::npos) << outcome;
    const std::string now = readFile(archive);
    EXPECT_TRUE(outcome.starts_with("completed")
                    ? now.substr(0xBA000, 0x28000) == std::string(index.begin(), index.end())
                    : now == before);
    EXPECT_EQ(fs::exists(fs::symlink_status(journal())), outcome.ends_with("delete it"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "elsewhere")));
    fs::remove(journal());
  }
}

}  // namespace
