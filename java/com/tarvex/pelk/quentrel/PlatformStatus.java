package com.tarvex.pelk.quentrel;

import java.util.Map;

/**
 * Windows statuses in words. The Java API reports a platform failure as "Platform error:
 * xxxxxxxx"; this gives the status's Windows name and a sentence of its usual cause and remedy,
 * to be shown beside that message (in a log line, a report), never instead of it.
 */
public final class PlatformStatus {
  private static final String PREFIX = "Platform error: ";
  private static final Map<Integer, String[]> WORDS = Map.ofEntries(
      entry(0x80090322, "SEC_E_WRONG_PRINCIPAL", "the client's ticket is for a service key this server does not"
          + " hold (another SPN, or another key version than the keytab's): make the keytab again after the"
          + " account's last password change"),
      entry(0x80090324, "SEC_E_TIME_SKEW", "the client's clock and this server's differ by more than Kerberos"
          + " allows (5 minutes by default): run NTP on both against the domain's controllers"),
      entry(0x80090303, "SEC_E_TARGET_UNKNOWN", "the KDC knows no such service: register the SPN, or use the"
          + " name it is registered under"),
      entry(0x80090305, "SEC_E_SECPKG_NOT_FOUND", "the security package is not available here (NTLM from a"
          + " client outside the domain, or without gss-ntlmssp): sign on with Kerberos from a domain member"),
      entry(0x8009030e, "SEC_E_NO_CREDENTIALS", "no credentials: a server without a keytab it can read, a"
          + " client without a ticket (kinit), or a second hop for a client that delegated nothing (it forwarded no"
          + " ticket, as under Credential Guard, or it is in Protected Users or sensitive and cannot be delegated)"),
      entry(0x8009035e, "SEC_E_DELEGATION_POLICY", "the domain would not delegate the client to that service:"
          + " it is not among the services this one may delegate to (msDS-AllowedToDelegateTo), or the client is"
          + " in Protected Users or marked sensitive and cannot be delegated"),
      entry(0x80090346, "SEC_E_BAD_BINDINGS", "the client's token is bound to another TLS channel than this one (a"
          + " token relayed from another server), or carries no channel binding where the site requires one"),
      entry(0x8009030c, "SEC_E_LOGON_DENIED", "the logon was refused: a replayed token, or a client name that"
          + " maps to no Windows name"),
      entry(0x80090311, "SEC_E_NO_AUTHENTICATING_AUTHORITY", "no KDC answered: check krb5.conf's realm, the"
          + " domain's DNS records and port 88"),
      entry(0x80090308, "SEC_E_INVALID_TOKEN", "the token is not one of the package's: another scheme, or a"
          + " token cut on its way"),
      entry(0x8009030f, "SEC_E_MESSAGE_ALTERED", "a protected message failed its integrity check"),
      entry(0x80090301, "SEC_E_INVALID_HANDLE", "the handle names no credential or context"),
      entry(0x80090300, "SEC_E_INSUFFICIENT_MEMORY", "the system ran out of memory"),
      entry(0x00000522, "ERROR_PRIVILEGE_NOT_HELD", "switching identities needs root, or CAP_SETUID and"
          + " CAP_SETGID"),
      entry(0x00000534, "ERROR_NONE_MAPPED", "no account has that name or SID"),
      entry(0x00000005, "ERROR_ACCESS_DENIED", "the process may not do this (file rights, or the account's)"));

  private PlatformStatus() {}

  private static Map.Entry<Integer, String[]> entry(int code, String name, String cause) {
    return Map.entry(code, new String[] {name, cause});
  }

  /** The status a "Platform error: xxxxxxxx" message carries; null for any other message. */
  public static Integer codeOf(String message) {
    if (message == null || !message.startsWith(PREFIX) || message.length() != PREFIX.length() + 8) {
      return null;
    }
    try {
      return Integer.parseUnsignedInt(message.substring(PREFIX.length()), 16);
    } catch (NumberFormatException notHex) {
      return null;
    }
  }

  /** The Windows name of a status, such as "SEC_E_TIME_SKEW"; null when this table has none. */
  public static String name(int code) {
    String[] words = WORDS.get(code);
    return words == null ? null : words[0];
  }

  /**
   * "NAME: cause and remedy" for the status of a "Platform error: xxxxxxxx" message; null for
   * another message or a status without words here.
   */
  public static String explain(String message) {
    Integer code = codeOf(message);
    String[] words = code == null ? null : WORDS.get(code);
    return words == null ? null : words[0] + ": " + words[1];
  }

  /** The message with its words beside it, as one line: "Platform error: 80090324 (SEC_E_TIME_SKEW: ...)". */
  public static String withWords(String message) {
    String words = explain(message);
    return words == null ? message : message + " (" + words + ")";
  }
}
