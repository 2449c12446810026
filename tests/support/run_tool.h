// Runs a real executable for end-to-end tests and collects what it did.
#pragma once

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

struct Outcome {
  int status;  // the exit status, or 128 + the signal that ended the process
  std::string out, err;
  long peakKiB = 0;  // the process's peak resident memory
};

struct RunOptions {
  // Once this many lines reached stdout, `signal` is sent (0: never). Such a run writes to a
  // terminal, where stdout is line-buffered: each line arrives as it is printed.
  int signalAfterLines = 0;
  int signal = SIGKILL;
  rlim_t fileSizeLimit = RLIM_INFINITY;  // RLIMIT_FSIZE, with SIGXFSZ ignored
  std::string stdoutFile{};              // stdout goes to this file (then `out` holds its text)
  std::function<bool()> signalWhen{};    // with stdoutFile: `signal` is sent once this holds
  bool asNobody = false;                 // run as user and group 65534
  bool stderrTerminal = false;           // stderr is a terminal (`err` what it showed), stdout
                                         // goes nowhere
  std::vector<std::string> env{};        // NAME=VALUE settings added to the environment
};

// Runs args[0] with the arguments in `cwd`; stderr is collected through a file in `scratch`.
Outcome runTool(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                const std::filesystem::path& scratch, const RunOptions& options = {});
