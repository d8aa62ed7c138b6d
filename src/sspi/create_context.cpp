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

// The record a creation builds, and everything it holds until the creation commits. It is on the
// table from the start, with its handle issued and its own lock held, so that the handle is taken in
// order and a call that names it meanwhile waits for the outcome; a creation that does not commit
// releases what the record holds, marks it released and takes it off the table again, on every
// path, a native exception's included. The handle issued stays used.
class NewContextRecord {
 public:
  NewContextRecord() = default;
  ~NewContextRecord() {
    if (record_ && !committed_) Abandon();
  }
  NewContextRecord(const NewContextRecord&) = delete;
  NewContextRecord& operator=(const NewContextRecord&) = delete;

  // Makes the record with its two handle blocks and puts it on the table under the next handle.
  // False, with nothing made, when every handle has been used.
  bool Open(bool client, ULONG requested) {
    auto credential = std::make_unique<CredHandle>(CredHandle{0, 0});
    auto context = std::make_unique<CtxtHandle>(CtxtHandle{0, 0});
    auto record = std::make_shared<SecurityContextRecord>();
    record->isClient = client;
    record->requestedAttributes = requested;
    LockGuard lock(LibraryLock);
    if (!IssueContextHandle(record->handle)) return false;
    SecurityContextTable.push_back(record);
    // Nobody else has it yet, so this cannot wait, and from here on a lookup waits for us.
    record->lock.lock();
    record->credential = credential.release();
    record->context = context.release();
    record_ = std::move(record);
    return true;
  }

  SecurityContextRecord& operator*() const { return *record_; }
  SecurityContextRecord* operator->() const { return record_.get(); }

  // The package has given the record a credential, which must now be freed if the creation fails.
  void CredentialAcquired() { credentialHeld_ = true; }

  // The record is complete: it stays, and other calls may have it.
  jint Commit() {
    committed_ = true;
    const jint handle = record_->handle;
    record_->lock.unlock();
    record_.reset();
    return handle;
  }

 private:
  void Abandon() noexcept {
    SecurityContextRecord& record = *record_;
    // A context made before the failure (a failed completion, a token that could not be copied)
    // goes with the record; without one only the credential and the blocks are held.
    if (HasSecurityContext(record)) {
      ReleaseContextResources(record);
    } else {
      if (credentialHeld_) FreeCredentialsHandle(record.credential);
      delete record.credential;
      delete record.context;
      record.credential = nullptr;
      record.context = nullptr;
    }
    record.released = true;
    record.lock.unlock();
    LockGuard lock(LibraryLock);
    // Gone already when another thread freed the handle meanwhile; it then released nothing.
    SecurityContextTable.Take(record.handle);
  }

  std::shared_ptr<SecurityContextRecord> record_;
  bool credentialHeld_ = false;
  bool committed_ = false;
};

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

  NewContextRecord record;
  if (!record.Open(client != JNI_FALSE, static_cast<ULONG>(flags))) {
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
  record.CredentialAcquired();
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
