// The PAC as a whole: its table of buffers, the requestor and the attributes, and its signatures
// in words (see pac.h).
#include <algorithm>

#include "common/sids.h"
#include "system/kerberos/byte_order.h"
#include "system/kerberos/pac.h"

namespace winhost::system::kerberos {
namespace {

constexpr size_t kPacHeaderLength = 8;   // cBuffers, Version
constexpr size_t kInfoBufferLength = 16;  // ulType, cbBufferSize, Offset (64 bits)
// No PAC a KDC writes has more; a larger count is garbage, and is refused before anything is taken.
constexpr uint32_t kMostBuffers = 64;


struct Signature {
  uint32_t type;
  const char* name;
  bool checkedHere;
};
const Signature kSignatures[] = {
    {kServerChecksumBuffer, "server", true},
    {kKdcChecksumBuffer, "KDC", false},
    {kTicketChecksumBuffer, "ticket", false},
    {kFullChecksumBuffer, "full PAC", false},
};

}  // namespace

bool PacBuffers::Has(uint32_t type) const { return std::find(types.begin(), types.end(), type) != types.end(); }

std::optional<PacBuffers::Place> PacBuffers::Find(uint32_t type) const {
  const auto it = std::find(types.begin(), types.end(), type);
  if (it == types.end()) return std::nullopt;
  return places[static_cast<size_t>(it - types.begin())];
}

std::optional<PacBuffers> DecodePacBuffers(const uint8_t* data, size_t size, const char** failure) {
  auto refuse = [failure](const char* why) -> std::optional<PacBuffers> {
    if (failure != nullptr) *failure = why;
    return std::nullopt;
  };
  if (data == nullptr || size < kPacHeaderLength) return refuse("shorter than its header");
  const uint32_t count = Le32(data);
  if (Le32(data + 4) != 0) return refuse("not version 0");
  if (count > kMostBuffers || count * kInfoBufferLength > size - kPacHeaderLength)
    return refuse("more buffers than the PAC holds");
  PacBuffers buffers;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* info = data + kPacHeaderLength + i * kInfoBufferLength;
    const uint32_t type = Le32(info);
    const uint32_t length = Le32(info + 4);
    const uint64_t offset = Le64(info + 8);
    if (offset % 8 != 0 || offset > size || length > size - offset) return refuse("a buffer lies outside the PAC");
    if (buffers.Has(type)) return refuse("a buffer type appears twice");
    buffers.types.push_back(type);
    buffers.places.push_back(PacBuffers::Place{static_cast<size_t>(offset), length});
    const uint8_t* body = data + offset;
    if (type == kRequestorBuffer) {
      buffers.requestor = common::SidOfBytes(std::vector<uint8_t>(body, body + length));
      if (!buffers.requestor) return refuse("a requestor that is not one SID");
    } else if (type == kAttributesBuffer) {
      if (length < 8 || Le32(body) == 0) return refuse("attributes without flags");
      buffers.attributes = Le32(body + 4);
    }
  }
  return buffers;
}

std::string SignaturesText(const PacBuffers& buffers) {
  std::string present, checked, unchecked;
  for (const Signature& signature : kSignatures) {
    if (!buffers.Has(signature.type)) continue;
    std::string& list = signature.checkedHere ? checked : unchecked;
    present += (present.empty() ? "" : ", ") + std::string(signature.name);
    list += (list.empty() ? "" : ", ") + std::string(signature.name);
  }
  if (present.empty()) return "no signatures";
  std::string text = "signatures present: " + present;
  text += "; checked here: " + (checked.empty() ? std::string("none") : checked + " (with the service's key)");
  if (!unchecked.empty()) text += "; not checkable here: " + unchecked + " (the domain's krbtgt key; only a DC holds it)";
  return text;
}

bool RequestorMatches(const PacBuffers& buffers, const LogonInfo& logon) {
  if (!buffers.requestor) return true;
  const std::optional<Sid> user = common::WithRid(logon.logonDomainId, logon.userId);
  return user && *user == *buffers.requestor;
}

}  // namespace winhost::system::kerberos
