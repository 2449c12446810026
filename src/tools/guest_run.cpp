// guest-run: runs guest code on the interpreter from the command line and prints the machine
// state as one JSON line. For debugging guest routines and for comparing the interpreter with
// other implementations.
#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/interpreter.h"
#include "api/system.h"

using r5900::allocateGuestMemory;
using r5900::disassemble;
using r5900::fetchLongInt;
using r5900::guestOutputAtLineStart;
using r5900::hostPointerOrNull;
using r5900::kRamSize;
using r5900::machine;
using r5900::MachineFault;
using r5900::Reg128;
using r5900::setDelaySlotHook;
using r5900::stepInstruction;

namespace {

constexpr const char* kUsage =
    "Usage: guest-run [--load ADDR FILE]... [--gpr N=VALUE]... [--hi VALUE] [--lo VALUE]\n"
    "                 [--sa VALUE] [--fpr N=BITS]... [--fcc 0|1] [--cop0 N=VALUE]...\n"
    "                 [--vf N=X,Y,Z,W]... [--micro FILE] [--vu-data FILE]\n"
    "                 [--dump ADDR:LEN]... [--trace] --pc ADDR --until ADDR\n"
    "                 [--max-steps COUNT]\n"
    "Numbers are decimal or 0x-prefixed hexadecimal. A register VALUE is one 64-bit number\n"
    "(the low 64 bits) or UPPER:LOWER (all 128 bits). N is 0..31 or a register name (t0, sp).\n"
    "For --fpr, --cop0 and --vf, N is 0..31; BITS, X, Y, Z and W are 32-bit patterns, and a\n"
    "COP0 VALUE is 64 bits. --micro and --vu-data load up to 4096 bytes into the vector\n"
    "unit's micro memory and data memory. --trace prints each instruction on stderr before it\n"
    "runs, delay slots included, as ADDRESS  WORD  DISASSEMBLY; the pairs of a micro program\n"
    "that VCALLMS runs are not traced.\n"
    "Exit status: 0 the PC reached --until (the machine state follows as one JSON line);\n"
    "1 the guest faulted; 2 a bad command line or a failed write to stdout; 3 --max-steps\n"
    "steps ran first (the state is printed too). -h, --help and --version print and exit.\n";

// A bad command line, or a file it names that cannot be used. The helpers that read the options
// and the files throw it; parseCommandLine and setUp turn it into their answer, so that the run
// ends in main alone.
struct UsageError {
  std::string message;
};

[[noreturn]] void usageError(const std::string& message) { throw UsageError{message}; }

// What guest-run prints on stderr for a usage error before it exits with status 2.
std::string usageText(const std::string& message) {
  return "guest-run: " + message + "\nTry 'guest-run --help' for more information.\n";
}

bool parseNumber(std::string_view text, uint64_t& value) {
  if (text.empty()) {
    return false;
  }
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  const std::string copy(text);
  // Digits only: strtoull alone would also take blanks, a sign, or a second 0x prefix.
  const auto isDigit = [base](unsigned char c) {
    return base == 16 ? std::isxdigit(c) != 0 : std::isdigit(c) != 0;
  };
  if (copy.empty() || !std::all_of(copy.begin(), copy.end(), isDigit)) {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  value = std::strtoull(copy.c_str(), &end, base);
  return errno == 0 && end != nullptr && *end == '\0';
}

uint64_t number(std::string_view text, const char* what) {
  uint64_t value = 0;
  if (!parseNumber(text, value)) {
    usageError(std::string("bad ") + what + " '" + std::string(text) + "'");
  }
  return value;
}

uint32_t address(std::string_view text, const char* what) {
  const uint64_t value = number(text, what);
  if (value > 0xFFFFFFFF) {
    usageError(std::string(what) + " '" + std::string(text) + "' does not fit in 32 bits");
  }
  return static_cast<uint32_t>(value);
}

uint32_t word(std::string_view text, const char* what) {
  const uint64_t value = number(text, what);
  if (value > 0xFFFFFFFF) {
    usageError(std::string(what) + " '" + std::string(text) + "' is not a 32-bit value");
  }
  return static_cast<uint32_t>(value);
}

Reg128 registerValue(std::string_view text, const char* what) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    return Reg128{0, number(text, what)};
  }
  return Reg128{number(text.substr(0, colon), what), number(text.substr(colon + 1), what)};
}

constexpr const char* kRegisterNames[32] = {"zero", "at", "v0", "v1", "a0", "a1", "a2", "a3",
                                            "t0",   "t1", "t2", "t3", "t4", "t5", "t6", "t7",
                                            "s0",   "s1", "s2", "s3", "s4", "s5", "s6", "s7",
                                            "t8",   "t9", "k0", "k1", "gp", "sp", "fp", "ra"};

