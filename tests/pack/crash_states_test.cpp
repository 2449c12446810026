// Crashes that reorder writes. A crash keeps what a flush made durable and may keep or lose, in any
// combination, everything no flush covers yet: a write (torn, too: any of its 512-byte blocks), a
// size change until its file or its folder is flushed, a creation, link, rename or removal until
// its folder is. Each command runs once in process with its file operations recorded; the states a
// crash could leave are built from the record, written out, recovered (as archive-pack --recover
// or the next run does) and read: each must extract to the whole old tree or the whole new one.
//
// `make test` checks a bounded number of states. scripts/crash-states checks many more:
// CRASH_STATES_PER_INTERVAL random states per flush interval (3 by default), CRASH_STATES_SEED.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cpu/fault.h"
#include "pack/compact.h"
#include "pack/update.h"
#include "platform/error.h"
#include "platform/file.h"
#include "reading/archive.h"
#include "reading/read.h"
#include "support/archive_builder.h"
#include "support/scratch.h"

namespace {

namespace fs = std::filesystem;
using Kind = IoEvent::Kind;

// One file operation, on the folder's files (numbered) and names.
struct Op {
  Kind kind;
  int file = -1;
  uint64_t offset = 0;  // Write: where; Resize: the new size
  std::string bytes;    // Write: what
  std::string name;     // Create, Link, Remove: the name; Rename: from
  std::string to;       // Rename
};

// What the folder holds: files by number, and the names that reach them.
struct Disk {
  std::map<int, std::string> files;
  std::map<std::string, int> names;
};

struct History {
  Disk before;
  std::vector<Op> ops;
};

// Records the file operations on the files of one folder while it lives.
class Recorder {
 public:
  explicit Recorder(const fs::path& folder, History& history) : folder_(folder), out_(history) {
    for (const auto& item : fs::directory_iterator(folder)) {
      const int id = fresh(item.path());
      out_.before.files[id] = readFile(item.path());
      out_.before.names[item.path().filename().string()] = id;
    }
    active = this;
    setIoHook([](const IoEvent& e) { active->record(e); });
  }
  ~Recorder() { setIoHook(nullptr); }
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

 private:
  static inline Recorder* active = nullptr;

  int fresh(const fs::path& path) {
    return ids_[fs::status(path).type() == fs::file_type::regular
                    ? inode(openFile(path.string(), OpenMode::Read))
                    : 0] = next_++;
  }
  int fresh(const FileHandle& file) { return ids_[inode(file)] = next_++; }
  static uint64_t inode(const FileHandle& file) { return fileInfo(file).value().inode; }
  int known(const FileHandle& file) {
    const auto id = ids_.find(inode(file));
    if (id != ids_.end()) return id->second;
    ADD_FAILURE() << "an operation on a file outside " << folder_;
    return -1;
  }
  bool inFolder(const fs::path& path) const {
    std::error_code error;
    return fs::equivalent(path.parent_path(), folder_, error);
  }
  static std::string nameOf(const std::string& path) { return fs::path(path).filename().string(); }

  void record(const IoEvent& e) {
    Op op{e.kind, -1, 0, {}, {}, {}};
    switch (e.kind) {
      case Kind::Write:
        op.file = known(*e.file), op.offset = e.offset, op.bytes.resize(e.size);
        // Read through a handle of its own: the file may be open for writing only.
        readAt(openFile("/proc/self/fd/" + std::to_string(e.file->get()), OpenMode::Read), e.offset,
               reinterpret_cast<uint8_t*>(op.bytes.data()), e.size);
        break;
      case Kind::Resize: op.file = known(*e.file), op.offset = e.size; break;
      case Kind::SyncFile: op.file = known(*e.file); break;
      case Kind::SyncFolder:
        if (!inFolder(fs::path(e.path) / "x")) return;
        break;
      case Kind::Create:
        if (!inFolder(e.path)) return;
        op.file = fresh(*e.file), op.name = nameOf(e.path);
        break;
      case Kind::CreateUnnamed: op.file = fresh(*e.file); break;
      case Kind::Link: op.file = known(*e.file), op.name = nameOf(e.path); break;
      case Kind::Rename: op.name = nameOf(e.path), op.to = nameOf(e.to); break;
      case Kind::Remove: op.name = nameOf(e.path); break;
    }
    out_.ops.push_back(std::move(op));
  }

