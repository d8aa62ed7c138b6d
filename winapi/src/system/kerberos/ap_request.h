// The AP-REQ in an acceptor's token: a bare one, one framed as a krb5 token (either OID), or one
// inside SPNEGO's first or later message. The replay check identifies its authenticator; a server
// keeps its ticket as evidence for a second hop.
#pragma once

#include <gssapi/gssapi.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "system/kerberos/der.h"

namespace winhost::system::kerberos {

// The AP-REQ element ([APPLICATION 14] onward) in `token`; none when it holds none.
std::optional<Der> FindApReq(const uint8_t* token, size_t length);

// A first token whose AP-REQ a Kerberos acceptor may take itself: a krb5 token (either OID), bare
// or as the optimistic token of a SPNEGO NegTokenInit that lists krb5 first and carries no
// mechListMIC. `framing` is the OID the krb5 token came under, `supported` the one SPNEGO's reply
// names (the first listed), both DER contents.
struct FirstToken {
  Der apReq;
  Der framing;
  Der supported;
  bool spnego = false;
};
std::optional<FirstToken> FirstTokenOf(const uint8_t* token, size_t length);

// The client's ticket ([APPLICATION 1], DER) in the AP-REQ of `token`; none without one.
std::optional<std::vector<uint8_t>> TicketOf(const gss_buffer_desc& token);

}  // namespace winhost::system::kerberos