uint32_t registerIndex(std::string_view text) {
  std::string_view name = text;
  if (!name.empty() && name[0] == '$') {
    name.remove_prefix(1);
  }
  for (uint32_t i = 0; i < 32; ++i) {
    if (name == kRegisterNames[i]) {
      return i;
    }
  }
  uint64_t index = 0;
  if (!parseNumber(name, index) || index > 31) {
    usageError("bad register '" + std::string(text) + "'");
  }
  return static_cast<uint32_t>(index);
}

// N=VALUE of --fpr, --cop0 and --vf: N is a register number, 0..31.
std::pair<uint32_t, std::string_view> numberedAssignment(std::string_view argument,
                                                         const char* option, const char* form) {
  const size_t eq = argument.find('=');
  if (eq == std::string_view::npos) {
    usageError(std::string(option) + " wants " + form + ", got '" + std::string(argument) + "'");
  }
  uint64_t index = 0;
  if (!parseNumber(argument.substr(0, eq), index) || index > 31) {
    usageError(std::string("bad register number in ") + option + " '" + std::string(argument) +
               "'");
  }
  return {static_cast<uint32_t>(index), argument.substr(eq + 1)};
}

// X,Y,Z,W: four 32-bit patterns.
std::array<uint32_t, 4> vectorValue(std::string_view text) {
  std::array<uint32_t, 4> value{};
  std::string_view rest = text;
  for (size_t i = 0; i < 4; ++i) {
    const size_t comma = rest.find(',');
    if ((comma == std::string_view::npos) != (i == 3)) {
      usageError("--vf wants four components X,Y,Z,W, got '" + std::string(text) + "'");
    }
    value[i] = word(rest.substr(0, comma), "vector component");
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
  }
  return value;
}

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
  std::vector<std::pair<uint32_t, Reg128>> gprs;
  bool hasHi = false, hasLo = false, hasSa = false;
  Reg128 hi{}, lo{};
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

// The body of parseCommandLine, which throws UsageError.
CommandLine parseOptions(int argc, char** argv) {
  CommandLine line;
  Options& o = line.options;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    // --name=value: the value is the option's first (--load takes its FILE from the next word).
    std::optional<std::string_view> attached;
    if (const size_t eq = arg.find('='); arg.substr(0, 2) == "--" && eq != std::string_view::npos) {
      attached = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
    }
    auto next = [&]() -> std::string_view {
      if (attached) {
        return *std::exchange(attached, std::nullopt);
      }
      if (i + 1 >= argc) {
        usageError(std::string(arg) + " needs a value");
      }
      return argv[++i];
    };
    const bool takesNoValue = arg == "--help" || arg == "--version" || arg == "--trace";
    if (attached && takesNoValue) {
      usageError(std::string(arg) + " takes no value");
    }
    if (arg == "--help" || arg == "-h" || arg == "--version") {
      line.request = arg == "--version" ? Request::kVersion : Request::kHelp;
      return line;
    } else if (arg == "--load") {
      const uint32_t a = address(next(), "load address");
      o.loads.push_back({a, std::string(next())});
    } else if (arg == "--gpr") {
      const std::string_view argument = next();
      const size_t eq = argument.find('=');
      if (eq == std::string_view::npos) {
        usageError("--gpr wants N=VALUE, got '" + std::string(argument) + "'");
      }
      o.gprs.emplace_back(registerIndex(argument.substr(0, eq)),
                          registerValue(argument.substr(eq + 1), "register value"));
    } else if (arg == "--hi") {
      o.hasHi = true;
      o.hi = registerValue(next(), "HI value");
    } else if (arg == "--lo") {
      o.hasLo = true;
      o.lo = registerValue(next(), "LO value");
    } else if (arg == "--sa") {
      o.hasSa = true;
      o.sa = address(next(), "SA value");
    } else if (arg == "--fpr") {
      const auto [index, value] = numberedAssignment(next(), "--fpr", "N=BITS");
      o.fprs.emplace_back(index, word(value, "FPR bits"));
    } else if (arg == "--fcc") {
      const std::string_view value = next();
      if (value != "0" && value != "1") {
        usageError("--fcc wants 0 or 1, got '" + std::string(value) + "'");
      }
      o.hasFcc = true;
      o.fcc = value == "1" ? 1 : 0;
    } else if (arg == "--cop0") {
      const auto [index, value] = numberedAssignment(next(), "--cop0", "N=VALUE");
      o.cop0.emplace_back(index, number(value, "COP0 value"));
    } else if (arg == "--vf") {
      const auto [index, value] = numberedAssignment(next(), "--vf", "N=X,Y,Z,W");
      o.vfs.emplace_back(index, vectorValue(value));
    } else if (arg == "--micro") {
      o.microPath = std::string(next());
    } else if (arg == "--vu-data") {
      o.vuDataPath = std::string(next());
    } else if (arg == "--dump") {
      const std::string_view argument = next();
      const size_t colon = argument.find(':');
      if (colon == std::string_view::npos) {
        usageError("--dump wants ADDR:LEN, got '" + std::string(argument) + "'");
      }
      const uint32_t a = address(argument.substr(0, colon), "dump address");
      const uint32_t length = address(argument.substr(colon + 1), "dump length");
      o.dumps.push_back({a, length});
    } else if (arg == "--pc") {
      o.hasPc = true;
      o.pc = address(next(), "PC");
    } else if (arg == "--until") {
      o.hasUntil = true;
      o.until = address(next(), "--until address");
    } else if (arg == "--trace") {
      o.trace = true;
    } else if (arg == "--max-steps") {
      o.maxSteps = number(next(), "step count");
    } else {
      usageError("unknown argument '" + std::string(arg) + "'");
    }
  }
  if (!o.hasPc || !o.hasUntil) {
    usageError("--pc and --until are required");
  }
  return line;
}