  fs::path folder_;
  History& out_;
  std::map<uint64_t, int> ids_;
  int next_ = 0;
};

bool isFlush(const Op& op) { return op.kind == Kind::SyncFile || op.kind == Kind::SyncFolder; }
bool isData(const Op& op) { return op.kind == Kind::Write; }

// Whether flush `flush` makes `op` durable: a file's flush its writes and size changes, a folder's
// flush the names in it and the sizes of its files.
bool covers(const Op& flush, const Op& op) {
  if (flush.kind == Kind::SyncFolder) return !isData(op) && !isFlush(op);
  return flush.kind == Kind::SyncFile && flush.file == op.file &&
         (op.kind == Kind::Write || op.kind == Kind::Resize);
}

// Applies `op`; a torn write keeps only the 512-byte blocks of the file that `keep` picks.
void apply(Disk& disk, const Op& op, const std::function<bool()>* keep = nullptr) {
  switch (op.kind) {
    case Kind::Write: {
      std::string& file = disk.files[op.file];
      for (uint64_t at = op.offset; at < op.offset + op.bytes.size();) {
        const uint64_t end = std::min<uint64_t>((at / 512 + 1) * 512, op.offset + op.bytes.size());
        if (keep == nullptr || (*keep)()) {
          if (file.size() < end) file.resize(end);
          file.replace(at, end - at, op.bytes, at - op.offset, end - at);
        }
        at = end;
      }
      break;
    }
    case Kind::Resize: disk.files[op.file].resize(op.offset); break;
    case Kind::Create: disk.names[op.name] = op.file, disk.files[op.file]; break;
    case Kind::CreateUnnamed: disk.files[op.file]; break;
    case Kind::Link: disk.names[op.name] = op.file; break;
    case Kind::Rename:
      if (const auto from = disk.names.find(op.name); from != disk.names.end()) {
        const int file = from->second;
        disk.names.erase(from);
        disk.names[op.to] = file;
      }
      break;
    case Kind::Remove: disk.names.erase(op.name); break;
    case Kind::SyncFile:
    case Kind::SyncFolder: break;
  }
}

enum Fate { Lost, Kept, Torn };

// Calls `check(disk, description)` for each distinct crash state: after every operation, with
// only what was flushed and with everything (the order it was issued in); before every flush and
// at the end, with the names kept and the data lost, the data kept and the names lost, and
// `perInterval` random choices (the first tearing a write).
void forEachCrashState(const History& h, int perInterval, uint64_t seed,
                       const std::function<void(const Disk&, const std::string&)>& check) {
  const size_t n = h.ops.size();
  std::vector<size_t> durableAt(n, n + 1);  // the flush that covers op i
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = i + 1; j < n && durableAt[i] > n; ++j) {
      if (covers(h.ops[j], h.ops[i])) durableAt[i] = j;
    }
  }
  std::mt19937_64 rng(seed);
  const std::function<bool()> coin = [&] { return rng() % 2 == 0; };
  std::set<size_t> seen;
  const auto emit = [&](size_t p, const std::function<Fate(size_t)>& fate, const char* how) {
    Disk disk = h.before;
    std::string kept;
    for (size_t i = 0; i < p; ++i) {
      const Fate f = durableAt[i] < p ? Kept : fate(i);
      if (f == Lost) continue;
      apply(disk, h.ops[i], f == Torn ? &coin : nullptr);
      if (durableAt[i] >= p && !isFlush(h.ops[i]))
        kept += " " + std::to_string(i) + (f == Torn ? "t" : "");
    }
    std::string all;
    for (const auto& [name, file] : disk.names) all += name + '\0' + disk.files[file] + '\0';
    if (!seen.insert(std::hash<std::string>()(all)).second) return;
    check(disk, "crash before operation " + std::to_string(p) + " of " + std::to_string(n) + ", " +
                    how + "; unflushed operations kept:" + (kept.empty() ? " none" : kept));
  };
  for (size_t p = 0; p <= n; ++p) {
    emit(
        p, [](size_t) { return Lost; }, "what was flushed");
    emit(
        p, [](size_t) { return Kept; }, "in order");
  }
  for (size_t p = 0; p <= n; ++p) {
    if (p < n && !isFlush(h.ops[p])) continue;
    emit(
        p, [&](size_t i) { return isData(h.ops[i]) ? Lost : Kept; }, "names without data");
    emit(
        p, [&](size_t i) { return isData(h.ops[i]) ? Kept : Lost; }, "data without names");
    for (int r = 0; r < perInterval; ++r) {
      bool tear = r == 0;
      emit(
          p,
          [&](size_t i) {
            if (isData(h.ops[i]) && (tear || rng() % 4 == 0)) return tear = false, Torn;
            return coin() ? Kept : Lost;
          },
          "at random");
    }
  }
}

