#include "guest/session.h"

#include <cassert>

#include "guest/bridge.h"

namespace {
bool sessionAlive = false;
}

std::unique_ptr<GuestSession> GuestSession::open(const uint8_t* index) {
  if (sessionAlive) {
    assert(!"one guest session at a time: the machine is one");
    return nullptr;
  }
  if (!initMachine(index)) return nullptr;
  sessionAlive = true;
  return std::unique_ptr<GuestSession>(new GuestSession());
}

GuestSession::~GuestSession() { sessionAlive = false; }

EntryAnswers GuestSession::ask(int32_t category, int32_t entry) {
  const int32_t sector = queryEntrySector(category, entry);
  const int32_t plain = queryEntryIsPlain(category, entry);
  const int32_t length = queryEntryLength(category, entry);
  const int32_t stored = queryEntryStoredLength(category, entry);
  return {sector, plain, length, stored};
}
