// Files named only when complete and copies between files, built once with Linux's additions and
// once with the stand-in of other systems, so that the portable fallbacks run here too.
#include "platform/pending_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "support/archive_builder.h"
#include "support/scratch.h"
#include "support/system.h"

namespace {

namespace fs = std::filesystem;

#ifdef PLATFORM_STAND_IN
constexpr bool kUnnamedFiles = false;
#define SUITE StandInTest
#else
constexpr bool kUnnamedFiles = true;
#define SUITE PlatformTest
#endif

// Each way of naming, over a name that is free or taken, with or without an unnamed file, with a
// link to f/g or a FIFO left at the temporary name: what the name holds after, what else is left.
TEST(SUITE, NamingKeepsOrReplacesAndLeavesNoTemporaryFile) {
  const struct {
    bool tryUnnamed;
    Naming naming;
    bool taken;
    char left;              // at the temporary name: 'h'ard link, 's'ymlink, 'p'ipe
    NamingFailure failure;  // with an unnamed file
    Tree after;             // likewise; under a temporary name, the new file has the name
  } cases[] = {
      {true, Naming::Keep, false, 'h', NamingFailure::None, {{"f/n", "new"}, {"f/.t", "stale"}}},
      {true, Naming::Keep, true, 'h', NamingFailure::Link, {{"f/n", "old"}, {"f/.t", "stale"}}},
      {true, Naming::Replace, true, 's', NamingFailure::None, {{"f/n", "new"}}},
      {true, Naming::Replace, false, 'p', NamingFailure::None, {{"f/n", "new"}}},
      {false, Naming::Keep, true, 's', NamingFailure::None, {{"f/n", "new"}}},
      {false, Naming::Replace, true, 'p', NamingFailure::None, {{"f/n", "new"}}},
  };
  for (const auto& c : cases) {
    // No FIFOs on Windows; its symbolic links need a privilege.
    if (kWindows && c.left != 'h') continue;
    const ScratchFolder dir;
    writeTree(dir.path(),
              c.taken ? Tree{{"f/g", "stale"}, {"f/n", "old"}} : Tree{{"f/g", "stale"}});
    if (c.left == 'h') fs::create_hard_link(dir / "f/g", dir / "f/.t");
    if (c.left == 's') fs::create_symlink(dir / "f/g", dir / "f/.t");
    ASSERT_TRUE(c.left != 'p' || makeFifo(dir / "f/.t"));
    const Folder base = *openFolder(dir.path().string());
    PendingFileMaker maker(base, c.tryUnnamed);
    PendingFile file = maker.create("f", "f/.t");
    ASSERT_TRUE(file.valid());
    const bool unnamed = c.tryUnnamed && kUnnamedFiles;
    EXPECT_EQ(file.unnamed(), unnamed);
    ASSERT_TRUE(writeAll(file.file(), reinterpret_cast<const uint8_t*>("new"), 3));
    errno = 0;
    const NamingFailure failure = file.name("f/n", c.naming);
    const int error = errno;
    // Without unnamed files the temporary is renamed: over a taken name on POSIX (rename
    // replaces), never on Windows, which reports the name kept as a failed link.
    const bool kept = kWindows && c.naming == Naming::Keep && c.taken;
    Tree after = unnamed ? c.after : Tree{{"f/n", kept ? "old" : "new"}};
    after["f/g"] = "stale";
    EXPECT_EQ(failure, unnamed ? c.failure
                       : kept  ? NamingFailure::Link
                               : NamingFailure::None)
        << c.tryUnnamed;
    EXPECT_EQ(error == EEXIST, failure == NamingFailure::Link);
    EXPECT_EQ(readTree(dir.path()), after)
        << c.tryUnnamed << " " << static_cast<int>(c.naming) << " " << c.taken << " " << c.left;
  }
}

TEST(SUITE, ADroppedFileLeavesNothing) {
  for (const bool tryUnnamed : {true, false}) {
    const ScratchFolder dir;
    fs::create_directory(dir / "f");
    const Folder base;  // the current folder (the paths are absolute)
    PendingFileMaker maker(base, tryUnnamed);
    maker.create((dir / "f").string(), (dir / "f/.t").string()).drop();
    EXPECT_EQ(readTree(dir.path()), Tree{}) << tryUnnamed;
  }
}

// Copied in the kernel or through memory, a copy that runs past the end of its source copies
// what there is and says so.
TEST(SUITE, CopiesStopAtTheSourcesEnd) {
  const ScratchFolder dir;
  const std::string source(3 << 20, 'x');
  writeTree(dir.path(), {{"source", source}});
  for (const uint64_t size : {uint64_t{3} << 20, (uint64_t{3} << 20) + 5}) {
    FileCopier copier;
    const FileHandle from = openFile((dir / "source").string(), OpenMode::Read);
    const FileHandle to = openFile((dir / std::to_string(size)).string(), OpenMode::CreateNew);
    EXPECT_EQ(copier.copy(from, 1, to, size - 1),
              size > source.size() ? CopyResult::SourceEnded : CopyResult::Done);
    EXPECT_EQ(readFile(dir / std::to_string(size)), source.substr(1));
  }
}

}  // namespace
