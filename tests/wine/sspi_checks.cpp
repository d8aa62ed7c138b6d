// SSPI over the platform's own security packages: what creation gives for a package that exists,
// one that doesn't, and every refusal that needs no established context.
#define SECURITY_WIN32
#include <windows.h>
#include <security.h>
#include <sspi.h>

#include "wine/suite.h"
#include "wine/sspi_platform.h"

namespace {

// What the platform itself answers when this program does what CreateContext does: acquire the
// process's credentials for the package and, for a client, make the first token with no target.
struct PlatformCreation {
  SECURITY_STATUS status;
  std::vector<uint8_t> token;
};

PlatformCreation CreateOnPlatform(const std::u16string& package, bool client, ULONG flags) {
  CredHandle credential;
  TimeStamp expiry;
  std::u16string name = package;
  SECURITY_STATUS status = AcquireCredentialsHandleW(
      nullptr, reinterpret_cast<SEC_WCHAR*>(name.data()), client ? SECPKG_CRED_OUTBOUND : SECPKG_CRED_INBOUND,
      nullptr, nullptr, nullptr, nullptr, &credential, &expiry);
  if (status != SEC_E_OK || !client) {
    if (status == SEC_E_OK) FreeCredentialsHandle(&credential);
    return PlatformCreation{status, {}};
  }
  std::vector<uint8_t> storage(12288);
  SecBuffer buffer{static_cast<ULONG>(storage.size()), SECBUFFER_TOKEN, storage.data()};
  SecBufferDesc output{SECBUFFER_VERSION, 1, &buffer};
  CtxtHandle context{0, 0};
  ULONG attributes = 0;
  status = InitializeSecurityContextW(&credential, nullptr, nullptr, flags, 0, SECURITY_NATIVE_DREP, nullptr, 0,
                                      &context, &output, &attributes, &expiry);
  if (status == SEC_I_COMPLETE_NEEDED || status == SEC_I_COMPLETE_AND_CONTINUE) {
    status = CompleteAuthToken(&context, &output);
  }
  PlatformCreation result{status, {}};
  if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) {
    result.token.assign(storage.begin(), storage.begin() + buffer.cbBuffer);
  }
  if (context.dwLower != 0 || context.dwUpper != 0) DeleteSecurityContext(&context);
  FreeCredentialsHandle(&credential);
  return result;
}


// The first creation after load: a server context of the default package. It also proves that
// DllMain ran: the handle counter and the family lock are its work.
jint CheckFirstCreation(Context& c, CreateContextFn* create) {
  const PlatformCreation platform = CreateOnPlatform(u"Negotiate", false, 0);
  auto outcome = Invoke(c.jvm, "SSPI.CreateContext", create, JNI_FALSE, 0, nullptr, nullptr);
  if (platform.status == SEC_E_OK) {
    CheckEqual(outcome.thrown, std::string(), "a server context of the default package, as the platform acquires one");
    CheckEqual<long>(outcome.value, 2, "the first handle after load is 2");
    return outcome.value;
  }
  Note("the platform refuses inbound Negotiate credentials: " + Hex(static_cast<uint32_t>(platform.status)));
  CheckEqual(outcome.thrown, "WinAuthException: " + PlatformError(static_cast<uint32_t>(platform.status)),
             "a server context of the default package fails as the platform does");
  CheckEqual<long>(outcome.value, 0, "a failed creation returns 0");
  return 0;
}

