// guest-run end to end: the real binary runs in a scratch folder, and its stdout, stderr and exit
// status are checked against the command-line contract.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "cpu/machine_state.h"
#include "support/assembler.h"
#include "support/run_tool.h"
#include "support/scratch.h"
#include "support/system.h"

namespace {

using r5900::Reg128;

std::string hex(uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "\"0x%0*" PRIx64 "\"", digits, value);
  return text;
}
std::string r128(const Reg128& r) {
  return hex(r.upper, 16).erase(19) + hex(r.lower, 16).substr(3);
}
// A JSON array of `count` items.
std::string list(int count, const std::function<std::string(int)>& item) {
  std::string text = "[";
  for (int i = 0; i < count; ++i) text.append(i > 0 ? "," : "").append(item(i));
  return text.append("]");
}
std::string words(const uint32_t* values, int count) {
  return list(count, [&](int i) { return hex(values[i], 8); });
}

// The JSON line guest-run prints: zero wherever a test sets nothing, except VF0, which reads
// 0, 0, 0, 1.0 after any step.
struct State {
  uint64_t steps;
  uint32_t pc;
  std::vector<std::pair<int, Reg128>> regs{};  // the general registers, then HI (32) and LO (33)
  uint32_t sa = 0;
  std::string mem{};
  uint32_t fpr[32]{};
  unsigned fcc = 0;
  uint64_t cop0[32]{};
  uint32_t vf[32][4] = {{0, 0, 0, 0x3F800000}};
  std::string json() const {
    static const uint32_t zeros[32] = {};
    Reg128 gpr[34] = {};
    for (const auto& [index, value] : regs) gpr[index] = value;
    return R"({"steps":)" + std::to_string(steps) + R"(,"pc":)" + hex(pc, 8) + R"(,"gpr":)" +
           list(32, [&](int i) { return r128(gpr[i]); }) + R"(,"hi":)" + r128(gpr[32]) +
           R"(,"lo":)" + r128(gpr[33]) + R"(,"sa":)" + hex(sa, 8) + R"(,"mem":[)" + mem +
           R"(],"fpr":)" + words(fpr, 32) + R"(,"fcc":)" + std::to_string(fcc) + R"(,"cop0":)" +
           list(32, [&](int i) { return hex(cop0[i], 16); }) + R"(,"vf":)" +
           list(32, [&](int i) { return words(vf[i], 4); }) + R"(,"acc":)" + words(zeros, 4) +
           R"(,"q":)" + hex(0, 8) + R"(,"vi":)" + words(zeros, 32) + R"(,"mac":"0x0000"})" + "\n";
  }
};

// Exit status 0, nothing on stderr, and on stdout `output`, then the JSON line of `state`.
void expectState(const Outcome& result, const State& state, const std::string& output = "") {
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, output + state.json());
}

class GuestRunTest : public ::testing::Test {
 protected:
  void write(const std::string& file, const std::string& bytes) {
    std::ofstream(dir / file, std::ios::binary) << bytes;
  }
  // `source` (statements separated by ';') assembled, which the assembler pads with zero words
  // (no-operations) to a multiple of 16 bytes.
  void code(const std::string& file, const std::string& source) {
    const std::vector<uint8_t> bytes = assemble(source);
    write(file, std::string(bytes.begin(), bytes.end()));
  }
  // guest-run (the path in GUEST_RUN) with `args` in the scratch folder. The words of `args` are
  // split at blanks outside single quotes, as a shell would; ">FILE" sends stdout to FILE.
  Outcome run(const std::string& args) {
    std::vector<std::string> words = {std::getenv("GUEST_RUN")};
    RunOptions options;
    bool quoted = false, inWord = false;
    for (const char c : args + ' ') {
      if (c == '\'') {
        quoted = !quoted;
        if (!inWord) words.emplace_back();
        inWord = true;
      } else if (c == ' ' && !quoted) {
        if (inWord && words.back().starts_with('>')) {
          options.stdoutFile = words.back().substr(1);
          words.pop_back();
        }
        inWord = false;
      } else {
        if (!inWord) words.emplace_back();
        inWord = true;
        words.back() += c;
      }
    }
    return runTool(words, dir.path(), dir.path(), options);
  }
  // `source` loaded at 0x100000 and run from there.
  Outcome runCode(const std::string& source, const std::string& args) {
    code("code.bin", source);
    return run("--load 0x100000 code.bin --pc 0x100000 " + args);
  }

