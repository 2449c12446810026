// archive-extract [OPTION]... ARCHIVE [MEMBER]...: writes the model entries of the archive to
// "models - X/NNNN.raw" and prints each path; or lists them, or tests them.
//
// Exit status: 0 success; 1 a fault of the emulated machine (its message is on stdout); 2 anything
// else (bad argument, unreadable archive, write failure, entries that could not be extracted or
// that are damaged, members not found); 128 + N after signal N.
#include <fcntl.h>
#include <malloc.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "archive/categories.h"
#include "cpu/fault.h"
#include "driver/console.h"
#include "driver/entry.h"
#include "driver/extractor.h"
#include "driver/inspect.h"
#include "driver/limit.h"
#include "driver/options.h"
#include "guest/session.h"

namespace {

// SIGINT or SIGTERM: the sweep stops taking entries and no further file is named.
std::atomic<bool> interrupted{false};
// The handler may run on any thread (the workers do not block signals), so both are atomics,
// which are lock-free and safe in a handler.
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

void onStopSignal(int signal) {
  stopSignal.store(signal);
  interrupted.store(true);
}

void catchStopSignals() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

std::string reason() { return std::strerror(errno); }

// The cores this process may run on.
unsigned cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  const int allowed = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 0;
  const unsigned online = std::thread::hardware_concurrency();
  if (allowed > 0) return online > 0 ? std::min(static_cast<unsigned>(allowed), online) : allowed;
  return online > 0 ? online : 1;
}

// Paths and the unsupported-method line on stdout, problems on stderr, in sweep order.
class ConsoleEvents : public ExtractEvents {
 public:
  explicit ConsoleEvents(Console& console) : console_(console) {}
  void extracting(const std::string& path) override { console_.out(path); }
  void unsupported(const std::string& path) override {
    console_.out("Unsupported compression !");
    console_.err(path + ": unsupported compression method; not written");
  }
  void problem(const std::string& path, const std::string& what) override {
    console_.err(path + ": " + what);
  }
  void failure(const std::string& message) override { console_.err(message); }

 private:
  Console& console_;
};

std::string jsonNumber(const std::optional<uint32_t>& value) {
  return value ? std::to_string(*value) : "null";
}

// One entry of --list or --test, as text or as a JSON object.
// In --test, `shared` says that its stored bytes overlap an earlier entry's.
std::string entryLine(const Options& o, int32_t category, int32_t entry, const EntryDescription& d,
                      const EntryStorage& storage, const char* problem, bool shared) {
  const std::string path = entryPath(category, entry);
  const std::optional<uint32_t> stored =
      d.kind == EntryKind::NoData ? std::nullopt : std::optional<uint32_t>(d.stored);
  if (o.json) {
    std::string json =
        "{\"path\":" + jsonString(path) + ",\"category\":" + std::to_string(category) +
        ",\"entry\":" + std::to_string(entry) + ",\"sector\":" + std::to_string(d.sector) +
        ",\"method\":\"" + storageMethodName(storage.method) +
        "\",\"stored\":" + jsonNumber(stored) + ",\"size\":" + jsonNumber(storage.size);
    if (o.mode == Mode::Test) {
      json += problem == nullptr ? ",\"ok\":true"
                                 : std::string(",\"ok\":false,\"problem\":\"") + problem + "\"";
      json += shared ? ",\"shared\":true" : ",\"shared\":false";
    }
    return json + "}";
  }
  if (o.mode == Mode::Test) {
    return path + ": " + (problem == nullptr ? "ok" : problem) +
           (shared ? " (shares stored bytes with an earlier entry)" : "");
  }
  char line[128];
  std::snprintf(line, sizeof line, "%3d %04d %10u %-11s %10s %10s  ", static_cast<int>(category),
                static_cast<int>(entry), d.sector, storageMethodName(storage.method),
                stored ? std::to_string(*stored).c_str() : "-",
                storage.size ? std::to_string(*storage.size).c_str() : "-");
  return line + path;
}

class Run {
 public:
  Run(Options& options, Console& console) : o_(options), console_(console) {}

