// guest-run end to end: the real binary (path in GUEST_RUN) runs in a scratch directory, and its
// stdout, stderr and exit status are checked against the command-line contract.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "support/assembler.h"
#include "support/child.h"

namespace {

// A register as guest-run prints it: bits 127..0.
std::string r128(uint64_t upper, uint64_t lower) {
  char text[40];
  std::snprintf(text, sizeof text, "\"0x%016" PRIx64 "%016" PRIx64 "\"", upper, lower);
  return text;
}

// A register that is not zero: a GPR, or HI (kHi) or LO (kLo).
struct Reg {
  int index;
  uint64_t upper, lower;
};
constexpr int kHi = 32, kLo = 33;

// The JSON line from "steps" to "mem".
struct State {
  uint64_t steps;
  uint32_t pc;
  std::vector<Reg> regs{};
  uint32_t sa = 0;
  std::string mem{};
  std::string json() const {
    std::string r[34], text;
    for (std::string& value : r) value = r128(0, 0);
    for (const Reg& reg : regs) r[reg.index] = r128(reg.upper, reg.lower);
    char head[64], tail[32];
    std::snprintf(head, sizeof head, R"({"steps":%)" PRIu64 R"(,"pc":"0x%08x","gpr":[)", steps, pc);
    std::snprintf(tail, sizeof tail, R"(,"sa":"0x%08x","mem":[)", sa);
    for (int i = 0; i < 32; ++i) text += (i ? "," : head) + r[i];
    return text + R"(],"hi":)" + r[kHi] + R"(,"lo":)" + r[kLo] + tail + mem + "]";
  }
};

// The fields after "mem": the FPU, COP0 and the vector unit. VF0 reads 0, 0, 0, 1.0 after any
// step.
struct CoprocessorState {
  uint32_t fpr[32]{};
  unsigned fcc = 0;
  uint64_t cop0[32]{};
  uint32_t vf[32][4] = {{0, 0, 0, 0x3F800000}};
  uint32_t acc[4]{};
  uint32_t q = 0;
  uint32_t vi[32]{};
  unsigned mac = 0;
  static std::string words(const uint32_t* values, size_t count) {
    std::string text = "[";
    char item[16];
    for (size_t i = 0; i < count; ++i) {
      std::snprintf(item, sizeof item, "%s\"0x%08x\"", i ? "," : "", values[i]);
      text += item;
    }
    return text + "]";
  }
  std::string json() const {
    char text[64];
    std::snprintf(text, sizeof text, R"(,"fcc":%u,"cop0":[)", fcc);
    std::string result = R"(,"fpr":)" + words(fpr, 32) + text;
    for (int i = 0; i < 32; ++i) {
      std::snprintf(text, sizeof text, "%s\"0x%016" PRIx64 "\"", i ? "," : "", cop0[i]);
      result += text;
    }
    result += R"(],"vf":[)";
    for (int i = 0; i < 32; ++i) result += (i ? "," : "") + words(vf[i], 4);
    std::snprintf(text, sizeof text, R"(,"q":"0x%08x","vi":)", q);
    result += R"(],"acc":)" + words(acc, 4) + text + words(vi, 32);
    std::snprintf(text, sizeof text, R"(,"mac":"0x%04x"})", mac);
    return result + text + "\n";
  }
};

// Expects exit status 0, nothing on stderr, and on stdout `output`, then one JSON line that
// `state` begins (the fields later instruction groups add may follow "mem").
void expectState(const ChildResult& result, const State& state, const std::string& output = "") {
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.err, "");
  const std::string expected = output + state.json();
  EXPECT_EQ(result.out.substr(0, expected.size()), expected);
  EXPECT_TRUE(std::regex_match(result.out.substr(expected.size()), std::regex("(,.*)?\\}\n")))
      << result.out;
}

class GuestRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("GUEST_RUN"), nullptr) << "GUEST_RUN names the guest-run binary";
    ASSERT_NE(mkdtemp(dir_), nullptr);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Assembles `source` (statements separated by ';') into `file`. The assembler pads the code
  // with zero words (no-operations) to a multiple of 16 bytes.
  void code(const std::string& file, const std::string& source) {
    const std::vector<uint8_t> bytes = assemble(source);
    std::ofstream(std::string(dir_) + "/" + file) << std::string(bytes.begin(), bytes.end());
  }
  // Runs guest-run in the scratch directory; the shell splits `args`.
  ChildResult run(const std::string& args) {
    return runInChild([&] {
      execl("/bin/sh", "sh", "-c",
            ("cd " + std::string(dir_) + " && exec \"$GUEST_RUN\" " + args).c_str(), nullptr);
      _exit(127);
    });
  }
  // `source` loaded at 0x100000 and run from there.
  ChildResult runCode(const std::string& source, const std::string& args) {
    code("code.bin", source);
    return run("--load 0x100000 code.bin --pc 0x100000 " + args);
  }

  char dir_[32] = "/tmp/guest-run-test-XXXXXX";
};

