#include "reading/entry_record.h"

#include <cstdio>

#include "reading/inspect.h"

namespace {

std::string jsonNumber(const std::optional<uint32_t>& value) {
  return value ? std::to_string(*value) : "null";
}

}  // namespace

EntryRecord entryRecord(const ByteSource& archive, const SweptEntry& e) {
  const EntryDescription& d = e.description;
  const EntryStorage storage = entryStorage(archive, d);
  return {e.path(),
          e.category,
          e.entry,
          d.sector,
          storage.method,
          d.kind == EntryKind::NoData ? std::nullopt : std::optional<uint32_t>(d.stored),
          storage.size,
          std::nullopt};
}

std::string entryJson(const EntryRecord& r) {
  std::string json = "{\"path\":" + jsonString(r.path) +
                     ",\"category\":" + std::to_string(r.category) +
                     ",\"entry\":" + std::to_string(r.entry) +
                     ",\"sector\":" + std::to_string(r.sector) + ",\"method\":\"" + r.methodName() +
                     "\",\"stored\":" + jsonNumber(r.stored) + ",\"size\":" + jsonNumber(r.size);
  if (r.verdict) {
    const char* problem = r.problemName();
    json += problem == nullptr ? ",\"ok\":true"
                               : std::string(",\"ok\":false,\"problem\":\"") + problem + "\"";
    json += r.verdict->shared ? ",\"shared\":true" : ",\"shared\":false";
  }
  return json + "}";
}

std::string jsonString(const std::string& text) {
  std::string json = "\"";
  for (const char c : text) {
    switch (c) {
      case '"': json += "\\\""; break;
      case '\\': json += "\\\\"; break;
      case '\n': json += "\\n"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
          json += escape;
        } else {
          json += c;
        }
    }
  }
  return json + "\"";
}
