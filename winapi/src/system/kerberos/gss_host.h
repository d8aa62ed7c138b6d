// The system world's security packages: the SSPI functions over the machine's GSSAPI (MIT krb5).
// "Kerberos" is the krb5 mechanism, "Negotiate" is SPNEGO over it, and "NTLM" is the NTLM
// mechanism where gss-ntlmssp is installed. The SSPI entry points of the host journal each call
// and check its fault first, then come here when the system world answers.
#pragma once

#include <gssapi/gssapi.h>
#include <krb5/krb5.h>

#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/tokens.h"
#include "system/host/host.h"
#include "system/kerberos/direct_acceptor.h"
#include "system/kerberos/krb5_config.h"
#include "system/kerberos/owners.h"
#include "system/kerberos/pac.h"
#include "system/kerberos/principals.h"
#include "winhost/sspi.h"

// Windows' statuses that only the system world's packages give.
#define SEC_E_NO_AUTHENTICATING_AUTHORITY ((SECURITY_STATUS)0x80090311L)
#define SEC_E_CONTEXT_EXPIRED ((SECURITY_STATUS)0x80090317L)
#define SEC_E_TIME_SKEW ((SECURITY_STATUS)0x80090324L)
#define SEC_E_DELEGATION_POLICY ((SECURITY_STATUS)0x8009035EL)

namespace winhost::system::kerberos {

struct Mechanism {
  std::string package;  // the SSPI name: "Kerberos", "Negotiate", "NTLM"
  gss_OID oid;          // the mechanism asked for
  uint32_t maxToken;    // what Windows reports for the package
  const char* comment;
};

// The package of that name, when the machine has its mechanism; none otherwise.
const Mechanism* FindMechanism(const std::string& package);

class Delegation;
struct ServiceTicket;

// The service principals a server accepts tickets for: every key of its keytab, those of one
// service class ("HTTP"), or the principals a setting lists.
struct AcceptorPolicy {
  enum Kind { Any, Service, Listed } kind = Any;
  std::string service;
  std::vector<std::string> principals;  // as krb5 displays them, realm included
};

// Whether a ticket for the service principal `principal` (as krb5 displays it) may stand.
bool Accepts(const AcceptorPolicy& policy, const std::string& principal);

// A memory keytab of the default keytab's keys that a policy accepts, open while this lives
// (gss_acceptor_keys.cpp); no name when the policy takes every key, or none of its principals has
// one, or the keytab cannot be read. Requires the world lock.
class AllowedKeys {
 public:
  AllowedKeys(krb5_context context, const AcceptorPolicy& policy);
  AllowedKeys(const AllowedKeys&) = delete;
  AllowedKeys& operator=(const AllowedKeys&) = delete;
  ~AllowedKeys();
  const std::string& Name() const { return name_; }