TEST_F(GuestRunTest, PrintsTheFinalStateAsOneJsonLine) {
  // The upper halves given on the command line are kept; the dumps come in the order given (the
  // first instruction's bytes in address order).
  const std::vector<Reg> regs = {
      {2, 0xab, 42}, {4, 0, 41},          {5, 1, 0xFEDCBA9876543210},      {6, 0, 0x44},
      {7, 0, 0x30},  {29, 0, 0x70000010}, {kHi, 0x11, 0xFEDCBA9876543210}, {kLo, 0x33, 0x44}};
  expectState(runCode("daddiu $2, $4, 1; mthi $5; mflo $6; mfsa $7; sw $2, 0($29)",
                      "--gpr a0=41 --gpr 2=0xab:0 --gpr '$a1=1:0xFEDCBA9876543210' --hi 0x11:0x22"
                      " --lo 0x33:0x44 --sa 0x30 --gpr sp=0x70000010 --dump 0x70000010:6"
                      " --dump 0x100000:4 --dump 0x200000:0 --until 0x100014"),
              {5, 0x100014, regs, 0x30,
               R"({"addr":"0x70000010","hex":"2a0000000000"},)"
               R"({"addr":"0x00100000","hex":"01008264"},{"addr":"0x00200000","hex":""})"});
}

TEST_F(GuestRunTest, SetsRegistersByNameOrNumberToOneOrTwoHalves) {
  // The code is the all-zero word of fresh guest memory: a no-operation. The low half of $0 is
  // cleared before the step.
  const std::vector<Reg> regs = {{0, 5, 0},      {1, 0, 1},  {3, 0, 0x10}, {8, 0, ~0ULL},
                                 {15, ~0ULL, 0}, {12, 3, 4}, {20, 0, 7},   {16, 0, 1},
                                 {27, 0, 3},     {30, 0, 5}, {31, 0, 6}};
  expectState(run("--pc 0x100000 --until 1048580 --gpr zero=5:7 --gpr at=1 --gpr v1=0x10"
                  " --gpr '$t0=18446744073709551615' --gpr t7=0xFFFFFFFFFFFFFFFF:0 --gpr 12=3:4"
                  " --gpr '$20=7' --gpr s0=1 --gpr k1=3 --gpr fp=5 --gpr ra=6"),
              {1, 0x100004, regs});
}

TEST_F(GuestRunTest, StopsAtUntilTestedAfterEachStepOrAfterMaxSteps) {
  // A loop back to the start: --until at the start stops it after the second step.
  expectState(runCode("0: addiu $8, $8, 1; beq $0, $0, 0b; nop", "--until 0x100000"),
              {2, 0x100000, {{8, 0, 1}}});
  // Exactly --max-steps steps may run.
  expectState(runCode("addiu $8, $8, 1; addiu $8, $8, 2; addiu $8, $8, 4",
                      "--until 0x10000c --max-steps 3"),
              {3, 0x10000c, {{8, 0, 7}}});
}

TEST_F(GuestRunTest, LoadsIntoEachAreaUpToItsLastByte) {
  code("code.bin", "addiu $8, $0, 7; nop; nop; nop");
  // RAM, a mirror of it, the scratchpad.
  for (const char* load : {"0x00100000", "0x80100000", "0x01fffff0", "0x70000000", "0x70003ff0"}) {
    const uint32_t pc = std::stoul(load, nullptr, 16) & 0x7FFFFFFF;
    expectState(run(std::string("--load ") + load + " code.bin --pc " + std::to_string(pc) +
                    " --until " + std::to_string(pc + 16)),
                {4, pc + 16, {{8, 0, 7}}});
  }
}

