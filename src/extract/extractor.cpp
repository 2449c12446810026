#include "extract/extractor.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "archive/categories.h"
#include "extract/ordered_pool.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/folder.h"
#include "platform/pending_file.h"
#include "reading/archive.h"
#include "reading/output_bound.h"
#include "reading/read.h"

namespace {

// How the events word an entry's own damage.
std::string problemWords(EntryProblem problem) {
  return problem == EntryProblem::Corrupt
             ? "corrupt compressed data; not written"
             : "incomplete: the archive ends inside its data; not written";
}

enum class Action : uint8_t {
  Report,     // nothing to read or write: its problem, if any, says it all
  Decode,     // a compressed entry: read, decode and write
  CopyPlain,  // a plain entry copied from the archive's file
  ReadPlain,  // a plain entry read into memory (into a sink, or from an archive without a file)
  Stop,       // the run stops here with `failure`, no path printed
};

// The step of writing a file that failed.
enum class Step : uint8_t { None, Create, Write };

// What skips one folder or one file rather than stopping the run: the name cannot be used (no
// permission, something else stands at it or in its path, too long, a loop of links). Anything
// else (no space, a quota, an I/O error, a read-only file system, a file too large) concerns the
// whole output.
bool concernsOneName(int error) {
  return error == EACCES || error == EPERM || error == ENOTDIR || error == EEXIST ||
         error == ENAMETOOLONG || error == ELOOP || error == EISDIR;
}

// One entry of the sweep. The sweep fills in what to do; a worker does it and leaves the file
// written but without a name (or, onto a stream, the decoded bytes in memory); then, in sweep
// order, the entry is reported and the file named.
struct Job {
  std::string path;     // "models - g/0001.raw", relative to the output folder
  std::string folder;   // "models - g"
  int folderError = 0;  // why the folder could not be created, if it could not
  Action action = Action::Report;
  EntryDescription entry{};
  // What the work gave.
  EntryProblem problem = EntryProblem::None;  // Corrupt, Incomplete: reported; no file
  bool unsupported = false;                   // the unsupported compression method; no file
  std::optional<Error> failure;               // why the file could not be written
  bool folderInTheWay = false;                // a folder stands at its path: no file
  Step failedAt = Step::None;
  PendingFile file;                                // the written file
  LoadedEntry decoded{EntryProblem::None, {}, 0};  // onto a stream: the bytes to send
};

// What the file is called in messages until it has its name.
const std::string& writtenName(const Job& job) {
  return job.file.unnamed() ? job.path : job.file.tempName();
}

// What a worker thread keeps between entries: how files can be made and copied here, and a
// buffer for copies through memory. Decode buffers come from the run's pool, which all workers
// share.
class Worker : public WorkerState {
 public:
  Worker(const Archive& archive, const Folder& output, bool inMemory, BufferPool& buffers,
         EntryLoader* loader)
      : archive_(archive),
        files_(output),
        inMemory_(inMemory),
        buffers_(buffers),
        loader_(loader) {}
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  void perform(Job& job) {
    try {
      if (job.action == Action::CopyPlain) {
        create(job);
        job.failedAt = Step::Write;
        if (!copyPlain(job)) {  // the archive was cut short since the entry was looked at
          job.file.drop();
          job.problem = EntryProblem::Incomplete;
        }
      } else if (job.action == Action::Decode || job.action == Action::ReadPlain) {
        std::optional<LoadedEntry> loaded;
        if (loader_ != nullptr) loaded = loader_->load(job.entry, buffers_);
        if (!loaded) loaded = loadEntry(archive_, job.entry, buffers_);
        keep(job, std::move(*loaded));
      }
      job.failedAt = Step::None;
    } catch (const Error& error) {
      job.failure = error;
      job.file.drop();
    }
  }

 private:
  // The entry's bytes, decoded or read: kept for the sink or the stream, or written to its file.
  void keep(Job& job, LoadedEntry loaded) {
    switch (loaded.problem) {
      case EntryProblem::None: break;
      case EntryProblem::Unsupported: job.unsupported = true; return;
      case EntryProblem::Corrupt:
      case EntryProblem::Incomplete: job.problem = loaded.problem; return;
      case EntryProblem::NoData: job.problem = EntryProblem::Incomplete; return;  // not from a load
      case EntryProblem::OutOfMemory:
        job.action = Action::Stop;
        job.failure =
            Error(ErrorKind::Host, "out of memory (" + std::to_string(loaded.size) + " bytes)",
                  job.path, ENOMEM);
        return;
    }
    if (inMemory_) {
      job.decoded = std::move(loaded);
      return;
    }
    create(job);
    job.failedAt = Step::Write;
    if (!writeAll(job.file.file(), loaded.data.get(), loaded.size)) {
      throwSystemError("cannot write " + writtenName(job), errno, writtenName(job));
    }
  }

