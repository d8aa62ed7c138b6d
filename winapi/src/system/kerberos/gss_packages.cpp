// The system world's packages and credentials: which mechanism a package name stands for, the
// credentials of the process (a server's from the keytab, a client's from the ticket cache), and
// principal names in Windows' form.
//
// "Negotiate" is SPNEGO limited to Kerberos: a client offers krb5 alone, and a server accepts
// krb5 under its standard OID and the one Windows clients announce, so that what runs under
// Negotiate is always the krb5 exchange whatever else the machine's GSSAPI has installed.
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/sspi.h"
#include "system/kerberos/gss_host.h"
#include "system/kerberos/principals.h"
#include "system/kerberos/replay.h"

namespace winhost::system::kerberos {
namespace {

gss_OID_desc kSpnego = {6, const_cast<char*>("\x2b\x06\x01\x05\x05\x02")};
gss_OID_desc kNtlm = {10, const_cast<char*>("\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a")};

// Windows' maximum token sizes: Kerberos 48000, Negotiate a little more for its wrapping, NTLM
// its own small one.
const Mechanism kMechanisms[] = {
    {"Kerberos", gss_mech_krb5, 48000, "Kerberos V5 through the system's GSSAPI"},
    {"Negotiate", &kSpnego, 48256, "SPNEGO negotiating Kerberos V5 through the system's GSSAPI"},
    {"NTLM", &kNtlm, 2888, "NTLM through the system's GSSAPI (gss-ntlmssp)"},
};

// Whether the machine's GSSAPI has the mechanism: NTLM only where gss-ntlmssp is installed.
bool Installed(gss_OID oid) {
  OM_uint32 minor = 0;
  GssOidSet mechanisms;
  if (GSS_ERROR(gss_indicate_mechs(&minor, mechanisms.out()))) return false;
  int present = 0;
  gss_test_oid_set_member(&minor, oid, mechanisms.get(), &present);
  return present != 0;
}

std::map<ULONG_PTR, Credential>& Credentials() {
  static auto* credentials = new std::map<ULONG_PTR, Credential>();
  return *credentials;
}

// SPNEGO down to krb5: the client proposes it alone; a server takes it under either OID.
OM_uint32 LimitToKerberos(gss_cred_id_t cred, bool accepting) {
  gss_OID_desc allowed[2] = {*gss_mech_krb5, *gss_mech_krb5_wrong};
  gss_OID_set_desc set = {accepting ? 2u : 1u, allowed};
  OM_uint32 minor = 0;
  const OM_uint32 major = gss_set_neg_mechs(&minor, cred, &set);
  if (GSS_ERROR(major)) Trace("gss_set_neg_mechs", major, minor, &kSpnego);
  return major;
}

// No name: a server takes any key of the keytab (of `keytab` where one is named), a client the
// default principal of its cache. With a cache named, a client authenticates with what that cache
// holds. A server's credential only accepts: GSSAPI then hands over a delegated credential only
// when the client forwarded its ticket, and builds none of a client's ticket at each acceptance
// (the server keeps that ticket itself, for a second hop few clients have made for them).
SECURITY_STATUS Acquire(gss_OID oid, bool accepting, const std::string& cache, const std::string& keytab,
                        GssCredential& cred, OM_uint32& lifetime) {
  // Windows' Negotiate also accepts a bare Kerberos token, as some clients send one (Wine's
  // Negotiate does): a Negotiate acceptor holds krb5's credential beside SPNEGO's, which is what a
  // token of krb5's own OID reaches.
  gss_OID_desc both[2] = {*oid, *gss_mech_krb5};
  gss_OID_set_desc mechanisms = {1, oid};
  if (accepting && oid == &kSpnego) mechanisms = {2, both};
  OM_uint32 minor = 0;
  // A Kerberos acceptor leaves replays to our own check where it can stand in (replay.h).
  const bool replaysOurs = accepting && oid != &kNtlm && PrepareReplayCheck(SharedKrb5());
  if (!cache.empty() || !keytab.empty() || replaysOurs) {
    gss_key_value_element_desc elements[3];
    gss_key_value_set_desc store = {0, elements};
    if (!cache.empty()) elements[store.count++] = {"ccache", cache.c_str()};
    if (!keytab.empty()) elements[store.count++] = {"keytab", keytab.c_str()};
    if (replaysOurs) elements[store.count++] = GssReplayCacheOff();
    const gss_cred_usage_t usage = accepting ? GSS_C_ACCEPT : GSS_C_INITIATE;
    OM_uint32 major = Fault("gss_acquire_cred_from", minor);
    if (major == GSS_S_COMPLETE)
      major = gss_acquire_cred_from(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &mechanisms, usage, &store, cred.out(),
                                    nullptr, &lifetime);
    if (accepting) lifetime = GSS_C_INDEFINITE;  // keys do not expire
    return GSS_ERROR(major) ? Failed("gss_acquire_cred_from", major, minor, oid, accepting) : SEC_E_OK;
  }
  OM_uint32 major = Fault("gss_acquire_cred", minor);
  if (major == GSS_S_COMPLETE)
    major = gss_acquire_cred(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &mechanisms,
                             accepting ? GSS_C_ACCEPT : GSS_C_INITIATE, cred.out(), nullptr, &lifetime);
  return GSS_ERROR(major) ? Failed("gss_acquire_cred", major, minor, oid, accepting) : SEC_E_OK;
}

// The credential of a package; SPNEGO has credentials whenever any mechanism of the machine has
// some, so Negotiate needs krb5's first.
SECURITY_STATUS AcquireFor(const Mechanism* mechanism, bool accepting, const std::string& cache,
                           const std::string& keytab, GssCredential& cred, OM_uint32& lifetime) {
  if (mechanism->oid == &kSpnego) {
    if (SECURITY_STATUS status = Acquire(gss_mech_krb5, accepting, cache, keytab, cred, lifetime); status != SEC_E_OK)
      return status;
    cred.reset();
  }
  if (SECURITY_STATUS status = Acquire(mechanism->oid, accepting, cache, keytab, cred, lifetime); status != SEC_E_OK)
    return status;
  if (mechanism->oid == &kSpnego && GSS_ERROR(LimitToKerberos(cred.get(), accepting))) {
    cred.reset();
    return SEC_E_NO_CREDENTIALS;
  }
  return SEC_E_OK;
}

}  // namespace

const Mechanism* FindMechanism(const std::string& package) {
  static const std::vector<const Mechanism*> installed = [] {
    std::vector<const Mechanism*> found;
    for (const Mechanism& mechanism : kMechanisms)
      if (Installed(mechanism.oid)) found.push_back(&mechanism);
    return found;
  }();
  for (const Mechanism* mechanism : installed)
    if (mechanism->package == package) return mechanism;
  return nullptr;
}

Credential* FindCredential(const CredHandle* handle) {
  if (handle == nullptr || handle->dwLower != kCredentialTag) return nullptr;
  auto it = Credentials().find(handle->dwUpper);
  return it == Credentials().end() ? nullptr : &it->second;
}

namespace {

// As on Windows, a thread that impersonates a client authenticates onward with what that client
// delegated, and never as the process: `delegation` is that, or stays empty on a thread that
// impersonates nobody. False when the client delegated nothing.
bool ImpersonatedDelegation(std::shared_ptr<Delegation>& delegation) {
  std::optional<std::shared_ptr<Delegation>> impersonating = ThreadDelegation();
  if (!impersonating) return true;
  if (!*impersonating) {
    TraceRefusal("a second hop as the impersonated client",
                 SecondHopCause("the client delegated nothing: it forwarded no ticket (Windows clients under"
                                " Credential Guard forward none: use constrained delegation), or the site keeps"
                                " no delegation (QUENTREL_DELEGATION)").c_str());
    return false;
  }
  delegation = std::move(*impersonating);
  return true;
}

}  // namespace

SECURITY_STATUS AcquireCredentials(WorldLock& guard, const std::string& package, ULONG use, PCredHandle credential,
                                   PTimeStamp expiry) {
  const Mechanism* mechanism = FindMechanism(package);
  if (mechanism == nullptr) return SEC_E_SECPKG_NOT_FOUND;
  if (use != SECPKG_CRED_INBOUND && use != SECPKG_CRED_OUTBOUND) return SEC_E_UNKNOWN_CREDENTIALS;
  const bool accepting = use == SECPKG_CRED_INBOUND;
  std::shared_ptr<Delegation> delegation;
  std::shared_ptr<ServiceTicket> service;
  if (!accepting) {
    if (!ImpersonatedDelegation(delegation)) return SEC_E_NO_CREDENTIALS;
    // A server's is taken by PrepareAcceptor.
    SharedKrb5();
  } else if (mechanism->oid != &kNtlm && DelegationSetting() == DelegationPolicy::All) {
    service = ServiceTicketFor(guard);
  }
  OM_uint32 lifetime = 0;
  GssCredential cred;
  const std::string cache = delegation ? delegation->Cache() : std::string();
  if (delegation && cache.empty()) return SEC_E_NO_CREDENTIALS;
  Credential made{mechanism, use, nullptr, nullptr, AcceptorPolicy{}, RealmDomains{}, delegation, service, std::string()};
  // Servers share acceptor credentials for as long as they are what they would acquire; what a
  // server lets in is fixed when it takes one, and chooses the keys it holds: NTLM has none of a
  // keytab.
  const SECURITY_STATUS status =
      accepting ? SharedAcceptor(made, mechanism->oid != &kNtlm,
                                 [&](const std::string& keytab, GssCredential& acquired, OM_uint32& time) {
                                   return AcquireFor(mechanism, accepting, std::string(), keytab, acquired, time);
                                 }, lifetime)
                : AcquireFor(mechanism, accepting, cache, std::string(), cred, lifetime);
  if (status != SEC_E_OK) return status;
  if (!accepting) made.cred = Share(std::move(cred));
  KeepCredential(std::move(made), credential);
  SetLifetime(expiry, delegation ? delegation->Lifetime() : lifetime);
  return SEC_E_OK;
}

void KeepCredential(Credential made, PCredHandle credential) {
  ULONG_PTR id = NewId();
  Credentials()[id] = std::move(made);
  AddLive("credential", 1);
  credential->dwLower = kCredentialTag;
  credential->dwUpper = id;
}

SECURITY_STATUS CredentialName(WorldLock& guard, PCredHandle credential, ULONG attribute, void* buffer) {
  const Credential* found = FindCredential(credential);
  if (found == nullptr) return SEC_E_INVALID_HANDLE;
  if (attribute != SECPKG_CRED_ATTR_NAMES) return SEC_E_UNSUPPORTED_FUNCTION;
  if (buffer == nullptr) return SEC_E_INVALID_TOKEN;
  const SharedCredential cred = found->cred;
  const gss_OID mechanism = found->mechanism->oid;
  guard.unlock();
  OM_uint32 minor = 0;
  GssName name;
  OM_uint32 major = Fault("gss_inquire_cred", minor);
  if (major == GSS_S_COMPLETE) major = gss_inquire_cred(&minor, cred.get(), name.out(), nullptr, nullptr, nullptr);
  if (GSS_ERROR(major)) return Failed("gss_inquire_cred", major, minor, mechanism, false);
  const std::string text = NameText(name.get());
  // A server's credential names no one until a client picks one of its keys.
  if (text.empty()) return SEC_E_UNSUPPORTED_FUNCTION;
  const std::optional<std::u16string> windowsName = WindowsName(text, mechanism);
  if (!windowsName) return SEC_E_UNKNOWN_CREDENTIALS;  // a principal of no Windows name
  WCHAR* wide = AllocWide(*windowsName, "buffer");
  if (wide == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
  static_cast<SecPkgCredentials_NamesW*>(buffer)->sUserName = wide;
  return SEC_E_OK;
}

SECURITY_STATUS FreeCredentials(PCredHandle credential) {
  Credential* found = FindCredential(credential);
  if (found == nullptr) return SEC_E_INVALID_HANDLE;
  // A shared credential goes with its last holder.
  Credentials().erase(credential->dwUpper);
  AddLive("credential", -1);
  return SEC_E_OK;
}

void SetLifetime(PTimeStamp expiry, OM_uint32 lifetime) {
  if (expiry == nullptr) return;
  const long long kUnixEpochIn1601 = 11644473600LL;
  expiry->QuadPart = lifetime == GSS_C_INDEFINITE
                         ? 0x7FFFFFFFFFFFFFFFLL
                         : (static_cast<long long>(std::time(nullptr)) + lifetime + kUnixEpochIn1601) * 10000000LL;
}

std::optional<std::u16string> WindowsName(const std::string& displayed, gss_OID mechanism, const RealmDomains& realms) {
  const bool ntlm = mechanism != GSS_C_NO_OID && gss_oid_equal(mechanism, &kNtlm);
  return WindowsNameOf(displayed, !ntlm, realms);
}

std::optional<std::u16string> WindowsName(const std::string& displayed, gss_OID mechanism) {
  return WindowsName(displayed, mechanism, RealmDomainsNow());
}

std::string NameText(gss_name_t name) {
  if (name == GSS_C_NO_NAME) return std::string();
  OM_uint32 minor = 0;
  GssBuffer text;
  if (GSS_ERROR(Fault("gss_display_name", minor)) || GSS_ERROR(gss_display_name(&minor, name, text.out(), nullptr)))
    return std::string();
  std::string out(static_cast<const char*>(text->value), text->length);
  // Some mechanisms (gss-ntlmssp) count the C string's terminator in the length; it is no part of
  // the name. Any other NUL is, and the name is refused for it.
  if (!out.empty() && out.back() == '\0') out.pop_back();
  return out;
}

std::optional<std::string> LocalAccountOf(gss_name_t name, gss_OID mechanism) {
  OM_uint32 minor = 0;
  GssBuffer local;
  OM_uint32 major = Fault("gss_localname", minor);
  if (major == GSS_S_COMPLETE) major = gss_localname(&minor, name, mechanism, local.out());
  if (GSS_ERROR(major)) {
    Trace("gss_localname", major, minor, mechanism);
    return std::nullopt;
  }
  std::string account(static_cast<const char*>(local->value), local->length);
  // NSS takes names up to their first NUL: a name with one would be another account's.
  if (account.find('\0') != std::string::npos) return std::nullopt;
  return account;
}

}  // namespace winhost::system::kerberos
