// guest-run's command line: what to load where, the registers to set, where to start and stop,
// what to dump. Read without touching the machine, so that it can be checked in a test.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "api/interpreter.h"

extern const char* const kUsage;

// A bad command line, or a file it names that cannot be used; main prints usageText(message) on
// stderr and exits with status 2.
struct UsageError {
  std::string message;
};
[[noreturn]] void usageError(const std::string& message);
std::string usageText(const std::string& message);

struct Dump {
  uint32_t address;
  uint32_t length;
};

struct Load {
  uint32_t address;
  std::string path;
};

struct Options {
  std::vector<Load> loads;
  std::vector<std::pair<uint32_t, r5900::Reg128>> gprs;
  bool hasHi = false, hasLo = false, hasSa = false;
  r5900::Reg128 hi{}, lo{};
  uint32_t sa = 0;
  std::vector<std::pair<uint32_t, uint32_t>> fprs;
  bool hasFcc = false;
  uint8_t fcc = 0;
  std::vector<std::pair<uint32_t, uint64_t>> cop0;
  std::vector<std::pair<uint32_t, std::array<uint32_t, 4>>> vfs;
  std::optional<std::string> microPath, vuDataPath;
  std::vector<Dump> dumps;
  bool hasPc = false, hasUntil = false;
  uint32_t pc = 0, until = 0;
  uint64_t maxSteps = 100000000;
  bool trace = false;
};

// What the command line asks for: a run with its options, the usage or the version (-h, --help
// and --version are answered as soon as they are read, whatever follows them), or, for a bad
// command line, the usage error.
enum class Request { kRun, kHelp, kVersion, kBadUsage };
struct CommandLine {
  Request request = Request::kRun;
  Options options;
  std::string message;  // kBadUsage: what is wrong
};

CommandLine parseCommandLine(int argc, const char* const* argv);
