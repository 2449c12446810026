// The journal of an in-place update: the bytes to write into the archive (the sectors rewritten in
// place, then the new index), written and flushed beside the archive before any byte the old
// index uses is touched, so that a run stopped at any moment leaves either the old archive or a
// whole journal that completes the new one.
//
// Layout (little-endian): "ARCHJRNL", a 32-bit version (2) and a 32-bit record count; the archive
// it belongs to: its 64-bit device, inode and size when the journal was written, and a 64-bit
// FNV-1a checksum of each 512 bytes of its old index (320 of them); each record a 64-bit archive
// offset, a 32-bit length and the bytes, the last one the whole new index; then a 64-bit FNV-1a
// checksum of all that and "JRNLDONE". A journal that does not end so, or whose checksum differs,
// is incomplete.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/file.h"

// One write the journal carries, `size()` bytes at archive offset `offset`: `bytes` (which the
// caller keeps), then `copied` bytes of the archive at `from` (zeros past its end), then `zeros`
// zero bytes. The journal holds them all, so that applying it needs nothing else.
struct JournalRecord {
  uint64_t offset;
  std::span<const uint8_t> bytes;
  uint64_t copied = 0;
  uint64_t from = 0;
  uint64_t zeros = 0;
  uint64_t size() const { return bytes.size() + copied + zeros; }
};

// The journal lies beside the archive's real file: journalPath() of reading/archive.h.

// Writes the whole journal of `archive` (open, at the size it has until the journal is applied,
// its old index `oldIndex`) as a new file at `path`, a piece at a time, and flushes it and its
// folder. Throws
// Error (and removes what it wrote) when it cannot; a name already there is left alone.
void writeJournal(const std::string& path, const FileHandle& archive,
                  const std::vector<uint8_t>& oldIndex, const std::vector<JournalRecord>& records);

// The most bytes a journal of an archive of `archiveSize` bytes can hold.
uint64_t journalSizeCap(uint64_t archiveSize);

enum class JournalState : uint8_t {
  Absent,
  Incomplete,   // discarded
  Complete,     // applied
  NotAFile,     // not a regular file: discarded
  TooLarge,     // more than journalSizeCap(): discarded unread
  OutOfBounds,  // a record outside what the journal's new index may rewrite: discarded
};

// Writes the records of the complete journal at `path` into the archive in order, and flushes it.
// Throws Error("WHAT: reason").
void applyJournal(const FileHandle& archive, const std::string& path, const std::string& what);

// Deals with a journal left beside the archive by a stopped update: a complete one is applied
// and removed, any other removed. `archive` is the archive open for writing, under the update
// lock. Returns what it found; throws Error when it cannot, and when the journal belongs to
// another file than `archive` (it is then left where it is).
JournalState recoverJournal(const FileHandle& archive, const std::string& realPath);
