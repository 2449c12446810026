#include "support/assembler.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

std::vector<uint8_t> assemble(const std::string& source) {
  static std::map<std::string, std::vector<uint8_t>> cache;
  if (auto it = cache.find(source); it != cache.end()) return it->second;
  char directory[] = "/tmp/guest-asm-XXXXXX";
  if (mkdtemp(directory) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed: " << std::strerror(errno);
    return {};
  }
  const std::filesystem::path dir = directory;
  std::ofstream(dir / "code.s") << "\t.set noreorder\n\t.set noat\n\t.set gp=64\n\t.text\n"
                                << source << "\n";
  const std::string command =
      "cd " + dir.string() +
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
  std::filesystem::remove_all(dir);
  return bytes;
}
