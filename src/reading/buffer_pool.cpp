#include "reading/buffer_pool.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/process.h"

// Under AddressSanitizer the bytes of a pooled buffer beyond what was asked for, and a buffer
// given back, are poisoned as the heap's would be.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(address, size) static_cast<void>(0)
#define ASAN_UNPOISON_MEMORY_REGION(address, size) static_cast<void>(0)
#endif

namespace {

constexpr size_t kPage = 4096;

// What a request for `size` bytes gets: whole pages, rounded up to a power of two or one and a half
// times one, so that entries of about the same size share buffers. 0 when there is no such size.
size_t capacityFor(size_t size) {
  if (size > SIZE_MAX / 2) return 0;
  const size_t step = std::max(kPage, std::bit_floor(size) / 2);
  return size == 0 ? kPage : (size + step - 1) / step * step;
}

void unmap(uint8_t* data, size_t capacity) {
  ASAN_UNPOISON_MEMORY_REGION(data, capacity);
  unmapPages(data, capacity);
}
}  // namespace

struct PooledBuffer::Shelf {
  explicit Shelf(size_t budget) : budget(budget) {}
  ~Shelf() {
    for (const auto& [capacity, buffer] : kept) unmap(buffer.data, capacity);
  }
  Shelf(const Shelf&) = delete;
  Shelf& operator=(const Shelf&) = delete;

  void giveBack(uint8_t* data, size_t capacity) {
    ASAN_POISON_MEMORY_REGION(data, capacity);
    std::unique_lock lock(mutex);
    if (held <= budget) {
      kept.emplace(capacity, Kept{data, std::this_thread::get_id()});
      return;
    }
    held -= capacity;
    lock.unlock();
    unmap(data, capacity);
  }

  const size_t budget;
  std::mutex mutex;
  struct Kept {
    uint8_t* data;
    std::thread::id by;  // the thread that gave it back
  };
  std::multimap<size_t, Kept> kept;  // by capacity; of one capacity, in the order given back
  size_t held = 0;                   // the capacity in use and kept
};

PooledBuffer& PooledBuffer::operator=(PooledBuffer&& other) noexcept {
  if (this != &other) {
    reset();
    data_ = std::exchange(other.data_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    shelf_ = std::move(other.shelf_);
  }
  return *this;
}

void PooledBuffer::reset() {
  if (data_ == nullptr) return;
  shelf_->giveBack(data_, capacity_);
  shelf_.reset();
  data_ = nullptr;
  capacity_ = 0;
}

BufferPool::BufferPool(size_t budget) : shelf_(std::make_shared<PooledBuffer::Shelf>(budget)) {}

PooledBuffer BufferPool::acquire(size_t size) {
  PooledBuffer buffer;
  const size_t capacity = capacityFor(size);
  if (capacity == 0) return buffer;
  PooledBuffer::Shelf& shelf = *shelf_;
  {
    // A kept buffer up to half as large again serves: of the smallest such size, the one this
    // thread gave back last, else the last given back, whose bytes are likeliest still in this
    // processor's caches (an entry's buffers come and go faster than the caches forget them, and
    // reusing few sizes keeps few buffers in use). Otherwise a new one is made, the kept ones
    // going back to the system, largest first, until it fits the budget.
    const std::lock_guard lock(shelf.mutex);
    const auto none = shelf.kept.end();
    auto fit = none, mine = none;
    const auto fits = shelf.kept.upper_bound(capacity + capacity / 2);
    for (auto k = shelf.kept.lower_bound(capacity); k != fits; ++k) {
      if (fit != none && k->first != fit->first) break;
      fit = k;
      if (k->second.by == std::this_thread::get_id()) mine = k;
    }
    if (fit != none) {
      fit = mine != none ? mine : fit;
      buffer.data_ = fit->second.data;
      buffer.capacity_ = fit->first;
      shelf.kept.erase(fit);
    } else {
      while (!shelf.kept.empty() && shelf.held + capacity > shelf.budget) {
        const auto largest = std::prev(shelf.kept.end());
        unmap(largest->second.data, largest->first);
        shelf.held -= largest->first;
        shelf.kept.erase(largest);
      }
      shelf.held += capacity;
    }
  }
  if (buffer.data_ == nullptr) {
    buffer.data_ = static_cast<uint8_t*>(mapPages(capacity));
    if (buffer.data_ == nullptr) {
      const std::lock_guard lock(shelf.mutex);
      shelf.held -= capacity;
      return buffer;
    }
    buffer.capacity_ = capacity;
  }
  buffer.shelf_ = shelf_;
  ASAN_UNPOISON_MEMORY_REGION(buffer.data_, size);
  ASAN_POISON_MEMORY_REGION(buffer.data_ + size, buffer.capacity_ - size);
  return buffer;
}
