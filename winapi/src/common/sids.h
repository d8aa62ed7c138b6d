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
