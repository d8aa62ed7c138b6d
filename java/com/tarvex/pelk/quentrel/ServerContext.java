package com.tarvex.pelk.quentrel;

/**
 * The server side of an authentication: it accepts the client's tokens until the client is
 * known, then names the client, tests its groups and acts as the client for a scope.
 *
 * <pre>{@code
 * try (ServerContext server = ServerContext.open("Negotiate")) {
 *   SecurityContext.Step step = server.accept(tokenFromClient);
 *   // send step.token() back when it is not empty; go on while !step.complete()
 *   String who = server.clientName();
 * }
 * }</pre>
 */
public final class ServerContext extends SecurityContext {
  private ServerContext(int handle, String packageName) {
    super(handle, packageName);
  }

  /**
   * Acquires inbound credentials of the identity the process runs as.
   *
   * @param packageName the security package, such as "Negotiate", "Kerberos" or "NTLM"; null or
   *     empty selects "Negotiate"
   */
  public static ServerContext open(String packageName) throws WinAuthException {
    int handle = SSPI.CreateContext(false, 0, packageName, null);
    return own(handle, h -> new ServerContext(h, packageName));
  }

  /**
   * Takes the client's next token.
   *
   * @return the token for the client (the next challenge, or the final token of mutual
   *     authentication when complete; zero-length when there is none) and whether the client is
   *     now authenticated
   * @throws WinAuthException when the package refuses the token; the context is then in error and
   *     only good for {@link #close}
   */
  public Step accept(byte[] token) throws WinAuthException {
    // After the last step the context's token is that step's own: the final token of mutual
    // authentication, or none, never an earlier challenge.
    return step(SSPI.Accept(handle(), token));
  }

  /** The authenticated client's account name; a local account comes back without its computer name. */
  public String clientName() throws WinAuthException {
    return SSPI.GetClientUserName(handle());
  }

  /**
   * Whether the authenticated client is a member of a group ("DOMAIN\\group" or a local group).
   *
   * @throws GroupNotFoundException when the name is not a group
   */
  public boolean isMember(String group) throws WinAuthException {
    return SSPI.IsGroupMember(handle(), group);
  }

  /**
   * Makes the calling thread act as the client until the returned scope is closed, on the same
   * thread: {@code try (var as = server.impersonate()) { ... }}.
   */
  public Impersonation impersonate() throws WinAuthException {
    int handle = handle();
    SSPI.StartImpersonating(handle);
    return new Impersonation(handle);
  }

  /** The scope of an impersonation; closing it returns the thread to the process's identity. */
  public static final class Impersonation implements AutoCloseable {
    private final int handle;
    private final Thread thread = Thread.currentThread();
    private boolean ended;

    private Impersonation(int handle) {
      this.handle = handle;
    }

    /** Whether the scope has not been closed yet. */
    public boolean active() {
      return !ended;
    }

    /**
     * Ends the impersonation. Idempotent.
     *
     * @throws IllegalStateException on another thread than the one that started it, which would
     *     leave that thread acting as the client
     * @throws WinAuthException when the system cannot revert the thread; the scope may be closed again
     */
    @Override
    public void close() throws WinAuthException {
      if (Thread.currentThread() != thread) {
        throw new IllegalStateException("an impersonation ends on the thread that started it, " + thread.getName());
      }
      if (!ended) {
        try {
          SSPI.StopImpersonating(handle);
        } catch (WinAuthException e) {
          // A context closed inside the scope has already reverted the thread.
          if (!"Invalid handle".equals(e.getMessage())) {
            throw e;
          }
        }
        ended = true;
      }
    }
  }
}
