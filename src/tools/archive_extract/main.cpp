// archive-extract [OPTION]... ARCHIVE [MEMBER]...: writes the model entries of the archive to
// "models - X/NNNN.raw" and prints each path; or lists them, or tests them.
//
// Exit status: 0 success; 1 a fault of the emulated machine (its message is on stdout); 2 anything
// else (bad argument, unreadable archive, write failure, entries that could not be extracted or
// that are damaged, members not found); 128 + N after signal N.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/categories.h"
#include "console.h"
#include "cpu/fault.h"
#include "extract/extractor.h"
#include "extract/ordered_pool.h"
#include "options.h"
#include "platform/folder.h"
#include "platform/error.h"
#include "platform/interrupt.h"
#include "platform/process.h"
#include "reading/archive.h"
#include "reading/entry.h"
#include "reading/inspect.h"
#include "reading/limit.h"

namespace {

// Paths and the unsupported-method line on stdout, problems on stderr, in sweep order. With -O,
// stdout holds the entries' bytes alone: the unsupported-method line goes to stderr, and with -v
// each entry's path too, before its bytes.
class ConsoleEvents : public ExtractEvents {
 public:
  ConsoleEvents(Console& console, const Options& o) : console_(console), o_(o) {}
  void extracting(const std::string& path) override {
    if (!o_.toStdout) {
      console_.out(path);
    } else if (o_.verbose) {
      console_.errLine(path);
    }
  }
  void unsupported(const std::string& path) override {
    if (o_.toStdout) {
      console_.errLine("Unsupported compression !");
    } else {
      console_.out("Unsupported compression !");
    }
    console_.err(path + ": unsupported compression method; not written");
  }
  void problem(const std::string& path, const std::string& what) override {
    console_.err(path + ": " + what);
  }
  void failure(const std::string& message) override { console_.err(message); }

