// A Kerberos sign-on accepted on the thread's own krb5 context: see direct_acceptor.h.
#include "system/kerberos/direct_acceptor.h"

#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>

#include <cstring>
#include <ctime>

#include "common/text.h"
#include "system/host/settings.h"
#include "system/kerberos/ap_request.h"
#include "system/kerberos/byte_order.h"
#include "system/kerberos/gss_host.h"
#include "system/kerberos/replay.h"

namespace winhost::system::kerberos {
namespace {

// The GSSAPI checksum of a krb5 authenticator: its type, and its length without delegation or
// extensions (Lgth, the channel bindings' hash, the flags).
constexpr krb5_cksumtype kGssChecksum = 0x8003;
constexpr unsigned kPlainChecksumLength = 24;
constexpr OM_uint32 kTakenFlags = GSS_C_MUTUAL_FLAG | GSS_C_REPLAY_FLAG | GSS_C_SEQUENCE_FLAG | GSS_C_IDENTIFY_FLAG;

// The session keys RFC 4121's tokens serve: AES with SHA-1 and with SHA-2.
bool TokensServe(krb5_enctype enctype) {
  return enctype == ENCTYPE_AES128_CTS_HMAC_SHA1_96 || enctype == ENCTYPE_AES256_CTS_HMAC_SHA1_96 ||
         enctype == ENCTYPE_AES128_CTS_HMAC_SHA256_128 || enctype == ENCTYPE_AES256_CTS_HMAC_SHA384_192;
}

// The AP-REQ's options and its authenticator's encryption type, the session key's:
// AP-REQ ::= [APPLICATION 14] SEQUENCE { pvno [0], msg-type [1], ap-options [2] BIT STRING,
// ticket [3], authenticator [4] EncryptedData { etype [0] INTEGER, ... } }.
bool Plain(Der request) {
  Der contents, sequence, options, bits, authenticator, encrypted, etypeField, etype;
  if (!request.Expect(0x6E, contents) || !contents.Expect(0x30, sequence) || !sequence.Field(2, options) ||
      !options.Expect(0x03, bits) || !sequence.Field(4, authenticator) || !authenticator.Expect(0x30, encrypted) ||
      !encrypted.Field(0, etypeField) || !etypeField.Expect(0x02, etype) || etype.left == 0 || etype.left > 2)
    return false;
  // use-session-key (user to user) is bit 1: the ticket is under another key than the keytab's.
  if (bits.left >= 2 && (bits.at[1] & 0x40) != 0) return false;
  long value = 0;
  for (size_t i = 0; i < etype.left; ++i) value = (value << 8) | etype.at[i];
  return TokensServe(static_cast<krb5_enctype>(value));
}

void AppendLength(std::vector<uint8_t>& out, size_t length) {
  if (length < 0x80) {
    out.push_back(static_cast<uint8_t>(length));
    return;
  }
  uint8_t bytes[sizeof(size_t)];
  size_t count = 0;
  for (size_t left = length; left != 0; left >>= 8) bytes[count++] = static_cast<uint8_t>(left);
  out.push_back(static_cast<uint8_t>(0x80 | count));
  while (count > 0) out.push_back(bytes[--count]);
}

std::vector<uint8_t> Element(uint8_t tag, const std::vector<uint8_t>& contents) {
  std::vector<uint8_t> out{tag};
  AppendLength(out, contents.size());
  out.insert(out.end(), contents.begin(), contents.end());
  return out;
}

std::vector<uint8_t> Bytes(const Der& der) { return std::vector<uint8_t>(der.at, der.at + der.left); }

// The reply: a krb5 token under the OID the client's came under, an AP-REP (02 00) when it asked to
// be shown the server, and under SPNEGO a NegTokenResp that completes with krb5 as the client listed
// it first: { negState [0] accept-completed, supportedMech [1], responseToken [2] }.
std::vector<uint8_t> Reply(const FirstToken& first, const krb5_data* apRep) {
  std::vector<uint8_t> framed;
  if (apRep != nullptr) {
    std::vector<uint8_t> inner = Element(0x06, Bytes(first.framing));
    inner.push_back(0x02);
    inner.push_back(0x00);
    inner.insert(inner.end(), apRep->data, apRep->data + apRep->length);
    framed = Element(0x60, inner);
  }
  if (!first.spnego) return framed;
  std::vector<uint8_t> response = Element(0xA0, {0x0A, 0x01, 0x00});
  const std::vector<uint8_t> mech = Element(0xA1, Element(0x06, Bytes(first.supported)));
  response.insert(response.end(), mech.begin(), mech.end());
  if (!framed.empty()) {
    const std::vector<uint8_t> token = Element(0xA2, Element(0x04, framed));
    response.insert(response.end(), token.begin(), token.end());
  }
  return Element(0xA1, Element(0x30, response));
}

// krb5 objects of one acceptance, freed with it.
struct Acceptance {
  krb5_context context;
  krb5_auth_context auth = nullptr;
  krb5_ticket* ticket = nullptr;
  krb5_authenticator* authenticator = nullptr;
  krb5_keyblock* subkey = nullptr;
  krb5_data apRep = {};
  krb5_authdata** pacs = nullptr;
  krb5_pac pac = nullptr;
  krb5_keytab_entry entry = {};
  bool haveEntry = false;
  char* client = nullptr;
  ~Acceptance() {
    if (client != nullptr) krb5_free_unparsed_name(context, client);
    if (haveEntry) krb5_free_keytab_entry_contents(context, &entry);
    if (pac != nullptr) krb5_pac_free(context, pac);
    if (pacs != nullptr) krb5_free_authdata(context, pacs);
    krb5_free_data_contents(context, &apRep);
    if (subkey != nullptr) krb5_free_keyblock(context, subkey);
    if (authenticator != nullptr) krb5_free_authenticator(context, authenticator);
    if (ticket != nullptr) krb5_free_ticket(context, ticket);
    if (auth != nullptr) krb5_auth_con_free(context, auth);
  }
};

// The GSSAPI flags of a plain checksum; none for one this path does not take (delegation, DCE
// style, extensions, another kind of checksum).
std::optional<OM_uint32> ChecksumFlags(const krb5_authenticator& authenticator) {
  const krb5_checksum* checksum = authenticator.checksum;
  if (checksum == nullptr || checksum->checksum_type != kGssChecksum || checksum->length != kPlainChecksumLength)
    return std::nullopt;
  const uint8_t* at = checksum->contents;
  const OM_uint32 flags = Le32(at + 20);
  if (Le32(at) != 16 || (flags & (GSS_C_DELEG_FLAG | GSS_C_DCE_STYLE)) != 0) return std::nullopt;
  return flags;
}

// The MD5 of channel bindings as an authenticator's checksum carries it: the initiator's address
// type, length and bytes, the acceptor's, then the application data's length and bytes, each
// number 4 bytes little-endian.
bool BindingsHash(krb5_context k, const gss_channel_bindings_struct& bindings, uint8_t (&hash)[16]) {
  std::vector<uint8_t> bytes;
  auto number = [&](size_t value) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
  };
  auto buffer = [&](const gss_buffer_desc& part) {
    number(part.length);
    const auto* at = static_cast<const uint8_t*>(part.value);
    if (part.length > 0) bytes.insert(bytes.end(), at, at + part.length);
  };
  number(bindings.initiator_addrtype);
  buffer(bindings.initiator_address);
  number(bindings.acceptor_addrtype);
  buffer(bindings.acceptor_address);
  buffer(bindings.application_data);
  krb5_data input = {0, static_cast<unsigned int>(bytes.size()), reinterpret_cast<char*>(bytes.data())};
  krb5_checksum sum = {};
  if (krb5_c_make_checksum(k, CKSUMTYPE_RSA_MD5, nullptr, 0, &input, &sum) != 0) return false;
  const bool made = sum.length == sizeof hash;
  if (made) std::memcpy(hash, sum.contents, sizeof hash);
  krb5_free_checksum_contents(k, &sum);
  return made;
}

// Whether the client is bound to the server's channel, or the server was given none. A client
// bound to another channel, or to none while the server has one, is left to GSSAPI, which
// answers each as it does.
bool BoundAlike(krb5_context k, const krb5_authenticator& authenticator, gss_channel_bindings_t bindings) {
  if (bindings == GSS_C_NO_CHANNEL_BINDINGS) return true;
  uint8_t hash[16];
  return BindingsHash(k, *bindings, hash) && std::memcmp(hash, authenticator.checksum->contents + 4, sizeof hash) == 0;
}

// The ticket's PAC into `pac` when its signature by the service's key and its client information
// hold; none when the ticket has no PAC. False for anything else (a PAC that does not verify, more
// than one, a key that cannot be found again): GSSAPI is to judge such a ticket.
bool ReadPac(Acceptance& a, krb5_keytab keytab, std::optional<std::vector<uint8_t>>& pac) {
  krb5_context k = a.context;
  const krb5_enc_tkt_part& part = *a.ticket->enc_part2;
  if (krb5_find_authdata(k, part.authorization_data, nullptr, KRB5_AUTHDATA_WIN2K_PAC, &a.pacs) != 0) return false;
  if (a.pacs == nullptr || a.pacs[0] == nullptr) return true;
  a.haveEntry = a.pacs[1] == nullptr && krb5_kt_get_entry(k, keytab, a.ticket->server, a.ticket->enc_part.kvno,
                                                          a.ticket->enc_part.enctype, &a.entry) == 0;
  if (!a.haveEntry || krb5_pac_parse(k, a.pacs[0]->contents, a.pacs[0]->length, &a.pac) != 0 ||
      krb5_pac_verify(k, a.pac, part.times.authtime, part.client, &a.entry.key, nullptr) != 0)
    return false;
  pac.emplace(a.pacs[0]->contents, a.pacs[0]->contents + a.pacs[0]->length);
  return true;
}

// Only AD-IF-RELEVANT at the top: an element of another kind may be one whose sense the acceptor
// must know, which GSSAPI's authorization-data modules are left to judge.
bool OnlyIfRelevant(krb5_authdata* const* elements) {
  for (; elements != nullptr && *elements != nullptr; ++elements)
    if ((*elements)->ad_type != KRB5_AUTHDATA_IF_RELEVANT) return false;
  return true;
}

bool Enabled() {
  return common::LowerAscii(host::TextSetting(host::SettingId::kKerberosAcceptor)) != "gssapi";
}

}  // namespace

