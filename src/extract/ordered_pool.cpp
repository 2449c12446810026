#include "extract/ordered_pool.h"

#include <algorithm>

bool OrderedPool::submit(std::unique_ptr<OrderedWork> work) {
  if (threads_ == 0) return submitInline(std::move(work));
  work->weight = std::max(work->weight, kWorkWeight);
  OrderedWork* raw = work.get();
  // Once handed over, a worker may finish the entry and free it: nothing of it is read after.
  const bool needsWorker = raw->needsWorker;
  {
    std::unique_lock lock(mutex_);
    progress_.wait(lock, [&] {
      return stopped_ || inFlight_ == 0 || inFlight_ + raw->weight <= kInFlightBudget;
    });
    if (stopped_) {
      lock.unlock();
      work->drop();
      return false;
    }
    inFlight_ += raw->weight;
    order_.push_back(std::move(work));
    if (needsWorker) {
      if (workers_.empty()) startWorkers();
      pending_.push_back(raw);
      work_.notify_one();
    } else {
      raw->done_ = true;
    }
  }
  if (!needsWorker) finishReady();
  std::unique_lock lock(mutex_);
  return !stopped_;
}

// The same decisions as the workers and the finishing thread make, in the same order, one entry
// at a time: nothing is ever in flight after submit() returns, so the budget never holds it back.
bool OrderedPool::submitInline(std::unique_ptr<OrderedWork> work) {
  if (stopped_) {
    work->drop();
    return false;
  }
  dropping_ = dropping_ || cancelled();
  if (!dropping_ && work->needsWorker) {
    if (!inlineState_) inlineState_ = makeState_ ? makeState_() : std::make_unique<WorkerState>();
    work->perform(*inlineState_);
  }
  dropping_ = dropping_ || cancelled();
  if (dropping_) {
    work->drop();
  } else {
    stopped_ = work->finish();
  }
  return !stopped_;
}

bool OrderedPool::finish() {
  if (threads_ == 0) return stopped_;
  {
    std::unique_lock lock(mutex_);
    progress_.wait(lock, [&] { return order_.empty() && !finishing_; });
    stopping_ = true;
    work_.notify_all();
  }
  for (std::thread& t : workers_) t.join();
  workers_.clear();
  std::unique_lock lock(mutex_);
  stopping_ = false;
  return stopped_;
}

void OrderedPool::startWorkers() {
  for (unsigned i = 0; i < threads_; ++i) workers_.emplace_back([this] { work(); });
}

void OrderedPool::work() {
  const std::unique_ptr<WorkerState> state =
      makeState_ ? makeState_() : std::make_unique<WorkerState>();
  for (;;) {
    OrderedWork* job = nullptr;
    bool skip = false;
    {
      std::unique_lock lock(mutex_);
      work_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
      if (pending_.empty()) return;
      job = pending_.front();
      pending_.pop_front();
      skip = dropping_ || cancelled();
    }
    if (!skip) job->perform(*state);
    {
      std::unique_lock lock(mutex_);
      job->done_ = true;
    }
    finishReady();
  }
}

// Finishes the ready entries at the front, in order. One thread at a time does it; a thread that
// finds another at it leaves its entry to that one, which looks at the front again before it
// stops.
void OrderedPool::finishReady() {
  {
    std::unique_lock lock(mutex_);
    if (finishing_) return;
    finishing_ = true;
  }
  for (;;) {
    OrderedWork* job = nullptr;
    bool drop = false;
    {
      std::unique_lock lock(mutex_);
      if (order_.empty() || !order_.front()->done_) {
        finishing_ = false;
        progress_.notify_all();
        return;
      }
      job = order_.front().get();
      dropping_ = dropping_ || stopped_ || cancelled();
      drop = dropping_;
    }
    bool stops = false;
    if (drop) {
      job->drop();
    } else {
      stops = job->finish();
    }
    {
      std::unique_lock lock(mutex_);
      stopped_ = stopped_ || stops;
      inFlight_ -= job->weight;
      order_.pop_front();
      progress_.notify_all();
    }
  }
}
