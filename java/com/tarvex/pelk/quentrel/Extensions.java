package com.tarvex.pelk.quentrel;

/**
 * Extensions: native operations beyond {@link SSPI}, {@link UserAuth} and {@link WinUtil}, whose
 * methods stay exactly as they are. Each extension works on the same handles and under the same
 * rules as the class it extends: a failure makes one {@link WinAuthException} pending, with a fixed
 * text or "Platform error: xxxxxxxx" and the platform's status. On Windows they call the system's
 * own security packages; on Linux the same calls reach the machine's Kerberos (GSSAPI).
 */
public final class Extensions {
  static {
    NativeLibrary.load();
  }

  /**
   * ASC_REQ_ALLOW_MISSING_BINDINGS, a server's flag for {@link #CreateBoundContext}: a client that
   * sends no channel bindings is taken; one whose bindings name another channel is still refused.
   * Without it a server bound to a channel takes only clients bound to the same channel.
   */
  public static final int ALLOW_MISSING_BINDINGS = 0x10000000;

  /**
   * A flag of {@link #GetDelegationLimit}: the client is in its domain's Protected Users, whose
   * members' tickets are never forwarded or delegated.
   */
  public static final int PROTECTED_USERS = 0x1;

  /**
   * A flag of {@link #GetDelegationLimit}: the client's account is marked "sensitive and cannot be
   * delegated" (UF_NOT_DELEGATED), so no service may act as it onward.
   */
  public static final int NOT_DELEGATED = 0x2;

  /**
   * A flag of {@link #GetDelegationLimit}: a controller of the client's domain gave the account's
   * flags, so a {@link #NOT_DELEGATED} left clear means the account may be delegated.
   */
  public static final int ACCOUNT_FLAGS_READ = 0x4;

  private Extensions() {}

  /**
   * Creates a security context as {@link SSPI#CreateContext} does, bound to the channel it runs
   * over: every step hands the package these channel bindings (the application data of the
   * channel's SEC_CHANNEL_BINDINGS, for TLS "tls-server-end-point:" and the digest of the server's
   * certificate). A server refuses, with SEC_E_BAD_BINDINGS (Platform error: 80090346), a client
   * whose bindings differ, and a client that sends none unless {@link #ALLOW_MISSING_BINDINGS} is
   * among its flags. The context is then used through {@link SSPI} like any other.
   *
   * @param client true for a client context, false for a server context
   * @param flags ISC_REQ_ values for a client; for a server only {@link #ALLOW_MISSING_BINDINGS} counts
   * @param packageName the security package; null or empty selects "Negotiate"
   * @param targetName the target of a client context, as for {@link SSPI#CreateContext}
   * @param channelBindings the channel's application data, at most 12288 bytes
   * @return the new context's handle
   * @throws WinAuthException "Channel bindings cannot be null", "Channel bindings too long", or
   *     whatever {@link SSPI#CreateContext} throws
   */
  public static native int CreateBoundContext(boolean client, int flags, String packageName, String targetName, byte[] channelBindings) throws WinAuthException;

  /**
   * When an established context's authentication ends: for Kerberos the end of the client's
   * ticket. A session that rests on the context should end no later.
   *
   * @param handle an established context, client or server
   * @return milliseconds since 1970-01-01 UTC, or {@link Long#MAX_VALUE} for a context that never
   *     expires
   * @throws WinAuthException "Invalid handle", "Invalid state" for a context not yet established,
   *     or the package's status when it cannot tell
   */
  public static native long GetContextExpiry(int handle) throws WinAuthException;

  /**
   * Creates a client context of a user who gave a name and a password, in place of the process
   * identity, and runs its first step as {@link SSPI#CreateContext} does. The package asks the
   * domain (for Kerberos the KDC) with the password; a server that accepts the context's token
   * with its own credential has then checked that the domain's answer is the real domain's, as
   * only the real KDC can issue a ticket that the server's own key decrypts.
   *
   * <p>The password is copied for the call and the copy wiped before it returns; the caller
   * wipes the array. The context is then used through {@link SSPI} like any other; free it as
   * soon as the exchange is over.
   *
   * @param packageName the security package: "Kerberos" (the one that checks with the KDC)
   * @param targetName the service the ticket is for ("HTTP/www.example.com")
   * @param userName "user", "user@REALM" or "DOMAIN\\user"
   * @param password the password, at most 256 characters
   * @return the new client context's handle
   * @throws WinAuthException "User name cannot be empty", "Password cannot be null", "Password
   *     too long", or the package's status: for a wrong password, an unknown user or a locked
   *     account "Platform error: 8009030c" (SEC_E_LOGON_DENIED)
   */
  public static native int CreatePasswordContext(String packageName, String targetName, String userName, char[] password) throws WinAuthException;

  /**
   * What the client's domain says of a server context's client that stops every service from
   * acting as it onward: {@link #PROTECTED_USERS} from the client's token (the group of relative
   * ID 525 of the user's own domain), {@link #NOT_DELEGATED} from the account's flags as a
   * controller of its domain gives them (NetUserGetInfo), with {@link #ACCOUNT_FLAGS_READ} when
   * it gave them. A flag is set only when known: a client without a domain, or a domain whose
   * controller does not answer, gives 0.
   *
   * <p>Call it as the process, not inside an impersonation through the context: the controller is
   * asked with the process's own credentials, and it may take a while to answer.
   *
   * @param serverHandle an established server context
   * @return {@link #PROTECTED_USERS}, {@link #NOT_DELEGATED} and {@link #ACCOUNT_FLAGS_READ},
   *     or'ed; 0 when the domain tells nothing
   * @throws WinAuthException "Invalid handle", "Wrong context type" for a client context, "Invalid
   *     state" for a context not yet established, or the package's status when the context has no
   *     client token
   */
  public static native int GetDelegationLimit(int serverHandle) throws WinAuthException;
}
