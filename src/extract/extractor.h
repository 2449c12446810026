// Extraction of described entries into an output folder, or one after another onto a stream
// (standard output): the caller's thread hands the entries over in sweep order; a pool of worker
// threads reads, decodes and writes several at once, each file without a name; then each entry is
// reported and its file named (or its bytes sent) strictly in the order the entries were handed
// over. So what is reported and written comes out exactly as if one thread had done it all, at any
// number of workers.
//
// A problem that concerns one category folder or one file (it cannot be created or named: no
// permission, something else standing at the name, a name too long, a loop of links) skips what
// depends on it and the run goes on; one that concerns the whole output (no space, a quota, an
// I/O error, a read-only file system, a file too large, an output folder that takes no new
// folder) stops the run.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/folder.h"
#include "reading/archive.h"
#include "reading/entry.h"

// What the extraction reports, in sweep order, one call at a time (from whichever thread
// finished the entry).
class ExtractEvents {
 public:
  virtual ~ExtractEvents() = default;
  // The entry's file is about to be written (reported before the file has its name), or its bytes
  // are about to be sent.
  virtual void extracting(const std::string& path) = 0;
  // The entry uses the unsupported compression method: no file is written.
  virtual void unsupported(const std::string& path) = 0;
  // Something is wrong with the entry (corrupt data, data the archive does not hold in full, a
  // file that cannot be named) or with a category folder (`path` is the folder, reported once,
  // after its last entry): nothing is written for it; the run goes on.
  virtual void problem(const std::string& path, const std::string& what) = 0;
  // An entry of a category folder that cannot be used: neither reported nor attempted (the
  // folder's problem follows after its last entry).
  virtual void skipped(const std::string& path) { static_cast<void>(path); }
  // A failure that stops the run (a failed write, no memory, the output bound), with its reason.
  virtual void failure(const std::string& message) = 0;
};

enum class ExtractStatus : uint8_t {
  Clean,     // every entry extracted as it should
  Problems,  // some could not be (each reported); the run went on
  Stopped,   // a failed write, no memory or the output bound stopped the run (reported)
};

struct ExtractOptions {
  bool overwrite = false;  // replace existing files (atomically) instead of keeping them
  // When it becomes true, the writer finishes the entry it is on and drops the ones waiting.
  const std::atomic<bool>* cancel = nullptr;
  // The most the entries may expand to in all (see reading/limit.h); the run stops before an entry
  // that would pass it.
  uint64_t outputBound = UINT64_MAX;
  // Worker threads that read, decode and write entries (1: one thread does it all, in order).
  unsigned jobs = 1;
  // The entries' bytes go one after another onto this stream instead of into files: no folder is
  // made and existing files play no part.
  const FileHandle* stream = nullptr;
};

struct ExtractCounts {
  uint64_t written = 0;  // files named (entries sent onto the stream)
  uint64_t kept = 0;     // existing files left alone
};

class Extractor {
 public:
  // Files go under `output`.
  Extractor(const Archive& archive, Folder output, ExtractEvents& events,
            ExtractOptions options = {});
  ~Extractor();  // finishes the work in flight
  Extractor(const Extractor&) = delete;
  Extractor& operator=(const Extractor&) = delete;

  // Extracts entry `entry` of `category`, as described, unless its file exists (and the
  // extraction keeps existing files). The category folder is created for any entry that exists,
  // even one without data (onto a stream, nothing is created). False once the run has stopped:
  // nothing more is taken.
  bool extract(int32_t category, int32_t entry, const EntryDescription& description);

  // Waits until every entry handed over is finished and the worker threads have ended.
  ExtractStatus finish();
  // What the run did (once finished).
  ExtractCounts counts() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};