  ScratchFolder dir;
};

// Registers by name, $name or number, to one number (the low half) or UPPER:LOWER; the low half of
// $0 is cleared before each step. The dumps come in the order given (the first instruction's
// bytes in address order).
TEST_F(GuestRunTest, PrintsTheFinalStateAsOneJsonLine) {
  const std::vector<std::pair<int, Reg128>> regs = {
      {0, {5, 0}},          {2, {0xab, 42}},   {4, {0, 41}},    {5, {1, 0xFEDC}},
      {6, {0, 0x44}},       {7, {0, 0x30}},    {8, {0, ~0ULL}}, {29, {0, 0x70000010}},
      {32, {0x11, 0xFEDC}}, {33, {0x33, 0x44}}};
  expectState(runCode("daddiu $2, $4, 1; mthi $5; mflo $6; mfsa $7; sw $2, 0($29)",
                      "--gpr a0=41 --gpr 2=0xab:0 --gpr '$a1=1:0xFEDC' --hi 0x11:0x22"
                      " --lo 0x33:0x44 --sa 0x30 --gpr sp=0x70000010 --gpr zero=5:7"
                      " --gpr '$t0=18446744073709551615' --dump 0x70000010:6 --dump 0x100000:4"
                      " --dump 0x200000:0 --until 1048596"),
              {5, 0x100014, regs, 0x30,
               R"({"addr":"0x70000010","hex":"2a0000000000"},)"
               R"({"addr":"0x00100000","hex":"01008264"},{"addr":"0x00200000","hex":""})"});
}

// --until is tested after each step: a loop back to the start stops after the second step.
// Exactly --max-steps steps may run. Code fits the last 16 bytes of the scratchpad, and of RAM
// (through a mirror).
TEST_F(GuestRunTest, StopsAtUntilOrAfterMaxSteps) {
  code("loop.bin", "0: addiu $8, $8, 1; beq $0, $0, 0b; nop");
  expectState(run("--load 0x70003ff0 loop.bin --pc 0x70003ff0 --until 0x70003ff0"),
              {2, 0x70003ff0, {{8, {0, 1}}}});
  code("three.bin", "addiu $8, $8, 1; addiu $8, $8, 2; addiu $8, $8, 4");
  expectState(run("--load 0x81fffff0 three.bin --pc 0x1fffff0 --until 0x1fffffc --max-steps 3"),
              {3, 0x1fffffc, {{8, {0, 7}}}});
}

