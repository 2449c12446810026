// archive-extract's and archive-pack's command lines end to end: modes, selections, and how the
// tools fail and say why.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "archive/format.h"
#include "support/archive_builder.h"
#include "support/system.h"
#include "support/tool_test.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class Cli : public ToolTest {
 protected:
  Cli() {
    // Readable and writable by nobody, for the permission cases.
    fs::permissions(dir.path(), fs::perms::all);
    fs::permissions(out(), fs::perms::all);
  }
};

// The sample archive's contents (support/archive_builder.h).
const std::string kPlain = kSamplePlain, kLz = kSampleLz, kRle = kSampleRle;

// The parser's texts are archive_extract_options_test's; here the executables' statuses, and
// help or version text that cannot be written.
TEST_F(Cli, HelpVersionAndAUsageError) {
  const RunOptions full{.stdoutFile = "/dev/full"};
  for (const char* option : {"--help", "--version"}) {
    EXPECT_EQ(extract({option}).status + pack({option}).status, 0) << option;
    if (kWindows) continue;  // no /dev/full
    for (const auto& [tool, run] : {std::pair{"archive-extract", extract({option}, full)},
                                    {"archive-pack", pack({option}, full)}}) {
      EXPECT_EQ(run.status, 2) << option;
      EXPECT_EQ(run.err,
                std::string(tool) + ": cannot write to standard output: No space left on device\n");
    }
  }
  const Outcome usage = extract({"--jobs", "0", archive()});
  EXPECT_EQ(usage.out + usage.err.substr(0, 33), "archive-extract: --jobs needs a n");
  EXPECT_EQ(usage.status + pack({"source"}).status, 4);
  EXPECT_NE(pack({"--method"}).err.find("--method needs a value"), std::string::npos);
  EXPECT_NE(pack({"-vx", "a", "b"}).err.find("unknown option '-x'"), std::string::npos);
}

TEST_F(Cli, ListsEveryEntryWithItsStorage) {
  writeSampleArchive(archive());
  const std::string g = " 13 000";
  const Outcome text = extract({"-tv", archive()});
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(text.out,
            g + "0        500 plain               10         10  models - g/0000.raw\n" + g +
                "1        501 lz                2048         22  models - g/0001.raw\n" + g +
                "2        502 rle               2048         10  models - g/0002.raw\n" + g +
                "3        503 stored            2048         10  models - g/0003.raw\n" + g +
                "4        504 nodata               -          -  models - g/0004.raw\n" + g +
                "5        504 unsupported       2048          1  models - g/0005.raw\n" + g +
                "6        505 lz                2048         22  models - g/0006.raw\n"
                " 14 0000        506 plain                1          1  models - c/0000.raw\n");
  // Without -v, the members alone, as tar lists them: g4 holds no data.
  EXPECT_EQ(extract({"-tf", archive()}).out, path(0, 0) + "\n" + path(0, 1) + "\n" + path(0, 2) +
                                                 "\n" + path(0, 3) + "\n" + path(0, 5) + "\n" +
                                                 path(0, 6) + "\n" + path(1, 0) + "\n");
  const Outcome json =
      extract({"--list", "--json", "--all-categories", "--entries", "3-4", archive()});
  EXPECT_EQ(json.out,
            "{\"path\":\"models - g/0003.raw\",\"category\":13,\"entry\":3,\"sector\":503,"
            "\"method\":\"stored\",\"stored\":2048,\"size\":10}\n"
            "{\"path\":\"models - g/0004.raw\",\"category\":13,\"entry\":4,\"sector\":504,"
            "\"method\":\"nodata\",\"stored\":null,\"size\":null}\n");
  // The archive ends 8 bytes into g1's header: its method and size are not known.
  writeSampleArchive(archive(), kDataStart + 2048 + 8);
  const Outcome cut = extract({"--list", "--json", archive(), "models - g/0001.raw"});
  EXPECT_EQ(cut.out,
            "{\"path\":\"models - g/0001.raw\",\"category\":13,\"entry\":1,\"sector\":501,"
            "\"method\":\"unknown\",\"stored\":2048,\"size\":null}\n");
}

