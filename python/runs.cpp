#include "runs.h"

#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "api/extract.h"
#include "api/system.h"
#include "convert.h"

namespace {

std::optional<std::string> faultLineOf(const std::optional<Error>& fault) {
  if (!fault) return std::nullopt;
  return std::string(fault->what());
}

uint64_t boundFor(const Archive& archive, bool sizeLimit) {
  return sizeLimit ? outputBoundOf(archive.size()) : kNoOutputBound;
}

// The verdicts, kept for the Python side in sweep order.
class CollectedVerdicts : public TestSink {
 public:
  bool tested(const EntryRecord& record) override {
    results.emplace_back(record);
    return true;
  }
  std::vector<TestResult> results;
};

// What the extraction reports, kept for the Python side: the paths written (in sweep order), and
// the problems by path.
class CollectedEvents : public ExtractEvents {
 public:
  void extracting(const std::string& path) override { written.push_back(path); }
  void unsupported(const std::string& path) override { spoil(path, "unsupported"); }
  // An entry's own damage by the word the test uses; anything else (a file or folder that could
  // not be made) in the library's words.
  void problem(const std::string& path, EntryProblem problem, const std::string& what) override {
    spoil(path, problem != EntryProblem::None ? entryProblemName(problem) : what);
  }
  void inTheWay(const std::string& path) override { spoil(path, "in the way"); }
  void skipped(const std::string& path) override { problems.emplace_back(path, "folder"); }
  void failure(const Error& error) override { failed = messageOf(error); }

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
  CollectedVerdicts verdicts;
  TestSummary summary;
  std::atomic<bool> cancel{false};
  const TestOptions options{boundFor(*archive, sizeLimit), Executor{workers(jobs)}, &cancel};
  translated([&] {
    runStoppable(cancel, [&] {
      Sweep sweep = archive->entries(*selection);
      const LookedUp found = lookUpExisting(sweep, cancel);
      summary = Tester(*archive, verdicts, options).run(found);
    });
  });
  std::optional<std::string> failure;
  if (summary.error) failure = messageOf(*summary.error);
  return py::make_tuple(std::move(verdicts.results), faultLineOf(summary.fault), failure,
                        summary.stop == RunStop::OutOfMemory, missingMembers(*selection));
}

// Extraction into `output`, as archive-extract -C OUTPUT runs it.
py::tuple extractEntries(const ArchiveHandle& handle, const py::object& outputPath,
                         const py::object& categories, const py::object& entries,
                         const py::object& members, bool allCategories, bool overwrite,
                         const py::object& jobs, bool sizeLimit, const py::object& progress) {
  const std::shared_ptr<Archive> archive = handle.archive();
  std::unique_ptr<Selection> selection = makeSelection(categories, entries, members, allCategories);
  const unsigned threads = workers(jobs);
  std::optional<Folder> folder;
  translated([&] { folder = openOutputFolder(fspath(outputPath)); });
  CollectedEvents events;
  RunProgress done;
  ExtractSummary summary;
  std::atomic<bool> cancel{false};
  Progress last{UINT64_MAX, 0, UINT64_MAX, 0};
  // The callback hears of the totals as soon as the lookups are done, then 20 times a second at
  // most, and once at the end.
  std::chrono::steady_clock::time_point lastCall;
  const std::function<void(bool)> tick = [&](bool end) {
    if (progress.is_none() || !done.counted()) return;  // the lookups are still going on
    const Progress p = done.snapshot();
    if (p.entries == last.entries && p.bytes == last.bytes) return;
    const auto now = std::chrono::steady_clock::now();
    const bool first = last.entries == UINT64_MAX;
    if (!first && !end && now - lastCall < std::chrono::milliseconds(50)) return;
    last = p;
    lastCall = now;
    progress(p.entries, p.entriesTotal, p.bytes, p.bytesTotal);
  };
  translated([&] {
    runStoppable(
        cancel,
        [&] {
          Sweep sweep = archive->entries(*selection);
          const LookedUp found = lookUpExisting(sweep, cancel);
          done.count(found.entries);
          const ExtractOptions options{overwrite, &cancel, boundFor(*archive, sizeLimit),
                                       Executor{threads}};
          Extractor extractor(*archive, std::move(*folder), events, options);
          summary = extractor.run(found, &done);
          // Every file named is in `written`; one reported and then not named ended the run.
          while (events.written.size() > summary.counts.written) events.written.pop_back();
        },
        tick);
  });
  // The command line's last line after problems.
  return py::make_tuple(events.written, events.problems, faultLineOf(summary.fault), events.failed,
                        missingMembers(*selection), writtenSummary(summary.counts));
}
