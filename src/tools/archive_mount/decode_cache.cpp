#include "decode_cache.h"

#include <algorithm>

namespace {
// How long a reader that stopped part-way through an entry keeps it in the cache.
constexpr auto kReadHold = std::chrono::seconds(1);
// How long a decode waits for room before it gives up, and how often it looks again (a read
// lets its entry go without a word).
constexpr auto kRoomWait = std::chrono::seconds(30);
constexpr auto kRoomPoll = std::chrono::milliseconds(50);
}  // namespace

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

std::shared_ptr<const DecodedEntry> DecodeCache::fill(std::unique_lock<std::mutex>& lock,
                                                      uint64_t key, uint64_t charge,
                                                      const std::function<DecodedEntry()>& decode) {
  ages_.push_front(key);
  slots_[key] = Slot{nullptr, charge, ages_.begin(), 0, {}};
  used_ += charge;
  lock.unlock();

  auto value = std::make_shared<const DecodedEntry>(decode());

  lock.lock();
  const auto slot = slots_.find(key);
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

std::shared_ptr<const DecodedEntry> DecodeCache::get(uint64_t key, uint64_t charge,
                                                     const std::function<DecodedEntry()>& decode,
                                                     uint64_t readEnd) {
  std::unique_lock lock(mutex_);
  const auto deadline = Clock::now() + kRoomWait;
  for (;;) {
    const auto now = Clock::now();
    const auto found = slots_.find(key);
    if (found != slots_.end()) {
      Slot& slot = found->second;
      if (slot.value) {
        ages_.splice(ages_.begin(), ages_, slot.age);
        slot.readTo = std::max(slot.readTo, readEnd);
        slot.lastRead = now;
        return slot.value;
      }
      changed_.wait(lock);  // another thread decodes it
      continue;
    }
    if (makeRoom(charge, now, false) || (charge > limit_ && used_ == 0)) break;
    if (now >= deadline) {
      return std::make_shared<const DecodedEntry>(
          DecodedEntry{EntryProblem::OutOfMemory, {}, static_cast<size_t>(charge)});
    }
    changed_.wait_until(lock, std::min(deadline, now + kRoomPoll));
  }
  auto value = fill(lock, key, charge, decode);
  if (value->problem != EntryProblem::OutOfMemory) {
    Slot& slot = slots_.at(key);
    slot.readTo = std::max(slot.readTo, readEnd);
    slot.lastRead = Clock::now();
  }
  return value;
}

void DecodeCache::ahead(uint64_t key, uint64_t charge,
                        const std::function<DecodedEntry()>& decode) {
  std::unique_lock lock(mutex_);
  if (slots_.contains(key) || !makeRoom(charge, Clock::now(), true)) return;
  fill(lock, key, charge, decode);
}
