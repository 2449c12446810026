#include "driver/extract.h"

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
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "codec/decode.h"
#include "cpu/fault.h"
#include "driver/categories.h"
#include "guest/bridge.h"

// The sweep runs in two threads. The main thread asks the guest routines about each entry, reads
// compressed entries and decodes them; a writer thread does everything else in sweep order:
// prints the path and any message, writes the file and renames it into place. So decoding one
// entry overlaps writing the one before, and stdout, stderr and the files come out exactly as
// if one thread had done it all.

namespace {

constexpr size_t kPathSize = 260;
constexpr size_t kCopyChunk = 1 << 20;
// Decoded entries waiting for the writer may hold this much between them; a larger entry waits
// until the writer has nothing left. Every job counts for at least kJobWeight, which bounds the
// queue of plain entries (they hold no data) too.
constexpr size_t kInFlightBudget = 32 << 20;
constexpr size_t kJobWeight = 64 << 10;

[[noreturn]] void stopRun();

[[noreturn]] void outOfMemory(size_t size) {
  std::fprintf(stderr, "archive-extract: out of memory (%zu bytes)\n", size);
  stopRun();
}

// Not cleared: every caller fills or zeroes what it uses.
uint8_t* allocate(size_t size) {
  void* p = std::malloc(size > 0 ? size : 1);
  if (p == nullptr) outOfMemory(size);
  return static_cast<uint8_t*>(p);
}

// Reads up to `size` bytes at `offset` and returns how many were there: what lies past the end
// of the archive (or cannot be read) is not read.
size_t readAt(int archive, uint64_t offset, uint8_t* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = pread(archive, buffer + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

// What the writer does for one entry, after printing its path and its warnings.
enum class Action : uint8_t {
  Nothing,      // corrupt compressed data: the warning says it all
  Unsupported,  // the unsupported compression method: a line on stdout, no file
  WriteData,    // a decoded entry held in `data`
  CopyPlain,    // a plain entry copied from the archive
};

struct Job {
  char path[kPathSize];
  char temp[kPathSize + 16];
  Action action = Action::Nothing;
  const char* warnings[2] = {nullptr, nullptr};
  uint8_t* data = nullptr;  // WriteData: owned by the job
  size_t size = 0;          // bytes to write
  uint64_t offset = 0;      // CopyPlain: where the entry starts in the archive
  size_t weight = 0;        // what the job counts against kInFlightBudget
  size_t folderLength = 0;  // path[0, folderLength) is the category folder
  bool stop = false;        // the sweep is over

  Job() = default;
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;
  ~Job() { std::free(data); }
};

// A write failure stops the run: the writer reports it, removes its temporary file and stops;
// the main thread then stops the run with status 2.
struct WriteFailure {};

class Writer {
 public:
  explicit Writer(int archive) : archive_(archive), thread_([this] { run(); }) {}
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
        std::fflush(stdout);
        return;
      }
      bool ok = true;
      try {
        perform(*job);
      } catch (const WriteFailure&) {
        ok = false;
      }
      std::unique_lock lock(mutex_);
      inFlight_ -= job->weight;
      delete job;
      if (!ok) {
        std::fflush(stdout);
        failed_ = true;
        changed_.notify_all();
        return;
      }
      changed_.notify_all();
    }
  }

  void warn(const char* path, const char* what) {
    std::fprintf(stderr, "archive-extract: %s: %s\n", path, what);
    hadProblems_ = true;
  }

