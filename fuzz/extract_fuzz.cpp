// Fuzz target: the whole extraction of a fuzzed archive, made and swept as fuzz_archive.h says,
// into a scratch folder that is emptied after each input. The entries asked about before a fault
// of the emulated machine are extracted, as the tool extracts them before it stops. A fault or a
// stopped run is a normal outcome; a sanitizer report, a crash or a hang is not.
//
// The lookup routines never read the index's first word for itself, so the run's options come
// from it: bit 0 of byte 0 is --overwrite, and bit 1 puts a file where the folder "models - c"
// belongs, so that its entries cannot be written and the run stops; bits 2-3 plus one are the
// number of workers; bit 4 puts the output bound at 1 MiB, so that a run can stop at it; the
// bits of byte 1 say which
// of entries 0-7 of "models - g" have a file already, as a second run finds them; byte 2, when
// not 0, is the number of entries the sweep reaches before the run is cancelled, as SIGINT
// cancels it.
//
// Disk and memory: with the sizes cut as fuzz_archive.h says, and the entries that keep a larger
// size left out, no file passes 256 KiB, so an input leaves at most 198 such files in the scratch
// folder (tmpfs where there is one). No file size limit (RLIMIT_FSIZE) is needed, which would
// also cut off the fuzzer's own output, sanitizer reports included, once a log file it is
// written to passed the limit.
#include <fcntl.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive/categories.h"
#include "extract/extractor.h"
#include "fuzz_archive.h"
#include "guest/session.h"

namespace {

std::filesystem::path scratch;
int outputDir = -1;
FuzzArchive archive;

void setUp() {
  const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
  std::string name = std::string(base) + "/extract-fuzz-XXXXXX";
  if (mkdtemp(name.data()) == nullptr) std::abort();
  scratch = name;
  outputDir = open(scratch.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (outputDir < 0) std::abort();
  std::atexit([] { std::filesystem::remove_all(scratch); });
}

// What the scratch folder holds before the run: the files of "models - g" from an earlier run
// (entry e has one when bit e of `earlier` is set), and a file in the place of "models - c".
void prepare(uint8_t earlier, bool blockFolder) {
  if (earlier != 0) {
    const int32_t category = kModelCategories[0].category;
    std::filesystem::create_directory(scratch / categoryFolder(category));
    for (int32_t e = 0; e < 8; ++e) {
      if ((earlier >> e & 1) != 0) std::ofstream(scratch / entryPath(category, e)) << "earlier";
    }
  }
  if (blockFolder) std::ofstream(scratch / categoryFolder(kModelCategories[1].category)) << "file";
}

// The events go nowhere: only crashes and sanitizer reports count.
class QuietEvents : public ExtractEvents {
  void extracting(const std::string&) override {}
  void unsupported(const std::string&) override {}
  void problem(const std::string&, const std::string&) override {}
  void failure(const std::string&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (scratch.empty()) setUp();
  archive.load(data, size);
  {
    const std::vector<SweptEntry> entries = archive.sweep();
    const uint8_t options[3] = {size > 0 ? data[0] : uint8_t{0}, size > 1 ? data[1] : uint8_t{0},
                                size > 2 ? data[2] : uint8_t{0}};
    prepare(options[1], (options[0] & 2) != 0);
    std::atomic<bool> cancel = false;
    QuietEvents events;
    const unsigned jobs = 1 + ((options[0] >> 2) & 3);
    const uint64_t bound = (options[0] & 16) != 0 ? uint64_t{1} << 20 : UINT64_MAX;
    Extractor extractor(archive.archive(), outputDir, events,
                        {(options[0] & 1) != 0, &cancel, bound, jobs});
    size_t reached = 0;
    for (const SweptEntry& swept : entries) {
      const EntryDescription& d = swept.description;
      if (!withinCutSizes(d)) continue;  // its EntryWord lies outside the index
      if (!extractor.extract(swept.category, swept.entry, d)) break;
      if (++reached == options[2]) {
        cancel = true;  // the tool starts no entry after the signal
        break;
      }
    }
    extractor.finish();
  }
  for (const auto& item : std::filesystem::directory_iterator(scratch)) {
    std::filesystem::remove_all(item.path());
  }
  return 0;
}
