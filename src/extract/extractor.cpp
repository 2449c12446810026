#include "extract/extractor.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "archive/categories.h"
#include "reading/archive.h"
#include "reading/limit.h"
#include "reading/read.h"

namespace {

constexpr size_t kCopyChunk = 1 << 20;
// The entries in flight (handed to the workers and not yet named) may hold this much memory
// between them, counting each compressed entry as its input buffer plus its expanded size; an
// entry larger than that waits until nothing else is in flight. Every entry counts for at least
// kJobWeight, which also bounds how many files are open at once (256).
constexpr size_t kInFlightBudget = 32 << 20;
constexpr size_t kJobWeight = 128 << 10;
constexpr const char* kIncomplete = "incomplete: the archive ends inside its data; not written";

std::string withReason(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

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
  std::string temp;     // "models - g/.0001.raw.partial", where unnamed files cannot be made
  int folderError = 0;  // why the folder could not be created, if it could not
  Action action = Action::Report;
  EntryDescription entry{};
  size_t weight = 0;  // what the job counts against kInFlightBudget
  bool done = false;  // the work is done (guarded by the pool's mutex)
  // What the work gave.
  const char* problem = nullptr;  // reported after the path; no file
  bool unsupported = false;       // the unsupported compression method; no file
  std::string failure;            // a failure that stops the run, with its reason
  int fd = -1;                    // the written file
  bool unnamed = false;           // made with O_TMPFILE (otherwise it is `temp`)
};

// Drops a file that will not get its name.
void discard(int outputDir, Job& job) {
  if (job.fd < 0) return;
  close(job.fd);
  job.fd = -1;
  if (!job.unnamed) unlinkat(outputDir, job.temp.c_str(), 0);
}

// A failure while writing an entry: recorded in the job, whose file is dropped.
struct WriteFailure {};

// What a worker thread keeps between entries: how files can be made and copied here, and a
// buffer for copies through memory.
class Worker {
 public:
  Worker(const Archive& archive, int outputDir) : archive_(archive), outputDir_(outputDir) {}
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  void perform(Job& job) {
    try {
      if (job.action == Action::CopyPlain) {
        create(job);
        if (!copyPlain(job)) {  // the archive was cut short since the entry was looked at
          discard(outputDir_, job);
          job.problem = kIncomplete;
        }
      } else if (job.action == Action::Decode) {
        decode(job);
      }
    } catch (const WriteFailure&) {
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
    writeAll(job, loaded.data.get(), loaded.size);
  }

  // An output file gets its name only once complete, so that a run killed at any moment never
  // leaves a partial .raw behind (a later run would take it for done). Where the file system
  // allows, it is written as an unnamed file in its folder (O_TMPFILE) and linked under its name
  // at the end: a killed run leaves nothing, and the folder sees one insertion rather than a
  // create and a rename. Elsewhere it is written under a temporary name and renamed; a rerun
  // reuses that name.
  void create(Job& job) {
    if (job.folderError != 0) {
      errno = job.folderError;
      fail(job, "cannot create the folder " + job.folder);
    }
    if (useUnnamed_) {
      job.fd = openat(outputDir_, job.folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
      if (job.fd >= 0) {
        job.unnamed = true;
        return;
      }
      if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        fail(job, "cannot create a file in " + job.folder);
      }
      useUnnamed_ = false;  // not supported here: named temporary files from now on
    }
    job.unnamed = false;
    job.fd = openat(outputDir_, job.temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (job.fd < 0) fail(job, "cannot create " + job.temp);
  }

  void writeAll(Job& job, const uint8_t* data, size_t size) {
    while (size > 0) {
      const ssize_t n = write(job.fd, data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) fail(job, "cannot write " + (job.unnamed ? job.path : job.temp));
      data += n;
      size -= static_cast<size_t>(n);
    }
  }

  [[noreturn]] void fail(Job& job, const std::string& what) {
    job.failure = withReason(what, errno);
    discard(outputDir_, job);
    throw WriteFailure{};
  }

  // A plain entry goes from the archive to the file inside the kernel where it can, otherwise in
  // chunks through memory. False when the archive ends before the entry does.
  bool copyPlain(Job& job) {
    uint64_t offset = job.entry.offset;
    size_t left = job.entry.length;
    while (left > 0 && useCopyRange_) {
      auto from = static_cast<off_t>(offset);
      const ssize_t n = copy_file_range(archive_.file().get(), &from, job.fd, nullptr, left, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        // Not supported here (another file system, an old kernel) or a real error: the chunked
        // copy below tells a read error from a write error.
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
          useCopyRange_ = false;
        }
        break;
      }
      if (n == 0) break;  // the end of the archive
      offset += static_cast<uint64_t>(n);
      left -= static_cast<size_t>(n);
    }
    while (left > 0) {
      chunk_.resize(kCopyChunk);
      const size_t n = std::min(kCopyChunk, left);
      const size_t got = archive_.readAt(offset, chunk_.data(), n);
      writeAll(job, chunk_.data(), got);
      if (got < n) return false;
      offset += n;
      left -= n;
    }
    return true;
  }

  const Archive& archive_;
  const int outputDir_;
  // Unnamed files need O_TMPFILE and /proc to link them.
  bool useUnnamed_ = access("/proc/self/fd", X_OK) == 0;
  bool useCopyRange_ = true;
  std::vector<uint8_t> chunk_;  // for copies through memory
};

// The files of the category folder being swept that existed before the sweep reached it, read
// once per folder: one directory listing instead of a lookup per entry in a folder of thousands.
// The folder is created (mode 0777 less the umask) when the first existing entry reaches it.
class FolderListing {
 public:
  explicit FolderListing(int outputDir) : outputDir_(outputDir) {}

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
    folderError_ = mkdirat(outputDir_, folder_.c_str(), 0777) != 0 && errno != EEXIST ? errno : 0;
    std::fill(exists_.begin(), exists_.end(), false);
    const int fd = openat(outputDir_, folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* listing = fd >= 0 ? fdopendir(fd) : nullptr;
    if (listing == nullptr) {  // creating the file will report what is wrong
      if (fd >= 0) close(fd);
      return;
    }
    while (const dirent* item = readdir(listing)) {
      if (const std::optional<int32_t> entry = entryOfFileName(item->d_name)) {
        exists_[static_cast<size_t>(*entry)] = true;
      }
    }
    closedir(listing);
  }

