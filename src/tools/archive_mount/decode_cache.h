// The decoded compressed entries of a mount, bounded in bytes: each entry is decoded once however
// many readers ask for it at the same moment, kept while there is room, and dropped oldest first
// when a new one needs the room. A buffer that an open file holds stays in the cache and counts
// against the bound until the file lets it go; an entry being decoded counts with its input too.
// So the cache holds at most the larger of its bound and one entry's decoding.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "reading/read.h"

struct DecodedEntry {
  EntryProblem problem;
  DecodedBytes data;  // None: the expanded bytes
  size_t size;
};

class DecodeCache {
 public:
  explicit DecodeCache(uint64_t limit) : limit_(limit) {}

  // Entry `key`, decoded by `decode` unless it is in the cache or being decoded by another
  // thread (then this one waits for it). `charge` is what decoding it takes at most (input and
  // output). Waits for room while open files hold the cache full; an entry larger than the whole
  // cache waits until the cache is empty. Gives OutOfMemory when the room does not come.
  std::shared_ptr<const DecodedEntry> get(uint64_t key, uint64_t charge,
                                          const std::function<DecodedEntry()>& decode);
  // An open file let its buffer go: someone waiting for room may find it now.
  void released();

  uint64_t used() const {
    std::lock_guard lock(mutex_);
    return used_;
  }

 private:
  struct Slot {
    std::shared_ptr<const DecodedEntry> value;  // empty while being decoded
    uint64_t charge = 0;
    std::list<uint64_t>::iterator age;
  };
  // Drops entries nobody holds, oldest first, until `charge` more bytes fit. False when they do
  // not.
  bool makeRoom(uint64_t charge);

  const uint64_t limit_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::unordered_map<uint64_t, Slot> slots_;
  std::list<uint64_t> ages_;  // most recently used first
  uint64_t used_ = 0;
};