TEST_F(Cli, TestsEveryEntryAndNamesTheDamagedOnes) {
  writeSampleArchive(archive());
  const Outcome text = extract({"--test", archive(), "models - g"});
  EXPECT_EQ(text.status, 2);
  EXPECT_EQ(text.out,
            "models - g/0000.raw: ok\nmodels - g/0001.raw: ok\nmodels - g/0002.raw: ok\n"
            "models - g/0003.raw: ok\nmodels - g/0005.raw: unsupported\n"
            "models - g/0006.raw: corrupt\n");
  EXPECT_EQ(text.err, "archive-extract: tested 6 entries: 2 damaged\n");
  EXPECT_TRUE(fs::is_empty(out()));
  // With -q, stdout holds nothing, but the damaged entries are problems: named on stderr.
  const Outcome quiet = extract({"--test", "-q", archive(), "models - g", "models - c"});
  EXPECT_EQ(quiet.status, 2);
  EXPECT_EQ(quiet.out + quiet.err,
            "archive-extract: models - g/0005.raw: unsupported\n"
            "archive-extract: models - g/0006.raw: corrupt\n"
            "archive-extract: tested 7 entries: 2 damaged\n");
  // Cut inside g1's data: incomplete, as extraction says too.
  writeSampleArchive(archive(), kDataStart + 2048 + 14);
  const Outcome json = extract({"--test", "--json", archive(), "models - g/0001.raw"});
  EXPECT_EQ(json.status, 2);
  EXPECT_EQ(json.out,
            "{\"path\":\"models - g/0001.raw\",\"category\":13,\"entry\":1,\"sector\":501,"
            "\"method\":\"lz\",\"stored\":2048,\"size\":22,\"ok\":false,\"problem\":"
            "\"incomplete\",\"shared\":false}\n");
  // tar's habits: -xvf extracts (-v adds nothing to it).
  const Outcome x = extract({"-xvf", archive(), "models - g/0001.raw"});
  EXPECT_EQ(x.out, path(0, 1) + "\n");  // (not written: the archive is cut inside it)
}

// -C makes its folder, but not a missing parent.
TEST_F(Cli, SelectsIntoAFolderAndOverwritesOnRequest) {
  writeSampleArchive(archive());
  const Outcome orphan = extract({"-C", "../none/dest", archive()});
  EXPECT_EQ(orphan.status, 2);
  const std::string noParent =
      "archive-extract: cannot use ../none/dest as the output folder: No such file or directory\n";
  EXPECT_EQ(withReasonsOf(orphan.err, noParent), noParent);
  ASSERT_EQ(extract({"-C", "../dest", "--entries", "8", archive()}).status, 0);
  writeTree(dir / "dest", {{path(0, 2), "old"}, {path(0, 0), "old"}});
  fs::create_directories(dir / "dest" / path(0, 3));
  const std::vector<std::string> args = {
      "-C",      "../dest",    "--entries",    "0-3,7",
      archive(), "models - g", "category 040", "models - g/0007.raw"};
  const Outcome run = extract(args);
  EXPECT_EQ(run.status, 2);  // entry 7 does not exist
  EXPECT_EQ(run.out, path(0, 1) + "\ncategory 040/0000.raw\n");
  EXPECT_EQ(run.err,
            "archive-extract: models - g/0003.raw: a folder is in the way; not written\n"
            "archive-extract: 2 entries written, 1 not written\n"
            "archive-extract: models - g/0007.raw: not found in archive\n");
  const Tree kept = {{path(0, 0), "old"},
                     {path(0, 1), kLz},
                     {path(0, 2), "old"},
                     {"category 040/0000.raw", "forty"}};
  EXPECT_EQ(readTree(dir / "dest"), kept);
  EXPECT_TRUE(fs::is_empty(out()));
  const Outcome again = extract(
      {"-C", "../dest", "--overwrite", "--category", "g,40", "--entries", "0-3", archive()});
  EXPECT_EQ(again.status, 2);
  EXPECT_EQ(again.err,
            "archive-extract: models - g/0003.raw: a folder is in the way; not written\n"
            "archive-extract: 4 entries written, 1 not written\n");
  EXPECT_EQ(again.out,
            path(0, 0) + "\n" + path(0, 1) + "\n" + path(0, 2) + "\ncategory 040/0000.raw\n");
  Tree replaced = kept;
  replaced[path(0, 0)] = kPlain;
  replaced[path(0, 2)] = kRle;
  EXPECT_EQ(readTree(dir / "dest"), replaced);
  // An entry without data is no member: a path naming one is reported as not in the archive.
  for (const char* mode : {"-x", "-O", "--test", "-t"}) {
    const Outcome run = extract({mode, archive(), path(0, 4)});
    EXPECT_EQ(run.status, 2) << mode;
    EXPECT_EQ(run.out, "") << mode;
    EXPECT_TRUE(run.err.ends_with("archive-extract: " + path(0, 4) +
                                  ": no data in the archive (deleted or never stored)\n"))
        << run.err;
  }
}

