// The flags of a context's exchange: what a Windows caller asks for and is given, in GSSAPI's bits
// and back.
#include <gssapi/gssapi.h>

#include <iterator>

#include "system/kerberos/gss_host.h"

namespace winhost::system::kerberos {
namespace {

struct FlagPair {
  ULONG windows;
  OM_uint32 gss;
};

// ISC_REQ/ISC_RET and GSSAPI's flags; the ASC values are the same bits but for integrity and
// identification, which the server's table gives.
const FlagPair kClientFlags[] = {
    {ISC_REQ_DELEGATE, GSS_C_DELEG_FLAG},        {ISC_REQ_MUTUAL_AUTH, GSS_C_MUTUAL_FLAG},
    {ISC_REQ_REPLAY_DETECT, GSS_C_REPLAY_FLAG},  {ISC_REQ_SEQUENCE_DETECT, GSS_C_SEQUENCE_FLAG},
    {ISC_REQ_CONFIDENTIALITY, GSS_C_CONF_FLAG},  {ISC_REQ_INTEGRITY, GSS_C_INTEG_FLAG},
    {ISC_REQ_IDENTIFY, GSS_C_IDENTIFY_FLAG},     {ISC_REQ_USE_DCE_STYLE, GSS_C_DCE_STYLE},
};
const FlagPair kServerFlags[] = {
    {ASC_RET_DELEGATE, GSS_C_DELEG_FLAG},        {ASC_RET_MUTUAL_AUTH, GSS_C_MUTUAL_FLAG},
    {ASC_RET_REPLAY_DETECT, GSS_C_REPLAY_FLAG},  {ASC_RET_SEQUENCE_DETECT, GSS_C_SEQUENCE_FLAG},
    {ASC_RET_CONFIDENTIALITY, GSS_C_CONF_FLAG},  {ASC_RET_INTEGRITY, GSS_C_INTEG_FLAG},
    {ASC_RET_IDENTIFY, GSS_C_IDENTIFY_FLAG},
};

}  // namespace

OM_uint32 GssFlags(ULONG requested) {
  OM_uint32 flags = 0;
  for (const FlagPair& pair : kClientFlags)
    if (requested & pair.windows) flags |= pair.gss;
  // As Windows' Kerberos does, a client forwards its ticket-granting ticket only to a service the
  // KDC marks as trusted for delegation (ok-as-delegate), whatever the caller asks.
  if (flags & GSS_C_DELEG_FLAG) flags = (flags & ~GSS_C_DELEG_FLAG) | GSS_C_DELEG_POLICY_FLAG;
  return flags;
}

ULONG WindowsFlags(OM_uint32 agreed, ULONG requested, bool client) {
  ULONG flags = 0;
  const FlagPair* table = client ? kClientFlags : kServerFlags;
  const size_t count = client ? std::size(kClientFlags) : std::size(kServerFlags);
  for (size_t i = 0; i < count; ++i)
    if (agreed & table[i].gss) flags |= table[i].windows;
  const ULONG connection = client ? ISC_REQ_CONNECTION : ASC_REQ_CONNECTION;
  if (requested & connection) flags |= connection;
  return flags;
}

}  // namespace winhost::system::kerberos
