// The PAC's logon information, decoded by hand (see pac.h for the serialization). The structure's
// fixed part holds lengths, counts and pointers; each non-null pointer's referent follows the
// fixed part, in the order of the pointers, each aligned to 4 bytes. Every read goes through one
// reader that refuses to pass the end of the serialized object, and that remembers its first
// failure so that the decoding reads straight through and is judged once.
#include "system/kerberos/pac.h"

#include "system/kerberos/byte_order.h"

namespace winhost::system::kerberos {
namespace {

constexpr size_t kHeadersLength = 16;  // common header and private header
constexpr uint8_t kSerializationVersion = 1;
constexpr uint8_t kLittleEndian = 0x10;
constexpr uint16_t kCommonHeaderLength = 8;
constexpr uint8_t kSidRevision = 1;
constexpr uint8_t kMostSubAuthorities = 15;
constexpr size_t kFileTimeLength = 8;
constexpr size_t kSessionKeyLength = 16;
constexpr size_t kGroupLength = 8;  // RelativeId, Attributes; and a SID pointer, Attributes


const char* const kOverrun = "data runs past the serialized object";

class Reader {
 public:
  Reader(const uint8_t* data, size_t size, size_t position) : data_(data), size_(size), position_(position) {}

  bool ok() const { return failure_ == nullptr; }
  const char* failure() const { return failure_; }
  size_t position() const { return position_; }
  // What is left to read; 0 once anything failed, so that no count read afterwards allocates.
  size_t remaining() const { return ok() ? size_ - position_ : 0; }

  void Fail(const char* why) {
    if (failure_ == nullptr) failure_ = why;
  }

  // `count` bytes, or null (and failed) when fewer are left.
  const uint8_t* Take(size_t count) {
    if (!ok()) return nullptr;
    if (count > size_ - position_) {
      Fail(kOverrun);
      return nullptr;
    }
    const uint8_t* at = data_ + position_;
    position_ += count;
    return at;
  }

  // Alignment counts from the start of the serialization, whose headers keep 8-byte alignment.
  void Align(size_t boundary) {
    const size_t misaligned = position_ % boundary;
    if (misaligned != 0) Take(boundary - misaligned);
  }

  uint16_t U16() {
    Align(2);
    const uint8_t* at = Take(2);
    return at == nullptr ? 0 : Le16(at);
  }

  uint32_t U32() {
    Align(4);
    const uint8_t* at = Take(4);
    return at == nullptr ? 0 : Le32(at);
  }

