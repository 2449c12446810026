#include "reading/decode_cache.h"

#include <algorithm>
#include <utility>

#include "reading/output_bound.h"

namespace {
// How long a reader that stopped part-way through an entry keeps it in the cache.
constexpr auto kReadHold = std::chrono::seconds(1);
// How long a decode waits for room before it gives up, and how often it looks again (a read
// lets its entry go without a word).
constexpr auto kRoomWait = std::chrono::seconds(30);
constexpr auto kRoomPoll = std::chrono::milliseconds(50);
// Decode buffers kept besides the cache's entries: with a full cache, an entry decoded in place of
// one dropped finds a buffer of about its size among them, rather than pages faulted in afresh.
constexpr uint64_t kKeptBuffers = 64 << 20;
}  // namespace

DecodeCache::DecodeCache(const ByteSource& source, uint64_t limit,
                         std::function<void(uint64_t key)> onDecode)
    : source_(source),
      limit_(limit),
      onDecode_(std::move(onDecode)),
      buffers_(limit + kKeptBuffers) {}

uint64_t DecodeCache::charge(const EntryDescription& d) const {
  return d.inputBufferSize() + outputSizeOf(source_, d);
}

bool DecodeCache::beingRead(const Slot& slot, Clock::time_point now) {
  return slot.readTo > 0 && slot.readTo < slot.value->size && now - slot.lastRead < kReadHold;
}

bool DecodeCache::makeRoom(uint64_t charge, Clock::time_point now, bool keepRead) {
  for (auto age = ages_.end(); used_ > 0 && used_ + charge > limit_ && age != ages_.begin();) {
    --age;
    const auto slot = slots_.find(*age);
    if (inUse(slot->second) || (keepRead && beingRead(slot->second, now))) continue;
    used_ -= slot->second.charge;
    slots_.erase(slot);
    age = ages_.erase(age);
  }
  return used_ + charge <= limit_;
}

std::shared_ptr<const LoadedEntry> DecodeCache::fill(std::unique_lock<std::mutex>& lock,
                                                     const Entry& e, uint64_t charge) {
  ages_.push_front(e.key);
  slots_[e.key] = Slot{nullptr, charge, ages_.begin(), 0, {}};
  used_ += charge;
  lock.unlock();

  if (onDecode_) onDecode_(e.key);
  auto value = std::make_shared<const LoadedEntry>(loadCompressedEntry(source_, e.d, buffers_));

  lock.lock();
  const auto slot = slots_.find(e.key);
  if (value->problem == EntryProblem::OutOfMemory) {  // not the entry's fault: asked again later
    used_ -= slot->second.charge;
    ages_.erase(slot->second.age);
    slots_.erase(slot);
  } else {
    // What its buffer holds, which may be more than its size.
    const uint64_t kept = value->problem == EntryProblem::None ? value->data.capacity() : 0;
    used_ = used_ - slot->second.charge + kept;
    slot->second.charge = kept;
    slot->second.value = value;
  }
  changed_.notify_all();
  return value;
}

std::shared_ptr<const LoadedEntry> DecodeCache::get(const Entry& e, uint64_t end) {
  // Asked for before the lock: it reads the entry's header from the source.
  const uint64_t wanted = charge(e.d);
  std::unique_lock lock(mutex_);
  const auto deadline = Clock::now() + kRoomWait;
  for (;;) {
    const auto now = Clock::now();
    const auto found = slots_.find(e.key);
    if (found != slots_.end()) {
      Slot& slot = found->second;
      if (slot.value) {
        ages_.splice(ages_.begin(), ages_, slot.age);
        slot.readTo = std::max(slot.readTo, end);
        slot.lastRead = now;
        return slot.value;
      }
      changed_.wait(lock);  // another thread decodes it
      continue;
    }
    if (makeRoom(wanted, now, false) || (wanted > limit_ && used_ == 0)) break;
    if (now >= deadline) {
      return std::make_shared<const LoadedEntry>(
          LoadedEntry{EntryProblem::OutOfMemory, {}, static_cast<size_t>(wanted)});
    }
    changed_.wait_until(lock, std::min(deadline, now + kRoomPoll));
  }
  auto value = fill(lock, e, wanted);
  if (value->problem != EntryProblem::OutOfMemory) {
    Slot& slot = slots_.at(e.key);
    slot.readTo = std::max(slot.readTo, end);
    slot.lastRead = Clock::now();
  }
  return value;
}

std::shared_ptr<const LoadedEntry> DecodeCache::getAhead(const Entry& e) {
  const uint64_t wanted = charge(e.d);
  std::unique_lock lock(mutex_);
  if (const auto found = slots_.find(e.key); found != slots_.end()) return found->second.value;
  if (!makeRoom(wanted, Clock::now(), true)) return nullptr;
  auto value = fill(lock, e, wanted);
  return value->problem == EntryProblem::OutOfMemory ? nullptr : value;
}

void DecodeCache::given(uint64_t key) {
  const std::lock_guard lock(mutex_);
  const auto found = slots_.find(key);
  if (found != slots_.end()) ages_.splice(ages_.end(), ages_, found->second.age);
}
