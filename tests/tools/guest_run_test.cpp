// guest-run end to end: the real binary (path in GUEST_RUN) runs in a scratch directory, and its
// stdout, stderr and exit status are checked against the command-line contract.
#include <gtest/gtest.h>
#include <unistd.h>

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

const std::string kZero = "0000000000000000";
// A register as guest-run prints it: "0x", bits 127..64, bits 63..0.
std::string reg128(const std::string& upper, const std::string& lower) {
  return "0x" + upper + lower;
}

class GuestRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tool = std::getenv("GUEST_RUN");
    ASSERT_NE(tool, nullptr) << "GUEST_RUN names the guest-run binary";
    tool_ = tool;
    char directory[] = "/tmp/guest-run-test-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    dir_ = directory;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void writeFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::ofstream(dir_ + "/" + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  // Assembles `source` into `name`, cut to its `words` instructions (the assembler pads .text).
  std::vector<uint8_t> writeCode(const std::string& name, const std::string& source, size_t words) {
    std::vector<uint8_t> bytes = assemble(source);
    bytes.resize(words * 4);
    writeFile(name, bytes);
    return bytes;
  }

  // Runs guest-run with `line` split at spaces into arguments.
  ChildResult run(const std::string& line) {
    std::vector<std::string> args;
    std::istringstream words(line);
    for (std::string word; std::getline(words, word, ' ');) args.push_back(word);
    return runInChild([&] {
      std::vector<char*> argv{tool_.data()};
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      if (chdir(dir_.c_str()) == 0) execv(tool_.c_str(), argv.data());
      _exit(127);
    });
  }

  std::string tool_, dir_;
};

// Expects a clean exit and stdout made of `prefix` and one JSON line of the contract's shape
// (later fields may follow "mem"); returns that line.
std::string jsonAfter(const ChildResult& result, const std::string& prefix = "") {
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  EXPECT_EQ(result.err, "");
  const std::string& out = result.out;
  if (out.size() <= prefix.size() || out.compare(0, prefix.size(), prefix) != 0 ||
      out.back() != '\n') {
    ADD_FAILURE() << "stdout is not '" << prefix << "' and a line:\n" << out;
    return {};
  }
  std::string json = out.substr(prefix.size(), out.size() - prefix.size() - 1);
  const std::string r = R"("0x[0-9a-f]{32}")";
  const std::string mem = R"(\{"addr":"0x[0-9a-f]{8}","hex":"([0-9a-f]{2})*"\})";
  const std::regex shape(R"(\{"steps":[0-9]+,"pc":"0x[0-9a-f]{8}","gpr":\[()" + r + ",){31}" + r +
                         R"(\],"hi":)" + r + R"(,"lo":)" + r +
                         R"(,"sa":"0x[0-9a-f]{8}","mem":\[()" + mem + "(," + mem +
                         R"()*)?\](,.*)?\})");
  EXPECT_TRUE(std::regex_match(json, shape)) << json;
  return json;
}

std::string field(const std::string& json, const std::string& key) {
  std::smatch m;
  return std::regex_search(json, m, std::regex("\"" + key + "\":\"?([0-9a-fx]*)")) ? m[1].str()
                                                                                   : "";
}

std::string gpr(const std::string& json, int index) {
  const size_t start = json.find("\"gpr\":[") + 8 + static_cast<size_t>(index) * 37;
  return start + 34 <= json.size() ? json.substr(start, 34) : "";
}

