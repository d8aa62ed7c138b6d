// A whole authentication through the platform's Kerberos package, against a KDC that the test
// command starts for it: the library's exchange leg by leg beside the platform's own, then the
// queries, the report, the client's name and message protection, each as the platform answers.
#include "wine/sspi_platform.h"
#include "wine/suite.h"

namespace {

// A leg of the exchange: which side stepped, with what result.
struct Leg {
  bool client;
  SECURITY_STATUS status;     // the step's status; the sizes query's when that is what failed
};

// The platform's exchange: client first, then server and client in turn until both are done or
// one fails. The legs are what the library's Initialize and Accept are to answer, in order.
std::vector<Leg> PlatformExchange(PlatformSide& client, PlatformSide& server, std::u16string target) {
  std::vector<Leg> legs;
  auto Record = [&](PlatformSide& side, bool isClient) {
    legs.push_back(Leg{isClient, side.status == SEC_E_OK && side.sizesStatus != SEC_E_OK ? side.sizesStatus : side.status});
    return Succeeded(legs.back().status);
  };
  if (client.Acquire(true, u"Kerberos") != SEC_E_OK || server.Acquire(false, u"Kerberos") != SEC_E_OK) return legs;
  client.Step(true, target, nullptr);
  if (!Record(client, true)) return legs;
  for (int round = 0; round < 5; ++round) {
    server.Step(false, target, &client.token);
    if (!Record(server, false)) return legs;
    if (client.status == SEC_E_OK && (server.status == SEC_E_OK || server.token.empty())) return legs;
    if (client.status == SEC_E_OK) continue;
    client.Step(true, target, &server.token);
    if (!Record(client, true)) return legs;
    if (client.status == SEC_E_OK && server.status == SEC_E_OK) return legs;
  }
  return legs;
}

std::string Expected(const Leg& leg) {
  return leg.status == SEC_E_OK ? "established" : leg.status == SEC_I_CONTINUE_NEEDED ? "continue"
                                                                                       : "WinAuthException: " + PlatformError(static_cast<uint32_t>(leg.status));
}

// The operations of an established server context whose outcome hangs on the client's token,
// and the state refusals once both sides are done.
void CheckEstablishedServer(Context& c, PlatformSide& server, jint clientHandle, jint serverHandle) {
  const Library& l = c.library;
  jbyteArray token = c.jvm.Bytes({1, 2, 3});
  CheckEqual(Invoke(c.jvm, "Initialize", l.Get<TokenStepFn>("SSPI_Initialize"), clientHandle, token).thrown,
             std::string("WinAuthException: Invalid state"), "Initialize on an established client");
  CheckEqual(Invoke(c.jvm, "Accept", l.Get<TokenStepFn>("SSPI_Accept"), serverHandle, token).thrown,
             std::string("WinAuthException: Invalid state"), "Accept on an established server");
  c.jvm.Delete(token);
  CheckEqual(InvokeVoid(c.jvm, "StopImpersonating", l.Get<VoidFn>("SSPI_StopImpersonating"), serverHandle).thrown,
             std::string("WinAuthException: Not impersonating"), "StopImpersonating before any impersonation");

  HANDLE clientToken = nullptr;
  const SECURITY_STATUS tokenStatus = QuerySecurityContextToken(&server.context, &clientToken);
  if (clientToken != nullptr) CloseHandle(clientToken);
  auto start = InvokeVoid(c.jvm, "StartImpersonating", l.Get<VoidFn>("SSPI_StartImpersonating"), serverHandle);
  if (tokenStatus != SEC_E_OK) {
    Note("the platform's QuerySecurityContextToken answers " + Hex(static_cast<uint32_t>(tokenStatus)));
    CheckEqual(start.thrown, "WinAuthException: " + PlatformError(static_cast<uint32_t>(tokenStatus)),
               "StartImpersonating fails as the platform's token query does");
    jstring group = c.jvm.String(u"BUILTIN\\Users");
    DWORD sidSize = 0, domainSize = 0;
    SID_NAME_USE use;
    LookupAccountNameW(nullptr, L"BUILTIN\\Users", nullptr, &sidSize, nullptr, &domainSize, &use);
    if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
      CheckEqual(Invoke(c.jvm, "IsGroupMember", l.Get<GroupFn>("SSPI_IsGroupMember"), serverHandle, group).thrown,
                 "WinAuthException: " + PlatformError(static_cast<uint32_t>(tokenStatus)),
                 "IsGroupMember fails as the platform's token query does");
    }
    c.jvm.Delete(group);
  } else if (CheckEqual(start.thrown, std::string(), "StartImpersonating, as the platform gives the client's token")) {
    CheckEqual(InvokeVoid(c.jvm, "StartImpersonating", l.Get<VoidFn>("SSPI_StartImpersonating"), serverHandle).thrown,
               std::string("WinAuthException: Already impersonating"), "a second StartImpersonating");
    CheckEqual(InvokeVoid(c.jvm, "StopImpersonating", l.Get<VoidFn>("SSPI_StopImpersonating"), serverHandle).thrown,
               std::string(), "StopImpersonating");
  }
}

}  // namespace

