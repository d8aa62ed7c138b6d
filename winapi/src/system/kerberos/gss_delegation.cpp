// Delegated credentials of the system world: what a server context keeps when its client
// delegates, and the service's own ticket that lets a client's ticket serve as evidence for
// constrained delegation.
//
// Two things can let a server act onward as its client:
//   - the client's ticket-granting ticket, forwarded because the client asked to delegate and the
//     KDC marks the service as trusted for delegation; gss_accept_sec_context hands it over as a
//     delegated credential, which is copied into a memory credential cache of its own on first use;
//   - where the client forwarded nothing, the ticket it authenticated with, as evidence for
//     S4U2Proxy: the KDC checks it (it is encrypted in the service account's key) and issues a
//     ticket to a permitted back end in the client's name, asked with the service's own
//     ticket-granting ticket. The server keeps the ticket's bytes from the client's token, and
//     makes the cache only when a second hop is asked for: most clients never have one made.
// Client contexts made while a thread impersonates that client authenticate with that cache.
//
// The evidence cache is laid out as MIT's GSSAPI reads a proxy credential: the service's own
// tickets, the impersonator (the service) in the cache's configuration, and the evidence filed
// under the service's name as well as under the service principal it was issued for. Active
// Directory gives initial tickets to the account's own name, not to its SPNs, while the client's
// ticket names the SPN it asked for: MIT looks the evidence up under the name of the service's
// ticket-granting ticket's client.
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <krb5/krb5.h>

#include <algorithm>
#include <ctime>
#include <utility>
#include <vector>

#include "common/sids.h"
#include "common/tokens.h"
#include "system/host/settings.h"
#include "system/kerberos/gss_host.h"
#include "system/kerberos/owners.h"
#include "system/kerberos/pac.h"

