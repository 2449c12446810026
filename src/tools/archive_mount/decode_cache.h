// The decoded compressed entries of a mount, bounded in bytes: each entry is decoded once however
// many readers ask for it at the same moment, kept while there is room, and dropped oldest first
// when a new one needs the room.
//
// The kernel reads a file in pieces (its read-ahead window, 128 KiB), each a request of its own,
// and there is no open file to hold an entry between them. A read drops what it must, except
// entries being decoded or copied out right now (it waits for those). Decoding ahead never drops
// an entry that a reader has begun and not finished and read from less than a second ago: with a
// cache of a few entries, the entry decoded ahead would otherwise push out the one being read,
// and each piece would decode it again. An entry larger than the whole cache is decoded once
// nothing else is in it. So the cache holds at most the larger of its bound and one entry's
// decoding (its input with it).
#pragma once

#include <chrono>
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

  // Entry `key` for a read that ends at byte `readEnd`, decoded by `decode` unless it is in the
  // cache or being decoded by another thread (then this one waits for it). `charge` is what
  // decoding it takes at most (input and output). Waits while entries in use hold the cache full;
  // gives OutOfMemory when the room does not come.
  std::shared_ptr<const DecodedEntry> get(uint64_t key, uint64_t charge,
                                          const std::function<DecodedEntry()>& decode,
                                          uint64_t readEnd);
  // Decodes entry `key` ahead of its reader if it is not in the cache and there is room for it
  // now; never waits.
  void ahead(uint64_t key, uint64_t charge, const std::function<DecodedEntry()>& decode);

 private:
  using Clock = std::chrono::steady_clock;
  struct Slot {
    std::shared_ptr<const DecodedEntry> value;  // empty while being decoded
    uint64_t charge = 0;
    std::list<uint64_t>::iterator age;
    uint64_t readTo = 0;  // the furthest end of a read served from it
    Clock::time_point lastRead;
  };
  // Being decoded, or copied out of by a read.
  static bool inUse(const Slot& slot) { return !slot.value || slot.value.use_count() > 1; }
  // Read from its start on, not to its end yet, and lately.
  static bool beingRead(const Slot& slot, Clock::time_point now);
  // Drops entries not in use (and, with `keepRead`, not being read), oldest first, until
  // `charge` more bytes fit. False when they do not.
  bool makeRoom(uint64_t charge, Clock::time_point now, bool keepRead);
  // Decodes into a new slot, with the lock held on entry and on return.
  std::shared_ptr<const DecodedEntry> fill(std::unique_lock<std::mutex>& lock, uint64_t key,
                                           uint64_t charge,
                                           const std::function<DecodedEntry()>& decode);

  const uint64_t limit_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::unordered_map<uint64_t, Slot> slots_;
  std::list<uint64_t> ages_;  // most recently used first
  uint64_t used_ = 0;
};