// A guest fault: the interpreter's message on stdout, exit status 1. Too many steps (3) and a bad
// command line (2): a message on stderr, nothing on stdout.
TEST_F(GuestRunTest, ExitStatusAndMessages) {
  code("load.bin", "lw $8, 0($9)");
  code("dsra.bin", "dsra $8, $9, 1");
  std::ofstream(std::string(dir_) + "/big.bin") << std::string(4097, '\0');
  std::vector<std::tuple<std::string, int, std::string>> cases = {
      {"--load 0x100000 load.bin --gpr t1=0x40000000", 1, "Access to unmapped memory 40000000\n"},
      {"--load 0x100000 dsra.bin", 1, "Unknown special opcode 3B!\n"},
      {"--pc 0x100000 --until 0x100008 --max-steps 1", 3, ""},
      {"--max-steps 0", 3, ""}};
  // Bad command lines (load.bin is 16 bytes long); "--pc 0x100000 --until 0x100004" is added
  // unless either is named.
  std::istringstream bad(
      "--until 0x100004|--pc 0x100000|--pc 0x100000 --until|--pc 12abc --until 4|--hi -1|"
      "--pc 0x0x100000 --until 4|--pc 0x100000000 --until 4|--sa 0x100000000|--gpr t0|"
      "--gpr 32=1|--gpr t10=1|--gpr t0=0x1:|--gpr t0=0x10000000000000000|--max-steps many|"
      "--frobnicate|--load 0x01fffff1 load.bin|--load 0x70003ff1 load.bin|--dump 0x100000|"
      "--load 0x40000000 load.bin|--load 0x100000 missing.bin|--dump 0x01fffffc:8|--fpr 1|"
      "--fpr 32=1|--fpr 1=0x100000000|--fpr t0=1|--fcc 2|--fcc|--cop0 12|--cop0 32=0|"
      "--cop0 1=0x10000000000000000|--vf 1=1,2,3|--vf 1=1,2,3,4,5|--vf 1=1,2,,4|--vf 32=1,2,3,4|"
      "--vf 1=1,2,3,0x100000000|--micro big.bin|--vu-data big.bin|--micro missing.bin");
  for (std::string line; std::getline(bad, line, '|');) cases.emplace_back(line, 2, "");
  for (auto [args, status, out] : cases) {
    if (args.find("--pc") == std::string::npos && args.find("--until") == std::string::npos) {
      args += " --pc 0x100000 --until 0x100004";
    }
    const ChildResult result = run(args);
    EXPECT_EQ(result.exitStatus, status) << args;
    EXPECT_EQ(result.out, out) << args;
    EXPECT_EQ(result.err.empty(), status == 1) << args << "\n" << result.err;
  }
}

// The FPU, COP0 and vector-unit options set what the JSON line shows after "mem", with what the
// code did to them. VF0 is reset by the step whatever --vf 0 says.
TEST_F(GuestRunTest, CoprocessorAndVectorUnitState) {
  std::ofstream(std::string(dir_) + "/full.bin") << std::string(4096, '\x5A');
  const struct {
    const char* source;
    const char* args;
    void (*expect)(CoprocessorState&);
  } cases[] = {{"add.s $f3, $f1, $f2; c.lt.s $f1, $f2",
                "--fpr 1=0x3f800000 --fpr 2=1073741824 --until 0x100008",
                [](CoprocessorState& s) {
                  s.fpr[1] = 0x3F800000;
                  s.fpr[2] = 0x40000000;
                  s.fpr[3] = 0x40400000;
                  s.fcc = 1;
                }},
               {"nop", "--fcc 1 --fpr 31=0xffffffff --until 0x100004",
                [](CoprocessorState& s) {
                  s.fcc = 1;
                  s.fpr[31] = 0xFFFFFFFF;
                }},
               {"c.eq.s $f0, $f1", "--fcc 0 --fpr 1=0x80000000 --until 0x100004",
                [](CoprocessorState& s) {
                  s.fcc = 1;
                  s.fpr[1] = 0x80000000;
                }},
               {"di", "--cop0 12=0xffffffff0001ffff --cop0 14=0x8000000000000001 --until 0x100004",
                [](CoprocessorState& s) {
                  s.cop0[12] = 0xFFFF;
                  s.cop0[14] = 0x8000000000000001;
                }},
               {"nop",
                "--vf 1=1,2,3,0x4 --vf 31=0x3f800000,0,0,0xffffffff --vf 0=5,6,7,8 --micro full.bin"
                " --vu-data full.bin --until 0x100004",
                [](CoprocessorState& s) {
                  const uint32_t vf1[4] = {1, 2, 3, 4}, vf31[4] = {0x3F800000, 0, 0, 0xFFFFFFFF};
                  std::copy(vf1, vf1 + 4, s.vf[1]);
                  std::copy(vf31, vf31 + 4, s.vf[31]);
                }}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const ChildResult result = runCode(c.source, c.args);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    CoprocessorState expected;
    c.expect(expected);
    const size_t at = result.out.find(R"(],"fpr":)");
    ASSERT_NE(at, std::string::npos) << result.out;
    EXPECT_EQ(result.out.substr(at + 1), expected.json());
  }
}

TEST_F(GuestRunTest, GuestOutputComesFirstAndEndsWithALineFeed) {
  // 0x1000F180 is the serial port's transmit register: every byte stored there is printed.
  const std::string a = "lui $8, 0x1001; addiu $9, $0, 0x41; sb $9, -0xe80($8)";
  expectState(runCode(a, "--until 0x10000c"), {3, 0x10000c, {{8, 0, 0x10010000}, {9, 0, 0x41}}},
              "A\n");
  expectState(runCode(a + "; addiu $9, $0, 10; sb $9, -0xe80($8)", "--until 0x100014"),
              {5, 0x100014, {{8, 0, 0x10010000}, {9, 0, 10}}}, "A\n");
  expectState(runCode("addiu $3, $0, 122; syscall", "--until 0x100008"),
              {2, 0x100008, {{2, 0, 255}, {3, 0, 122}}}, "SYSCALL[122]\n");
}

}  // namespace