namespace winhost::system::kerberos {

// A service ticket-granting ticket in a memory cache of its own, shared by the server credentials
// made while it is current; the cache goes with the last of them.
struct ServiceTicket {
  ServiceTicket(std::string cacheName, long long refresh, long long end)
      : cache(std::move(cacheName)), refreshAt(refresh), expires(end) {}
  ServiceTicket(const ServiceTicket&) = delete;
  ServiceTicket& operator=(const ServiceTicket&) = delete;
  ~ServiceTicket();
  const std::string cache;    // "MEMORY:..."
  const long long refreshAt;  // half its life: a new one is asked for from then on
  const long long expires;
};

namespace {

// How long a KDC that gave the service no ticket is left alone.
constexpr long long kRetrySeconds = 300;

long long Now() { return static_cast<long long>(std::time(nullptr)); }

void DestroyCache(const std::string& name) {
  Krb5Context krb;
  krb5_ccache cache = nullptr;
  if (krb && krb5_cc_resolve(krb.get(), name.c_str(), &cache) == 0) krb5_cc_destroy(krb.get(), cache);
}

// The keytab's principals in the order to ask for the service's own ticket: those of one
// component first (the account's own name), then the rest, each once, in the keytab's order.
std::vector<krb5_principal> KeytabPrincipals(krb5_context context, krb5_keytab keytab) {
  std::vector<krb5_principal> principals;
  krb5_kt_cursor cursor;
  if (krb5_kt_start_seq_get(context, keytab, &cursor) != 0) return principals;
  krb5_keytab_entry entry;
  while (krb5_kt_next_entry(context, keytab, &entry, &cursor) == 0) {
    const bool seen = std::any_of(principals.begin(), principals.end(), [&](krb5_principal p) {
      return krb5_principal_compare(context, p, entry.principal);
    });
    krb5_principal copy = nullptr;
    if (!seen && krb5_copy_principal(context, entry.principal, &copy) == 0) principals.push_back(copy);
    krb5_free_keytab_entry_contents(context, &entry);
  }
  krb5_kt_end_seq_get(context, keytab, &cursor);
  std::stable_partition(principals.begin(), principals.end(), [](krb5_principal p) { return p->length == 1; });
  return principals;
}

// Asks the KDC for the service's own ticket-granting ticket with the keytab. Null when it gives
// none for any of the keytab's principals, or cannot be reached.
std::shared_ptr<ServiceTicket> FetchServiceTicket(krb5_context context, const std::string& keytabName) {
  krb5_keytab keytab = nullptr;
  if (krb5_kt_resolve(context, keytabName.c_str(), &keytab) != 0) return nullptr;
  std::shared_ptr<ServiceTicket> ticket;
  std::vector<krb5_principal> principals = KeytabPrincipals(context, keytab);
  for (krb5_principal principal : principals) {
    OM_uint32 minor = 0;
    if (Fault("krb5_get_init_creds_keytab", minor) != GSS_S_COMPLETE) break;
    krb5_creds creds;
    const krb5_error_code code = krb5_get_init_creds_keytab(context, &creds, principal, keytab, 0, nullptr, nullptr);
    if (code != 0) {
      Trace("krb5_get_init_creds_keytab", GSS_S_FAILURE, static_cast<OM_uint32>(code), gss_mech_krb5);
      // The KDC refused that name: another may do. No KDC at all: none will.
      if (code == KRB5_KDC_UNREACH || code == KRB5_REALM_CANT_RESOLVE || code == KRB5_REALM_UNKNOWN) break;
      continue;
    }
    krb5_ccache cache = nullptr;
    if (krb5_cc_new_unique(context, "MEMORY", nullptr, &cache) == 0) {
      if (krb5_cc_initialize(context, cache, creds.client) == 0 && krb5_cc_store_cred(context, cache, &creds) == 0) {
        const long long start = creds.times.starttime != 0 ? creds.times.starttime : creds.times.authtime;
        ticket = std::make_shared<ServiceTicket>(std::string("MEMORY:") + krb5_cc_get_name(context, cache),
                                                 start + (static_cast<long long>(creds.times.endtime) - start) / 2,
                                                 creds.times.endtime);
        krb5_cc_close(context, cache);
      } else {
        krb5_cc_destroy(context, cache);
      }
    }
    krb5_free_cred_contents(context, &creds);
    break;
  }
  for (krb5_principal principal : principals) krb5_free_principal(context, principal);
  krb5_kt_close(context, keytab);
  return ticket;
}

struct ServiceState {
  std::shared_ptr<ServiceTicket> ticket;
  long long retryAfter = 0;
};

// By the environment's keytab, which may change while the process runs.
std::map<std::string, ServiceState>& Services() {
  static auto* services = new std::map<std::string, ServiceState>();
  return *services;
}

std::shared_ptr<ServiceTicket> Usable(const ServiceState& state) {
  return state.ticket && Now() < state.ticket->expires ? state.ticket : nullptr;
}

}  // namespace

ServiceTicket::~ServiceTicket() { DestroyCache(cache); }

DelegationPolicy DelegationSetting() {
  const std::string setting = LowerAscii(host::TextSetting(host::SettingId::kDelegation));
  if (setting == "off" || setting == "0" || setting == "no" || setting == "false") return DelegationPolicy::Off;
  return setting == "forwarded" ? DelegationPolicy::Forwarded : DelegationPolicy::All;
}

std::shared_ptr<ServiceTicket> ServiceTicketFor(WorldLock& guard) {
  // The environment names the default keytab, or krb5.conf does, which is read only to ask the KDC:
  // each server credential comes here.
  const std::string keytab = KeytabName(SharedKrb5());
  ServiceState& state = Services()[keytab];
  const long long now = Now();
  if (state.ticket && now < state.ticket->refreshAt) return state.ticket;
  // A thread acting as a client may not read the keytab: it takes what there is.
  if (now < state.retryAfter || ThreadToken()) return Usable(state);
  // Other threads go on with what there is while this one asks.
  state.retryAfter = now + kRetrySeconds;
  guard.unlock();
  std::shared_ptr<ServiceTicket> fresh;
  {
    Krb5Context krb;
    if (const std::string name = KeytabName(krb.get()); !name.empty()) fresh = FetchServiceTicket(krb.get(), name);
  }
  guard.lock();
  ServiceState& after = Services()[keytab];
  if (fresh) {
    after.ticket = std::move(fresh);
    after.retryAfter = 0;
  }
  return Usable(after);
}

const std::string& ServiceCache(const ServiceTicket& ticket) { return ticket.cache; }

std::optional<std::shared_ptr<Delegation>> ThreadDelegation() {
  const TokenRef& token = ThreadToken();
  if (!token) return std::nullopt;
  return std::dynamic_pointer_cast<Delegation>(token->data.credentials);
}

std::string SecondHopCause(const std::string& otherwise) {
  const TokenRef& token = ThreadToken();
  if (!token) return otherwise;
  const std::string user = SidText(token->data.user);
  const size_t last = user.rfind('-');
  // Protected Users is the group of relative ID 525 in the account's own domain.
  const std::string protectedUsers = user.rfind("S-1-5-21-", 0) == 0 && last != std::string::npos
                                         ? user.substr(0, last) + "-525" : std::string();
  for (const GroupEntry& group : token->data.groups) {
    if (!protectedUsers.empty() && SidText(group.sid) == protectedUsers)
      return "the client is in Protected Users, whose members' tickets are never delegated: sign on to the back end"
             " directly, or take the account out of the group";
  }
  if ((token->data.accountControl & kUserNotDelegated) != 0)
    return "the client's account is sensitive and cannot be delegated: no service may act as it onward; clear the"
           " flag (Active Directory Users and Computers, Account options) where it must be";
  return otherwise;
}

Delegation::Delegation(GssCredential received, std::optional<Evidence> evidence, long long expires)
    : received_(std::move(received)), evidence_(std::move(evidence)), expires_(expires) {
  AddLive("delegated-credential", 1);
}

Delegation::~Delegation() {
  if (!cache_.empty()) DestroyCache(cache_);
  AddLive("delegated-credential", -1);
}

long long Delegation::Expires() {
  // GSSAPI lets an acceptor's context run the clock skew past its ticket's end; the ticket ends
  // when it does.
  if (expires_ == 0 && evidence_) expires_ = evidence_->acceptedAt + evidence_->lifetime - ClockSkew();
  return expires_;
}

bool Delegation::Expired() { return Now() >= Expires(); }

OM_uint32 Delegation::Lifetime() {
  const long long left = Expires() - Now();
  return left > 0 ? static_cast<OM_uint32>(left) : 0;
}

std::shared_ptr<Delegation> Delegation::Keep(GssCredential received) {
  OM_uint32 minor = 0;
  OM_uint32 lifetime = 0;
  OM_uint32 major = Fault("gss_inquire_cred", minor);
  if (major == GSS_S_COMPLETE) major = gss_inquire_cred(&minor, received.get(), nullptr, &lifetime, nullptr, nullptr);
  if (GSS_ERROR(major)) Trace("gss_inquire_cred", major, minor, gss_mech_krb5);
  if (GSS_ERROR(major) || lifetime == 0) return nullptr;
  return std::shared_ptr<Delegation>(new Delegation(std::move(received), std::nullopt, Now() + lifetime));
}

krb5_flags TicketFlags(gss_ctx_id_t context) {
  OM_uint32 minor = 0;
  krb5_flags flags = 0;
  // Unknown flags leave the KDC to judge the evidence.
  if (GSS_ERROR(gss_krb5_get_tkt_flags(&minor, context, &flags))) flags = TKT_FLG_FORWARDABLE;
  return flags;
}

std::shared_ptr<Delegation> Delegation::KeepEvidence(krb5_flags flags, std::vector<uint8_t> ticket,
                                                     const std::string& client, OM_uint32 lifetime,
                                                     const Credential& credential) {
  if (ticket.empty() || client.empty() || !credential.service || lifetime == 0) return nullptr;
  // The KDC takes no evidence that is not forwardable.
  if ((flags & TKT_FLG_FORWARDABLE) == 0) return nullptr;
  Evidence evidence{std::move(ticket), client, flags, Now(), lifetime, credential.service, credential.keys,
                    credential.keys.empty() ? nullptr : credential.cred};
  return std::shared_ptr<Delegation>(new Delegation(GssCredential(), std::move(evidence), 0));
}

const std::string& Delegation::Cache() {
  if (prepared_) return cache_;
  prepared_ = true;
  if (evidence_) {
    auto [name, until] = EvidenceCache(*evidence_, Expires());
    if (!name.empty()) {
      cache_ = std::move(name);
      expires_ = std::min(expires_, until);
    }
    evidence_.reset();
    return cache_;
  }
  OM_uint32 minor = 0;
  // The received credential is needed for this copy alone.
  const GssCredential received = std::move(received_);
  GssName name;
  OM_uint32 major = Fault("gss_inquire_cred", minor);
  if (major == GSS_S_COMPLETE) major = gss_inquire_cred(&minor, received.get(), name.out(), nullptr, nullptr, nullptr);
  if (GSS_ERROR(major)) {
    Trace("gss_inquire_cred", major, minor, gss_mech_krb5);
    return cache_;
  }
  const std::string clientText = NameText(name.get());
  Krb5Context krb;
  krb5_principal client = nullptr;
  if (!krb || clientText.empty() || krb5_parse_name(krb.get(), clientText.c_str(), &client) != 0) return cache_;
  krb5_ccache cache = nullptr;
  if (krb5_cc_new_unique(krb.get(), "MEMORY", nullptr, &cache) != 0) {
    krb5_free_principal(krb.get(), client);
    return cache_;
  }
  long long expires = 0;
  major = krb5_cc_initialize(krb.get(), cache, client) == 0 ? Fault("gss_krb5_copy_ccache", minor) : GSS_S_FAILURE;
  if (major == GSS_S_COMPLETE) major = gss_krb5_copy_ccache(&minor, received.get(), cache);
  if (GSS_ERROR(major)) {
    Trace("gss_krb5_copy_ccache", major, minor, gss_mech_krb5);
  } else {
    expires = TicketGrantingEnd(krb.get(), cache, client);
  }
  if (expires > Now()) {
    cache_ = std::string("MEMORY:") + krb5_cc_get_name(krb.get(), cache);
    expires_ = std::min(expires_, expires);
    krb5_cc_close(krb.get(), cache);
  } else {
    krb5_cc_destroy(krb.get(), cache);
  }
  krb5_free_principal(krb.get(), client);
  return cache_;
}

}  // namespace winhost::system::kerberos