// A guest fault: the interpreter's message on stdout, exit status 1. Too many steps (3): a message
// on stderr and the state where it stopped. A bad command line (2): a message on stderr, nothing
// on stdout.
TEST_F(GuestRunTest, ExitStatusAndMessages) {
  code("load.bin", "lw $8, 0($9)");
  State noSteps{0, 0x100000};
  noSteps.vf[0][3] = 0;  // no step has reset VF0 yet
  write("big.bin", std::string(4097, '\0'));
  std::vector<std::tuple<std::string, int, std::string>> cases = {
      {"--load 0x100000 load.bin --gpr t1=0x40000000", 1, "Access to unmapped memory 40000000\n"},
      {"--pc 0x100000 --until 0x100008 --max-steps 1", 3, State{1, 0x100004}.json()},
      {"--max-steps 0", 3, noSteps.json()}};
  // Bad command lines (load.bin is 16 bytes long), mostly files that cannot be used (the parser's
  // own refusals are tested in process); "--pc 0x100000 --until 0x100004" is added unless either
  // is named.
  std::istringstream bad(
      "--until 0x100004|--pc 0x100000 --until|--frobnicate|--load 0x01fffff1 load.bin|"
      "--load 0x70003ff1 load.bin|--load 0x40000000 load.bin|--load 0x100000 missing.bin|"
      "--dump 0x01fffffc:8|--micro big.bin|--vu-data big.bin|"
      "--load 0x100000 /dev/zero|--micro /dev/zero|--vu-data fifo");
  const bool fifo = makeFifo(dir / "fifo");
  for (std::string line; std::getline(bad, line, '|');) {
    // No /dev/zero and no FIFOs on Windows.
    if (fifo ||
        (line.find("fifo") == std::string::npos && line.find("/dev/") == std::string::npos)) {
      cases.emplace_back(line, 2, "");
    }
  }
  for (auto [args, status, out] : cases) {
    if (args.find("--pc") == std::string::npos && args.find("--until") == std::string::npos) {
      args += " --pc 0x100000 --until 0x100004";
    }
    const Outcome result = run(args);
    EXPECT_EQ(result.status, status) << args;
    EXPECT_EQ(result.out, out) << args;
    EXPECT_EQ(result.err.empty(), status == 1) << args << "\n" << result.err;
  }
}

// What guest-run answers without running the machine. -h, --help and --version print on stdout
// and end the reading of the command line where they stand; a stdout that cannot take the answer
// makes it status 2, with the reason. A usage error, found on the command line or in a file it
// names, is its message on stderr and a pointer to --help. A long option's value may follow an
// '='.
TEST_F(GuestRunTest, AnswersWithoutRunning) {
  const Outcome help = run("--help");
  ASSERT_EQ(help.status, 0);
  const std::string usage = help.out;
  ASSERT_EQ(usage.rfind("Usage: guest-run ", 0), 0u) << usage;
  const std::string version = std::string("guest-run ") + PROJECT_VERSION + "\n";
  const std::string full = "guest-run: cannot write to standard output: No space left on device\n";
  const std::string tryHelp = "\nTry 'guest-run --help' for more information.\n";
  const struct {
    const char* args;
    int status;
    std::string out, err;
  } cases[] = {
      {"-h --frobnicate", 0, usage, ""},
      {"--pc 0x100000 --version --until", 0, version, ""},
      {"--help >/dev/full", 2, "", full},
      {"--version >/dev/full", 2, "", full},
      // The JSON line is all a run makes: a stdout that cannot take it is an error.
      {"--pc 0 --until 4 >/dev/full", 2, "", full},
      {"--pc=0x100000 --until=0x100004 --dump=0:0 --max-steps=1", 0,
       State{1, 0x100004, {}, 0, R"({"addr":"0x00000000","hex":""})"}.json(), ""},
      {"--frobnicate=1 --help", 2, "", "guest-run: unknown argument '--frobnicate'" + tryHelp},
      {"--pc 0 --until 4 --load 0 missing.bin", 2, "",
       "guest-run: cannot open 'missing.bin': No such file or directory" + tryHelp},
      {"--pc 0 --until 4 --dump 0x02000000:1", 2, "",
       "guest-run: dump at 0x02000000 of 1 bytes is not inside RAM or the scratchpad" + tryHelp},
  };
  for (const auto& c : cases) {
    if (kWindows && std::string(c.args).find("/dev/") != std::string::npos)
      continue;  // no /dev/full
    const Outcome result = run(c.args);
    EXPECT_EQ(result.status, c.status) << c.args;
    EXPECT_EQ(result.out, c.out) << c.args;
    EXPECT_EQ(withReasonsOf(result.err, c.err), c.err) << c.args;
  }
}