  // An output file gets its name only once complete, so that a run killed at any moment never
  // leaves a partial .raw behind (a later run would take it for done). An unnamed file also
  // spares the folder a create and a rename: it sees one insertion. Where one cannot be made, the
  // temporary name is ".NNNN.raw.partial" beside the file, which a rerun reuses.
  void create(Job& job) {
    job.failedAt = Step::Create;
    if (job.folderError != 0) {
      throwSystemError("cannot create the folder " + job.folder, job.folderError, job.folder);
    }
    const size_t name = job.folder.size() + 1;
    std::string temp;
    temp.reserve(job.path.size() + 9);
    temp.append(job.path, 0, name).append(".").append(job.path, name).append(".partial");
    job.file = files_.create(job.folder, std::move(temp));
    if (!job.file.valid()) {
      const std::string& name = job.file.unnamed() ? job.folder : job.file.tempName();
      throwSystemError((job.file.unnamed() ? "cannot create a file in " : "cannot create ") + name,
                       errno, name);
    }
  }

  // False when the archive ends before the entry does.
  bool copyPlain(Job& job) {
    switch (copier_.copy(archive_.file(), job.entry.offset, job.file.file(), job.entry.length)) {
      case CopyResult::Done: break;
      case CopyResult::SourceEnded: return false;
      case CopyResult::WriteFailed:
        throwSystemError("cannot write " + writtenName(job), errno, writtenName(job));
    }
    return true;
  }

  const Archive& archive_;
  PendingFileMaker files_;
  FileCopier copier_;
  const bool inMemory_;
  BufferPool& buffers_;
  EntryLoader* const loader_;
};

// What stands at an entry's path in its category folder before the sweep reaches it.
enum class Existing : uint8_t { Nothing, File, Folder };

// The files of the category folder being swept that existed before the sweep reached it, read
// once per folder: one directory listing instead of a lookup per entry in a folder of thousands.
// The folder is created (mode 0777 less the umask) when the first existing entry reaches it.
class FolderListing {
 public:
  explicit FolderListing(const Folder& output) : output_(output) {}

  Existing at(int32_t category, int32_t entry) {
    if (category != category_) load(category);
    return entry >= 0 && entry < kEntriesPerCategory ? exists_[static_cast<size_t>(entry)]
                                                     : Existing::Nothing;
  }
  const std::string& folder() const { return folder_; }
  // Why the folder could not be created (0: it exists).
  int folderError() const { return folderError_; }

 private:
  void load(int32_t category) {
    category_ = category;
    folder_ = categoryFolder(category);
    folderError_ = !makeFolder(output_, folder_) && errno != EEXIST ? errno : 0;
    std::fill(exists_.begin(), exists_.end(), Existing::Nothing);
    FolderNames names = listFolder(output_, folder_);
    if (!names.valid()) {
      // A link to nothing at the folder's name: it exists for mkdir, but holds no file. One
      // folder's problem, as anything else in its place; otherwise creating the file will report
      // what is wrong.
      if (folderError_ == 0 && errno == ENOENT) folderError_ = EEXIST;
      return;
    }
    while (const char* name = names.next()) {
      if (const std::optional<int32_t> entry = entryOfFileName(name)) {
        // A folder is no earlier run's file: it is in the way, --overwrite or not.
        exists_[static_cast<size_t>(*entry)] =
            names.kind() == NameKind::Folder ? Existing::Folder : Existing::File;
      }
    }
  }

  const Folder& output_;
  int32_t category_ = -1;
  std::string folder_;
  int folderError_ = 0;
  std::vector<Existing> exists_ = std::vector<Existing>(kEntriesPerCategory);
};

}  // namespace

