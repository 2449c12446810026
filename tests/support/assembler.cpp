#include "support/assembler.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

namespace {

std::string runCommand(const std::string& command, int& status) {
  std::string output;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    status = -1;
    return output;
  }
  char buffer[4096];
  size_t n = 0;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    output.append(buffer, n);
  }
  status = pclose(pipe);
  return output;
}

}  // namespace

std::vector<uint8_t> assemble(const std::string& source) {
  static std::map<std::string, std::vector<uint8_t>> cache;
  if (auto it = cache.find(source); it != cache.end()) {
    return it->second;
  }
  char directory[] = "/tmp/guest-asm-XXXXXX";
  if (mkdtemp(directory) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed: " << std::strerror(errno);
    return {};
  }
  const std::string base = directory;
  {
    std::ofstream out(base + "/code.s");
    out << "\t.set noreorder\n\t.set noat\n\t.set gp=64\n\t.text\n" << source << "\n";
  }
  int status = 0;
  const std::string log = runCommand("mips64el-linux-gnuabi64-as -march=r5900 -mabi=32 -EL -o " +
                                         base + "/code.o " + base +
                                         "/code.s &&"
                                         " mips64el-linux-gnuabi64-objcopy -O binary -j .text " +
                                         base + "/code.o " + base + "/code.bin",
                                     status);
  std::vector<uint8_t> bytes;
  if (status != 0) {
    ADD_FAILURE() << "assembler failed:\n" << log << "\nsource:\n" << source;
  } else {
    std::ifstream in(base + "/code.bin", std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    cache.emplace(source, bytes);
  }
  std::remove((base + "/code.s").c_str());
  std::remove((base + "/code.o").c_str());
  std::remove((base + "/code.bin").c_str());
  rmdir(directory);
  return bytes;
}

std::vector<uint32_t> assembleWords(const std::string& source) {
  const std::vector<uint8_t> bytes = assemble(source);
  std::vector<uint32_t> words(bytes.size() / 4);
  std::memcpy(words.data(), bytes.data(), words.size() * 4);
  return words;
}
