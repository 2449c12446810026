// The update as a library, in one process with other archives open: it reads the entries it
// compares and verifies as extraction reads them, and its lookups over the old and the new index
// leave every other open archive's lookups alone.
#include "pack/update.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "archive/format.h"
#include "pack/journal.h"
#include "platform/host_error.h"
#include "reading/archive.h"
#include "reading/read.h"
#include "support/archive_builder.h"
#include "support/scratch.h"

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
    UpdateResult result;
    updateArchive(source(0, c.readsAs), archive.string(), {}, result);
    EXPECT_EQ(result.report.size(), 1U);
    const std::unique_ptr<Archive> updated = Archive::open(archive.string());
    EXPECT_TRUE(extractsTo(*updated, updated->describe(kCategories[0], 0), bytes(c.readsAs)));
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
  UpdateResult result;
  updateArchive(source(1, grown), (dir_ / "updated.bin").string(), {}, result);
  ASSERT_EQ(result.report, std::vector<std::string>{path(0, 1) + ": moved with its group"});

  const EntryDescription after = other->describe(kCategories[0], 1);
  EXPECT_EQ(after.offset, before.offset);
  EXPECT_EQ(after.length, before.length);
  EXPECT_TRUE(extractsTo(*other, after, bytes("other entry 1")));
  const std::unique_ptr<Archive> updated = Archive::open((dir_ / "updated.bin").string());
  EXPECT_TRUE(extractsTo(*updated, updated->describe(kCategories[0], 1), bytes(grown)));
  EXPECT_TRUE(extractsTo(*updated, updated->describe(kCategories[0], 2), bytes("old 2")));
}

// A journal of the archive `file` whose records are `records` and then the new index `index`.
void writeJournalOf(const fs::path& file, std::vector<JournalRecord> records,
                    const std::vector<uint8_t>& index) {
  const std::string archive = readFile(file);
  const std::vector<uint8_t> old(archive.begin() + kArchiveIndexOffset,
                                 archive.begin() + kMinimumArchiveSize);
  records.push_back({kArchiveIndexOffset, index});
  writeJournal(journalPath(fs::canonical(file)), openFile(file, OpenMode::Read), old, records);
}

std::vector<uint8_t> indexOf(const fs::path& file) {
  const std::string bytes = readFile(file);
  return {bytes.begin() + kArchiveIndexOffset, bytes.begin() + kMinimumArchiveSize};
}

// What bears the journal's name is not a journal an update of this archive wrote: it is removed
// with a note, and the archive is untouched. (A FIFO used to hang the recovery, /dev/zero and a
// large sparse file to exhaust memory, records far out to grow the archive to a terabyte.)
TEST_F(UpdateLibrary, RecoveryDiscardsWhatNoUpdateWrote) {
  const fs::path archive = dir_ / "archive.bin";
  const auto journal = [&] { return journalPath(fs::canonical(archive)); };
  const auto records = [&](uint64_t offset) {
    return [&, offset] { writeJournalOf(archive, {{offset, {1, 2, 3}}}, indexOf(archive)); };
  };
  const struct {
    const char* name;
    std::function<void()> make;
    const char* note;
  } cases[] = {
      {"a link to /dev/zero", [&] { fs::create_symlink("/dev/zero", journal()); }, "not a regular"},
      {"a FIFO", [&] { mkfifo(journal().c_str(), 0600); }, "not a regular"},
      {"20 GB, sparse",
       [&] {
         writeTree(dir_.path(), {{"archive.bin.update-journal", ""}});
         fs::resize_file(journal(), 20ULL << 30);
       },
       "larger than any"},
      {"a record at 2^40", records(1ULL << 40), "would write outside"},
      {"a record at 2^63-1", records((1ULL << 63) - 1), "would write outside"},
      {"a record before sector 500", records(kDataStart - 4), "would write outside"},
      {"a record past the entries", records(kDataStart + 2 * kSectorSize), "would write outside"},
      {"no index last",
       [&] { writeJournal(journal(), openFile(archive, OpenMode::Read), indexOf(archive), {}); },
       "would write outside"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeArchive(archive, {{0, {plain("old 0")}}}, kDataStart + 4 * kSectorSize);
    const std::string before = readFile(archive);
    c.make();
    EXPECT_NE(recoverArchive(archive.string()).find(c.note), std::string::npos);
    EXPECT_TRUE(readFile(archive) == before);
    EXPECT_FALSE(fs::exists(fs::symlink_status(journal())));
  }
}

// A journal is applied only to the file it was written for, which may be half applied already;
// another file at the archive's name is refused, and the journal kept.
TEST_F(UpdateLibrary, AJournalCompletesOnlyItsOwnArchive) {
  const fs::path archive = dir_ / "archive.bin", other = dir_ / "other.bin";
  writeArchive(other, {{0, {plain("another one")}}}, kDataStart + 4 * kSectorSize);
  writeArchive(archive, {{0, {plain("old 0")}}}, kDataStart + 4 * kSectorSize);
  std::vector<uint8_t> index = indexOf(archive);
  index[0x100] ^= 0x5A;
  index.back() ^= 0x5A;
  const struct {
    const char* name;
    std::function<void()> alter;
    bool applies;
  } cases[] = {
      {"as it was", [] {}, true},
      {"its last unit of the index new",
       [&] {
         std::fstream(archive, std::ios::in | std::ios::out | std::ios::binary)
             .seekp(kMinimumArchiveSize - 1)
             .put(static_cast<char>(index.back()));
       },
       true},
      {"another archive copied over it",
       [&] { fs::copy_file(other, archive, fs::copy_options::overwrite_existing); }, false},
      {"the same bytes in a new file",
       [&] {
         fs::copy_file(archive, other, fs::copy_options::overwrite_existing);
         fs::rename(other, archive);
       },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeArchive(archive, {{0, {plain("old 0")}}}, kDataStart + 4 * kSectorSize);
    writeJournalOf(archive, {}, index);
    c.alter();
    const std::string before = readFile(archive);
    if (c.applies) {
      EXPECT_NE(recoverArchive(archive.string()).find("completed"), std::string::npos);
      EXPECT_EQ(indexOf(archive), index);
    } else {
      EXPECT_THROW(
          try { recoverArchive(archive.string()); } catch (const HostError& error) {
            EXPECT_NE(std::string(error.what()).find("move the journal away"), std::string::npos);
            throw;
          },
          HostError);
      EXPECT_TRUE(readFile(archive) == before);
      fs::remove(journalPath(fs::canonical(archive)));
    }
  }
}

}  // namespace
