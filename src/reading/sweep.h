// The sweep: the selected entries in sweep order (the categories ascending, the entry numbers
// ascending in each), each asked about through the guest routines and described. Every front end
// goes through the entries this way.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cpu/fault.h"
#include "guest/session.h"
#include "platform/error.h"
#include "reading/entry.h"
#include "reading/selection.h"

// A stop of the emulated machine as the library's error: kind MachineFault, the machine's line
// without its line feed (empty where the machine stops silently), concerning `archive`.
Error machineFaultError(const r5900::MachineFault& fault, const std::string& archive);
// What a front end says after the machine's line: "ARCHIVE: the lookup routines stopped on its
// index (is it an archive of this kind?)".
std::string lookupsStopped(const std::string& archive);

class Sweep {
 public:
  // `selection` must outlive the sweep: its members are marked found as entries match them.
  // `archive` names the archive in the error a fault of the machine becomes.
  Sweep(GuestSession& session, Selection& selection, std::string archive = {});

  // The next selected entry that the selection takes, looked up; nothing after the last. Throws
  // an Error of kind MachineFault when the machine stops (the sweep cannot go on after that).
  std::optional<SweptEntry> next();
  // Entries the sweep asks about in all, and so far.
  size_t total() const { return total_; }
  size_t done() const { return done_; }

 private:
  GuestSession& session_;
  Selection& selection_;
  std::string archive_;
  std::vector<std::pair<int32_t, std::vector<int32_t>>> plan_;  // category, its entry numbers
  size_t category_ = 0;
  size_t entry_ = 0;
  size_t total_ = 0;
  size_t done_ = 0;
};

// The selected entries that exist, all looked up before any is read, so that a run knows how much
// there is in all; and the fault of the machine that ended the lookups early, if one did (the
// entries before it are kept).
struct LookedUp {
  std::vector<SweptEntry> entries;
  std::optional<Error> fault;  // of kind MachineFault
};
// The lookups of `sweep`, which stop early once `cancel` is true.
LookedUp lookUpExisting(Sweep& sweep, const std::atomic<bool>& cancel);
