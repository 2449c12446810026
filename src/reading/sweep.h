// The sweep: the selected entries in sweep order (the categories ascending, the entry numbers
// ascending in each), each asked about through the guest routines and described. Every front end
// goes through the entries this way.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "cpu/fault.h"
#include "guest/session.h"
#include "reading/entry.h"
#include "reading/selection.h"

class Sweep {
 public:
  // `selection` must outlive the sweep: its members are marked found as entries match them.
  Sweep(GuestSession& session, Selection& selection);

  // The next selected entry that the selection takes, looked up; nothing after the last. Throws
  // MachineFault when the machine stops (the sweep cannot go on after that).
  std::optional<SweptEntry> next();
  // Entries the sweep asks about in all, and so far.
  size_t total() const { return total_; }
  size_t done() const { return done_; }

 private:
  GuestSession& session_;
  Selection& selection_;
  std::vector<std::pair<int32_t, std::vector<int32_t>>> plan_;  // category, its entry numbers
  size_t category_ = 0;
  size_t entry_ = 0;
  size_t total_ = 0;
  size_t done_ = 0;
};

// The entries of `sweep` that exist, all looked up before any is read, so that a run knows how
// much there is in all. Stops early once `cancel` is true. A fault of the machine ends the lookups:
// the entries before it are kept and the fault is handed back in `fault`.
std::vector<SweptEntry> lookUpExisting(Sweep& sweep, const std::atomic<bool>& cancel,
                                       std::optional<r5900::MachineFault>& fault);