void CheckPackages(Context& c, CreateContextFn* create, BytesFn* challenge, VoidFn* release) {
  const PlatformCreation missing = CreateOnPlatform(u"NoSuchPackage", false, 0);
  CheckEqual(missing.status, static_cast<SECURITY_STATUS>(SEC_E_SECPKG_NOT_FOUND),
             "the platform does not know the package NoSuchPackage");
  for (bool client : {false, true}) {
    jstring package = c.jvm.String(u"NoSuchPackage");
    auto outcome = Invoke(c.jvm, "SSPI.CreateContext", create, static_cast<jboolean>(client), 0, package, nullptr);
    c.jvm.Delete(package);
    CheckEqual(outcome.thrown, "WinAuthException: " + PlatformError(static_cast<uint32_t>(missing.status)),
               std::string(client ? "client" : "server") + " context of a package that does not exist");
    CheckEqual<long>(outcome.value, 0, "and no handle");
  }

  // A client of a package with no domain to talk to: whatever the platform gives this program.
  const ULONG flags = ISC_REQ_CONNECTION | ISC_REQ_CONFIDENTIALITY | ISC_REQ_INTEGRITY;
  for (const std::u16string& name : {std::u16string(u"Negotiate"), std::u16string(u"NTLM"), std::u16string(u"Kerberos")}) {
    const PlatformCreation platform = CreateOnPlatform(name, true, flags);
    jstring package = c.jvm.String(name);
    auto outcome = Invoke(c.jvm, "SSPI.CreateContext", create, JNI_TRUE, static_cast<jint>(flags), package, nullptr);
    c.jvm.Delete(package);
    const std::string what = "client context of " + Narrow(name) + " with no target";
    if (!Succeeded(platform.status)) {
      Note("the platform gives " + Hex(static_cast<uint32_t>(platform.status)) + " for " + what);
      CheckEqual(outcome.thrown, "WinAuthException: " + PlatformError(static_cast<uint32_t>(platform.status)),
                 what + " fails with the platform's status");
      CheckEqual<long>(outcome.value, 0, what + " gives no handle");
      continue;
    }
    if (!CheckEqual(outcome.thrown, std::string(), what + " is created, as the platform creates one")) continue;
    Check(outcome.value > 2, what + " gets a fresh handle", std::to_string(outcome.value));
    auto token = Invoke(c.jvm, "SSPI.GetChallengeToken", challenge, outcome.value);
    if (token.value != nullptr) {
      const std::vector<uint8_t> bytes = c.jvm.BytesOf(token.value);
      c.jvm.Delete(token.value);
      CheckEqual(bytes.size(), platform.token.size(), what + ": its first token is as long as the platform's");
    } else {
      Check(false, what + ": its first token", token.thrown);
    }
    InvokeVoid(c.jvm, "SSPI.FreeHandle", release, outcome.value);
  }
}

}  // namespace

