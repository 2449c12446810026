// archive-extract and archive-pack end to end on archives packed from random trees or laid out by
// hand: the files they leave, their stdout, stderr and exit status.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "archive/format.h"
#include "support/archive_builder.h"
#include "support/system.h"
#include "support/tool_test.h"

namespace {

namespace fs = std::filesystem;

class E2eExtract : public ToolTest {
 protected:
  void expectOut(const Tree& want) { EXPECT_EQ(summary(readTree(out())), summary(want)); }

  // The suite runs with four workers, and once more with as many as E2E_JOBS says.
  Outcome extract(int killAfterLines = 0, uint64_t fileSizeLimit = kNoFileSizeLimit) const {
    const char* jobs = std::getenv("E2E_JOBS");
    return ToolTest::extract({"--jobs", jobs != nullptr ? jobs : "4", archive()},
                             {.signalAfterLines = killAfterLines, .fileSizeLimit = fileSizeLimit});
  }
};

struct Method {
  const char* name;
  int header;  // the method in the header of a compressed entry; -1: stored as is; -2: any
};
void PrintTo(const Method& method, std::ostream* os) { *os << method.name; }
class E2eRoundTrip : public E2eExtract, public ::testing::WithParamInterface<Method> {};

TEST_P(E2eRoundTrip, GivesThePackedTreeBackAndASecondRunChangesNothing) {
  const char* fixed = std::getenv("E2E_SEED");
  const uint64_t seed = fixed ? std::strtoull(fixed, nullptr, 0) : std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (E2E_SEED=seed repeats it)");
  std::mt19937_64 rng(seed);
  // Every category with 1 to 4 entries, numbered with gaps; one category holds a file of about
  // 1 MiB and an empty one, one ends at entry 9999.
  Tree tree;
  const uint64_t big = rng() % 11, last = rng() % 11;
  for (uint64_t row = 0; row < 11; ++row) {
    const uint64_t count = (row == big ? 2 : 1) + rng() % 3;
    for (uint64_t i = 0, entry = rng() % 20; i < count; ++i, entry += 1 + rng() % 20) {
      const size_t size = row != big || i > 1 ? rng() % (rng() % 2 ? 3000 : 40000)
                          : i == 0            ? (1 << 20) - rng() % 4096
                                              : 0;
      tree[path(row, row == last && i + 1 == count ? 9999 : entry)] = content(rng, size);
    }
  }
  writeTree(dir / "source", tree);
  const Outcome packed = pack({"source", archive(), "--method", GetParam().name});
  ASSERT_EQ(packed.status, 0) << packed.err;
  // The archive's first entry, the lowest of "models - g", is stored as asked.
  const std::string& first = tree.lower_bound(path(0, 0))->second;
  const std::string head = readFile(archive()).substr(kDataStart, 12);
  const int header = GetParam().header;
  if (!first.empty() && header != -2) {
    EXPECT_EQ(header == -1 ? head.substr(0, first.size()) : head.substr(3, 2),
              header == -1 ? first.substr(0, 12) : "d" + std::string(1, static_cast<char>(header)));
  }
  for (const std::string& lines : {sweepLines(tree), std::string()}) {
    const Outcome run = extract();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, lines);
    expectOut(tree);
  }
}

