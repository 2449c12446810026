// How far a run over the swept entries has come: the entries with data and the bytes the index
// says they expand to, done and in all. The sweeping thread counts; any thread may look.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "reading/sweep.h"

struct Progress {
  uint64_t entries = 0;
  uint64_t entriesTotal = 0;
  uint64_t bytes = 0;
  uint64_t bytesTotal = 0;
};

class RunProgress {
 public:
  // Called on the sweeping thread after each entry handed over (`done` false) and once the whole
  // run is done (`done` true).
  std::function<void(const Progress&, bool done)> onChange;

  // The totals of all the entries the run will take, looked up before any is read.
  void count(const std::vector<SweptEntry>& all) {
    uint64_t entries = 0, bytes = 0;
    for (const SweptEntry& e : all) {
      if (!e.description.hasData()) continue;
      ++entries;
      bytes += e.description.length;
    }
    entriesTotal_ = entries;
    bytesTotal_ = bytes;
    counted_ = true;
  }
  // Entry `e` handed over.
  void advance(const SweptEntry& e) {
    if (e.description.hasData()) {
      entries_.fetch_add(1, std::memory_order_relaxed);
      bytes_.fetch_add(e.description.length, std::memory_order_relaxed);
    }
    if (onChange) onChange(snapshot(), false);
  }
  // The whole run done: shown at 100%.
  void complete() {
    entries_ = entriesTotal_.load();
    bytes_ = bytesTotal_.load();
    if (onChange) onChange(snapshot(), true);
  }
  // Whether count() has been called (the lookups are over).
  bool counted() const { return counted_.load(); }
  Progress snapshot() const {
    return {entries_.load(std::memory_order_relaxed), entriesTotal_.load(),
            bytes_.load(std::memory_order_relaxed), bytesTotal_.load()};
  }

 private:
  std::atomic<uint64_t> entries_{0}, entriesTotal_{0}, bytes_{0}, bytesTotal_{0};
  std::atomic<bool> counted_{false};
};