// The sweep's thread describes each entry and hands it over in sweep order; the pool's workers
// read, decode and write the entries, several at once; and the entries are reported and their
// files named strictly in sweep order. A failure or an interruption drops every file after the
// last one named.
class Extractor::Impl {
 public:
  Impl(const Archive& archive, Folder output, ExtractEvents& events, ExtractOptions options)
      : archive_(archive),
        output_(std::move(output)),
        events_(events),
        options_(options),
        archiveSize_(archive.size()),
        bound_(options.outputBound),
        listing_(output_),
        toStream_(options.stream != nullptr || options.sink != nullptr),
        fromFile_(archive.file().valid()),
        pool_(options.executor, options.cancel, [this]() -> std::unique_ptr<WorkerState> {
          return std::make_unique<Worker>(archive_, output_, toStream_, buffers_, options_.loader);
        }) {}
  ~Impl() { pool_.finish(); }

  bool extract(int32_t category, int32_t entry, const EntryDescription& d) {
    if (stopped_ || (options_.cancel != nullptr && options_.cancel->load())) return false;
    if (!d.exists()) return true;
    const Existing existing = toStream_ ? Existing::Nothing : listing_.at(category, entry);
    if (existing == Existing::File && !options_.overwrite) {
      if (d.hasData()) ++counts_.kept;
      return true;  // never touched again
    }
    if (!d.hasData()) return true;

    auto work = std::make_unique<EntryWork>(*this);
    Job& job = work->job;
    if (!toStream_) {
      job.folder = listing_.folder();
      job.folderError = listing_.folderError();
    }
    job.path = entryPath(category, entry);
    job.entry = d;
    if (existing == Existing::Folder) {
      job.folderInTheWay = true;  // reported in its turn; nothing to read
    } else if (d.kind == EntryKind::Plain) {
      // One that the archive does not hold in full is not written: a later run with the whole
      // archive must not find a damaged file in its place.
      if (!d.liesWithin(archiveSize_)) {
        job.problem = EntryProblem::Incomplete;
      } else if (!bound_.take(d.length)) {
        return stopAtBound(job);
      } else if (fromFile_ && options_.sink == nullptr) {
        job.action = Action::CopyPlain;
      } else {
        job.action = Action::ReadPlain;
        work->weight = d.length;
      }
    } else {
      const uint64_t expanded = outputSizeOf(archive_, d);
      if (!bound_.take(expanded)) return stopAtBound(job);
      job.action = Action::Decode;
      work->weight = d.inputBufferSize() + expanded;
    }
    // Onto a stream, a plain entry is copied from the file when its turn comes.
    work->needsWorker = job.action == Action::Decode || job.action == Action::ReadPlain ||
                        (job.action == Action::CopyPlain && !toStream_);
    if (!pool_.submit(std::move(work))) stopped_ = true;
    return !stopped_;
  }

  ExtractStatus finish() {
    const bool stopped = pool_.finish();
    reportSkippedFolder();
    if (stop_ == RunStop::None && options_.cancel != nullptr && options_.cancel->load()) {
      stop_ = RunStop::Cancelled;
    }
    if (stopped || failed_) return ExtractStatus::Stopped;
    return hadProblems_ ? ExtractStatus::Problems : ExtractStatus::Clean;
  }

  ExtractCounts counts() const { return counts_; }
  RunStop stop() const { return stop_; }

 private:
  class EntryWork : public OrderedWork {
   public:
    explicit EntryWork(Impl& impl) : impl_(impl) {}
    void perform(WorkerState& state) override { static_cast<Worker&>(state).perform(job); }
    bool finish() override { return impl_.commit(job); }
    void drop() override { job.file.drop(); }
    Job job;

   private:
    Impl& impl_;
  };

  // Before an entry that would take the output past the bound: the entries before it are
  // finished, then the run stops.
  bool stopAtBound(const Job& job) {
    auto stop = std::make_unique<EntryWork>(*this);
    stop->job.action = Action::Stop;
    stop->job.failure = bound_.refusal(job.path, archiveSize_);
    stop->needsWorker = false;
    pool_.submit(std::move(stop));
    stopped_ = true;
    return false;
  }

