#include "pack/source_tree.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "archive/categories.h"

namespace fs = std::filesystem;

namespace {

// Calls `each` for every item of `folder`; false with `error` set when it cannot be read.
template <typename Each>
bool list(const fs::path& folder, std::string& error, Each each) {
  std::error_code code;
  fs::directory_iterator it(folder, code);
  for (; !code && it != fs::directory_iterator(); it.increment(code)) {
    if (!each(*it)) return false;
  }
  if (code) error = "cannot read the folder " + folder.string() + ": " + code.message();
  return !code;
}

}  // namespace

bool readSourceTree(const fs::path& source, SourceTree& tree, std::string& error) {
  std::error_code code;
  if (!fs::is_directory(source, code)) {
    error = source.string() + " is not a folder";
    return false;
  }
  return list(source, error, [&](const fs::directory_entry& item) {
    const std::optional<int32_t> category = categoryOfFolder(item.path().filename().string());
    std::error_code kind;
    if (!category || !item.is_directory(kind)) {
      tree.skipped.push_back(item.path().string() + ": not a category folder");
      return true;
    }
    auto& files = tree.files[*category];
    return list(item.path(), error, [&](const fs::directory_entry& file) {
      std::error_code fileKind;
      const std::optional<int32_t> entry = entryOfFileName(file.path().filename().string());
      if (!entry || !file.is_regular_file(fileKind)) {
        tree.skipped.push_back(file.path().string() + ": not an NNNN.raw file");
      } else {
        files[*entry] = file.path();
      }
      return true;
    });
  });
}

bool readWholeFile(const fs::path& path, std::vector<uint8_t>& bytes, std::string& error) {
  FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) {
    error = "cannot read " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  bytes.clear();
  uint8_t buffer[1 << 16];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;) {
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  const int failure = std::ferror(in) != 0 ? errno : 0;
  std::fclose(in);
  if (failure != 0) error = "cannot read " + path.string() + ": " + std::strerror(failure);
  return failure == 0;
}
