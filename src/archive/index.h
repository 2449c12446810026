// Writing the archive index with host code, for the packer and the tests. (Extraction never
// reads the index on the host: the guest lookup routines answer every question about it.)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/format.h"

struct CategoryTable {
  int32_t category;
  std::vector<uint32_t> entryWords;   // entry e's word
  std::vector<uint32_t> groupStarts;  // start sector of group g, relative to sector 500
};

// Builds the index for categories 0..highestCategory (records of categories without a table are
// empty). Returns the bytes, or nothing with `error` set when the tables do not fit.
std::optional<std::vector<uint8_t>> buildArchiveIndex(const std::vector<CategoryTable>& tables,
                                                      int32_t highestCategory, std::string& error);
