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

#include "cpu/fault.h"
#include "driver/categories.h"
#include "driver/extract.h"
#include "guest/bridge.h"

namespace {

// The index lies at 0xBA000 and is 0x28000 bytes long: the archive must reach 0xE2000.
constexpr long kMinimumArchiveSize = kArchiveIndexOffset + kArchiveIndexSize;

[[noreturn]] void fail(const char* message, const char* path) {
  std::fprintf(stderr, "archive-extract: %s%s%s\n", message, path != nullptr ? ": " : "",
               path != nullptr ? path : "");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) fail("usage: archive-extract ARCHIVE", nullptr);
  // Entry buffers come and go by the thousand, allocated by the main thread and freed by the
  // writer: keep the freed memory in the heap rather than handing it back to the kernel after
  // each one and faulting fresh zeroed pages in for the next.
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  const int archive = open(argv[1], O_RDONLY | O_CLOEXEC);
  if (archive < 0) {
    std::fprintf(stderr, "archive-extract: cannot open %s: %s\n", argv[1], std::strerror(errno));
    std::exit(2);
  }
  struct stat info {};
  if (fstat(archive, &info) != 0 || info.st_size < kMinimumArchiveSize) {
    fail("too short to hold the archive index (0xE2000 bytes)", argv[1]);
  }

  auto* index = static_cast<uint8_t*>(std::malloc(kArchiveIndexSize));
  if (index == nullptr) fail("out of memory for the archive index", nullptr);
  if (pread(archive, index, kArchiveIndexSize, kArchiveIndexOffset) !=
      static_cast<ssize_t>(kArchiveIndexSize)) {
    fail("cannot read the archive index", argv[1]);
  }
  hostIndexBuffer = index;

  bool clean = false;
  try {
    try {
      for (const ModelCategory& row : kModelCategories) {
        dumpCategory(archive, row.folder, row.category);
      }
      clean = finishExtraction();
    } catch (const MachineFault& fault) {
      // The entries read before the fault are finished first, as a single thread would have.
      finishExtraction();
      std::fputs(fault.line.c_str(), stdout);
      return 1;
    }
  } catch (const ExtractionStopped&) {
    return 2;
  }

  hostIndexBuffer = nullptr;
  std::free(index);
  close(archive);
  return clean ? 0 : 2;
}
