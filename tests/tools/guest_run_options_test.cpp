// guest-run's command line read in process: what each option sets, and the exact words of every
// refusal. The runs themselves are tested through the tool (guest_run_test).
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "options.h"

namespace {

CommandLine parse(const std::string& args) {
  std::vector<std::string> words = {"guest-run"};
  std::istringstream in(args);
  for (std::string word; in >> word;) words.push_back(word);
  std::vector<const char*> argv;
  for (const std::string& word : words) argv.push_back(word.c_str());
  return parseCommandLine(static_cast<int>(argv.size()), argv.data());
}

// Registers by name ($ optional, fp as well as s8 for register 30) or number, to the low half or
// UPPER:LOWER; numbers decimal or 0x-hexadecimal; values attached with '='.
TEST(GuestRunOptions, SetWhatTheyName) {
  const CommandLine line = parse(
      "--pc=0x100000 --until 1048596 --gpr a0=41 --gpr 2=0xab:0 --gpr $a1=1:0xFEDC --gpr fp=3 "
      "--gpr s8=4 --gpr zero=5:7 --hi 0x11:0x22 --lo 0x33:0x44 --sa 0x30 --fpr 31=0xFFFFFFFF "
      "--fcc 1 --cop0 12=0x123456789 --vf 1=1,2,3,0x4 --dump 0x70000010:6 --dump=0:0 "
      "--load 0x100 a.bin --micro m.bin --vu-data d.bin --trace --max-steps=7");
  ASSERT_EQ(line.request, Request::kRun) << line.message;
  const Options& o = line.options;
  const std::vector<std::pair<uint32_t, r5900::Reg128>> gprs = {
      {4, {0, 41}}, {2, {0xab, 0}}, {5, {1, 0xFEDC}}, {30, {0, 3}}, {30, {0, 4}}, {0, {5, 7}}};
  ASSERT_EQ(o.gprs.size(), gprs.size());
  for (size_t i = 0; i < gprs.size(); ++i) {
    EXPECT_EQ(o.gprs[i].first, gprs[i].first) << i;
    EXPECT_EQ(o.gprs[i].second.upper, gprs[i].second.upper) << i;
    EXPECT_EQ(o.gprs[i].second.lower, gprs[i].second.lower) << i;
  }
  EXPECT_TRUE(o.hasPc && o.hasUntil && o.hasHi && o.hasLo && o.hasSa && o.hasFcc && o.trace);
  EXPECT_EQ(o.pc, 0x100000u);
  EXPECT_EQ(o.until, 1048596u);
  EXPECT_EQ(o.hi.upper, 0x11u);
  EXPECT_EQ(o.lo.lower, 0x44u);
  EXPECT_EQ(o.sa, 0x30u);
  EXPECT_EQ(o.fprs, (std::vector<std::pair<uint32_t, uint32_t>>{{31, 0xFFFFFFFF}}));
  EXPECT_EQ(o.fcc, 1);
  EXPECT_EQ(o.cop0, (std::vector<std::pair<uint32_t, uint64_t>>{{12, 0x123456789}}));
  ASSERT_EQ(o.vfs.size(), 1u);
  EXPECT_EQ(o.vfs[0].second, (std::array<uint32_t, 4>{1, 2, 3, 4}));
  ASSERT_EQ(o.dumps.size(), 2u);
  EXPECT_EQ(o.dumps[0].address, 0x70000010u);
  EXPECT_EQ(o.dumps[0].length, 6u);
  ASSERT_EQ(o.loads.size(), 1u);
  EXPECT_EQ(o.loads[0].path, "a.bin");
  EXPECT_EQ(o.microPath, "m.bin");
  EXPECT_EQ(o.vuDataPath, "d.bin");
  EXPECT_EQ(o.maxSteps, 7u);
}

// -h, --help and --version answer where they stand, whatever follows them.
TEST(GuestRunOptions, HelpAndVersionEndTheReading) {
  EXPECT_EQ(parse("-h --frobnicate").request, Request::kHelp);
  EXPECT_EQ(parse("--pc 0x100000 --version --until").request, Request::kVersion);
  EXPECT_EQ(parse("--pc 0 --until 4 --help").request, Request::kHelp);
}

TEST(GuestRunOptions, RefusalsInTheirWords) {
  const std::string required = " --pc 0 --until 4";
  const struct {
    std::string args, message;
  } cases[] = {
      {"--until 0x100004", "--pc and --until are required"},
      {"--pc 0x100000", "--pc and --until are required"},
      {"--pc 0x100000 --until", "--until needs a value"},
      {"--pc 12abc --until 4", "bad PC '12abc'"},
      {"--pc 0x0x100000 --until 4", "bad PC '0x0x100000'"},
      {"--pc 0x100000000 --until 4", "PC '0x100000000' does not fit in 32 bits"},
      {"--hi -1" + required, "bad HI value '-1'"},
      {"--gpr t0" + required, "--gpr wants N=VALUE, got 't0'"},
      {"--gpr 32=1" + required, "bad register '32'"},
      {"--gpr t10=1" + required, "bad register 't10'"},
      {"--gpr t0=0x1:" + required, "bad register value ''"},
      {"--gpr t0=0x10000000000000000" + required, "bad register value '0x10000000000000000'"},
      {"--frobnicate" + required, "unknown argument '--frobnicate'"},
      {"--frobnicate=1 --help", "unknown argument '--frobnicate'"},
      {"--trace=1" + required, "--trace takes no value"},
      {"--dump 0x100000" + required, "--dump wants ADDR:LEN, got '0x100000'"},
      {"--fpr 1" + required, "--fpr wants N=BITS, got '1'"},
      {"--fpr 1=0x100000000" + required, "FPR bits '0x100000000' is not a 32-bit value"},
      {"--fpr t0=1" + required, "bad register number in --fpr 't0=1'"},
      {"--fcc 2" + required, "--fcc wants 0 or 1, got '2'"},
      {"--cop0 32=0" + required, "bad register number in --cop0 '32=0'"},
      {"--vf 1=1,2,3" + required, "--vf wants four components X,Y,Z,W, got '1,2,3'"},
      {"--vf 1=1,2,3,4,5" + required, "--vf wants four components X,Y,Z,W, got '1,2,3,4,5'"},
      {"--vf 1=1,2,,4" + required, "bad vector component ''"},
      {"--max-steps 1e3" + required, "bad step count '1e3'"},
  };
  for (const auto& c : cases) {
    const CommandLine line = parse(c.args);
    EXPECT_EQ(line.request, Request::kBadUsage) << c.args;
    EXPECT_EQ(line.message, c.message) << c.args;
  }
  EXPECT_EQ(usageText("x"), "guest-run: x\nTry 'guest-run --help' for more information.\n");
}

}  // namespace
