#include "reading/store_ahead.h"

#include <algorithm>
#include <system_error>
#include <utility>

StoreAhead::StoreAhead(const ByteSource& source, DecodeCache& cache, uint64_t budget,
                       unsigned workers, Next next, Store store)
    : source_(source),
      cache_(cache),
      budget_(std::max<uint64_t>(budget, kFirstWindow)),
      workerCount_(std::max(workers, 1u)),
      next_(std::move(next)),
      store_(std::move(store)) {}

StoreAhead::~StoreAhead() { stop(); }

void StoreAhead::stop() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  wanted_.notify_all();
  for (std::thread& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
  workers_.clear();
}

uint64_t StoreAhead::window() const {
  const std::lock_guard lock(mutex_);
  return window_;
}

bool StoreAhead::idle() const {
  const std::lock_guard lock(mutex_);
  return queue_.empty() && busy_ == 0;
}

void StoreAhead::started(uint64_t key) {
  const std::lock_guard lock(mutex_);
  if (stopping_) return;
  const bool followed = planned_.contains(key) || expected_ == key;
  if (followed) {
    window_ = std::min(window_ * 2, budget_);
  } else {
    window_ = kFirstWindow;
    for (const Item& item : queue_) planned_.erase(item.key);
    queue_.clear();
  }
  // The reader gives this one itself.
  const auto queued =
      std::find_if(queue_.begin(), queue_.end(), [&](const Item& item) { return item.key == key; });
  if (queued != queue_.end()) queue_.erase(queued);
  planned_.insert(key);

  // The window after it, counting what was planned before as well: each trigger covers it all.
  std::optional<Item> item = next_(key);
  expected_ = item ? std::optional(item->key) : std::nullopt;
  bool added = false;
  // (At most so many entries: a window of small files is walked under the lock.)
  constexpr int kMostEntries = 4096;
  int walked = 0;
  for (uint64_t bytes = 0; item && bytes < window_ && walked < kMostEntries;
       item = next_(item->key), ++walked) {
    bytes += item->size;
    if (planned_.insert(item->key).second) {
      queue_.push_back(*item);
      added = true;
    }
  }
  if (!added) return;
  if (workers_.empty()) {
    try {
      for (unsigned i = 0; i < workerCount_; ++i) workers_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {  // no thread to be had: readers read as before
      if (workers_.empty()) {
        for (const Item& queuedItem : queue_) planned_.erase(queuedItem.key);
        queue_.clear();
        return;
      }
    }
  }
  wanted_.notify_all();
}

void StoreAhead::work() {
  for (;;) {
    Item item{};
    {
      std::unique_lock lock(mutex_);
      wanted_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      item = queue_.front();
      queue_.pop_front();
      ++busy_;
    }
    give(item);
    const std::lock_guard lock(mutex_);
    --busy_;
  }
}

void StoreAhead::give(const Item& item) {
  const auto stopped = [&] {
    const std::lock_guard lock(mutex_);
    return stopping_;
  };
  const EntryDescription& d = item.d;
  if (d.kind == EntryKind::Plain) {
    if (d.length != item.size || !d.liesWithin(source_.size())) return;
    thread_local std::vector<uint8_t> piece;
    piece.resize(kPiece);
    for (uint64_t at = 0; at < item.size && !stopped();) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kPiece, item.size - at));
      if (source_.readAt(d.offset + at, piece.data(), n) != n) return;  // cut short since
      if (!store_(item.key, at, piece.data(), n)) return;
      at += n;
    }
    return;
  }
  if (d.kind != EntryKind::Compressed) return;
  const std::shared_ptr<const LoadedEntry> entry = cache_.getAhead({item.key, d});
  if (!entry) return;  // no room beside the entries being read, or a reader decodes it
  if (entry->problem == EntryProblem::None && entry->size == item.size) {
    for (uint64_t at = 0; at < item.size && !stopped(); at += kPiece) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kPiece, item.size - at));
      if (!store_(item.key, at, entry->data.get() + at, n)) break;
    }
  }
  cache_.given(item.key);
}
