// A small NDR encoder of a PAC's logon information, the decoder's counterpart for the tests and
// the fuzz target: it writes what a domain controller writes, and records where each length,
// count and pointer went so that a test can spoil exactly one of them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "system/kerberos/pac.h"

namespace pactest {

using winhost::system::kerberos::GroupRid;
using winhost::system::kerberos::LogonInfo;
using winhost::system::kerberos::Sid;
using winhost::system::kerberos::SidAttributes;

// "S-1-5-21-1-2-3" as bytes (no checks: the tests' own texts).
inline Sid SidOf(const std::string& text) {
  std::vector<uint64_t> parts;
  for (size_t at = 2; at <= text.size();) {
    size_t end = text.find('-', at);
    if (end == std::string::npos) end = text.size();
    parts.push_back(std::stoull(text.substr(at, end - at)));
    at = end + 1;
  }
  Sid sid{static_cast<uint8_t>(parts[0]), static_cast<uint8_t>(parts.size() - 2)};
  for (int shift = 40; shift >= 0; shift -= 8) sid.push_back(static_cast<uint8_t>(parts[1] >> shift));
  for (size_t i = 2; i < parts.size(); ++i)
    for (int shift = 0; shift < 32; shift += 8) sid.push_back(static_cast<uint8_t>(parts[i] >> shift));
  return sid;
}

// The logon information of alice of SAMDOM, with groups of each kind.
inline LogonInfo Alice() {
  LogonInfo info;
  info.effectiveName = u"alice";
  info.logonDomainName = u"SAMDOM";
  info.logonDomainId = SidOf("S-1-5-21-1000-2000-3000");
  info.userId = 1104;
  info.primaryGroupId = 513;
  info.groupIds = {{513, 7}, {1105, 7}, {1106, 7}};
  info.userFlags = winhost::system::kerberos::kExtraSidsFlag | winhost::system::kerberos::kResourceGroupsFlag;
  info.extraSids = {{SidOf("S-1-18-1"), 7}, {SidOf("S-1-5-21-9-9-9-1201"), 7}};
  info.resourceGroupDomainSid = SidOf("S-1-5-21-1000-2000-3000");
  info.resourceGroupIds = {{1107, 0x20000007}};
  return info;
}

struct Field {
  size_t offset;
  size_t width;  // 1, 2 or 4 bytes
};

struct Encoded {
  std::vector<uint8_t> bytes;
  std::map<std::string, Field> fields;  // "groupCount", "effectiveName.length", "logonDomainId.count" ...

