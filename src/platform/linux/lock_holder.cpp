// Who holds a lock on a file, as Linux tells it. /proc/locks lists every lock with the process
// that took it and the file's device (major:minor, in hex) and inode:
//   1: FLOCK  ADVISORY  READ 1234 fe:00:10953034 0 EOF
// a process waiting for a lock has "->" before the kind, and an open-file-description lock shows
// -1 for the process (0 for one outside this process's PID namespace). /proc/PID/comm names it.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/file.h"

std::optional<LockHolder> lockHolder(const FileHandle& file) {
  struct stat st {};
  if (fstat(file.get(), &st) != 0) return std::nullopt;
  char id[64];
  std::snprintf(id, sizeof id, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  std::ifstream locks("/proc/locks");
  std::optional<LockHolder> holder;
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, where;
    int64_t pid = 0;
    fields >> number >> kind;
    if (kind == "->") continue;  // waiting, not holding
    fields >> mode >> access >> pid >> where;
    if (!fields || where != id || pid <= 0) continue;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    holder = LockHolder{pid, ""};
    std::getline(comm, holder->program);
    if (pid != getpid()) break;
  }
  return holder;
}
