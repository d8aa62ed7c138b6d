// The service's own Kerberos identity (see service_key.h).
#include "system/kerberos/service_key.h"

#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <krb5/krb5.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "system/host/settings.h"
#include "system/kerberos/gss_host.h"
#include "system/kerberos/owners.h"
#include "winhost/host_services.h"

namespace winhost::system::kerberos {
namespace {

// A ticket that ends sooner than this is renewed before it is used: a search or an S4U2Self
// exchange started with it must not outlive it.
constexpr krb5_deltat kShortestUse = 300;

// The cache of one principal's tickets: MEMORY caches live as long as the process and are seen
// by nobody else.
std::string CacheName(const std::string& principal) {
  std::string name = "MEMORY:quentrel-";
  for (char c : principal) name += (std::isalnum(static_cast<unsigned char>(c)) != 0) ? c : '_';
  return name;
}

// Whether the cache holds a ticket-granting ticket of `principal` good for kShortestUse more.
bool HasTicket(krb5_context context, krb5_ccache cache, krb5_principal principal) {
  krb5_principal owner = nullptr;
  if (krb5_cc_get_principal(context, cache, &owner) != 0) return false;
  const bool same = krb5_principal_compare(context, owner, principal) != 0;
  krb5_free_principal(context, owner);
  if (!same) return false;
  krb5_creds wanted{};
  krb5_creds found{};
  wanted.client = principal;
  const krb5_data* realm = krb5_princ_realm(context, principal);
  if (krb5_build_principal_ext(context, &wanted.server, realm->length, realm->data, KRB5_TGS_NAME_SIZE,
                               KRB5_TGS_NAME, realm->length, realm->data, 0) != 0)
    return false;
  const krb5_error_code error = krb5_cc_retrieve_cred(context, cache, 0, &wanted, &found);
  krb5_free_principal(context, wanted.server);
  if (error != 0) return false;
  const bool lasting = found.times.endtime - static_cast<krb5_timestamp>(std::time(nullptr)) > kShortestUse;
  krb5_free_cred_contents(context, &found);
  return lasting;
}

// Serialises the renewal of a cache, so that threads asking at once get one ticket. A thread whose
// ticket is there and current does not take it: only those that would ask the KDC themselves wait
// for the one that is asking.
std::mutex& RenewalLock() {
  static std::mutex* lock = new std::mutex();
  return *lock;
}

// Bumped by ForgetServiceTickets; the tickets of an older generation are not used again.
std::atomic<unsigned> forgetting{0};
std::atomic<unsigned> renewed{0};  // the generation of the last renewal, written under the renewal lock

}  // namespace

DWORD KdcError(long code) {
  return code == ENOMEM ? static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY) : static_cast<DWORD>(ERROR_NO_LOGON_SERVERS);
}

std::optional<std::string> ServicePrincipal(const std::string& realm) {
  if (realm.empty()) return std::nullopt;
  if (const std::optional<std::string> chosen = host::GivenSetting(host::SettingId::kServicePrincipal)) {
    std::string principal = *chosen;
    if (principal.find('@') == std::string::npos) principal += "@" + realm;
    if (RealmOf(principal) != realm) return std::nullopt;
    return principal;
  }
  Krb5Context krb5;
  if (krb5.error() != 0) return std::nullopt;
  krb5_keytab keytab = nullptr;
  if (krb5_kt_default(krb5.get(), &keytab) != 0) return std::nullopt;
  std::optional<std::string> first;
  std::optional<std::string> account;
  krb5_kt_cursor cursor;
  if (krb5_kt_start_seq_get(krb5.get(), keytab, &cursor) == 0) {
    krb5_keytab_entry entry;
    while (!account && krb5_kt_next_entry(krb5.get(), keytab, &entry, &cursor) == 0) {
      char* text = nullptr;
      if (krb5_unparse_name(krb5.get(), entry.principal, &text) == 0) {
        if (RealmOf(text) == realm) {
          if (!first) first = text;
          if (krb5_princ_size(krb5.get(), entry.principal) == 1) account = text;
        }
        krb5_free_unparsed_name(krb5.get(), text);
      }
      krb5_free_keytab_entry_contents(krb5.get(), &entry);
    }
    krb5_kt_end_seq_get(krb5.get(), keytab, &cursor);
  }
  krb5_kt_close(krb5.get(), keytab);
  return account ? account : first;
}