  const int outputDir_;
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
  Impl(const Archive& archive, int outputDir, ExtractEvents& events, ExtractOptions options)
      : archive_(archive),
        outputDir_(outputDir),
        events_(events),
        options_(options),
        archiveSize_(archive.size()),
        budget_(options.outputBound),
        listing_(outputDir) {}
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
    job->temp = job->folder + "/." + job->path.substr(job->folder.size() + 1) + ".partial";
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
      workers_.push_back(std::make_unique<Worker>(archive_, outputDir_));
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
      const bool failed = drop ? (discard(outputDir_, *job), false) : commit(*job);
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
    if (job.fd < 0) return false;
    std::string failure = name(job);
    if (failure.empty()) return false;
    events_.failure(failure);
    return true;
  }

  // Gives the written file its name; the failure, if it cannot. Overwriting links the unnamed file
  // under the temporary name first, then renames it over the old file, so that the old file is
  // replaced in one step.
  std::string name(Job& job) {
    const bool overwrite = options_.overwrite;
    const int fd = job.fd;
    job.fd = -1;
    bool linked = false;
    std::string failure;
    if (job.unnamed) {
      // Linking fails if the name exists (another program made it since the sweep looked).
      char self[32];
      std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
      const std::string& name = overwrite ? job.temp : job.path;
      if (overwrite) unlinkat(outputDir_, job.temp.c_str(), 0);
      if (linkat(AT_FDCWD, self, outputDir_, name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        failure = withReason("cannot link the finished file as " + name, errno);
      }
      linked = failure.empty();
    }
    if (close(fd) != 0 && failure.empty()) {
      failure = withReason("cannot write " + (job.unnamed ? job.path : job.temp), errno);
    }
    const bool renamed = !job.unnamed || overwrite;
    if (failure.empty() && renamed &&
        renameat(outputDir_, job.temp.c_str(), outputDir_, job.path.c_str()) != 0) {
      failure = withReason("cannot rename the finished file onto " + job.path, errno);
    }
    if (!failure.empty()) {
      if (renamed) unlinkat(outputDir_, job.temp.c_str(), 0);
      if (linked && !overwrite) unlinkat(outputDir_, job.path.c_str(), 0);  // close failed
    }
    return failure;
  }

  const Archive& archive_;
  const int outputDir_;
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

Extractor::Extractor(const Archive& archive, int outputDir, ExtractEvents& events,
                     ExtractOptions options)
    : impl_(std::make_unique<Impl>(archive, outputDir, events, options)) {}
Extractor::~Extractor() = default;
bool Extractor::extract(int32_t category, int32_t entry, const EntryDescription& description) {
  return impl_->extract(category, entry, description);
}
ExtractStatus Extractor::finish() { return impl_->finish(); }
