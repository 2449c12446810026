// Fuzz target: the whole extraction of a fuzzed archive, made and swept as fuzz_archive.h says,
// into a scratch folder that is emptied after each input. The entries asked about before a fault
// of the emulated machine are extracted, as the tool extracts them before it stops. A fault or a
// stopped run is a normal outcome; a sanitizer report, a crash or a hang is not.
//
// The lookup routines never read the index's first word for itself, so the run's options come
// from it: bit 0 of byte 0 is --overwrite; the bits of byte 1 say which of entries 0-7 of
// "models - g" have a file already, as a second run finds them; byte 2, when not 0, is the number
// of entries the sweep reaches before the run is cancelled, as SIGINT cancels it.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive/categories.h"
#include "driver/extractor.h"
#include "fuzz_archive.h"
#include "guest/session.h"

namespace {

// Output files are limited to 256 KiB (RLIMIT_FSIZE, with SIGXFSZ ignored): a bigger entry makes
// its write fail, which stops the run as it should, so that an input leaves at most 198 files of
// that size in memory. The limit is lifted while the archive is made (its data starts at
// 1000 KB).
constexpr rlim_t kFileSizeLimit = 256 << 10;

std::filesystem::path scratch;
int outputDir = -1;
FuzzArchive archive;

void setFileSizeLimit(rlim_t bytes) {
  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = std::min(bytes, limit.rlim_max);
  setrlimit(RLIMIT_FSIZE, &limit);
}

void setUp() {
  std::signal(SIGXFSZ, SIG_IGN);
  // tmpfs where there is one: the folder is filled and emptied for every input.
  const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
  std::string name = std::string(base) + "/extract-fuzz-XXXXXX";
  if (mkdtemp(name.data()) == nullptr) std::abort();
  scratch = name;
  outputDir = open(scratch.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (outputDir < 0) std::abort();
  std::atexit([] { std::filesystem::remove_all(scratch); });
}

// Files of "models - g" from an earlier run: entry e has one when bit e of `which` is set.
void makeEarlierFiles(uint8_t which) {
  if (which == 0) return;
  const int32_t category = kModelCategories[0].category;
  std::filesystem::create_directory(scratch / categoryFolder(category));
  for (int32_t e = 0; e < 8; ++e) {
    if ((which >> e & 1) != 0) std::ofstream(scratch / entryPath(category, e)) << "earlier";
  }
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
  setFileSizeLimit(RLIM_INFINITY);
  archive.load(data, size);
  {
    const auto session = GuestSession::open(archive.index());
    if (!session) std::abort();
    const std::vector<SweptEntry> entries = archive.sweep(*session);
    setFileSizeLimit(kFileSizeLimit);
    const uint8_t options[3] = {size > 0 ? data[0] : uint8_t{0}, size > 1 ? data[1] : uint8_t{0},
                                size > 2 ? data[2] : uint8_t{0}};
    makeEarlierFiles(options[1]);
    std::atomic<bool> cancel = false;
    QuietEvents events;
    Extractor extractor(archive.fd(), outputDir, events, {(options[0] & 1) != 0, &cancel});
    size_t reached = 0;
    for (const SweptEntry& swept : entries) {
      if (!extractor.extract(swept.category, swept.entry, swept.description)) break;
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
