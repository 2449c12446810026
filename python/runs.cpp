#include "runs.h"

#include <pybind11/stl.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "convert.h"
#include "extract/extractor.h"
#include "extract/ordered_pool.h"
#include "platform/folder.h"
#include "reading/inspect.h"
#include "reading/limit.h"

namespace {

// The selected entries that exist, looked up in sweep order; a fault of the machine ends the
// lookups (the entries before it are kept) and is handed back.
std::vector<SweptEntry> lookUp(Archive& archive, Selection& selection,
                               const std::atomic<bool>& cancel,
                               std::optional<r5900::MachineFault>& fault) {
  Sweep sweep = archive.entries(selection);
  return lookUpExisting(sweep, cancel, fault);
}

// How far a run has come, by entries with data and the bytes the index says they expand to.
struct Progress {
  std::atomic<uint64_t> entries{0}, entriesTotal{0}, bytes{0}, bytesTotal{0};
  std::atomic<bool> counted{false};  // the totals are known
  void count(const std::vector<SweptEntry>& all) {
    for (const SweptEntry& e : all) {
      if (!e.description.hasData()) continue;
      ++entriesTotal;
      bytesTotal += e.description.length;
    }
    counted = true;
  }
  void advance(const SweptEntry& e) {
    if (!e.description.hasData()) return;
    ++entries;
    bytes += e.description.length;
  }
};

// What a run that stopped early or went wrong leaves for the Python side to raise, in the order
// the command line reports it.
struct RunEnd {
  std::optional<std::string> faultLine;  // the machine stopped the lookups
  std::optional<std::string> failure;    // the run stopped (the output bound, a failed write)
  bool outOfMemory = false;              // with `failure`: no memory to decode an entry
};

std::optional<std::string> faultLineOf(const std::optional<r5900::MachineFault>& fault) {
  if (!fault) return std::nullopt;
  std::string line = fault->line;
  if (!line.empty() && line.back() == '\n') line.pop_back();
  return line;
}

// What the extraction reports, kept for the Python side: the paths written (in sweep order), and
// the problems by path.
class CollectedEvents : public ExtractEvents {
 public:
  void extracting(const std::string& path) override { written.push_back(path); }
  void unsupported(const std::string& path) override { spoil(path, "unsupported"); }
  void problem(const std::string& path, const std::string& what) override {
    // An entry's own damage by the word --test uses; anything else (a file or folder that could
    // not be made) as the command line words it.
    for (const char* word : {"corrupt", "incomplete"}) {
      if (what.rfind(word, 0) == 0) return spoil(path, word);
    }
    spoil(path, what);
  }
  void skipped(const std::string& path) override { problems.emplace_back(path, "folder"); }
  void failure(const std::string& message) override { failed = message; }

  std::vector<std::string> written;
  std::vector<std::pair<std::string, std::string>> problems;
  std::optional<std::string> failed;

 private:
  void spoil(const std::string& path, const std::string& word) {
    if (!written.empty() && written.back() == path) written.pop_back();
    problems.emplace_back(path, word);
  }
};

}  // namespace

// The integrity test of the selected entries, as --test runs it: read and decoded on `jobs`
// workers under the output bound, the verdicts in sweep order.
py::tuple testEntries(const ArchiveHandle& handle, const py::object& categories,
                      const py::object& entries, const py::object& members, bool allCategories,
                      bool sizeLimit, const py::object& jobs) {
  const std::shared_ptr<Archive> archive = handle.archive();
  std::unique_ptr<Selection> selection = makeSelection(categories, entries, members, allCategories);
  const unsigned threads = workers(jobs);
  std::vector<TestResult> results;
  RunEnd end;
  std::atomic<bool> cancel{false};
  struct Work : OrderedWork {
    const Archive& archive;
    EntryTester& tester;
    const SweptEntry& e;
    bool shared;
    std::vector<TestResult>& results;
    RunEnd& end;
    EntryProblem problem = EntryProblem::None;
    Work(const Archive& a, EntryTester& t, const SweptEntry& e, bool shared,
         std::vector<TestResult>& r, RunEnd& end)
        : archive(a), tester(t), e(e), shared(shared), results(r), end(end) {}
    void perform(WorkerState&) override { problem = tester.test(e.description); }
    bool finish() override {
      if (problem == EntryProblem::OutOfMemory) {
        end.failure = e.path() + ": out of memory to decode it";
        end.outOfMemory = true;
        return true;
      }
      TestResult r{describeForListing(archive, e), problem == EntryProblem::None, std::nullopt,
                   shared};
      if (!r.ok) r.problem = entryProblemName(problem);
      results.push_back(std::move(r));
      return false;
    }
  };
  translated({archive->path()}, [&] {
    runStoppable(cancel, [&] {
      std::optional<r5900::MachineFault> fault;
      const std::vector<SweptEntry> swept = lookUp(*archive, *selection, cancel, fault);
      EntryTester tester(*archive, sizeLimit ? outputBound(archive->size()) : kNoOutputBound);
      bool stopped = false;
      {
        OrderedPool pool(threads, &cancel);
        for (const SweptEntry& e : swept) {
          if (cancel.load()) break;
          if (!e.description.hasData()) continue;
          try {
            const EntryTester::Admission admitted = tester.admit(e);
            auto work = std::make_unique<Work>(*archive, tester, e, admitted.shared, results, end);
            if (e.description.kind == EntryKind::Compressed) {
              work->weight = e.description.inputBufferSize() + admitted.expanded;
            }
            if (!pool.submit(std::move(work))) break;
          } catch (const Error& error) {  // the output bound: the entries before it finish
            end.failure = error.what();
            break;
          }
        }
        stopped = pool.finish();
      }
      if (fault && !end.failure && !stopped) end.faultLine = faultLineOf(fault);
    });
  });
  return py::make_tuple(std::move(results), end.faultLine, end.failure, end.outOfMemory,
                        missingMembers(*selection));
}

