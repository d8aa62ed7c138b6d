// SIDs: reading one from memory, its text form and back.
#include "common/sids.h"

#include <algorithm>
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

namespace {

bool WellFormed(const SidBytes& sid) {
  return sid.size() >= 8 && sid[0] == SID_REVISION && sid[1] <= SID_MAX_SUB_AUTHORITIES &&
         sid.size() == 8 + 4u * sid[1];
}

}  // namespace

std::optional<SidBytes> SidOfBytes(const std::vector<uint8_t>& bytes) {
  if (!WellFormed(bytes)) return std::nullopt;
  return bytes;
}

std::optional<SidBytes> WithRid(const SidBytes& domain, uint32_t rid) {
  if (!WellFormed(domain) || domain[1] >= SID_MAX_SUB_AUTHORITIES) return std::nullopt;
  SidBytes sid = domain;
  ++sid[1];
  for (int shift = 0; shift < 32; shift += 8) sid.push_back(static_cast<uint8_t>(rid >> shift));
  return sid;
}

std::optional<SidBytes> DomainPart(const SidBytes& sid) {
  if (!WellFormed(sid) || sid[1] == 0) return std::nullopt;
  SidBytes domain(sid.begin(), sid.end() - 4);
  --domain[1];
  return domain;
}

bool InDomain(const SidBytes& sid, const SidBytes& domain) {
  return WellFormed(sid) && WellFormed(domain) && sid.size() == domain.size() + 4 &&
         std::equal(domain.begin() + 2, domain.end(), sid.begin() + 2);
}

std::optional<uint32_t> SubAuthority(const SidBytes& sid, size_t index) {
  if (!WellFormed(sid) || index >= sid[1]) return std::nullopt;
  uint32_t value;
  std::memcpy(&value, &sid[8 + 4 * index], 4);
  return value;
}

uint32_t LastRid(const SidBytes& sid) {
  if (!WellFormed(sid) || sid[1] == 0) return 0;
  return *SubAuthority(sid, sid[1] - 1u);
}

}  // namespace winhost::common
