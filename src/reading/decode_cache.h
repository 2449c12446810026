// The decoded compressed entries of one archive, for front ends that serve an entry in pieces with
// nothing of theirs to hold it between them (a mounted tree: the kernel reads a file 128 KiB at a
// time, its read-ahead window, each piece a request of its own), bounded in bytes: each entry is
// decoded once however many readers ask for it at the same moment, kept while there is room, and
// dropped oldest first when a new one needs the room.
//
// A read drops what it must, except entries being decoded or copied out right now (it waits for
// those). Decoding ahead (getAhead(), for StoreAhead's workers) never drops an entry that a
// reader has begun and not finished and read from less than a second ago: with a cache of a few
// entries, the entry decoded ahead would otherwise push out the one being read, and each piece
// would decode it again. An
// entry larger than the whole cache is decoded once nothing else is in it. So the cache holds at
// most the larger of its bound and one entry's decoding (its input with it).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "reading/buffer_pool.h"
#include "reading/entry.h"
#include "reading/read.h"
#include "reading/source.h"

class DecodeCache {
 public:
  // An entry as the cache knows it: the caller's key for it (one key, one entry) and where it
  // lies.
  struct Entry {
    uint64_t key;
    EntryDescription d;
  };

  // Decodes compressed entries of `source`, which outlives the cache, keeping up to `limit` bytes
  // of them. `onDecode` (for tests) is told the key of every entry as its decoding begins.
  DecodeCache(const ByteSource& source, uint64_t limit,
              std::function<void(uint64_t key)> onDecode = {});
  DecodeCache(const DecodeCache&) = delete;
  DecodeCache& operator=(const DecodeCache&) = delete;

  // Compressed entry `e` for a read of its bytes that ends at byte `end`: from the cache, or
  // decoded now unless another thread is decoding it (then this one waits for it). Waits while
  // entries in use hold the cache full; gives OutOfMemory when the room does not come.
  std::shared_ptr<const LoadedEntry> get(const Entry& e, uint64_t end);
  // Compressed entry `e` for a reader to come: from the cache, or decoded now if there is room
  // for it without dropping an entry being read. Null when there is none, or another thread is
  // decoding it. Never waits for room.
  std::shared_ptr<const LoadedEntry> getAhead(const Entry& e);
  // Entry `key` was handed on whole (stored ahead for its readers): it is the first to be dropped.
  void given(uint64_t key);

 private:
  using Clock = std::chrono::steady_clock;
  struct Slot {
    std::shared_ptr<const LoadedEntry> value;  // empty while being decoded
    uint64_t charge = 0;
    std::list<uint64_t>::iterator age;
    uint64_t readTo = 0;  // the furthest end of a read served from it
    Clock::time_point lastRead;
  };
  // What decoding `d` takes at most: its input buffer and what it expands to.
  uint64_t charge(const EntryDescription& d) const;
  // Being decoded, or copied out of by a read.
  static bool inUse(const Slot& slot) { return !slot.value || slot.value.use_count() > 1; }
  // Read from its start on, not to its end yet, and lately.
  static bool beingRead(const Slot& slot, Clock::time_point now);
  // Drops entries not in use (and, with `keepRead`, not being read), oldest first, until
  // `charge` more bytes fit. False when they do not.
  bool makeRoom(uint64_t charge, Clock::time_point now, bool keepRead);
  // Decodes into a new slot, with the lock held on entry and on return.
  std::shared_ptr<const LoadedEntry> fill(std::unique_lock<std::mutex>& lock, const Entry& e,
                                          uint64_t charge);

  const ByteSource& source_;
  const uint64_t limit_;
  const std::function<void(uint64_t)> onDecode_;
  // What entries decode into: a buffer the cache drops serves the next entry of about its size.
  BufferPool buffers_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::unordered_map<uint64_t, Slot> slots_;
  std::list<uint64_t> ages_;  // most recently used first
  uint64_t used_ = 0;
};
