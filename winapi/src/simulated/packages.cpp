// The simulated security packages: their credentials, the context steps with their scripted
// answers, the queries and the release.
#include <ctime>

#include "common/world.h"
#include "simulated/exchange.h"
#include "simulated/sspi.h"

namespace winhost {
namespace simulated {
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
  if (working.established) working.establishedAt = static_cast<long long>(std::time(nullptr));
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

void Renumber(CtxtHandle* handle, ULONG_PTR oldId) {
  auto node = Sspi().contexts.extract(oldId);
  ULONG_PTR id = NewId();
  node.key() = id;
  Sspi().contexts.insert(std::move(node));
  handle->dwLower = kContextTag;
  handle->dwUpper = id;
}

}  // namespace simulated

using namespace simulated;

std::string world::CredentialPackage(const CredHandle* credential) {
  const Credential* found = FindCredential(credential);
  return found ? found->package : "?";
}

std::string world::CredentialUse(const CredHandle* credential) {
  const Credential* found = FindCredential(credential);
  return found ? std::to_string(found->use) : "?";
}

SECURITY_STATUS world::AcquireCredentials(WorldLock&, LPWSTR package, ULONG use, PCredHandle credential,
                                          PTimeStamp expiry) {
  const std::string name = Narrow(package);
  if (FindPackage(name) == nullptr) return SEC_E_SECPKG_NOT_FOUND;
  if (use != SECPKG_CRED_INBOUND && use != SECPKG_CRED_OUTBOUND) return SEC_E_UNKNOWN_CREDENTIALS;
  ULONG_PTR id = NewId();
  Sspi().credentials[id] = Credential{name, use};
  AddLive("credential", 1);
  credential->dwLower = kCredentialTag;
  credential->dwUpper = id;
  if (expiry != nullptr) expiry->QuadPart = 0x7FFFFFFFFFFFFFFFLL;  // never expires
  return SEC_E_OK;
}

SECURITY_STATUS world::AcquirePasswordCredentials(WorldLock&, LPWSTR package, const SEC_WINNT_AUTH_IDENTITY_W&,
                                                  PCredHandle, PTimeStamp) {
  if (FindPackage(Narrow(package)) == nullptr) return SEC_E_SECPKG_NOT_FOUND;
  // The simulated directory keeps no passwords: every one is wrong, as a domain answers a wrong one.
  return SEC_E_LOGON_DENIED;
}

SECURITY_STATUS world::CredentialAttribute(WorldLock&, PCredHandle credential, ULONG attribute, void* buffer) {
  Credential* found = FindCredential(credential);
  if (found == nullptr) return SEC_E_INVALID_HANDLE;
  if (attribute != SECPKG_CRED_ATTR_NAMES) return SEC_E_UNSUPPORTED_FUNCTION;
  if (buffer == nullptr) return SEC_E_INVALID_TOKEN;
  const Package* package = FindPackage(found->package);
  std::string user = package && !package->credentialUser.empty() ? package->credentialUser : simulated::ProcessUserQualifiedName();
  static_cast<SecPkgCredentials_NamesW*>(buffer)->sUserName = AllocWide(WideOf(user), "buffer");
  return SEC_E_OK;
}

SECURITY_STATUS world::FreeCredentials(PCredHandle credential) {
  if (FindCredential(credential) == nullptr) return SEC_E_INVALID_HANDLE;
  Sspi().credentials.erase(credential->dwUpper);
  AddLive("credential", -1);
  return SEC_E_OK;
}

SECURITY_STATUS world::InitializeContext(WorldLock&, PCredHandle credential, PCtxtHandle context, SEC_WCHAR* target,
                                         ULONG requested, PSecBufferDesc input, PCtxtHandle newContext,
                                         PSecBufferDesc output, PULONG attributes, PTimeStamp expiry) {
  Credential* found = FindCredential(credential);
  if (found == nullptr || newContext == nullptr) return SEC_E_INVALID_HANDLE;
  if (found->use != SECPKG_CRED_OUTBOUND) return SEC_E_NO_CREDENTIALS;
  if (expiry != nullptr) expiry->QuadPart = 0x7FFFFFFFFFFFFFFFLL;
  const auto token = ReadToken(input);
  std::string bindings;
  if (SECURITY_STATUS read = BindingsDigest(input, bindings); read != SEC_E_OK) return read;

  if (context == nullptr) {
    Context fresh;
    fresh.bindings = bindings;
    fresh.package = found->package;
    fresh.client = true;
    fresh.credential = credential->dwUpper;
    fresh.target = target ? Narrow(target) : "";
    fresh.requested = requested;
    return RunStep("InitializeSecurityContextW", fresh, true, nullptr, newContext, token, output, attributes);
  }
  Context* existing = FindContext(context);
  if (existing == nullptr || !existing->client) return SEC_E_INVALID_HANDLE;
  Context working = *existing;
  working.requested = requested;
  working.bindings = bindings;
  return RunStep("InitializeSecurityContextW", working, false, context, newContext, token, output, attributes);
}

SECURITY_STATUS world::AcceptContext(WorldLock&, PCredHandle credential, PCtxtHandle context,
                                     PSecBufferDesc input, ULONG requested, PCtxtHandle newContext, PSecBufferDesc output,
                                     PULONG attributes, PTimeStamp expiry) {
  Credential* found = FindCredential(credential);
  if (found == nullptr || newContext == nullptr) return SEC_E_INVALID_HANDLE;
  if (found->use != SECPKG_CRED_INBOUND) return SEC_E_NO_CREDENTIALS;
  if (expiry != nullptr) expiry->QuadPart = 0x7FFFFFFFFFFFFFFFLL;
  const auto token = ReadToken(input);
  std::string bindings;
  if (SECURITY_STATUS read = BindingsDigest(input, bindings); read != SEC_E_OK) return read;

  if (context == nullptr) {
    Context fresh;
    fresh.bindings = bindings;
    fresh.package = found->package;
    fresh.client = false;
    fresh.credential = credential->dwUpper;
    fresh.requested = requested;
    return RunStep("AcceptSecurityContext", fresh, true, nullptr, newContext, token, output, attributes);
  }
  Context* existing = FindContext(context);
  if (existing == nullptr || existing->client) return SEC_E_INVALID_HANDLE;
  Context working = *existing;
  working.requested = requested;
  working.bindings = bindings;
  return RunStep("AcceptSecurityContext", working, false, context, newContext, token, output, attributes);
}

SECURITY_STATUS world::CompleteToken(PCtxtHandle context, PSecBufferDesc) {
  Context* found = FindContext(context);
  if (found == nullptr) return SEC_E_INVALID_HANDLE;
  if (!found->completePending) return SEC_E_OUT_OF_SEQUENCE;
  found->completePending = false;
  // SEC_I_COMPLETE_NEEDED finishes the context; SEC_I_COMPLETE_AND_CONTINUE still needs a leg.
  found->established = !found->continueAfterComplete;
  found->continueAfterComplete = false;
  return SEC_E_OK;
}

SECURITY_STATUS world::ContextAttribute(PCtxtHandle context, ULONG attribute, void* buffer) {
  Context* found = FindContext(context);
  if (found == nullptr) return SEC_E_INVALID_HANDLE;
  if (buffer == nullptr) return SEC_E_INVALID_TOKEN;
  const Package* package = FindPackage(found->package);
  if (package == nullptr) return SEC_E_INVALID_HANDLE;
  return QueryAttribute(*found, *package, attribute, buffer);
}

SECURITY_STATUS world::RevertContext(PCtxtHandle context) {
  if (FindContext(context) == nullptr) return SEC_E_INVALID_HANDLE;
  // As on Windows, the calling thread stops impersonating, however it started.
  return RevertThread() ? SEC_E_OK : SEC_E_INTERNAL_ERROR;
}

SECURITY_STATUS world::DeleteContext(WorldLock&, PCtxtHandle context) {
  if (FindContext(context) == nullptr) return SEC_E_INVALID_HANDLE;
  Sspi().contexts.erase(context->dwUpper);
  AddLive("context", -1);
  return SEC_E_OK;
}

// ---- control -------------------------------------------------------------------------------

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

void SetContextLifetime(const std::string& package, long long seconds) {
  WorldGuard guard(WorldMutex());
  Sspi().packages.at(package).lifetime = seconds;
}

void SetPackageComment(const std::string& package, std::optional<std::string> comment) {
  WorldGuard guard(WorldMutex());
  Sspi().packages.at(package).comment = std::move(comment);
}

// No context of this world is a GSSAPI one.
void* GssContextOf(uintptr_t, uintptr_t) { return nullptr; }

}  // namespace winhost
