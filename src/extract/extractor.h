// Extraction of described entries into an output folder, or one after another onto a stream
// (standard output) or into a sink the caller implements (a zip stream, a browser's folder): the
// caller's thread hands the entries over in sweep order; a pool of worker
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

#include "extract/ordered_pool.h"
#include "extract/run.h"
#include "platform/error.h"
#include "platform/folder.h"
#include "reading/archive.h"
#include "reading/entry.h"
#include "reading/progress.h"
#include "reading/read.h"
#include "reading/sweep.h"

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
  // Something is wrong with the entry (corrupt data, data the archive does not hold in full:
  // `problem` says which) or with its file or category folder (`problem` is None; for a folder
  // `path` is the folder, reported once, after its last entry): nothing is written for it; the run
  // goes on. `what` words it.
  virtual void problem(const std::string& path, EntryProblem problem, const std::string& what) = 0;
  // A folder stands where the entry's file would go: nothing is written for it; the run goes on.
  virtual void inTheWay(const std::string& path) {
    problem(path, EntryProblem::None, "a folder is in the way; not written");
  }
  // An entry of a category folder that cannot be used: neither reported nor attempted (the
  // folder's problem follows after its last entry).
  virtual void skipped(const std::string& path) { static_cast<void>(path); }
  // A failure that stops the run (a failed write, no memory, the output bound: the error's hint
  // says it may be lifted).
  virtual void failure(const Error& error) = 0;
};

// Where the entries' bytes go when the caller takes them: one call per entry written, in sweep
// order, one at a time (from whichever thread finished the entry).
class ExtractSink {
 public:
  virtual ~ExtractSink() = default;
  // Entry `path`'s `size` bytes. False: the run stops here (the caller knows why).
  virtual bool write(const std::string& path, const uint8_t* data, size_t size) = 0;
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
  // The most the entries may expand to in all (see reading/output_bound.h); the run stops before an
  // entry that would pass it.
  uint64_t outputBound = UINT64_MAX;
  // Who reads, decodes and writes the entries: worker threads, or the caller's thread.
  Executor executor;
  // The entries' bytes go one after another onto this stream instead of into files: no folder is
  // made and existing files play no part.
  const FileHandle* stream = nullptr;
  // Or into this sink, likewise.
  ExtractSink* sink = nullptr;
  // Who else may have the entries' bytes (see reading/read.h); none: the run reads them all.
  EntryLoader* loader = nullptr;
};

struct ExtractCounts {
  uint64_t written = 0;     // files named (entries sent onto the stream or into the sink)
  uint64_t kept = 0;        // existing files left alone
  uint64_t notWritten = 0;  // run(): the other entries with data, neither written nor kept
};

// "2 entries written, 1 not written": what a run that did not go cleanly wrote.
std::string writtenSummary(const ExtractCounts& counts);

// An error of reading or extracting in archive-extract's words, which the page speaks too: what
// the user can do about it names the option or the command ("; --no-size-limit lifts it").
std::string extractionMessage(const Error& error);

// The folder `path` opened as the output of an extraction, made first when it is missing (its
// parent is not). Throws Error (Host, naming `path`): "cannot use PATH as the output folder:
// REASON".
Folder openOutputFolder(const std::string& path);

// What a whole run did and why it ended.
struct ExtractSummary {
  ExtractStatus status = ExtractStatus::Clean;
  ExtractCounts counts;
  RunStop stop = RunStop::None;
  // The fault of the machine that ended the lookups, when the run was not stopped before.
  std::optional<Error> fault;
};

class Extractor {
 public:
  // Files go under `output` (unused with a stream or a sink).
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
  // Why it stopped (once finished).
  RunStop stop() const;

  // The whole extraction of the entries looked up: handed over in order, `progress` advanced
  // after each (and completed when the run was clean), then finished.
  ExtractSummary run(const LookedUp& found, RunProgress* progress = nullptr);
  // The end of a run whose caller handed the entries of `found` over itself (a few at a time, as
  // the page's worker does): finished, counted and, after the last, the fault of the lookups.
  ExtractSummary conclude(const LookedUp& found);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};
