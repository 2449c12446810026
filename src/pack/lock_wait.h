// How a command that rewrites an archive (an update, a delete, a compaction) waits for the
// programs reading it: readers hold the archive's lock shared for the whole of their run and end
// by themselves, so they are waited for a while.
#pragma once

#include <functional>
#include <string>

struct LockWait {
  // Told once, before the wait begins, the line to show at once: "ARCHIVE is in use by PROGRAM
  // (process PID); waiting up to 10 s".
  std::function<void(const std::string& line)> notice;
  double seconds = 10;  // how long the readers are waited for
};
