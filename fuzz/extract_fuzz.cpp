// Fuzz target: the whole extraction of a fuzzed archive, made and swept as fuzz_archive.h says,
// into a scratch folder that is emptied after each input. The entries asked about before a fault
// of the emulated machine are extracted, as the tool extracts them before it stops. A fault or a
// stopped run is a normal outcome; a sanitizer report, a crash or a hang is not.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

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
    QuietEvents events;
    Extractor extractor(archive.fd(), outputDir, events);
    for (const SweptEntry& swept : entries) {
      if (!extractor.extract(swept.category, swept.entry, swept.description)) break;
    }
    extractor.finish();
  }
  for (const auto& item : std::filesystem::directory_iterator(scratch)) {
    std::filesystem::remove_all(item.path());
  }
  return 0;
}
