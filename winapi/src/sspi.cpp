// SSPI entry points of the stand-in host: credentials, the context steps, sizes and release.
#include <cstdio>
#include <cstring>

#include "exchange.h"
#include "sspi_host.h"
#include "system/gss_host.h"

namespace winhost {
namespace detail {
namespace {

std::map<std::string, Package> DefaultPackages() {
  std::map<std::string, Package> packages;
  // On a host that is not joined to a domain Negotiate settles on NTLM: three legs, a 16-byte
  // signature and no block cipher, so nothing is padded.
  packages["Negotiate"] = Package{"Negotiate", Shape::ThreeLeg, Sizes{48256, 16, 0, 16},
                                  std::string("Microsoft Package Negotiator"), ""};
  packages["NTLM"] = Package{"NTLM", Shape::ThreeLeg, Sizes{2888, 16, 0, 16},
                             std::string("NTLM Security Package"), ""};
  // Kerberos authenticates in one leg (two with mutual authentication) and seals with a 16-byte
  // block cipher, so wrapped messages carry padding.
  packages["Kerberos"] = Package{"Kerberos", Shape::OneLeg, Sizes{48000, 28, 16, 60},
                                 std::string("Microsoft Kerberos V1.0"), ""};
  return packages;
}

ResetHook resetSspi([] {
  SspiWorld& world = Sspi();
  world.packages = DefaultPackages();
  world.scripts.clear();
});

}  // namespace

SspiWorld& Sspi() {
  static SspiWorld* world = [] {
    auto* w = new SspiWorld();
    w->packages = DefaultPackages();
    return w;
  }();
  return *world;
}

const Package* FindPackage(const std::string& name) {
  auto it = Sspi().packages.find(name);
  return it == Sspi().packages.end() ? nullptr : &it->second;
}

Credential* FindCredential(const CredHandle* handle) {
  if (handle == nullptr || handle->dwLower != kCredentialTag) return nullptr;
  auto it = Sspi().credentials.find(handle->dwUpper);
  return it == Sspi().credentials.end() ? nullptr : &it->second;
}

Context* FindContext(const CtxtHandle* handle) {
  if (handle == nullptr || handle->dwLower != kContextTag) return nullptr;
  auto it = Sspi().contexts.find(handle->dwUpper);
  return it == Sspi().contexts.end() ? nullptr : &it->second;
}

std::optional<StepScript> TakeScript(const std::string& function) {
  auto& queue = Sspi().scripts[function];
  if (queue.empty()) return std::nullopt;
  StepScript script = queue.front();
  queue.pop_front();
  return script;
}

ULONG_PTR NewId() { return ++Sspi().nextId; }

void Renumber(CtxtHandle* handle, ULONG_PTR oldId) {
  auto node = Sspi().contexts.extract(oldId);
  ULONG_PTR id = NewId();
  node.key() = id;
  Sspi().contexts.insert(std::move(node));
  handle->dwLower = kContextTag;
  handle->dwUpper = id;
}

std::string HandleText(const SecHandle* handle) {
  if (handle == nullptr) return "null";
  return std::to_string(handle->dwUpper);
}

std::string FlagsText(ULONG flags) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(flags));
  return text;
}

