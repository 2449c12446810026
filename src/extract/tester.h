// The integrity test of a run's entries, as extraction would read them: each entry with data read
// and decoded (on the executor's workers, several at once), under the output bound that extraction
// obeys; each verdict handed to the caller's sink strictly in sweep order, so that what the sink
// sees is the same at any number of workers.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "extract/ordered_pool.h"
#include "extract/run.h"
#include "platform/error.h"
#include "reading/archive.h"
#include "reading/entry_record.h"
#include "reading/output_bound.h"
#include "reading/progress.h"
#include "reading/sweep.h"

// Where the verdicts go, one at a time, in sweep order (from whichever thread finished the entry).
class TestSink {
 public:
  virtual ~TestSink() = default;
  // Entry `record`, its verdict set. False: the run stops here (a failed standard output).
  virtual bool tested(const EntryRecord& record) = 0;
};

struct TestOptions {
  // The most the entries may expand to in all (see reading/output_bound.h).
  uint64_t outputBound = kNoOutputBound;
  Executor executor;
  // When it becomes true, the entry being finished is the last.
  const std::atomic<bool>* cancel = nullptr;
  // Who else may know the entries' verdicts (see reading/read.h); none: the test reads them all.
  EntryLoader* loader = nullptr;
};

struct TestSummary {
  uint64_t tested = 0;   // entries with a verdict
  uint64_t damaged = 0;  // of them, with a problem
  RunStop stop = RunStop::None;
  std::optional<Error> error;  // OutputBound: the refusal; OutOfMemory: the entry it concerns
  // The fault of the machine that ended the lookups, when the test otherwise went to its end.
  std::optional<Error> fault;
};

// The test's last line, as every front end words it: "tested 20 entries: 4 damaged", or
// "tested 1 entry: all sound".
std::string testedSummary(const TestSummary& summary);

class Tester {
 public:
  Tester(const Archive& archive, TestSink& sink, TestOptions options);
  ~Tester();  // finishes the work in flight
  Tester(const Tester&) = delete;
  Tester& operator=(const Tester&) = delete;

  // Hands entry `e` over (one without data is passed over). False once the run has stopped.
  bool test(const SweptEntry& e);
  // Waits until every entry handed over has its verdict.
  TestSummary finish();

  // The whole test of the entries looked up: handed over in order, `progress` advanced after each
  // (and completed when the test went to its end), then finished.
  TestSummary run(const LookedUp& found, RunProgress* progress = nullptr);
  // The end of a test whose caller handed the entries of `found` over itself: finished and,
  // when it went to its end, the fault of the lookups.
  TestSummary conclude(const LookedUp& found);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};
