// What Linux and its C library offer beyond POSIX: copies inside the kernel (copy_file_range),
// the scheduler's affinity mask, and the allocator's thresholds (mallopt, where the C library has
// it).
#include <malloc.h>
#include <sched.h>
#include <unistd.h>

#include "platform/posix/internal.h"
#include "platform/process.h"

int64_t copyInKernel(const FileHandle& from, uint64_t fromOffset, const FileHandle& to,
                     size_t size) {
  auto in = static_cast<off_t>(fromOffset);
  return copy_file_range(from.get(), &in, to.get(), nullptr, size, 0);
}

unsigned coresAllowed() {
  cpu_set_t set;
  CPU_ZERO(&set);
  return sched_getaffinity(0, sizeof set, &set) == 0 ? static_cast<unsigned>(CPU_COUNT(&set)) : 0;
}

void keepFreedMemory([[maybe_unused]] size_t keep, [[maybe_unused]] size_t ownPages) {
#if defined(M_TRIM_THRESHOLD) && defined(M_MMAP_THRESHOLD)
  mallopt(M_TRIM_THRESHOLD, static_cast<int>(keep));
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(ownPages));
#endif
}