DirectSession::DirectSession(krb5_context context, const krb5_keyblock& key, uint64_t sendSeq, uint64_t receiveSeq,
                             OM_uint32 flags, long long ticketEnd, bool subkeySent)
    : sendSeq_(sendSeq), next_(receiveSeq), flags_(flags), ticketEnd_(ticketEnd), subkeySent_(subkeySent) {
  if (krb5_k_create_key(context, &key, &key_) != 0) key_ = nullptr;
}

DirectSession::~DirectSession() {
  // A key holds no krb5 context: the thread's serves to free it, whichever thread that is.
  if (key_ != nullptr) krb5_k_free_key(ThreadKrb5Context().context, key_);
}

krb5_enctype DirectSession::Enctype() const { return key_ != nullptr ? krb5_k_key_enctype(ThreadKrb5Context().context, key_) : 0; }

bool DirectSession::Receive(uint64_t seq) {
  const bool replays = (flags_ & GSS_C_REPLAY_FLAG) != 0, sequence = (flags_ & GSS_C_SEQUENCE_FLAG) != 0;
  if (!replays && !sequence) return true;
  if (!any_ || seq >= next_) {
    const uint64_t ahead = any_ ? seq - next_ + 1 : 1;
    seen_ = ahead >= 64 ? 0 : seen_ << ahead;
    seen_ |= 1;
    next_ = seq + 1;
    any_ = true;
    return true;
  }
  const uint64_t behind = next_ - 1 - seq;
  if (sequence || behind >= 64 || (seen_ >> behind & 1) != 0) return false;
  seen_ |= uint64_t{1} << behind;
  return true;
}

