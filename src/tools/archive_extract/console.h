// What archive-extract prints: lines on stdout whose failure is noticed (a full disk, a closed
// file), messages on stderr, and the progress line a terminal gets. Safe to use from the writer
// thread and the main thread at once.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "api/archive.h"

class Console {
 public:
  // `quiet`: nothing on stdout. `progress`: show a progress line on stderr.
  // Without `escapes` (a console that takes no escape sequences) the progress line is erased by
  // writing blanks over it.
  Console(bool quiet, bool progress, bool escapes = true)
      : quiet_(quiet), progress_(progress), escapes_(escapes) {}

  // One line on stdout (the newline is added). False once stdout has failed.
  bool out(const std::string& line);
  // "archive-extract: message" on stderr.
  void err(const std::string& message);
  // `line` on stderr as it stands.
  void errLine(const std::string& line);
  // The progress line, redrawn at most ten times a second (`force`: now).
  void progress(const Progress& p, bool force = false);
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
  const bool escapes_;
  size_t shownWidth_ = 0;  // the progress line's length, to blank it out without escapes
  bool progressShown_ = false;
  int64_t lastDraw_ = 0;
  int64_t start_ = 0;  // when the first progress line was asked for
  bool stdoutFailed_ = false;
  bool failureReported_ = false;
};

// "1 entry", "2 entries".
std::string count(uint64_t n, const char* one, const char* many);
