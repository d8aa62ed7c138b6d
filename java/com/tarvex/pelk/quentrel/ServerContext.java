package com.tarvex.pelk.quentrel;

import java.lang.ref.WeakReference;

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
   * A server context bound to the channel its client talks over (see {@link
   * Extensions#CreateBoundContext}): a client bound to another channel is refused, as is a client
   * bound to none unless {@code allowMissing}.
   *
   * @param channelBindings the channel's application data, such as {@code tls-server-end-point:}
   *     and the digest of the server's certificate
   */
  public static ServerContext openBound(String packageName, byte[] channelBindings, boolean allowMissing)
      throws WinAuthException {
    int flags = allowMissing ? Extensions.ALLOW_MISSING_BINDINGS : 0;
    int handle = Extensions.CreateBoundContext(false, flags, packageName, null, channelBindings);
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

  /**
   * The authenticated client's account name; a local account comes back without its computer
   * name. The name is for people and logs: authorize on the client's groups ({@link #isMember}),
   * or on the SID of a user context, never on the text of the name, which another directory may
   * spell alike.
   */
  public String clientName() throws WinAuthException {
    return SSPI.GetClientUserName(handle());
  }

  /**
   * Whether the authenticated client is a member of a group ("DOMAIN\\group" or a local group).
   *
   * <p>Inside an open {@link Impersonation} scope of this thread (through this context or another),
   * the thread is still the scope's client when this returns: the library's own test ends with the
   * thread's own identity ({@link SSPI#IsGroupMember}), and the scope then takes the impersonation
   * up again. If it cannot, the scope is closed and the failure thrown.
   *
   * @throws GroupNotFoundException when the name is not a group
   */
  public boolean isMember(String group) throws WinAuthException {
    Impersonation scope = Impersonation.current();
    boolean member;
    try {
      member = SSPI.IsGroupMember(handle(), group);
    } catch (WinAuthException | RuntimeException e) {
      if (scope != null) {
        scope.resumeAfter(e);
      }
      throw e;
    }
    if (scope != null) {
      scope.resume();
    }
    return member;
  }

  /**
   * Makes the calling thread act as the client until the returned scope is closed, on the same
   * thread: {@code try (var as = server.impersonate()) { ... }}. A thread has one scope open at a
   * time.
   *
   * <p>What the scope covers is the calling thread alone. A child process started inside it does
   * not run as the client: as on Windows, where a child process gets the process's primary token,
   * it runs as the process (on Linux it starts with the client's effective ids, but its real and
   * saved ids are the process's, which it may take back at will), so never start one to act for
   * the client. A thread started inside the scope is not covered either: on Linux it begins with
   * the client's identity, which the platform hands every new thread from its creator, and keeps
   * it until its first call into the library; do not start threads, nor hand work to a pool that
   * may start one, inside a scope.
   *
   * @throws IllegalStateException when this thread already has a scope open
   */
  public Impersonation impersonate() throws WinAuthException {
    if (Impersonation.current() != null) {
      throw new IllegalStateException("this thread already impersonates in an open scope; close it first");
    }
    // A scope nobody can reach any more and nobody closed ends before a new one begins.
    Impersonation.endLeftover();
    Impersonation scope = new Impersonation(this, handle());
    // Noted before the thread changes identity, so that nothing can fail after it has.
    Impersonation.OPEN.set(new Impersonation.Open(scope));
    try {
      SSPI.StartImpersonating(scope.handle);
    } catch (WinAuthException | RuntimeException | Error e) {
      Impersonation.OPEN.remove();
      throw e;
    }
    return scope;
  }

  /** Work done as the client: {@link #runAs}'s argument, which may throw one checked exception. */
  @FunctionalInterface
  public interface Work<T, E extends Exception> {
    T run() throws E;
  }

  /**
   * Runs {@code work} on the calling thread as the client and returns its result; the thread is
   * itself again when this returns or throws, whatever {@code work} does, so the scope cannot
   * outlive the call. {@code server.runAs(() -> Files.readString(path))}. The limits of
   * {@link #impersonate} hold: no child process or new thread is covered.
   *
   * @throws WinAuthException when the thread cannot act as the client, or cannot stop acting as
   *     it (added to what {@code work} threw, if it threw)
   * @throws IllegalStateException when this thread already has a scope open
   */
  public <T, E extends Exception> T runAs(Work<T, E> work) throws E, WinAuthException {
    Impersonation scope = impersonate();
    T result;
    try {
      result = work.run();
    } catch (Throwable failure) {
      try {
        scope.close();
      } catch (WinAuthException | RuntimeException e) {
        failure.addSuppressed(e);
      }
      throw failure;
    }
    scope.close();
    return result;
  }

  /**
   * Releases the context. Closing it inside an open scope of this thread through it returns the
   * thread to its own identity and closes the scope; a scope of another thread through it ends at
   * that thread's next call into the library (its {@link Impersonation#close} then throws).
   */
  @Override
  public void close() {
    Impersonation scope = Impersonation.current();
    super.close();
    if (scope != null && scope.context == this) {
      scope.end();
    }
  }

  /**
   * The scope of an impersonation; closing it returns the thread to the process's identity. It
   * never says the thread is the client when the thread is not.
   */
  public static final class Impersonation implements AutoCloseable {
    // The open scope of each thread: the scope itself only weakly, so that a scope its code lost
    // without closing (an exception past a missing try-with-resources) does not keep its context,
    // and what the client delegated, alive for the life of a pool thread. A scope in use is held
    // by the code that uses it, and holds its context. The handle stays, to end a lost scope.
    static final ThreadLocal<Open> OPEN = new ThreadLocal<>();

    static final class Open {
      final int handle;
      final WeakReference<Impersonation> scope;

      Open(Impersonation scope) {
        this.handle = scope.handle;
        this.scope = new WeakReference<>(scope);
      }
    }

    // This thread's scope, when one is open and its code can still close it.
    static Impersonation current() {
      Open open = OPEN.get();
      return open == null ? null : open.scope.get();
    }

    /**
     * Ends a scope that this thread left open, closed or not by its code: returns the thread to
     * the process's identity, and with it out of reach of anything the client delegated. For
     * servers that run requests on pooled threads, at the start and at the end of each request:
     * whatever a handler did, the next request begins as the process.
     *
     * @return the handle of the context the thread was left acting through, or 0 when no scope
     *     was left open
     * @throws IllegalStateException when the system cannot revert the thread; the next call tries
     *     again
     */
    public static int endLeftover() {
      Open open = OPEN.get();
      if (open == null) {
        return 0;
      }
      Impersonation scope = open.scope.get();
      OPEN.remove();
      if (scope != null) {
        scope.ended = true;
      }
      try {
        // Reverts this thread; a context released meanwhile answers "Invalid handle", and the
        // library has returned the thread to itself at the start of this very call.
        SSPI.StopImpersonating(open.handle);
      } catch (WinAuthException e) {
        if (!"Invalid handle".equals(e.getMessage()) && !"Not impersonating".equals(e.getMessage())) {
          // Could not revert: keep the record, so that the next try reverts it.
          OPEN.set(open);
          if (scope != null) {
            scope.ended = false;
          }
          throw new IllegalStateException("the thread cannot stop acting as the client of context " + open.handle + ": "
              + e.getMessage(), e);
        }
      }
      return open.handle;
    }

    /** Whether this thread has an impersonation scope open that its code can still close. */
    public static boolean inScope() {
      return current() != null;
    }

    /**
     * What the domain of the client this thread acts as says against a second hop for it: {@link
     * Extensions#GetDelegationLimit}'s flags, asked as the process. 0 outside a scope, and where the
     * domain does not tell.
     */
    public static int delegationLimit() {
      Impersonation scope = current();
      if (scope == null) {
        return 0;
      }
      try {
        return scope.delegationLimitAsProcess();
      } catch (WinAuthException e) {
        return 0;  // the context is gone or has no client token: the domain does not tell
      }
    }

    /**
     * Why the client this thread acts as cannot be served a second hop, in words, as far as its
     * domain tells: a member of its domain's Protected Users, whose tickets are never delegated,
     * or an account marked sensitive and cannot be delegated. Null outside a scope, and where the
     * domain does not tell (then the client forwarded nothing, as under Credential Guard, or the
     * domain does not allow the service constrained delegation to that target).
     */
    public static String secondHopCause() {
      return secondHopCause(delegationLimit());
    }

    /** {@link #secondHopCause()} from {@link #delegationLimit()}'s flags, taken already. */
    public static String secondHopCause(int limits) {
      Impersonation scope = current();
      if (scope == null || (limits & (Extensions.PROTECTED_USERS | Extensions.NOT_DELEGATED)) == 0) {
        return null;
      }
      String client;
      try {
        client = SSPI.GetClientUserName(scope.handle);
      } catch (WinAuthException e) {
        client = "the client";
      }
      if ((limits & Extensions.PROTECTED_USERS) != 0) {
        return client + " is in Protected Users, whose members' tickets are never delegated: reach the back end"
            + " without the client's identity, or take the account out of the group";
      }
      return "the account of " + client + " is sensitive and cannot be delegated: no service may act as it onward;"
          + " reach the back end without the client's identity, or clear the flag (Account options in Active"
          + " Directory Users and Computers) where the account must be delegated";
    }

    // The controller is the process's to ask, not the client's: the process asks, and the thread
    // is the client again after, or the scope is closed.
    private int delegationLimitAsProcess() throws WinAuthException {
      SSPI.StopImpersonating(handle);
      try {
        return Extensions.GetDelegationLimit(handle);
      } finally {
        try {
          SSPI.StartImpersonating(handle);
        } catch (WinAuthException | RuntimeException e) {
          end();
        }
      }
    }

    private final ServerContext context;
    private final int handle;
    private final Thread thread = Thread.currentThread();
    private boolean ended;

    private Impersonation(ServerContext context, int handle) {
      this.context = context;
      this.handle = handle;
    }

    /**
     * Whether the thread still impersonates through the scope: false once the scope is closed, and
     * once its context has been released or has stopped impersonating by other means (the library
     * then returns the thread to its own identity, at the latest during this call).
     */
    public boolean active() {
      if (ended) {
        return false;
      }
      try {
        if (!SSPI.GetContextInformation(handle).contains("\nImpersonating: true")) {
          end();
        }
      } catch (WinAuthException e) {
        end();  // "Invalid handle": the context is gone, and the thread is its own again
      }
      return !ended;
    }

    /**
     * Ends the impersonation. Idempotent.
     *
     * @throws IllegalStateException on another thread than the one that started it, which would
     *     leave that thread acting as the client
     * @throws WinAuthException "Invalid handle" or "Not impersonating" when the context was released
     *     or stopped impersonating while the scope was open: the thread is its own again and the
     *     scope is closed, but what ran inside it may have outlived its context, so the caller
     *     hears of it. "Platform error: xxxxxxxx" when the system cannot revert the thread: the
     *     scope stays open and may be closed again
     */
    @Override
    public void close() throws WinAuthException {
      if (Thread.currentThread() != thread) {
        throw new IllegalStateException("an impersonation ends on the thread that started it, " + thread.getName());
      }
      if (ended) {
        return;
      }
      try {
        SSPI.StopImpersonating(handle);
      } catch (WinAuthException e) {
        // Either way the library has returned this thread to its own identity: at the release on
        // this thread, or at the start of this very call.
        if ("Invalid handle".equals(e.getMessage()) || "Not impersonating".equals(e.getMessage())) {
          end();
        }
        throw e;
      }
      end();
    }

    void end() {
      ended = true;
      if (current() == this) {
        OPEN.remove();
      }
    }

    // The library's membership test left the thread its own: the client again, or the scope closed.
    void resume() throws WinAuthException {
      try {
        SSPI.StopImpersonating(handle);
        SSPI.StartImpersonating(handle);
      } catch (WinAuthException | RuntimeException e) {
        end();
        throw e;
      }
    }

    void resumeAfter(Exception failure) {
      try {
        resume();
      } catch (WinAuthException | RuntimeException e) {
        failure.addSuppressed(e);
      }
    }
  }
}