// Refusals that need no established context: a handle that names nothing, a null token or
// message, and the checks of record type and state on a server context that has only been created.
void CheckRefusals(Context& c, jint server) {
  const Library& l = c.library;
  const jint unknown = 0x7fff0000;
  const std::string invalidHandle = "WinAuthException: Invalid handle";
  const std::string invalidState = "WinAuthException: Invalid state";
  const std::string wrongType = "WinAuthException: Wrong context type";
  const std::string nullToken = "WinAuthException: Token cannot be null";

  if (l.Has({"SSPI_GetChallengeToken", "SSPI_GetNegotiatedAttributes", "SSPI_GetMaxTokenSize"},
            "refusals of the token queries")) {
    CheckEqual(Invoke(c.jvm, "GetChallengeToken", l.Get<BytesFn>("SSPI_GetChallengeToken"), unknown).thrown,
               invalidHandle, "GetChallengeToken of an unknown handle");
    CheckEqual(Invoke(c.jvm, "GetNegotiatedAttributes", l.Get<HandleFn>("SSPI_GetNegotiatedAttributes"), unknown).thrown,
               invalidHandle, "GetNegotiatedAttributes of an unknown handle");
    CheckEqual(Invoke(c.jvm, "GetMaxTokenSize", l.Get<HandleFn>("SSPI_GetMaxTokenSize"), unknown).thrown,
               invalidHandle, "GetMaxTokenSize of an unknown handle");
    if (server != 0) {
      CheckEqual(Invoke(c.jvm, "GetNegotiatedAttributes", l.Get<HandleFn>("SSPI_GetNegotiatedAttributes"), server).thrown,
                 invalidState, "GetNegotiatedAttributes of a server context that has seen no token");
      CheckEqual(Invoke(c.jvm, "GetMaxTokenSize", l.Get<HandleFn>("SSPI_GetMaxTokenSize"), server).thrown,
                 invalidState, "GetMaxTokenSize of a server context that has seen no token");
      auto token = Invoke(c.jvm, "GetChallengeToken", l.Get<BytesFn>("SSPI_GetChallengeToken"), server);
      Check(token.value != nullptr && c.jvm.BytesOf(token.value).empty(), "a new server context has an empty token, not null",
            token.thrown);
      c.jvm.Delete(token.value);
    }
  }

  if (l.Has({"SSPI_Initialize", "SSPI_Accept"}, "refusals of the token exchange")) {
    auto* initialize = l.Get<TokenStepFn>("SSPI_Initialize");
    auto* accept = l.Get<TokenStepFn>("SSPI_Accept");
    jbyteArray token = c.jvm.Bytes({1, 2, 3});
    jbyteArray empty = c.jvm.Bytes({});
    CheckEqual(Invoke(c.jvm, "Initialize", initialize, unknown, jbyteArray{nullptr}).thrown, nullToken,
               "Initialize with a null token, before any lookup");
    CheckEqual(Invoke(c.jvm, "Accept", accept, unknown, jbyteArray{nullptr}).thrown, nullToken,
               "Accept with a null token, before any lookup");
    CheckEqual(Invoke(c.jvm, "Accept", accept, unknown, empty).thrown, nullToken, "Accept with an empty token");
    CheckEqual(Invoke(c.jvm, "Initialize", initialize, unknown, token).thrown, invalidHandle, "Initialize of an unknown handle");
    CheckEqual(Invoke(c.jvm, "Accept", accept, unknown, token).thrown, invalidHandle, "Accept of an unknown handle");
    if (server != 0) {
      CheckEqual(Invoke(c.jvm, "Initialize", initialize, server, token).thrown, wrongType, "Initialize of a server context");
    }
    c.jvm.Delete(token);
    c.jvm.Delete(empty);
  }

  if (l.Has({"SSPI_Wrap", "SSPI_Unwrap"}, "refusals of message protection")) {
    jbyteArray message = c.jvm.Bytes({'h', 'i'});
    for (const char* name : {"SSPI_Wrap", "SSPI_Unwrap"}) {
      auto* protect = l.Get<MessageFn>(name);
      CheckEqual(Invoke(c.jvm, name, protect, unknown, jbyteArray{nullptr}).thrown,
                 std::string("WinAuthException: Message cannot be null"), std::string(name + 5) + " with a null message");
      CheckEqual(Invoke(c.jvm, name, protect, unknown, message).thrown, invalidHandle, std::string(name + 5) + " of an unknown handle");
      if (server != 0) {
        CheckEqual(Invoke(c.jvm, name, protect, server, message).thrown, invalidState,
                   std::string(name + 5) + " before the context is established");
      }
    }
    c.jvm.Delete(message);
  }

  if (l.Has({"SSPI_GetClientUserName", "SSPI_StartImpersonating", "SSPI_StopImpersonating", "SSPI_IsGroupMember"},
            "refusals of client identity")) {
    auto* name = l.Get<TextFn>("SSPI_GetClientUserName");
    auto* start = l.Get<VoidFn>("SSPI_StartImpersonating");
    auto* stop = l.Get<VoidFn>("SSPI_StopImpersonating");
    auto* member = l.Get<GroupFn>("SSPI_IsGroupMember");
    jstring group = c.jvm.String(u"BUILTIN\\Users");
    CheckEqual(Invoke(c.jvm, "IsGroupMember", member, unknown, jstring{nullptr}).thrown,
               std::string("WinAuthException: Group name cannot be null"), "IsGroupMember with a null group, before any lookup");
    CheckEqual(Invoke(c.jvm, "IsGroupMember", member, unknown, group).thrown, invalidHandle, "IsGroupMember of an unknown handle");
    CheckEqual(Invoke(c.jvm, "GetClientUserName", name, unknown).thrown, invalidHandle, "GetClientUserName of an unknown handle");
    CheckEqual(InvokeVoid(c.jvm, "StartImpersonating", start, unknown).thrown, invalidHandle, "StartImpersonating of an unknown handle");
    CheckEqual(InvokeVoid(c.jvm, "StopImpersonating", stop, unknown).thrown, invalidHandle, "StopImpersonating of an unknown handle");
    if (server != 0) {
      CheckEqual(Invoke(c.jvm, "GetClientUserName", name, server).thrown, invalidState, "GetClientUserName before the context is established");
      CheckEqual(InvokeVoid(c.jvm, "StartImpersonating", start, server).thrown, invalidState, "StartImpersonating before the context is established");
      CheckEqual(Invoke(c.jvm, "IsGroupMember", member, server, group).thrown, invalidState, "IsGroupMember before the context is established");
    }
    c.jvm.Delete(group);
  }

  if (l.Has({"SSPI_GetContextInformation"}, "refusals of the context report")) {
    CheckEqual(Invoke(c.jvm, "GetContextInformation", l.Get<TextFn>("SSPI_GetContextInformation"), unknown).thrown,
               invalidHandle, "GetContextInformation of an unknown handle");
  }
}

