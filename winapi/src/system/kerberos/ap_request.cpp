// The AP-REQ in an acceptor's token, and the client's ticket in it.
#include "system/kerberos/ap_request.h"

#include <cstring>

namespace winhost::system::kerberos {
namespace {

const uint8_t kKrb5Oid[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x12, 0x01, 0x02, 0x02};
const uint8_t kKrb5WrongOid[] = {0x2a, 0x86, 0x48, 0x82, 0xf7, 0x12, 0x01, 0x02, 0x02};
const uint8_t kSpnegoOid[] = {0x2b, 0x06, 0x01, 0x05, 0x05, 0x02};

template <size_t N>
bool Is(const Der& oid, const uint8_t (&value)[N]) {
  return oid.left == N && std::memcmp(oid.at, value, N) == 0;
}

// AP-REQ ::= [APPLICATION 14] SEQUENCE { ..., ticket [3] Ticket, ... }, Ticket ::= [APPLICATION 1].
std::optional<std::vector<uint8_t>> TicketOfApReq(Der token) {
  Der request, sequence, field, contents, whole;
  uint8_t tag = 0;
  if (!token.Expect(0x6E, request) || !request.Expect(0x30, sequence) || !sequence.Field(3, field) ||
      !field.Next(tag, contents, &whole) || tag != 0x61)
    return std::nullopt;
  return std::vector<uint8_t>(whole.at, whole.at + whole.left);
}

std::optional<Der> Find(Der token, bool underSpnego);

// The mechanism token of SPNEGO's NegTokenInit ([0]) or NegTokenResp ([1]): field [2] of either.
std::optional<Der> SpnegoToken(Der choice) {
  Der sequence, field, inner;
  if (!choice.Expect(0x30, sequence) || !sequence.Field(2, field) || !field.Expect(0x04, inner)) return std::nullopt;
  return Find(inner, true);
}

std::optional<Der> Find(Der token, bool underSpnego) {
  if (token.left == 0) return std::nullopt;
  if (token.at[0] == 0x6E) return token;
  if (token.at[0] == 0xA1 && !underSpnego) {
    Der response;
    return token.Expect(0xA1, response) ? SpnegoToken(response) : std::nullopt;
  }
  // A framed token: [APPLICATION 0] { mechanism OID, the mechanism's token }.
  Der framed, oid;
  if (!token.Expect(0x60, framed) || !framed.Expect(0x06, oid)) return std::nullopt;
  if (Is(oid, kKrb5Oid) || Is(oid, kKrb5WrongOid)) {
    // krb5's two-byte token id: 01 00 is an AP-REQ.
    if (framed.left < 2 || framed.at[0] != 0x01 || framed.at[1] != 0x00) return std::nullopt;
    return Der{framed.at + 2, framed.left - 2};
  }
  Der init;
  if (Is(oid, kSpnegoOid) && !underSpnego && framed.Expect(0xA0, init)) return SpnegoToken(init);
  return std::nullopt;
}

// A krb5 token framed whole: [APPLICATION 0] { OID, 01 00, AP-REQ } and nothing after it.
bool FramedKrb5(Der token, FirstToken& first) {
  Der framed;
  if (!token.Expect(0x60, framed) || token.left != 0 || !framed.Expect(0x06, first.framing)) return false;
  if (!Is(first.framing, kKrb5Oid) && !Is(first.framing, kKrb5WrongOid)) return false;
  if (framed.left < 2 || framed.at[0] != 0x01 || framed.at[1] != 0x00) return false;
  first.apReq = Der{framed.at + 2, framed.left - 2};
  Der request = first.apReq, contents;
  return request.Expect(0x6E, contents) && request.left == 0;
}

// NegTokenInit ::= SEQUENCE { mechTypes [0], reqFlags [1] OPTIONAL, mechToken [2] OPTIONAL,
// mechListMIC [3] OPTIONAL }.
bool OptimisticKrb5(Der token, FirstToken& first) {
  Der framed, oid, init, sequence, types, list, field, inner;
  if (!token.Expect(0x60, framed) || !framed.Expect(0x06, oid) || !Is(oid, kSpnegoOid) || !framed.Expect(0xA0, init) ||
      !init.Expect(0x30, sequence) || !sequence.Field(0, types) || !types.Expect(0x30, list) ||
      !list.Expect(0x06, first.supported) || sequence.Field(3, field) || !sequence.Field(2, field) ||
      !field.Expect(0x04, inner))
    return false;
  if (!Is(first.supported, kKrb5Oid) && !Is(first.supported, kKrb5WrongOid)) return false;
  first.spnego = true;
  return FramedKrb5(inner, first);
}

}  // namespace

std::optional<FirstToken> FirstTokenOf(const uint8_t* token, size_t length) {
  if (token == nullptr || length == 0) return std::nullopt;
  FirstToken first{};
  const Der whole{token, length};
  if (FramedKrb5(whole, first)) {
    first.supported = first.framing;
    return first;
  }
  first = FirstToken{};
  if (OptimisticKrb5(whole, first)) return first;
  return std::nullopt;
}

std::optional<Der> FindApReq(const uint8_t* token, size_t length) {
  if (token == nullptr) return std::nullopt;
  return Find(Der{token, length}, false);
}

std::optional<std::vector<uint8_t>> TicketOf(const gss_buffer_desc& token) {
  const std::optional<Der> request = FindApReq(static_cast<const uint8_t*>(token.value), token.length);
  return request ? TicketOfApReq(*request) : std::nullopt;
}

}  // namespace winhost::system::kerberos
