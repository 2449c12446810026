#include "extract/extractor.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "archive/categories.h"
#include "platform/file.h"
#include "platform/folder.h"
#include "platform/host_error.h"
#include "platform/pending_file.h"
#include "reading/archive.h"
#include "reading/limit.h"
#include "reading/read.h"

namespace {

// The entries in flight (handed to the workers and not yet named) may hold this much memory
// between them, counting each compressed entry as its input buffer plus its expanded size; an
// entry larger than that waits until nothing else is in flight. Every entry counts for at least
// kJobWeight, which also bounds how many files are open at once (256).
constexpr size_t kInFlightBudget = 32 << 20;
constexpr size_t kJobWeight = 128 << 10;
constexpr const char* kIncomplete = "incomplete: the archive ends inside its data; not written";

enum class Action : uint8_t {
  Report,     // nothing to read or write: its problem, if any, says it all
  Decode,     // a compressed entry: read, decode and write
  CopyPlain,  // a plain entry copied from the archive
  Stop,       // the run stops here with `failure`, no path printed
};

// One entry of the sweep. The sweep fills in what to do; a worker does it and leaves the file
// written but without a name; then, in sweep order, the entry is reported and the file named.
struct Job {
  std::string path;     // "models - g/0001.raw", relative to the output folder
  std::string folder;   // "models - g"
  int folderError = 0;  // why the folder could not be created, if it could not
  Action action = Action::Report;
  EntryDescription entry{};
  size_t weight = 0;  // what the job counts against kInFlightBudget
  bool done = false;  // the work is done (guarded by the pool's mutex)
  // What the work gave.
  const char* problem = nullptr;  // reported after the path; no file
  bool unsupported = false;       // the unsupported compression method; no file
  std::string failure;            // a failure that stops the run, with its reason
  PendingFile file;               // the written file
};

// What the file is called in messages until it has its name.
const std::string& writtenName(const Job& job) {
  return job.file.unnamed() ? job.path : job.file.tempName();
}

// What a worker thread keeps between entries: how files can be made and copied here, and a
// buffer for copies through memory.
class Worker {
 public:
  Worker(const Archive& archive, const Folder& output) : archive_(archive), files_(output) {}
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  void perform(Job& job) {
    try {
      if (job.action == Action::CopyPlain) {
        create(job);
        if (!copyPlain(job)) {  // the archive was cut short since the entry was looked at
          job.file.drop();
          job.problem = kIncomplete;
        }
      } else if (job.action == Action::Decode) {
        decode(job);
      }
    } catch (const HostError& error) {  // a failed write: the run stops at this entry
      job.failure = error.what();
      job.file.drop();
    }
  }

 private:
  void decode(Job& job) {
    const LoadedEntry loaded = loadCompressedEntry(archive_, job.entry);
    switch (loaded.problem) {
      case EntryProblem::None: break;
      case EntryProblem::Unsupported: job.unsupported = true; return;
      case EntryProblem::Corrupt: job.problem = "corrupt compressed data; not written"; return;
      case EntryProblem::Incomplete: job.problem = kIncomplete; return;
      case EntryProblem::OutOfMemory:
        job.action = Action::Stop;
        job.failure = "out of memory (" + std::to_string(loaded.size) + " bytes)";
        return;
    }
    create(job);
    if (!writeAll(job.file.file(), loaded.data.get(), loaded.size)) {
      throwSystemError("cannot write " + writtenName(job));
    }
  }

  // An output file gets its name only once complete, so that a run killed at any moment never
  // leaves a partial .raw behind (a later run would take it for done). An unnamed file also
  // spares the folder a create and a rename: it sees one insertion. Where one cannot be made, the
  // temporary name is ".NNNN.raw.partial" beside the file, which a rerun reuses.
  void create(Job& job) {
    if (job.folderError != 0) {
      throwSystemError("cannot create the folder " + job.folder, job.folderError);
    }
    const size_t name = job.folder.size() + 1;
    std::string temp;
    temp.reserve(job.path.size() + 9);
    temp.append(job.path, 0, name).append(".").append(job.path, name).append(".partial");
    job.file = files_.create(job.folder, std::move(temp));
    if (!job.file.valid()) {
      throwSystemError(job.file.unnamed() ? "cannot create a file in " + job.folder
                                          : "cannot create " + job.file.tempName());
    }
  }

  // False when the archive ends before the entry does.
  bool copyPlain(Job& job) {
    switch (copier_.copy(archive_.file(), job.entry.offset, job.file.file(), job.entry.length)) {
      case CopyResult::Done: break;
      case CopyResult::SourceEnded: return false;
      case CopyResult::WriteFailed: throwSystemError("cannot write " + writtenName(job));
    }
    return true;
  }

