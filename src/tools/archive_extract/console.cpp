#include "console.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string humanBytes(uint64_t bytes) {
  char text[32];
  if (bytes < 10 * 1024 * 1024) {
    std::snprintf(text, sizeof text, "%llu KiB", static_cast<unsigned long long>(bytes >> 10));
  } else {
    std::snprintf(text, sizeof text, "%llu MiB", static_cast<unsigned long long>(bytes >> 20));
  }
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

void Console::progress(uint64_t entries, uint64_t bytes, double share) {
  if (!progress_) return;
  const int64_t now = nowMs();
  std::lock_guard lock(mutex_);
  if (now - lastDraw_ < 100) return;
  lastDraw_ = now;
  if (!stdoutFailed_ && std::fflush(stdout) != 0) noteStdoutFailureLocked();
  std::fprintf(stderr, "\r%llu entries, %s, %3.0f%% of the sweep\033[K",
               static_cast<unsigned long long>(entries), humanBytes(bytes).c_str(), share * 100);
  std::fflush(stderr);
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
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  progressShown_ = false;
}

void Console::noteStdoutFailureLocked() {
  const int error = errno;
  stdoutFailed_ = true;
  if (failureReported_) return;
  failureReported_ = true;
  std::fprintf(stderr, "archive-extract: cannot write to standard output: %s\n",
               std::strerror(error != 0 ? error : EIO));
}

std::string jsonString(const std::string& text) {
  std::string json = "\"";
  for (const char c : text) {
    switch (c) {
      case '"': json += "\\\""; break;
      case '\\': json += "\\\\"; break;
      case '\n': json += "\\n"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
          json += escape;
        } else {
          json += c;
        }
    }
  }
  return json + "\"";
}
