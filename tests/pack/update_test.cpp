// The update as a library, in one process with other archives open: it reads the entries it
// compares and verifies as extraction reads them, and its lookups over the old and the new index
// leave every other open archive's lookups alone.
#include "pack/update.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "archive/format.h"
#include "platform/file.h"
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

// A file renamed onto the archive during a copy update (at its first write) is kept: it refuses.
TEST_F(UpdateLibrary, RefusesWhenTheArchiveIsReplacedMeanwhile) {
  static std::string archive;
  archive = dir_ / "a";
  writeArchive(archive, {{0, {plain("old 0")}}});
  writeTree(dir_.path(), {{"b", "moved in"}});
  setIoHook([] { std::rename((folderOf(archive) + "/b").c_str(), archive.c_str()); });
  UpdateResult result;
  EXPECT_THROW(updateArchive(source(0, "new 0"), archive, {}, result), HostError);
  setIoHook(nullptr);
  EXPECT_EQ(summary(readTree(dir_.path())), summary({{"a", "moved in"}, {"source0.raw", "new 0"}}));
}

}  // namespace