void CheckKerberos(Context& c, const std::u16string& target) {
  Group("Kerberos against a KDC of the test's own, target " + Narrow(target));
  const Library& l = c.library;
  PlatformSide client, server;
  const std::vector<Leg> legs = PlatformExchange(client, server, target);
  if (!Check(!legs.empty(), "the platform acquires Kerberos credentials for both sides")) return;
  for (const Leg& leg : legs) Note(std::string(leg.client ? "client" : "server") + " step: " + Hex(static_cast<uint32_t>(leg.status)));

  // The library's exchange, leg by leg.
  jstring package = c.jvm.String(u"Kerberos");
  jstring targetName = c.jvm.String(target);
  auto created = Invoke(c.jvm, "SSPI.CreateContext", l.Get<CreateContextFn>("SSPI_CreateContext"), JNI_TRUE,
                        static_cast<jint>(kClientFlags), package, targetName);
  const std::string expectedFirst =
      Succeeded(legs[0].status) ? "" : "WinAuthException: " + PlatformError(static_cast<uint32_t>(legs[0].status));
  CheckEqual(created.thrown, expectedFirst, "the client's first step, as the platform's");
  auto acceptor = Invoke(c.jvm, "SSPI.CreateContext", l.Get<CreateContextFn>("SSPI_CreateContext"), JNI_FALSE, 0, package, jstring{nullptr});
  c.jvm.Delete(package);
  c.jvm.Delete(targetName);
  if (created.value == 0 || !CheckEqual(acceptor.thrown, std::string(), "a Kerberos server context")) return;
  CheckEqual<long>(created.value, 2, "the first handle of a fresh load is 2");
  const jint clientHandle = created.value, serverHandle = acceptor.value;
  CheckRefusals(c, serverHandle);

  auto TokenOf = [&](jint handle) {
    return Invoke(c.jvm, "GetChallengeToken", l.Get<BytesFn>("SSPI_GetChallengeToken"), handle).value;
  };
  bool exchanged = true;
  for (size_t i = 1; i < legs.size() && exchanged; ++i) {
    const Leg& leg = legs[i];
    jbyteArray token = TokenOf(leg.client ? serverHandle : clientHandle);
    auto step = Invoke(c.jvm, leg.client ? "Initialize" : "Accept",
                       l.Get<TokenStepFn>(leg.client ? "SSPI_Initialize" : "SSPI_Accept"), leg.client ? clientHandle : serverHandle,
                       token);
    c.jvm.Delete(token);
    const std::string got = !step.thrown.empty() ? step.thrown : step.value ? "established" : "continue";
    exchanged = CheckEqual(got, Expected(leg), std::string(leg.client ? "client" : "server") + " step " + std::to_string(i + 1) +
                                                   " as the platform's");
  }
  const bool established = exchanged && client.status == SEC_E_OK && server.status == SEC_E_OK &&
                           client.sizesStatus == SEC_E_OK && server.sizesStatus == SEC_E_OK;
  if (established) {
    CheckEqual<long>(Invoke(c.jvm, "GetNegotiatedAttributes", l.Get<HandleFn>("SSPI_GetNegotiatedAttributes"), clientHandle).value,
                     static_cast<long>(client.attributes), "the client's attributes are the platform's");
    CheckEqual<long>(Invoke(c.jvm, "GetMaxTokenSize", l.Get<HandleFn>("SSPI_GetMaxTokenSize"), serverHandle).value,
                     static_cast<long>(server.sizes.cbMaxToken), "the server's maximum token size is the platform's");
    for (bool isClient : {true, false}) {
      PlatformSide& side = isClient ? client : server;
      jstring report = Invoke(c.jvm, "GetContextInformation", l.Get<TextFn>("SSPI_GetContextInformation"),
                              isClient ? clientHandle : serverHandle).value;
      CheckEqual(TakeText(c.jvm, report),
                 std::optional<std::u16string>(PlatformReport(&side.context, isClient, u"success", side.attributes)),
                 std::string("the ") + (isClient ? "client" : "server") + "'s report, query by query as the platform answers");
    }
    SecPkgContext_NamesW names{};
    const SECURITY_STATUS namesStatus = QueryContextAttributesW(&server.context, SECPKG_ATTR_NAMES, &names);
    auto name = Invoke(c.jvm, "GetClientUserName", l.Get<TextFn>("SSPI_GetClientUserName"), serverHandle);
    if (namesStatus != SEC_E_OK) {
      Note("the platform's names query answers " + Hex(static_cast<uint32_t>(namesStatus)));
      CheckEqual(name.thrown, "WinAuthException: " + PlatformError(static_cast<uint32_t>(namesStatus)),
                 "the client's name: the platform's answer to the names query");
    } else {
      const std::u16string platformName = Wide(names.sUserName);
      FreeContextBuffer(names.sUserName);
      if (platformName.find(u'\\') == std::u16string::npos) {
        CheckEqual(TakeText(c.jvm, name.value), std::optional<std::u16string>(platformName), "the client's name is the platform's");
      } else {
        Check(name.thrown.empty(), "the client's name", name.thrown);
        c.jvm.Delete(name.value);
      }
    }

    // Protection as far as the platform's package gives it: the library's Wrap fails exactly when
    // the platform's EncryptMessage does, over the same buffers.
    std::vector<uint8_t> trailer(client.sizes.cbSecurityTrailer), data = {'h', 'e', 'l', 'l', 'o'}, block(client.sizes.cbBlockSize);
    SecBuffer buffers[3] = {{static_cast<ULONG>(trailer.size()), SECBUFFER_TOKEN, trailer.empty() ? nullptr : trailer.data()},
                            {static_cast<ULONG>(data.size()), SECBUFFER_DATA, data.data()},
                            {static_cast<ULONG>(block.size()), SECBUFFER_PADDING, block.empty() ? nullptr : block.data()}};
    SecBufferDesc descriptor{SECBUFFER_VERSION, 3, buffers};
    const SECURITY_STATUS encrypt = EncryptMessage(&client.context, 0, &descriptor, 0);
    jbyteArray message = c.jvm.Bytes({'h', 'e', 'l', 'l', 'o'});
    auto wrapped = Invoke(c.jvm, "Wrap", l.Get<MessageFn>("SSPI_Wrap"), clientHandle, message);
    c.jvm.Delete(message);
    if (encrypt != SEC_E_OK) {
      Note("the platform's EncryptMessage answers " + Hex(static_cast<uint32_t>(encrypt)));
      CheckEqual(wrapped.thrown, "WinAuthException: " + PlatformError(static_cast<uint32_t>(encrypt)),
                 "Wrap fails as the platform's EncryptMessage does");
    } else if (CheckEqual(wrapped.thrown, std::string(), "Wrap protects a message, as the platform's EncryptMessage does")) {
      auto plain = Invoke(c.jvm, "Unwrap", l.Get<MessageFn>("SSPI_Unwrap"), serverHandle, wrapped.value);
      if (plain.value != nullptr) {
        CheckEqual(c.jvm.BytesOf(plain.value), (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}), "Unwrap on the server gives it back");
        c.jvm.Delete(plain.value);
      } else {
        Note("Unwrap on the server: " + plain.thrown);
      }
      c.jvm.Delete(wrapped.value);
    }
    CheckEstablishedServer(c, server, clientHandle, serverHandle);
  } else {
    Note("the platform's exchange does not establish both sides here");
  }
  InvokeVoid(c.jvm, "SSPI.FreeHandle", l.Get<VoidFn>("SSPI_FreeHandle"), clientHandle);
  InvokeVoid(c.jvm, "SSPI.FreeHandle", l.Get<VoidFn>("SSPI_FreeHandle"), serverHandle);
}