INSTANTIATE_TEST_SUITE_P(EveryMethod, E2eRoundTrip,
                         ::testing::Values(Method{"auto", -2}, Method{"plain", -1},
                                           Method{"stored", 0}, Method{"lz", 1}, Method{"rle", 2}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(E2eExtract, WritesOnlyMissingFilesOfEntriesWithData) {
  // Entry 1's index counts one 64-byte unit, short of its header's 100 bytes: the header counts.
  // "models - hc" starts with an entry without data, "models - w" has only a gap.
  const std::string beta(100, 'b');
  writeArchive(archive(), {{0, {plain("alpha"), compressed(encode(1, beta), 1), plain("gamma")}},
                           {1, {compressed(2, "delta")}},
                           {2, {{plainEntryWord(kNoDataLength), ""}, plain("x")}},
                           {3, {plain("")}}});
  writeTree(out(), {{path(0, 0), ""}, {path(0, 2), "old"}});  // an earlier run's, even empty
  if (!kWindows) {  // (Windows symbolic links need a privilege)
    fs::create_symlink(dir / "victim", out() / kFolders[0] / ".0001.raw.partial");  // not followed
  }
  const Outcome run = extract();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out + run.err, path(0, 1) + "\n" + path(1, 0) + "\n" + path(2, 1) + "\n");
  expectOut({{path(0, 0), ""},
             {path(0, 1), beta},
             {path(0, 2), "old"},
             {path(1, 0), "delta"},
             {path(2, 1), "x"}});
  EXPECT_FALSE(fs::exists(out() / kFolders[3]) || fs::exists(dir / "victim"));
}

// Damaged entries and archives cut short: each entry the archive does not hold in full, or that
// does not decode, is named on stderr and not written (a later run with the whole archive then
// writes it), and the run goes on.
TEST_F(E2eExtract, ReportsEntriesItCannotExtractAndGoesOn) {
  std::mt19937_64 rng(1);
  const std::string a = content(rng, 5000), b = content(rng, 5000), d = content(rng, 5000);
  std::string method3 = encode(0, a), backReference = encode(1, a);
  method3[4] |= 3;                             // bits 0-1 of the method word
  backReference[12] = backReference[13] = -1;  // a back-reference before the first output byte
  const std::string g0 = path(0, 0), g1 = path(0, 1), c0 = path(1, 0);
  const std::string unsupported = ": unsupported compression method; not written\n",
                    corrupt = ": corrupt compressed data; not written\n",
                    incomplete = ": incomplete: the archive ends inside its data; not written\n";
  // "models - c" entry 0 (plain b) fills sectors 0-2, "models - g" entry 0 (a, stored with a
  // 12-byte header) sectors 3-5, and "models - g" entry 1 (plain d, unless the case says) follows.
  const uint64_t sector3 = kDataStart + 3 * 2048, sector6 = sector3 + 3 * 2048;
  const Tree ok = {{g0, a}, {c0, b}};
  const struct {
    const char* name;
    Entry g1;
    uint64_t size;        // of the archive (0: all of it)
    const char* message;  // on stdout after the path of g1
    Tree want;
    std::vector<std::string> warned;  // on stderr after "archive-extract: "
  } cases[] = {
      // clang-format off
      {"method 3", compressed(method3, 5000), 0, "Unsupported compression !\n", ok,
       {g1 + unsupported}},
      {"back-reference before the start", compressed(backReference, 5000), 0, "", ok,
       {g1 + corrupt}},
      // g0's stream is whole once its 5012 bytes are there, though its last sector is cut short.
      {"ends in g0", plain(d), sector3 + 5011, "", {{c0, b}}, {g0 + incomplete, g1 + incomplete}},
      {"ends after g0's stream", plain(d), sector3 + 5012, "", ok, {g1 + incomplete}},
      {"ends one byte short of g1", plain(d), sector6 + 4999, "", ok, {g1 + incomplete}},
      {"ends in g1's LZ stream", compressed(1, d), sector6 + 100, "", ok, {g1 + incomplete}},
      {"index only", plain(d), kMinimumArchiveSize, "", {},
       {g0 + incomplete, g1 + incomplete, c0 + incomplete}},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clearOut();
    writeArchive(archive(), {{1, {plain(b)}}, {0, {compressed(0, a), c.g1}}}, c.size);
    const Outcome run = extract();
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, g0 + "\n" + g1 + "\n" + c.message + c0 + "\n");
    std::string err;
    for (const std::string& line : c.warned) err += "archive-extract: " + line;
    const size_t written = c.want.size();  // of the three entries; then the run's summary
    err += "archive-extract: " + std::to_string(written) + (written == 1 ? " entry" : " entries") +
           " written, " + std::to_string(3 - written) + " not written\n";
    EXPECT_EQ(run.err, err);
    expectOut(c.want);
  }
}