  int execute() {
    const int archive = openArchive();
    if (archive < 0) return 2;
    std::vector<uint8_t> index(kArchiveIndexSize);
    if (pread(archive, index.data(), kArchiveIndexSize, kArchiveIndexOffset) !=
        static_cast<ssize_t>(kArchiveIndexSize)) {
      console_.err("cannot read the archive index of " + o_.archive + ": " + reason());
      close(archive);
      return 2;
    }
    int status = 2;
    const std::unique_ptr<GuestSession> session = GuestSession::open(index.data());
    if (!session) {
      console_.err("out of memory: cannot allocate the 32 MiB of guest RAM");
    } else if (o_.mode == Mode::Extract) {
      status = extract(archive, *session);
    } else {
      status = inspect(archive, *session);
    }
    close(archive);
    console_.clearProgress();
    if (status == 1) return 1;
    if (const int signal = stopSignal.load(); signal != 0) return 128 + signal;
    for (const Member& m : o_.selection.members()) {
      if (!m.found) {
        console_.err(m.text + ": not found in archive");
        status = 2;
      }
    }
    if (!console_.finishStdout()) status = 2;
    return status;
  }

 private:
  int openArchive() {
    // Not blocking on a FIFO without a writer: it is refused below like any other non-file.
    const int archive = open(o_.archive.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (archive < 0) {
      console_.err("cannot open " + o_.archive + ": " + reason());
      return -1;
    }
    struct stat info {};
    const char* problem = nullptr;
    if (fstat(archive, &info) != 0) {
      console_.err("cannot read " + o_.archive + ": " + reason());
      problem = "";
    } else if (S_ISDIR(info.st_mode)) {
      problem = "is a directory";
    } else if (!S_ISREG(info.st_mode)) {
      problem = "is not a regular file (the archive is read at random offsets)";
    } else if (static_cast<uint64_t>(info.st_size) < kMinimumArchiveSize) {
      problem = "too short to hold the archive index (0xE2000 bytes)";
    }
    archiveSize_ = static_cast<uint64_t>(info.st_size);
    // An update stopped half-way leaves its journal beside the archive's real file: the index may
    // be half written until archive-pack completes or discards it.
    char* real = problem == nullptr ? realpath(o_.archive.c_str(), nullptr) : nullptr;
    const std::string journal = real != nullptr ? std::string(real) + ".update-journal" : "";
    std::free(real);
    if (!journal.empty() && access(journal.c_str(), F_OK) == 0) {
      console_.err(o_.archive + ": an update of it was stopped and left its journal " + journal +
                   "; run 'archive-pack --recover " + o_.archive + "' first");
      problem = "";
    }
    if (problem == nullptr) {
      if (fcntl(archive, F_SETFL, 0) == 0) return archive;
      console_.err("cannot read " + o_.archive + ": " + reason());
    } else if (*problem != '\0') {
      console_.err(o_.archive + ": " + problem);
    }
    close(archive);
    return -1;
  }

  // A fault of the emulated machine: its line, exactly, where the machine prints (stdout, or
  // stderr with --quiet), then which archive made the lookups stop.
  int machineFault(const r5900::MachineFault& fault) {
    console_.clearProgress();
    if (!fault.line.empty() && o_.quiet) {
      std::fflush(stdout);
      std::fputs(fault.line.c_str(), stderr);
    } else if (!fault.line.empty()) {
      console_.out(fault.line.substr(0, fault.line.size() - 1));  // without its newline
    }
    console_.err(o_.archive +
                 ": the lookup routines stopped on its index (is it an archive of "
                 "this kind?)");
    console_.finishStdout();
    return 1;
  }

  // Calls `visit` for each selected entry in sweep order until it returns false or a signal
  // comes; the progress line follows.
  template <typename Visit>
  void sweep(GuestSession& session, Visit visit) {
    std::vector<std::pair<int32_t, std::vector<int32_t>>> plan;
    size_t total = 0;
    for (const int32_t category : o_.selection.categories()) {
      plan.emplace_back(category, o_.selection.entries(category));
      total += plan.back().second.size();
    }
    size_t done = 0;
    for (const auto& [category, entries] : plan) {
      for (const int32_t entry : entries) {
        if (interrupted.load()) return;
        const EntryDescription d = describeEntry(session.ask(category, entry));
        if (d.exists()) o_.selection.found(category, entry);
        if (!visit(category, entry, d)) return;
        if (d.hasData()) {
          ++entries_;
          bytes_ += d.length;
        }
        console_.progress(entries_, bytes_,
                          static_cast<double>(++done) / static_cast<double>(total));
      }
    }
  }

  int extract(int archive, GuestSession& session) {
    int outputDir = AT_FDCWD;
    if (o_.directory) {
      outputDir = open(o_.directory->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (outputDir < 0) {
        console_.err("cannot use " + *o_.directory + " as the output folder: " + reason());
        return 2;
      }
    }
    ConsoleEvents events(console_);
    int status = 0;
    {
      Extractor extractor(archive, outputDir, events,
                          {o_.overwrite, &interrupted, bound(), o_.jobs > 0 ? o_.jobs : cores()});
      try {
        sweep(session, [&](int32_t category, int32_t entry, const EntryDescription& d) {
          return extractor.extract(category, entry, d);
        });
        status = extractor.finish() == ExtractStatus::Clean ? 0 : 2;
      } catch (const r5900::MachineFault& fault) {
        // The entries read before the fault are finished first, as a single thread would have;
        // if one of their writes fails, the run stops there, before the fault.
        status = extractor.finish() == ExtractStatus::Stopped ? 2 : machineFault(fault);
      }
    }
    if (outputDir != AT_FDCWD) close(outputDir);
    // Extraction goes on when stdout fails (the files are its product) and ends with status 2.
    if (!console_.finishStdout() && status == 0) status = 2;
    return status;
  }

  uint64_t bound() const { return o_.sizeLimit ? outputBound(archiveSize_) : kNoOutputBound; }

  // The stored bytes of an entry with data that lie in the archive.
  std::pair<uint64_t, uint64_t> storedRange(const EntryDescription& d) const {
    const uint64_t size = d.kind == EntryKind::Plain ? d.length : d.stored;
    if (d.offset >= archiveSize_) return {d.offset, 0};
    return {d.offset, std::min(size, archiveSize_ - d.offset)};
  }

  // --list and --test: one line per entry; a failed stdout stops them at once. The test decodes
  // what extraction would, under the same bound, and stops where extraction would.
  int inspect(int archive, GuestSession& session) {
    uint64_t tested = 0, damaged = 0;
    std::vector<uint8_t> scratch;
    OutputBudget budget(bound());
    StoredRanges ranges;
    bool ok = true;
    try {
      sweep(session, [&](int32_t category, int32_t entry, const EntryDescription& d) {
        if (!d.exists() || (o_.mode == Mode::Test && !d.hasData())) return true;
        const EntryStorage storage = entryStorage(archive, d);
        const char* problem = nullptr;
        bool shared = false;
        if (o_.mode == Mode::Test) {
          // A plain entry the archive does not hold in full is neither read nor counted.
          if ((d.kind == EntryKind::Compressed || d.liesWithin(archiveSize_)) &&
              !budget.take(outputSizeOf(archive, d))) {
            console_.err(budget.refusal(entryPath(category, entry), archiveSize_));
            return ok = false;
          }
          const auto [offset, size] = storedRange(d);
          shared = ranges.overlapsEarlier(offset, size);
          const EntryProblem p = testEntry(archive, d, scratch);
          if (p == EntryProblem::OutOfMemory) {
            console_.err(entryPath(category, entry) + ": out of memory to decode it");
            return ok = false;
          }
          ++tested;
          if (p != EntryProblem::None) {
            problem = entryProblemName(p);
            ++damaged;
          }
        }
        return ok = console_.out(entryLine(o_, category, entry, d, storage, problem, shared));
      });
    } catch (const r5900::MachineFault& fault) {
      return machineFault(fault);
    }
    if (!ok) return 2;
    if (o_.mode == Mode::Test && stopSignal.load() == 0) {
      console_.clearProgress();
      console_.err("tested " + std::to_string(tested) + " entries: " +
                   (damaged == 0 ? "all sound" : std::to_string(damaged) + " damaged"));
    }
    return damaged == 0 ? 0 : 2;
  }

  Options& o_;
  Console& console_;
  uint64_t archiveSize_ = 0;
  uint64_t entries_ = 0;
  uint64_t bytes_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  int status = 0;
  std::optional<Options> options = parseOptions(argc, argv, status);
  if (!options) return status;
  catchStopSignals();
  // Entry buffers come and go by the thousand, allocated by the main thread and freed by the
  // writer: keep the freed memory in the heap rather than handing it back to the kernel after
  // each one and faulting fresh zeroed pages in for the next.
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  Console console(options->quiet, !options->quiet && isatty(STDERR_FILENO) != 0);
  return Run(*options, console).execute();
}
