// The archive the extract and inspect targets make of their input, in memory (a memfd), and the
// entries they sweep: the first kFuzzEntries of each of the eleven model categories (one group of
// 16 and two entries of the next).
//
// Input: the first kIndexPart bytes, repeated to fill the 0x28000-byte index so that any table
// offset lands on fuzzed bytes; the rest is the data from sector 500 on.
//
// Sizes are cut (mapping and poisoning the megabyte buffers random sizes claim would take nearly
// all the time): swept EntryWords to plain lengths below 64 KiB and compressed sizes of at most
// 1023 units and 31 sectors, compressed headers to below 256 KiB. withinCutSizes() tells the
// entries whose EntryWord lies outside the index and keeps its size.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "archive/categories.h"
#include "archive/format.h"
#include "cpu/fault.h"
#include "cpu/machine_state.h"
#include "guest/bridge.h"
#include "reading/archive.h"
#include "reading/entry.h"
#include "reading/selection.h"

constexpr size_t kIndexPart = 0x800;
constexpr int32_t kFuzzEntries = 18;

constexpr uint32_t kCutEntrySize = 64 << 10;

// False for an entry that claims more than a cut EntryWord can.
constexpr bool withinCutSizes(const EntryDescription& d) {
  return d.kind == EntryKind::Plain        ? d.length < kCutEntrySize
         : d.kind == EntryKind::Compressed ? d.inputBufferSize() <= kCutEntrySize
                                           : true;
}

class FuzzArchive {
 public:
  // Makes the archive of `data` and opens it.
  Archive& load(const uint8_t* data, size_t size) {
    if (fd_ < 0) fd_ = memfd_create("fuzz-archive", MFD_CLOEXEC);
    if (fd_ < 0 || ftruncate(fd_, 0) != 0) std::abort();
    const size_t part = std::min(size, kIndexPart);
    index_.assign(kArchiveIndexSize, 0);
    for (size_t at = 0; part > 0 && at < index_.size(); at += part) {
      std::memcpy(index_.data() + at, data, std::min(part, index_.size() - at));
    }
    cutEntryWords();
    put(index_.data(), index_.size(), kArchiveIndexOffset);
    size_ = kMinimumArchiveSize;
    if (size > kIndexPart) {
      put(data + kIndexPart, size - kIndexPart, kDataStart);
      size_ = kDataStart + (size - kIndexPart);
    }
    archive_.reset();
    archive_ = Archive::fromFile(FileHandle(dup(fd_)), "fuzz-archive");
    return *archive_;
  }
  const Archive& archive() const { return *archive_; }
  uint64_t size() const { return size_; }  // bytes in the archive

  // The swept entries in sweep order, up to a fault of the emulated machine (which ends a sweep
  // of the tool too), with the sizes in the compressed entries' headers cut.
  std::vector<SweptEntry> sweep() {
    std::vector<SweptEntry> entries;
    Selection selection;
    selection.restrictEntries("0-" + std::to_string(kFuzzEntries - 1));
    Sweep sweep = archive_->entries(selection);
    try {
      while (const std::optional<SweptEntry> e = sweep.next()) entries.push_back(*e);
    } catch (const Error& fault) {
      if (fault.kind() != ErrorKind::MachineFault) throw;
    }
    for (const SweptEntry& swept : entries) {
      if (swept.description.kind == EntryKind::Compressed) cutHeader(swept.description.offset);
    }
    return entries;
  }

 private:
  uint32_t field(uint32_t offset, int width) const {
    uint32_t value = 0;
    for (int i = 0; i < width; ++i) value |= uint32_t{index_[offset + i]} << (8 * i);
    return value;
  }
  // The EntryWords of the swept entries where the lookup routines read them: at the guest address
  // of the index plus the entry table's offset plus 4 × entry, when that lands inside the index
  // through any of the RAM windows.
  void cutEntryWords() {
    constexpr uint32_t kPlainKeep = 0x3FFFF;  // lengths below 64 KiB
    constexpr uint32_t kCompressedKeep =
        ~(0xFFu << 24 | 0xFFu << 6);  // sectors 5-12, units 10-17 go
    for (const ModelCategory& row : kModelCategories) {
      if (index_[kHighestCategoryOffset] < row.category) continue;
      const uint32_t record =
          kCategoryRecordsOffset + kCategoryRecordSize * static_cast<uint32_t>(row.category);
      const uint32_t table = field(record + 4, 4);
      const uint32_t count = std::min<uint32_t>(field(record + 8, 2), kFuzzEntries);
      for (uint32_t e = 0; e < count; ++e) {
        const uint32_t address = kGuestIndexAddress + table + 4 * e;
        if (!r5900::isRamAccess(address, 4)) continue;
        const uint32_t at = (address & r5900::kRamMask) - kGuestIndexAddress;
        if (at > kArchiveIndexSize - 4) continue;
        uint32_t word = field(at, 4);
        if (!isPlainWord(word)) {
          word &= kCompressedKeep;
        } else if (plainLength(word) != kNoDataLength) {
          word &= kPlainKeep;
        }
        for (int i = 0; i < 4; ++i) index_[at + i] = static_cast<uint8_t>(word >> (8 * i));
      }
    }
  }
  // The expanded size of the header at `offset` below 256 KiB (bits 18-24 of the word at 8).
  void cutHeader(uint64_t offset) {
    uint8_t bytes[2];
    if (offset < kDataStart || offset + kShortHeaderSize > size_) return;
    if (pread(fd_, bytes, 2, static_cast<off_t>(offset + 10)) != 2) std::abort();
    bytes[0] &= 0x03;
    bytes[1] &= 0xFE;
    put(bytes, 2, offset + 10);
  }
  void put(const uint8_t* bytes, size_t size, uint64_t offset) {
    if (pwrite(fd_, bytes, size, static_cast<off_t>(offset)) != static_cast<ssize_t>(size)) {
      std::abort();
    }
  }
  int fd_ = -1;
  std::unique_ptr<Archive> archive_;
  std::vector<uint8_t> index_;
  uint64_t size_ = 0;
};