TEST_F(GuestRunTest, PrintsTheFinalStateAsOneJsonLine) {
  const std::vector<uint8_t> code =
      writeCode("code.bin", "daddiu $2, $4, 1\n mthi $5\n mflo $6\n mfsa $7\n sw $2, 0($29)\n", 5);
  const std::string json = jsonAfter(
      run("--load 0x100000 code.bin --gpr a0=41 --gpr 2=0xab:0 --gpr $a1=1:0xFEDCBA9876543210"
          " --hi 0x11:0x22 --lo 0x33:0x44 --sa 0x30 --gpr sp=0x70000010 --dump 0x70000010:6"
          " --dump 0x100000:4 --dump 0x200000:0 --pc 0x100000 --until 0x100014"));
  EXPECT_EQ(field(json, "steps"), "5");
  EXPECT_EQ(field(json, "pc"), "0x00100014");
  EXPECT_EQ(gpr(json, 0), reg128(kZero, kZero));
  EXPECT_EQ(gpr(json, 2), reg128("00000000000000ab", "000000000000002a"));  // upper half kept
  EXPECT_EQ(gpr(json, 5), reg128("0000000000000001", "fedcba9876543210"));
  EXPECT_EQ(gpr(json, 6), reg128(kZero, "0000000000000044"));
  EXPECT_EQ(gpr(json, 7), reg128(kZero, "0000000000000030"));
  EXPECT_EQ(gpr(json, 29), reg128(kZero, "0000000070000010"));
  EXPECT_EQ(gpr(json, 31), reg128(kZero, kZero));
  EXPECT_EQ(field(json, "hi"), reg128("0000000000000011", "fedcba9876543210"));
  EXPECT_EQ(field(json, "lo"), reg128("0000000000000033", "0000000000000044"));
  EXPECT_EQ(field(json, "sa"), "0x00000030");
  char codeHex[9];
  std::snprintf(codeHex, sizeof codeHex, "%02x%02x%02x%02x", code[0], code[1], code[2], code[3]);
  EXPECT_NE(json.find(R"("mem":[{"addr":"0x70000010","hex":"2a0000000000"},)"
                      R"({"addr":"0x00100000","hex":")" +
                      std::string(codeHex) + R"("},{"addr":"0x00200000","hex":""}])"),
            std::string::npos)
      << json;
}

TEST_F(GuestRunTest, AcceptsRegisterNamesAndNumberForms) {
  struct Case {
    const char* option;
    int index;
    std::string upper, lower;
  };
  const Case cases[] = {{"at=1", 1, kZero, "0000000000000001"},
                        {"v1=0x10", 3, kZero, "0000000000000010"},
                        {"$t0=18446744073709551615", 8, kZero, "ffffffffffffffff"},
                        {"t7=0xFFFFFFFFFFFFFFFF:0", 15, "ffffffffffffffff", kZero},
                        {"12=3:4", 12, "0000000000000003", "0000000000000004"},
                        {"$20=0x7", 20, kZero, "0000000000000007"},
                        {"s0=0x1", 16, kZero, "0000000000000001"},
                        {"k1=0x3", 27, kZero, "0000000000000003"},
                        {"fp=0x5", 30, kZero, "0000000000000005"},
                        {"ra=0x6", 31, kZero, "0000000000000006"}};
  // Guest memory starts zeroed, so the code is one all-zero word: a no-operation.
  std::string args = "--pc 0x100000 --until 1048580";
  for (const Case& c : cases) args += std::string(" --gpr ") + c.option;
  const std::string json = jsonAfter(run(args));
  for (const Case& c : cases) EXPECT_EQ(gpr(json, c.index), reg128(c.upper, c.lower)) << c.option;
}

TEST_F(GuestRunTest, StopsAtUntilTestedAfterEachStep) {
  // Looping back to the start: --until at the start address stops after the second step.
  writeCode("loop.bin", "0: addiu $8, $8, 1\n beq $0, $0, 0b\n nop\n", 3);
  std::string json = jsonAfter(run("--load 0x100000 loop.bin --pc 0x100000 --until 0x100000"));
  EXPECT_EQ(field(json, "steps"), "2");
  EXPECT_EQ(gpr(json, 8), reg128(kZero, "0000000000000001"));
  // Exactly --max-steps steps are allowed.
  writeCode("three.bin", "addiu $8, $8, 1\n addiu $8, $8, 1\n addiu $8, $8, 1\n", 3);
  json = jsonAfter(run("--load 0x100000 three.bin --pc 0x100000 --until 0x10000c --max-steps 3"));
  EXPECT_EQ(field(json, "steps"), "3");
}

TEST_F(GuestRunTest, LoadsIntoEveryAreaUpToItsLastByte) {
  writeCode("code.bin", "addiu $8, $0, 7\n nop\n", 2);
  for (const auto& [load, pc, until] :
       {std::tuple{"0x00100000", "0x00100000", "0x00100004"},
        {"0x80100000", "0x00100000", "0x00100004"},  // through a mirror of RAM
        {"0x01fffff8", "0x01fffff8", "0x01fffffc"},
        {"0x70000000", "0x70000000", "0x70000004"},
        {"0x70003ff8", "0x70003ff8", "0x70003ffc"}}) {
    const std::string json = jsonAfter(
        run(std::string("--load ") + load + " code.bin --pc " + pc + " --until " + until));
    EXPECT_EQ(gpr(json, 8), reg128(kZero, "0000000000000007")) << load;
    EXPECT_EQ(field(json, "pc"), until) << load;
  }
}

