// Fuzz target: an update of a fuzzed archive. The input's first byte picks a model category and
// the next an entry (of the first kFuzzEntries), the third the length of the new file's contents
// that follow, then one byte of options (the method, --in-place, a delete); the rest is the first
// 0x1000 bytes of the index (the rest of it is zero; categories may share tables and records),
// then the archive's data from sector 500 (it may end inside entries).
//
// The update must never crash. When it succeeds, every category must extract as before but for
// the one file changed: the same files, the same problems (an entry the archive does not hold in
// full stays so), the machine stopping at the same entry with the same line. When it refuses or
// fails, the archive must be unchanged (in place: give the old tree, or the new one once its
// journal is recovered). A flag makes it a delete of the entry instead, which must give the old
// tree without it, another a compaction, which must give the old tree. Inputs that start "JRNL"
// fuzz the recovery of a journal instead.
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive/categories.h"
#include "archive/format.h"
#include "archive/index.h"
#include "cpu/fault.h"
#include "extract/extractor.h"
#include "fuzz_scratch.h"
#include "pack/compact.h"
#include "pack/journal.h"
#include "pack/update.h"
#include "platform/error.h"
#include "reading/archive.h"

namespace {

namespace fs = std::filesystem;
using Tree = std::map<std::string, std::string>;

constexpr size_t kIndexPart = 0x1000;
constexpr int32_t kFuzzEntries = 40;
constexpr rlim_t kFileSizeLimit = 64 << 20;

fs::path scratch;

void setUp() {
  std::signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{kFileSizeLimit, kFileSizeLimit};
  setrlimit(RLIMIT_FSIZE, &limit);
  scratch = makeScratch("update-fuzz");
}

// What extraction says of an entry it writes no file for, as the tree's value for its path.
class ProblemEvents : public QuietEvents {
 public:
  explicit ProblemEvents(Tree& tree) : tree_(tree) {}

