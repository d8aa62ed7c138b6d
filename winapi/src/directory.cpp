// advapi32's account lookups by name and by SID, SID building, SID text and comparison.
#include <algorithm>
#include <cstring>

#include "common/blocks.h"
#include "common/journal.h"
#include "common/sids.h"
#include "common/text.h"
#include "common/world.h"

using namespace winhost;
using namespace winhost::common;

namespace {

std::string SizeText(const DWORD* size) { return size ? std::to_string(*size) : "null"; }

std::string SidArgText(const void* sid) {
  auto bytes = ReadSid(sid);
  return sid == nullptr ? "null" : bytes ? SidText(*bytes) : "invalid";
}

// The answer of both lookups: every buffer large enough, or ERROR_INSUFFICIENT_BUFFER with the
// sizes needed (terminators included) and nothing written.
bool FitsText(const WCHAR* buffer, const DWORD* size, const std::u16string& text) {
  return buffer != nullptr && *size >= text.size() + 1;
}

void WriteText(WCHAR* buffer, DWORD* size, const std::u16string& text) {
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = 0;
  *size = static_cast<DWORD>(text.size());
}

}  // namespace

extern "C" {

BOOL WINAPI LookupAccountNameW(LPCWSTR systemName, LPCWSTR accountName, PSID sid, LPDWORD sidSize,
                               LPWSTR referencedDomainName, LPDWORD domainNameSize, PSID_NAME_USE use) {
  WorldLock lock(WorldMutex());
  Call call{"LookupAccountNameW", {{"system", systemName ? Narrow(systemName) : "null"},
                                   {"name", accountName ? Narrow(accountName) : "null"},
                                   {"sidSize", SizeText(sidSize)},
                                   {"domainSize", SizeText(domainNameSize)}}};
  if (auto fault = Enter(std::move(call))) return FailWith(*fault);
  if (accountName == nullptr || sidSize == nullptr || domainNameSize == nullptr || use == nullptr)
    return FailWith(ERROR_INVALID_PARAMETER);
  if (systemName != nullptr && *systemName != 0) return FailWith(ERROR_NO_SUCH_DOMAIN);
  Resolved resolved;
  if (DWORD error = world::LookupName(lock, std::u16string(accountName), resolved); error != ERROR_SUCCESS)
    return FailWith(error);
  const auto sidBytes = static_cast<DWORD>(resolved.sid.size());
  if (sid == nullptr || *sidSize < sidBytes || !FitsText(referencedDomainName, domainNameSize, resolved.domain)) {
    *sidSize = sidBytes;
    *domainNameSize = static_cast<DWORD>(resolved.domain.size() + 1);
    return FailWith(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(sid, resolved.sid.data(), sidBytes);
  *sidSize = sidBytes;
  WriteText(referencedDomainName, domainNameSize, resolved.domain);
  *use = resolved.use;
  return TRUE;
}

BOOL WINAPI LookupAccountSidW(LPCWSTR systemName, PSID sid, LPWSTR name, LPDWORD nameSize,
                              LPWSTR referencedDomainName, LPDWORD domainNameSize, PSID_NAME_USE use) {
  WorldLock lock(WorldMutex());
  Call call{"LookupAccountSidW", {{"system", systemName ? Narrow(systemName) : "null"},
                                  {"sid", SidArgText(sid)},
                                  {"nameSize", SizeText(nameSize)},
                                  {"domainSize", SizeText(domainNameSize)}}};
  if (auto fault = Enter(std::move(call))) return FailWith(*fault);
  if (nameSize == nullptr || domainNameSize == nullptr || use == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (systemName != nullptr && *systemName != 0) return FailWith(ERROR_NO_SUCH_DOMAIN);
  auto bytes = ReadSid(sid);
  if (!bytes) return FailWith(ERROR_INVALID_SID);
  Resolved resolved;
  if (DWORD error = world::LookupSid(lock, *bytes, resolved); error != ERROR_SUCCESS) return FailWith(error);
  if (!FitsText(name, nameSize, resolved.name) || !FitsText(referencedDomainName, domainNameSize, resolved.domain)) {
    *nameSize = static_cast<DWORD>(resolved.name.size() + 1);
    *domainNameSize = static_cast<DWORD>(resolved.domain.size() + 1);
    return FailWith(ERROR_INSUFFICIENT_BUFFER);
  }
  WriteText(name, nameSize, resolved.name);
  WriteText(referencedDomainName, domainNameSize, resolved.domain);
  *use = resolved.use;
  return TRUE;
}

BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE subAuthorityCount, DWORD subAuthority0,
                                     DWORD subAuthority1, DWORD subAuthority2, DWORD subAuthority3,
                                     DWORD subAuthority4, DWORD subAuthority5, DWORD subAuthority6,
                                     DWORD subAuthority7, PSID* sid) {
  const DWORD all[8] = {subAuthority0, subAuthority1, subAuthority2, subAuthority3,
                        subAuthority4, subAuthority5, subAuthority6, subAuthority7};
  std::string authorityText = "null";
  if (authority != nullptr) {
    authorityText.clear();
    for (int i = 0; i < 6; ++i) authorityText += (i ? "," : "") + std::to_string(authority->Value[i]);
  }
  std::string subText;
  for (int i = 0; i < 8; ++i) subText += (i ? "," : "") + std::to_string(all[i]);
  WorldGuard guard(WorldMutex());
  Call call{"AllocateAndInitializeSid",
            {{"authority", authorityText}, {"count", std::to_string(subAuthorityCount)}, {"subAuthorities", subText}}};
  if (auto fault = Enter(std::move(call))) return FailWith(*fault);
  if (authority == nullptr || sid == nullptr || subAuthorityCount > 8) return FailWith(ERROR_INVALID_PARAMETER);
  auto* block = static_cast<uint8_t*>(AllocBlock(8 + 4 * subAuthorityCount, "sid"));
  if (block == nullptr) return FailWith(ERROR_NOT_ENOUGH_MEMORY);
  block[0] = SID_REVISION;
  block[1] = subAuthorityCount;
  std::memcpy(block + 2, authority->Value, 6);
  std::memcpy(block + 8, all, 4 * subAuthorityCount);
  *sid = block;
  return TRUE;
}

PVOID WINAPI FreeSid(PSID sid) {
  WorldGuard guard(WorldMutex());
  if (auto fault = Enter(Call{"FreeSid", {{"sid", SidArgText(sid)}}})) {
    SetLastError(*fault);
    return sid;
  }
  return FreeBlock(sid, "sid") ? nullptr : sid;
}

BOOL WINAPI ConvertSidToStringSidA(PSID sid, LPSTR* text) {
  WorldGuard guard(WorldMutex());
  if (auto fault = Enter(Call{"ConvertSidToStringSidA", {{"sid", SidArgText(sid)}}})) return FailWith(*fault);
  auto bytes = ReadSid(sid);
  if (!bytes || text == nullptr) return FailWith(ERROR_INVALID_SID);
  std::string converted = SidText(*bytes);
  auto* out = static_cast<char*>(AllocBlock(converted.size() + 1, "local"));
  if (out == nullptr) return FailWith(ERROR_NOT_ENOUGH_MEMORY);
  std::memcpy(out, converted.c_str(), converted.size() + 1);
  *text = out;
  return TRUE;
}

HLOCAL WINAPI LocalFree(HLOCAL memory) {
  WorldGuard guard(WorldMutex());
  if (auto fault = Enter(Call{"LocalFree", {{"memory", memory ? "set" : "null"}}})) {
    SetLastError(*fault);
    return memory;
  }
  if (memory == nullptr || FreeBlock(memory, "local")) return nullptr;
  SetLastError(ERROR_INVALID_HANDLE);
  return memory;
}

BOOL WINAPI EqualSid(PSID first, PSID second) {
  WorldGuard guard(WorldMutex());
  if (auto fault = Enter(Call{"EqualSid", {{"first", SidArgText(first)}, {"second", SidArgText(second)}}}))
    return FailWith(*fault);
  auto a = ReadSid(first);
  auto b = ReadSid(second);
  // Windows answers FALSE with no error for SIDs that differ.
  SetLastError(ERROR_SUCCESS);
  return a && b && *a == *b ? TRUE : FALSE;
}

}  // extern "C"
