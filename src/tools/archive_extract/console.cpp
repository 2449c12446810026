#include "console.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "api/system.h"

namespace {

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// "3 of 40 MiB": both in the unit that suits the total.
std::string bytesOf(uint64_t done, uint64_t total) {
  const int shift = total < 10 * 1024 * 1024 ? 10 : 20;
  char text[64];
  std::snprintf(text, sizeof text, "%llu of %llu %s",
                static_cast<unsigned long long>(done >> shift),
                static_cast<unsigned long long>(total >> shift), shift == 10 ? "KiB" : "MiB");
  return text;
}

}  // namespace

bool Console::out(const std::string& line) {
  std::lock_guard lock(mutex_);
  if (quiet_) return true;
  eraseProgressLocked();
  if (!stdoutFailed_ && (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() ||
                         std::fputc('\n', stdout) == EOF || std::ferror(stdout) != 0)) {
    noteStdoutFailureLocked();
  }
  return !stdoutFailed_;
}

void Console::err(const std::string& message) {
  std::lock_guard lock(mutex_);
  eraseProgressLocked();
  // What stdout holds comes first, as one thread printing in order would have shown it.
  if (!stdoutFailed_ && std::fflush(stdout) != 0) noteStdoutFailureLocked();
  std::fprintf(stderr, "archive-extract: %s\n", message.c_str());
}

void Console::errLine(const std::string& line) {
  std::lock_guard lock(mutex_);
  eraseProgressLocked();
  if (!stdoutFailed_ && std::fflush(stdout) != 0) noteStdoutFailureLocked();
  std::fprintf(stderr, "%s\n", line.c_str());
}

// "12 of 40 entries, 3 of 10 MiB, 30%, 5 s left": the share by bytes (by entries when they expand
// to nothing), the time left from the pace so far once a second has passed.
void Console::progress(const Progress& p, bool force) {
  if (!progress_) return;
  const int64_t now = nowMs();
  std::lock_guard lock(mutex_);
  if (start_ == 0) start_ = now;
  if (!force && now - lastDraw_ < 100) return;
  lastDraw_ = now;
  const double share = p.bytesTotal > 0     ? static_cast<double>(p.bytes) / p.bytesTotal
                       : p.entriesTotal > 0 ? static_cast<double>(p.entries) / p.entriesTotal
                                            : 1;
  std::string left;
  const double elapsed = static_cast<double>(now - start_) / 1000;
  if (share > 0 && share < 1 && elapsed >= 1) {
    const long long seconds = std::llround(elapsed * (1 - share) / share);
    char text[48];
    if (seconds < 60) {
      std::snprintf(text, sizeof text, ", %lld s left", seconds);
    } else {
      std::snprintf(text, sizeof text, ", %lld min %02lld s left", seconds / 60, seconds % 60);
    }
    left = text;
  }
  if (!stdoutFailed_ && std::fflush(stdout) != 0) noteStdoutFailureLocked();
  char line[256];
  std::snprintf(
      line, sizeof line, "%llu of %s, %s, %d%%%s", static_cast<unsigned long long>(p.entries),
      count(p.entriesTotal, "entry", "entries").c_str(), bytesOf(p.bytes, p.bytesTotal).c_str(),
      static_cast<int>(share * 100), left.c_str());
  const size_t width = std::strlen(line);
  // Blanks over what a longer line before left, where the console takes no escapes.
  writeError(
      "\r" + std::string(line) +
      (escapes_ ? "\033[K" : std::string(shownWidth_ > width ? shownWidth_ - width : 0, ' ')));
  shownWidth_ = width;
  progressShown_ = true;
}

void Console::clearProgress() {
  std::lock_guard lock(mutex_);
  eraseProgressLocked();
}

bool Console::finishStdout() {
  std::lock_guard lock(mutex_);
  eraseProgressLocked();
  if (!stdoutFailed_ && (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)) {
    noteStdoutFailureLocked();
  }
  return !stdoutFailed_;
}

bool Console::stdoutFailed() {
  std::lock_guard lock(mutex_);
  return stdoutFailed_;
}

void Console::eraseProgressLocked() {
  if (!progressShown_) return;
  writeError(escapes_ ? "\r\033[K" : "\r" + std::string(shownWidth_, ' ') + "\r");
  shownWidth_ = 0;
  progressShown_ = false;
}

void Console::noteStdoutFailureLocked() {
  const int error = errno;
  endIfStdoutClosed();
  stdoutFailed_ = true;
  if (failureReported_) return;
  failureReported_ = true;
  std::fprintf(stderr, "archive-extract: cannot write to standard output: %s\n",
               std::strerror(error != 0 ? error : EIO));
}

std::string count(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}