  const Archive& archive_;
  PendingFileMaker files_;
  FileCopier copier_;
};

// The files of the category folder being swept that existed before the sweep reached it, read
// once per folder: one directory listing instead of a lookup per entry in a folder of thousands.
// The folder is created (mode 0777 less the umask) when the first existing entry reaches it.
class FolderListing {
 public:
  explicit FolderListing(const Folder& output) : output_(output) {}

  bool has(int32_t category, int32_t entry) {
    if (category != category_) load(category);
    return entry >= 0 && entry < kEntriesPerCategory && exists_[static_cast<size_t>(entry)];
  }
  const std::string& folder() const { return folder_; }
  // Why the folder could not be created (0: it exists).
  int folderError() const { return folderError_; }

 private:
  void load(int32_t category) {
    category_ = category;
    folder_ = categoryFolder(category);
    folderError_ = !makeFolder(output_, folder_) && errno != EEXIST ? errno : 0;
    std::fill(exists_.begin(), exists_.end(), false);
    FolderNames names = listFolder(output_, folder_);
    if (!names.valid()) return;  // creating the file will report what is wrong
    while (const char* name = names.next()) {
      if (const std::optional<int32_t> entry = entryOfFileName(name)) {
        exists_[static_cast<size_t>(*entry)] = true;
      }
    }
  }

  const Folder& output_;
  int32_t category_ = -1;
  std::string folder_;
  int folderError_ = 0;
  std::vector<bool> exists_ = std::vector<bool>(kEntriesPerCategory);
};

}  // namespace

// The sweep's thread describes each entry and hands it over in sweep order; a pool of workers
// reads, decodes and writes the entries, several at once; and the entries are reported and their
// files named strictly in sweep order, by whichever thread finishes the entry at the front. So
// stdout, stderr and the files are what one thread doing it all would give, at any number of
// workers: a failure or an interruption drops every file after the last one named.
class Extractor::Impl {
 public:
  Impl(const Archive& archive, Folder output, ExtractEvents& events, ExtractOptions options)
      : archive_(archive),
        output_(std::move(output)),
        events_(events),
        options_(options),
        archiveSize_(archive.size()),
        budget_(options.outputBound),
        listing_(output_) {}
  ~Impl() { finish(); }

  bool extract(int32_t category, int32_t entry, const EntryDescription& d) {
    if (stopped_) return false;
    if (!d.exists()) return true;
    if (listing_.has(category, entry) && !options_.overwrite) return true;  // never touched again
    if (!d.hasData()) return true;

    auto job = std::make_unique<Job>();
    job->folder = listing_.folder();
    job->folderError = listing_.folderError();
    job->path = entryPath(category, entry);
    job->entry = d;
    job->weight = kJobWeight;
    if (d.kind == EntryKind::Plain) {
      // One that the archive does not hold in full is not written: a later run with the whole
      // archive must not find a damaged file in its place.
      if (!d.liesWithin(archiveSize_)) {
        job->problem = kIncomplete;
      } else if (!budget_.take(d.length)) {
        return stopAtBound(*job);
      } else {
        job->action = Action::CopyPlain;
      }
    } else {
      const uint64_t expanded = outputSizeOf(archive_, d);
      if (!budget_.take(expanded)) return stopAtBound(*job);
      job->action = Action::Decode;
      job->weight = std::max<size_t>(d.inputBufferSize() + expanded, kJobWeight);
    }
    return submit(std::move(job));
  }

  ExtractStatus finish() {
    {
      std::unique_lock lock(mutex_);
      progress_.wait(lock, [&] { return order_.empty(); });
      stopping_ = true;
      work_.notify_all();
    }
    for (std::thread& t : threads_) t.join();
    threads_.clear();
    workers_.clear();
    stopping_ = false;
    std::unique_lock lock(mutex_);
    if (failed_) return ExtractStatus::Stopped;
    return hadProblems_ ? ExtractStatus::Problems : ExtractStatus::Clean;
  }

 private:
  // Hands the job over once it fits in the budget. False once the run has stopped.
  bool submit(std::unique_ptr<Job> job) {
    const bool work = job->action == Action::CopyPlain || job->action == Action::Decode;
    const bool last = job->action == Action::Stop;
    {
      std::unique_lock lock(mutex_);
      progress_.wait(lock, [&] {
        return failed_ || inFlight_ == 0 || inFlight_ + job->weight <= kInFlightBudget;
      });
      if (failed_) {
        stopped_ = true;
        return false;
      }
      inFlight_ += job->weight;
      Job* raw = job.get();
      order_.push_back(std::move(job));
      if (work) {
        if (threads_.empty()) startWorkers();
        pending_.push_back(raw);
        work_.notify_one();
      } else {
        raw->done = true;
      }
    }
    if (!work) commitReady();
    if (last) stopped_ = true;
    return !last;
  }

  // Before an entry that would take the output past the bound: the entries before it are
  // finished, then the run stops.
  bool stopAtBound(Job& job) {
    auto stop = std::make_unique<Job>();
    stop->action = Action::Stop;
    stop->failure = budget_.refusal(job.path, archiveSize_);
    submit(std::move(stop));
    return false;
  }

