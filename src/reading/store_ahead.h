// Entries handed to a front end ahead of a reader that goes through them in order, so that the
// reader finds them where it reads (a mounted tree: the kernel's page cache) and asks for none of
// them itself.
//
// A reader that begins an entry at its start is a trigger: the entries after it, in the readers'
// order (a folder's files by name), are planned up to a window of bytes, and worker threads read
// or decode each and give it whole to the front end, a piece at a time. While the triggers follow
// the plan (a reader reaches an entry planned, or the one after the last it began), the window
// doubles, up to the budget; a reader that jumps elsewhere shrinks it to its smallest and drops
// what was not begun. Compressed entries decode through the cache, so that a reader and a worker
// never decode the same entry twice, where there is room beside the entries being read (else the
// reader decodes it when it comes), and the cache drops each first once it was given. A damaged
// entry, or one whose size is not the one the front end shows, is never given: its reader gets
// its problem as before.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_set>
#include <vector>

#include "reading/decode_cache.h"
#include "reading/entry.h"
#include "reading/source.h"

class StoreAhead {
 public:
  // An entry as the front end shows it: the cache's key for it, where it lies, and its size.
  struct Item {
    uint64_t key;
    EntryDescription d;
    uint64_t size;
  };
  // The entry after `key` in the readers' order, if any.
  using Next = std::function<std::optional<Item>(uint64_t key)>;
  // Gives `size` bytes of entry `key` from byte `offset` on. False: give no more of that entry.
  using Store =
      std::function<bool(uint64_t key, uint64_t offset, const uint8_t* data, size_t size)>;

  // The smallest window, and the pieces entries are given in.
  static constexpr uint64_t kFirstWindow = 1 << 20;
  static constexpr size_t kPiece = 1 << 20;

  // Up to `workers` threads (started at the first trigger), planning up to `budget` bytes ahead.
  StoreAhead(const ByteSource& source, DecodeCache& cache, uint64_t budget, unsigned workers,
             Next next, Store store);
  ~StoreAhead();  // stop()
  StoreAhead(const StoreAhead&) = delete;
  StoreAhead& operator=(const StoreAhead&) = delete;

  // A reader began entry `key` at its start. Never waits for the workers.
  void started(uint64_t key);
  // Drops what was not begun and waits for the workers to end; nothing is given after it.
  void stop();

  // The window now, in bytes, and whether nothing is queued or being given (for tests).
  uint64_t window() const;
  bool idle() const;

 private:
  void work();
  void give(const Item& item);

  const ByteSource& source_;
  DecodeCache& cache_;
  const uint64_t budget_;
  const unsigned workerCount_;
  const Next next_;
  const Store store_;

  mutable std::mutex mutex_;
  std::condition_variable wanted_;
  std::deque<Item> queue_;
  std::unordered_set<uint64_t> planned_;  // queued, being given, or given
  std::optional<uint64_t> expected_;      // the entry after the one a reader began last
  uint64_t window_ = kFirstWindow;
  unsigned busy_ = 0;  // workers giving an entry
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};
