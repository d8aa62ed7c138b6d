// SSPI entry points of the stand-in host: credentials, the context steps, queries and release.
#include "common/blocks.h"
#include "common/journal.h"
#include "common/sspi.h"
#include "common/text.h"
#include "common/world.h"

using namespace winhost;
using namespace winhost::common;

namespace {

SECURITY_STATUS Status(uint32_t fault) { return static_cast<SECURITY_STATUS>(fault); }

}  // namespace

extern "C" {

SECURITY_STATUS SEC_ENTRY AcquireCredentialsHandleW(LPWSTR principal, LPWSTR package, ULONG credentialUse,
                                                    void* logonId, void* authData, SEC_GET_KEY_FN getKeyFn,
                                                    void* getKeyArgument, PCredHandle credential,
                                                    PTimeStamp expiry) {
  WorldLock lock(WorldMutex());
  Call call{"AcquireCredentialsHandleW",
            {{"principal", principal ? Narrow(principal) : "null"},
             {"package", package ? Narrow(package) : "null"},
             {"use", std::to_string(credentialUse)},
             {"logonId", logonId ? "set" : "null"},
             {"authData", authData ? "set" : "null"},
             {"getKeyFn", getKeyFn ? "set" : "null"},
             {"getKeyArgument", getKeyArgument ? "set" : "null"}}};
  if (auto fault = Enter(std::move(call))) return Status(*fault);
  if (credential == nullptr) return SEC_E_INVALID_HANDLE;
  if (package == nullptr) return SEC_E_SECPKG_NOT_FOUND;
  if (authData != nullptr) {
    // A password makes a client's credential; a server's keys are its own, never a user's.
    if (credentialUse != SECPKG_CRED_OUTBOUND) return SEC_E_UNSUPPORTED_FUNCTION;
    return world::AcquirePasswordCredentials(lock, package, *static_cast<const SEC_WINNT_AUTH_IDENTITY_W*>(authData),
                                             credential, expiry);
  }
  return world::AcquireCredentials(lock, package, credentialUse, credential, expiry);
}

SECURITY_STATUS SEC_ENTRY QueryCredentialsAttributesW(PCredHandle credential, ULONG attribute, void* buffer) {
  WorldLock lock(WorldMutex());
  Call call{"QueryCredentialsAttributesW", {{"credential", HandleText(credential)}, {"attribute", std::to_string(attribute)}}};
  if (auto fault = Enter(std::move(call))) return Status(*fault);
  return world::CredentialAttribute(lock, credential, attribute, buffer);
}

SECURITY_STATUS SEC_ENTRY FreeCredentialsHandle(PCredHandle credential) {
  WorldGuard guard(WorldMutex());
  if (auto fault = Enter(Call{"FreeCredentialsHandle", {{"credential", HandleText(credential)}}})) return Status(*fault);
  return world::FreeCredentials(credential);
}

SECURITY_STATUS SEC_ENTRY InitializeSecurityContextW(PCredHandle credential, PCtxtHandle context,
                                                     SEC_WCHAR* targetName, ULONG contextReq, ULONG reserved1,
                                                     ULONG targetDataRep, PSecBufferDesc input, ULONG reserved2,
                                                     PCtxtHandle newContext, PSecBufferDesc output,
                                                     PULONG contextAttr, PTimeStamp expiry) {
  WorldLock lock(WorldMutex());
  auto token = ReadToken(input);
  Call call{"InitializeSecurityContextW",
            {{"package", world::CredentialPackage(credential)},
             {"use", world::CredentialUse(credential)},
             {"context", HandleText(context)},
             {"new", HandleText(newContext)},
             {"target", targetName ? Narrow(targetName) : "null"},
             {"flags", FlagsText(contextReq)},
             {"drep", FlagsText(targetDataRep)},
             {"input", token ? std::to_string(token->size()) : "null"}}};
  if (auto fault = Enter(std::move(call))) return Status(*fault);
  if (reserved1 != 0 || reserved2 != 0) return SEC_E_INVALID_HANDLE;
  return world::InitializeContext(lock, credential, context, targetName, contextReq, input, newContext, output,
                                  contextAttr, expiry);
}

SECURITY_STATUS SEC_ENTRY AcceptSecurityContext(PCredHandle credential, PCtxtHandle context, PSecBufferDesc input,
                                                ULONG contextReq, ULONG targetDataRep, PCtxtHandle newContext,
                                                PSecBufferDesc output, PULONG contextAttr, PTimeStamp expiry) {
  WorldLock lock(WorldMutex());
  auto token = ReadToken(input);
  Call call{"AcceptSecurityContext",
            {{"package", world::CredentialPackage(credential)},
             {"use", world::CredentialUse(credential)},
             {"context", HandleText(context)},
             {"new", HandleText(newContext)},
             {"flags", FlagsText(contextReq)},
             {"drep", FlagsText(targetDataRep)},
             {"input", token ? std::to_string(token->size()) : "null"}}};
  if (auto fault = Enter(std::move(call))) return Status(*fault);
  return world::AcceptContext(lock, credential, context, input, contextReq, newContext, output, contextAttr, expiry);
}

SECURITY_STATUS SEC_ENTRY CompleteAuthToken(PCtxtHandle context, PSecBufferDesc token) {
  WorldGuard guard(WorldMutex());
  Call call{"CompleteAuthToken", {{"context", HandleText(context)}, {"buffers", token ? std::to_string(token->cBuffers) : "null"}}};
  if (auto fault = Enter(std::move(call))) return Status(*fault);
  return world::CompleteToken(context, token);
}

SECURITY_STATUS SEC_ENTRY QueryContextAttributesW(PCtxtHandle context, ULONG attribute, void* buffer) {
  WorldGuard guard(WorldMutex());
  Call call{"QueryContextAttributesW", {{"context", HandleText(context)}, {"attribute", std::to_string(attribute)}}};
  if (auto fault = Enter(std::move(call))) return Status(*fault);
  return world::ContextAttribute(context, attribute, buffer);
}

SECURITY_STATUS SEC_ENTRY RevertSecurityContext(PCtxtHandle context) {
  WorldGuard guard(WorldMutex());
  if (auto fault = Enter(Call{"RevertSecurityContext", {{"context", HandleText(context)}}})) return Status(*fault);
  return world::RevertContext(context);
}

SECURITY_STATUS SEC_ENTRY DeleteSecurityContext(PCtxtHandle context) {
  WorldLock lock(WorldMutex());
  if (auto fault = Enter(Call{"DeleteSecurityContext", {{"context", HandleText(context)}}})) return Status(*fault);
  return world::DeleteContext(lock, context);
}

SECURITY_STATUS SEC_ENTRY FreeContextBuffer(void* buffer) {
  WorldGuard guard(WorldMutex());
  if (auto fault = Enter(Call{"FreeContextBuffer", {{"buffer", buffer ? "set" : "null"}}})) return Status(*fault);
  if (buffer == nullptr) return SEC_E_OK;
  return FreeBlock(buffer, "buffer") ? SEC_E_OK : SEC_E_INVALID_HANDLE;
}

SECURITY_STATUS SEC_ENTRY EncryptMessage(PCtxtHandle context, ULONG qop, PSecBufferDesc message, ULONG seqNo) {
  WorldLock lock(WorldMutex());
  Call call{"EncryptMessage",
            {{"context", HandleText(context)},
             {"qop", FlagsText(qop)},
             {"sequence", std::to_string(seqNo)},
             {"buffers", BuffersText(message)}}};
  if (auto fault = Enter(std::move(call))) return Status(*fault);
  return world::Encrypt(lock, context, qop, message);
}

SECURITY_STATUS SEC_ENTRY DecryptMessage(PCtxtHandle context, PSecBufferDesc message, ULONG seqNo, PULONG qop) {
  WorldLock lock(WorldMutex());
  Call call{"DecryptMessage",
            {{"context", HandleText(context)},
             {"sequence", std::to_string(seqNo)},
             {"buffers", BuffersText(message)},
             {"qop", qop ? "set" : "null"}}};
  if (auto fault = Enter(std::move(call))) return Status(*fault);
  return world::Decrypt(lock, context, message, qop);
}

}  // extern "C"
