// Rewrites the PAC of the service tickets in a ticket cache and signs it again with the service's
// key, as anyone who holds the keytab can: the domain tests' stand-in for a trusted domain's KDC,
// or for a KDC that names somebody else than the ticket's client.
//
//   pac_rewrite IN_CACHE OUT_CACHE KEYTAB CHANGE...
//
// Every ticket of IN_CACHE but the TGT is decrypted with KEYTAB, its logon information changed,
// the PAC signed again (server and KDC signatures with the service's key: an acceptor checks
// only the first) and the ticket encrypted again; OUT_CACHE then holds those tickets alone. The
// UPN_DNS_INFO is written again to agree, as the KDC that wrote the logon information would. The
// changes: name=EFFECTIVE_NAME, domain=LOGON_DOMAIN_NAME, domain-sid=SID (the requestor SID, when
// the PAC has one, follows), group=RID (one more group of the logon domain), extra-sid=SID, and
// client-realm=REALM (the ticket's and the cache's client in that realm, as a trusted realm's
// ticket would name it).
#include <krb5/krb5.h>

#include <cstdio>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "harness/pac/pac_encoder.h"
#include "common/sids.h"
#include "system/kerberos/pac.h"

extern "C" {
// libkrb5's own, exported for its KDC though not declared in krb5.h.
krb5_error_code encode_krb5_ticket(const krb5_ticket* ticket, krb5_data** out);
krb5_error_code krb5_encrypt_tkt_part(krb5_context context, const krb5_keyblock* key, krb5_ticket* ticket);
}

