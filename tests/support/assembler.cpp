#include "support/assembler.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>

#include "support/scratch.h"

// GNU as and objdump run on Linux only. A Linux run with TEST_TOOLS_RECORD=FILE appends each
// question and its answer to FILE; a run elsewhere (the Windows build under Wine) with
// TEST_TOOLS_REPLAY=FILE answers from it. A line is "KIND QUESTION ANSWER", each field in hex.
namespace {
std::string hex(const std::string& text) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : text) out += {kDigits[c >> 4], kDigits[c & 15]};
  return out;
}
std::string unhex(const std::string& text) {
  std::string out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  }
  return out;
}
void record(const char* kind, const std::string& question, const std::string& answer) {
  const char* file = std::getenv("TEST_TOOLS_RECORD");
  if (file == nullptr) return;
  const std::string line = std::string(kind) + " " + hex(question) + " " + hex(answer) + "\n";
  // One write of the whole line, appended: test processes running at once do not interleave.
  if (FILE* out = std::fopen(file, "ab")) {
    std::setvbuf(out, nullptr, _IOFBF, line.size() + 1);
    std::fwrite(line.data(), 1, line.size(), out);
    std::fclose(out);
  }
}
// The recorded answer to `question`, when answers are replayed; nothing otherwise.
std::optional<std::string> replayed(const char* kind, const std::string& question) {
  static const std::map<std::string, std::string>* answers = [] {
    auto* map = new std::map<std::string, std::string>;
    if (const char* file = std::getenv("TEST_TOOLS_REPLAY")) {
      std::ifstream in(file, std::ios::binary);
      for (std::string k, q, a; in >> k >> q >> a;) (*map)[k + " " + q] = unhex(a);
    }
    return map;
  }();
  if (std::getenv("TEST_TOOLS_REPLAY") == nullptr) return std::nullopt;
  const auto found = answers->find(std::string(kind) + " " + hex(question));
  if (found == answers->end()) {
    ADD_FAILURE() << "no recorded answer: run the Linux tests with TEST_TOOLS_RECORD first";
    return std::string();
  }
  return found->second;
}
std::string text(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }
}  // namespace

std::vector<uint8_t> assemble(const std::string& source) {
  static std::map<std::string, std::vector<uint8_t>> cache;
  if (auto it = cache.find(source); it != cache.end()) return it->second;
  if (const std::optional<std::string> answer = replayed("as", source)) {
    return {answer->begin(), answer->end()};
  }
  const ScratchFolder dir;
  std::ofstream(dir / "code.s") << "\t.set noreorder\n\t.set noat\n\t.set gp=64\n\t.text\n"
                                << source << "\n";
  const std::string command =
      "cd " + dir.path().string() +
      " && mips64el-linux-gnuabi64-as -march=r5900 -mabi=32 -EL -o code.o code.s > log 2>&1"
      " && mips64el-linux-gnuabi64-objcopy -O binary -j .text code.o code.bin >> log 2>&1";
  std::vector<uint8_t> bytes;
  if (std::system(command.c_str()) != 0) {
    ADD_FAILURE() << "assembler failed:\n"
                  << std::ifstream(dir / "log").rdbuf() << "\nsource:\n"
                  << source;
  } else {
    std::ifstream in(dir / "code.bin", std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    cache.emplace(source, bytes);
    record("as", source, text(bytes));
  }
  return bytes;
}

std::map<uint32_t, std::string> objdump(const std::vector<uint8_t>& bytes, uint32_t address) {
  // The answer as "ADDRESS TEXT" lines.
  const std::string question = std::to_string(address) + " " + text(bytes);
  std::map<uint32_t, std::string> texts;
  if (const std::optional<std::string> answer = replayed("objdump", question)) {
    std::istringstream lines(*answer);
    for (std::string line; std::getline(lines, line);) {
      const size_t blank = line.find(' ');
      texts[static_cast<uint32_t>(std::stoul(line.substr(0, blank)))] = line.substr(blank + 1);
    }
    return texts;
  }
  const ScratchFolder dir;
  const std::string path = (dir / "code.bin").string();
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  const std::string command =
      "mips64el-linux-gnuabi64-objdump -D -z -b binary -m mips:5900 -EL -M gpr-names=32,no-aliases"
      " --adjust-vma=" +
      std::to_string(address) + " " + path;
  FILE* out = popen(command.c_str(), "r");
  for (char line[256]; std::fgets(line, sizeof line, out) != nullptr;) {
    unsigned at = 0, word = 0;
    char mnemonic[32] = "", operands[64] = "";
    if (std::sscanf(line, " %x: %x %31s %63s", &at, &word, mnemonic, operands) > 2) {
      texts[at] = std::string(mnemonic) + (operands[0] != '\0' ? " " : "") + operands;
    }
  }
  pclose(out);
  std::string answer;
  for (const auto& [at, line] : texts) answer += std::to_string(at) + " " + line + "\n";
  record("objdump", question, answer);
  return texts;
}