// Extraction into `output`, as archive-extract -C OUTPUT runs it.
py::tuple extractEntries(const ArchiveHandle& handle, const py::object& outputPath,
                         const py::object& categories, const py::object& entries,
                         const py::object& members, bool allCategories, bool overwrite,
                         const py::object& jobs, bool sizeLimit, const py::object& progress) {
  const std::shared_ptr<Archive> archive = handle.archive();
  std::unique_ptr<Selection> selection = makeSelection(categories, entries, members, allCategories);
  const unsigned threads = workers(jobs);
  const std::string output = fspath(outputPath);
  std::optional<Folder> folder = openFolder(output);
  if (!folder) {
    const int error = errno;
    raiseHostError(
        Error(withReason("cannot use " + output + " as the output folder", error), error),
        {output});
  }
  CollectedEvents events;
  RunEnd end;
  Progress done;
  std::atomic<bool> cancel{false};
  bool clean = false;
  std::string summary;  // the command line's last line after problems
  uint64_t lastEntries = UINT64_MAX, lastBytes = UINT64_MAX;
  const std::function<void()> tick = [&] {
    if (progress.is_none() || !done.counted) return;  // the lookups are still going on
    const uint64_t e = done.entries, b = done.bytes;
    if (e == lastEntries && b == lastBytes) return;
    lastEntries = e;
    lastBytes = b;
    progress(e, done.entriesTotal.load(), b, done.bytesTotal.load());
  };
  translated({output, archive->path()}, [&] {
    runStoppable(
        cancel,
        [&] {
          std::optional<r5900::MachineFault> fault;
          const std::vector<SweptEntry> swept = lookUp(*archive, *selection, cancel, fault);
          done.count(swept);
          ExtractOptions options;
          options.overwrite = overwrite;
          options.cancel = &cancel;
          options.outputBound = sizeLimit ? outputBound(archive->size()) : kNoOutputBound;
          options.jobs = threads;
          Extractor extractor(*archive, std::move(*folder), events, options);
          for (const SweptEntry& e : swept) {
            if (cancel.load() || !extractor.extract(e.category, e.entry, e.description)) break;
            done.advance(e);
          }
          const ExtractStatus status = extractor.finish();
          // Every file named is in `written`; one reported and then not named ended the run.
          const ExtractCounts counts = extractor.counts();
          while (events.written.size() > counts.written) events.written.pop_back();
          summary = std::to_string(counts.written) + (counts.written == 1 ? " entry" : " entries") +
                    " written, " +
                    std::to_string(done.entriesTotal.load() - counts.kept - counts.written) +
                    " not written";
          if (fault && status != ExtractStatus::Stopped && !cancel.load()) {
            end.faultLine = faultLineOf(fault);
          }
          clean = status == ExtractStatus::Clean && !cancel.load();
          if (clean) {
            done.entries = done.entriesTotal.load();
            done.bytes = done.bytesTotal.load();
          }
        },
        tick);
  });
  return py::make_tuple(events.written, events.problems, end.faultLine, events.failed,
                        missingMembers(*selection), summary);
}