  // Reports one entry and names its file (or sends its bytes). True when the run stops here.
  // Called in sweep order, one at a time.
  bool commit(Job& job) {
    if (job.action == Action::Stop) {
      fail(*job.failure, job.failure->hint() == ErrorHint::LiftOutputBound ? RunStop::OutputBound
                                                                           : RunStop::OutOfMemory);
      return true;
    }
    if (job.folder != skippedFolder_) reportSkippedFolder();
    if (!skippedFolder_.empty() || skipsFolder(job)) {
      // Nothing can be written in its folder: the entry is neither printed nor attempted.
      ++skipped_;
      events_.skipped(job.path);
      hadProblems_ = true;
      job.file.drop();
      return false;
    }
    if (job.folderInTheWay) {
      events_.inTheWay(job.path);
      hadProblems_ = true;
      return false;
    }
    events_.extracting(job.path);
    if (job.problem != EntryProblem::None) {
      events_.problem(job.path, job.problem, problemWords(job.problem));
      hadProblems_ = true;
    }
    if (job.unsupported) {
      events_.unsupported(job.path);
      hadProblems_ = true;
    }
    if (job.failure) {  // a failed write: the run stops at this entry
      fail(*job.failure);
      return true;
    }
    if (toStream_) return send(job);
    if (!job.file.valid()) return false;
    if (!name(job)) return false;
    ++counts_.written;
    return false;
  }

  // Whether the entry's folder cannot be made or used (the first entry that finds out): its
  // entries are skipped until the sweep leaves it.
  bool skipsFolder(const Job& job) {
    if (job.failedAt != Step::Create || !concernsOneName(job.failure->code())) return false;
    // A folder that could not be made for lack of permission: the output folder takes no new
    // folder, which concerns the whole output.
    if (job.folderError == EACCES || job.folderError == EPERM) return false;
    skippedFolder_ = job.folder;
    skipReason_ = job.folderError != 0 ? "cannot create it" : "cannot create files in it";
    skipReason_ = withReason(skipReason_, job.failure->code());
    return true;
  }

  void reportSkippedFolder() {
    if (skippedFolder_.empty()) return;
    events_.problem(skippedFolder_, EntryProblem::None,
                    skipReason_ + "; " + std::to_string(skipped_) +
                        (skipped_ == 1 ? " entry" : " entries") + " skipped");
    skippedFolder_.clear();
    skipped_ = 0;
  }

  // Sends the entry's bytes onto the stream. True when the run stops here.
  bool send(Job& job) {
    if (job.problem != EntryProblem::None || job.unsupported) return false;
    if (options_.sink != nullptr) {
      const bool taken = options_.sink->write(job.path, job.decoded.data.get(), job.decoded.size);
      job.decoded.data.reset();
      if (taken) {
        ++counts_.written;
        return false;
      }
      failed_ = true;
      stop_ = RunStop::SinkStopped;
      return true;
    }
    const FileHandle& stream = *options_.stream;
    std::string failure;
    int code = 0;
    if (job.action != Action::CopyPlain) {
      if (!writeAll(stream, job.decoded.data.get(), job.decoded.size)) {
        code = errno;
        failure = withReason("cannot write to standard output", code);
      }
      job.decoded.data.reset();
    } else {
      switch (copier_.copy(archive_.file(), job.entry.offset, stream, job.entry.length)) {
        case CopyResult::Done: break;
        case CopyResult::SourceEnded:
          code = errno != 0 ? errno : EIO;
          failure = withReason("cannot read " + job.path + " from " + archive_.path(), code);
          break;
        case CopyResult::WriteFailed:
          code = errno;
          failure = withReason("cannot write to standard output", code);
          break;
      }
    }
    if (failure.empty()) {
      ++counts_.written;
      return false;
    }
    fail(Error(ErrorKind::Host, failure, {}, code));
    return true;
  }

  // A failure that stops the run.
  void fail(const Error& error, RunStop stop = RunStop::Failure) {
    failed_ = true;
    stop_ = stop;
    events_.failure(error);
  }

  // Gives the written file its name. Without --overwrite, linking fails if another program made
  // the name since the sweep looked; with it, the old file is replaced in one step. False when it
  // could not be named: a problem with the name itself skips the file, anything else stops the
  // run (failed_).
  bool name(Job& job) {
    const bool overwrite = options_.overwrite;
    const NamingFailure failure =
        job.file.name(job.path, overwrite ? Naming::Replace : Naming::Keep);
    const int error = errno;
    std::string message;
    switch (failure) {
      case NamingFailure::None: return true;
      case NamingFailure::Link:
        message =
            "cannot link the finished file as " + (overwrite ? job.file.tempName() : job.path);
        break;
      case NamingFailure::Close:
        fail(Error(withReason("cannot write " + writtenName(job), error), error, job.path));
        return false;
      case NamingFailure::Rename:
        message = "cannot rename the finished file onto " + job.path;
        break;
    }
    if (concernsOneName(error)) {
      events_.problem(job.path, EntryProblem::None, withReason(message, error) + "; not written");
      hadProblems_ = true;
    } else {
      fail(Error(withReason(message, error), error, job.path));
    }
    return false;
  }