 private:
  krb5_context context_ = nullptr;
  krb5_keytab keytab_ = nullptr;
  std::string name_;
};

struct Credential {
  const Mechanism* mechanism;
  ULONG use;
  // An acceptor credential may be shared with other server handles: it goes with the last.
  SharedCredential cred;
  // Inbound, when `cred` holds only the keys its policy accepts (GSSAPI then refuses a ticket for
  // any other service itself): the credential of every key of the keytab, which a ticket `cred`
  // has no key for is accepted again with, so that its refusal is the policy's own.
  SharedCredential whole;
  // Inbound only, taken with the credential: the services it accepts tickets for and the realms'
  // domain names its clients are named by.
  AcceptorPolicy acceptors;
  RealmDomains realms;
  // Outbound, made on a thread that impersonates a client who delegated: that client's credential,
  // kept alive as long as this handle uses it.
  std::shared_ptr<Delegation> delegation;
  // Inbound, where a client's ticket may be kept as evidence: the service's own ticket to ask with.
  std::shared_ptr<ServiceTicket> service;
  // Inbound, where `cred` holds the policy's keys alone: the name of the memory keytab of them,
  // which lasts as long as `cred` holds it open.
  std::string keys;
};


// The acceptor credential of the new server handle `made` (of `made.mechanism`), with its policy
// and realms (PrepareAcceptor): what an earlier server handle was given while the default keytab,
// the calling thread's identity, the Kerberos configuration and the policy's settings stay what
// they were (gss_kept_credentials.cpp), else acquired anew with `acquire`, from the keytab it is
// given (empty for the default one): `whole` from every key, `cred` from the keys the policy
// accepts where `keysByPolicy` and the policy restricts them (else `cred` is the whole and `whole`
// null), and `keys` the memory keytab of those. Requires the world lock.
using AcquireFunction = std::function<SECURITY_STATUS(const std::string& keytab, GssCredential& cred, OM_uint32& lifetime)>;
SECURITY_STATUS SharedAcceptor(Credential& made, bool keysByPolicy, const AcquireFunction& acquire,
                               OM_uint32& lifetime);

struct Context {
  const Mechanism* mechanism;
  bool client = false;
  GssContext ctx;
  // server: what a context accepted without GSSAPI protects its messages with (it has no `ctx`)
  std::unique_ptr<DirectSession> direct;
  GssName target;  // client: the service it authenticates to
  GssName peer;    // server: the client, once it is known
  gss_OID actual = GSS_C_NO_OID;      // server: the mechanism that ran (krb5 under SPNEGO)
  // server: accepted with the credential of its policy's keys alone, which made the policy's check
  bool keysChecked = false;
  // server: the client's logon information from its ticket's PAC, once established, when the PAC
  // was there and its signature held; the client's name and token come from it.
  std::shared_ptr<const LogonInfo> logon;
  bool established = false;
  bool authenticatorChecked = false;  // server: its AP-REQ went through our replay check
  std::time_t establishedAt = 0;
  ULONG requested = 0;   // ISC_REQ or ASC_REQ flags of the last step
  ULONG attributes = 0;  // ISC_RET or ASC_RET flags agreed
  // Server, once established: the client's name as GSSAPI displays it and its Windows name, fixed
  // when it was admitted; the local account its principal maps to (none for no account), found
  // at the first question that needs it.
  std::string clientPrincipal;
  std::u16string clientName;
  bool localAccountKnown = false;
  std::optional<std::string> localAccount;
  std::shared_ptr<Delegation> delegation;  // server: what the client delegated, when it is kept
  // server, until established, where the client's ticket may be kept as evidence: that ticket
  std::vector<uint8_t> clientTicket;
  // server: the client's access token, made on its first request (tokens.cpp) and the same for
  // every later one, as a context's token is made once at logon.
  std::shared_ptr<const void> clientToken;
};

// Requires the world lock.
Credential* FindCredential(const CredHandle* handle);
Context* FindContext(const CtxtHandle* handle);

// ---- the SSPI functions, after the journal and the fault table ---------------------------------
// A server's first credential may wait on the KDC for the service's own ticket: it lets the world
// lock go meanwhile.
SECURITY_STATUS AcquireCredentials(WorldLock& guard, const std::string& package, ULONG use, PCredHandle credential,
                                   PTimeStamp expiry);
// A client's credential of a user with a password, from the KDC: it lets the world lock go while
// the KDC answers. Kerberos only.
SECURITY_STATUS AcquirePasswordCredentials(WorldLock& guard, const std::string& package,
                                           const SEC_WINNT_AUTH_IDENTITY_W& identity, PCredHandle credential,
                                           PTimeStamp expiry);
// The GSSAPI name of a Windows target ("service/host[:port][@REALM]", "DOMAIN\\user", a principal,
// or none for this host's own service), as text and name type. Requires the world lock.
std::pair<std::string, gss_OID> GssTargetName(const std::string& target);
// Keeps a credential a package made, under a new handle written to `credential`.
void KeepCredential(Credential made, PCredHandle credential);
// GSSAPI reads the name from the credential's ticket cache and makes krb5 contexts for it: without
// the world lock, on the credential, which stays while the call uses it.
SECURITY_STATUS CredentialName(WorldLock& guard, PCredHandle credential, ULONG attribute, void* buffer);
SECURITY_STATUS FreeCredentials(PCredHandle credential);
// A step runs without the world lock: a client's first step may wait on the KDC for a ticket, and
// a server's is where a sign-on spends its time (the ticket's decryption, the replay cache, the
// acceptor's name, the PAC). A later step's context is off the table meanwhile: another thread's
// call that names it finds none.
SECURITY_STATUS InitializeContext(WorldLock& guard, PCredHandle credential, PCtxtHandle context, const WCHAR* target, ULONG requested,
                                  PSecBufferDesc input, PCtxtHandle newContext, PSecBufferDesc output,
                                  PULONG attributes, PTimeStamp expiry);
SECURITY_STATUS AcceptContext(WorldLock& guard, PCredHandle credential, PCtxtHandle context, PSecBufferDesc input,
                              ULONG requested, PCtxtHandle newContext, PSecBufferDesc output, PULONG attributes,
                              PTimeStamp expiry);
SECURITY_STATUS QueryAttribute(PCtxtHandle context, ULONG attribute, void* buffer);
// Frees the context after letting the world lock go.
SECURITY_STATUS DeleteContext(WorldLock& guard, PCtxtHandle context);
// Message protection runs without the world lock, on a context set aside (WorkAside).
SECURITY_STATUS Encrypt(WorldLock& guard, PCtxtHandle context, ULONG qop, PSecBufferDesc message);
SECURITY_STATUS Decrypt(WorldLock& guard, PCtxtHandle context, PSecBufferDesc message, PULONG qop);
// Runs `work` on the established context `handle` names without the world lock: the context is off
// the table meanwhile, so that a call that names it then finds none (as after a free), and back
// when the work ends, whatever its outcome. SEC_E_INVALID_HANDLE where no established context is.
SECURITY_STATUS WorkAside(WorldLock& guard, PCtxtHandle handle, const std::function<SECURITY_STATUS(Context&)>& work);

// ---- delegation (gss_delegation.cpp) -----------------------------------------------------------
// A client's ticket as the server received it, kept so that a second hop can be asked for in that
// client's name with it (constrained delegation, S4U2Proxy), should one ever be made.
struct Evidence {
  std::vector<uint8_t> ticket;             // DER, as the client sent it
  std::string client;                      // the client's principal as krb5 displays it
  krb5_flags flags = 0;                    // the ticket's flags
  long long acceptedAt = 0;                // when it was accepted, and the lifetime GSSAPI gave the
  OM_uint32 lifetime = 0;                  // context then, the clock skew past the ticket's end
  std::shared_ptr<ServiceTicket> service;  // the service's own ticket-granting ticket
  // The keys it was accepted with where not the keytab's (a memory keytab's name), and the
  // credential that holds them open.
  std::string keys;
  SharedCredential acceptor;
};

// The flags of the ticket an established Kerberos context rests on, as GSSAPI reports them.
krb5_flags TicketFlags(gss_ctx_id_t context);
// The evidence filed in a new memory cache beside the service's own tickets, until `ends`
// (gss_evidence.cpp): the cache's name and until when both can be used, or nothing when they cannot.
std::pair<std::string, long long> EvidenceCache(const Evidence& evidence, long long ends);
// The local ticket-granting ticket of `client` in a cache: its end time, 0 when there is none.
long long TicketGrantingEnd(krb5_context context, krb5_ccache cache, krb5_const_principal client);

// What a client delegated to a server context, used from a memory credential cache of its own that
// no file ever holds: the client's forwarded ticket-granting ticket, or, where the client forwarded
// nothing, the ticket it authenticated with as evidence for constrained delegation (S4U2Proxy),
// with the service's own ticket beside it. Released with the last holder: the server context, the
// tokens of its client and the outbound credentials made while a thread impersonates that client.
class Delegation : public LogonCredentials {
 public:
  // Takes the forwarded ticket gss_accept_sec_context gave, and releases it when it is not kept;
  // null when it cannot be used to authenticate onward.
  static std::shared_ptr<Delegation> Keep(GssCredential received);
  // Keeps the ticket a client authenticated with, whose flags are `flags`; null when the KDC would
  // not take it as evidence (it is not forwardable) or the server has no ticket of its own to ask
  // with.
  static std::shared_ptr<Delegation> KeepEvidence(krb5_flags flags, std::vector<uint8_t> ticket,
                                                  const std::string& client, OM_uint32 lifetime,
                                                  const Credential& credential);
  Delegation(const Delegation&) = delete;
  Delegation& operator=(const Delegation&) = delete;
  ~Delegation();