  void Skip(size_t count) {
    Align(4);
    Take(count);
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_;
  const char* failure_ = nullptr;
};

// An RPC_UNICODE_STRING as the fixed part holds it: lengths in bytes, and a pointer.
struct CountedString {
  uint16_t length = 0;
  uint16_t maximumLength = 0;
  uint32_t pointer = 0;
};

CountedString ReadCountedString(Reader& in) {
  CountedString string;
  string.length = in.U16();
  string.maximumLength = in.U16();
  string.pointer = in.U32();
  return string;
}

// The characters of a counted string: a conformant varying array of maximumLength / 2 units,
// offset 0, holding length / 2 of them.
std::u16string ReadCharacters(Reader& in, const CountedString& string) {
  if (string.length % 2 != 0 || string.maximumLength % 2 != 0) in.Fail("a string's length is odd");
  if (string.length > string.maximumLength) in.Fail("a string is longer than its maximum length");
  if (string.pointer == 0) {
    if (string.length != 0) in.Fail("a string has a length but no characters");
    return std::u16string();
  }
  const uint32_t maximumCount = in.U32();
  const uint32_t offset = in.U32();
  const uint32_t actualCount = in.U32();
  if (!in.ok()) return std::u16string();
  if (maximumCount != string.maximumLength / 2u || offset != 0 || actualCount != string.length / 2u) {
    in.Fail("a string's array counts disagree with its lengths");
    return std::u16string();
  }
  const uint8_t* units = in.Take(static_cast<size_t>(actualCount) * 2);
  if (units == nullptr) return std::u16string();
  std::u16string text(actualCount, u'\0');
  for (uint32_t i = 0; i < actualCount; ++i) text[i] = static_cast<char16_t>(Le16(units + 2 * i));
  return text;
}

// The conformant array's size, which must be the count that the fixed part gave, and room for
// that many entries of `entryLength` bytes.
bool ReadArraySize(Reader& in, uint32_t count, size_t entryLength) {
  const uint32_t maximumCount = in.U32();
  if (!in.ok()) return false;
  if (maximumCount != count) {
    in.Fail("an array's size disagrees with its count");
    return false;
  }
  if (count > in.remaining() / entryLength) {
    in.Fail(kOverrun);
    return false;
  }
  return true;
}

std::vector<GroupRid> ReadGroups(Reader& in, uint32_t count, uint32_t pointer) {
  std::vector<GroupRid> groups;
  if (pointer == 0) {
    if (count != 0) in.Fail("groups are counted but missing");
    return groups;
  }
  if (!ReadArraySize(in, count, kGroupLength)) return groups;
  groups.resize(count);
  for (GroupRid& group : groups) {
    group.rid = in.U32();
    group.attributes = in.U32();
  }
  return groups;
}

// An RPC_SID: its sub-authority count again as the conformant size, then the SID itself.
Sid ReadSid(Reader& in) {
  const uint32_t maximumCount = in.U32();
  const uint8_t* head = in.Take(8);  // revision, count, identifier authority
  if (head == nullptr) return Sid();
  const uint8_t subAuthorities = head[1];
  if (head[0] != kSidRevision) in.Fail("a SID's revision is not 1");
  if (subAuthorities > kMostSubAuthorities) in.Fail("a SID has more than 15 sub-authorities");
  if (maximumCount != subAuthorities) in.Fail("a SID's array size disagrees with its sub-authority count");
  const uint8_t* tail = in.Take(4u * subAuthorities);
  if (!in.ok() || tail == nullptr) return Sid();
  Sid sid(head, head + 8);
  sid.insert(sid.end(), tail, tail + 4u * subAuthorities);
  return sid;
}

std::vector<SidAttributes> ReadExtraSids(Reader& in, uint32_t count, uint32_t pointer) {
  std::vector<SidAttributes> sids;
  if (pointer == 0) {
    if (count != 0) in.Fail("extra SIDs are counted but missing");
    return sids;
  }
  if (!ReadArraySize(in, count, kGroupLength)) return sids;
  sids.resize(count);
  for (SidAttributes& entry : sids) {
    if (in.U32() == 0) in.Fail("an extra SID's pointer is null");
    entry.attributes = in.U32();
  }
  for (SidAttributes& entry : sids) {
    if (!in.ok()) break;
    entry.sid = ReadSid(in);
  }
  return sids;
}

// A name the client will bear: something, no U+0000, every surrogate paired.
bool WellFormedName(const std::u16string& name) {
  if (name.empty()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t unit = name[i];
    if (unit == 0) return false;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 >= name.size() || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF) return false;
      ++i;
    }
  }
  return true;
}

// The type serialization's headers and the object's length they give: why they do not hold, or
// none when they do.
const char* HeaderRefusal(const uint8_t* data, size_t size, uint32_t& objectLength) {
  if (data == nullptr || size < kHeadersLength) return "shorter than its headers";
  if (data[0] != kSerializationVersion) return "not version 1 of the type serialization";
  if (data[1] != kLittleEndian) return "not little-endian";
  if (Le16(data + 2) != kCommonHeaderLength) return "a common header not of 8 bytes";
  objectLength = Le32(data + 8);
  if (objectLength % 8 != 0) return "an object length not a multiple of 8";
  if (objectLength > size - kHeadersLength) return "an object longer than the buffer";
  // The buffer may be padded to 8 bytes after the object, and hold nothing else.
  if (size - kHeadersLength - objectLength >= 8) return "bytes after the object";
  return nullptr;
}

// What the fixed part points at: its referents follow it, in the order of their pointers.
struct Referents {
  CountedString names[6];  // effective name, full name, logon script, profile, home, drive
  CountedString logonServer;
  CountedString logonDomainName;
  uint32_t groupCount = 0;
  uint32_t groupPointer = 0;
  uint32_t logonDomainIdPointer = 0;
  uint32_t sidCount = 0;
  uint32_t sidPointer = 0;
  uint32_t resourceDomainPointer = 0;
  uint32_t resourceGroupCount = 0;
  uint32_t resourceGroupPointer = 0;
};

Referents ReadFixedPart(Reader& in, LogonInfo& info) {
  Referents to;
  in.Skip(6 * kFileTimeLength);  // logon, logoff, kick-off, password set, can change, must change
  for (CountedString& name : to.names) name = ReadCountedString(in);
  in.U16();  // logon count
  in.U16();  // bad password count
  info.userId = in.U32();
  info.primaryGroupId = in.U32();
  to.groupCount = in.U32();
  to.groupPointer = in.U32();
  info.userFlags = in.U32();
  in.Skip(kSessionKeyLength);
  to.logonServer = ReadCountedString(in);
  to.logonDomainName = ReadCountedString(in);
  to.logonDomainIdPointer = in.U32();
  in.Skip(2 * 4);  // reserved
  info.userAccountControl = in.U32();
  in.U32();        // sub-authentication status
  in.Skip(2 * kFileTimeLength);  // last successful and last failed interactive logon
  in.U32();  // failed interactive logon count
  in.U32();  // reserved
  to.sidCount = in.U32();
  to.sidPointer = in.U32();
  to.resourceDomainPointer = in.U32();
  to.resourceGroupCount = in.U32();
  to.resourceGroupPointer = in.U32();
  return to;
}

void ReadReferents(Reader& in, const Referents& to, LogonInfo& info) {
  info.effectiveName = ReadCharacters(in, to.names[0]);
  for (size_t i = 1; i < 6; ++i) ReadCharacters(in, to.names[i]);
  info.groupIds = ReadGroups(in, to.groupCount, to.groupPointer);
  ReadCharacters(in, to.logonServer);
  info.logonDomainName = ReadCharacters(in, to.logonDomainName);
  if (to.logonDomainIdPointer == 0) in.Fail("no logon domain SID");
  if (in.ok()) info.logonDomainId = ReadSid(in);
  info.extraSids = ReadExtraSids(in, to.sidCount, to.sidPointer);
  if (to.resourceDomainPointer != 0 && in.ok()) info.resourceGroupDomainSid = ReadSid(in);
  info.resourceGroupIds = ReadGroups(in, to.resourceGroupCount, to.resourceGroupPointer);
}

}  // namespace