// One worker or four, the same archive gives the same stdout, stderr, status and files, byte for
// byte, however the run ends: damaged entries, a truncated archive, a failed write, a fault of the
// emulated machine part-way (status 1, after the entries before it were finished: the whole run's
// first five categories). An interruption stops at a moment of its own, but either way stdout
// is a prefix of the whole run's and names exactly the files on disk, all complete. (Under
// ThreadSanitizer these runs are the ones whose SIGINTs, sent on every read after the count, reach
// the workers' threads.)
TEST_F(E2eExtract, GivesTheSameOutputAtAnyNumberOfJobs) {
  std::mt19937_64 rng(16);
  std::vector<Table> tables;
  for (int row = 0; row < 11; ++row) {
    tables.push_back({row, {}});
    for (int e = 0; e < 12; ++e) {
      const std::string data = content(rng, rng() % (e % 5 == 4 ? 1 << 20 : 20000));
      std::string corrupt = encode(1, data), unsupported = encode(2, data);
      corrupt[12] = 1;  // a back-reference before the first byte
      unsupported[4] = 3;
      // clang-format off
      const Entry kinds[] = {plain(data), compressed(1, data), compressed(2, data),
                             compressed(0, data), compressed(corrupt, data.size()),
                             compressed(unsupported, data.size()), compressed(1, data)};
      // clang-format on
      tables.back().entries.push_back(kinds[(row * 12 + e) % 7]);
    }
  }
  writeArchive(archive(), tables);
  const std::string whole = readFile(archive());
  const std::string faulting = withFaultingLookups(whole);
  const struct {
    const char* name;
    std::string bytes;
    uint64_t fileSizeLimit = kNoFileSizeLimit;
    int status;
  } cases[] = {
      {"damaged entries", whole, kNoFileSizeLimit, 2},
      {"truncated", whole.substr(0, whole.size() * 2 / 3), kNoFileSizeLimit, 2},
      {"failed write", whole, 512 << 10, 2},
      {"fault part-way", faulting, kNoFileSizeLimit, 1},
  };
  const auto run = [&](const std::string& jobs, const fs::path& folder, uint64_t limit, int lines) {
    fs::remove_all(folder);
    fs::create_directory(folder);
    return runTool({ARCHIVE_EXTRACT_PATH, "--jobs", jobs, archive()}, folder, dir.path(),
                   {.signalAfterLines = lines, .signal = SIGINT, .fileSizeLimit = limit});
  };
  Outcome whole1;
  Tree firstFive;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (kWindows && c.fileSizeLimit != kNoFileSizeLimit) continue;  // no file size limits there
    std::ofstream(archive(), std::ios::binary | std::ios::trunc) << c.bytes;
    const Outcome one = run("1", dir / "one", c.fileSizeLimit, 0);
    const Outcome four = run("4", dir / "four", c.fileSizeLimit, 0);
    if (c.name == cases[0].name) {
      whole1 = one;
      firstFive = readTree(dir / "one");
      std::erase_if(firstFive, [](const auto& item) {
        return std::find(kFolders, kFolders + 5, item.first.substr(0, item.first.find('/'))) ==
               kFolders + 5;
      });
    } else if (c.status == 1) {
      const std::string before = whole1.out.substr(0, whole1.out.find(kFolders[5]));
      EXPECT_EQ(one.out, before + "Access to unmapped memory 20C0000\n");
      EXPECT_EQ(summary(readTree(dir / "one")), summary(firstFive));
    }
    EXPECT_EQ(one.status, c.status) << one.err;
    EXPECT_GT(std::count(one.out.begin(), one.out.end(), '\n'), 3);
    EXPECT_EQ(four.status, one.status);
    EXPECT_EQ(four.out, one.out);
    EXPECT_EQ(four.err, one.err);
    EXPECT_EQ(summary(readTree(dir / "four")), summary(readTree(dir / "one")));
    // --test and -O too; -O gives the files' bytes one after another, in sweep order.
    for (const char* mode : {"--test", "-O"}) {
      Outcome runs[2];
      for (const int jobs : {0, 1}) {
        runs[jobs] = runTool({ARCHIVE_EXTRACT_PATH, mode, "--jobs", jobs ? "4" : "1", archive()},
                             dir.path(), dir.path());
      }
      EXPECT_EQ(std::to_string(runs[1].status) + runs[1].out + runs[1].err,
                std::to_string(runs[0].status) + runs[0].out + runs[0].err)
          << mode;
      if (mode[1] != 'O' || c.fileSizeLimit != kNoFileSizeLimit) continue;
      const Tree files = readTree(dir / "one");
      std::string bytes;
      std::istringstream lines(sweepLines(files));
      for (std::string line; std::getline(lines, line);) bytes += files.at(line);
      EXPECT_TRUE(runs[0].out == bytes) << runs[0].out.size() << " bytes, not " << bytes.size();
      EXPECT_EQ(runs[0].status, one.status);
    }
  }

  std::ofstream(archive(), std::ios::binary | std::ios::trunc) << whole;
  const Outcome full = run("1", out(), kNoFileSizeLimit, 0);
  const Tree all = readTree(out());
  for (const char* jobs : {"1", "4"}) {
    for (const int lines : {3, 40}) {
      SCOPED_TRACE(std::string("--jobs ") + jobs + ", SIGINT after " + std::to_string(lines));
      const Outcome stopped = run(jobs, dir / "stopped", kNoFileSizeLimit, lines);
      // A run that finished before the signal reached it is whole.
      EXPECT_TRUE(stopped.status == 128 + SIGINT ||
                  (stopped.status == full.status && stopped.out == full.out))
          << stopped.status << " " << stopped.err;
      EXPECT_EQ(stopped.out, full.out.substr(0, stopped.out.size()));
      Tree named;
      std::istringstream printed(stopped.out);
      for (std::string line; std::getline(printed, line);) {
        if (all.count(line) > 0) named[line] = all.at(line);
      }
      EXPECT_EQ(summary(readTree(dir / "stopped")), summary(named));
    }
  }
}

