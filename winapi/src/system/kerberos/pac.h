// The logon information of a Kerberos ticket's PAC (a Windows domain controller's account of who
// the client is: its domain SID, its groups, the SIDs of other domains it holds), decoded from the
// bytes MIT GSSAPI gives as the client name's "urn:mspac:logon-info" attribute.
//
// Those bytes are a KERB_VALIDATION_INFO in NDR's type serialization, version 1: an 8-byte common
// header (version 1, little-endian, header length 8), an 8-byte private header (the length of the
// serialized object, a multiple of 8), then a unique pointer to the structure, the structure and
// every referent it points to, in the order of its pointers. The decoder reads that by hand and
// trusts nothing: every length, count and referent is checked against the others and against the
// buffer before anything is taken or allocated, and anything inconsistent refuses the whole.
//
// A pure function of its input; no lock, no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winhost::system::kerberos {

// A SID in its binary form: revision, sub-authority count, 6-byte authority, sub-authorities.
using Sid = std::vector<uint8_t>;

struct GroupRid {
  uint32_t rid = 0;
  uint32_t attributes = 0;  // SE_GROUP_* bits
  bool operator==(const GroupRid& other) const { return rid == other.rid && attributes == other.attributes; }
};

struct SidAttributes {
  Sid sid;
  uint32_t attributes = 0;
  bool operator==(const SidAttributes& other) const { return sid == other.sid && attributes == other.attributes; }
};

// UserFlags bits that say which optional parts of the groups hold anything.
constexpr uint32_t kExtraSidsFlag = 0x20;
constexpr uint32_t kResourceGroupsFlag = 0x200;

// USER_NOT_DELEGATED among the logon information's UserAccountControl bits (SAMR's account
// flags, not the directory's userAccountControl): the account is sensitive and cannot be delegated.
constexpr uint32_t kUserNotDelegated = 0x4000;

struct LogonInfo {
  std::u16string effectiveName;    // "alice"
  std::u16string logonDomainName;  // "SAMDOM"
  Sid logonDomainId;               // S-1-5-21-...
  uint32_t userId = 0;
  uint32_t primaryGroupId = 0;
  std::vector<GroupRid> groupIds;  // RIDs in the logon domain
  uint32_t userFlags = 0;
  uint32_t userAccountControl = 0;
  std::vector<SidAttributes> extraSids;
  Sid resourceGroupDomainSid;  // empty when the PAC has none
  std::vector<GroupRid> resourceGroupIds;

  bool operator==(const LogonInfo& other) const {
    return effectiveName == other.effectiveName && logonDomainName == other.logonDomainName &&
           logonDomainId == other.logonDomainId && userId == other.userId &&
           primaryGroupId == other.primaryGroupId && groupIds == other.groupIds && userFlags == other.userFlags &&
           userAccountControl == other.userAccountControl &&
           extraSids == other.extraSids && resourceGroupDomainSid == other.resourceGroupDomainSid &&
           resourceGroupIds == other.resourceGroupIds;
  }
};

// The logon information in `data`, or none when the bytes are not one well-formed serialization
// of it. `failure`, when given, receives a short text saying what was wrong (for the trace).
// Besides the structure, the two names must be non-empty, hold no U+0000 and be well-formed
// UTF-16: they become the client's name.
std::optional<LogonInfo> DecodeLogonInfo(const uint8_t* data, size_t size, const char** failure = nullptr);

// ---- the PAC as a whole ----------------------------------------------------------------------
// A PACTYPE: a count of buffers, version 0, then one PAC_INFO_BUFFER (type, size, 64-bit offset)
// per buffer, each buffer at an offset that is a multiple of 8 and inside the PAC.

enum PacBufferType : uint32_t {
  kLogonInfoBuffer = 1,
  kCredentialsInfoBuffer = 2,
  kServerChecksumBuffer = 6,
  kKdcChecksumBuffer = 7,
  kClientInfoBuffer = 10,
  kDelegationInfoBuffer = 11,
  kUpnDnsInfoBuffer = 12,
  kClientClaimsBuffer = 13,
  kDeviceInfoBuffer = 14,
  kDeviceClaimsBuffer = 15,
  kTicketChecksumBuffer = 16,
  kAttributesBuffer = 17,
  kRequestorBuffer = 18,
  kFullChecksumBuffer = 19,
};

// PAC_ATTRIBUTES_INFO's flags: the client asked for a PAC, or got one without asking.
constexpr uint32_t kPacWasRequested = 0x1;
constexpr uint32_t kPacWasGivenImplicitly = 0x2;

struct PacBuffers {
  // Where one buffer's bytes lie in the PAC.
  struct Place {
    size_t offset = 0;
    size_t length = 0;
  };
  std::vector<uint32_t> types;     // in the PAC's order
  std::vector<Place> places;       // of each of `types`, inside the bytes decoded
  std::optional<Sid> requestor;    // PAC_REQUESTOR: the SID of the account the ticket was issued to
  std::optional<uint32_t> attributes;  // PAC_ATTRIBUTES_INFO's first 32 flags
  bool Has(uint32_t type) const;
  // The place of the buffer of that type; none when the PAC has none.
  std::optional<Place> Find(uint32_t type) const;
};

// The buffers of a whole PAC, or none when its layout does not hold together (`failure` says why).
// Of the buffers' contents only the requestor's SID and the attributes' flags are read; the others
// are where `places` says.
std::optional<PacBuffers> DecodePacBuffers(const uint8_t* data, size_t size, const char** failure = nullptr);

// The PAC's signatures in words: which are present, and which a member server checks. The server's
// signature is checked with the service's own key when the ticket is accepted; the KDC's, the
// ticket's and the full PAC's are made with the domain's krbtgt key, which only a DC holds.
std::string SignaturesText(const PacBuffers& buffers);

// Whether a PAC's requestor, where it has one, is the client its logon information names: a PAC
// whose requestor is another account was issued to somebody else.
bool RequestorMatches(const PacBuffers& buffers, const LogonInfo& logon);

// The PAC's UPN_DNS_INFO: the client's user principal name and its domain's DNS name, and in a
// PAC of a newer controller also its SAM account name and SID. MIT GSSAPI gives it as the client
// name's "urn:mspac:upn-dns-info" attribute. Little-endian lengths and offsets (from the start of
// the buffer) of UTF-16 strings that are not terminated, then flags, then with kUpnSamNameAndSid
// the same for the SAM name and the SID.
constexpr uint32_t kUpnConstructed = 0x1;       // the UPN was made from the name and the domain
constexpr uint32_t kUpnSamNameAndSid = 0x2;     // the SAM name and the SID follow the flags

struct UpnDnsInfo {
  std::u16string upn;            // "alice@samdom.test"
  std::u16string dnsDomainName;  // "SAMDOM.TEST"
  uint32_t flags = 0;
  std::u16string samName;        // "alice"; empty without kUpnSamNameAndSid
  Sid sid;                       // empty without kUpnSamNameAndSid
};

// The UPN_DNS_INFO in `data`, or none when a length, an offset or the SID does not fit the
// buffer, a string is not whole UTF-16 units or holds U+0000, or the SID is not well-formed.
std::optional<UpnDnsInfo> DecodeUpnDnsInfo(const uint8_t* data, size_t size, const char** failure = nullptr);

}  // namespace winhost::system::kerberos
