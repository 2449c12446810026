#include "decode_cache.h"

#include <chrono>

namespace {
// How long a decode waits for open files to let their buffers go before it gives up.
constexpr auto kRoomWait = std::chrono::seconds(30);
}  // namespace

bool DecodeCache::makeRoom(uint64_t charge) {
  for (auto age = ages_.end(); used_ > 0 && used_ + charge > limit_ && age != ages_.begin();) {
    --age;
    Slot& slot = slots_.at(*age);
    if (!slot.value || slot.value.use_count() > 1) continue;  // being decoded, or held
    used_ -= slot.charge;
    slots_.erase(*age);
    age = ages_.erase(age);
  }
  return used_ + charge <= limit_;
}

std::shared_ptr<const DecodedEntry> DecodeCache::get(uint64_t key, uint64_t charge,
                                                     const std::function<DecodedEntry()>& decode) {
  std::unique_lock lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() + kRoomWait;
  for (;;) {
    const auto found = slots_.find(key);
    if (found != slots_.end()) {
      if (found->second.value) {
        ages_.splice(ages_.begin(), ages_, found->second.age);
        return found->second.value;
      }
      changed_.wait(lock);  // another thread decodes it
      continue;
    }
    // An entry larger than the whole cache is decoded once nothing else is in it.
    if (makeRoom(charge) || (charge > limit_ && used_ == 0)) break;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      return std::make_shared<const DecodedEntry>(
          DecodedEntry{EntryProblem::OutOfMemory, nullptr, static_cast<size_t>(charge)});
    }
  }
  ages_.push_front(key);
  slots_[key] = Slot{nullptr, charge, ages_.begin()};
  used_ += charge;
  lock.unlock();

  auto value = std::make_shared<const DecodedEntry>(decode());

  lock.lock();
  Slot& slot = slots_.at(key);
  if (value->problem == EntryProblem::OutOfMemory) {  // not the entry's fault: asked again later
    used_ -= slot.charge;
    ages_.erase(slot.age);
    slots_.erase(key);
    changed_.notify_all();
    return value;
  }
  const uint64_t kept = value->problem == EntryProblem::None ? value->size : 0;
  used_ = used_ - slot.charge + kept;
  slot.charge = kept;
  slot.value = value;
  changed_.notify_all();
  return value;
}

void DecodeCache::released() {
  std::lock_guard lock(mutex_);
  changed_.notify_all();
}
