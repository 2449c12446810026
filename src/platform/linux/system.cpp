// What Linux offers beyond POSIX: copies inside the kernel (copy_file_range) and the scheduler's
// affinity mask.
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
