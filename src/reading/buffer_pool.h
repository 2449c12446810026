// Buffers for decoding entries, shared by the threads that decode them. An entry is decoded and
// dropped in a moment: freeing its buffers and allocating the next entry's afresh faults their
// pages in again, while a heap that keeps freed memory for the next keeps it where the freeing
// thread allocates (glibc: an arena per thread), so that N workers would hold N times the memory
// of the entries in flight. A pool gives each buffer pages of its own, hands a buffer given back
// to the next entry of about its size, from whichever thread, and keeps given-back buffers only
// while everything it holds, in use and kept, stays within its budget: beyond that they go back to
// the system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// The memory the entries a run has in flight (handed to its workers and not yet finished) may
// hold between them, and so what a run's pool keeps (see extract/ordered_pool.h).
constexpr size_t kInFlightBudget = 32 << 20;

// A buffer of a pool, given back when reset or destroyed.
class PooledBuffer {
 public:
  PooledBuffer() = default;
  PooledBuffer(PooledBuffer&& other) noexcept { *this = std::move(other); }
  PooledBuffer& operator=(PooledBuffer&& other) noexcept;
  ~PooledBuffer() { reset(); }

  uint8_t* get() const { return data_; }
  // The bytes it holds: what was asked for, or more (at most 2.25 times as much, or a page).
  size_t capacity() const { return capacity_; }
  explicit operator bool() const { return data_ != nullptr; }
  void reset();

 private:
  friend class BufferPool;
  struct Shelf;
  uint8_t* data_ = nullptr;
  size_t capacity_ = 0;
  std::shared_ptr<Shelf> shelf_;  // where it goes back (it outlives its pool)
};

class BufferPool {
 public:
  // Keeps given-back buffers while all it holds stays within `budget` bytes (0: keeps none).
  explicit BufferPool(size_t budget);
  BufferPool(const BufferPool&) = delete;
  BufferPool& operator=(const BufferPool&) = delete;

  // A buffer of at least `size` bytes, its contents undefined; an empty one when there is no
  // memory. Any thread may ask and give back.
  PooledBuffer acquire(size_t size);

 private:
  std::shared_ptr<PooledBuffer::Shelf> shelf_;
};
