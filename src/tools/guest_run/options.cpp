#include "options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string_view>

using r5900::kGprNames;
using r5900::Reg128;

const char* const kUsage =
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

[[noreturn]] void usageError(const std::string& message) { throw UsageError{message}; }

// What guest-run prints on stderr for a usage error before it exits with status 2.
std::string usageText(const std::string& message) {
  return "guest-run: " + message + "\nTry 'guest-run --help' for more information.\n";
}

namespace {

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

uint32_t registerIndex(std::string_view text) {
  std::string_view name = text;
  if (!name.empty() && name[0] == '$') {
    name.remove_prefix(1);
  }
  for (uint32_t i = 0; i < 32; ++i) {
    if (name == kGprNames[i]) {
      return i;
    }
  }
  // Register 30 is s8 to the disassembler and fp to code that keeps a frame pointer in it.
  if (name == "fp") {
    return 30;
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

// The body of parseCommandLine, which throws UsageError.
CommandLine parseOptions(int argc, const char* const* argv) {
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

}  // namespace

CommandLine parseCommandLine(int argc, const char* const* argv) {
  try {
    return parseOptions(argc, argv);
  } catch (const UsageError& error) {
    return {Request::kBadUsage, {}, error.message};
  }
}
