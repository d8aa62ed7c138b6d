// SIDs: reading one from memory, its text form and back.
#include "common/sids.h"

#include <cstdio>
#include <cstring>

namespace winhost::common {

std::optional<SidBytes> ReadSid(const void* sid) {
  if (sid == nullptr) return std::nullopt;
  const auto* bytes = static_cast<const uint8_t*>(sid);
  if (bytes[0] != SID_REVISION || bytes[1] > SID_MAX_SUB_AUTHORITIES) return std::nullopt;
  return SidBytes(bytes, bytes + 8 + 4 * bytes[1]);
}

std::string SidText(const SidBytes& sid) {
  uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = (authority << 8) | sid[i];
  char part[32];
  if (authority >> 32) {
    std::snprintf(part, sizeof part, "0x%012llX", static_cast<unsigned long long>(authority));
  } else {
    std::snprintf(part, sizeof part, "%llu", static_cast<unsigned long long>(authority));
  }
  std::string text = "S-" + std::to_string(sid[0]) + "-" + part;
  for (size_t offset = 8; offset + 4 <= sid.size(); offset += 4) {
    uint32_t value;
    std::memcpy(&value, &sid[offset], 4);
    text += "-" + std::to_string(value);
  }
  return text;
}

std::optional<SidBytes> ParseSid(const std::string& text) {
  if (text.rfind("S-1-", 0) != 0) return std::nullopt;
  std::vector<uint64_t> fields;
  size_t position = 4;
  while (position <= text.size()) {
    size_t end = text.find('-', position);
    if (end == std::string::npos) end = text.size();
    std::string field = text.substr(position, end - position);
    if (field.empty() || field.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    fields.push_back(std::stoull(field));
    position = end + 1;
  }
  if (fields.empty() || fields.size() - 1 > SID_MAX_SUB_AUTHORITIES) return std::nullopt;
  SidBytes sid(8 + 4 * (fields.size() - 1));
  sid[0] = SID_REVISION;
  sid[1] = static_cast<uint8_t>(fields.size() - 1);
  for (int i = 0; i < 6; ++i) sid[2 + i] = static_cast<uint8_t>(fields[0] >> (8 * (5 - i)));
  for (size_t i = 1; i < fields.size(); ++i) {
    auto value = static_cast<uint32_t>(fields[i]);
    std::memcpy(&sid[8 + 4 * (i - 1)], &value, 4);
  }
  return sid;
}

}  // namespace winhost::common
