// archive-extract [OPTION]... ARCHIVE [MEMBER]...: writes the model entries of the archive to
// "models - X/NNNN.raw" and prints each path; or lists them, or tests them.
//
// Exit status: 0 success; 1 a fault of the emulated machine (its message is on stdout); 2 anything
// else (bad argument, unreadable archive, write failure, entries that could not be extracted or
// that are damaged, members not found); 128 + N after signal N.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "api/archive.h"
#include "api/error.h"
#include "api/extract.h"
#include "api/system.h"
#include "console.h"
#include "dropped.h"
#include "options.h"

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
  void problem(const std::string& path, EntryProblem, const std::string& what) override {
    console_.err(path + ": " + what);
  }
  void failure(const Error& error) override { console_.err(extractionMessage(error)); }

 private:
  Console& console_;
  const Options& o_;
};

// --test's verdict of one entry as text.
std::string verdictLine(const EntryRecord& r) {
  const char* problem = r.problemName();
  return r.path + ": " + (problem == nullptr ? "ok" : problem) +
         (r.verdict->shared ? " (shares stored bytes with an earlier entry)" : "");
}

// One entry of --list (the long form) or --test, as text or as a JSON object.
std::string entryLine(const Options& o, const EntryRecord& r) {
  if (o.json) return entryJson(r);
  if (r.verdict) return verdictLine(r);
  char line[128];
  std::snprintf(line, sizeof line, "%3d %04d %10u %-11s %10s %10s  ", static_cast<int>(r.category),
                static_cast<int>(r.entry), r.sector, r.methodName(),
                r.stored ? std::to_string(*r.stored).c_str() : "-",
                r.size ? std::to_string(*r.size).c_str() : "-");
  return line + r.path;
}

// --test's lines on stdout, in sweep order; a failed stdout stops the test. With --quiet, stdout
// holds nothing, but a damaged entry is a problem: its line goes to stderr.
class ConsoleTestSink : public TestSink {
 public:
  ConsoleTestSink(Console& console, const Options& o) : console_(console), o_(o) {}
  bool tested(const EntryRecord& record) override {
    if (o_.quiet && record.problemName() != nullptr) console_.err(verdictLine(record));
    return console_.out(entryLine(o_, record));
  }

 private:
  Console& console_;
  const Options& o_;
};

class Run {
 public:
  Run(Options& options, Console& console, bool stderrIsTerminal)
      : o_(options), console_(console), stderrIsTerminal_(stderrIsTerminal) {
    // The progress line follows each entry, and shows the whole run at 100% before it goes.
    progress_.onChange = [this](const Progress& p, bool done) {
      if (!done || !interrupted_.load()) console_.progress(p, done);
    };
  }

  int execute() {
    std::unique_ptr<Archive> archive;
    try {
      archive = Archive::open(o_.archive);
    } catch (const Error& error) {
      console_.err(extractionMessage(error));
      return 2;
    }
    // Every selected entry that exists, looked up before any is read (about 30 ms for the eleven
    // categories), so that the progress line knows how much there is in all. A fault of the
    // machine ends the lookups; the entries before it are still worked on, then the fault ends
    // the run.
    Sweep sweep = archive->entries(o_.selection);
    const LookedUp found = lookUpExisting(sweep, interrupted_);
    progress_.count(found.entries);
    int status = o_.mode == Mode::Extract ? extract(*archive, found)
                 : o_.mode == Mode::Test  ? test(*archive, found)
                                          : list(*archive, found);
    archive.reset();
    console_.clearProgress();
    if (status == 1) return 1;
    if (const int signal = stopSignal(); signal != 0) return 128 + signal;
    for (const Member& m : o_.selection.members()) {
      if (!m.found) {
        console_.err(unmatchedMember(m));
        status = 2;
      }
    }
    if (!console_.finishStdout()) status = 2;
    return status;
  }

  // The entries the extraction wrote.
  uint64_t written() const { return written_; }

 private:
  // A fault of the emulated machine: its line, exactly, where the machine prints (stdout; stderr
  // with --quiet, and where stdout holds something else: JSON or the entries' bytes), then which
  // archive made the lookups stop.
  int machineFault(const Error& fault) {
    console_.clearProgress();
    const std::string line = fault.what();
    if (!line.empty() && (o_.quiet || o_.json || o_.toStdout)) {
      console_.errLine(line);
    } else if (!line.empty()) {
      console_.out(line);
    }
    console_.err(lookupsStopped(o_.archive));
    console_.finishStdout();
    return 1;
  }

  Executor executor() const { return Executor{o_.jobs > 0 ? o_.jobs : coreCount()}; }

  uint64_t bound(const Archive& archive) const {
    return o_.sizeLimit ? outputBoundOf(archive.size()) : kNoOutputBound;
  }