DWORD ServiceTickets(const std::string& principal, std::string& cacheName) {
  cacheName = CacheName(principal);
  Krb5Context krb5;
  if (krb5.error() != 0) return KdcError(krb5.error());
  krb5_context context = krb5.get();
  krb5_principal client = nullptr;
  if (krb5_error_code error = krb5_parse_name(context, principal.c_str(), &client); error != 0) return KdcError(error);
  krb5_ccache cache = nullptr;
  krb5_error_code error = krb5_cc_resolve(context, cacheName.c_str(), &cache);
  std::unique_lock<std::mutex> guard(RenewalLock(), std::defer_lock);
  // A memory cache locks itself for each read, so the ticket can be looked at while another
  // thread renews it; a ticket found short or missing is looked at again under the lock.
  unsigned generation = forgetting.load();
  if (error == 0 && (generation != renewed.load() || !HasTicket(context, cache, client))) {
    guard.lock();
    generation = forgetting.load();
  }
  if (guard.owns_lock() && (generation != renewed.load() || !HasTicket(context, cache, client))) {
    if (auto fault = Enter(Call{"krb5_get_init_creds_keytab", {{"principal", principal}}})) {
      error = static_cast<krb5_error_code>(*fault);
    } else {
      krb5_keytab keytab = nullptr;
      error = krb5_kt_default(context, &keytab);
      krb5_creds creds{};
      if (error == 0) error = krb5_get_init_creds_keytab(context, &creds, client, keytab, 0, nullptr, nullptr);
      if (error == 0) {
        error = krb5_cc_initialize(context, cache, client);
        if (error == 0) error = krb5_cc_store_cred(context, cache, &creds);
        krb5_free_cred_contents(context, &creds);
      }
      if (keytab != nullptr) krb5_kt_close(context, keytab);
    }
    if (error == 0) renewed.store(generation);
  }
  if (cache != nullptr) krb5_cc_close(context, cache);
  krb5_free_principal(context, client);
  return error == 0 ? static_cast<DWORD>(ERROR_SUCCESS) : KdcError(error);
}

void ForgetServiceTickets() { forgetting.fetch_add(1); }

DWORD ServiceCredential(const std::string& principal, GssCredential& credential) {
  credential.reset();
  std::string cacheName;
  if (DWORD error = ServiceTickets(principal, cacheName); error != ERROR_SUCCESS) return error;
  OM_uint32 minor = 0;
  gss_buffer_desc text{principal.size(), const_cast<char*>(principal.data())};
  GssName name;
  OM_uint32 major = Fault("gss_import_name", minor);
  if (major == GSS_S_COMPLETE) major = gss_import_name(&minor, &text, GSS_KRB5_NT_PRINCIPAL_NAME, name.out());
  if (GSS_ERROR(major)) return KdcError(minor);
  gss_key_value_element_desc element{"ccache", cacheName.c_str()};
  gss_key_value_set_desc store{1, &element};
  gss_OID_desc krb5Oid = *gss_mech_krb5;
  gss_OID_set_desc mechanisms{1, &krb5Oid};
  major = Fault("gss_acquire_cred_from", minor);
  if (major == GSS_S_COMPLETE)
    major = gss_acquire_cred_from(&minor, name.get(), GSS_C_INDEFINITE, &mechanisms, GSS_C_INITIATE, &store,
                                  credential.out(), nullptr, nullptr);
  if (GSS_ERROR(major)) {
    Trace("gss_acquire_cred_from", major, minor, gss_mech_krb5);
    credential.reset();
    return KdcError(minor);
  }
  return ERROR_SUCCESS;
}

}  // namespace winhost::system::kerberos
