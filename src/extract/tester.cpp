#include "extract/tester.h"

#include <cerrno>

#include "reading/inspect.h"

class Tester::Impl {
 public:
  Impl(const Archive& archive, TestSink& sink, TestOptions options)
      : archive_(archive),
        sink_(sink),
        cancel_(options.cancel),
        tester_(archive, options.outputBound, options.loader),
        pool_(options.executor, options.cancel) {}
  ~Impl() { pool_.finish(); }

  bool test(const SweptEntry& e) {
    if (stopped_ || (cancel_ != nullptr && cancel_->load())) return false;
    if (!e.description.hasData()) return true;
    const std::optional<EntryTester::Admission> admitted = tester_.admit(e);
    if (!admitted) {
      // The entries before it finish first.
      refusal_ = tester_.refusal(e);
      stopped_ = true;
      return false;
    }
    auto work = std::make_unique<Work>(*this, e, admitted->shared);
    if (e.description.kind == EntryKind::Compressed) {
      work->weight = e.description.inputBufferSize() + admitted->expanded;
    }
    stopped_ = !pool_.submit(std::move(work));
    return !stopped_;
  }

  // An entry that stopped the run comes before the one the bound stopped at; the refusal is kept
  // with it all the same.
  TestSummary finish() {
    pool_.finish();
    TestSummary summary = summary_;
    if (refusal_) {
      if (summary.stop == RunStop::None) summary.stop = RunStop::OutputBound;
      if (!summary.error) summary.error = refusal_;
    }
    if (summary.stop == RunStop::None && cancel_ != nullptr && cancel_->load()) {
      summary.stop = RunStop::Cancelled;
    }
    return summary;
  }

 private:
  // One entry: read and decoded by a worker, its verdict handed on in sweep order.
  class Work : public OrderedWork {
   public:
    Work(Impl& impl, const SweptEntry& e, bool shared) : impl_(impl), e_(e), shared_(shared) {}
    void perform(WorkerState&) override { problem_ = impl_.tester_.test(e_.description); }
    bool finish() override { return impl_.report(e_, problem_, shared_); }

   private:
    Impl& impl_;
    const SweptEntry e_;
    const bool shared_;
    EntryProblem problem_ = EntryProblem::None;
  };

  // True when the test stops here.
  bool report(const SweptEntry& e, EntryProblem problem, bool shared) {
    if (problem == EntryProblem::OutOfMemory) {
      const std::string path = e.path();
      summary_.stop = RunStop::OutOfMemory;
      summary_.error = Error(ErrorKind::Host, path + ": out of memory to decode it", path, ENOMEM);
      return true;
    }
    ++summary_.tested;
    if (problem != EntryProblem::None) ++summary_.damaged;
    EntryRecord record = entryRecord(archive_, e);
    record.verdict = EntryVerdict{problem, shared};
    if (sink_.tested(record)) return false;
    summary_.stop = RunStop::SinkStopped;
    return true;
  }

  const Archive& archive_;
  TestSink& sink_;
  const std::atomic<bool>* cancel_;
  EntryTester tester_;
  // The sweeping thread's own.
  bool stopped_ = false;
  std::optional<Error> refusal_;  // the output bound stopped the run
  // The finishing thread's own (one at a time, in sweep order); read once the pool is finished.
  TestSummary summary_;
  OrderedPool pool_;  // last: its workers end before the rest goes
};

Tester::Tester(const Archive& archive, TestSink& sink, TestOptions options)
    : impl_(std::make_unique<Impl>(archive, sink, options)) {}
Tester::~Tester() = default;
bool Tester::test(const SweptEntry& e) { return impl_->test(e); }
TestSummary Tester::finish() { return impl_->finish(); }

TestSummary Tester::run(const LookedUp& found, RunProgress* progress) {
  for (const SweptEntry& e : found.entries) {
    if (!test(e)) break;
    if (progress != nullptr) progress->advance(e);
  }
  TestSummary summary = conclude(found);
  if (summary.stop == RunStop::None && !summary.fault && progress != nullptr) progress->complete();
  return summary;
}

TestSummary Tester::conclude(const LookedUp& found) {
  TestSummary summary = finish();
  if (summary.stop == RunStop::None) summary.fault = found.fault;
  return summary;
}

std::string testedSummary(const TestSummary& summary) {
  return "tested " + std::to_string(summary.tested) +
         (summary.tested == 1 ? " entry" : " entries") + ": " +
         (summary.damaged == 0 ? "all sound" : std::to_string(summary.damaged) + " damaged");
}