  int extract(Archive& archive, const LookedUp& found) {
    Folder output;
    if (o_.directory) {
      try {
        output = openOutputFolder(*o_.directory);
      } catch (const Error& error) {
        console_.err(error.what());
        return 2;
      }
    }
    ConsoleEvents events(console_, o_);
    ExtractOptions options{o_.overwrite, &interrupted_, bound(archive), executor()};
    if (o_.toStdout) options.stream = &standardOutput();
    Extractor extractor(archive, std::move(output), events, options);
    const ExtractSummary summary = extractor.run(found, &progress_);
    if (summary.fault) return machineFault(*summary.fault);
    console_.clearProgress();
    if (interrupted_.load()) return 2;
    const ExtractCounts& counts = summary.counts;
    written_ = counts.written;
    if (counts.kept > 0 && stderrIsTerminal_) {
      console_.err(count(counts.kept, "existing file", "existing files") + " kept; --overwrite " +
                   (counts.kept == 1 ? "replaces it" : "replaces them"));
    }
    // Extraction goes on when stdout fails (the files are its product) and ends with status 2.
    int status = summary.status == ExtractStatus::Clean ? 0 : 2;
    if (!console_.finishStdout() && status == 0) status = 2;
    if (summary.status != ExtractStatus::Clean) {
      console_.err(writtenSummary(counts));
    }
    return status;
  }

  // --list: the members' paths, as tar lists; with -v or --json, every entry and its storage. A
  // failed stdout stops it at once.
  int list(Archive& archive, const LookedUp& found) {
    const bool paths = !o_.verbose && !o_.json;
    bool ok = true;
    for (const SweptEntry& e : found.entries) {
      if (interrupted_.load()) break;
      if (!paths) {
        ok = console_.out(entryLine(o_, entryRecord(archive, e)));
      } else if (e.description.hasData()) {
        ok = console_.out(e.path());
      }
      if (!ok) break;
      progress_.advance(e);
    }
    if (found.fault && ok && !interrupted_.load()) return machineFault(*found.fault);
    if (ok) progress_.complete();
    return ok ? 0 : 2;
  }

  // --test: each entry read and decoded as extraction would, on the same pool of workers, under
  // the same bound; its line printed in sweep order, so that the output is the same at every
  // --jobs. A failed stdout or no memory to decode an entry stops it there.
  int test(Archive& archive, const LookedUp& found) {
    ConsoleTestSink sink(console_, o_);
    Tester tester(archive, sink, TestOptions{bound(archive), executor(), &interrupted_});
    const TestSummary summary = tester.run(found, &progress_);
    if (summary.fault && !interrupted_.load()) return machineFault(*summary.fault);
    if (summary.error) console_.err(extractionMessage(*summary.error));
    if (summary.stop == RunStop::SinkStopped) return 2;
    if (stopSignal() == 0) {
      console_.clearProgress();
      console_.err(testedSummary(summary));
    }
    return summary.damaged == 0 && summary.stop == RunStop::None ? 0 : 2;
  }

  Options& o_;
  Console& console_;
  const bool stderrIsTerminal_;
  const std::atomic<bool>& interrupted_ = stopRequested();
  RunProgress progress_;
  uint64_t written_ = 0;
};

// Archives dropped on the tool in Explorer, or none (it was double-clicked): each extracted beside
// itself with the progress and a summary, and no paths (hundreds would scroll away). The window
// closes with the process: it waits for a key first, so that what happened can be read.
int extractDropped(int argc, char** argv) {
  catchStopSignals();
  int status = 0;
  if (argc < 2) {
    std::printf(
        "archive-extract writes the model files of an archive into folders.\n"
        "Drop an archive on archive-extract.exe to extract it into a folder beside it,\n"
        "or run it from a console: archive-extract --help\n");
  }
  const bool escapes = enableTerminalEscapes(StandardStream::Error);
  for (int i = 1; i < argc && stopSignal() == 0; ++i) {
    Options o;
    o.archive = argv[i];
    const std::string folder = droppedFolder(o.archive, [](const std::string& path) {
      const std::optional<FileInfo> info = fileInfo(path);
      return info && !info->directory;
    });
    makeFolder(Folder(), folder);  // one already there is used as it is
    o.directory = folder;
    std::printf("%s\n", o.archive.c_str());
    std::fflush(stdout);
    Console console(true, true, escapes);
    Run run(o, console, false);
    const int archiveStatus = run.execute();
    if (archiveStatus == 0) {
      console.errLine(count(run.written(), "entry", "entries") + " written to " + folder);
    }
    status = std::max(status, archiveStatus);
  }
  std::printf("Press any key to close this window\n");
  std::fflush(stdout);
  waitForKey();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const ProgramArguments arguments(argc, argv);
  r5900::setGuestOutput(
      [](const char* bytes, size_t size) { std::fwrite(bytes, 1, size, stdout); });
  if (ownsConsoleAlone()) return extractDropped(argc, argv);
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
