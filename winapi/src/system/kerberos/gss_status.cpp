// GSSAPI statuses as Windows' own, and the trace an administrator can switch on.
//
// The routine error of the major status says most: no credentials, a defective token, a bad
// signature. A GSS_S_FAILURE carries the mechanism's reason in the minor status, which for krb5
// is a Kerberos error code; those that a user meets (no ticket, a clock skewed, a wrong key
// version, an unknown service, a replayed authenticator, no KDC) get Windows' status for them.
//
// Under SPNEGO the minor status is krb5's code renumbered: GSSAPI gives each (mechanism, code)
// pair a number of its own, and krb5 holds the code's number first. The number still displays as
// krb5's message for the code, which krb5 keeps per thread for its last error; so the code is the
// one of the table whose own message, displayed right away on the same thread, is the same text.
#include <gssapi/gssapi_krb5.h>
#include <krb5/krb5.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "system/host/trace.h"
#include "system/kerberos/gss_host.h"

namespace winhost::system::kerberos {
namespace {

struct MinorStatus {
  long code;
  SECURITY_STATUS status;
};

// Kerberos errors in the minor status, with what Windows answers for the same failure.
const MinorStatus kMinorStatuses[] = {
    {KRB5KRB_AP_ERR_SKEW, SEC_E_TIME_SKEW},
    {KRB5KRB_AP_ERR_TKT_NYV, SEC_E_TIME_SKEW},
    {KRB5KRB_AP_ERR_TKT_EXPIRED, SEC_E_CONTEXT_EXPIRED},
    // A server that cannot decrypt the ticket: its key is not the one the KDC used.
    {KRB5KRB_AP_ERR_BADKEYVER, SEC_E_WRONG_PRINCIPAL},
    {KRB5KRB_AP_ERR_MODIFIED, SEC_E_WRONG_PRINCIPAL},
    // The same name and version, another key: a KDC that is not the one the keytab came from.
    {KRB5KRB_AP_ERR_BAD_INTEGRITY, SEC_E_WRONG_PRINCIPAL},
    {KRB5KRB_AP_ERR_NOKEY, SEC_E_WRONG_PRINCIPAL},
    {KRB5KRB_AP_ERR_NOT_US, SEC_E_WRONG_PRINCIPAL},
    {KRB5KRB_AP_WRONG_PRINC, SEC_E_WRONG_PRINCIPAL},
    {KRB5_KT_KVNONOTFOUND, SEC_E_WRONG_PRINCIPAL},
    // An authenticator seen before is a logon nobody may repeat.
    {KRB5KRB_AP_ERR_REPEAT, SEC_E_LOGON_DENIED},
    {KRB5KDC_ERR_S_PRINCIPAL_UNKNOWN, SEC_E_TARGET_UNKNOWN},
    {KRB5KDC_ERR_C_PRINCIPAL_UNKNOWN, SEC_E_LOGON_DENIED},
    {KRB5KDC_ERR_CLIENT_REVOKED, SEC_E_LOGON_DENIED},
    {KRB5KDC_ERR_PREAUTH_FAILED, SEC_E_LOGON_DENIED},
    {KRB5KDC_ERR_KEY_EXP, SEC_E_LOGON_DENIED},
    // No ticket in the cache, or no cache at all.
    {KRB5_FCC_NOFILE, SEC_E_NO_CREDENTIALS},
    {KRB5_CC_NOTFOUND, SEC_E_NO_CREDENTIALS},
    {KRB5_CC_END, SEC_E_NO_CREDENTIALS},
    {KRB5_CC_NOSUPP, SEC_E_NO_CREDENTIALS},
    {KRB5_CC_BADNAME, SEC_E_NO_CREDENTIALS},
    {KRB5_KT_NOTFOUND, SEC_E_NO_CREDENTIALS},
    {KRB5_KT_END, SEC_E_NO_CREDENTIALS},
    {KRB5_CONFIG_NODEFREALM, SEC_E_NO_CREDENTIALS},
    // Nobody to ask for a ticket.
    {KRB5_BAD_MSIZE, SEC_E_BUFFER_TOO_SMALL},
    {KRB5_KDC_UNREACH, SEC_E_NO_AUTHENTICATING_AUTHORITY},
    {KRB5_REALM_UNKNOWN, SEC_E_NO_AUTHENTICATING_AUTHORITY},
    {KRB5_REALM_CANT_RESOLVE, SEC_E_NO_AUTHENTICATING_AUTHORITY},
};

// Every message gss_display_status gives for one status, joined by "; ".
std::string StatusText(OM_uint32 code, int type, gss_OID mechanism) {
  std::string text;
  OM_uint32 context = 0;
  do {
    OM_uint32 minor = 0;
    GssBuffer message;
    if (GSS_ERROR(gss_display_status(&minor, code, type, mechanism, &context, message.out()))) break;
    if (!text.empty()) text += "; ";
    text.append(static_cast<const char*>(message->value), message->length);
  } while (context != 0);
  return text;
}

// The Windows status of a Kerberos error in the minor status, if it is one the table knows.
std::optional<SECURITY_STATUS> KnownMinor(OM_uint32 minor) {
  if (minor == 0) return std::nullopt;
  for (const MinorStatus& known : kMinorStatuses)
    if (static_cast<OM_uint32>(known.code) == minor) return known.status;
  // A missing keytab file or ticket cache shows only as the system's error.
  if (minor == ENOENT || minor == EACCES) return SEC_E_NO_CREDENTIALS;
  const std::string text = StatusText(minor, GSS_C_MECH_CODE, GSS_C_NO_OID);
  if (text.empty()) return std::nullopt;
  for (const MinorStatus& known : kMinorStatuses)
    if (StatusText(static_cast<OM_uint32>(known.code), GSS_C_MECH_CODE, gss_mech_krb5) == text) return known.status;
  for (OM_uint32 error : {ENOENT, EACCES})
    if (StatusText(error, GSS_C_MECH_CODE, gss_mech_krb5) == text) return SEC_E_NO_CREDENTIALS;
  return std::nullopt;
}

}  // namespace

bool MinorIs(OM_uint32 minor, long code) {
  if (minor == 0) return false;
  if (minor == static_cast<OM_uint32>(code)) return true;
  const std::string text = StatusText(minor, GSS_C_MECH_CODE, GSS_C_NO_OID);
  return !text.empty() && StatusText(static_cast<OM_uint32>(code), GSS_C_MECH_CODE, gss_mech_krb5) == text;
}

SECURITY_STATUS StatusOf(OM_uint32 major, OM_uint32 minor, bool accepting) {
  if (!GSS_ERROR(major)) return major & GSS_S_CONTINUE_NEEDED ? SEC_I_CONTINUE_NEEDED : SEC_E_OK;
  // A message whose checksum fails is altered, whatever krb5 calls the failure: its integrity
  // error also stands for a ticket made with another key, which the table gives another status.
  if (GSS_ROUTINE_ERROR(major) == GSS_S_BAD_SIG) return SEC_E_MESSAGE_ALTERED;
  if (std::optional<SECURITY_STATUS> known = KnownMinor(minor)) return *known;
  switch (GSS_ROUTINE_ERROR(major)) {
    case GSS_S_BAD_MECH:
      return SEC_E_SECPKG_NOT_FOUND;
    case GSS_S_BAD_NAME:
    case GSS_S_BAD_NAMETYPE:
      return accepting ? SEC_E_WRONG_PRINCIPAL : SEC_E_TARGET_UNKNOWN;
    case GSS_S_BAD_BINDINGS:
      return SEC_E_BAD_BINDINGS;
    case GSS_S_BAD_SIG:
      return SEC_E_MESSAGE_ALTERED;
    case GSS_S_NO_CRED:
      return SEC_E_NO_CREDENTIALS;
    case GSS_S_NO_CONTEXT:
      return SEC_E_INVALID_HANDLE;
    case GSS_S_DEFECTIVE_TOKEN:
      return SEC_E_INVALID_TOKEN;
    case GSS_S_DEFECTIVE_CREDENTIAL:
      return SEC_E_UNKNOWN_CREDENTIALS;
    case GSS_S_CREDENTIALS_EXPIRED:
      return SEC_E_NO_CREDENTIALS;
    case GSS_S_CONTEXT_EXPIRED:
      return SEC_E_CONTEXT_EXPIRED;
    case GSS_S_BAD_QOP:
      return SEC_E_QOP_NOT_SUPPORTED;
    case GSS_S_UNAUTHORIZED:
      return SEC_E_LOGON_DENIED;
    case GSS_S_UNAVAILABLE:
      return SEC_E_UNSUPPORTED_FUNCTION;
    case GSS_S_DUPLICATE_ELEMENT:
    case GSS_S_NAME_NOT_MN:
    case GSS_S_FAILURE:
    default:
      // A server that cannot make sense of what the client sent refuses the logon.
      return accepting ? SEC_E_LOGON_DENIED : SEC_E_INTERNAL_ERROR;
  }
}

void Trace(const char* function, OM_uint32 major, OM_uint32 minor, gss_OID mechanism) {
  if (!host::TraceOn()) return;
  const std::string majorText = StatusText(major, GSS_C_GSS_CODE, GSS_C_NO_OID);
  const std::string minorText = minor != 0 ? StatusText(minor, GSS_C_MECH_CODE, mechanism) : std::string();
  char codes[64];
  std::snprintf(codes, sizeof codes, "major 0x%08x, minor %u", static_cast<unsigned>(major), static_cast<unsigned>(minor));
  host::Trace(std::string(function) + " failed: " + majorText + " (" + codes +
                (minorText.empty() ? std::string() : ": " + minorText) + ")");
}

void TraceRefusal(const char* what, const char* why) {
  // Names in the text are anybody's: the trace shows them escaped.
  host::Trace(std::string(what) + " refused: " + why);
}

OM_uint32 Fault(const char* function, OM_uint32& minor) {
  const std::optional<uint32_t> fault = Enter(Call{function, {}});
  if (!fault) return GSS_S_COMPLETE;
  minor = 0;
  return GSS_ERROR(*fault) ? *fault : GSS_S_FAILURE;
}

SECURITY_STATUS Failed(const char* function, OM_uint32 major, OM_uint32 minor, gss_OID mechanism, bool accepting) {
  Trace(function, major, minor, mechanism);
  return StatusOf(major, minor, accepting);
}

}  // namespace winhost::system::kerberos
