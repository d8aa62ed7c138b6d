// A Kerberos sign-on accepted on the calling thread's own krb5 context, without GSSAPI.
//
// MIT's GSSAPI makes and frees a krb5 context in nearly every call, a dozen in one sign-on
// (acceptance, the client's name, its PAC, the releases), and each reads its settings through a
// lock that every thread of the process shares: so sign-ons on two cores ran no faster than on one.
// The common first token (a krb5 AP-REQ with an AES session key, bare or as SPNEGO's optimistic
// token, asking no delegation) is accepted here with krb5_rd_req on a context that the thread keeps,
// and the context's messages are protected with RFC 4121's tokens (cfx_tokens.cpp). Any other token,
// and any token this path cannot take to the end, goes to GSSAPI exactly as before: this path only
// accepts what GSSAPI would accept, and what it refuses is refused in GSSAPI's words.
#pragma once

#include <gssapi/gssapi.h>
#include <krb5/krb5.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "winhost/sspi.h"

namespace winhost::system::kerberos {

struct Credential;

// What an established context accepted this way keeps for its messages: the key they are protected
// with (the client's subkey, else the ticket's session key) and each direction's sequence numbers.
class DirectSession {
 public:
  DirectSession(krb5_context context, const krb5_keyblock& key, uint64_t sendSeq, uint64_t receiveSeq,
                OM_uint32 flags, long long ticketEnd, bool subkeySent);
  DirectSession(const DirectSession&) = delete;
  DirectSession& operator=(const DirectSession&) = delete;
  ~DirectSession();

  krb5_key Key() const { return key_; }
  krb5_enctype Enctype() const;
  OM_uint32 Flags() const { return flags_; }
  // Whether the AP-REP named the key this side's subkey (krb5_mk_rep names the client's subkey
  // so): this side's tokens then say that they are under the acceptor's subkey.
  bool SubkeySent() const { return subkeySent_; }
  // When the ticket the context rests on ends.
  long long TicketEnd() const { return ticketEnd_; }
  // The number of the next token this side sends.
  uint64_t NextSend() { return sendSeq_++; }
  // Whether a token numbered `seq` from the peer may be taken, noting it: never twice when replays
  // are detected, and never one older than the last when sequence is; a gap is no error.
  bool Receive(uint64_t seq);

 private:
  krb5_key key_ = nullptr;
  uint64_t sendSeq_;
  // The window of the last 64 numbers received, bit i for `next_ - 1 - i`.
  uint64_t next_;
  uint64_t seen_ = 0;
  bool any_ = false;
  OM_uint32 flags_;
  long long ticketEnd_;
  bool subkeySent_;
};

// ---- its messages, as RFC 4121's wrap tokens (cfx_tokens.cpp) --------------------------------
// Seals or signs `data` in place, as gss_wrap_iov does without a trailer buffer: the token buffer
// takes the token's header and, rotated into it, what follows the data; the padding buffer stays
// empty (AES in CTS mode needs none). Laid end to end they are one token any peer unwraps.
SECURITY_STATUS SealDirect(DirectSession& session, bool confidential, SecBuffer& token, SecBuffer& data,
                           SecBuffer* padding);
// Opens the client's token in `stream` in place; `data` then points at the message inside it.
SECURITY_STATUS OpenDirect(DirectSession& session, SecBuffer& stream, SecBuffer& data, bool& confidential);
// The token buffer a sealed (or signed) message needs.
size_t DirectHeaderLength(const DirectSession& session, bool confidential);

// What an acceptance on this path gives, as gss_accept_sec_context would have.
struct DirectAccepted {
  std::vector<uint8_t> out;  // the token for the client: an AP-REP, or SPNEGO's reply around it
  OM_uint32 flags = 0;       // GSSAPI's flags agreed
  OM_uint32 lifetime = 0;    // seconds to the ticket's end, and the clock skew past it
  std::string client;        // the client's principal as krb5 displays it
  // The ticket's PAC, its server signature and client information verified; none without a PAC.
  std::optional<std::vector<uint8_t>> pac;
  krb5_flags ticketFlags = 0;
  std::unique_ptr<DirectSession> session;
};

// Accepts a first token with the policy's memory keytab of `credential`, when the token is one this
// path takes and every check holds (a server given channel bindings: the client bound to them);
// none when GSSAPI is to accept it instead. Without a lock of ours: the thread's krb5 context is
// its own.
std::optional<DirectAccepted> AcceptDirectly(const Credential& credential, const gss_buffer_desc& token,
                                             gss_channel_bindings_t bindings);

}  // namespace winhost::system::kerberos
