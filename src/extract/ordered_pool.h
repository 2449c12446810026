// Work on a run's entries by a pool of threads, finished strictly in the order the entries were
// handed over: workers do the slow part (reading, decoding, writing a file without a name)
// several at once; each entry is then finished (reported, its file named, its bytes sent on) by
// whichever thread finishes the one at the front. So what a run reports and writes comes out
// exactly as if one thread had done it all, at any number of workers. Or, inline, the caller's
// thread does each entry's work and finishes it inside submit(): no thread is ever started, for a
// build that has none (single-threaded WebAssembly), with the same order, bound and budget.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "reading/buffer_pool.h"

// What a worker thread keeps between entries (buffers, how files are made there).
class WorkerState {
 public:
  virtual ~WorkerState() = default;
};

// One entry's work.
class OrderedWork {
 public:
  virtual ~OrderedWork() = default;
  // Done by a worker, several at once, with that worker's state; not called once the run has
  // stopped or been cancelled.
  virtual void perform(WorkerState& /*state*/) {}
  // Done in hand-over order, one at a time. True: the run stops here.
  virtual bool finish() = 0;
  // Instead of finish(), for every entry after the run stopped or was cancelled.
  virtual void drop() {}

  // Whether perform() has anything to do (otherwise the entry is ready at once).
  bool needsWorker = true;
  // The memory the entry holds while in flight; every entry counts for at least kWorkWeight.
  size_t weight = 0;

 private:
  friend class OrderedPool;
  bool done_ = false;  // guarded by the pool's mutex
};

// The entries in flight (handed over and not yet finished) may hold kInFlightBudget bytes between
// them; an entry larger than that waits until nothing else is in flight. Every entry counts for
// at least kWorkWeight, which also bounds how many are in flight at once (256).
constexpr size_t kWorkWeight = 128 << 10;

// Who does the entries' work: `threads` worker threads, or none (inlineOnCaller()): the caller's
// thread, inside submit().
struct Executor {
  unsigned threads = 1;
  static constexpr Executor inlineOnCaller() { return Executor{0}; }
  constexpr bool isInline() const { return threads == 0; }
};

class OrderedPool {
 public:
  // The executor's workers, started with the first entry that needs one. When `cancel` becomes
  // true, the entry being finished is the last: the others are dropped.
  // Each worker's state (inline: the caller's) comes from `makeState`.
  using StateMaker = std::function<std::unique_ptr<WorkerState>()>;
  explicit OrderedPool(Executor executor, const std::atomic<bool>* cancel = nullptr,
                       StateMaker makeState = {})
      : threads_(executor.threads), cancel_(cancel), makeState_(std::move(makeState)) {}
  ~OrderedPool() { finish(); }
  OrderedPool(const OrderedPool&) = delete;
  OrderedPool& operator=(const OrderedPool&) = delete;

  // Hands `work` over once it fits in the budget (inline: performs and finishes it). False once
  // the run has stopped (`work` is then dropped).
  bool submit(std::unique_ptr<OrderedWork> work);
  // Waits until every entry handed over is finished or dropped and the workers have ended. True
  // when an entry stopped the run.
  bool finish();

 private:
  bool submitInline(std::unique_ptr<OrderedWork> work);
  void startWorkers();
  void work();
  bool cancelled() const { return cancel_ != nullptr && cancel_->load(); }
  void finishReady();

  const unsigned threads_;  // 0: inline
  const std::atomic<bool>* cancel_;
  const StateMaker makeState_;
  std::vector<std::thread> workers_;
  std::unique_ptr<WorkerState> inlineState_;  // the caller's, inline
  std::mutex mutex_;
  std::condition_variable work_;      // an entry for the workers, or their end
  std::condition_variable progress_;  // an entry finished, or the finishing thread done
  std::deque<std::unique_ptr<OrderedWork>> order_;  // every entry not yet finished, in order
  std::deque<OrderedWork*> pending_;                // the entries no worker has taken yet, in order
  size_t inFlight_ = 0;
  bool stopping_ = false;   // the workers end once nothing is pending
  bool finishing_ = false;  // a thread is finishing entries
  bool stopped_ = false;    // an entry stopped the run
  bool dropping_ = false;   // stopped or cancelled: later entries are dropped
};
