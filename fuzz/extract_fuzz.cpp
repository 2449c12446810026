// Fuzz target: the whole extraction of a fuzzed archive, made and swept as fuzz_archive.h says,
// into a scratch folder emptied after each input, up to a fault of the emulated machine. A fault
// or a stopped run is a normal outcome; a sanitizer report, a crash or a hang is not.
//
// The routines never read the index's first word, so the run's options come from it. Byte 0:
// bit 0 is --overwrite; bit 1 puts a file where the folder "models - c" belongs, so the run stops;
// bits 2-3 plus one are the workers; bit 4 bounds the output at 1 MiB. Byte 1: which of entries
// 0-7 of "models - g" already have a file. Byte 2, when not 0: the entries reached before the run
// is cancelled, as SIGINT cancels it.
//
// With the sizes cut, no file passes 256 KiB, so no RLIMIT_FSIZE is needed (it would also cut off
// the fuzzer's own log once that passed the limit).
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
#include "fuzz_scratch.h"

namespace {

std::filesystem::path scratch;
FuzzArchive archive;

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (scratch.empty()) scratch = makeScratch("extract-fuzz");
  archive.load(data, size);
  {
    const std::vector<SweptEntry> entries = archive.sweep();
    const uint8_t options[3] = {size > 0 ? data[0] : uint8_t{0}, size > 1 ? data[1] : uint8_t{0},
                                size > 2 ? data[2] : uint8_t{0}};
    prepare(options[1], (options[0] & 2) != 0);
    std::atomic<bool> cancel = false;
    QuietEvents events;
    // No thread at all (the caller's own does the work, in order), or one to three workers.
    const Executor jobs{(options[0] >> 2) & 3U};
    const uint64_t bound = (options[0] & 16) != 0 ? uint64_t{1} << 20 : UINT64_MAX;
    std::optional<Folder> output = openFolder(scratch);
    if (!output) std::abort();
    Extractor extractor(archive.archive(), std::move(*output), events,
                        {(options[0] & 1) != 0, &cancel, bound, jobs, nullptr});
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