namespace {

// A client context of the platform's own, made step by step as the library makes its record, and
// kept for the queries that the context report makes.
class PlatformClient {
 public:
  PlatformClient(const std::u16string& package, ULONG flags) : flags_(flags) {
    std::u16string name = package;
    TimeStamp expiry;
    status_ = AcquireCredentialsHandleW(nullptr, reinterpret_cast<SEC_WCHAR*>(name.data()), SECPKG_CRED_OUTBOUND,
                                        nullptr, nullptr, nullptr, nullptr, &credential_, &expiry);
    if (status_ != SEC_E_OK) return;
    haveCredential_ = true;
    Step(nullptr);
  }
  ~PlatformClient() {
    if (HasContext()) DeleteSecurityContext(&context_);
    if (haveCredential_) FreeCredentialsHandle(&credential_);
  }
  PlatformClient(const PlatformClient&) = delete;
  PlatformClient& operator=(const PlatformClient&) = delete;

  // One more step with the server's token, as SSPI.Initialize takes it.
  void Step(const std::vector<uint8_t>* input) {
    std::vector<uint8_t> storage(12288);
    SecBuffer out{static_cast<ULONG>(storage.size()), SECBUFFER_TOKEN, storage.data()};
    SecBufferDesc output{SECBUFFER_VERSION, 1, &out};
    std::vector<uint8_t> copy = input != nullptr ? *input : std::vector<uint8_t>();
    SecBuffer in{static_cast<ULONG>(copy.size()), SECBUFFER_TOKEN, copy.data()};
    SecBufferDesc inputDescriptor{SECBUFFER_VERSION, 1, &in};
    TimeStamp expiry;
    status_ = InitializeSecurityContextW(&credential_, HasContext() ? &context_ : nullptr, nullptr, flags_, 0,
                                         SECURITY_NATIVE_DREP, input != nullptr ? &inputDescriptor : nullptr, 0,
                                         &context_, &output, &attributes_, &expiry);
    if (status_ == SEC_I_COMPLETE_NEEDED || status_ == SEC_I_COMPLETE_AND_CONTINUE) status_ = CompleteAuthToken(&context_, &output);
    if (Succeeded(status_)) token_.assign(storage.begin(), storage.begin() + out.cbBuffer);
  }

  SECURITY_STATUS status() const { return status_; }
  const std::vector<uint8_t>& token() const { return token_; }

  std::u16string Report(const char16_t* state) { return PlatformReport(&context_, true, state, attributes_); }

