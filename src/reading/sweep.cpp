#include "reading/sweep.h"

#include <utility>

#include "archive/categories.h"

std::string SweptEntry::path() const { return entryPath(category, entry); }

Error machineFaultError(const r5900::MachineFault& fault, const std::string& archive) {
  std::string line = fault.line;
  if (!line.empty() && line.back() == '\n') line.pop_back();
  return Error(ErrorKind::MachineFault, line, archive);
}

std::string lookupsStopped(const std::string& archive) {
  return archive + ": the lookup routines stopped on its index (is it an archive of this kind?)";
}

Sweep::Sweep(GuestSession& session, Selection& selection, std::string archive)
    : session_(session), selection_(selection), archive_(std::move(archive)) {
  for (const int32_t category : selection.categories()) {
    plan_.emplace_back(category, selection.entries(category));
    total_ += plan_.back().second.size();
  }
}

std::optional<SweptEntry> Sweep::next() {
  for (;;) {
    while (category_ < plan_.size() && entry_ == plan_[category_].second.size()) {
      ++category_;
      entry_ = 0;
    }
    if (category_ == plan_.size()) return std::nullopt;
    const int32_t category = plan_[category_].first;
    const int32_t entry = plan_[category_].second[entry_];
    EntryDescription d;
    try {
      d = lookUpEntry(session_, category, entry);
    } catch (const r5900::MachineFault& fault) {
      throw machineFaultError(fault, archive_);
    }
    ++entry_;
    ++done_;
    // An entry that only patterns asked for and that holds no data is passed over.
    if (selection_.take(category, entry, d)) return SweptEntry{category, entry, d};
  }
}

LookedUp lookUpExisting(Sweep& sweep, const std::atomic<bool>& cancel) {
  LookedUp found;
  try {
    while (!cancel.load()) {
      std::optional<SweptEntry> e = sweep.next();
      if (!e) break;
      if (e->description.exists()) found.entries.push_back(*e);
    }
  } catch (const Error& e) {
    if (e.kind() != ErrorKind::MachineFault) throw;
    found.fault = e;
  }
  return found;
}
