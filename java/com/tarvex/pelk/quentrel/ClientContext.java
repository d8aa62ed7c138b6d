package com.tarvex.pelk.quentrel;

/**
 * The client side of an authentication, with the credentials of the identity the process runs
 * as: its first token is ready at once, then each token of the server goes to {@link #initialize}
 * until the context is established.
 */
public final class ClientContext extends SecurityContext {
  /** ISC_REQ_MUTUAL_AUTH: the server must prove itself to the client too. */
  public static final int MUTUAL_AUTH = 0x2;
  /** ISC_REQ_CONFIDENTIALITY: messages may be encrypted. */
  public static final int CONFIDENTIALITY = 0x10;

  private final boolean establishedAtOnce;

  private ClientContext(int handle, String packageName, boolean establishedAtOnce) {
    super(handle, packageName);
    this.establishedAtOnce = establishedAtOnce;
  }

  /**
   * Creates the context and runs its first step.
   *
   * @param packageName the security package; null or empty selects "Negotiate"
   * @param target the server's service principal name, such as "HTTP/web.example.com"; may be null
   * @param flags context requirement flags (ISC_REQ_ values), such as {@link #MUTUAL_AUTH}
   */
  public static ClientContext open(String packageName, String target, int flags) throws WinAuthException {
    return established(SSPI.CreateContext(true, flags, packageName, target), packageName);
  }

  /**
   * {@link #open}, bound to the channel the tokens go over (see {@link
   * Extensions#CreateBoundContext}), so that a server of another channel cannot relay them.
   *
   * @param channelBindings the channel's application data, such as {@code tls-server-end-point:}
   *     and the digest of the server's certificate
   */
  public static ClientContext openBound(String packageName, String target, int flags, byte[] channelBindings)
      throws WinAuthException {
    return established(Extensions.CreateBoundContext(true, flags, packageName, target, channelBindings), packageName);
  }

  /**
   * {@link #open} as a user who gave a name and a password (see {@link
   * Extensions#CreatePasswordContext}) instead of the process identity. The caller wipes the
   * password when this returns.
   */
  public static ClientContext openWithPassword(String packageName, String target, String userName, char[] password)
      throws WinAuthException {
    return established(Extensions.CreatePasswordContext(packageName, target, userName, password), packageName);
  }

  private static ClientContext established(int handle, String packageName) {
    boolean done;
    try {
      SSPI.GetNegotiatedAttributes(handle);
      done = true;
    } catch (WinAuthException e) {
      done = false;
    }
    boolean established = done;
    return own(handle, h -> new ClientContext(h, packageName, established));
  }

  /** The first step: the token for the server and whether the client is already done. */
  public Step firstStep() throws WinAuthException {
    return step(establishedAtOnce);
  }

  /**
   * Takes the server's next token.
   *
   * @return the next token for the server (possibly empty) and whether the client is established
   * @throws WinAuthException when the package refuses the token, for instance a server that fails
   *     to prove itself under mutual authentication; the context is then only good for {@link #close}
   */
  public Step initialize(byte[] token) throws WinAuthException {
    return step(SSPI.Initialize(handle(), token));
  }
}
