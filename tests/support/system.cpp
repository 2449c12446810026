#include "support/system.h"

#include <cstring>
#include <sstream>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

bool makeFifo(const std::filesystem::path& path) {
#ifdef _WIN32
  static_cast<void>(path);
  return false;
#else
  return mkfifo(path.c_str(), 0666) == 0;
#endif
}

std::string withReasonsOf(const std::string& actual, const std::string& expected) {
  if (!kWindows) return actual;
  const auto lines = [](const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  };
  const auto isReason = [](const std::string& text) {
    for (int e = 1; e < 150; ++e) {
      if (text == std::strerror(e)) return true;
    }
    return false;
  };
  std::vector<std::string> got = lines(actual);
  const std::vector<std::string> want = lines(expected);
  std::string out;
  for (size_t i = 0; i < got.size(); ++i) {
    if (i < want.size() && got[i] != want[i]) {
      const size_t colon = want[i].rfind(": ");
      if (colon != std::string::npos && isReason(want[i].substr(colon + 2)) &&
          got[i].compare(0, colon + 2, want[i], 0, colon + 2) == 0) {
        got[i] = want[i];
      }
    }
    out += got[i] + "\n";
  }
  if (!actual.empty() && actual.back() != '\n') out.pop_back();
  return out;
}
