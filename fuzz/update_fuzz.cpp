// Fuzz target: an update of a fuzzed archive. The input's first byte picks a model category and
// the next an entry (of the first kFuzzEntries), the third the length of the new file's contents
// that follow, then one byte of options (the method, --in-place); the rest is the first 0x1000
// bytes of the index (the rest of it is zero), then the archive's data from sector 500.
//
// The update must never crash. When it succeeds, extracting the archive again must give the old
// tree with the one file changed; when it refuses or fails, the archive must be unchanged (in
// place: give the old tree, or the new one once its journal is recovered).
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
#include "cpu/fault.h"
#include "extract/extractor.h"
#include "fuzz_scratch.h"
#include "pack/update.h"
#include "platform/host_error.h"
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

// Records the entries the archive does not hold in full: they are not written.
class IncompleteEvents : public QuietEvents {
 public:
  std::set<std::string> incomplete;

 private:
  void problem(const std::string& path, const std::string& what) override {
    if (what.starts_with("incomplete")) incomplete.insert(path);
  }
};

// The entries of the updated archive are those of the old one, the updated entry set to its new
// contents, plus entries the old archive did not hold in full: an update that appends past the
// old end leaves holes there, which read as zeros, as the bytes past the end of a file do not.
bool sameTree(const Tree& before, const Tree& after, const std::set<std::string>& incomplete) {
  for (const auto& [path, data] : after) {
    const auto old = before.find(path);
    if (old == before.end() ? incomplete.count(path) == 0 : old->second != data) return false;
  }
  for (const auto& item : before) {
    if (after.count(item.first) == 0) return false;
  }
  return true;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The first kFuzzEntries entries of the eleven categories; false when the machine faults or the
// run stops (the extraction target covers those).
bool extractTree(const fs::path& archive, const fs::path& out, Tree& tree,
                 std::set<std::string>* incomplete = nullptr) {
  fs::remove_all(out);
  fs::create_directories(out);
  bool ok = true;
  {
    const std::unique_ptr<Archive> opened = Archive::open(archive);
    Selection selection;
    std::string error;
    selection.restrictEntries("0-" + std::to_string(kFuzzEntries - 1), error);
    Sweep sweep = opened->entries(selection);
    IncompleteEvents events;
    std::optional<Folder> output = openFolder(out);
    if (!output) std::abort();
    Extractor extractor(*opened, std::move(*output), events);
    try {
      while (const std::optional<SweptEntry> e = ok ? sweep.next() : std::nullopt) {
        ok = extractor.extract(e->category, e->entry, e->description);
      }
      ok = extractor.finish() != ExtractStatus::Stopped && ok;
      if (incomplete != nullptr) *incomplete = events.incomplete;
    } catch (const r5900::MachineFault&) {
      ok = false;
    }
  }
  for (const auto& item : fs::recursive_directory_iterator(out)) {
    if (item.is_regular_file()) tree[fs::relative(item, out).string()] = readFile(item);
  }
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (scratch.empty()) setUp();
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
  std::set<std::string> incomplete;
  const bool extracted = extractTree(archive, scratch / "old", before, &incomplete);
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
  UpdateResult result;
  bool updated = true;
  try {
    updateArchive(source, archive, options, result);
  } catch (const HostError&) {
    updated = false;
  }
  if (!updated && !options.inPlace && readFile(archive) != oldBytes) {
    std::abort();  // a refusal or a failure changes nothing
  }
  if (!updated && options.inPlace) {
    // In place, a failure after the journal was written leaves it to complete the update.
    std::string note;
    try {
      note = recoverArchive(archive);
    } catch (const HostError&) {
      std::abort();
    }
    if (note.find("completed") != std::string::npos)
      before[entryPath(row.category, entry)] = contents;
    Tree recovered;
    if (extracted && (!extractTree(archive, scratch / "new", recovered) ||
                      !sameTree(before, recovered, incomplete))) {
      std::abort();
    }
  }
  if (updated && extracted) {
    Tree after;
    if (!extractTree(archive, scratch / "new", after)) std::abort();
    before[entryPath(row.category, entry)] = contents;
    if (!sameTree(before, after, incomplete)) std::abort();
  }
  fs::remove_all(scratch / "old");
  fs::remove_all(scratch / "new");
  return 0;
}