// Guest faults (exit 1, the interpreter's message on stdout), too many steps (exit 3) and bad
// command lines (exit 2) print no JSON; the last two explain themselves on stderr.
TEST_F(GuestRunTest, ExitStatusAndMessages) {
  writeFile("eight.bin", std::vector<uint8_t>(8));
  writeCode("load.bin", "lw $8, 0($9)\n", 1);
  writeCode("pref.bin", "pref 0, 0($0)\n", 1);
  writeCode("dsra.bin", "dsra $8, $9, 1\n", 1);
  writeCode("three.bin", "addiu $8, $8, 1\n addiu $8, $8, 1\n addiu $8, $8, 1\n", 3);
  writeCode("spin.bin", "0: beq $0, $0, 0b\n nop\n", 2);
  // "--pc 0x100000 --until 0x100004" is added unless either is named.
  struct Case {
    const char* args;
    int exitStatus;
    const char* out = "";
  };
  std::vector<Case> cases = {
      {"--load 0x100000 load.bin --gpr t1=0x40000000", 1, "Access to unmapped memory 40000000\n"},
      {"--load 0x100000 pref.bin", 1, "Unknown opcode family CC000000!\n"},
      {"--load 0x100000 dsra.bin", 1, "Unknown special opcode 3B!\n"},
      {"--pc 0x40000000 --until 0", 1, "Access to unmapped memory 40000000\n"},
      {"--load 0x100000 three.bin --pc 0x100000 --until 0x10000c --max-steps 2", 3},
      {"--load 0x100000 spin.bin --max-steps 1000", 3},
      {"--max-steps 0", 3}};
  static constexpr const char* kBad[] = {"--until 0x100004",
                                         "--pc 0x100000",
                                         "--pc 0x10zz --until 4",
                                         "--pc 12abc --until 4",
                                         "--pc 0x0x100000 --until 4",
                                         "--pc \t1048576 --until 4",
                                         "--pc 0x100000000 --until 4",
                                         "--pc 0x100000 --until",
                                         "--gpr t0=abc",
                                         "--gpr t0",
                                         "--gpr 32=1",
                                         "--gpr t10=1",
                                         "--gpr t0=0x1:",
                                         "--gpr t0=0x10000000000000000",
                                         "--hi -1",
                                         "--sa 0x100000000",
                                         "--max-steps many",
                                         "--frobnicate",
                                         "--load 0x01fffffc eight.bin",
                                         "--load 0x70003ffc eight.bin",
                                         "--load 0x40000000 eight.bin",
                                         "--load 0x100000 missing.bin",
                                         "--dump 0x10000000:4",
                                         "--dump 0x100000"};
  for (const char* bad : kBad) cases.push_back({bad, 2});
  for (const Case& c : cases) {
    std::string args = c.args;
    if (args.find("--pc") == std::string::npos && args.find("--until") == std::string::npos) {
      args += " --pc 0x100000 --until 0x100004";
    }
    const ChildResult result = run(args);
    EXPECT_EQ(result.exitStatus, c.exitStatus) << c.args;
    EXPECT_EQ(result.out, c.out) << c.args;
    EXPECT_EQ(result.err.empty(), c.exitStatus == 1) << c.args << "\n" << result.err;
  }
}

TEST_F(GuestRunTest, GuestOutputPrecedesTheJsonOnALineOfItsOwn) {
  struct Case {
    const char* source;
    size_t words;
    const char* until;
    const char* output;
    std::string v0;
  };
  // 0x1000F180 is the serial port's transmit register: every byte stored there is printed.
  const Case cases[] = {
      {"lui $8, 0x1001\n addiu $9, $0, 0x41\n sb $9, -0xe80($8)\n", 3, "0x10000c", "A\n", kZero},
      {"lui $8, 0x1001\n addiu $9, $0, 0x41\n sb $9, -0xe80($8)\n addiu $9, $0, 10\n"
       " sb $9, -0xe80($8)\n",
       5, "0x100014", "A\n", kZero},
      {"addiu $3, $0, 122\n syscall\n", 2, "0x100008", "SYSCALL[122]\n", "00000000000000ff"},
      {"addiu $3, $0, 117\n syscall\n", 2, "0", "SYSCALL[117]\nPRINT!\n", kZero},
  };
  for (const Case& c : cases) {
    writeCode("out.bin", c.source, c.words);
    const std::string json = jsonAfter(
        run(std::string("--load 0x100000 out.bin --pc 0x100000 --until ") + c.until), c.output);
    EXPECT_EQ(field(json, "steps"), std::to_string(c.words)) << c.source;
    EXPECT_EQ(gpr(json, 2), reg128(kZero, c.v0)) << c.source;
  }
}

}  // namespace
