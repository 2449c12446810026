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

// Reading and editing an index in place, as the packer's update does: only the EntryWords and
// group starts it sets change; every other byte stays as it was. Tables that do not lie wholly
// inside the index bytes cannot be edited, and are reported as such.
class IndexEditor {
 public:
  explicit IndexEditor(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  // The categories the lookup routines accept: 0 up to this value.
  int32_t highestCategory() const { return bytes_[kHighestCategoryOffset]; }
  // Entries in category c (0 when c is not accepted).
  uint32_t entryCount(int32_t category) const;
  // True when category c's group-start table and entry table lie inside the index, so that
  // the values below are the ones the lookup routines read.
  bool tablesInside(int32_t category) const;

  // Entry e's EntryWord and group g's 24-bit start value (bits 2..23 the sector counted from
  // sector 500, bits 0 and 1 unused); both need tablesInside() and e, g within the count.
  uint32_t entryWord(int32_t category, uint32_t entry) const;
  void setEntryWord(int32_t category, uint32_t entry, uint32_t word);
  uint32_t groupStartValue(int32_t category, uint32_t group) const;
  void setGroupStartValue(int32_t category, uint32_t group, uint32_t value);

  // Where entry e starts, in sectors counted from the start of the file: its group's start plus
  // the sectors of the entries before it in the group, as the lookup routines walk it.
  uint64_t entrySector(int32_t category, uint32_t entry) const;

 private:
  uint32_t field(uint32_t offset, int width) const;
  void setField(uint32_t offset, uint32_t value, int width);
  uint32_t record(int32_t category) const {
    return kCategoryRecordsOffset + kCategoryRecordSize * static_cast<uint32_t>(category);
  }
  std::vector<uint8_t> bytes_;
};