// Patterns take each entry with data once, in sweep order; "category NNN" folders only when the
// run sweeps them anyway.
TEST_F(Cli, PatternMembers) {
  writeSampleArchive(archive());
  const Outcome run = extract({"-t", archive(), "*/000[14]*", "models - [gc]/000[0-4].raw", "ca*"});
  EXPECT_EQ(run.out, path(0, 0) + "\n" + path(0, 1) + "\n" + path(0, 2) + "\n" + path(0, 3) + "\n" +
                         path(1, 0) + "\n");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "archive-extract: ca*: not found in archive\n");
  EXPECT_EQ(extract({"--test", "--all-categories", "--entries=0", archive(), "ca*"}).out,
            "category 040/0000.raw: ok\n");
}

// A failed stdout: extraction writes every file and ends with status 2; a listing stops at once.
TEST_F(Cli, StdoutThatCannotBeWritten) {
  SKIP_ON_WINDOWS("/dev/full");
  std::mt19937_64 rng(9);
  Table g{0, {}};
  for (int e = 0; e < 600; ++e) g.entries.push_back(plain(content(rng, 10)));
  writeArchive(archive(), {g});
  const RunOptions full{.stdoutFile = "/dev/full"};
  const Outcome run = extract({archive()}, full);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "archive-extract: cannot write to standard output: No space left on device\n");
  EXPECT_EQ(readTree(out()).size(), 600u);
  for (const char* mode : {"--list", "--test"}) {
    const Outcome list = extract({mode, archive()}, full);
    EXPECT_EQ(list.status, 2) << mode;
    EXPECT_EQ(list.err.find("tested"), std::string::npos) << list.err;
  }
}

// What keeps a run from starting, named as the system or the archive gives it; nothing written.
TEST_F(Cli, ReportsTheRealReason) {
  writeSampleArchive(archive());
  writeArchive(dir / "short.bin", {{0, {plain("data")}}}, kMinimumArchiveSize - 1);
  fs::create_directory(dir / "folder");
  const bool fifo = makeFifo(dir / "fifo");
  std::ofstream(dir / "junk.bin", std::ios::binary) << std::string(kMinimumArchiveSize, '\xA7');
  const struct {
    const char* name;
    int status;
    std::string out, err;  // err after "archive-extract: " and the path
  } cases[] = {
      {"missing.bin", 2, "", "cannot open %: No such file or directory\n"},
      {"folder", 2, "", "%: is a directory\n"},
      {"fifo", 2, "", "%: is not a regular file (the archive is read at random offsets)\n"},
      {"short.bin", 2, "", "%: too short to hold the archive index (0xE2000 bytes)\n"},
      {"junk.bin", 1, "Access to unmapped memory A943A7A7\n",
       "%: the lookup routines stopped on its index (is it an archive of this kind?)\n"},
  };
  for (const auto& c : cases) {
    if (!fifo && c.name == std::string("fifo")) continue;
    const std::string file = (dir / c.name).string();
    std::string err = "archive-extract: " + c.err;
    err.replace(err.find('%'), 1, file);
    const Outcome run = extract({file});
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(withReasonsOf(run.err, err), err);
    EXPECT_TRUE(fs::is_empty(out()));
  }
  // With --json, stdout holds JSON alone: the fault's line goes to stderr.
  for (const char* mode : {"--list", "--test"}) {
    const Outcome json = extract({mode, "--json", (dir / "junk.bin").string()});
    EXPECT_EQ(std::to_string(json.status) + json.out, "1");
    EXPECT_TRUE(json.err.starts_with("Access to unmapped memory A943A7A7\n")) << json.err;
  }
  // A folder that cannot be made: read-only to the user (as nobody, since the tests run as root).
  SKIP_ON_WINDOWS("running as another user");
  fs::permissions(out(), fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read |
                             fs::perms::group_exec | fs::perms::others_exec);
  const Outcome denied = extract({archive(), "models - c"}, {.asNobody = true});
  EXPECT_EQ(denied.status, 2);
  EXPECT_EQ(denied.err,
            "archive-extract: cannot create the folder models - c: Permission denied\n"
            "archive-extract: 0 entries written, 1 not written\n");
}