  const Archive& archive_;
  const Folder output_;
  ExtractEvents& events_;
  const ExtractOptions options_;
  const uint64_t archiveSize_;
  // The sweep's own.
  OutputBound bound_;
  FolderListing listing_;
  bool stopped_ = false;
  // The committing thread's own (one at a time, in sweep order).
  FileCopier copier_;
  ExtractCounts counts_;
  std::string skippedFolder_;  // the folder whose entries are being skipped
  std::string skipReason_;
  uint64_t skipped_ = 0;
  bool failed_ = false;  // a failure was reported: the run has stopped
  RunStop stop_ = RunStop::None;
  bool hadProblems_ = false;
  const bool toStream_;  // onto the stream or into the sink: nothing in the output folder
  const bool fromFile_;  // the archive is a file: plain entries are copied file to file
  BufferPool buffers_{kInFlightBudget};  // before the pool: its workers' buffers come from it
  OrderedPool pool_;                     // last: its workers end before the rest goes
};

Extractor::Extractor(const Archive& archive, Folder output, ExtractEvents& events,
                     ExtractOptions options)
    : impl_(std::make_unique<Impl>(archive, std::move(output), events, options)) {}
Extractor::~Extractor() = default;
bool Extractor::extract(int32_t category, int32_t entry, const EntryDescription& description) {
  return impl_->extract(category, entry, description);
}
ExtractStatus Extractor::finish() { return impl_->finish(); }
ExtractCounts Extractor::counts() const { return impl_->counts(); }
RunStop Extractor::stop() const { return impl_->stop(); }

std::string writtenSummary(const ExtractCounts& counts) {
  return std::to_string(counts.written) + (counts.written == 1 ? " entry" : " entries") +
         " written, " + std::to_string(counts.notWritten) + " not written";
}

std::string extractionMessage(const Error& error) {
  switch (error.hint()) {
    case ErrorHint::LiftOutputBound:
      return std::string(error.what()) + "; --no-size-limit lifts it";
    case ErrorHint::RecoverFirst:
      return std::string(error.what()) + "; run 'archive-pack --recover " + error.path() +
             "' first";
    // The packer's hints: reading never meets them.
    case ErrorHint::EditInPlace:
    case ErrorHint::PlainMethod:
    case ErrorHint::EditByCopy:
    case ErrorHint::RecoverToFinish:
    case ErrorHint::UpdateOrReplace:
    case ErrorHint::None: return error.what();
  }
  return error.what();
}

Folder openOutputFolder(const std::string& path) {
  std::optional<Folder> opened = openFolder(path);
  // A missing output folder is made, but not its parents: a mistyped parent is more likely than
  // a tree nobody has made yet.
  if (!opened && errno == ENOENT && (makeFolder(Folder(), path) || errno == EEXIST)) {
    opened = openFolder(path);
  }
  if (!opened) throwSystemError("cannot use " + path + " as the output folder", errno, path);
  return std::move(*opened);
}

ExtractSummary Extractor::run(const LookedUp& found, RunProgress* progress) {
  for (const SweptEntry& e : found.entries) {
    if (!extract(e.category, e.entry, e.description)) break;
    if (progress != nullptr) progress->advance(e);
  }
  ExtractSummary summary = conclude(found);
  if (summary.status == ExtractStatus::Clean && !summary.fault && progress != nullptr) {
    progress->complete();
  }
  return summary;
}

ExtractSummary Extractor::conclude(const LookedUp& found) {
  ExtractSummary summary;
  summary.status = finish();
  summary.counts = counts();
  summary.stop = stop();
  uint64_t wanted = 0;
  for (const SweptEntry& e : found.entries) wanted += e.description.hasData() ? 1 : 0;
  summary.counts.notWritten = wanted - summary.counts.kept - summary.counts.written;
  // The entries looked up before a fault are finished first, as a single thread would have; if
  // one of their writes fails, the run stops there, before the fault.
  if (summary.status == ExtractStatus::Stopped) return summary;
  if (summary.stop == RunStop::Cancelled) return summary;
  summary.fault = found.fault;
  return summary;
}