  void perform(Job& job) {
    std::printf("%s\n", job.path);
    for (const char* warning : job.warnings) {
      if (warning != nullptr) warn(job.path, warning);
    }
    switch (job.action) {
      case Action::Nothing: return;
      case Action::Unsupported:
        std::printf("Unsupported compression !\n");
        hadProblems_ = true;
        return;
      case Action::WriteData:
        create(job);
        writeAll(job, job.data, job.size);
        commit(job);
        return;
      case Action::CopyPlain:
        create(job);
        if (!copyPlain(job)) {
          warn(job.path,
               "runs past the end of the archive; the missing bytes are written as zeros");
        }
        commit(job);
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
    if (useUnnamed_) {
      char folder[kPathSize];
      std::snprintf(folder, sizeof folder, "%.*s", static_cast<int>(job.folderLength), job.path);
      output_ = open(folder, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
      if (output_ >= 0) {
        unnamed_ = true;
        return;
      }
      if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        fail(job, "cannot create a file in", folder);
      }
      useUnnamed_ = false;  // not supported here: named temporary files from now on
    }
    unnamed_ = false;
    output_ = open(job.temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (output_ < 0) fail(job, "cannot create", job.temp);
  }
  const char* workingName(const Job& job) const { return unnamed_ ? job.path : job.temp; }

  void writeAll(const Job& job, const uint8_t* data, size_t size) {
    while (size > 0) {
      const ssize_t n = write(output_, data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) fail(job, "cannot write", workingName(job));
      data += n;
      size -= static_cast<size_t>(n);
    }
  }

  void commit(const Job& job) {
    if (unnamed_) {
      // Linking fails if the name exists (another program made it since the sweep looked).
      char self[32];
      std::snprintf(self, sizeof self, "/proc/self/fd/%d", output_);
      if (linkat(AT_FDCWD, self, AT_FDCWD, job.path, AT_SYMLINK_FOLLOW) != 0) {
        fail(job, "cannot link the finished file as", job.path);
      }
      linked_ = true;
    }
    const int fd = output_;
    output_ = -1;
    if (close(fd) != 0) fail(job, "cannot write", workingName(job));
    if (!unnamed_ && std::rename(job.temp, job.path) != 0) {
      fail(job, "cannot rename the finished file onto", job.path);
    }
    linked_ = false;
  }

  [[noreturn]] void fail(const Job& job, const char* what, const char* name) {
    const int saved = errno;
    if (output_ >= 0) close(output_);
    output_ = -1;
    if (!unnamed_) std::remove(job.temp);
    if (linked_) std::remove(job.path);  // linked, but the close then failed
    linked_ = false;
    std::fprintf(stderr, "archive-extract: %s %s: %s\n", what, name, std::strerror(saved));
    throw WriteFailure{};
  }

  // A plain entry goes from the archive to the file inside the kernel where it can, otherwise in
  // chunks through memory. A tail past the end of the archive is written as zero bytes. Returns
  // false when there was such a tail.
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
    bool complete = true;
    while (left > 0) {
      if (chunk_ == nullptr) {
        // Not allocate(): that stops the run from the main thread, and this is the writer.
        chunk_ = static_cast<uint8_t*>(std::malloc(kCopyChunk));
        if (chunk_ == nullptr) {
          errno = ENOMEM;
          fail(job, "cannot copy", job.path);
        }
      }
      const size_t n = std::min(kCopyChunk, left);
      const size_t got = complete ? readAt(archive_, offset, chunk_, n) : 0;
      if (got < n) {
        std::memset(chunk_ + got, 0, n - got);
        complete = false;
      }
      writeAll(job, chunk_, n);
      offset += n;
      left -= n;
    }
    return complete;
  }

  const int archive_;
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
// The folder is created (mode 0777 less the umask) when the first entry with data reaches it.
class FolderListing {
 public:
  bool has(const char* folder, int32_t entry, const char* path) {
    if (folder_ != folder) load(folder);
    if (entry < 0 || entry >= kEntriesPerCategory) return access(path, F_OK) == 0;
    return exists_[static_cast<size_t>(entry)];
  }
  void forget() { folder_.clear(); }

 private:
  void load(const char* folder) {
    folder_ = folder;
    mkdir(folder, 0777);  // usually it exists already
    std::fill(exists_.begin(), exists_.end(), false);
    DIR* listing = opendir(folder);
    if (listing == nullptr) return;  // creating the file will report what is wrong
    while (const dirent* item = readdir(listing)) {
      // Exactly four digits and ".raw", as the sweep names its files.
      const char* name = item->d_name;
      if (std::strlen(name) == 8 && std::strcmp(name + 4, ".raw") == 0 &&
          std::all_of(name, name + 4, [](char c) { return c >= '0' && c <= '9'; })) {
        exists_[static_cast<size_t>(std::atoi(name))] = true;
      }
    }
    closedir(listing);
  }
  std::string folder_;
  std::vector<bool> exists_ = std::vector<bool>(kEntriesPerCategory);
};
FolderListing existingFiles;

// Made on the first entry and retired at the end of the run, or before the run stops for any
// other reason: no thread may be left running when the process exits.
Writer* writer = nullptr;

// Finishes every job handed over and ends the writer thread.
Writer::Outcome retireWriter() {
  existingFiles.forget();
  if (writer == nullptr) return {false, false};
  Writer* w = writer;
  writer = nullptr;
  const Writer::Outcome outcome = w->finish();
  delete w;
  std::fflush(stdout);
  return outcome;
}

// Status 2: a failed write (the writer has reported it) or no memory left.
void stopRun() {
  retireWriter();
  throw ExtractionStopped{};
}

Writer& writerFor(int archive) {
  if (writer == nullptr) {
    writer = new Writer(archive);
  }
  return *writer;
}

}  // namespace

void dumpEntry(int archive, const char* folder, int32_t category, int32_t entry) {
  // The four questions, always all four and in this order.
  const int32_t sector = queryEntrySector(category, entry);
  const int32_t plain = queryEntryIsPlain(category, entry);
  const int32_t length = queryEntryLength(category, entry);
  const int32_t stored = queryEntryStoredLength(category, entry);
  if (length == 0 || stored == 0) return;  // no such entry

  char path[kPathSize];
  std::snprintf(path, sizeof path, "%s/%04d.raw", folder, static_cast<int>(entry));
  if (existingFiles.has(folder, entry, path)) return;  // from an earlier run: never touched again
  if (length == -1 || stored == -1) return;  // the index marks the entry as having no data

  Writer& out = writerFor(archive);
  auto job = std::make_unique<Job>();
  std::memcpy(job->path, path, sizeof path);
  job->folderLength = std::strlen(folder);
  std::snprintf(job->temp, sizeof job->temp, "%s/.%04d.raw.partial", folder,
                static_cast<int>(entry));
  // The sector is an unsigned 32-bit number; the offset needs 64 bits.
  const uint64_t offset = uint64_t{static_cast<uint32_t>(sector)} * kSectorSize;
  if (plain != 0) {
    // Plain entries are copied by the writer straight from the archive, as their expanded length.
    job->action = Action::CopyPlain;
    job->offset = offset;
    job->size = static_cast<size_t>(length);
    if (!out.waitForRoom(kJobWeight) || !out.submit(std::move(job))) stopRun();
    return;
  }

  // Compressed: the stored bytes in a zero-filled buffer of the larger of the two lengths.
  const size_t inputLength = static_cast<size_t>(std::max(length, stored));
  if (!out.waitForRoom(std::max(inputLength + static_cast<size_t>(length), kJobWeight))) {
    stopRun();
  }
  uint8_t* input = allocate(inputLength);
  const size_t got = readAt(archive, offset, input, static_cast<size_t>(stored));
  std::memset(input + got, 0, inputLength - got);  // only what was not read
  if (got < static_cast<size_t>(stored)) {
    job->warnings[0] = "runs past the end of the archive; decoding it from what is there";
  }
  uint8_t* output = nullptr;
  const DecodeResult result = decompressEntry(input, static_cast<int32_t>(inputLength), &output);
  std::free(input);
  switch (result.status) {
    case DecodeStatus::Unsupported: job->action = Action::Unsupported; break;
    case DecodeStatus::Corrupt: job->warnings[1] = "corrupt compressed data; not written"; break;
    case DecodeStatus::OutOfMemory: outOfMemory(static_cast<size_t>(result.size));
    case DecodeStatus::Ok:
      job->action = Action::WriteData;
      job->data = output;
      job->size = static_cast<size_t>(result.size);
      break;
  }
  if (!out.submit(std::move(job))) stopRun();
}

void dumpCategory(int archive, const char* folder, int32_t category) {
  for (int32_t entry = 0; entry < kEntriesPerCategory; ++entry) {
    dumpEntry(archive, folder, category, entry);
  }
}

bool finishExtraction() {
  const Writer::Outcome outcome = retireWriter();
  if (outcome.failed) stopRun();
  return !outcome.hadProblems;
}