TEST_F(E2eExtract, ReadsEntriesBeyond2GiBOfASparseArchive) {
  std::mt19937_64 rng(3);
  const Tree want = {
      {path(0, 0), content(rng, 3000)}, {path(1, 0), content(rng, 5000)}, {path(10, 0), "m"}};
  // Past 2 GiB, past 4 GiB (where 32-bit offsets wrap), and at the last group start sector.
  writeArchive(archive(), {{0, {plain(want.at(path(0, 0)))}, 1u << 20},
                           {1, {compressed(1, want.at(path(1, 0)))}, 1u << 21},
                           {10, {plain("m")}, kMaxGroupStartSector}});
  const Outcome run = extract();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out + run.err, sweepLines(want));
  expectOut(want);
}

TEST_F(E2eExtract, AKilledRunLeavesNoPartialFileAndARerunCompletesTheTree) {
  // 48 MiB: entries of 1 MiB, plain and stored compressed by turns, in every category.
  std::mt19937_64 rng(4);
  std::vector<Table> tables;
  Tree want;
  for (int e = 0; e < 48; ++e) {
    if (e < 11) tables.push_back({e, {}});
    std::string data = content(rng, 1000) + std::string(1 << 20, static_cast<char>(e));
    tables[e % 11].entries.push_back(e % 4 < 2 ? plain(data) : compressed(0, data));
    want[path(e % 11, e / 11)] = std::move(data);
  }
  writeArchive(archive(), tables);
  for (int lines : {1, 2, 4, 7, 11, 0}) {  // each run killed after so many lines; the last not
    SCOPED_TRACE("run killed after " + std::to_string(lines) + " lines");
    Tree pending = want, done = want;
    for (const auto& item : readTree(out())) pending.erase(item.first);
    const Outcome run = extract(lines);
    const std::string expected = sweepLines(pending);
    EXPECT_EQ(run.out, lines > 0 ? expected.substr(0, run.out.size()) : expected);
    EXPECT_TRUE(run.status == 128 + SIGKILL || run.status == 0) << run.status;
    // A kill may leave a (hidden) temporary file, but every .raw file is complete.
    Tree now = readTree(out());
    std::erase_if(now, [&](const auto& item) {
      return lines > 0 && item.first.find("/.") != std::string::npos;
    });
    std::erase_if(done, [&](const auto& item) { return lines > 0 && !now.count(item.first); });
    EXPECT_EQ(summary(now), summary(done));
  }
}

TEST_F(E2eExtract, StopsAtAFailingWriteAndLeavesNoPartialFile) {
  SKIP_ON_WINDOWS("a limit on the size of files (RLIMIT_FSIZE)");
  std::mt19937_64 rng(5);
  constexpr uint64_t kLimit = 65536;  // RLIMIT_FSIZE: a write past it fails (EFBIG)
  const std::string small = content(rng, 1000), large = content(rng, 200000);
  for (const Entry& entry :
       {plain(large), compressed(1, large), plain(large.substr(0, kLimit + 1))}) {
    SCOPED_TRACE(entry.bytes.size());
    clearOut();
    writeArchive(archive(), {{0, {plain(small), entry}}, {1, {plain(small)}}});
    const Outcome run = extract(0, kLimit);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, path(0, 0) + "\n" + path(0, 1) + "\n");  // the run stops there
    EXPECT_NE(run.err.find("0001.raw"), std::string::npos) << run.err;
    expectOut({{path(0, 0), small}});
  }
}