// The FPU, COP0 and vector-unit options set what the JSON line shows, with what the code did to
// them. VF0 is reset by the step whatever --vf 0 says; micro and data memory take whole files.
TEST_F(GuestRunTest, CoprocessorAndVectorUnitState) {
  write("full.bin", std::string(4096, '\x5A'));
  State state{2, 0x100008, {}, 0, "", {0, 0x3F800000, 0x40000000, 0x40400000}, 1};
  state.fpr[31] = 0xFFFFFFFF;
  state.cop0[12] = 0xFFFF;
  state.cop0[14] = 0x8000000000000001;
  const uint32_t vf1[4] = {1, 2, 3, 4}, vf31[4] = {0x3F800000, 0, 0, 0xFFFFFFFF};
  std::copy(vf1, vf1 + 4, state.vf[1]);
  std::copy(vf31, vf31 + 4, state.vf[31]);
  expectState(runCode("add.s $f3, $f1, $f2; di",
                      "--fpr 1=0x3f800000 --fpr 2=1073741824 --fpr 31=0xffffffff --fcc 1"
                      " --cop0 12=0xffffffff0001ffff --cop0 14=0x8000000000000001"
                      " --vf 1=1,2,3,0x4 --vf 31=0x3f800000,0,0,0xffffffff --vf 0=5,6,7,8"
                      " --micro full.bin --vu-data full.bin --until 0x100008"),
              state);
}

// 0x1000F180 is the serial port's transmit register: every byte stored there is printed before
// the JSON line, which starts on a line of its own.
TEST_F(GuestRunTest, GuestOutputComesFirstAndEndsWithALineFeed) {
  const std::string a = "lui $8, 0x1001; addiu $9, $0, 0x41; sb $9, -0xe80($8)";
  expectState(runCode(a, "--until 0x10000c"), {3, 0x10000c, {{8, {0, 0x10010000}}, {9, {0, 0x41}}}},
              "A\n");
  expectState(runCode(a + "; addiu $9, $0, 10; sb $9, -0xe80($8)", "--until 0x100014"),
              {5, 0x100014, {{8, {0, 0x10010000}}, {9, {0, 10}}}}, "A\n");
  expectState(runCode("addiu $3, $0, 122; syscall", "--until 0x100008"),
              {2, 0x100008, {{2, {0, 255}}, {3, {0, 122}}}}, "SYSCALL[122]\n");
}

// --trace: one line on stderr per instruction before it runs, taken branches' and jumps' delay
// slots included, skipped slots not; each line is what objdump prints for the same bytes at the
// same address. The refused word that ends the run has its line before the fault.
TEST_F(GuestRunTest, TraceMatchesObjdumpLineByLine) {
  const std::string source =
      "addiu $t0, $zero, 42; sw $t0, 0x100($zero); lw $t1, 0x100($zero); beq $t0, $t1, 1f;"
      " sll $t2, $t0, 2; break; 1: mult1 $t3, $t0, $t1; bgez $t0, 2f; mtc1 $t0, $f2; nop;"
      " 2: add.s $f1, $f2, $f3; qmtc2 $t0, $vf1; vadd.xyz $vf1, $vf2, $vf3; mfc0 $t5, $12;"
      " jal 0x100048; daddu $t6, $t0, $t1; .word 0x4c000000; nop; jr $ra; or $t7, $ra, $zero";
  const Outcome result = runCode(source, "--trace --until 0x100044");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "Unknown opcode family 4C000000!\n");
  const std::vector<uint8_t> bytes = assemble(source);
  const std::map<uint32_t, std::string> texts = objdump(bytes, 0x100000);
  std::string trace;
  for (const uint32_t offset : {0x00, 0x04, 0x08, 0x0C, 0x10, 0x18, 0x1C, 0x20, 0x28, 0x2C, 0x30,
                                0x34, 0x38, 0x3C, 0x48, 0x4C, 0x40}) {
    uint32_t word = 0;
    std::memcpy(&word, &bytes[offset], 4);
    char line[128];
    std::snprintf(line, sizeof line, "%08x  %08x  %s\n", 0x100000 + offset, word,
                  texts.at(0x100000 + offset).c_str());
    trace += line;
  }
  EXPECT_EQ(result.err, trace);
}

}  // namespace