// Every entry with data, as extraction gives it ("!problem" where it cannot).
Tree readArchive(const fs::path& file) {
  const std::unique_ptr<Archive> archive = Archive::open(file.string());
  Selection all;
  Sweep sweep = archive->entries(all);
  Tree tree;
  while (const std::optional<SweptEntry> e = sweep.next()) {
    const EntryDescription& d = e->description;
    std::string& data = tree[e->path()];
    if (d.kind == EntryKind::Plain) {
      data.resize(d.liesWithin(archive->size()) ? d.length : 0);
      archive->readAt(d.offset, reinterpret_cast<uint8_t*>(data.data()), data.size());
      if (!d.liesWithin(archive->size())) data = "!incomplete";
    } else if (d.kind == EntryKind::Compressed) {
      const LoadedEntry loaded = loadCompressedEntry(*archive, d);
      data = loaded.problem != EntryProblem::None
                 ? std::string("!") + entryProblemName(loaded.problem)
                 : std::string(reinterpret_cast<const char*>(loaded.data.get()), loaded.size);
    } else {
      tree.erase(e->path());
    }
  }
  return tree;
}

class CrashStates : public testing::Test {
 protected:
  using Command = std::function<void(const std::string& archive)>;

  void SetUp() override {
    std::mt19937_64 rng(5);
    std::vector<Entry> g, c;
    for (int e = 0; e < 40; ++e) {
      const std::string data = content(rng, 700 + 900 * (e % 7));
      g.push_back(e % 3 == 1 ? compressed(1 + e % 2, data) : plain(data));
    }
    for (int e = 0; e < 3; ++e) c.push_back(plain(content(rng, 3000)));
    fs::create_directory(dir_ / "work");
    writeArchive(dir_ / "base.bin", {{0, g}, {1, c}});
    fs::copy_file(dir_ / "base.bin", archive_);
    writeTree(dir_ / "source", {{"g1", "tiny"}, {"g33", std::string(50000, 'y')}, {"c0", "c"}});
    changes_.files[kCategories[0]] = {{1, dir_ / "source/g1"}, {33, dir_ / "source/g33"}};
    changes_.files[kCategories[1]] = {{0, dir_ / "source/c0"}};
  }

  void startAfresh() {
    fs::remove_all(dir_ / "work");
    fs::create_directory(dir_ / "work");
    fs::copy_file(dir_ / "base.bin", archive_);
  }

  // Runs `command` on the archive with its operations recorded; the trees before and after.
  History record(const Command& command) {
    before_ = readArchive(archive_);
    History history;
    {
      const Recorder recorder(dir_ / "work", history);
      command(archive_);
    }
    after_ = readArchive(archive_);
    return history;
  }

  // The crash states that do not recover to the old tree or the new one, described.
  std::vector<std::string> badStates(const History& history) {
    const char* per = std::getenv("CRASH_STATES_PER_INTERVAL");
    const char* seed = std::getenv("CRASH_STATES_SEED");
    std::vector<std::string> bad;
    size_t states = 0;
    forEachCrashState(history, per ? std::atoi(per) : 3, seed ? std::stoull(seed) : 1,
                      [&](const Disk& disk, const std::string& how) {
                        ++states;
                        const std::string outcome = recovered(disk);
                        if (!outcome.empty()) bad.push_back(how + ": " + outcome);
                      });
    RecordProperty("states", static_cast<int>(states));
    std::cout << states << " crash states of " << history.ops.size() << " operations\n";
    return bad;
  }

