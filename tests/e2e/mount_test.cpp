// archive-mount end to end: the mounted tree against archive-extract's output of the same archive,
// damaged entries, concurrent readers, what decodes when, memory, refusals and unmounting (the
// tree's names and sizes, and selections: mount_tree_test). Needs /dev/fuse (and the right to
// mount); skipped, saying so, where it is absent.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "archive/format.h"
#include "support/archive_builder.h"
#include "support/tool_test.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

bool mounted(const fs::path& mountpoint) {
  std::ifstream info("/proc/self/mountinfo");
  const std::string want = " " + mountpoint.string() + " ";
  for (std::string line; std::getline(info, line);) {
    if (line.find(want) != std::string::npos) return true;
  }
  return false;
}

// Processes of archive-mount serving `mountpoint`.
std::vector<pid_t> mountProcesses(const fs::path& mountpoint) {
  std::vector<pid_t> pids;
  for (const auto& e : fs::directory_iterator("/proc")) {
    const std::string name = e.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(e.path() / "cmdline");
    std::vector<std::string> args;
    for (std::string arg; std::getline(in, arg, '\0');) args.push_back(arg);
    if (args.empty() || args[0].find("archive-mount") == std::string::npos) continue;
    for (const std::string& a : args) {
      if (a == mountpoint.string()) pids.push_back(std::stoi(name));
    }
  }
  return pids;
}

// Reads the whole file: its bytes, or the errno that stopped the read.
std::pair<std::string, int> readAll(const fs::path& file) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {"", errno};
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      const int error = errno;
      close(fd);
      return {bytes, error};
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return {bytes, 0};
}

// Every file and folder under `root`: a folder's size is -1.
std::map<std::string, int64_t> listing(const fs::path& root) {
  std::map<std::string, int64_t> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    out[fs::relative(e.path(), root)] = e.is_directory() ? -1 : static_cast<int64_t>(e.file_size());
  }
  return out;
}

// A table of entries of every kind, some damaged, in all eleven folders.
std::vector<Table> mixedTables(std::mt19937_64& rng, int perFolder, size_t largest) {
  std::vector<Table> tables;
  for (int row = 0; row < 11; ++row) {
    tables.push_back({row, {}});
    for (int e = 0; e < perFolder; ++e) {
      const std::string data = content(rng, 1 + rng() % (e % 5 == 4 ? largest : 20000));
      std::string corrupt = encode(1, data), unsupported = encode(2, data);
      corrupt[12] = 1;  // a back-reference before the first byte
      unsupported[4] = 3;
      const Entry kinds[] = {plain(data),
                             compressed(1, data),
                             compressed(2, data),
                             compressed(0, data),
                             compressed(corrupt, data.size()),
                             compressed(unsupported, data.size()),
                             compressed(1, data)};
      tables.back().entries.push_back(kinds[(row * perFolder + e) % 7]);
    }
  }
  return tables;
}

