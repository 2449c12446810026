#include "reading/buffer_pool.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <iterator>
#include <map>
#include <mutex>
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

// What a request for `size` bytes gets: whole pages, rounded up to one of four steps per doubling,
// so that entries of about the same size share buffers, and none is more than a quarter larger
// than asked for. 0 when there is no such size.
size_t capacityFor(size_t size) {
  if (size > SIZE_MAX / 2) return 0;
  const size_t step = std::max(kPage, std::bit_floor(size) / 4);
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
    for (const auto& [capacity, data] : kept) unmap(data, capacity);
  }
  Shelf(const Shelf&) = delete;
  Shelf& operator=(const Shelf&) = delete;

  void giveBack(uint8_t* data, size_t capacity) {
    ASAN_POISON_MEMORY_REGION(data, capacity);
    std::unique_lock lock(mutex);
    if (held <= budget) {
      kept.emplace(capacity, data);
      return;
    }
    held -= capacity;
    lock.unlock();
    unmap(data, capacity);
  }

  const size_t budget;
  std::mutex mutex;
  std::multimap<size_t, uint8_t*> kept;  // by capacity
  size_t held = 0;                       // the capacity in use and kept
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
    // A kept buffer up to a quarter larger serves: the one given back last of the smallest such
    // size, whose pages are likeliest still in the processor's caches. Otherwise a new one is
    // made, the kept ones going back to the system, largest first, until it fits the budget.
    const std::lock_guard lock(shelf.mutex);
    auto fit = shelf.kept.lower_bound(capacity);
    if (fit != shelf.kept.end() && fit->first - capacity <= capacity / 4) {
      fit = std::prev(shelf.kept.upper_bound(fit->first));
      buffer.data_ = fit->second;
      buffer.capacity_ = fit->first;
      shelf.kept.erase(fit);
    } else {
      while (!shelf.kept.empty() && shelf.held + capacity > shelf.budget) {
        const auto largest = std::prev(shelf.kept.end());
        unmap(largest->second, largest->first);
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