namespace {

constexpr uint32_t kLogonInfoBuffer = 1;
constexpr uint32_t kUpnDnsInfoBuffer = 12;
constexpr uint32_t kRequestorBuffer = 18;

krb5_context context;

void Check(krb5_error_code code, const char* what) {
  if (code == 0) return;
  const char* message = krb5_get_error_message(context, code);
  std::fprintf(stderr, "pac_rewrite: %s: %s\n", what, message);
  std::exit(1);
}

struct Changes {
  std::vector<std::pair<std::string, std::string>> items;
};

void Apply(const Changes& changes, winhost::system::kerberos::LogonInfo& logon, std::string& realm) {
  auto sidOf = [](const std::string& text) { return pactest::SidOf(text); };
  for (const auto& [what, value] : changes.items) {
    if (what == "name") {
      logon.effectiveName = std::u16string(value.begin(), value.end());
    } else if (what == "domain") {
      logon.logonDomainName = std::u16string(value.begin(), value.end());
    } else if (what == "domain-sid") {
      logon.logonDomainId = sidOf(value);
    } else if (what == "group") {
      logon.groupIds.push_back({static_cast<uint32_t>(std::stoul(value)), 7});
    } else if (what == "extra-sid") {
      logon.extraSids.push_back({sidOf(value), 7});
      logon.userFlags |= winhost::system::kerberos::kExtraSidsFlag;
    } else if (what == "client-realm") {
      realm = value;
    } else {
      std::fprintf(stderr, "pac_rewrite: unknown change %s\n", what.c_str());
      std::exit(2);
    }
  }
}

krb5_data Bytes(const std::vector<uint8_t>& bytes) {
  krb5_data data;
  data.magic = KV5M_DATA;
  data.length = static_cast<unsigned>(bytes.size());
  data.data = reinterpret_cast<char*>(const_cast<uint8_t*>(bytes.data()));
  return data;
}

// UPN_DNS_INFO as the KDC of `realm` writes it for the logon information's account: name@realm,
// the realm, and the SAM name and SID.
std::vector<uint8_t> UpnDnsInfo(const winhost::system::kerberos::LogonInfo& logon, const std::string& realm) {
  std::vector<uint8_t> out(24, 0);
  auto put16 = [&out](size_t at, size_t value) {
    out[at] = static_cast<uint8_t>(value);
    out[at + 1] = static_cast<uint8_t>(value >> 8);
  };
  auto append = [&out, &put16](size_t field, const std::vector<uint8_t>& bytes) {
    while (out.size() % 8 != 0) out.push_back(0);
    put16(field, bytes.size());
    put16(field + 2, out.size());
    out.insert(out.end(), bytes.begin(), bytes.end());
  };
  auto utf16 = [](const std::u16string& text) {
    std::vector<uint8_t> bytes;
    for (char16_t unit : text) bytes.insert(bytes.end(), {static_cast<uint8_t>(unit), static_cast<uint8_t>(unit >> 8)});
    return bytes;
  };
  std::u16string lower;
  for (char c : realm) lower.push_back(static_cast<char16_t>(std::tolower(static_cast<unsigned char>(c))));
  out[8] = winhost::system::kerberos::kUpnSamNameAndSid;
  append(0, utf16(logon.effectiveName + u"@" + lower));
  append(4, utf16(std::u16string(realm.begin(), realm.end())));
  append(12, utf16(logon.effectiveName));
  append(16, *winhost::common::WithRid(logon.logonDomainId, logon.userId));
  return out;
}

// A PAC like `old`, with the logon information (and requestor) changed, signed with `key`.
krb5_data NewPac(krb5_pac old, const Changes& changes, krb5_ticket* ticket, const krb5_keyblock* key,
                 std::string& realm) {
  krb5_data logonData;
  Check(krb5_pac_get_buffer(context, old, kLogonInfoBuffer, &logonData), "the PAC's logon information");
  auto logon = winhost::system::kerberos::DecodeLogonInfo(reinterpret_cast<uint8_t*>(logonData.data), logonData.length);
  krb5_free_data_contents(context, &logonData);
  if (!logon) Check(EINVAL, "decoding the logon information");
  Apply(changes, *logon, realm);
  if (realm.empty()) realm.assign(ticket->enc_part2->client->realm.data, ticket->enc_part2->client->realm.length);
  const std::vector<uint8_t> encoded = pactest::Encode(*logon).bytes;
  const std::vector<uint8_t> upn = UpnDnsInfo(*logon, realm);
  const std::vector<uint8_t> requestor = *winhost::common::WithRid(logon->logonDomainId, logon->userId);

  krb5_pac pac;
  Check(krb5_pac_init(context, &pac), "krb5_pac_init");
  krb5_ui_4* types = nullptr;
  size_t count = 0;
  Check(krb5_pac_get_types(context, old, &count, &types), "the PAC's buffers");
  for (size_t i = 0; i < count; ++i) {
    krb5_data data;
    if (types[i] == kLogonInfoBuffer) {
      data = Bytes(encoded);
    } else if (types[i] == kRequestorBuffer) {
      data = Bytes(requestor);
    } else if (types[i] == kUpnDnsInfoBuffer) {
      data = Bytes(upn);
    } else {
      Check(krb5_pac_get_buffer(context, old, types[i], &data), "a PAC buffer");
    }
    Check(krb5_pac_add_buffer(context, pac, types[i], &data), "krb5_pac_add_buffer");
    if (types[i] != kLogonInfoBuffer && types[i] != kRequestorBuffer && types[i] != kUpnDnsInfoBuffer)
      krb5_free_data_contents(context, &data);
  }
  free(types);
  krb5_principal client = ticket->enc_part2->client;
  krb5_data signedPac;
  Check(krb5_pac_sign(context, pac, ticket->enc_part2->times.authtime, client, key, key, &signedPac), "krb5_pac_sign");
  krb5_pac_free(context, pac);
  return signedPac;
}

// The ticket's authorization data with its PAC (inside AD-IF-RELEVANT) replaced by `signedPac`.
void ReplacePac(krb5_ticket* ticket, krb5_data signedPac) {
  krb5_authdata** data = ticket->enc_part2->authorization_data;
  for (size_t i = 0; data != nullptr && data[i] != nullptr; ++i) {
    if (data[i]->ad_type != KRB5_AUTHDATA_IF_RELEVANT) continue;
    krb5_authdata** inner = nullptr;
    Check(krb5_decode_authdata_container(context, KRB5_AUTHDATA_IF_RELEVANT, data[i], &inner), "AD-IF-RELEVANT");
    bool replaced = false;
    for (size_t j = 0; inner != nullptr && inner[j] != nullptr; ++j) {
      if (inner[j]->ad_type != KRB5_AUTHDATA_WIN2K_PAC) continue;
      free(inner[j]->contents);
      inner[j]->contents = reinterpret_cast<krb5_octet*>(signedPac.data);
      inner[j]->length = signedPac.length;
      replaced = true;
    }
    if (!replaced) {
      krb5_free_authdata(context, inner);
      continue;
    }
    krb5_authdata** container = nullptr;
    Check(krb5_encode_authdata_container(context, KRB5_AUTHDATA_IF_RELEVANT, inner, &container), "encoding AD-IF-RELEVANT");
    krb5_free_authdata(context, inner);
    std::swap(data[i], container[0]);
    krb5_free_authdata(context, container);
    return;
  }
  Check(ENOENT, "the ticket has no PAC");
}

// The ticket of `creds`, PAC changed and encrypted again; the client's realm changed when asked.
void Rewrite(krb5_creds& creds, krb5_keytab keytab, const Changes& changes) {
  krb5_ticket* ticket = nullptr;
  Check(krb5_decode_ticket(&creds.ticket, &ticket), "decoding a ticket");
  Check(krb5_server_decrypt_ticket_keytab(context, keytab, ticket), "decrypting a ticket with the keytab");
  krb5_keytab_entry entry;
  Check(krb5_kt_get_entry(context, keytab, ticket->server, ticket->enc_part.kvno, ticket->enc_part.enctype, &entry),
        "the service's key");
  krb5_authdata** found = nullptr;
  Check(krb5_find_authdata(context, ticket->enc_part2->authorization_data, nullptr, KRB5_AUTHDATA_WIN2K_PAC, &found),
        "the ticket's PAC");
  if (found == nullptr) Check(ENOENT, "the ticket has no PAC");
  krb5_pac old;
  Check(krb5_pac_parse(context, found[0]->contents, found[0]->length, &old), "krb5_pac_parse");
  krb5_free_authdata(context, found);
  std::string realm;
  for (const auto& [what, value] : changes.items)
    if (what == "client-realm") realm = value;
  if (!realm.empty()) {
    Check(krb5_set_principal_realm(context, ticket->enc_part2->client, realm.c_str()), "the ticket's client realm");
    Check(krb5_set_principal_realm(context, creds.client, realm.c_str()), "the cache's client realm");
  }
  std::string ignored;
  ReplacePac(ticket, NewPac(old, changes, ticket, &entry.key, ignored));
  krb5_pac_free(context, old);
  Check(krb5_encrypt_tkt_part(context, &entry.key, ticket), "encrypting the ticket");
  krb5_data* encoded = nullptr;
  Check(encode_krb5_ticket(ticket, &encoded), "encoding the ticket");
  krb5_free_data_contents(context, &creds.ticket);
  creds.ticket = *encoded;
  free(encoded);
  krb5_free_keytab_entry_contents(context, &entry);
  krb5_free_ticket(context, ticket);
}

bool IsTgt(krb5_const_principal server) {
  return server->length == 2 && server->data[0].length == 6 && std::memcmp(server->data[0].data, "krbtgt", 6) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: pac_rewrite IN_CACHE OUT_CACHE KEYTAB CHANGE...\n");
    return 2;
  }
  Changes changes;
  for (int i = 4; i < argc; ++i) {
    const char* equals = std::strchr(argv[i], '=');
    if (equals == nullptr) return 2;
    changes.items.emplace_back(std::string(static_cast<const char*>(argv[i]), equals), std::string(equals + 1));
  }
  Check(krb5_init_context(&context), "krb5_init_context");
  krb5_ccache in, out;
  krb5_keytab keytab;
  Check(krb5_cc_resolve(context, argv[1], &in), "the cache to read");
  Check(krb5_cc_resolve(context, argv[2], &out), "the cache to write");
  Check(krb5_kt_resolve(context, argv[3], &keytab), "the keytab");
  krb5_cc_cursor cursor;
  Check(krb5_cc_start_seq_get(context, in, &cursor), "reading the cache");
  krb5_creds creds;
  int rewritten = 0;
  while (krb5_cc_next_cred(context, in, &cursor, &creds) == 0) {
    if (!IsTgt(creds.server) && !krb5_is_config_principal(context, creds.server)) {
      Rewrite(creds, keytab, changes);
      if (rewritten++ == 0) Check(krb5_cc_initialize(context, out, creds.client), "krb5_cc_initialize");
      Check(krb5_cc_store_cred(context, out, &creds), "krb5_cc_store_cred");
    }
    krb5_free_cred_contents(context, &creds);
  }
  krb5_cc_end_seq_get(context, in, &cursor);
  krb5_cc_close(context, in);
  krb5_cc_close(context, out);
  krb5_kt_close(context, keytab);
  krb5_free_context(context);
  if (rewritten == 0) {
    std::fprintf(stderr, "pac_rewrite: no service ticket in %s\n", argv[1]);
    return 1;
  }
  return 0;
}