class MountTest : public ToolTest {
 protected:
  void SetUp() override {
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
      GTEST_SKIP() << "/dev/fuse is absent or not usable here: the mount tests need it";
    }
    fs::create_directory(mountpoint());
  }
  void TearDown() override { unmount(); }

  fs::path mountpoint() const { return dir / "mnt"; }
  std::string decodeLog() const { return dir / "decodes"; }
  std::vector<std::string> decodes() const {
    return fs::exists(decodeLog()) ? lines(readFile(decodeLog())) : std::vector<std::string>{};
  }

  // The requests the last mounts served, by name ("LOOKUP", "READ", ...), summed.
  std::map<std::string, uint64_t> requests() const {
    std::map<std::string, uint64_t> counts;
    if (!fs::exists(dir / "requests")) return counts;
    for (const std::string& line : lines(readFile(dir / "requests"))) {
      const size_t space = line.find(' ');
      counts[line.substr(0, space)] += std::stoull(line.substr(space + 1));
    }
    return counts;
  }

  Outcome mount(std::vector<std::string> args, RunOptions options = {}) const {
    args.insert(args.begin(), ARCHIVE_MOUNT_PATH);
    options.env.push_back("ARCHIVE_MOUNT_DECODE_LOG=" + decodeLog());
    options.env.push_back("ARCHIVE_MOUNT_REQUEST_LOG=" + (dir / "requests").string());
    return runTool(args, dir.path(), dir.path(), options);
  }
  Outcome mountArchive(std::vector<std::string> args = {}) const {
    args.insert(args.begin(), {archive(), mountpoint()});
    return mount(args);
  }

  // Unmounts (lazily, so that a failed test does not leave it behind) and waits for the process
  // that served it to end. True when it ended.
  bool unmount() const {
    if (!fs::exists(mountpoint())) return true;
    if (mounted(mountpoint())) {
      EXPECT_EQ(std::system(("fusermount3 -u -z '" + mountpoint().string() + "'").c_str()), 0);
    }
    for (int i = 0; i < 500; ++i) {
      if (mountProcesses(mountpoint()).empty()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
};

// The mounted tree is the extracted one, plus the entries extraction leaves out for a problem,
// failing with EIO when read; nothing decodes before a file is read,
// each compressed entry decodes once, writes fail, and unmounting ends the process.
TEST_F(MountTest, ShowsTheExtractedTreeAndFailsOnDamagedEntriesOnly) {
  std::mt19937_64 rng(25);
  writeArchive(archive(), mixedTables(rng, 10, 1 << 20));
  const std::string whole = readFile(archive());
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {{"damaged entries", whole}, {"cut short", whole.substr(0, whole.size() * 2 / 3)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(archive(), std::ios::binary | std::ios::trunc) << c.bytes;
    clearOut();
    fs::remove(decodeLog());
    extract({archive()});
    const Tree want = readTree(out());

    // In the background, the reasons of failed reads go to the --log file.
    const std::string log = dir / "reasons.log";
    fs::remove(log);
    const Outcome run = mountArchive({"--log", log});
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_TRUE(mounted(mountpoint()));  // ready as the command returns
    const Outcome again = mountArchive();
    EXPECT_EQ(again.status, 2);
    EXPECT_EQ(again.err, "archive-mount: cannot mount on " + mountpoint().string() +
                             ": already a mount point\n");

    // Every file stat'ed: nothing decodes. (Which files, at what sizes: mount_tree_test.)
    const std::map<std::string, int64_t> seen = listing(mountpoint());
    EXPECT_EQ(decodes(), std::vector<std::string>{});

    // The bytes: extraction's, or EIO for what it did not write.
    size_t extracted = 0, failed = 0;
    for (const auto& [path, size] : seen) {
      if (size < 0) continue;
      const auto [bytes, error] = readAll(mountpoint() / path);
      if (want.contains(path)) {
        ++extracted;
        EXPECT_EQ(error, 0) << path;
        EXPECT_TRUE(bytes == want.at(path)) << path;
      } else {
        ++failed;
        EXPECT_EQ(error, EIO) << path;
      }
    }
    EXPECT_EQ(extracted, want.size());
    const std::vector<std::string> reasons = lines(readFile(log));
    EXPECT_EQ(reasons.size(), failed);
    for (const std::string& line : reasons) {
      EXPECT_TRUE(line.size() > 20 && line.substr(19, 16) == " archive-mount: ") << line;
    }
    const std::vector<std::string> decoded = decodes();
    EXPECT_EQ(std::set<std::string>(decoded.begin(), decoded.end()).size(), decoded.size())
        << "an entry decoded twice";

    // Read-only.
    const std::string anyFile = mountpoint() / want.begin()->first;
    errno = 0;
    EXPECT_EQ(open(anyFile.c_str(), O_WRONLY | O_CLOEXEC), -1);
    EXPECT_EQ(errno, EROFS);
    EXPECT_EQ(mkdir((mountpoint() / "new").c_str(), 0755), -1);
    EXPECT_EQ(errno, EROFS);
    struct stat st {};
    ASSERT_EQ(stat(anyFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444 & ~0022);
    EXPECT_EQ(st.st_uid, getuid());

    EXPECT_TRUE(unmount()) << "the mount's process is still there";
    EXPECT_FALSE(mounted(mountpoint()));
  }
}

// A cold copy of the tree: listed with their attributes, its files need no lookup, and read in
// order, most were stored ahead of the reader and ask for no read. A damaged entry among them
// still fails, and is never stored. (A maximum read size given with -o is the kernel's too.)
// Without storing ahead, each of the 300 files asks for at least one read; how many the workers
// get ahead of cp depends on the machine (a sanitizer build is slower), so the bound is loose.
TEST_F(MountTest, CopiesWithoutLookupsAndFewReads) {
  std::mt19937_64 rng(37);
  Table g{0, {}};
  for (int e = 0; e < 300; ++e) {
    const std::string data = content(rng, 2000 + rng() % 30000);
    g.entries.push_back(e % 2 == 0 ? plain(data) : compressed(1, data));
  }
  std::string corrupt = encode(1, content(rng, 5000));
  corrupt[12] = 1;
  g.entries[150] = compressed(corrupt, 5000);
  writeArchive(archive(), {g});
  extract({archive()});
  const Tree want = readTree(out());
  ASSERT_EQ(mountArchive({"-o", "max_read=65536"}).status, 0);
  const fs::path copy = dir / "copy";
  std::system(
      ("cp -r '" + mountpoint().string() + "/.' '" + copy.string() + "' 2>/dev/null").c_str());
  EXPECT_EQ(readAll(mountpoint() / path(0, 150)).second, EIO);
  fs::remove(copy / path(0, 150));
  EXPECT_TRUE(readTree(copy) == want);
  EXPECT_TRUE(unmount());
  const std::map<std::string, uint64_t> counts = requests();
  EXPECT_EQ(counts.at("LOOKUP"), 0u);
  EXPECT_LE(counts.at("READ"), 75u);
}

// Eight threads read random ranges of random entries at once, through a cache that holds only a
// few of them, and each eight readers of one entry opened at the same moment decode it once.
TEST_F(MountTest, ServesConcurrentReadersAndDecodesEachEntryOnce) {
  std::mt19937_64 rng(3);
  std::vector<Table> tables = mixedTables(rng, 12, 1 << 20);
  const std::string big = content(rng, 4 << 20);
  // First in its folder, so that no read of another entry decodes it ahead.
  tables[0].entries.insert(tables[0].entries.begin(), compressed(1, big));
  writeArchive(archive(), tables);
  extract({archive()});
  const Tree want = readTree(out());
  const std::string bigPath = path(0, 0);  // left for the second part
  std::vector<std::string> paths;
  for (const auto& [path, bytes] : want) {
    if (path != bigPath) paths.push_back(path);
  }

  ASSERT_EQ(mountArchive({"--cache-size", "6M"}).status, 0);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 r(t);
      for (int i = 0; i < 150; ++i) {
        const std::string& path = paths[r() % paths.size()];
        const std::string& bytes = want.at(path);
        const size_t offset = r() % (bytes.size() + 1);
        const size_t length = r() % 200000;
        const int fd = open((mountpoint() / path).c_str(), O_RDONLY | O_CLOEXEC);
        std::string got(length, '\0');
        const ssize_t n = pread(fd, got.data(), length, static_cast<off_t>(offset));
        close(fd);
        if (n < 0 || got.substr(0, static_cast<size_t>(n)) != bytes.substr(offset, length)) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);

  // The large entry, not read yet: eight readers at once, each at a part of its own (the kernel
  // would make readers of the same pages wait for one another), one decode.
  fs::resize_file(decodeLog(), 0);  // the mount appends to the file it opened
  std::barrier start(8);
  threads.clear();
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      const int fd = open((mountpoint() / bigPath).c_str(), O_RDONLY | O_CLOEXEC);
      const size_t offset = big.size() / 8 * t;
      std::string got(65536, '\0');
      start.arrive_and_wait();
      if (pread(fd, got.data(), got.size(), static_cast<off_t>(offset)) != 65536 ||
          got != big.substr(offset, 65536)) {
        ++wrong;
      }
      close(fd);
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  // (Other lines may be there: an entry the random reads had the mount decode ahead.)
  const std::vector<std::string> decoded = decodes();
  EXPECT_EQ(std::count(decoded.begin(), decoded.end(), bigPath), 1);

  // Another archive renamed over this one: the mount goes on reading the file it opened.
  writeArchive(dir / "other.bin", {{0, {plain(std::string(300000, 'x'))}}});
  fs::rename(dir / "other.bin", archive());
  for (const std::string& p : {paths[0], paths[1], paths[2]}) {
    EXPECT_TRUE(readAll(mountpoint() / p).first == want.at(p)) << p;
  }
}

// A foreground mount says why a damaged entry fails on stderr, and SIGTERM or SIGINT unmounts it.
// Its peak memory stays within the cache size plus the fixed amount the README gives: reading
// sixteen times --cache-size of entries, each decoded once although the cache holds none whole
// beside another (decoding ahead must not push out the entry being read); and with 32 readers of
// 16 MiB entries at once, whatever the number of threads that decode them.
TEST_F(MountTest, ForegroundMountReportsProblemsAndStaysWithinItsMemoryBound) {
  std::mt19937_64 rng(11);
  std::vector<Table> tables = {{0, {}}, {1, {}}, {2, {}}};
  std::string corrupt = encode(1, content(rng, 5000));
  corrupt[12] = 1;
  tables[1].entries.push_back(compressed(corrupt, 5000));
  for (int e = 0; e < 16; ++e) tables[0].entries.push_back(compressed(1, content(rng, 1 << 20)));
  const std::string big(kMaxExpandedUnits * kExpandedUnit, 'x');
  tables[2].entries.assign(32, compressed(2, big));
  writeArchive(archive(), tables);
  const std::string whyNot = whyPeakMemoryIsNotTheTools();

  const struct {
    const char* name;
    int signal;
    long cacheMiB, fixedMiB;  // the peak's bound above an idle mount's is their sum
    std::function<void()> read;
  } cases[] = {
      {"idle, SIGTERM", SIGTERM, 1, 0, {}},
      {"reading, SIGINT", SIGINT, 1, 24,
       [&] {
         for (int e = 0; e < 16; ++e) EXPECT_EQ(readAll(mountpoint() / path(0, e)).second, 0);
         EXPECT_EQ(readAll(mountpoint() / path(1, 0)).second, EIO);
       }},
      {"32 readers, SIGTERM", SIGTERM, 256, 96, [&] {
         std::vector<std::jthread> readers;  // of the first MiB, which decodes the whole entry
         for (int e = 0; e < 32; ++e) {
           readers.emplace_back([&, e] {
             std::vector<char> start(1 << 20);
             EXPECT_TRUE(std::ifstream(mountpoint() / path(2, e)).read(start.data(), 1 << 20));
           });
         }
       }}};
  long idlePeak = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.cacheMiB > 1 && !whyNot.empty()) continue;  // only memory to see there
    const auto readThenStop = [&] {
      if (!mounted(mountpoint())) return false;
      if (c.read) c.read();
      return true;
    };
    const RunOptions options{
        .signal = c.signal, .stdoutFile = dir / "stdout", .signalWhen = readThenStop};
    const Outcome run = mount(
        {"-f", "--cache-size", std::to_string(c.cacheMiB) + "M", archive(), mountpoint()}, options);
    EXPECT_EQ(run.status, 0);
    EXPECT_FALSE(mounted(mountpoint()));
    if (!c.read) idlePeak = run.peakKiB;
    if (whyNot.empty()) {
      EXPECT_LE(run.peakKiB, idlePeak + (c.cacheMiB + c.fixedMiB) * 1024);
    }
    if (c.signal == SIGTERM) {
      EXPECT_EQ(run.err, "");
      continue;
    }
    EXPECT_EQ(run.err, "archive-mount: " + path(1, 0) + ": corrupt\n");
    const std::vector<std::string> decoded = decodes();
    EXPECT_EQ(std::set<std::string>(decoded.begin(), decoded.end()).size(), decoded.size())
        << "an entry decoded twice";
  }
}

// What is refused is refused before anything is mounted: status 2 and a message, or status 1 and
// the machine's line for a fault during the lookups.
TEST_F(MountTest, RefusesBeforeMounting) {
  std::mt19937_64 rng(5);
  writeArchive(archive(), mixedTables(rng, 3, 5000));
  const std::string whole = readFile(archive());
  const std::string faulting = withFaultingLookups(whole);
  writeArchive(archive(), {{0, {plain("abc"), Entry{plainEntryWord(kNoDataLength), ""}}}});
  const std::string holed = readFile(archive());
  const struct {
    const char* name;
    std::string bytes;
    std::function<void()> prepare;
    int status;
    const char* message;  // in stderr
  } cases[] = {
      {"journal", whole, [&] { std::ofstream(archive() + ".update-journal") << "x"; }, 2,
       "journal"},
      {"not an archive", "short", [] {}, 2, "archive.bin"},
      {"mount point not empty", whole, [&] { std::ofstream(mountpoint() / "x") << "x"; }, 2,
       "not empty"},
      {"mount point a file", whole,
       [&] {
         fs::remove(mountpoint());
         std::ofstream(mountpoint()) << "x";
       },
       2, "not a folder"},
      {"fault in the lookups", faulting, [] {}, 1, "lookup routines stopped"},
      {"member not found", whole, [] {}, 2, "not found in archive"},
      {"member without data", holed, [] {}, 2,
       "models - g/0001.raw: no data in the archive (deleted or never stored)"},
      {"bad cache size", whole, [] {}, 2, "--cache-size"},
      {"log in no folder", whole, [] {}, 2, "cannot open the log "},
      {"bad max_read", whole, [] {}, 2, "-o max_read needs a number of bytes, not 'x'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(mountpoint());
    fs::create_directory(mountpoint());
    fs::remove(archive() + ".update-journal");
    std::ofstream(archive(), std::ios::binary | std::ios::trunc) << c.bytes;
    c.prepare();
    std::vector<std::string> args = {archive(), mountpoint()};
    if (std::string(c.name) == "member not found") args.push_back("models - g/9999.raw");
    if (std::string(c.name) == "member without data") args.push_back("models - g/0001.raw");
    if (std::string(c.name) == "bad cache size") args.insert(args.begin(), {"--cache-size", "1X"});
    if (std::string(c.name) == "log in no folder") args.insert(args.begin(), {"--log", "no/log"});
    if (std::string(c.name) == "bad max_read") args.insert(args.begin(), {"-o", "max_read=x"});
    const Outcome run = mount(args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    if (c.status == 1) {
      EXPECT_FALSE(run.out.empty());
    }
    EXPECT_FALSE(mounted(mountpoint()));
    EXPECT_TRUE(mountProcesses(mountpoint()).empty());
  }
  fs::remove_all(mountpoint());
  fs::create_directory(mountpoint());
}

}  // namespace