// SIGINT and SIGTERM with stdout going to a file, four workers: whole lines, naming every file on
// disk, no partial file, status 128 + the signal.
TEST_F(Cli, AnInterruptedRunNamesEveryFileItLeaves) {
  std::mt19937_64 rng(10);
  Table g{0, {}};
  // Enough files that the run is still going when the signal comes, on a slow machine too.
  for (int e = 0; e < 1500; ++e) g.entries.push_back(plain(content(rng, 30000)));
  writeArchive(archive(), {g});
  SKIP_ON_WINDOWS("SIGINT and SIGTERM with four workers writing (Ctrl-C: see Windows.*)");
  for (const int signal : {SIGINT, SIGTERM}) {
    clearOut();
    const auto fiftyWritten = [&] {  // (finished files: not a .partial one being written)
      std::error_code error;
      const auto folder = fs::directory_iterator(out() / kFolders[0], error);
      return !error && std::count_if(folder, fs::directory_iterator(), [](const auto& f) {
                         return f.path().extension() == ".raw";
                       }) > 50;
    };
    const Outcome run = extract(
        {"--jobs", "4", archive()},
        {.signal = signal, .stdoutFile = (dir / "stdout").string(), .signalWhen = fiftyWritten});
    EXPECT_EQ(run.status, 128 + signal);
    const Tree tree = readTree(out());
    EXPECT_GT(tree.size(), 50u);
    EXPECT_LT(tree.size(), 1500u);
    EXPECT_EQ(run.out, sweepLines(tree));
    for (const auto& [name, data] : tree) ASSERT_EQ(data.size(), 30000u) << name;
  }
}

TEST_F(Cli, PackRefusesOddTargetsAndStopsCleanly) {
  writeTree(dir / "source", {{path(0, 0), "zero"}});
  if (makeFifo(dir / "fifo")) {
    const Outcome fifo = pack({"source", "fifo"});
    EXPECT_EQ(fifo.status, 2);
    EXPECT_EQ(fifo.err, "archive-pack: fifo is not a regular file; refusing to replace it\n");
    EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
  }
  ASSERT_EQ(pack({"source", "real.bin"}).status, 0);
  // An unreadable folder, as nobody: the reason, status 2, and nothing left behind.
  SKIP_ON_WINDOWS("running as another user, SIGTERM");
  fs::permissions(dir / "source" / kFolders[0], fs::perms::none);
  const Outcome denied = pack({"source", "new.bin"}, {.asNobody = true});
  EXPECT_EQ(denied.status, 2);
  EXPECT_EQ(denied.err,
            "archive-pack: cannot read the folder source/models - g: Permission denied\n");
  fs::permissions(dir / "source" / kFolders[0], fs::perms::all);
  // SIGTERM while packing 32 MiB: the old archive stays as it was, whatever the moment.
  std::mt19937_64 rng(11);
  Tree big;
  for (int e = 0; e < 32; ++e) big[path(1, e)] = content(rng, 1 << 20);
  writeTree(dir / "source", big);
  const std::string before = readFile(dir / "real.bin");
  // An existing archive is replaced only with --force (an --update forgotten would lose it).
  EXPECT_EQ(pack({"source", "real.bin"}).err,
            "archive-pack: real.bin exists; use --update to put SOURCE_DIR's files into it, or "
            "--force to replace it with an archive of SOURCE_DIR alone\n");
  EXPECT_EQ(readFile(dir / "real.bin"), before);
  const auto start = std::chrono::steady_clock::now();
  const auto late = [&] { return std::chrono::steady_clock::now() - start > 30ms; };
  const Outcome stopped =
      pack({"--force", "source", "real.bin"},
           {.signal = SIGTERM, .stdoutFile = (dir / "stdout").string(), .signalWhen = late});
  if (stopped.status == 128 + SIGTERM) {
    EXPECT_EQ(readFile(dir / "real.bin"), before);
  }
  EXPECT_TRUE(stopped.status == 0 || stopped.status == 128 + SIGTERM) << stopped.status;
  for (const auto& item : fs::directory_iterator(dir.path())) {
    EXPECT_EQ(item.path().filename().string().find(".archive-pack"), std::string::npos);
  }
}

