// The command lines of archive-extract and archive-pack end to end: the list, JSON and test modes,
// -C, --overwrite, every category, and how the tools fail (stdout that cannot be written, folders
// that cannot be made, interruptions, odd files).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "support/archive_builder.h"
#include "support/tool_test.h"

namespace {

namespace fs = std::filesystem;

class Cli : public ToolTest {
 protected:
  Cli() {
    // Readable and writable by nobody, for the permission cases.
    fs::permissions(dir.path(), fs::perms::all);
    fs::permissions(out(), fs::perms::all);
  }
};

// g0 plain, g1 LZ, g2 run-length, g3 stored with a 16-byte header, g4 without data, g5 the
// unsupported method, g6 corrupt; c0 plain; category 40 entry 0 (not a model category).
const std::string kPlain = "plain data", kLz = "lz lz lz lz lz lz data", kRle = "rrrrrrrrrr";
void writeSampleArchive(const fs::path& file, uint64_t size = 0) {
  std::string unsupported = encode(0, "x"), corrupt = encode(1, kLz), longStored = encode(0, kRle);
  unsupported[4] = 3;
  corrupt[12] = 1;  // a back-reference before the first byte
  longStored[3] = 0;
  longStored.insert(12, 4, '\0');  // the 16-byte form: the data starts at byte 16
  writeArchive(file,
               {{0,
                 {plain(kPlain),
                  compressed(1, kLz),
                  compressed(2, kRle),
                  compressed(longStored, kRle.size()),
                  {plainEntryWord(kNoDataLength), ""},
                  compressed(unsupported, 1),
                  compressed(corrupt, kLz.size())}},
                {1, {plain("c")}},
                {0, {plain("forty")}, 0, 40}},
               size);
}

// The parser's cases are archive_extract_options_test's; here the executables' statuses and
// streams for help, version and a usage error, and guest-run's failed stdout.
TEST_F(Cli, HelpVersionAndAUsageError) {
  const Outcome help = extract({"--help"}), version = extract({"--version"});
  EXPECT_EQ(help.status + version.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: archive-extract ", 0), 0u);
  EXPECT_EQ(version.out, "archive-extract " PROJECT_VERSION "\n");
  const std::string guestRun = std::getenv("GUEST_RUN");
  for (const char* option : {"--help", "--version"}) {
    EXPECT_EQ(pack({option}).status, 0) << option;
    EXPECT_EQ(runTool({guestRun, option}, dir.path(), dir.path()).status, 0) << option;
  }
  const Outcome usage = extract({"--jobs", "0", archive()});
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.out, "");
  EXPECT_EQ(usage.err,
            "archive-extract: --jobs needs a number from 1 to 256, not '0'\n"
            "Try 'archive-extract --help' for more information.\n");
  EXPECT_NE(pack({"--method"}).err.find("--method needs a value"), std::string::npos);
  EXPECT_EQ(pack({"source"}).status, 2);
  // guest-run's JSON is all it makes: a stdout that cannot take it is an error.
  RunOptions full;
  full.stdoutFile = "/dev/full";
  const Outcome lost =
      runTool({guestRun, "--pc", "0", "--until", "4"}, dir.path(), dir.path(), full);
  EXPECT_EQ(lost.status, 2);
  EXPECT_EQ(lost.err, "guest-run: cannot write to standard output: No space left on device\n");
}

TEST_F(Cli, ListsEveryEntryWithItsStorage) {
  writeSampleArchive(archive());
  const std::string g = " 13 000";
  const Outcome text = extract({"--list", archive()});
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
  const Outcome quiet = extract({"--test", "-q", archive(), "models - c"});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out + quiet.err, "archive-extract: tested 1 entries: all sound\n");
  // Cut inside g1's data: incomplete, as extraction says too.
  writeSampleArchive(archive(), kDataStart + 2048 + 14);
  const Outcome json = extract({"--test", "--json", archive(), "models - g/0001.raw"});
  EXPECT_EQ(json.status, 2);
  EXPECT_EQ(json.out,
            "{\"path\":\"models - g/0001.raw\",\"category\":13,\"entry\":1,\"sector\":501,"
            "\"method\":\"lz\",\"stored\":2048,\"size\":22,\"ok\":false,\"problem\":"
            "\"incomplete\",\"shared\":false}\n");
}

TEST_F(Cli, SelectsIntoAFolderAndOverwritesOnRequest) {
  writeSampleArchive(archive());
  fs::create_directory(dir / "dest");
  writeTree(dir / "dest", {{path(0, 2), "old"}, {path(0, 0), "old"}});
  const std::vector<std::string> args = {
      "-C",      "../dest",    "--entries",    "0-2,7",
      archive(), "models - g", "category 040", "models - g/0007.raw"};
  const Outcome run = extract(args);
  EXPECT_EQ(run.status, 2);  // entry 7 does not exist
  EXPECT_EQ(run.out, path(0, 1) + "\ncategory 040/0000.raw\n");
  EXPECT_EQ(run.err, "archive-extract: models - g/0007.raw: not found in archive\n");
  const Tree kept = {{path(0, 0), "old"},
                     {path(0, 1), kLz},
                     {path(0, 2), "old"},
                     {"category 040/0000.raw", "forty"}};
  EXPECT_EQ(readTree(dir / "dest"), kept);
  EXPECT_TRUE(fs::is_empty(out()));
  const Outcome again = extract(
      {"-C", "../dest", "--overwrite", "--category", "g,40", "--entries", "0-2", archive()});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out,
            path(0, 0) + "\n" + path(0, 1) + "\n" + path(0, 2) + "\ncategory 040/0000.raw\n");
  Tree replaced = kept;
  replaced[path(0, 0)] = kPlain;
  replaced[path(0, 2)] = kRle;
  EXPECT_EQ(readTree(dir / "dest"), replaced);
}