 private:
  bool HasContext() const { return context_.dwLower != 0 || context_.dwUpper != 0; }
  ULONG flags_;
  SECURITY_STATUS status_ = SEC_E_INTERNAL_ERROR;
  CredHandle credential_{0, 0};
  bool haveCredential_ = false;
  CtxtHandle context_{0, 0};
  ULONG attributes_ = 0;
  std::vector<uint8_t> token_;
};

// A client record in its negotiating state, made over a package that works with no domain here
// (the TLS package only needs the platform's TLS library): the refusals that depend on the
// record's side and state, a failed step, and the report.
void CheckClientRecord(Context& c) {
  const Library& l = c.library;
  const std::u16string package = u"Schannel";
  const ULONG flags = ISC_REQ_CONFIDENTIALITY | ISC_REQ_CONNECTION;
  PlatformClient platform(package, flags);
  if (platform.status() != SEC_I_CONTINUE_NEEDED) {
    Skip("a client record in negotiation", "the platform's Schannel gives " + Hex(static_cast<uint32_t>(platform.status())));
    return;
  }
  jstring name = c.jvm.String(package);
  auto created = Invoke(c.jvm, "SSPI.CreateContext", l.Get<CreateContextFn>("SSPI_CreateContext"), JNI_TRUE,
                        static_cast<jint>(flags), name, jstring{nullptr});
  c.jvm.Delete(name);
  if (!CheckEqual(created.thrown, std::string(), "a Schannel client context, as the platform makes one")) return;
  const jint client = created.value;

  auto TokenLength = [&]() -> long {
    auto token = Invoke(c.jvm, "GetChallengeToken", l.Get<BytesFn>("SSPI_GetChallengeToken"), client);
    const long length = token.value == nullptr ? -1 : static_cast<long>(c.jvm.BytesOf(token.value).size());
    c.jvm.Delete(token.value);
    return length;
  };
  CheckEqual(TokenLength(), static_cast<long>(platform.token().size()), "its first token is as long as the platform's");
  jstring report = Invoke(c.jvm, "GetContextInformation", l.Get<TextFn>("SSPI_GetContextInformation"), client).value;
  CheckEqual(TakeText(c.jvm, report), std::optional<std::u16string>(platform.Report(u"negotiating")),
             "its report shows what the platform answers for each query");

  const std::string invalidState = "WinAuthException: Invalid state";
  const std::string wrongType = "WinAuthException: Wrong context type";
  // A TLS alert record (fatal, handshake failure) where the server's hello belongs.
  jbyteArray bytes = c.jvm.Bytes({0x15, 0x03, 0x03, 0x00, 0x02, 0x02, 0x28});
  jstring group = c.jvm.String(u"BUILTIN\\Users");
  CheckEqual(Invoke(c.jvm, "Accept", l.Get<TokenStepFn>("SSPI_Accept"), client, bytes).thrown, wrongType, "Accept on a client context");
  CheckEqual(Invoke(c.jvm, "GetNegotiatedAttributes", l.Get<HandleFn>("SSPI_GetNegotiatedAttributes"), client).thrown,
             invalidState, "GetNegotiatedAttributes while negotiating");
  CheckEqual(Invoke(c.jvm, "GetMaxTokenSize", l.Get<HandleFn>("SSPI_GetMaxTokenSize"), client).thrown, invalidState,
             "GetMaxTokenSize while negotiating");
  CheckEqual(Invoke(c.jvm, "Wrap", l.Get<MessageFn>("SSPI_Wrap"), client, bytes).thrown, invalidState, "Wrap while negotiating");
  CheckEqual(Invoke(c.jvm, "Unwrap", l.Get<MessageFn>("SSPI_Unwrap"), client, bytes).thrown, invalidState, "Unwrap while negotiating");
  CheckEqual(Invoke(c.jvm, "GetClientUserName", l.Get<TextFn>("SSPI_GetClientUserName"), client).thrown, wrongType,
             "GetClientUserName of a client context");
  CheckEqual(InvokeVoid(c.jvm, "StartImpersonating", l.Get<VoidFn>("SSPI_StartImpersonating"), client).thrown, wrongType,
             "StartImpersonating of a client context");
  CheckEqual(InvokeVoid(c.jvm, "StopImpersonating", l.Get<VoidFn>("SSPI_StopImpersonating"), client).thrown, wrongType,
             "StopImpersonating of a client context");
  CheckEqual(Invoke(c.jvm, "IsGroupMember", l.Get<GroupFn>("SSPI_IsGroupMember"), client, group).thrown, wrongType,
             "IsGroupMember of a client context");

  // A server answer that is no answer: the step fails as the platform's does, and the record is
  // then in error, its last token kept.
  const std::vector<uint8_t> garbage = c.jvm.BytesOf(bytes);
  platform.Step(&garbage);
  auto step = Invoke(c.jvm, "Initialize", l.Get<TokenStepFn>("SSPI_Initialize"), client, bytes);
  if (Succeeded(platform.status())) {
    Skip("a failed step", "the platform takes the bytes given as a server's answer: " + Hex(static_cast<uint32_t>(platform.status())));
  } else {
    CheckEqual(step.thrown, "WinAuthException: " + PlatformError(static_cast<uint32_t>(platform.status())),
               "a step with a token the package refuses fails with the platform's status");
    CheckEqual(Invoke(c.jvm, "Initialize", l.Get<TokenStepFn>("SSPI_Initialize"), client, bytes).thrown, invalidState,
               "after which every step is refused");
    CheckEqual(TokenLength(), static_cast<long>(platform.token().size()), "and the token made before the failure is still given");
    report = Invoke(c.jvm, "GetContextInformation", l.Get<TextFn>("SSPI_GetContextInformation"), client).value;
    CheckEqual(TakeText(c.jvm, report), std::optional<std::u16string>(platform.Report(u"error")), "the report says error");
  }
  c.jvm.Delete(bytes);
  c.jvm.Delete(group);
  InvokeVoid(c.jvm, "SSPI.FreeHandle", l.Get<VoidFn>("SSPI_FreeHandle"), client);
  CheckEqual(Invoke(c.jvm, "GetContextInformation", l.Get<TextFn>("SSPI_GetContextInformation"), client).thrown,
             std::string("WinAuthException: Invalid handle"), "a freed client context names nothing");
}

}  // namespace

