// What archive-extract prints: lines on stdout whose failure is noticed (a full disk, a closed
// file), messages on stderr, and the progress line a terminal gets. Safe to use from the writer
// thread and the main thread at once.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

class Console {
 public:
  // `quiet`: nothing on stdout. `progress`: show a progress line on stderr.
  Console(bool quiet, bool progress) : quiet_(quiet), progress_(progress) {}

  // One line on stdout (the newline is added). False once stdout has failed.
  bool out(const std::string& line);
  // "archive-extract: message" on stderr.
  void err(const std::string& message);
  // The progress line, redrawn at most ten times a second.
  void progress(uint64_t entries, uint64_t bytes, double share);
  void clearProgress();
  // Flushes stdout. False, with the reason on stderr (once), if anything written there was lost.
  bool finishStdout();
  bool stdoutFailed();

 private:
  void eraseProgressLocked();
  void noteStdoutFailureLocked();
  std::mutex mutex_;
  const bool quiet_;
  const bool progress_;
  bool progressShown_ = false;
  int64_t lastDraw_ = 0;
  bool stdoutFailed_ = false;
  bool failureReported_ = false;
};

// `text` as a JSON string, quotes included.
std::string jsonString(const std::string& text);
