// The client's ticket as evidence for constrained delegation, made usable on a second hop's first
// need: a memory cache laid out as MIT's GSSAPI reads a proxy credential (see gss_delegation.cpp).
#include <gssapi/gssapi_krb5.h>
#include <krb5/krb5.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <utility>

#include "system/kerberos/gss_host.h"
#include "system/kerberos/owners.h"

namespace winhost::system::kerberos {
namespace {

bool IsTicketGranting(krb5_const_principal principal) {
  return principal->length == 2 && principal->data[0].length == 6 &&
         std::equal(principal->data[0].data, principal->data[0].data + 6, "krbtgt");
}

// Owners of what EvidenceCache holds while it makes the cache.
struct EvidenceParts {
  explicit EvidenceParts(krb5_context k) : context(k) {}
  EvidenceParts(const EvidenceParts&) = delete;
  EvidenceParts& operator=(const EvidenceParts&) = delete;
  ~EvidenceParts() {
    if (service != nullptr) krb5_cc_close(context, service);
    if (cache != nullptr) krb5_cc_destroy(context, cache);
    krb5_free_principal(context, client);
    krb5_free_principal(context, impersonator);
    krb5_free_ticket(context, ticket);
  }
  krb5_context context;
  krb5_ccache service = nullptr;
  krb5_ccache cache = nullptr;
  krb5_principal client = nullptr;
  krb5_principal impersonator = nullptr;
  krb5_ticket* ticket = nullptr;
};

// The evidence's own contents (its session key, times and flags), decrypted with the keys it was
// accepted with: a hop to the service itself uses the evidence as it is, with its key. False when
// they cannot be read (a thread acting as a client may not read the keytab file).
bool DecryptEvidence(krb5_context context, const Evidence& evidence, krb5_ticket* ticket) {
  const std::string name = !evidence.keys.empty() ? evidence.keys : KeytabName(context);
  krb5_keytab keytab = nullptr;
  if (name.empty() || krb5_kt_resolve(context, name.c_str(), &keytab) != 0) return false;
  const bool decrypted = krb5_server_decrypt_ticket_keytab(context, keytab, ticket) == 0;
  krb5_kt_close(context, keytab);
  return decrypted;
}

// The evidence as MIT's GSSAPI finds it in a proxy credential's cache: filed under the service
// it was issued for where its key is known, and under the service's own name.
bool StoreEvidence(EvidenceParts& parts, const Evidence& evidence, long long ends, const krb5_data& ticket) {
  krb5_creds creds = {};
  creds.client = parts.client;
  creds.ticket = ticket;
  creds.ticket_flags = evidence.flags;
  creds.times.authtime = creds.times.starttime = static_cast<krb5_timestamp>(evidence.acceptedAt);
  creds.times.endtime = static_cast<krb5_timestamp>(ends);
  const krb5_enc_tkt_part* contents = parts.ticket->enc_part2;
  if (contents != nullptr) {
    creds.keyblock = *contents->session;
    creds.times = contents->times;
    creds.server = parts.ticket->server;
    if (krb5_cc_store_cred(parts.context, parts.cache, &creds) != 0) return false;
  }
  creds.server = parts.impersonator;
  return krb5_cc_store_cred(parts.context, parts.cache, &creds) == 0;
}

}  // namespace

// The local ticket-granting ticket of `client` in a cache: its end time, 0 when there is none.
long long TicketGrantingEnd(krb5_context context, krb5_ccache cache, krb5_const_principal client) {
  krb5_cc_cursor cursor;
  if (krb5_cc_start_seq_get(context, cache, &cursor) != 0) return 0;
  long long end = 0;
  krb5_creds creds;
  while (end == 0 && krb5_cc_next_cred(context, cache, &cursor, &creds) == 0) {
    if (!krb5_is_config_principal(context, creds.server) && IsTicketGranting(creds.server) &&
        krb5_principal_compare(context, creds.client, client))
      end = creds.times.endtime;
    krb5_free_cred_contents(context, &creds);
  }
  krb5_cc_end_seq_get(context, cache, &cursor);
  return end;
}

// Files the evidence in a new cache beside the service's own tickets, until `ends`; the cache's
// name and until when both can be used, or nothing when they cannot.
std::pair<std::string, long long> EvidenceCache(const Evidence& evidence, long long ends) {
  Krb5Context krb;
  if (!krb || !evidence.service) return {};
  EvidenceParts parts(krb.get());
  krb5_data ticket = {0, static_cast<unsigned int>(evidence.ticket.size()),
                      const_cast<char*>(reinterpret_cast<const char*>(evidence.ticket.data()))};
  char* impersonatorText = nullptr;
  OM_uint32 minor = 0;
  bool made = Fault("krb5_cc_store_cred", minor) == GSS_S_COMPLETE &&
              krb5_parse_name(parts.context, evidence.client.c_str(), &parts.client) == 0 &&
              krb5_decode_ticket(&ticket, &parts.ticket) == 0 &&
              krb5_cc_resolve(parts.context, ServiceCache(*evidence.service).c_str(), &parts.service) == 0 &&
              krb5_cc_get_principal(parts.context, parts.service, &parts.impersonator) == 0 &&
              krb5_unparse_name(parts.context, parts.impersonator, &impersonatorText) == 0 &&
              krb5_cc_new_unique(parts.context, "MEMORY", nullptr, &parts.cache) == 0 &&
              krb5_cc_initialize(parts.context, parts.cache, parts.client) == 0 &&
              krb5_cc_copy_creds(parts.context, parts.service, parts.cache) == 0;
  if (impersonatorText != nullptr) {
    krb5_data text = {0, static_cast<unsigned int>(std::strlen(impersonatorText)), impersonatorText};
    made = made && krb5_cc_set_config(parts.context, parts.cache, nullptr, "proxy_impersonator", &text) == 0;
    krb5_free_unparsed_name(parts.context, impersonatorText);
  }
  if (made && !DecryptEvidence(parts.context, evidence, parts.ticket))
    TraceRefusal("the client's ticket as evidence", "its key could not be read: a hop to this service itself fails");
  made = made && StoreEvidence(parts, evidence, ends, ticket);
  const long long serviceEnd = made ? TicketGrantingEnd(parts.context, parts.cache, parts.impersonator) : 0;
  const long long until = std::min(ends, serviceEnd);
  if (!made || until <= static_cast<long long>(std::time(nullptr))) {
    if (!made) Trace("krb5_cc_store_cred", GSS_S_FAILURE, minor, gss_mech_krb5);
    return {};
  }
  std::string name = std::string("MEMORY:") + krb5_cc_get_name(parts.context, parts.cache);
  krb5_cc_close(parts.context, std::exchange(parts.cache, nullptr));
  return {std::move(name), until};
}

}  // namespace winhost::system::kerberos