  // Overwrites one recorded field, little-endian.
  void Set(const std::string& field, uint32_t value) {
    const Field& at = fields.at(field);
    for (size_t i = 0; i < at.width; ++i) bytes[at.offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
};

class Encoder {
 public:
  // The other strings of the structure, which the decoder reads past.
  std::u16string fullName = u"Alice Example";
  std::u16string logonServer = u"DC1";
  // Empty strings as a non-null pointer to no characters, rather than a null pointer.
  bool emptyStringsPointed = false;

  Encoded Encode(const LogonInfo& info) {
    out_ = Encoded{};
    referent_ = 0x00020000;
    Put(1, 1, "version");
    Put(0x10, 1, "endianness");
    Put(8, 2, "commonLength");
    Put(0xCCCCCCCC, 4, "");
    Put(0, 4, "objectLength");
    Put(0, 4, "");
    Pointer(true, "top");

    for (int i = 0; i < 12; ++i) Put(0, 4, "");  // six times
    StringHeader(info.effectiveName, "effectiveName");
    StringHeader(fullName, "fullName");
    for (const char* unused : {"logonScript", "profilePath", "homeDirectory", "homeDrive"})
      StringHeader(std::u16string(), unused);
    Put(0, 2, "");  // logon count
    Put(0, 2, "");  // bad password count
    Put(info.userId, 4, "userId");
    Put(info.primaryGroupId, 4, "primaryGroupId");
    Put(static_cast<uint32_t>(info.groupIds.size()), 4, "groupCount");
    Pointer(!info.groupIds.empty(), "groupIds.pointer");
    Put(info.userFlags, 4, "userFlags");
    for (int i = 0; i < 4; ++i) Put(0, 4, "");  // session key
    StringHeader(logonServer, "logonServer");
    StringHeader(info.logonDomainName, "logonDomainName");
    Pointer(true, "logonDomainId.pointer");
    for (int i = 0; i < 2; ++i) Put(0, 4, "");  // reserved
    Put(info.userAccountControl, 4, "userAccountControl");
    for (int i = 0; i < 7; ++i) Put(0, 4, "");  // status, times, count, reserved
    Put(static_cast<uint32_t>(info.extraSids.size()), 4, "sidCount");
    Pointer(!info.extraSids.empty(), "extraSids.pointer");
    Pointer(!info.resourceGroupDomainSid.empty(), "resourceDomain.pointer");
    Put(static_cast<uint32_t>(info.resourceGroupIds.size()), 4, "resourceGroupCount");
    Pointer(!info.resourceGroupIds.empty(), "resourceGroupIds.pointer");

    Characters(info.effectiveName, "effectiveName");
    Characters(fullName, "fullName");
    for (const char* unused : {"logonScript", "profilePath", "homeDirectory", "homeDrive"})
      Characters(std::u16string(), unused);
    Groups(info.groupIds, "groupIds");
    Characters(logonServer, "logonServer");
    Characters(info.logonDomainName, "logonDomainName");
    SidReferent(info.logonDomainId, "logonDomainId");
    if (!info.extraSids.empty()) {
      Put(static_cast<uint32_t>(info.extraSids.size()), 4, "extraSids.maxCount");
      for (size_t i = 0; i < info.extraSids.size(); ++i) {
        Pointer(true, "extraSid" + std::to_string(i) + ".pointer");
        Put(info.extraSids[i].attributes, 4, "");
      }
      for (size_t i = 0; i < info.extraSids.size(); ++i) SidReferent(info.extraSids[i].sid, "extraSid" + std::to_string(i));
    }
    if (!info.resourceGroupDomainSid.empty()) SidReferent(info.resourceGroupDomainSid, "resourceDomain");
    Groups(info.resourceGroupIds, "resourceGroupIds");
    while (out_.bytes.size() % 8 != 0) out_.bytes.push_back(0);
    out_.Set("objectLength", static_cast<uint32_t>(out_.bytes.size() - 16));
    return out_;
  }

 private:
  void Put(uint32_t value, size_t width, const std::string& name) {
    while (out_.bytes.size() % width != 0) out_.bytes.push_back(0);
    if (!name.empty()) out_.fields[name] = Field{out_.bytes.size(), width};
    for (size_t i = 0; i < width; ++i) out_.bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  void Pointer(bool present, const std::string& name) {
    Put(present ? referent_ : 0, 4, name);
    if (present) referent_ += 4;
  }
  void StringHeader(const std::u16string& text, const std::string& name) {
    Put(static_cast<uint32_t>(text.size() * 2), 2, name + ".length");
    Put(static_cast<uint32_t>(text.size() * 2), 2, name + ".maximumLength");
    Pointer(!text.empty() || emptyStringsPointed, name + ".pointer");
  }
  void Characters(const std::u16string& text, const std::string& name) {
    if (text.empty() && !emptyStringsPointed) return;
    Put(static_cast<uint32_t>(text.size()), 4, name + ".maxCount");
    Put(0, 4, name + ".offset");
    Put(static_cast<uint32_t>(text.size()), 4, name + ".actualCount");
    for (char16_t unit : text) Put(unit, 2, "");
  }
  void Groups(const std::vector<GroupRid>& groups, const std::string& name) {
    if (groups.empty()) return;
    Put(static_cast<uint32_t>(groups.size()), 4, name + ".maxCount");
    for (const GroupRid& group : groups) {
      Put(group.rid, 4, "");
      Put(group.attributes, 4, "");
    }
  }
  void SidReferent(const Sid& sid, const std::string& name) {
    Put(sid[1], 4, name + ".maxCount");
    Put(sid[0], 1, name + ".revision");
    Put(sid[1], 1, name + ".count");
    for (size_t i = 2; i < sid.size(); ++i) Put(sid[i], 1, "");
  }

  Encoded out_;
  uint32_t referent_ = 0;
};

inline Encoded Encode(const LogonInfo& info) { return Encoder().Encode(info); }

}  // namespace pactest