CommandLine parseCommandLine(int argc, char** argv) {
  try {
    return parseOptions(argc, argv);
  } catch (const UsageError& error) {
    return {Request::kBadUsage, {}, error.message};
  }
}

// At most `limit` + 1 bytes of a regular file: enough for the caller to tell that it is too large
// (a device such as /dev/zero never ends, and a FIFO would block the open).
std::vector<uint8_t> readFile(const std::string& path, size_t limit) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (!error && status.type() != std::filesystem::file_type::regular) {
    usageError("'" + path + "' is not a regular file");
  }
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    usageError("cannot open '" + path + "': " + std::strerror(errno));
  }
  std::vector<uint8_t> bytes;
  uint8_t buffer[65536];
  size_t n = 0;
  while (bytes.size() <= limit &&
         (n = std::fread(buffer, 1, std::min(sizeof buffer, limit + 1 - bytes.size()), f)) > 0) {
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    usageError("cannot read '" + path + "'");
  }
  return bytes;
}

// The size of a file readFile() cut short.
std::string sizeOf(const std::string& path) {
  std::error_code error;
  return std::to_string(std::filesystem::file_size(path, error));
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

void printReg128(const Reg128& r) {
  std::printf("\"0x%016" PRIx64 "%016" PRIx64 "\"", r.upper, r.lower);
}

// A JSON array of 32-bit patterns, each a string of eight hexadecimal digits.
void printWords(const uint32_t* words, size_t count) {
  std::putchar('[');
  for (size_t i = 0; i < count; ++i) {
    std::printf("%s\"0x%08x\"", i > 0 ? "," : "", words[i]);
  }
  std::putchar(']');
}

// The coprocessors and the vector unit, after "mem".
void printCoprocessorState() {
  std::printf(",\"fpr\":");
  printWords(machine.FPR, 32);
  std::printf(",\"fcc\":%u,\"cop0\":[", unsigned{machine.fcc});
  for (int i = 0; i < 32; ++i) {
    std::printf("%s\"0x%016" PRIx64 "\"", i > 0 ? "," : "", machine.cop0[i]);
  }
  std::printf("],\"vf\":[");
  for (int i = 0; i < 32; ++i) {
    if (i > 0) std::putchar(',');
    printWords(machine.VF[i], 4);
  }
  std::printf("],\"acc\":");
  printWords(machine.ACC, 4);
  std::printf(",\"q\":\"0x%08x\",\"vi\":", machine.Q);
  printWords(machine.VI, 32);
  std::printf(",\"mac\":\"0x%04x\"", unsigned{machine.mac});
}

void printState(uint64_t steps, const Options& o) {
  if (!guestOutputAtLineStart()) {
    std::putchar('\n');
  }
  std::printf("{\"steps\":%" PRIu64 ",\"pc\":\"0x%08x\",\"gpr\":[", steps, machine.PC);
  for (int i = 0; i < 32; ++i) {
    if (i > 0) std::putchar(',');
    printReg128(machine.GPR[i]);
  }
  std::printf("],\"hi\":");
  printReg128(machine.HI);
  std::printf(",\"lo\":");
  printReg128(machine.LO);
  std::printf(",\"sa\":\"0x%08x\",\"mem\":[", machine.SA);
  for (size_t i = 0; i < o.dumps.size(); ++i) {
    const Dump& dump = o.dumps[i];
    std::printf("%s{\"addr\":\"0x%08x\",\"hex\":\"", i > 0 ? "," : "", dump.address);
    const uint8_t* p = dump.length > 0 ? hostPointerOrNull(dump.address, dump.length) : nullptr;
    for (uint32_t j = 0; j < dump.length; ++j) {
      std::printf("%02x", p[j]);
    }
    std::printf("\"}");
  }
  std::putchar(']');
  printCoprocessorState();
  std::printf("}\n");
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
    case Outcome::kReachedUntil: printState(result.steps, options); return;
    case Outcome::kFaulted: std::fputs(result.faultLine.c_str(), stdout); return;
    case Outcome::kStepLimit:
      // What the guest printed comes before the message where both streams go to one place.
      std::fflush(stdout);
      std::fprintf(stderr,
                   "guest-run: PC did not reach 0x%08x within %" PRIu64 " steps (PC is 0x%08x)\n",
                   options.until, options.maxSteps, machine.PC);
      printState(result.steps, options);
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