  // The cache that holds the credential, for gss_acquire_cred_from, made on first use; empty when
  // the credential turns out unusable. Requires the world lock, as do Expired and Lifetime.
  const std::string& Cache();
  // Evidence for constrained delegation rather than the client's own ticket-granting ticket.
  bool Constrained() const { return constrained_; }
  bool Expired();
  OM_uint32 Lifetime();

 private:
  Delegation(GssCredential received, std::optional<Evidence> evidence, long long expires);
  long long Expires();
  GssCredential received_;            // a forwarded ticket as the package gave it, until the cache is made
  std::optional<Evidence> evidence_;  // evidence, until the cache is made
  std::string cache_;
  bool prepared_ = false;
  const bool constrained_ = evidence_.has_value();
  long long expires_;                 // 0 until evidence's end is first asked
};

// What the site lets server contexts keep of their clients (QUENTREL_DELEGATION): nothing ("off"),
// forwarded tickets only ("forwarded"), or those and evidence for constrained delegation (the
// default), which costs each authentication a little more.
enum class DelegationPolicy { Off, Forwarded, All };
DelegationPolicy DelegationSetting();
// The service's own ticket for the default keytab, for a server credential that keeps evidence;
// got from the KDC with the keytab when there is none yet or it runs out, with the world lock let
// go meanwhile. Null when the KDC gives none (tried again some minutes later).
std::shared_ptr<ServiceTicket> ServiceTicketFor(WorldLock& guard);
// The credential cache of a service ticket, for gss_acquire_cred_from.
const std::string& ServiceCache(const ServiceTicket& ticket);
// The calling thread's impersonation as the packages see it: none while it acts as the process;
// else the delegation of the client it acts as, null when that client delegated nothing.
std::optional<std::shared_ptr<Delegation>> ThreadDelegation();
// Why the client the thread acts as cannot be served a second hop, in words, from what its token
// holds: Protected Users (its domain's group 525), an account sensitive and cannot be delegated
// (its PAC's account flags), else `otherwise`.
std::string SecondHopCause(const std::string& otherwise);

// ---- flags (gss_flags.cpp) ---------------------------------------------------------------------
// The GSSAPI flags a client asks for with Windows' ISC_REQ flags.
OM_uint32 GssFlags(ULONG requested);
// What the mechanism agreed, in Windows' bits (ISC_RET, or ASC_RET for a server). GSSAPI contexts
// are always connections, so a side that asked for one has it.
ULONG WindowsFlags(OM_uint32 agreed, ULONG requested, bool client);

// ---- names -----------------------------------------------------------------------------------
// The Windows name of a name GSSAPI displays under `mechanism` (see system/kerberos/principals.h): krb5's
// "alice@QTEST.TEST" is "QTEST\alice" or "alice@QTEST.TEST", NTLM's "DOMAIN\user" stays as it is.
// None when the name is refused. Without `realms`, those of the Kerberos configuration now.
std::optional<std::u16string> WindowsName(const std::string& displayed, gss_OID mechanism);
std::optional<std::u16string> WindowsName(const std::string& displayed, gss_OID mechanism, const RealmDomains& realms);
// The text of a GSSAPI name; empty when it has none.
std::string NameText(gss_name_t name);
// The local account a principal maps to by krb5's auth_to_local rules; none when it maps to none.
std::optional<std::string> LocalAccountOf(gss_name_t name, gss_OID mechanism);

// ---- who a server lets in -------------------------------------------------------------------
// What a server credential takes of the configuration when it is acquired: the realms' domain
// names, and its acceptor policy: QUENTREL_ACCEPT_PRINCIPALS ("*" for every key of the keytab, or
// comma-separated principals, a missing realm being the default realm's), else the keytab's HTTP/
// principals when it holds any, else all of its principals. Requires the world lock.
void PrepareAcceptor(Credential& credential);
// Whether an established server context may stand: its ticket is for a principal `credential`
// accepts (else SEC_E_WRONG_PRINCIPAL, what Windows answers a server handed a ticket meant for
// another) and its client has a Windows name (else SEC_E_LOGON_DENIED, a logon that cannot be
// mapped). SEC_E_OK when it may, with the client's name and local account noted in `context`.
// `keysChecked` when GSSAPI accepted the ticket with the policy's keys alone, which is the check.
SECURITY_STATUS Admit(const Credential& credential, Context& context, gss_name_t peer, gss_OID actual,
                      bool keysChecked);
// The same for a client accepted without GSSAPI, with the policy's keys alone.
SECURITY_STATUS AdmitDirect(const Credential& credential, Context& context, const DirectAccepted& accepted);
// The local account an admitted client's principal maps to by krb5's auth_to_local rules (a
// Kerberos client) or the mechanism's own (gss_localname); none when it maps to none. Asked once
// per context, with the configuration the server's krb5 context has read, so that a thread acting
// as the client can ask it as well. Requires the world lock.
std::optional<std::string> ClientAccount(Context& context);
// The logon information of an accepted client's PAC when GSSAPI reports the PAC verified (the
// whole PAC, "urn:mspac:", authenticated); null when the ticket has no PAC, or one that did not
// verify, has no logon information, does not decode, or was issued to another account than that
// information's user. With `upn`, its UPN_DNS_INFO too, none when the PAC has none; null again
// when that buffer is there but does not decode. A fault point as "gss_get_name_attribute".
std::shared_ptr<const LogonInfo> VerifiedLogonInfo(gss_name_t name, gss_OID mechanism,
                                                        std::optional<UpnDnsInfo>* upn = nullptr);
// The same of a whole PAC whose signature has been verified.
std::shared_ptr<const LogonInfo> LogonInfoOfPac(const std::vector<uint8_t>& pac, std::optional<UpnDnsInfo>* upn);
// The Windows name a verified PAC gives the client `principal`, LogonDomainName\EffectiveName,
// when it may stand (PacNameRefusal, system/kerberos/pac_names.h, and PacWindowsName,
// system/kerberos/principals.h); none when it may not, and the PAC is then not used.
std::optional<std::u16string> PacClientName(const LogonInfo& logon, const std::optional<UpnDnsInfo>& upn,
                                            const std::string& principal, const RealmDomains& realms);
// The realm of a principal's text ("alice@SAMDOM.TEST" gives "SAMDOM.TEST"); empty without one.
std::string RealmOf(const std::string& principal);

// ---- statuses and the trace ------------------------------------------------------------------
// Windows' status for a failed GSSAPI call. `accepting` tells the side apart where the same
// failure means another thing to a client and to a server.
SECURITY_STATUS StatusOf(OM_uint32 major, OM_uint32 minor, bool accepting);
// Writes the failed call to stderr when QUENTREL_TRACE asks for it; nothing otherwise.
void Trace(const char* function, OM_uint32 major, OM_uint32 minor, gss_OID mechanism);
// The same for something the system world refused although GSSAPI gave it.
void TraceRefusal(const char* what, const char* why);
// The GSSAPI calls that can fail are fault points of the host too: each is journaled, and a fault
// set for it (Fail("gss_wrap_iov", GSS_S_FAILURE)) makes it answer that major status with minor 0
// instead of being made; a code without error bits stands for GSS_S_FAILURE. GSS_S_COMPLETE when
// the call is to be made.
OM_uint32 Fault(const char* function, OM_uint32& minor);
// Both: the status of a failed call, traced.
SECURITY_STATUS Failed(const char* function, OM_uint32 major, OM_uint32 minor, gss_OID mechanism, bool accepting);
// Whether a minor status is the Kerberos error `code`, under SPNEGO's renumbering too.
bool MinorIs(OM_uint32 minor, long code);

// The clock skew krb5 allows (libdefaults clockskew, 300 seconds unless set). Requires the world
// lock (the packages' krb5 context).
long long ClockSkew();
// Windows' expiry time (100 ns since 1601) of a lifetime in seconds from now.
void SetLifetime(PTimeStamp expiry, OM_uint32 lifetime);
// Whether a mechanism is krb5, under its standard OID or the one Windows clients announce.
bool IsKerberos(gss_OID mechanism);

}  // namespace winhost::system::kerberos
