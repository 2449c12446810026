// The command line of archive-extract.
#pragma once

#include <optional>
#include <string>

#include "api/archive.h"

enum class Mode : uint8_t { Extract, List, Test };

struct Options {
  Mode mode = Mode::Extract;
  bool json = false;
  bool overwrite = false;
  bool quiet = false;
  bool toStdout = false;  // -O: the selected entries' bytes to stdout in sweep order, no files
  bool verbose = false;   // with -t, the long listing; with -O, each path on stderr
  bool sizeLimit = true;  // stop before the entries expand to more than the bound
  unsigned jobs = 0;      // worker threads for extraction (0: one per core available)
  std::optional<std::string> directory;  // -C DIR
  std::string archive;                   // the first operand, or -f ARCHIVE
  Selection selection;
};

// Parses the command line. On a usage error or after --help or --version it prints what it must
// and sets `status` (2 or 0); the caller then exits with it.
std::optional<Options> parseOptions(int argc, char** argv, int& status);