std::optional<LogonInfo> DecodeLogonInfo(const uint8_t* data, size_t size, const char** failure) {
  auto refuse = [failure](const char* why) -> std::optional<LogonInfo> {
    if (failure != nullptr) *failure = why;
    return std::nullopt;
  };
  uint32_t objectLength = 0;
  if (const char* why = HeaderRefusal(data, size, objectLength)) return refuse(why);

  Reader in(data, kHeadersLength + objectLength, kHeadersLength);
  if (in.U32() == 0) return refuse("a null pointer to the logon information");
  LogonInfo info;
  const Referents referents = ReadFixedPart(in, info);
  ReadReferents(in, referents, info);
  if (!in.ok()) return refuse(in.failure());
  if (!info.resourceGroupIds.empty() && info.resourceGroupDomainSid.empty())
    return refuse("resource groups without their domain SID");
  // The object ends with the last referent, padded to 8 bytes.
  if (kHeadersLength + objectLength - in.position() >= 8) return refuse("bytes left over after the last referent");
  if (!WellFormedName(info.effectiveName)) return refuse("an effective name that is empty or not well-formed");
  if (!WellFormedName(info.logonDomainName)) return refuse("a logon domain name that is empty or not well-formed");
  return info;
}

namespace {

// A (length, offset) pair of UPN_DNS_INFO and the bytes it names inside the buffer.
const uint8_t* Located(const uint8_t* data, size_t size, size_t field, size_t& length) {
  length = Le16(data + field);
  const size_t offset = Le16(data + field + 2);
  if (offset > size || length > size - offset) return nullptr;
  return data + offset;
}

bool TakeName(const uint8_t* data, size_t size, size_t field, bool required, std::u16string& text) {
  size_t length = 0;
  const uint8_t* at = Located(data, size, field, length);
  if (at == nullptr || length % 2 != 0) return false;
  text.assign(length / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char16_t>(Le16(at + 2 * i));
  return text.empty() ? !required : WellFormedName(text);
}

}  // namespace

std::optional<UpnDnsInfo> DecodeUpnDnsInfo(const uint8_t* data, size_t size, const char** failure) {
  auto refuse = [failure](const char* why) -> std::optional<UpnDnsInfo> {
    if (failure != nullptr) *failure = why;
    return std::nullopt;
  };
  constexpr size_t kFixedLength = 12;
  constexpr size_t kExtendedLength = 20;
  if (data == nullptr || size < kFixedLength) return refuse("shorter than its fixed part");
  UpnDnsInfo info;
  info.flags = Le32(data + 8);
  if (!TakeName(data, size, 0, false, info.upn)) return refuse("a UPN outside the buffer or not well-formed");
  if (!TakeName(data, size, 4, true, info.dnsDomainName))
    return refuse("a DNS domain name that is missing, outside the buffer or not well-formed");
  if ((info.flags & kUpnSamNameAndSid) == 0) return info;
  if (size < kExtendedLength) return refuse("the SAM name and SID are flagged but missing");
  if (!TakeName(data, size, 12, true, info.samName))
    return refuse("a SAM name that is missing, outside the buffer or not well-formed");
  size_t length = 0;
  const uint8_t* sid = Located(data, size, 16, length);
  if (sid == nullptr || length < 8 || sid[0] != kSidRevision || sid[1] > kMostSubAuthorities ||
      length != 8 + 4u * sid[1])
    return refuse("a SID outside the buffer or not well-formed");
  info.sid.assign(sid, sid + length);
  return info;
}

}  // namespace winhost::system::kerberos
