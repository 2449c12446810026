#include "support/assembler.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>

#include "support/scratch.h"

std::vector<uint8_t> assemble(const std::string& source) {
  static std::map<std::string, std::vector<uint8_t>> cache;
  if (auto it = cache.find(source); it != cache.end()) return it->second;
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
  }
  return bytes;
}

std::map<uint32_t, std::string> objdump(const std::vector<uint8_t>& bytes, uint32_t address) {
  const ScratchFolder dir;
  const std::string path = dir / "code.bin";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  const std::string command =
      "mips64el-linux-gnuabi64-objdump -D -z -b binary -m mips:5900 -EL -M gpr-names=32,no-aliases"
      " --adjust-vma=" +
      std::to_string(address) + " " + path;
  FILE* out = popen(command.c_str(), "r");
  std::map<uint32_t, std::string> texts;
  for (char line[256]; std::fgets(line, sizeof line, out) != nullptr;) {
    unsigned at = 0, word = 0;
    char mnemonic[32] = "", operands[64] = "";
    if (std::sscanf(line, " %x: %x %31s %63s", &at, &word, mnemonic, operands) > 2) {
      texts[at] = std::string(mnemonic) + (operands[0] != '\0' ? " " : "") + operands;
    }
  }
  pclose(out);
  return texts;
}
