// Reading one entry as extraction would write it, for front ends that hand entries out one at a
// time (a file object, a file of a mounted tree): the same rules, and extraction's reasons for not
// writing an entry as an EntryError that carries the problem. Absent entries are not errors here:
// a front end says "no such entry" in its own terms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/error.h"
#include "reading/archive.h"
#include "reading/decode_cache.h"
#include "reading/entry.h"
#include "reading/read.h"
#include "reading/source.h"

// Why an entry cannot be read: ErrorKind::EntryProblem, path() the entry's ("models - g/0001.raw"),
// what() "PATH: PROBLEM" in --test's words, or "PATH: out of memory to decode it".
class EntryError : public Error {
 public:
  EntryError(const std::string& path, EntryProblem problem, uint64_t size = 0);
  EntryProblem problem() const { return problem_; }
  // OutOfMemory: the bytes decoding it needed.
  uint64_t size() const { return size_; }

 private:
  EntryProblem problem_;
  uint64_t size_;
};

struct ReadOptions {
  // Refuse an entry that alone expands past the output bound of its archive (see output_bound.h).
  bool outputBound = true;
  // Decode a compressed entry through `cache`, as entry `key` for a read that ends at `end`;
  // without a cache, each call decodes afresh, into buffers of `buffers` (a pool the caller keeps,
  // so that one entry's buffers serve the next) or of its own.
  DecodeCache* cache = nullptr;
  BufferPool* buffers = nullptr;
  uint64_t key = 0;
  uint64_t end = UINT64_MAX;
};

// An entry with data, ready to read: a plain entry read where it lies in the archive, a
// compressed one decoded.
class EntryBytes {
 public:
  const std::string& path() const { return path_; }
  uint64_t size() const { return size_; }
  // A compressed entry's decoded bytes, all size() of them; null for a plain entry.
  const uint8_t* data() const { return decoded_ ? decoded_->data.get() : nullptr; }
  // Up to `n` bytes from `position` into `buffer`: how many (0 at or past the end). Throws
  // EntryError (Incomplete) when the archive ends inside a plain entry: it was cut short since the
  // entry was opened.
  size_t readAt(uint64_t position, uint8_t* buffer, size_t n) const;

 private:
  friend EntryBytes openEntry(const ByteSource&, const EntryDescription&, const std::string&,
                              const ReadOptions&);
  const ByteSource* source_ = nullptr;
  uint64_t offset_ = 0;  // a plain entry's, in the source
  uint64_t size_ = 0;
  std::string path_;
  std::shared_ptr<const LoadedEntry> decoded_;
};

// Entry `d` of `source`, which exists, named `path`. Throws EntryError (NoData; Incomplete for a
// plain entry the source does not hold in full; a compressed entry's decoding problem, OutOfMemory
// among them), and Error (Refused, ErrorHint::LiftOutputBound) for an entry past the output bound.
EntryBytes openEntry(const ByteSource& source, const EntryDescription& d, const std::string& path,
                     const ReadOptions& options = {});
// Entry `entry` of `category`, looked up: nothing when it is absent. Throws as openEntry() above,
// and an Error of kind MachineFault when the machine stops on the lookup.
std::optional<EntryBytes> openEntry(Archive& archive, int32_t category, int32_t entry,
                                    const ReadOptions& options = {});
