#include "driver/extractor.h"

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
#include "codec/decode.h"
#include "driver/limit.h"
#include "driver/read.h"

namespace {

constexpr size_t kCopyChunk = 1 << 20;
// Decoded entries waiting for the writer may hold this much between them; a larger entry waits
// until the writer has nothing left. Every job counts for at least kJobWeight, which bounds the
// queue of plain entries (they hold no data) too.
constexpr size_t kInFlightBudget = 32 << 20;
constexpr size_t kJobWeight = 64 << 10;
constexpr const char* kIncomplete = "incomplete: the archive ends inside its data; not written";

std::string withReason(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

// What the writer does for one entry, after reporting its path and its problems.
enum class Action : uint8_t {
  Nothing,      // corrupt compressed data: the problem says it all
  Unsupported,  // the unsupported compression method: reported, no file
  WriteData,    // a decoded entry held in `data`
  CopyPlain,    // a plain entry copied from the archive
};

struct Job {
  std::string path;     // "models - g/0001.raw", relative to the output folder
  std::string folder;   // "models - g"
  std::string temp;     // "models - g/.0001.raw.partial", where unnamed files cannot be made
  int folderError = 0;  // why the folder could not be created, if it could not
  Action action = Action::Nothing;
  const char* problem = nullptr;
  uint8_t* data = nullptr;  // WriteData: owned by the job
  size_t size = 0;          // bytes to write
  uint64_t offset = 0;      // CopyPlain: where the entry starts in the archive
  size_t weight = 0;        // what the job counts against kInFlightBudget
  bool stop = false;        // the sweep is over

  Job() = default;
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;
  ~Job() { std::free(data); }
};

// A failed write stops the run: the writer reports it, removes its temporary file and stops;
// the caller's thread sees that at its next hand-over.
struct WriteFailure {};

class Writer {
 public:
  Writer(int archive, int outputDir, ExtractEvents& events, ExtractOptions options)
      : archive_(archive),
        outputDir_(outputDir),
        events_(events),
        overwrite_(options.overwrite),
        cancel_(options.cancel),
        thread_([this] { run(); }) {}
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  // Only once the thread has ended (see finish). Jobs may be left behind by a writer that failed.
  ~Writer() {
    for (Job* job : queue_) delete job;
    std::free(chunk_);
  }

  // Blocks until `bytes` more fit in the budget (or nothing is in flight). False once the writer
  // has failed.
  bool waitForRoom(size_t bytes) {
    std::unique_lock lock(mutex_);
    changed_.wait(
        lock, [&] { return failed_ || inFlight_ == 0 || inFlight_ + bytes <= kInFlightBudget; });
    return !failed_;
  }

  // Hands the job over (the writer then owns it). False once the writer has failed.
  bool submit(std::unique_ptr<Job> job) {
    job->weight = std::max(job->action == Action::WriteData ? job->size : 0, kJobWeight);
    std::unique_lock lock(mutex_);
    if (failed_) return false;
    inFlight_ += job->weight;
    queue_.push_back(job.release());
    changed_.notify_all();
    return true;
  }

  struct Outcome {
    bool hadProblems;  // some entry could not be extracted as it should
    bool failed;       // a write failed
  };
  // Waits for every job handed over, then for the thread.
  Outcome finish() {
    auto stop = std::make_unique<Job>();
    stop->stop = true;
    {
      std::unique_lock lock(mutex_);
      queue_.push_back(stop.release());  // even after a failure: the thread may still be waiting
      changed_.notify_all();
    }
    thread_.join();
    return {hadProblems_, failed_};
  }

 private:
  void run() {
    for (;;) {
      Job* job = nullptr;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !queue_.empty(); });
        job = queue_.front();
        queue_.pop_front();
      }
      if (job->stop) {
        delete job;
        return;
      }
      bool ok = true;
      try {
        if (cancel_ == nullptr || !cancel_->load()) perform(*job);
      } catch (const WriteFailure&) {
        ok = false;
      }
      std::unique_lock lock(mutex_);
      inFlight_ -= job->weight;
      delete job;
      if (!ok) failed_ = true;
      changed_.notify_all();
      if (!ok) return;
    }
  }

  void problem(const Job& job, const char* what) {
    events_.problem(job.path, what);
    hadProblems_ = true;
  }

  void perform(Job& job) {
    events_.extracting(job.path);
    if (job.problem != nullptr) problem(job, job.problem);
    switch (job.action) {
      case Action::Nothing: return;
      case Action::Unsupported:
        events_.unsupported(job.path);
        hadProblems_ = true;
        return;
      case Action::WriteData:
        create(job);
        writeAll(job, job.data, job.size);
        commit(job);
        return;
      case Action::CopyPlain:
        create(job);
        if (copyPlain(job)) {
          commit(job);
        } else {  // the archive was cut short since the entry was looked at
          abandon(job);
          problem(job, kIncomplete);
        }
        return;
    }
  }

  // An output file gets its name only once complete, so that a run killed at any moment never
  // leaves a partial .raw behind (a later run would take it for done). Where the file system
  // allows, it is written as an unnamed file in its folder (O_TMPFILE) and linked under its name
  // at the end: a killed run leaves nothing, and the folder sees one insertion rather than a
  // create and a rename. Elsewhere it is written under a temporary name and renamed; a rerun
  // reuses that name.
  void create(const Job& job) {
    if (job.folderError != 0) {
      errno = job.folderError;
      fail(job, "cannot create the folder " + job.folder);
    }
    if (useUnnamed_) {
      output_ = openat(outputDir_, job.folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
      if (output_ >= 0) {
        unnamed_ = true;
        return;
      }
      if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        fail(job, "cannot create a file in " + job.folder);
      }
      useUnnamed_ = false;  // not supported here: named temporary files from now on
    }
    unnamed_ = false;
    output_ = openat(outputDir_, job.temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (output_ < 0) fail(job, "cannot create " + job.temp);
  }
  const std::string& workingName(const Job& job) const { return unnamed_ ? job.path : job.temp; }

  void writeAll(const Job& job, const uint8_t* data, size_t size) {
    while (size > 0) {
      const ssize_t n = write(output_, data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) fail(job, "cannot write " + workingName(job));
      data += n;
      size -= static_cast<size_t>(n);
    }
  }

  // Overwriting links the unnamed file under the temporary name first, then renames it over the
  // old file, so that the old file is replaced in one step.
  void commit(const Job& job) {
    if (unnamed_) {
      // Linking fails if the name exists (another program made it since the sweep looked).
      char self[32];
      std::snprintf(self, sizeof self, "/proc/self/fd/%d", output_);
      const std::string& name = overwrite_ ? job.temp : job.path;
      if (overwrite_) unlinkat(outputDir_, job.temp.c_str(), 0);
      if (linkat(AT_FDCWD, self, outputDir_, name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        fail(job, "cannot link the finished file as " + name);
      }
      linked_ = true;
    }
    const int fd = output_;
    output_ = -1;
    if (close(fd) != 0) fail(job, "cannot write " + workingName(job));
    if ((!unnamed_ || overwrite_) &&
        renameat(outputDir_, job.temp.c_str(), outputDir_, job.path.c_str()) != 0) {
      fail(job, "cannot rename the finished file onto " + job.path);
    }
    linked_ = false;
  }

  // Drops the file being written: nothing of it keeps a name.
  void abandon(const Job& job) {
    if (output_ >= 0) close(output_);
    output_ = -1;
    if (!unnamed_ || overwrite_) unlinkat(outputDir_, job.temp.c_str(), 0);
    if (linked_ && !overwrite_) unlinkat(outputDir_, job.path.c_str(), 0);  // linked, close failed
    linked_ = false;
  }

  [[noreturn]] void fail(const Job& job, const std::string& what) {
    const int saved = errno;
    abandon(job);
    events_.failure(withReason(what, saved));
    throw WriteFailure{};
  }

  // A plain entry goes from the archive to the file inside the kernel where it can, otherwise in
  // chunks through memory. False when the archive ends before the entry does.
  bool copyPlain(const Job& job) {
    uint64_t offset = job.offset;
    size_t left = job.size;
    while (left > 0 && useCopyRange_) {
      auto from = static_cast<off_t>(offset);
      const ssize_t n = copy_file_range(archive_, &from, output_, nullptr, left, 0);
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
      if (chunk_ == nullptr) {
        chunk_ = static_cast<uint8_t*>(std::malloc(kCopyChunk));
        if (chunk_ == nullptr) {
          errno = ENOMEM;
          fail(job, "cannot copy " + job.path);
        }
      }
      const size_t n = std::min(kCopyChunk, left);
      const size_t got = readAt(archive_, offset, chunk_, n);
      writeAll(job, chunk_, got);
      if (got < n) return false;
      offset += n;
      left -= n;
    }
    return true;
  }

  const int archive_;
  const int outputDir_;
  ExtractEvents& events_;
  const bool overwrite_;
  const std::atomic<bool>* const cancel_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job*> queue_;  // guarded by mutex_
  size_t inFlight_ = 0;     // guarded by mutex_
  bool failed_ = false;     // guarded by mutex_; read without it only after the join
  // The writer thread's own.
  bool hadProblems_ = false;
  int output_ = -1;
  // Unnamed files need O_TMPFILE and /proc to link them; `unnamed_` tells how the current file
  // was made, `linked_` that it already has its name.
  bool useUnnamed_ = access("/proc/self/fd", X_OK) == 0;
  bool unnamed_ = false;
  bool linked_ = false;
  uint8_t* chunk_ = nullptr;
  bool useCopyRange_ = true;
  std::thread thread_;  // last: started once everything above is set up
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

uint64_t sizeOf(int file) {
  struct stat info {};
  return fstat(file, &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

}  // namespace

class Extractor::Impl {
 public:
  Impl(int archive, int outputDir, ExtractEvents& events, ExtractOptions options)
      : archive_(archive),
        outputDir_(outputDir),
        events_(events),
        options_(options),
        archiveSize_(sizeOf(archive)),
        budget_(options.outputBound),
        listing_(outputDir) {}
  ~Impl() { finish(); }

  bool extract(int32_t category, int32_t entry, const EntryDescription& d) {
    if (stopped_) return false;
    if (!d.exists()) return true;
    if (listing_.has(category, entry) && !options_.overwrite) return true;  // never touched again
    if (!d.hasData()) return true;

    Writer& out = writer();
    auto job = std::make_unique<Job>();
    job->folder = listing_.folder();
    job->folderError = listing_.folderError();
    job->path = entryPath(category, entry);
    job->temp = job->folder + "/." + job->path.substr(job->folder.size() + 1) + ".partial";
    job->offset = d.offset;
    if (d.kind == EntryKind::Plain) {
      // Plain entries are copied by the writer straight from the archive, as their length. One
      // that the archive does not hold in full is not written: a later run with the whole archive
      // must not find a damaged file in its place.
      if (d.offset > archiveSize_ || d.length > archiveSize_ - d.offset) {
        job->problem = kIncomplete;
        return hand(out, std::move(job), kJobWeight);
      }
      if (!budget_.take(d.length)) return overBound(job->path);
      job->action = Action::CopyPlain;
      job->size = d.length;
      return hand(out, std::move(job), kJobWeight);
    }

    const uint64_t expanded = outputSizeOf(archive_, d);
    if (!budget_.take(expanded)) return overBound(job->path);
    if (!out.waitForRoom(std::max<size_t>(d.inputBufferSize() + expanded, kJobWeight))) {
      return stop();
    }
    const LoadedEntry loaded = loadCompressedEntry(archive_, d);
    switch (loaded.problem) {
      case EntryProblem::None:
        job->action = Action::WriteData;
        job->data = loaded.data;
        job->size = loaded.size;
        break;
      case EntryProblem::Unsupported: job->action = Action::Unsupported; break;
      case EntryProblem::Corrupt: job->problem = "corrupt compressed data; not written"; break;
      case EntryProblem::Incomplete: job->problem = kIncomplete; break;
      case EntryProblem::OutOfMemory:
        // The writer finishes the entries before this one first, as a single thread would have.
        finishWriter();
        events_.failure("out of memory (" + std::to_string(loaded.size) + " bytes)");
        return stop();
    }
    return hand(out, std::move(job), 0);
  }

  ExtractStatus finish() {
    finishWriter();
    if (stopped_) return ExtractStatus::Stopped;
    return hadProblems_ ? ExtractStatus::Problems : ExtractStatus::Clean;
  }

 private:
  Writer& writer() {
    if (!writer_) writer_ = std::make_unique<Writer>(archive_, outputDir_, events_, options_);
    return *writer_;
  }
  bool hand(Writer& out, std::unique_ptr<Job> job, size_t room) {
    if ((room > 0 && !out.waitForRoom(room)) || !out.submit(std::move(job))) return stop();
    return true;
  }
  // The entries before this one are finished first, as a single thread would have.
  bool overBound(const std::string& path) {
    finishWriter();
    if (!stopped_) events_.failure(budget_.refusal(path, archiveSize_));
    return stop();
  }
  bool stop() {
    stopped_ = true;
    finishWriter();
    return false;
  }
  void finishWriter() {
    if (!writer_) return;
    const Writer::Outcome outcome = writer_->finish();
    writer_.reset();
    hadProblems_ = hadProblems_ || outcome.hadProblems;
    stopped_ = stopped_ || outcome.failed;
  }

  const int archive_;
  const int outputDir_;
  ExtractEvents& events_;
  const ExtractOptions options_;
  const uint64_t archiveSize_;
  OutputBudget budget_;
  FolderListing listing_;
  std::unique_ptr<Writer> writer_;  // made on the first entry with data
  bool hadProblems_ = false;
  bool stopped_ = false;
};

Extractor::Extractor(int archive, int outputDir, ExtractEvents& events, ExtractOptions options)
    : impl_(std::make_unique<Impl>(archive, outputDir, events, options)) {}
Extractor::~Extractor() = default;
bool Extractor::extract(int32_t category, int32_t entry, const EntryDescription& description) {
  return impl_->extract(category, entry, description);
}
ExtractStatus Extractor::finish() { return impl_->finish(); }
