// Runs a real executable for end-to-end tests and collects what it did.
#pragma once

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#ifdef _WIN32
// Windows has no signals that end a process: SIGKILL stands for TerminateProcess (the status then
// is 128 + 9, as on Linux), SIGINT for a Ctrl-Break event sent to the tool's process group.
#define SIGKILL 9
#endif

// No limit on the size of a file the tool writes.
constexpr uint64_t kNoFileSizeLimit = ~uint64_t{0};

struct Outcome {
  int status;  // the exit status, or 128 + the signal that ended the process
  std::string out, err;
  long peakKiB = 0;  // the process's peak resident memory (with signalWhen, as it is signalled)
};

struct RunOptions {
  // Once this many lines reached stdout, `signal` is sent (0: never). Such a run writes to a
  // terminal, where stdout is line-buffered: each line arrives as it is printed.
  int signalAfterLines = 0;
  int signal = SIGKILL;
  uint64_t fileSizeLimit = kNoFileSizeLimit;  // RLIMIT_FSIZE, with SIGXFSZ ignored (Linux only)
  std::string stdoutFile{};            // stdout goes to this file (then `out` holds its text)
  std::function<bool()> signalWhen{};  // with stdoutFile: `signal` is sent once this holds
  bool asNobody = false;               // run as user and group 65534 (Linux only)
  bool stderrTerminal = false;         // stderr is a terminal (`err` what it showed), stdout
                                       // goes nowhere (Linux only)
  std::vector<std::string> env{};      // NAME=VALUE settings added to the environment
  bool closedStdout = false;           // stdout is a pipe whose reading end is closed
};

// Runs args[0] with the arguments in `cwd`; stderr is collected through a file in `scratch`.
Outcome runTool(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                const std::filesystem::path& scratch, const RunOptions& options = {});
