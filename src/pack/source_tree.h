// The folder the packer reads: "models - X" and "category NNN" folders of NNNN.raw files, laid
// out as archive-extract writes them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

struct SourceTree {
  // The files by category, then by entry number.
  std::map<int32_t, std::map<int32_t, std::filesystem::path>> files;
  std::vector<std::string> skipped;  // "PATH: why", for what is neither
};

// Reads the folder's layout (not the files). Throws HostError when a folder cannot be read.
SourceTree readSourceTree(const std::filesystem::path& source);