// A failed stdout: extraction writes every file and ends with status 2; a listing stops at once.
TEST_F(Cli, StdoutThatCannotBeWritten) {
  std::mt19937_64 rng(9);
  Table g{0, {}};
  for (int e = 0; e < 600; ++e) g.entries.push_back(plain(content(rng, 10)));
  writeArchive(archive(), {g});
  RunOptions full;
  full.stdoutFile = "/dev/full";
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
  mkfifo((dir / "fifo").c_str(), 0666);
  std::ofstream(dir / "junk.bin") << std::string(kMinimumArchiveSize, '\xA7');
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
    const std::string file = dir / c.name;
    std::string err = "archive-extract: " + c.err;
    err.replace(err.find('%'), 1, file);
    const Outcome run = extract({file});
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, err);
    EXPECT_TRUE(fs::is_empty(out()));
  }
  // A folder that cannot be made: read-only to the user (as nobody, since the tests run as root).
  fs::permissions(out(), fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read |
                             fs::perms::group_exec | fs::perms::others_exec);
  RunOptions nobody;
  nobody.asNobody = true;
  const Outcome denied = extract({archive(), "models - c"}, nobody);
  EXPECT_EQ(denied.status, 2);
  EXPECT_EQ(denied.err,
            "archive-extract: cannot create the folder models - c: Permission denied\n");
}

// SIGINT and SIGTERM with stdout going to a file, four workers: whole lines, naming every file on
// disk, no partial file, status 128 + the signal.
TEST_F(Cli, AnInterruptedRunNamesEveryFileItLeaves) {
  std::mt19937_64 rng(10);
  Table g{0, {}};
  // Enough files that the run is still going when the signal comes, on a slow machine too.
  for (int e = 0; e < 1500; ++e) g.entries.push_back(plain(content(rng, 30000)));
  writeArchive(archive(), {g});
  for (const int signal : {SIGINT, SIGTERM}) {
    fs::remove_all(out());
    fs::create_directory(out());
    RunOptions options;
    options.stdoutFile = dir / "stdout";
    options.signal = signal;
    options.signalWhen = [&] {
      std::error_code error;
      const auto folder = fs::directory_iterator(out() / kFolders[0], error);
      return !error && std::distance(folder, fs::directory_iterator()) > 50;
    };
    const Outcome run = extract({"--jobs", "4", archive()}, options);
    EXPECT_EQ(run.status, 128 + signal);
    const Tree tree = readTree(out());
    EXPECT_GT(tree.size(), 50u);
    EXPECT_LT(tree.size(), 1500u);
    EXPECT_EQ(run.out, sweepLines(tree));
    for (const auto& [name, data] : tree) ASSERT_EQ(data.size(), 30000u) << name;
  }
}

// (Writing through a symlink is update_test's: the same one-step replacement.)
TEST_F(Cli, PackRefusesOddTargetsAndStopsCleanly) {
  writeTree(dir / "source", {{path(0, 0), "zero"}});
  mkfifo((dir / "fifo").c_str(), 0666);
  const Outcome fifo = pack({"source", "fifo"});
  EXPECT_EQ(fifo.status, 2);
  EXPECT_EQ(fifo.err, "archive-pack: fifo is not a regular file; refusing to replace it\n");
  EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
  ASSERT_EQ(pack({"source", "real.bin"}).status, 0);
  // An unreadable folder, as nobody: the reason, status 2, and nothing left behind.
  fs::permissions(dir / "source" / kFolders[0], fs::perms::none);
  RunOptions nobody;
  nobody.asNobody = true;
  const Outcome denied = pack({"source", "new.bin"}, nobody);
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
  RunOptions term;
  term.stdoutFile = dir / "stdout";
  term.signal = SIGTERM;
  const auto started = std::chrono::steady_clock::now();
  term.signalWhen = [&] {
    return std::chrono::steady_clock::now() - started > std::chrono::milliseconds(30);
  };
  const Outcome stopped = pack({"source", "real.bin"}, term);
  if (stopped.status == 128 + SIGTERM) {
    EXPECT_EQ(readFile(dir / "real.bin"), before);
  }
  EXPECT_TRUE(stopped.status == 0 || stopped.status == 128 + SIGTERM) << stopped.status;
  for (const auto& item : fs::directory_iterator(dir.path())) {
    EXPECT_EQ(item.path().filename().string().find(".archive-pack"), std::string::npos);
  }
}

}  // namespace
