// SSPI.CreateContext: a new record with credentials of the process identity and, for a client,
// the first token for the server.
#include <limits>
#include <memory>

#include "sspi/create_context.h"

#include "bridge/entry.h"
#include "sspi/context_table.h"
#include "sspi/token_step.h"

namespace {

const WideString kDefaultPackage = u"Negotiate";
const WideString kKerberosPackage = u"Kerberos";

// How far a creation got, so that a failure undoes exactly what was done.
enum class Acquired { HandleBlocks, Credentials, SecurityContext };

// Removes the new record, which is still the last one, after releasing what it holds.
void AbandonNewRecord(Acquired acquired) {
  SecurityContextRecord& record = SecurityContextTable.back();
  if (acquired == Acquired::SecurityContext) {
    ReleaseContextResources(record);
  } else {
    if (acquired == Acquired::Credentials) FreeCredentialsHandle(record.credential);
    delete record.credential;
    delete record.context;
  }
  SecurityContextTable.pop_back();
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

}  // namespace

jint CreateSecurityContext(JNIEnv* env, jboolean client, jint flags, jstring package, jstring target,
                           std::vector<uint8_t> channelBindings) {
  WideString packageName = JavaStringToWide(env, package);
  const WideString targetArgument = JavaStringToWide(env, target);

  LockGuard lock(LibraryLock);
  if (LastContextHandle == std::numeric_limits<jint>::max()) {
    ThrowWinAuthException(env, messages::kHandleLimitReached);
    return 0;
  }
  SecurityContextTable.emplace_back();
  Acquired acquired = Acquired::HandleBlocks;
  try {
    {
      auto credentialBlock = std::make_unique<CredHandle>();
      auto contextBlock = std::make_unique<CtxtHandle>();
      SecurityContextRecord& record = SecurityContextTable.back();
      record.credential = credentialBlock.release();
      record.context = contextBlock.release();
      *record.credential = CredHandle{0, 0};
      *record.context = CtxtHandle{0, 0};
      record.requestedAttributes = static_cast<ULONG>(flags);
      IssueContextHandle(record.handle);
      record.isClient = client != JNI_FALSE;
      record.channelBindings = std::move(channelBindings);
    }
    SecurityContextRecord& record = SecurityContextTable.back();

    if (packageName.empty()) packageName = kDefaultPackage;
    record.isKerberos = packageName == kKerberosPackage;

    TimeStamp expiry;
    expiry.QuadPart = 0;
    SECURITY_STATUS status = AcquireCredentialsHandleW(
        nullptr,                                                       // principal: the process identity
        AsWide(packageName),                                           // package
        record.isClient ? SECPKG_CRED_OUTBOUND : SECPKG_CRED_INBOUND,  // credential use
        nullptr,                                                       // logon identifier
        nullptr,                                                       // authentication data
        nullptr,                                                       // get-key function
        nullptr,                                                       // get-key argument
        record.credential,                                             // new credentials
        &expiry);                                                      // expiry, not read
    if (status != SEC_E_OK) {
      ThrowPlatformError(env, static_cast<uint32_t>(status));
      AbandonNewRecord(acquired);
      return 0;
    }
    acquired = Acquired::Credentials;

    if (!record.isClient) {
      record.state = kStateInitial;
      return record.handle;
    }

    if (!targetArgument.empty()) {
      record.targetName = targetArgument;
    } else if (record.isKerberos) {
      status = CredentialTargetName(record.credential, record.targetName);
      if (status != SEC_E_OK) {
        ThrowPlatformError(env, static_cast<uint32_t>(status));
        AbandonNewRecord(acquired);
        return 0;
      }
    }

    StepOutcome step = RunInitializeStep(record, nullptr);
    if (step.status == SEC_E_OK) {
      acquired = Acquired::SecurityContext;
      if (!QueryContextSizes(record, env)) {
        AbandonNewRecord(acquired);
        return 0;
      }
      record.state = kStateSuccess;
    } else if (step.status == SEC_I_CONTINUE_NEEDED) {
      acquired = Acquired::SecurityContext;
      record.state = kStateNegotiating;
    } else {
      // A step that failed after the package made a context (a failed CompleteAuthToken) must
      // not leave that context behind.
      if (HasSecurityContext(record)) acquired = Acquired::SecurityContext;
      ThrowPlatformError(env, static_cast<uint32_t>(step.status));
      AbandonNewRecord(acquired);
      return 0;
    }
    record.outputToken = std::move(step.token);
    return record.handle;
  } catch (...) {
    // A native failure may come after the package made its context (copying the first token, say),
    // before this function could note it: the record itself tells.
    if (acquired == Acquired::Credentials && HasSecurityContext(SecurityContextTable.back()))
      acquired = Acquired::SecurityContext;
    AbandonNewRecord(acquired);
    throw;
  }
}

extern "C" JNIEXPORT jint JNICALL Java_com_tarvex_pelk_quentrel_SSPI_CreateContext(JNIEnv* env, jclass, jboolean client,
                                                                                 jint flags, jstring package,
                                                                                 jstring target) {
  return GuardedEntry(env, jint{0}, [&] { return CreateSecurityContext(env, client, flags, package, target, {}); });
}