  void startWorkers() {
    const unsigned count = std::max(options_.jobs, 1U);
    for (unsigned i = 0; i < count; ++i) {
      workers_.push_back(std::make_unique<Worker>(archive_, output_));
      threads_.emplace_back([this, worker = workers_.back().get()] { work(*worker); });
    }
  }

  void work(Worker& worker) {
    for (;;) {
      Job* job = nullptr;
      bool skip = false;
      {
        std::unique_lock lock(mutex_);
        work_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
        if (pending_.empty()) return;
        job = pending_.front();
        pending_.pop_front();
        skip = failed_ || cancelled();
      }
      if (!skip) worker.perform(*job);
      {
        std::unique_lock lock(mutex_);
        job->done = true;
      }
      commitReady();
    }
  }

  bool cancelled() const { return options_.cancel != nullptr && options_.cancel->load(); }

  // Reports and names the finished entries at the front, in order. One thread at a time does it;
  // a thread that finds another at it leaves its entry to that one, which looks at the front
  // again before it stops.
  void commitReady() {
    {
      std::unique_lock lock(mutex_);
      if (committing_) return;
      committing_ = true;
    }
    for (;;) {
      Job* job = nullptr;
      bool drop = false;
      {
        std::unique_lock lock(mutex_);
        if (order_.empty() || !order_.front()->done) {
          committing_ = false;
          progress_.notify_all();
          return;
        }
        job = order_.front().get();
        // After a failure, or once interrupted, nothing more is reported or named.
        dropping_ = dropping_ || failed_ || cancelled();
        drop = dropping_;
      }
      const bool failed = drop ? (job->file.drop(), false) : commit(*job);
      {
        std::unique_lock lock(mutex_);
        failed_ = failed_ || failed;
        inFlight_ -= job->weight;
        order_.pop_front();
        progress_.notify_all();
      }
    }
  }

  // Reports one entry and names its file. True when the run stops here.
  bool commit(Job& job) {
    if (job.action == Action::Stop) {
      events_.failure(job.failure);
      return true;
    }
    events_.extracting(job.path);
    if (job.problem != nullptr) {
      events_.problem(job.path, job.problem);
      hadProblems_ = true;
    }
    if (job.unsupported) {
      events_.unsupported(job.path);
      hadProblems_ = true;
    }
    if (!job.failure.empty()) {
      events_.failure(job.failure);
      return true;
    }
    if (!job.file.valid()) return false;
    std::string failure = name(job);
    if (failure.empty()) return false;
    events_.failure(failure);
    return true;
  }

  // Gives the written file its name; the failure, if it cannot. Without --overwrite, linking
  // fails if another program made the name since the sweep looked; with it, the old file is
  // replaced in one step.
  std::string name(Job& job) {
    const bool overwrite = options_.overwrite;
    const NamingFailure failure =
        job.file.name(job.path, overwrite ? Naming::Replace : Naming::Keep);
    const int error = errno;
    switch (failure) {
      case NamingFailure::None: return {};
      case NamingFailure::Link:
        return withReason(
            "cannot link the finished file as " + (overwrite ? job.file.tempName() : job.path),
            error);
      case NamingFailure::Close: return withReason("cannot write " + writtenName(job), error);
      case NamingFailure::Rename:
        return withReason("cannot rename the finished file onto " + job.path, error);
    }
    return {};
  }

  const Archive& archive_;
  const Folder output_;
  ExtractEvents& events_;
  const ExtractOptions options_;
  const uint64_t archiveSize_;
  // The sweep's own.
  OutputBudget budget_;
  FolderListing listing_;
  bool stopped_ = false;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::vector<std::thread> threads_;
  // Shared, guarded by mutex_.
  std::mutex mutex_;
  std::condition_variable work_;            // a job for the workers, or their end
  std::condition_variable progress_;        // an entry named, or the committing thread done
  std::deque<std::unique_ptr<Job>> order_;  // every job not yet named, in sweep order
  std::deque<Job*> pending_;                // the jobs no worker has taken yet, in sweep order
  size_t inFlight_ = 0;
  bool stopping_ = false;     // the workers end once nothing is pending
  bool committing_ = false;   // a thread is reporting and naming entries
  bool failed_ = false;       // a failure was reported: the run has stopped
  bool dropping_ = false;     // a failure or an interruption: later entries are dropped
  bool hadProblems_ = false;  // written only by the committing thread
};

Extractor::Extractor(const Archive& archive, Folder output, ExtractEvents& events,
                     ExtractOptions options)
    : impl_(std::make_unique<Impl>(archive, std::move(output), events, options)) {}
Extractor::~Extractor() = default;
bool Extractor::extract(int32_t category, int32_t entry, const EntryDescription& description) {
  return impl_->extract(category, entry, description);
}
ExtractStatus Extractor::finish() { return impl_->finish(); }