std::optional<DirectAccepted> AcceptDirectly(const Credential& credential, const gss_buffer_desc& token,
                                             gss_channel_bindings_t bindings) {
  if (credential.keys.empty() || !ReplayStoreInUse() || !Enabled()) return std::nullopt;
  const std::optional<FirstToken> first = FirstTokenOf(static_cast<const uint8_t*>(token.value), token.length);
  const bool negotiate = credential.mechanism->package == "Negotiate";
  if (!first || first->spnego != negotiate || (!negotiate && credential.mechanism->package != "Kerberos") ||
      !Plain(first->apReq))
    return std::nullopt;
  const ThreadKrb5& thread = ThreadKrb5Context();
  krb5_keytab keytab = ThreadKeytab(credential.keys);
  if (keytab == nullptr) return std::nullopt;
  Acceptance a{thread.context};
  krb5_context k = thread.context;
  krb5_data request = {0, static_cast<unsigned int>(first->apReq.left),
                       const_cast<char*>(reinterpret_cast<const char*>(first->apReq.at))};
  krb5_flags options = 0;
  // Sequence numbers as GSSAPI keeps them; no replay cache of krb5's: ours checks every token.
  // A fault set for the decryption leaves the token to GSSAPI, as any failure here does.
  if (Enter(Call{"krb5_rd_req", {}}) || krb5_auth_con_init(k, &a.auth) != 0 ||
      krb5_auth_con_setflags(k, a.auth, KRB5_AUTH_CONTEXT_DO_SEQUENCE) != 0 ||
      krb5_rd_req(k, &a.auth, &request, nullptr, keytab, &options, &a.ticket) != 0 ||
      !OnlyIfRelevant(a.ticket->enc_part2->authorization_data) ||
      krb5_auth_con_getauthenticator(k, a.auth, &a.authenticator) != 0)
    return std::nullopt;
  const std::optional<OM_uint32> asked = ChecksumFlags(*a.authenticator);
  if (!asked || !BoundAlike(k, *a.authenticator, bindings) || krb5_auth_con_getrecvsubkey(k, a.auth, &a.subkey) != 0)
    return std::nullopt;
  const krb5_keyblock& key = a.subkey != nullptr ? *a.subkey : *a.ticket->enc_part2->session;
  if (!TokensServe(key.enctype)) return std::nullopt;
  // A client whose AP-REQ requires the AP-REP its checksum does not ask for is GSSAPI's to judge.
  const bool mutual = (*asked & GSS_C_MUTUAL_FLAG) != 0;
  if ((!mutual && (options & AP_OPTS_MUTUAL_REQUIRED) != 0) || (mutual && krb5_mk_rep(k, a.auth, &a.apRep) != 0))
    return std::nullopt;
  krb5_int32 local = 0, remote = 0;
  if (krb5_auth_con_getlocalseqnumber(k, a.auth, &local) != 0 || krb5_auth_con_getremoteseqnumber(k, a.auth, &remote) != 0 ||
      krb5_unparse_name(k, a.ticket->enc_part2->client, &a.client) != 0)
    return std::nullopt;
  DirectAccepted accepted;
  accepted.flags = (*asked & kTakenFlags) | GSS_C_CONF_FLAG | GSS_C_INTEG_FLAG | GSS_C_TRANS_FLAG |
                   (bindings != GSS_C_NO_CHANNEL_BINDINGS ? GSS_C_CHANNEL_BOUND_FLAG : 0);
  // Without an AP-REP the client learns no number of ours: this side numbers its tokens on from
  // the client's first number, as GSSAPI's acceptor does.
  const uint64_t send = mutual ? static_cast<uint32_t>(local) : static_cast<uint32_t>(remote);
  const krb5_ticket_times& times = a.ticket->enc_part2->times;
  accepted.session = std::make_unique<DirectSession>(k, key, send, static_cast<uint32_t>(remote), accepted.flags,
                                                     static_cast<long long>(static_cast<uint32_t>(times.endtime)),
                                                     mutual && a.subkey != nullptr);
  if (accepted.session->Key() == nullptr) return std::nullopt;
  const long long left = accepted.session->TicketEnd() + thread.skew - std::time(nullptr);
  accepted.lifetime = left > 0 ? static_cast<OM_uint32>(left) : 0;
  accepted.ticketFlags = a.ticket->enc_part2->flags;
  accepted.client = a.client;
  if (!ReadPac(a, keytab, accepted.pac)) return std::nullopt;
  accepted.out = Reply(*first, mutual ? &a.apRep : nullptr);
  return accepted;
}

}  // namespace winhost::system::kerberos