  // Writes `disk` into the folder (into the archive's own file, which a journal names by its
  // inode), recovers it and reads it: empty when it holds the old tree or the new one.
  std::string recovered(const Disk& disk) {
    for (const auto& item : fs::directory_iterator(dir_ / "work")) {
      if (disk.names.count(item.path().filename().string()) == 0) fs::remove(item);
    }
    for (const auto& [name, file] : disk.names) {
      std::ofstream(dir_ / "work" / name, std::ios::binary | std::ios::trunc)
          << disk.files.at(file);
    }
    try {
      recoverArchive(archive_);
      const Tree now = readArchive(archive_);
      if (now == before_ || now == after_) return "";
      const auto at = [](const Tree& tree, const std::string& path) {
        return tree.count(path) != 0 ? tree.at(path) : "(none)";
      };
      for (const Tree* tree : std::initializer_list<const Tree*>{&before_, &after_, &now}) {
        for (const auto& item : *tree) {
          const std::string data = at(now, item.first);
          if (data != at(before_, item.first) && data != at(after_, item.first))
            return item.first + " is in neither tree";
        }
      }
      return "some entries of each tree";
    } catch (const Error& error) {
      if (error.kind() == ErrorKind::MachineFault) {
        return "the machine stopped: " + std::string(error.what());
      }
      return error.what();
    }
  }

  static UpdateOptions options(bool inPlace) {
    UpdateOptions o;
    o.inPlace = inPlace;
    return o;
  }
  Command update(bool inPlace) {
    return [this, inPlace](const std::string& archive) {
      PackEvents quiet;
      updateArchive(changes_, archive, options(inPlace), quiet);
    };
  }
  static Command remove(bool inPlace) {
    return [inPlace](const std::string& archive) {
      PackEvents quiet;
      deleteEntries({path(0, 22), path(0, 35)}, archive, options(inPlace), quiet);
    };
  }

  ScratchFolder dir_;
  std::string archive_ = (dir_ / "work/archive.bin").string();
  SourceTree changes_;
  Tree before_, after_;
};

// Each command, every crash state: the old tree or the new one after recovery.
TEST_F(CrashStates, EveryStateRecoversToTheOldTreeOrTheNew) {
  const auto compact = [](const std::string& archive) {
    PackEvents quiet;
    compactArchive(archive, {}, quiet);
  };
  const std::pair<const char*, Command> commands[] = {
      {"--update", update(false)}, {"--update --in-place", update(true)},
      {"--delete", remove(false)}, {"--delete --in-place", remove(true)},
      {"--compact", compact},
  };
  for (const auto& [name, command] : commands) {
    SCOPED_TRACE(name);
    startAfresh();
    if (std::string(name) == "--compact") update(false)(archive_);  // a moved group leaves space
    const History history = record(command);
    const std::vector<std::string> bad = badStates(history);
    EXPECT_TRUE(bad.empty()) << bad.size() << " bad states, the first: " << bad.front();
  }
}

// A flush moved after what depends on it: the copy's flush after the rename that publishes it,
// the moved groups' flush (in place) after the journal that points at them. Each leaves crash
// states with neither tree, which the states above must include.
TEST_F(CrashStates, CatchAMisorderedFlush) {
  const struct {
    const char* name;
    bool inPlace;
    Kind after;  // the misplaced flush goes after the first operation of this kind
  } cases[] = {{"copy", false, Kind::Rename}, {"in place", true, Kind::SyncFolder}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    startAfresh();
    History history = record(update(c.inPlace));
    std::vector<Op>& ops = history.ops;
    const auto flush = std::find_if(ops.begin(), ops.end(),
                                    [](const Op& op) { return op.kind == Kind::SyncFile; });
    const auto late =
        std::find_if(flush, ops.end(), [&](const Op& op) { return op.kind == c.after; });
    ASSERT_NE(late, ops.end());
    std::rotate(flush, flush + 1, late + 1);
    const std::vector<std::string> bad = badStates(history);
    ASSERT_FALSE(bad.empty());
    std::cout << bad.size() << " bad states, the first: " << bad.front() << "\n";
  }
}

}  // namespace