// A source of no entry is refused, nothing written: a category folder given for the source
// folder (its files not listed one by one), an empty folder, category folders of no NNNN.raw file.
// A folder that is nearly a category folder's name is skipped saying which name would be taken;
// what is skipped is named in the order of the names.
TEST_F(Cli, PackRefusesASourceOfNoEntry) {
  const std::string g = kFolders[0];
  writeTree(dir / "source", {{path(0, 0), "zero"}, {path(0, 1), "one"}});
  writeTree(dir / "seven", {{"category 7/0001.raw", "x"}, {"category 040/x.raw", "x"}});
  writeTree(dir / "thirteen", {{"category 013/0001.raw", "x"}});
  fs::create_directories(dir / "empty");
  const std::string none =
      " holds no category folders (models - g, models - c, ..., category 040); nothing was "
      "written\n";
  const struct {
    std::string source, err;
  } cases[] = {
      {"source/" + g, "archive-pack: source/" + g + none},
      {"empty", "archive-pack: empty" + none},
      {"thirteen",
       "archive-pack: skipping thirteen/category 013: not a category folder; category 13 is named "
       "models - g\narchive-pack: thirteen" +
           none},
      {"seven",
       "archive-pack: skipping seven/category 040/x.raw: not an NNNN.raw file\narchive-pack: "
       "skipping seven/category 7: not a category folder; category folders are named with three "
       "digits: category 007\narchive-pack: seven: its category folders hold no NNNN.raw files; "
       "nothing was written\n"},
      {"missing", "archive-pack: cannot read the folder missing: No such file or directory\n"},
  };
  for (const auto& c : cases) {
    const Outcome run = pack({c.source, "new.bin"});
    EXPECT_EQ(run.status, 2) << c.source;
    EXPECT_EQ(withReasonsOf(run.err, c.err), c.err);
    EXPECT_FALSE(fs::exists(dir / "new.bin")) << c.source;
  }
}

// The archive may lie in the folder it is made of: it is no entry of its own, and not worth a
// "skipping" line; any other stray file still is.
TEST_F(Cli, PackPassesOverTheArchiveInItsSourceFolder) {
  writeTree(dir / "src", {{path(0, 0), "zero"}, {path(0, 1), "1"}, {"notes.txt", "n"}});
  const std::string stray = "archive-pack: skipping src/notes.txt: not a category folder\n";
  const Outcome built = pack({"src", "src/DATA.BIN"});
  EXPECT_EQ(built.status, 0);
  EXPECT_EQ(built.err, stray);
  writeTree(dir / "src", {{path(0, 1), "one"}});
  for (const std::string archive : {"src/DATA.BIN", "./src/DATA.BIN"}) {
    const Outcome updated = pack({"--update", "src", archive});
    EXPECT_EQ(updated.status, 0) << archive;
    EXPECT_EQ(updated.err, stray) << archive;
  }
  EXPECT_EQ(pack({"--force", "src", "src/DATA.BIN"}).err, stray);
  EXPECT_EQ(extract({"-O", (dir / "src/DATA.BIN").string(), path(0, 1)}).out, "one");
}

// Source files are sized before they are read: 3 GiB is refused at once, in memory that stays
// small; a plain entry is copied into the archive, not held in memory.
TEST_F(Cli, PackSizesSourceFilesBeforeReadingThem) {
  const fs::path big = dir / "source" / path(0, 1);
  writeTree(dir / "source", {{path(0, 0), "zero"}, {path(0, 1), ""}});
  ASSERT_EQ(pack({"source", "base.bin"}).status, 0);
  const auto expectSmall = [](const Outcome& run, int status) {
#if !defined(__SANITIZE_ADDRESS__)  // a sanitized process takes more
    EXPECT_LT(run.peakKiB, 64 << 10);
#endif
    EXPECT_EQ(run.status, status) << run.err;
  };
  fs::resize_file(big, uint64_t{3} << 30);
  for (const std::string mode : {"--force", "--update"}) {
    const Outcome run = pack({mode, "source", "base.bin"});
    EXPECT_EQ(run.err, "archive-pack: source/" + path(0, 1) +
                           ": 3221225472 bytes do not fit the chosen storage\n");
    expectSmall(run, 2);
  }
  fs::resize_file(big, 256 << 20);
  expectSmall(pack({"--method=plain", "source", "new.bin"}), 0);
}

// Small archives that demand huge output may not fill the disk: a run stops before its entries
// expand to more than the bound, and keeps its memory whatever the index claims.

}  // namespace
