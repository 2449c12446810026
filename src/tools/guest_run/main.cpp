// guest-run: runs guest code on the interpreter from the command line and prints the machine
// state as one JSON line. For debugging guest routines and for comparing the interpreter with
// other implementations.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "api/interpreter.h"
#include "api/system.h"
#include "options.h"
#include "state_json.h"

using r5900::allocateGuestMemory;
using r5900::disassemble;
using r5900::fetchLongInt;
using r5900::hostPointerOrNull;
using r5900::kRamSize;
using r5900::machine;
using r5900::MachineFault;
using r5900::setDelaySlotHook;
using r5900::stepInstruction;

namespace {

// At most `limit` + 1 bytes of a regular file: enough for the caller to tell that it is too large
// (a device such as /dev/zero never ends, and a FIFO would block the open).
std::vector<uint8_t> readFile(const std::string& path, size_t limit) {
  const std::optional<FileInfo> before = fileInfo(path);
  if (before && !before->regular) {
    usageError("'" + path + "' is not a regular file");
  }
  const FileHandle file = openFile(path, OpenMode::Read);
  if (!file.valid()) {
    usageError("cannot open '" + path + "': " + std::strerror(errno));
  }
  const std::optional<FileInfo> info = fileInfo(file);
  std::vector<uint8_t> bytes(info ? std::min<uint64_t>(info->size, uint64_t{limit} + 1) : 0);
  if (!info || readAt(file, 0, bytes.data(), bytes.size()) != bytes.size()) {
    usageError("cannot read '" + path + "'");
  }
  return bytes;
}

// The size of a file readFile() cut short.
std::string sizeOf(const std::string& path) {
  const std::optional<FileInfo> info = fileInfo(path);
  return std::to_string(info ? info->size : 0);
}

// --micro and --vu-data: the whole file at the start of the memory, which it must fit.
void loadVuMemory(const std::optional<std::string>& path, uint8_t* memory, size_t size,
                  const char* what) {
  if (!path) {
    return;
  }
  const std::vector<uint8_t> bytes = readFile(*path, size);
  if (bytes.size() > size) {
    usageError("'" + *path + "' (" + sizeOf(*path) + " bytes) is larger than the " +
               std::to_string(size) + "-byte " + what);
  }
  std::copy(bytes.begin(), bytes.end(), memory);
}

// The body of setUp, which throws UsageError.
void placeInMachine(const Options& o) {
  for (const Load& load : o.loads) {
    const std::vector<uint8_t> bytes = readFile(load.path, kRamSize);
    uint8_t* p = hostPointerOrNull(load.address, static_cast<uint32_t>(bytes.size()));
    if (p == nullptr || bytes.size() > kRamSize) {
      char where[16];
      std::snprintf(where, sizeof where, "0x%08x", load.address);
      usageError("'" + load.path + "' (" + sizeOf(load.path) +
                 " bytes) does not fit in guest memory at " + where);
    }
    if (!bytes.empty()) {
      std::memcpy(p, bytes.data(), bytes.size());
    }
  }
  for (const Dump& dump : o.dumps) {
    if (dump.length > 0 && hostPointerOrNull(dump.address, dump.length) == nullptr) {
      char where[16];
      std::snprintf(where, sizeof where, "0x%08x", dump.address);
      usageError(std::string("dump at ") + where + " of " + std::to_string(dump.length) +
                 " bytes is not inside RAM or the scratchpad");
    }
  }
  for (const auto& [index, value] : o.gprs) {
    machine.GPR[index] = value;
  }
  if (o.hasHi) machine.HI = o.hi;
  if (o.hasLo) machine.LO = o.lo;
  if (o.hasSa) machine.SA = o.sa;
  for (const auto& [index, bits] : o.fprs) {
    machine.FPR[index] = bits;
  }
  if (o.hasFcc) machine.fcc = o.fcc;
  for (const auto& [index, value] : o.cop0) {
    machine.cop0[index] = value;
  }
  for (const auto& [index, value] : o.vfs) {
    std::copy(value.begin(), value.end(), machine.VF[index]);
  }
  loadVuMemory(o.microPath, machine.microMemory, sizeof machine.microMemory, "micro memory");
  loadVuMemory(o.vuDataPath, machine.vuDataMemory, sizeof machine.vuDataMemory,
               "vector-unit data memory");
  machine.PC = o.pc;
}

// Fills guest memory and the registers as the options say. Returns nothing when the machine is
// ready, else what to print on stderr before exiting with status 2: a file that cannot be read or
// does not fit, a dump outside guest memory, no memory for the guest.
std::optional<std::string> setUp(const Options& o) {
  if (!allocateGuestMemory()) {
    return "guest-run: out of memory for guest RAM\n";
  }
  try {
    placeInMachine(o);
  } catch (const UsageError& error) {
    return usageText(error.message);
  }
  return std::nullopt;
}

// --trace: the instruction at `pc`, fetched as the step fetches it (a fetch the machine refuses
// faults here, before any line), then its line.
void traceInstruction(uint32_t pc) {
  const uint32_t word = fetchLongInt(pc);
  std::fprintf(stderr, "%08x  %08x  %s\n", pc, word, disassemble(word, pc).c_str());
}

// How a run ended.
enum class Outcome {
  kReachedUntil,  // the state follows; status 0
  kFaulted,       // the machine refused something: its line follows; status 1
  kStepLimit,     // --max-steps steps ran first: a message on stderr, the state; status 3
  kStdoutFailed,  // what the guest printed could not be written; status 2
};
struct RunResult {
  Outcome outcome;
  uint64_t steps;
  std::string faultLine;  // kFaulted: what the machine prints, newline included; may be empty
};

// The same loop as a guest routine call: register 0 is cleared before every step, and the stop
// address is tested after each one.
RunResult run(const Options& options) {
  if (options.trace) {
    setDelaySlotHook(traceInstruction);
  }
  uint64_t steps = 0;
  try {
    do {
      if (steps == options.maxSteps) {
        return {Outcome::kStepLimit, steps, {}};
      }
      // What the guest prints goes to stdout: stop as soon as that fails.
      if ((steps & 0xFFFF) == 0 && std::ferror(stdout) != 0) {
        return {Outcome::kStdoutFailed, steps, {}};
      }
      machine.GPR[0].lower = 0;
      if (options.trace) {
        traceInstruction(machine.PC);
      }
      stepInstruction();
      ++steps;
    } while (machine.PC != options.until);
  } catch (const MachineFault& fault) {
    return {Outcome::kFaulted, steps, fault.line};
  }
  return {Outcome::kReachedUntil, steps, {}};
}

void printOutcome(const RunResult& result, const Options& options) {
  switch (result.outcome) {
    case Outcome::kReachedUntil: printState(result.steps, options.dumps); return;
    case Outcome::kFaulted: std::fputs(result.faultLine.c_str(), stdout); return;
    case Outcome::kStepLimit:
      // What the guest printed comes before the message where both streams go to one place.
      std::fflush(stdout);
      std::fprintf(stderr,
                   "guest-run: PC did not reach 0x%08x within %" PRIu64 " steps (PC is 0x%08x)\n",
                   options.until, options.maxSteps, machine.PC);
      printState(result.steps, options.dumps);
      return;
    case Outcome::kStdoutFailed: return;
  }
}

int exitStatus(Outcome outcome) {
  switch (outcome) {
    case Outcome::kReachedUntil: return 0;
    case Outcome::kFaulted: return 1;
    case Outcome::kStdoutFailed: return 2;
    case Outcome::kStepLimit: return 3;
  }
  return 2;
}

// guest-run's JSON is its only product: a failed write to stdout is an error of its own.
bool stdoutFailed() {
  if (std::ferror(stdout) == 0 && std::fflush(stdout) == 0) return false;
  std::fprintf(stderr, "guest-run: cannot write to standard output: %s\n", std::strerror(errno));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const ProgramArguments arguments(argc, argv);
  r5900::setGuestOutput(
      [](const char* bytes, size_t size) { std::fwrite(bytes, 1, size, stdout); });
  const CommandLine commandLine = parseCommandLine(argc, argv);
  switch (commandLine.request) {
    case Request::kHelp: std::fputs(kUsage, stdout); return stdoutFailed() ? 2 : 0;
    case Request::kVersion:
      std::printf("guest-run %s\n", PROJECT_VERSION);
      return stdoutFailed() ? 2 : 0;
    case Request::kBadUsage: std::fputs(usageText(commandLine.message).c_str(), stderr); return 2;
    case Request::kRun: break;
  }
  const Options& options = commandLine.options;
  if (const std::optional<std::string> failure = setUp(options)) {
    std::fputs(failure->c_str(), stderr);
    return 2;
  }
  const RunResult result = run(options);
  printOutcome(result, options);
  return stdoutFailed() ? 2 : exitStatus(result.outcome);
}