 private:
  void unsupported(const std::string& path) override { tree_[path] = "(unsupported)"; }
  void problem(const std::string& path, EntryProblem, const std::string& what) override {
    tree_[path] = "(" + what + ")";
  }
  Tree& tree_;
};

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The first kFuzzEntries entries of every category (0 to 255): the files, the problems of those
// that get none, and where each category's lookups stop the machine ("fault NNN": the entry and
// the line). False when the run stops (the extraction target covers that).
bool extractTree(const fs::path& archive, const fs::path& out, Tree& tree) {
  fs::remove_all(out);
  fs::create_directories(out);
  bool ok = true;
  {
    const std::unique_ptr<Archive> opened = Archive::open(archive);
    ProblemEvents events(tree);
    std::optional<Folder> output = openFolder(out);
    if (!output) std::abort();
    Extractor extractor(*opened, std::move(*output), events);
    for (int32_t c = 0; c <= kHighestPossibleCategory && ok; ++c) {
      Selection selection;
      selection.restrictCategories(std::to_string(c));
      selection.restrictEntries("0-" + std::to_string(kFuzzEntries - 1));
      Sweep sweep = opened->entries(selection);
      try {
        while (const std::optional<SweptEntry> e = ok ? sweep.next() : std::nullopt) {
          ok = extractor.extract(e->category, e->entry, e->description);
        }
      } catch (const Error& fault) {
        if (fault.kind() != ErrorKind::MachineFault) throw;
        tree["fault " + std::to_string(c)] = std::to_string(sweep.done()) + " " + fault.what();
      }
    }
    ok = extractor.finish() != ExtractStatus::Stopped && ok;
  }
  for (const auto& item : fs::recursive_directory_iterator(out)) {
    if (item.is_regular_file()) tree[fs::relative(item, out).string()] = readFile(item);
  }
  return ok;
}

// After a flag byte, the first kIndexPart bytes of a new index, then records (a 64-bit offset, a
// 16-bit length, the bytes), written with the index as an update writes its journal. Recovering it
// must leave the archive's size, and every sector but the index and those the new index gives
// entries.
int fuzzRecovery(const uint8_t* data, size_t size) {
  const fs::path archive = scratch / "archive.bin";
  std::string before(kDataStart + 64 * kSectorSize, '\0');
  for (size_t i = 0; i < before.size(); ++i) before[i] = static_cast<char>(i * 7 + i / 4096);
  std::ofstream(archive, std::ios::binary | std::ios::trunc) << before;
  const std::string journal = journalPath(fs::canonical(archive));
  std::vector<uint8_t> index(kArchiveIndexSize);
  if ((data[0] & 1) != 0) {  // the rest is the journal as it is
    std::ofstream(journal, std::ios::binary).write(reinterpret_cast<const char*>(data), size);
  } else {
    std::memcpy(index.data(), data + 1, std::min(size - 1, kIndexPart));
    std::vector<JournalRecord> records;
    for (size_t at = 1 + kIndexPart, length = 0; at + 10 <= size; at += 10 + length) {
      length = std::min<size_t>(data[at + 8] | data[at + 9] << 8, size - at - 10);
      records.push_back({0, {data + at + 10, data + at + 10 + length}});
      std::memcpy(&records.back().offset, data + at, 8);  // little-endian, as the journal
    }
    records.push_back({kArchiveIndexOffset, index});
    const std::vector<uint8_t> old(&before[kArchiveIndexOffset], &before[kMinimumArchiveSize]);
    writeJournal(journal, openFile(archive, OpenMode::Read), old, records);
  }
  try {
    recoverArchive(archive);
  } catch (const Error&) {
  }
  const std::string after = readFile(archive);
  const IndexEditor ix(index);
  const auto mayChange = [&](uint64_t at) {
    if (at - kArchiveIndexOffset < kArchiveIndexSize) return true;
    for (int32_t c = 0; c <= ix.highestCategory(); ++c) {
      for (uint32_t e = 0; ix.tablesInside(c) && e < ix.entryCount(c); ++e) {
        const uint64_t start = ix.entrySector(c, e) * kSectorSize;
        if (at >= start && at < start + entrySectors(ix.entryWord(c, e)) * kSectorSize) return true;
      }
    }
    return false;
  };
  if (after.size() != before.size()) std::abort();
  for (uint64_t at = 0; at < after.size(); at += kSectorSize) {
    if (after.compare(at, kSectorSize, before, at, kSectorSize) != 0 && !mayChange(at))
      std::abort();
  }
  fs::remove(journal);
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (scratch.empty()) setUp();
  if (size > 4 && std::memcmp(data, "JRNL", 4) == 0) return fuzzRecovery(data + 4, size - 4);
  if (size < 4) return 0;
  const ModelCategory& row = kModelCategories[data[0] % 11];
  const int32_t entry = data[1] % kFuzzEntries;
  const size_t length = std::min<size_t>(data[2], size - 4);
  const std::string contents(reinterpret_cast<const char*>(data) + 3, length);
  const uint8_t flags = data[3 + length];
  data += 4 + length;
  size -= 4 + length;

  const fs::path archive = scratch / "archive.bin";
  {
    std::vector<char> index(kArchiveIndexSize, 0);
    std::memcpy(index.data(), data, std::min(size, kIndexPart));
    // Entry counts cut below 64: an edit looks up every entry of every category the widest sweep
    // asks about, which at tens of thousands an input would take nearly all the time.
    for (uint32_t c = 0; c <= kHighestPossibleCategory; ++c) {
      const uint32_t count = kCategoryRecordsOffset + kCategoryRecordSize * c + 8;
      index[count] = static_cast<char>(index[count] & 63);
      index[count + 1] = 0;
    }
    std::ofstream out(archive, std::ios::binary | std::ios::trunc);
    out.seekp(kArchiveIndexOffset);
    out.write(index.data(), static_cast<std::streamsize>(index.size()));
    if (size > kIndexPart) {
      out.seekp(static_cast<std::streamoff>(kDataStart));
      out.write(reinterpret_cast<const char*>(data + kIndexPart),
                static_cast<std::streamsize>(size - kIndexPart));
    }
  }
  Tree before;
  const bool extracted = extractTree(archive, scratch / "old", before);
  const std::string oldBytes = readFile(archive);

  SourceTree source;
  const fs::path file = scratch / "source.raw";
  std::ofstream(file, std::ios::binary) << contents;
  source.files[row.category][entry] = file;
  static const StorageMethod kMethods[] = {StorageMethod::Keep,  StorageMethod::Auto,
                                           StorageMethod::Plain, StorageMethod::Stored,
                                           StorageMethod::Lz,    StorageMethod::Rle};
  UpdateOptions options;
  options.method = kMethods[flags % 6];
  options.inPlace = (flags & 0x80) != 0;
  const bool remove = (flags & 0x40) != 0;   // --delete of the entry instead
  const bool compact = (flags & 0x20) != 0;  // --compact instead: the tree stays as it was
  const std::string path = entryPath(row.category, entry);
  const auto change = [&] {
    if (!compact) remove ? void(before.erase(path)) : void(before[path] = contents);
  };
  PackEvents quiet;
  bool updated = true;
  try {
    if (compact) {
      compactArchive(archive, {}, quiet);
    } else if (remove) {
      deleteEntries({path}, archive, options, quiet);
    } else {
      updateArchive(source, archive, options, quiet);
    }
  } catch (const Error&) {
    updated = false;
  }
  const bool journalLeft = fs::exists(journalPath(fs::canonical(archive)));
  if (!updated && !journalLeft && readFile(archive) != oldBytes) {
    std::abort();  // a refusal or a failure before the journal is complete changes nothing
  }
  if (!updated && options.inPlace && !compact) {
    // In place, a failure after the journal was written leaves it to complete the update.
    std::string note;
    try {
      note = recoverArchive(archive).note;
    } catch (const Error&) {
      std::abort();
    }
    if (note.find("completed") != std::string::npos) change();
    Tree recovered;
    if (extracted && (!extractTree(archive, scratch / "new", recovered) || before != recovered)) {
      std::abort();
    }
  }
  if (updated && extracted) {
    Tree after;
    if (!extractTree(archive, scratch / "new", after)) std::abort();
    change();
    if (before != after) std::abort();
  }
  fs::remove_all(scratch / "old");
  fs::remove_all(scratch / "new");
  return 0;
}
