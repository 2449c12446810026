// archive-extract ARCHIVE: writes every model entry of the archive to "models - X/NNNN.raw" in
// the current directory and prints each path.
//
// Exit status: 0 every entry extracted; 1 a fault of the emulated machine (its message is on
// stdout); 2 anything else (bad argument, unreadable archive, write failure, or entries that could
// not be extracted, each named on stderr).
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/categories.h"
#include "cpu/fault.h"
#include "driver/entry.h"
#include "driver/extractor.h"
#include "guest/session.h"

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "archive-extract: %s\n", message.c_str());
  return 2;
}

// Paths and the unsupported-method line on stdout, problems on stderr.
class PrintingEvents : public ExtractEvents {
 public:
  void extracting(const std::string& path) override { std::printf("%s\n", path.c_str()); }
  void unsupported(const std::string& /*path*/) override {
    std::printf("Unsupported compression !\n");
  }
  void problem(const std::string& path, const std::string& what) override {
    std::fprintf(stderr, "archive-extract: %s: %s\n", path.c_str(), what.c_str());
  }
  void failure(const std::string& message) override {
    std::fflush(stdout);
    std::fprintf(stderr, "archive-extract: %s\n", message.c_str());
  }
};

int extractArchive(const char* path) {
  const int archive = open(path, O_RDONLY | O_CLOEXEC);
  if (archive < 0) return fail(std::string("cannot open ") + path + ": " + std::strerror(errno));
  struct stat info {};
  if (fstat(archive, &info) != 0 || static_cast<uint64_t>(info.st_size) < kMinimumArchiveSize) {
    close(archive);
    return fail(std::string("too short to hold the archive index (0xE2000 bytes): ") + path);
  }
  std::vector<uint8_t> index(kArchiveIndexSize);
  if (pread(archive, index.data(), kArchiveIndexSize, kArchiveIndexOffset) !=
      static_cast<ssize_t>(kArchiveIndexSize)) {
    close(archive);
    return fail(std::string("cannot read the archive index: ") + path);
  }
  const std::unique_ptr<GuestSession> session = GuestSession::open(index.data());
  if (!session) {
    close(archive);
    return fail("out of memory: cannot allocate the 32 MiB of guest RAM");
  }

  PrintingEvents events;
  Extractor extractor(archive, AT_FDCWD, events);
  int status = 0;
  const auto sweep = [&] {
    for (const ModelCategory& row : kModelCategories) {
      for (int32_t entry = 0; entry < kEntriesPerCategory; ++entry) {
        const EntryDescription d = describeEntry(session->ask(row.category, entry));
        if (!extractor.extract(row.category, entry, d)) return;  // the run has stopped
      }
    }
  };
  try {
    sweep();
    status = extractor.finish() == ExtractStatus::Clean ? 0 : 2;
  } catch (const MachineFault& fault) {
    // The entries read before the fault are finished first, as a single thread would have; if
    // one of their writes fails, the run stops there, before the fault.
    if (extractor.finish() == ExtractStatus::Stopped) {
      status = 2;
    } else {
      std::fputs(fault.line.c_str(), stdout);
      status = 1;
    }
  }
  close(archive);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return fail("usage: archive-extract ARCHIVE");
  // Entry buffers come and go by the thousand, allocated by the main thread and freed by the
  // writer: keep the freed memory in the heap rather than handing it back to the kernel after
  // each one and faulting fresh zeroed pages in for the next.
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  return extractArchive(argv[1]);
}
