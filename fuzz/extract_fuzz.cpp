// Fuzz target: the whole extraction of a fuzzed archive. The input's first 0x1000 bytes are the
// start of the archive index (header, category records and whatever tables they point at; the
// rest of the index is zero), and the remaining bytes are the archive's data from sector 500 on.
// The eleven categories are swept over their first kFuzzEntries entries into a scratch folder,
// which is emptied after each input. A fault of the emulated machine or a stopped run is a
// normal outcome; a sanitizer report, a crash or a hang is not.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/categories.h"
#include "archive/format.h"
#include "cpu/fault.h"
#include "driver/extractor.h"
#include "guest/session.h"

namespace {

constexpr size_t kIndexPart = 0x1000;
constexpr int32_t kFuzzEntries = 40;  // a group of 16 and the start of a third
// Output files are limited to 4 MiB (RLIMIT_FSIZE with SIGXFSZ ignored): a bigger entry makes its
// write fail, which stops the run as it should, without filling the disk.
constexpr rlim_t kFileSizeLimit = 4 << 20;

std::filesystem::path scratch;
int outputDir = -1;

void setUp() {
  std::signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{kFileSizeLimit, kFileSizeLimit};
  setrlimit(RLIMIT_FSIZE, &limit);
  // tmpfs where there is one: the folder is filled and emptied for every input.
  const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
  std::string name = std::string(base) + "/extract-fuzz-XXXXXX";
  if (mkdtemp(name.data()) == nullptr) std::abort();
  scratch = name;
  std::filesystem::create_directory(scratch / "out");
  outputDir = open((scratch / "out").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
  std::vector<uint8_t> index(kArchiveIndexSize, 0);
  std::memcpy(index.data(), data, std::min(size, kIndexPart));

  const std::string archivePath = scratch / "archive.bin";
  const int archive = open(archivePath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (archive < 0) std::abort();
  const size_t dataSize = size > kIndexPart ? size - kIndexPart : 0;
  if (pwrite(archive, index.data(), index.size(), kArchiveIndexOffset) !=
          static_cast<ssize_t>(index.size()) ||
      (dataSize > 0 && pwrite(archive, data + kIndexPart, dataSize, kDataStart) !=
                           static_cast<ssize_t>(dataSize))) {
    std::abort();
  }

  {
    const auto session = GuestSession::open(index.data());
    if (!session) std::abort();
    QuietEvents events;
    Extractor extractor(archive, outputDir, events);
    try {
      bool going = true;
      for (const ModelCategory& row : kModelCategories) {
        for (int32_t entry = 0; going && entry < kFuzzEntries; ++entry) {
          going = extractor.extract(row.category, entry,
                                    describeEntry(session->ask(row.category, entry)));
        }
      }
      extractor.finish();
    } catch (const MachineFault&) {
      extractor.finish();
    }
  }
  close(archive);
  for (const auto& item : std::filesystem::directory_iterator(scratch / "out")) {
    std::filesystem::remove_all(item.path());
  }
  return 0;
}
