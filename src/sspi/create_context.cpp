// SSPI.CreateContext: a new record with credentials of the process identity and, for a client,
// the first token for the server.
#include <memory>

#include "sspi/create_context.h"

#include "bridge/entry.h"
#include "sspi/context_table.h"
#include "sspi/token_step.h"

namespace {

const WideString kDefaultPackage = u"Negotiate";
const WideString kKerberosPackage = u"Kerberos";

// Lets go of what a creation that did not commit left in its record. A context made before the
// failure (a failed completion, a token that could not be copied) goes with the record; without
// one only the credential, when the package gave one, and the handle blocks are held.
void AbandonContext(SecurityContextRecord& record, bool credentialHeld) noexcept {
  if (HasSecurityContext(record)) {
    ReleaseContextResources(record);
    return;
  }
  if (credentialHeld) FreeCredentialsHandle(record.credential);
  delete record.credential;
  delete record.context;
  record.credential = nullptr;
  record.context = nullptr;
}

// Puts a new record with its two handle blocks on the table under the next handle. False, with
// nothing made, when every handle has been used.
bool OpenContext(NewRecord<SecurityContextRecord>& record, bool client, ULONG requested) {
  auto credential = std::make_unique<CredHandle>(CredHandle{0, 0});
  auto context = std::make_unique<CtxtHandle>(CtxtHandle{0, 0});
  auto made = std::make_shared<SecurityContextRecord>();
  made->isClient = client;
  made->requestedAttributes = requested;
  if (!record.Open(std::move(made))) return false;
  record->credential = credential.release();
  record->context = context.release();
  return true;
}

struct ContextBufferRelease {
  void operator()(SEC_WCHAR* buffer) const { FreeContextBuffer(buffer); }
};

// The credential's own user name less one trailing '@', so that a Kerberos client without a
// target addresses its own account. False with the status when the package cannot name it.
SECURITY_STATUS CredentialTargetName(CredHandle* credential, WideString& target) {
  SecPkgCredentials_NamesW names;
  names.sUserName = nullptr;
  SECURITY_STATUS status = QueryCredentialsAttributesW(credential, SECPKG_CRED_ATTR_NAMES, &names);
  if (status != SEC_E_OK) return status;
  std::unique_ptr<SEC_WCHAR, ContextBufferRelease> owned(names.sUserName);
  target = FromWide(names.sUserName);
  if (!target.empty() && target.back() == u'@') target.pop_back();
  return SEC_E_OK;
}

// The client's first step: its token for the server, and the sizes when that one step already
// established the context. False with the error pending when the step fails.
bool RunFirstClientStep(JNIEnv* env, SecurityContextRecord& record) {
  StepOutcome step = RunInitializeStep(record, nullptr);
  if (step.status == SEC_E_OK) {
    if (!QueryContextSizes(record, env)) return false;
    record.state = kStateSuccess;
  } else if (step.status == SEC_I_CONTINUE_NEEDED) {
    record.state = kStateNegotiating;
  } else {
    ThrowPlatformError(env, static_cast<uint32_t>(step.status));
    return false;
  }
  record.outputToken = std::move(step.token);
  return true;
}

}  // namespace

jint CreateSecurityContext(JNIEnv* env, jboolean client, jint flags, jstring package, jstring target,
                           std::vector<uint8_t> channelBindings, SEC_WINNT_AUTH_IDENTITY_W* identity) {
  WideString packageName = JavaStringToWide(env, package);
  const WideString targetArgument = JavaStringToWide(env, target);
  if (packageName.empty()) packageName = kDefaultPackage;

  // Set once the package has given the record a credential, which a failed creation must then free.
  bool credentialHeld = false;
  NewRecord<SecurityContextRecord> record(LibraryLock, SecurityContextTable, LastContextHandle,
                                          [&credentialHeld](SecurityContextRecord& abandoned) {
                                            AbandonContext(abandoned, credentialHeld);
                                          });
  if (!OpenContext(record, client != JNI_FALSE, static_cast<ULONG>(flags))) {
    ThrowWinAuthException(env, messages::kHandleLimitReached);
    return 0;
  }
  record->isKerberos = packageName == kKerberosPackage;
  record->channelBindings = std::move(channelBindings);

  TimeStamp expiry;
  expiry.QuadPart = 0;
  SECURITY_STATUS status = AcquireCredentialsHandleW(
      nullptr,                                                        // principal: the process identity
      AsWide(packageName),                                            // package
      record->isClient ? SECPKG_CRED_OUTBOUND : SECPKG_CRED_INBOUND,  // credential use
      nullptr,                                                        // logon identifier
      identity,                                                       // a user and password, or none
      nullptr,                                                        // get-key function
      nullptr,                                                        // get-key argument
      record->credential,                                             // new credentials
      &expiry);                                                       // expiry, not read
  if (status != SEC_E_OK) {
    ThrowPlatformError(env, static_cast<uint32_t>(status));
    return 0;
  }
  credentialHeld = true;
  if (!record->isClient) return record.Commit();

  if (!targetArgument.empty()) {
    record->targetName = targetArgument;
  } else if (record->isKerberos) {
    status = CredentialTargetName(record->credential, record->targetName);
    if (status != SEC_E_OK) {
      ThrowPlatformError(env, static_cast<uint32_t>(status));
      return 0;
    }
  }
  if (!RunFirstClientStep(env, *record)) return 0;
  return record.Commit();
}

extern "C" JNIEXPORT jint JNICALL Java_com_tarvex_pelk_quentrel_SSPI_CreateContext(JNIEnv* env, jclass, jboolean client,
                                                                                 jint flags, jstring package,
                                                                                 jstring target) {
  return GuardedEntry(env, jint{0}, [&] { return CreateSecurityContext(env, client, flags, package, target, {}); });
}