SECURITY_STATUS WritePackageInfo(const std::string& package, const std::optional<std::string>& comment,
                                 ULONG maxToken, void* buffer) {
  const std::u16string name = WideOf(package);
  const std::u16string commentText = WideOf(comment.value_or(""));
  const size_t nameBytes = (name.size() + 1) * sizeof(WCHAR);
  const size_t commentBytes = comment ? (commentText.size() + 1) * sizeof(WCHAR) : 0;
  auto* block = static_cast<uint8_t*>(AllocBlock(sizeof(SecPkgInfoW) + nameBytes + commentBytes, "buffer"));
  if (block == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
  auto* info = reinterpret_cast<SecPkgInfoW*>(block);
  info->fCapabilities = 0;
  info->wVersion = 1;
  info->wRPCID = 0;
  info->cbMaxToken = maxToken;
  info->Name = reinterpret_cast<SEC_WCHAR*>(block + sizeof(SecPkgInfoW));
  std::memcpy(info->Name, name.c_str(), nameBytes);
  info->Comment = nullptr;
  if (comment) {
    info->Comment = reinterpret_cast<SEC_WCHAR*>(block + sizeof(SecPkgInfoW) + nameBytes);
    std::memcpy(info->Comment, commentText.c_str(), commentBytes);
  }
  static_cast<SecPkgContext_PackageInfoW*>(buffer)->PackageInfo = info;
  return SEC_E_OK;
}

// The package and use of a credential handle of either world, for the journal.
static std::string CredentialPackage(const CredHandle* handle) {
  if (InSystemWorld()) {
    const gss::Credential* found = gss::FindCredential(handle);
    return found ? found->mechanism->package : "?";
  }
  const Credential* found = FindCredential(handle);
  return found ? found->package : "?";
}

static std::string CredentialUse(const CredHandle* handle) {
  if (InSystemWorld()) {
    const gss::Credential* found = gss::FindCredential(handle);
    return found ? std::to_string(found->use) : "?";
  }
  const Credential* found = FindCredential(handle);
  return found ? std::to_string(found->use) : "?";
}

// Copies `token` into the caller's first SECBUFFER_TOKEN output buffer.
static SECURITY_STATUS WriteToken(PSecBufferDesc output, const std::vector<uint8_t>& token) {
  if (output == nullptr || output->cBuffers == 0 || output->pBuffers == nullptr) {
    return token.empty() ? SEC_E_OK : SEC_E_INVALID_TOKEN;
  }
  for (ULONG i = 0; i < output->cBuffers; ++i) {
    SecBuffer& buffer = output->pBuffers[i];
    if (buffer.BufferType != SECBUFFER_TOKEN) continue;
    if (token.size() > buffer.cbBuffer) return SEC_E_BUFFER_TOO_SMALL;
    if (!token.empty()) std::memcpy(buffer.pvBuffer, token.data(), token.size());
    buffer.cbBuffer = static_cast<ULONG>(token.size());
    return SEC_E_OK;
  }
  return SEC_E_INVALID_TOKEN;
}

// The first SECBUFFER_TOKEN input buffer, or none.
static std::optional<std::vector<uint8_t>> ReadToken(PSecBufferDesc input) {
  if (input == nullptr || input->pBuffers == nullptr) return std::nullopt;
  for (ULONG i = 0; i < input->cBuffers; ++i) {
    const SecBuffer& buffer = input->pBuffers[i];
    if (buffer.BufferType != SECBUFFER_TOKEN) continue;
    const auto* bytes = static_cast<const uint8_t*>(buffer.pvBuffer);
    if (bytes == nullptr) return std::vector<uint8_t>();
    return std::vector<uint8_t>(bytes, bytes + buffer.cbBuffer);
  }
  return std::nullopt;
}

// One step of either side: runs the package, applies a scripted answer, and writes the results
// back only when the step did not fail.
SECURITY_STATUS RunStep(const std::string& function, Context& working, bool isNew, PCtxtHandle existing,
                        PCtxtHandle newContext, const std::optional<std::vector<uint8_t>>& input,
                        PSecBufferDesc output, PULONG contextAttr) {
  const Package* package = FindPackage(working.package);
  if (package == nullptr) return SEC_E_INVALID_HANDLE;

  StepResult result = working.client ? ClientStep(working, *package, input) : ServerStep(working, *package, input);
  if (auto script = TakeScript(function)) {
    result.status = script->status;
    if (script->token) result.token = *script->token;
    if (script->attributes) result.attributes = *script->attributes;
  }
  bool ok = result.status == SEC_E_OK || result.status == SEC_I_CONTINUE_NEEDED ||
            result.status == SEC_I_COMPLETE_NEEDED || result.status == SEC_I_COMPLETE_AND_CONTINUE;
  if (!ok) return result.status;
  if (SECURITY_STATUS written = WriteToken(output, result.token); written != SEC_E_OK) return written;

  working.round += 1;
  working.attributes = result.attributes;
  working.completePending = result.status == SEC_I_COMPLETE_NEEDED || result.status == SEC_I_COMPLETE_AND_CONTINUE;
  working.continueAfterComplete = result.status == SEC_I_COMPLETE_AND_CONTINUE;
  working.established = result.status == SEC_E_OK;
  if (contextAttr != nullptr) *contextAttr = result.attributes;

  if (isNew) {
    ULONG_PTR id = NewId();
    Sspi().contexts[id] = working;
    AddLive("context", 1);
    newContext->dwLower = kContextTag;
    newContext->dwUpper = id;
  } else {
    ULONG_PTR oldId = existing->dwUpper;
    Sspi().contexts[oldId] = working;
    if (newContext != nullptr) Renumber(newContext, oldId);
  }
  return result.status;
}

}  // namespace detail