 private:
  Console& console_;
  const Options& o_;
};

std::string jsonNumber(const std::optional<uint32_t>& value) {
  return value ? std::to_string(*value) : "null";
}

// One entry of --list or --test, as text or as a JSON object.
// In --test, `shared` says that its stored bytes overlap an earlier entry's.
std::string entryLine(const Options& o, const SweptEntry& e, const EntryStorage& storage,
                      const char* problem, bool shared) {
  const int32_t category = e.category, entry = e.entry;
  const EntryDescription& d = e.description;
  const std::string path = e.path();
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
  Run(Options& options, Console& console, bool stderrIsTerminal)
      : o_(options), console_(console), stderrIsTerminal_(stderrIsTerminal) {}

  int execute() {
    std::unique_ptr<Archive> archive;
    try {
      archive = Archive::open(o_.archive);
    } catch (const Error& error) {
      console_.err(error.what());
      return 2;
    }
    const std::vector<SweptEntry> entries = lookUp(*archive);
    int status = o_.mode == Mode::Extract ? extract(*archive, entries)
                 : o_.mode == Mode::Test  ? test(*archive, entries)
                                          : list(*archive, entries);
    archive.reset();
    console_.clearProgress();
    if (status == 1) return 1;
    if (const int signal = stopSignal(); signal != 0) return 128 + signal;
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
  // Every selected entry that exists, looked up before any is read (about 30 ms for the eleven
  // categories), so that the progress line knows how much there is in all. A fault of the
  // machine ends the lookups; the entries before it are still worked on, then the fault ends the
  // run.
  std::vector<SweptEntry> lookUp(Archive& archive) {
    Sweep sweep = archive.entries(o_.selection);
    std::vector<SweptEntry> entries = lookUpExisting(sweep, interrupted_, fault_);
    for (const SweptEntry& e : entries) {
      if (!e.description.hasData()) continue;
      ++progress_.entriesTotal;
      progress_.bytesTotal += e.description.length;
    }
    return entries;
  }

  // Calls `visit` for each entry in sweep order until it returns false or a signal comes (SIGINT
  // or SIGTERM: no more entries are taken and no further file is named); the progress line
  // follows.
  template <typename Visit>
  void forEach(const std::vector<SweptEntry>& entries, Visit visit) {
    for (const SweptEntry& e : entries) {
      if (interrupted_.load() || !visit(e)) return;
      if (e.description.hasData()) {
        ++progress_.entries;
        progress_.bytes += e.description.length;
      }
      console_.progress(progress_);
    }
  }

  // The whole run done: the line shows it at 100% before it goes.
  void progressDone() {
    if (interrupted_.load()) return;
    progress_.entries = progress_.entriesTotal;
    progress_.bytes = progress_.bytesTotal;
    console_.progress(progress_, true);
  }

  // A fault of the emulated machine: its line, exactly, where the machine prints (stdout; stderr
  // with --quiet, and where stdout holds something else: JSON or the entries' bytes), then which
  // archive made the lookups stop.
  int machineFault(const r5900::MachineFault& fault) {
    console_.clearProgress();
    if (!fault.line.empty() && (o_.quiet || o_.json || o_.toStdout)) {
      console_.errLine(fault.line.substr(0, fault.line.size() - 1));
    } else if (!fault.line.empty()) {
      console_.out(fault.line.substr(0, fault.line.size() - 1));  // without its newline
    }
    console_.err(o_.archive +
                 ": the lookup routines stopped on its index (is it an archive of "
                 "this kind?)");
    console_.finishStdout();
    return 1;
  }

  int extract(Archive& archive, const std::vector<SweptEntry>& entries) {
    Folder output;
    if (o_.directory) {
      std::optional<Folder> opened = openFolder(*o_.directory);
      if (!opened) {
        const int error = errno;
        console_.err(withReason("cannot use " + *o_.directory + " as the output folder", error));
        return 2;
      }
      output = std::move(*opened);
    }
    ConsoleEvents events(console_, o_);
    ExtractOptions options{o_.overwrite, &interrupted_, bound(archive),
                           o_.jobs > 0 ? o_.jobs : coreCount()};
    if (o_.toStdout) options.stream = &standardOutput();
    Extractor extractor(archive, std::move(output), events, options);
    forEach(entries, [&](const SweptEntry& e) {
      return extractor.extract(e.category, e.entry, e.description);
    });
    const ExtractStatus result = extractor.finish();
    const ExtractCounts counts = extractor.counts();
    // The entries looked up before a fault are finished first, as a single thread would have; if
    // one of their writes fails, the run stops there, before the fault.
    if (fault_ && result != ExtractStatus::Stopped && !interrupted_.load()) {
      return machineFault(*fault_);
    }
    if (result == ExtractStatus::Clean) progressDone();
    console_.clearProgress();
    if (interrupted_.load()) return 2;
    if (counts.kept > 0 && stderrIsTerminal_) {
      console_.err(count(counts.kept, "existing file", "existing files") + " kept; --overwrite " +
                   (counts.kept == 1 ? "replaces it" : "replaces them"));
    }
    // Extraction goes on when stdout fails (the files are its product) and ends with status 2.
    int status = result == ExtractStatus::Clean ? 0 : 2;
    if (!console_.finishStdout() && status == 0) status = 2;
    if (result != ExtractStatus::Clean) {
      const uint64_t wanted = progress_.entriesTotal - counts.kept;
      console_.err(count(counts.written, "entry", "entries") + " written, " +
                   std::to_string(wanted - counts.written) + " not written");
    }
    return status;
  }

  uint64_t bound(const Archive& archive) const {
    return o_.sizeLimit ? outputBound(archive.size()) : kNoOutputBound;
  }

  // --list: one line per entry; a failed stdout stops it at once.
  int list(Archive& archive, const std::vector<SweptEntry>& entries) {
    bool ok = true;
    forEach(entries, [&](const SweptEntry& e) {
      return ok = console_.out(
                 entryLine(o_, e, entryStorage(archive, e.description), nullptr, false));
    });
    if (fault_ && ok && !interrupted_.load()) return machineFault(*fault_);
    if (ok) progressDone();
    return ok ? 0 : 2;
  }

  // One entry of --test: read and decoded by a worker, its line printed in sweep order.
  class TestWork : public OrderedWork {
   public:
    TestWork(Run& run, const Archive& archive, EntryTester& tester, const SweptEntry& e,
             bool shared)
        : run_(run), archive_(archive), tester_(tester), e_(e), shared_(shared) {}
    void perform(WorkerState&) override { problem_ = tester_.test(e_.description); }
    bool finish() override { return run_.reportTest(e_, problem_, shared_, archive_); }

   private:
    Run& run_;
    const Archive& archive_;
    EntryTester& tester_;
    const SweptEntry& e_;
    const bool shared_;
    EntryProblem problem_ = EntryProblem::None;
  };

  // --test: each entry read and decoded as extraction would, on the same pool of workers, under
  // the same bound; its line printed in sweep order, so that the output is the same at every
  // --jobs. A failed stdout or no memory to decode an entry stops it there.
  int test(Archive& archive, const std::vector<SweptEntry>& entries) {
    EntryTester tester(archive, bound(archive));
    std::optional<std::string> stop;
    bool stopped = false;
    {
      OrderedPool pool(o_.jobs > 0 ? o_.jobs : coreCount(), &interrupted_);
      forEach(entries, [&](const SweptEntry& e) {
        if (!e.description.hasData()) return true;
        try {
          const EntryTester::Admission admitted = tester.admit(e);
          auto work = std::make_unique<TestWork>(*this, archive, tester, e, admitted.shared);
          if (e.description.kind == EntryKind::Compressed) {
            work->weight = e.description.inputBufferSize() + admitted.expanded;
          }
          return pool.submit(std::move(work));
        } catch (const Error& error) {  // the output bound: the entries before it finish
          stop = error.what();
          return false;
        }
      });
      stopped = pool.finish();
    }
    if (fault_ && !stop && !stopped && !interrupted_.load()) return machineFault(*fault_);
    if (stop) console_.err(*stop);
    if (!stop && !stopped) progressDone();
    if (stdoutFailed_) return 2;
    if (stopSignal() == 0) {
      console_.clearProgress();
      console_.err("tested " + count(tested_, "entry", "entries") + ": " +
                   (damaged_ == 0 ? "all sound" : std::to_string(damaged_) + " damaged"));
    }
    return damaged_ == 0 && !stop && !stopped ? 0 : 2;
  }

  // Prints one tested entry. True when the test stops here.
  bool reportTest(const SweptEntry& e, EntryProblem problem, bool shared, const Archive& archive) {
    if (problem == EntryProblem::OutOfMemory) {
      console_.err(e.path() + ": out of memory to decode it");
      return true;
    }
    ++tested_;
    if (problem != EntryProblem::None) ++damaged_;
    const char* name = problem == EntryProblem::None ? nullptr : entryProblemName(problem);
    stdoutFailed_ =
        !console_.out(entryLine(o_, e, entryStorage(archive, e.description), name, shared));
    return stdoutFailed_;
  }

  Options& o_;
  Console& console_;
  const bool stderrIsTerminal_;
  const std::atomic<bool>& interrupted_ = stopRequested();
  std::optional<r5900::MachineFault> fault_;
  Progress progress_;
  uint64_t tested_ = 0;  // the --test lines' own (one thread at a time, in order)
  uint64_t damaged_ = 0;
  bool stdoutFailed_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  const ProgramArguments arguments(argc, argv);
  int status = 0;
  std::optional<Options> options = parseOptions(argc, argv, status);
  if (!options) return status;
  catchStopSignals();
  const bool terminal = isTerminal(StandardStream::Error);
  const bool progress = !options->quiet && terminal;
  Console console(options->quiet || options->toStdout, progress,
                  progress && enableTerminalEscapes(StandardStream::Error));
  return Run(*options, console, terminal).execute();
}
