#include "guest/session.h"

#include <mutex>

#include "archive/format.h"
#include "cpu/bus.h"
#include "guest/bridge.h"

namespace {
// Guards the machine, and which session's index it holds.
std::mutex machineLock;
const GuestSession* placed = nullptr;
}  // namespace

GuestSession::GuestSession(const uint8_t* index) : index_(index, index + kArchiveIndexSize) {}

std::unique_ptr<GuestSession> GuestSession::open(const uint8_t* index) {
  const std::lock_guard lock(machineLock);
  std::unique_ptr<GuestSession> session(new GuestSession(index));
  if (!initMachine(session->index_.data())) return nullptr;
  placed = session.get();
  return session;
}

GuestSession::~GuestSession() {
  const std::lock_guard lock(machineLock);
  if (placed == this) placed = nullptr;
}

EntryAnswers GuestSession::ask(int32_t category, int32_t entry) {
  return ask(category, entry, nullptr);
}

EntryAnswers GuestSession::ask(int32_t category, int32_t entry, uint64_t* indexReads) {
  const std::lock_guard lock(machineLock);
  // The watch ends with the call, a fault too.
  struct Watch {
    explicit Watch(uint64_t* bits) {
      r5900::loadWatch = {bits, kGuestIndexAddress & r5900::kRamMask, kArchiveIndexSize};
    }
    ~Watch() { r5900::loadWatch = {}; }
  } watch(indexReads);
  if (placed != this) {
    // The memory exists since this session opened: placing cannot fail.
    initMachine(index_.data());
    placed = this;
  }
  const int32_t sector = queryEntrySector(category, entry);
  const int32_t plain = queryEntryIsPlain(category, entry);
  const int32_t length = queryEntryLength(category, entry);
  const int32_t stored = queryEntryStoredLength(category, entry);
  return {sector, plain, length, stored};
}