using namespace detail;

void ScriptStep(const std::string& function, const StepScript& script) {
  WorldGuard guard(WorldMutex());
  Sspi().scripts[function].push_back(script);
}

void SetPackageSizes(const std::string& package, const Sizes& sizes) {
  WorldGuard guard(WorldMutex());
  Sspi().packages.at(package).sizes = sizes;
}

Sizes GetPackageSizes(const std::string& package) {
  WorldGuard guard(WorldMutex());
  return Sspi().packages.at(package).sizes;
}

void SetCredentialUserName(const std::string& package, const std::string& userName) {
  WorldGuard guard(WorldMutex());
  Sspi().packages.at(package).credentialUser = userName;
}

void SetPackageComment(const std::string& package, std::optional<std::string> comment) {
  WorldGuard guard(WorldMutex());
  Sspi().packages.at(package).comment = std::move(comment);
}

}  // namespace winhost

using namespace winhost;
using namespace winhost::detail;

extern "C" {

SECURITY_STATUS SEC_ENTRY AcquireCredentialsHandleW(LPWSTR principal, LPWSTR package, ULONG credentialUse,
                                                    void* logonId, void* authData, SEC_GET_KEY_FN getKeyFn,
                                                    void* getKeyArgument, PCredHandle credential,
                                                    PTimeStamp expiry) {
  WorldLock guard(WorldMutex());
  std::string name = Narrow(package);
  Call call{"AcquireCredentialsHandleW",
            {{"principal", principal ? Narrow(principal) : "null"},
             {"package", package ? name : "null"},
             {"use", std::to_string(credentialUse)},
             {"logonId", logonId ? "set" : "null"},
             {"authData", authData ? "set" : "null"},
             {"getKeyFn", getKeyFn ? "set" : "null"},
             {"getKeyArgument", getKeyArgument ? "set" : "null"}}};
  if (auto fault = Enter(std::move(call))) return static_cast<SECURITY_STATUS>(*fault);
  if (credential == nullptr) return SEC_E_INVALID_HANDLE;
  if (InSystemWorld()) return package == nullptr ? SEC_E_SECPKG_NOT_FOUND : gss::AcquireCredentials(guard, name, credentialUse, credential, expiry);
  if (package == nullptr || FindPackage(name) == nullptr) return SEC_E_SECPKG_NOT_FOUND;
  if (credentialUse != SECPKG_CRED_INBOUND && credentialUse != SECPKG_CRED_OUTBOUND) return SEC_E_UNKNOWN_CREDENTIALS;
  ULONG_PTR id = NewId();
  Sspi().credentials[id] = Credential{name, credentialUse};
  AddLive("credential", 1);
  credential->dwLower = kCredentialTag;
  credential->dwUpper = id;
  if (expiry != nullptr) expiry->QuadPart = 0x7FFFFFFFFFFFFFFFLL;  // never expires
  return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY QueryCredentialsAttributesW(PCredHandle credential, ULONG attribute, void* buffer) {
  WorldGuard guard(WorldMutex());
  Call call{"QueryCredentialsAttributesW", {{"credential", HandleText(credential)}, {"attribute", std::to_string(attribute)}}};
  if (auto fault = Enter(std::move(call))) return static_cast<SECURITY_STATUS>(*fault);
  if (InSystemWorld()) return gss::CredentialName(credential, attribute, buffer);
  Credential* found = FindCredential(credential);
  if (found == nullptr) return SEC_E_INVALID_HANDLE;
  if (attribute != SECPKG_CRED_ATTR_NAMES) return SEC_E_UNSUPPORTED_FUNCTION;
  if (buffer == nullptr) return SEC_E_INVALID_TOKEN;
  const Package* package = FindPackage(found->package);
  std::string user = package && !package->credentialUser.empty() ? package->credentialUser : ProcessUserQualifiedName();
  static_cast<SecPkgCredentials_NamesW*>(buffer)->sUserName = AllocWide(WideOf(user), "buffer");
  return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY FreeCredentialsHandle(PCredHandle credential) {
  WorldGuard guard(WorldMutex());
  if (auto fault = Enter(Call{"FreeCredentialsHandle", {{"credential", HandleText(credential)}}}))
    return static_cast<SECURITY_STATUS>(*fault);
  if (InSystemWorld()) return gss::FreeCredentials(credential);
  if (FindCredential(credential) == nullptr) return SEC_E_INVALID_HANDLE;
  Sspi().credentials.erase(credential->dwUpper);
  AddLive("credential", -1);
  return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY InitializeSecurityContextW(PCredHandle credential, PCtxtHandle context,
                                                     SEC_WCHAR* targetName, ULONG contextReq, ULONG reserved1,
                                                     ULONG targetDataRep, PSecBufferDesc input, ULONG reserved2,
                                                     PCtxtHandle newContext, PSecBufferDesc output,
                                                     PULONG contextAttr, PTimeStamp expiry) {
  WorldLock guard(WorldMutex());
  auto token = ReadToken(input);
  Credential* found = FindCredential(credential);
  Call call{"InitializeSecurityContextW",
            {{"package", CredentialPackage(credential)},
             {"use", CredentialUse(credential)},
             {"context", HandleText(context)},
             {"new", HandleText(newContext)},
             {"target", targetName ? Narrow(targetName) : "null"},
             {"flags", FlagsText(contextReq)},
             {"drep", FlagsText(targetDataRep)},
             {"input", token ? std::to_string(token->size()) : "null"}}};
  if (auto fault = Enter(std::move(call))) return static_cast<SECURITY_STATUS>(*fault);
  if (InSystemWorld() && reserved1 == 0 && reserved2 == 0)
    return gss::InitializeContext(guard, credential, context, targetName, contextReq, input, newContext, output,
                                  contextAttr, expiry);
  if (found == nullptr || newContext == nullptr || reserved1 != 0 || reserved2 != 0) return SEC_E_INVALID_HANDLE;
  if (found->use != SECPKG_CRED_OUTBOUND) return SEC_E_NO_CREDENTIALS;
  if (expiry != nullptr) expiry->QuadPart = 0x7FFFFFFFFFFFFFFFLL;

  if (context == nullptr) {
    Context fresh;
    fresh.package = found->package;
    fresh.client = true;
    fresh.credential = credential->dwUpper;
    fresh.target = targetName ? Narrow(targetName) : "";
    fresh.requested = contextReq;
    return RunStep("InitializeSecurityContextW", fresh, true, nullptr, newContext, token, output, contextAttr);
  }
  Context* existing = FindContext(context);
  if (existing == nullptr || !existing->client) return SEC_E_INVALID_HANDLE;
  Context working = *existing;
  working.requested = contextReq;
  return RunStep("InitializeSecurityContextW", working, false, context, newContext, token, output, contextAttr);
}

SECURITY_STATUS SEC_ENTRY AcceptSecurityContext(PCredHandle credential, PCtxtHandle context, PSecBufferDesc input,
                                                ULONG contextReq, ULONG targetDataRep, PCtxtHandle newContext,
                                                PSecBufferDesc output, PULONG contextAttr, PTimeStamp expiry) {
  WorldGuard guard(WorldMutex());
  auto token = ReadToken(input);
  Credential* found = FindCredential(credential);
  Call call{"AcceptSecurityContext",
            {{"package", CredentialPackage(credential)},
             {"use", CredentialUse(credential)},
             {"context", HandleText(context)},
             {"new", HandleText(newContext)},
             {"flags", FlagsText(contextReq)},
             {"drep", FlagsText(targetDataRep)},
             {"input", token ? std::to_string(token->size()) : "null"}}};
  if (auto fault = Enter(std::move(call))) return static_cast<SECURITY_STATUS>(*fault);
  if (InSystemWorld())
    return gss::AcceptContext(credential, context, input, contextReq, newContext, output, contextAttr, expiry);
  if (found == nullptr || newContext == nullptr) return SEC_E_INVALID_HANDLE;
  if (found->use != SECPKG_CRED_INBOUND) return SEC_E_NO_CREDENTIALS;
  if (expiry != nullptr) expiry->QuadPart = 0x7FFFFFFFFFFFFFFFLL;

  if (context == nullptr) {
    Context fresh;
    fresh.package = found->package;
    fresh.client = false;
    fresh.credential = credential->dwUpper;
    fresh.requested = contextReq;
    return RunStep("AcceptSecurityContext", fresh, true, nullptr, newContext, token, output, contextAttr);
  }
  Context* existing = FindContext(context);
  if (existing == nullptr || existing->client) return SEC_E_INVALID_HANDLE;
  Context working = *existing;
  working.requested = contextReq;
  return RunStep("AcceptSecurityContext", working, false, context, newContext, token, output, contextAttr);
}

SECURITY_STATUS SEC_ENTRY CompleteAuthToken(PCtxtHandle context, PSecBufferDesc token) {
  WorldGuard guard(WorldMutex());
  Call call{"CompleteAuthToken", {{"context", HandleText(context)}, {"buffers", token ? std::to_string(token->cBuffers) : "null"}}};
  if (auto fault = Enter(std::move(call))) return static_cast<SECURITY_STATUS>(*fault);
  // GSSAPI's exchanges never ask for a token to be completed.
  if (InSystemWorld()) return gss::FindContext(context) == nullptr ? SEC_E_INVALID_HANDLE : SEC_E_OUT_OF_SEQUENCE;
  Context* found = FindContext(context);
  if (found == nullptr) return SEC_E_INVALID_HANDLE;
  if (!found->completePending) return SEC_E_OUT_OF_SEQUENCE;
  found->completePending = false;
  // SEC_I_COMPLETE_NEEDED finishes the context; SEC_I_COMPLETE_AND_CONTINUE still needs a leg.
  found->established = !found->continueAfterComplete;
  found->continueAfterComplete = false;
  return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY QueryContextAttributesW(PCtxtHandle context, ULONG attribute, void* buffer) {
  WorldGuard guard(WorldMutex());
  Call call{"QueryContextAttributesW", {{"context", HandleText(context)}, {"attribute", std::to_string(attribute)}}};
  if (auto fault = Enter(std::move(call))) return static_cast<SECURITY_STATUS>(*fault);
  if (InSystemWorld()) return gss::QueryAttribute(context, attribute, buffer);
  Context* found = FindContext(context);
  if (found == nullptr) return SEC_E_INVALID_HANDLE;
  if (buffer == nullptr) return SEC_E_INVALID_TOKEN;
  const Package* package = FindPackage(found->package);
  if (package == nullptr) return SEC_E_INVALID_HANDLE;
  return QueryAttribute(*found, *package, attribute, buffer);
}

SECURITY_STATUS SEC_ENTRY RevertSecurityContext(PCtxtHandle context) {
  WorldGuard guard(WorldMutex());
  if (auto fault = Enter(Call{"RevertSecurityContext", {{"context", HandleText(context)}}}))
    return static_cast<SECURITY_STATUS>(*fault);
  if (InSystemWorld()) {
    if (gss::FindContext(context) == nullptr) return SEC_E_INVALID_HANDLE;
    return RevertThreadToken() ? SEC_E_OK : SEC_E_INTERNAL_ERROR;
  }
  if (FindContext(context) == nullptr) return SEC_E_INVALID_HANDLE;
  // As on Windows, the calling thread stops impersonating, however it started.
  return RevertThreadToken() ? SEC_E_OK : SEC_E_INTERNAL_ERROR;
}

SECURITY_STATUS SEC_ENTRY DeleteSecurityContext(PCtxtHandle context) {
  WorldGuard guard(WorldMutex());
  if (auto fault = Enter(Call{"DeleteSecurityContext", {{"context", HandleText(context)}}}))
    return static_cast<SECURITY_STATUS>(*fault);
  if (InSystemWorld()) return gss::DeleteContext(context);
  if (FindContext(context) == nullptr) return SEC_E_INVALID_HANDLE;
  Sspi().contexts.erase(context->dwUpper);
  AddLive("context", -1);
  return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY FreeContextBuffer(void* buffer) {
  WorldGuard guard(WorldMutex());
  if (auto fault = Enter(Call{"FreeContextBuffer", {{"buffer", buffer ? "set" : "null"}}}))
    return static_cast<SECURITY_STATUS>(*fault);
  if (buffer == nullptr) return SEC_E_OK;
  return FreeBlock(buffer, "buffer") ? SEC_E_OK : SEC_E_INVALID_HANDLE;
}

}  // extern "C"