void CheckSspi(Context& c) {
  Group("SSPI");
  if (!c.library.Has({"SSPI_CreateContext", "SSPI_GetChallengeToken", "SSPI_FreeHandle"}, "SSPI")) return;
  auto* create = c.library.Get<CreateContextFn>("SSPI_CreateContext");
  auto* release = c.library.Get<VoidFn>("SSPI_FreeHandle");
  const jint server = CheckFirstCreation(c, create);
  CheckPackages(c, create, c.library.Get<BytesFn>("SSPI_GetChallengeToken"), release);
  CheckRefusals(c, server);
  if (c.library.Has({"SSPI_Initialize", "SSPI_Accept", "SSPI_Wrap", "SSPI_Unwrap", "SSPI_GetClientUserName",
                     "SSPI_StartImpersonating", "SSPI_StopImpersonating", "SSPI_IsGroupMember",
                     "SSPI_GetContextInformation", "SSPI_GetNegotiatedAttributes", "SSPI_GetMaxTokenSize"},
                    "a client record in negotiation")) {
    CheckClientRecord(c);
  }
  if (server != 0) {
    InvokeVoid(c.jvm, "SSPI.FreeHandle", release, server);
    CheckEqual(Invoke(c.jvm, "GetChallengeToken", c.library.Get<BytesFn>("SSPI_GetChallengeToken"), server).thrown,
               std::string("WinAuthException: Invalid handle"), "a freed handle names nothing");
  }
  CheckEqual(InvokeVoid(c.jvm, "SSPI.FreeHandle", release, jint{0x7fff0000}).thrown, std::string(),
             "FreeHandle of an unknown handle is silent");
}
