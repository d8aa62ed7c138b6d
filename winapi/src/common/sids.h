// SIDs as both worlds speak of them: their bytes, their text form, and an account's groups.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "winhost/security.h"

namespace winhost::common {

using SidBytes = std::vector<uint8_t>;

// A SID's bytes when `sid` points to a well-formed SID, or none.
std::optional<SidBytes> ReadSid(const void* sid);
// "S-1-5-32-544"; the identifier authority in hexadecimal when it does not fit 32 bits.
std::string SidText(const SidBytes& sid);
// The SID of a text such as "S-1-5-21-1-2-3"; none when malformed.
std::optional<SidBytes> ParseSid(const std::string& text);
// The SID that `bytes` hold when they are exactly one well-formed SID; none otherwise.
std::optional<SidBytes> SidOfBytes(const std::vector<uint8_t>& bytes);

// The SID of `domain` with one more sub-authority, `rid`; none when `domain` is no well-formed SID
// or has no room for another.
std::optional<SidBytes> WithRid(const SidBytes& domain, uint32_t rid);
// The SID without its last sub-authority (an account's domain); none when it has none.
std::optional<SidBytes> DomainPart(const SidBytes& sid);
// Whether `sid` is `domain`'s with one more sub-authority: an account of that domain.
bool InDomain(const SidBytes& sid, const SidBytes& domain);
// Sub-authority `index` (from 0) of a well-formed SID; none past its last.
std::optional<uint32_t> SubAuthority(const SidBytes& sid, size_t index);
// The last sub-authority (an account's RID); 0 for a SID that has none.
uint32_t LastRid(const SidBytes& sid);

struct GroupEntry {
  SidBytes sid;
  DWORD attributes;
};

// What an account lookup by name or by SID finds.
struct Resolved {
  SidBytes sid;
  std::u16string domain;  // the referenced domain name
  std::u16string name;    // the account's own name (for a domain, the domain's name)
  SID_NAME_USE use;
};

}  // namespace winhost::common