// A category folder that cannot be used (read-only to the user, a file or a link to nothing in its
// place) skips its entries with one line, neither printing nor writing them; the other folders are
// extracted and a summary line ends the run with status 2, the same at one worker and four.
TEST_F(E2eExtract, SkipsAFolderItCannotUseAndGoesOn) {
  SKIP_ON_WINDOWS("running as another user");
#ifndef _WIN32
  writeArchive(
      archive(),
      {{0, {plain("g0"), plain("g1")}}, {1, {plain("c0")}}, {2, {plain("h")}}, {3, {plain("w")}}});
  fs::permissions(dir.path(), fs::perms::others_exec, fs::perm_options::add);
  ASSERT_EQ(chown(out().c_str(), 65534, 65534), 0);
  fs::create_directory(out() / kFolders[0]);
  ASSERT_EQ(chown((out() / kFolders[0]).c_str(), 65534, 65534), 0);
  fs::permissions(out() / kFolders[0], fs::perms::owner_read | fs::perms::owner_exec);
  std::ofstream(out() / kFolders[1]) << "a file";
  fs::create_symlink("nowhere", out() / kFolders[2]);
  for (const char* jobs : {"1", "4"}) {
    SCOPED_TRACE(jobs);
    const Outcome run = ToolTest::extract({"--jobs", jobs, archive()}, {.asNobody = true});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, path(3, 0) + "\n");
    EXPECT_EQ(run.err,
              "archive-extract: models - g: cannot create files in it: Permission denied; 2 "
              "entries skipped\n"
              "archive-extract: models - c: cannot create files in it: Not a directory; 1 entry "
              "skipped\n"
              "archive-extract: models - hc: cannot create it: File exists; 1 entry skipped\n"
              "archive-extract: 1 entry written, 4 not written\n");
    EXPECT_EQ(readFile(out() / path(3, 0)), "w");
    fs::remove(out() / path(3, 0));
  }
  // A folder standing at one file's name is no file of that entry, --overwrite or not: that file
  // alone is skipped.
  fs::create_directory(out() / path(3, 0));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--overwrite", archive(), "models - w"},
        {archive(), "models - w"}}) {
    const Outcome one = ToolTest::extract(args);
    EXPECT_EQ(one.status, 2);
    EXPECT_EQ(one.out, "");
    EXPECT_EQ(one.err, "archive-extract: " + path(3, 0) +
                           ": a folder is in the way; not written\n" +
                           "archive-extract: 0 entries written, 1 not written\n");
  }
#endif
}

// On a terminal, the progress line counts the entries and bytes of the totals the lookups found
// and ends at 100%; a second run that keeps every file says so. Never with -q.
TEST_F(E2eExtract, ShowsProgressAndKeptFilesOnATerminal) {
  SKIP_ON_WINDOWS("a pseudo-terminal");
  writeArchive(archive(), {{0, {plain(std::string(3000, 'g'))}}, {1, {plain("c"), plain("d")}}});
  const Outcome first = ToolTest::extract({archive()}, {.stderrTerminal = true});
  EXPECT_EQ(first.status, 0);
  EXPECT_NE(first.err.find("\r3 of 3 entries, 2 of 2 KiB, 100%"), std::string::npos) << first.err;
  const Outcome second = ToolTest::extract({archive(), "models - c"}, {.stderrTerminal = true});
  EXPECT_NE(second.err.find("2 of 2 entries, 0 of 0 KiB, 100%"), std::string::npos);
  EXPECT_NE(second.err.find("archive-extract: 2 existing files kept; --overwrite replaces them\n"),
            std::string::npos)
      << second.err;
  const Outcome quiet =
      ToolTest::extract({"-q", archive(), "models - g"}, {.stderrTerminal = true});
  EXPECT_EQ(quiet.err, "archive-extract: 1 existing file kept; --overwrite replaces it\n");
}

}  // namespace
