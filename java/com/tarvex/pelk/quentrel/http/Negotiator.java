package com.tarvex.pelk.quentrel.http;

import com.tarvex.pelk.quentrel.GroupNotFoundException;
import com.tarvex.pelk.quentrel.ServerContext;
import com.tarvex.pelk.quentrel.SecurityContext;
import com.tarvex.pelk.quentrel.WinAuthException;
import java.lang.System.Logger;
import java.lang.System.Logger.Level;
import java.net.Inet6Address;
import java.net.InetAddress;
import java.net.UnknownHostException;
import java.time.Clock;
import java.time.Duration;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Base64;
import java.util.HashMap;
import java.util.Iterator;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.Executors;
import java.util.concurrent.ScheduledExecutorService;
import java.util.concurrent.TimeUnit;

/**
 * The server side of HTTP Negotiate, for any HTTP server: it reads the request's Authorization
 * header, carries the exchange with a {@link ServerContext}, and says what to answer.
 *
 * <p>An exchange that takes more than one leg (NTLM, or SPNEGO when the client's first token
 * carries no mechanism token) belongs to its connection: its context waits under the
 * connection's key for the client's next token and is never continued on another connection. A
 * waiting context is released when its exchange completes or fails, when the time limit passes,
 * and when the negotiator is closed; a server whose connections close without notice loses
 * nothing but the time limit.
 *
 * <p>Waiting exchanges are bounded for each client address ({@link Builder#maxPendingPerPeer}):
 * a client at its bound loses its own oldest waiting exchange, never another client's. When the
 * whole table is full ({@link Builder#maxPending}) a new exchange that would wait is refused with
 * 503 and a Retry-After; exchanges that finish in one leg (Kerberos) never wait and are never
 * refused for it. An IPv6 client counts by its /64 network, which one host commonly holds whole.
 *
 * <p>Bad input is answered with 400 or 401 and a log line; every client text in a line is
 * escaped, and each kind of line is rate-limited ({@link LogLines}). A negotiator also keeps the
 * settings of the {@link Sessions} through which one sign-on serves the requests after it.
 */
public final class Negotiator implements AutoCloseable {
  /** The authentication scheme, as it appears in the headers. */
  public static final String SCHEME = "Negotiate";
  static final Logger LOG = System.getLogger("com.tarvex.pelk.quentrel.http");
  // SEC_E_BAD_BINDINGS: the token's channel bindings are not this channel's.
  private static final String BAD_BINDINGS = "Platform error: 80090346";

  private final String packageName;
  private final List<String> groups;
  private final int maxPending;
  private final int maxPendingPerPeer;
  private final long timeoutNanos;
  private final int maxHeaderChars;
  private final LogLines log;
  private final Sessions sessions;
  private final ChannelBinding.Mode channelBinding;
  // Waiting exchanges by connection, oldest first, and the connections of each peer, oldest first.
  private final LinkedHashMap<Object, Pending> pending = new LinkedHashMap<>();
  private final HashMap<Object, ArrayDeque<Object>> byPeer = new HashMap<>();
  private final ScheduledExecutorService sweeper;
  private boolean closed;

  private static final class Pending {
    final ServerContext context;
    final long deadline;
    final Object peer;

    Pending(ServerContext context, long deadline, Object peer) {
      this.context = context;
      this.deadline = deadline;
      this.peer = peer;
    }
  }

  /** The settings of a {@link Negotiator}. */
  public static final class Builder {
    private String packageName = "Negotiate";
    private final List<String> groups = new ArrayList<>();
    private int maxPending = 1000;
    private int maxPendingPerPeer = 32;
    private Duration timeout = Duration.ofSeconds(30);
    private int maxTokenBytes = 48 * 1024;
    private int logLinesPerMinute = 30;
    private boolean sessions = true;
    private Duration sessionLifetime = Duration.ofHours(1);
    private Duration sessionIdle = Duration.ofMinutes(15);
    private ChannelBinding.Mode channelBinding = ChannelBinding.Mode.NONE;
    private boolean sessionBound;
    private byte[] sessionKey;
    private String sessionCookie = Sessions.DEFAULT_COOKIE;
    private Clock clock = Clock.systemUTC();

    private Builder() {}

    /** The security package of the server's contexts (default "Negotiate"). */
    public Builder packageName(String name) {
      this.packageName = name == null || name.isEmpty() ? "Negotiate" : name;
      return this;
    }

    /** Groups answered for every client when it authenticates, so they stay known after the request. */
    public Builder groups(String... names) {
      groups.addAll(List.of(names));
      return this;
    }

    /** Groups answered for every client when it authenticates. */
    public Builder groups(List<String> names) {
      groups.addAll(names);
      return this;
    }

    /**
     * The most exchanges that may wait for a next leg at once (default 1000); beyond, a new
     * exchange that would wait is answered 503.
     */
    public Builder maxPending(int count) {
      if (count < 1) {
        throw new IllegalArgumentException("maxPending must be at least 1");
      }
      this.maxPending = count;
      return this;
    }

    /**
     * The most exchanges one client address may have waiting for a next leg (default 32); its
     * oldest goes when it starts another. Behind a reverse proxy every client has the proxy's
     * address: raise it there.
     */
    public Builder maxPendingPerPeer(int count) {
      if (count < 1) {
        throw new IllegalArgumentException("maxPendingPerPeer must be at least 1");
      }
      this.maxPendingPerPeer = count;
      return this;
    }

    /** The log lines of one kind written in a minute at most (default 30); the rest are counted. */
    public Builder logLinesPerMinute(int count) {
      if (count < 1) {
        throw new IllegalArgumentException("logLinesPerMinute must be at least 1");
      }
      this.logLinesPerMinute = count;
      return this;
    }

    /**
     * Whether one sign-on serves the client's later requests (default true): a signed cookie in
     * the JDK server's flavour, the container's session in the servlet filter. False
     * authenticates every request.
     */
    public Builder sessions(boolean on) {
      this.sessions = on;
      return this;
    }

    /**
     * The longest a session lasts from its sign-on (default 1 hour). A session ends no later than
     * the client's authentication either (for Kerberos the end of its ticket), whatever this says.
     */
    public Builder sessionLifetime(Duration limit) {
      this.sessionLifetime = positive(limit);
      return this;
    }

    /** How long a session may go unused before it ends (default 15 minutes). */
    public Builder sessionIdle(Duration limit) {
      this.sessionIdle = positive(limit);
      return this;
    }

    /** Whether a request from another client address ends the session (default false). */
    public Builder sessionBoundToAddress(boolean bound) {
      this.sessionBound = bound;
      return this;
    }

    /**
     * The key that signs session cookies, at least 32 bytes; the same on every node whose cookies
     * must be accepted by the others. Default: a random key of this negotiator's own.
     */
    public Builder sessionKey(byte[] key) {
      if (key != null && key.length < 32) {
        throw new IllegalArgumentException("a session key has at least 32 bytes");
      }
      this.sessionKey = key == null ? null : key.clone();
      return this;
    }

    /** The session cookie's name (default "quentrel-session"). */
    public Builder sessionCookieName(String name) {
      if (name == null || !name.matches("[A-Za-z0-9!#$%&'*+.^_`|~-]+")) {
        throw new IllegalArgumentException("a cookie name is a non-empty HTTP token");
      }
      this.sessionCookie = name;
      return this;
    }

    /**
     * How a client's channel bindings are checked over HTTPS (default {@link ChannelBinding.Mode#NONE}):
     * see {@link ChannelBinding}. The server flavour gives each request its channel's bindings.
     */
    public Builder channelBinding(ChannelBinding.Mode mode) {
      this.channelBinding = java.util.Objects.requireNonNull(mode);
      return this;
    }

    /** The clock of session times (default the system's UTC clock); for tests. */
    public Builder clock(Clock clock) {
      this.clock = java.util.Objects.requireNonNull(clock);
      return this;
    }

    private static Duration positive(Duration limit) {
      if (limit.isNegative() || limit.isZero()) {
        throw new IllegalArgumentException("the time limit must be positive");
      }
      return limit;
    }

    /** How long an exchange may wait for the client's next leg (default 30 seconds). */
    public Builder timeout(Duration limit) {
      if (limit.isNegative() || limit.isZero()) {
        throw new IllegalArgumentException("the time limit must be positive");
      }
      this.timeout = limit;
      return this;
    }

    /** The largest token a client may send, in bytes before base64 (default 48 KiB). */
    public Builder maxTokenBytes(int bytes) {
      if (bytes < 1) {
        throw new IllegalArgumentException("maxTokenBytes must be at least 1");
      }
      this.maxTokenBytes = bytes;
      return this;
    }

    public Negotiator build() {
      return new Negotiator(this);
    }
  }

  public static Builder builder() {
    return new Builder();
  }

  private Negotiator(Builder builder) {
    packageName = builder.packageName;
    groups = List.copyOf(builder.groups);
    maxPending = builder.maxPending;
    maxPendingPerPeer = builder.maxPendingPerPeer;
    timeoutNanos = builder.timeout.toNanos();
    log = new LogLines(LOG, builder.logLinesPerMinute);
    sessions = new Sessions(builder.sessions, builder.sessionLifetime.toMillis(), builder.sessionIdle.toMillis(),
        builder.sessionBound, builder.sessionCookie, builder.sessionKey, builder.clock, log);
    channelBinding = builder.channelBinding;
    maxHeaderChars = SCHEME.length() + 1 + 4 * ((builder.maxTokenBytes + 2) / 3);
    sweeper = Executors.newSingleThreadScheduledExecutor(run -> {
      Thread thread = new Thread(run, "quentrel-negotiate-sweeper");
      thread.setDaemon(true);
      return thread;
    });
    long period = Math.max(TimeUnit.NANOSECONDS.toMillis(timeoutNanos) / 4, 10);
    sweeper.scheduleWithFixedDelay(this::sweep, period, period, TimeUnit.MILLISECONDS);
  }

  /** How clients' channel bindings are checked. */
  public ChannelBinding.Mode channelBinding() {
    return channelBinding;
  }

  public String packageName() {
    return packageName;
  }

  /** The sessions of this negotiator's clients. */
  public Sessions sessions() {
    return sessions;
  }

  /** The negotiator's log lines, for the server flavours that use it. */
  public LogLines log() {
    return log;
  }

  /**
   * Whether a request's Authorization headers carry Negotiate: the client is signing on, and a
   * session it may also have does not stand in for that.
   */
  public static boolean signsOn(List<String> authorization) {
    if (authorization != null) {
      for (String header : authorization) {
        if (header != null && schemeOf(header).equalsIgnoreCase(SCHEME)) {
          return true;
        }
      }
    }
    return false;
  }

  /** The exchanges waiting for the client's next leg now. */
  public synchronized int pendingCount() {
    return pending.size();
  }

  /**
   * {@link #authenticate(Object, String, List)} for a server that cannot tell the client's
   * address: each connection then counts as a client of its own.
   */
  public Outcome authenticate(Object connection, List<String> authorization) {
    return authenticate(connection, null, authorization);
  }

  /**
   * Takes one request's Authorization headers and says what to answer.
   *
   * @param connection identifies the request's connection (equal for requests on one connection,
   *     different for different connections), such as the pair of socket addresses
   * @param peer the client's address as text ("192.0.2.7", "2001:db8::7"); null when unknown
   * @param authorization the values of the request's Authorization headers; null or empty for none
   * @return the answer; close it when the request is over (it holds the client's context while
   *     the request runs)
   */
  public Outcome authenticate(Object connection, String peer, List<String> authorization) {
    return authenticate(connection, peer, authorization, null);
  }

  /**
   * {@link #authenticate(Object, String, List)} for a request that came over a channel with
   * bindings: over TLS, {@link ChannelBinding#tlsServerEndPoint} of the server's certificate.
   *
   * @param channelBindings the channel's bindings; null for a request over no TLS channel
   */
  public Outcome authenticate(Object connection, String peer, List<String> authorization, byte[] channelBindings) {
    if (authorization == null || authorization.isEmpty()) {
      return Outcome.challenge(null);
    }
    String value = null;
    for (String header : authorization) {
      if (header != null && header.length() > maxHeaderChars) {
        return bad(connection, "an Authorization header of " + header.length() + " characters, over the limit of "
            + maxHeaderChars);
      }
      if (header != null && schemeOf(header).equalsIgnoreCase(SCHEME)) {
        if (value != null) {
          return bad(connection, "more than one Negotiate Authorization header");
        }
        value = header;
      }
    }
    if (value == null) {
      String scheme = schemeOf(authorization.get(0) == null ? "" : authorization.get(0));
      log.log("other-scheme", Level.INFO, "Negotiate: {0}: the scheme {1} is not accepted; asking for Negotiate",
          connection, scheme);
      return Outcome.challenge(null);
    }
    String encoded = value.substring(SCHEME.length()).trim();
    if (encoded.isEmpty()) {
      return bad(connection, "a Negotiate header without a token");
    }
    byte[] token;
    try {
      token = Base64.getDecoder().decode(encoded);
    } catch (IllegalArgumentException e) {
      return bad(connection, "a token that is not base64 (" + e.getMessage() + ")");
    }
    if (token.length == 0) {
      return bad(connection, "an empty token");
    }
    if (channelBinding == ChannelBinding.Mode.REQUIRE && channelBindings == null) {
      log.log("unbound-channel", Level.WARNING, "Negotiate: {0}: channel binding is required and the request came"
          + " over no TLS channel; refused (serve this site over HTTPS, or set channel binding to accept)",
          connection);
      return Outcome.challenge(null);
    }
    return step(connection, peer == null ? connection : peerKey(peer), token, channelBindings);
  }

  // The key a client's waiting exchanges count under: its address, or its /64 for IPv6.
  static Object peerKey(String peer) {
    if (peer.indexOf(':') >= 0) {
      try {
        // A literal with a colon is never looked up in DNS.
        InetAddress address = InetAddress.getByName(peer);
        if (address instanceof Inet6Address) {
          return "net " + Arrays.toString(Arrays.copyOf(address.getAddress(), 8));
        }
        return address.getHostAddress();
      } catch (UnknownHostException | SecurityException notAnAddress) {
        return peer;
      }
    }
    return peer;
  }

  private ServerContext open(byte[] channelBindings) throws WinAuthException {
    if (channelBinding == ChannelBinding.Mode.NONE || channelBindings == null) {
      return ServerContext.open(packageName);
    }
    return ServerContext.openBound(packageName, channelBindings, channelBinding == ChannelBinding.Mode.ACCEPT);
  }

  private Outcome step(Object connection, Object peer, byte[] token, byte[] channelBindings) {
    Pending waiting = take(connection);
    ServerContext context = null;
    try {
      if (waiting != null) {
        context = waiting.context;
        try {
          return advance(connection, peer, context, token);
        } catch (WinAuthException continuationRefused) {
          // A client that starts over on this connection (after a time limit, or a new client on
          // a reused address) sends a first token: it gets a context of its own.
          context.close();
          log.log("restart", Level.DEBUG, "Negotiate: {0}: the waiting exchange refused the token ({1}); starting"
              + " a new one", connection, continuationRefused.getMessage());
        }
      }
      try {
        context = open(channelBindings);
      } catch (WinAuthException e) {
        log.log("no-credentials", Level.ERROR, "Negotiate: the server has no credentials for the package {0}: {1}",
            packageName, e.getMessage());
        return Outcome.unavailable(0);
      }
      return advance(connection, peer, context, token);
    } catch (WinAuthException refused) {
      context.close();
      if (BAD_BINDINGS.equals(refused.getMessage())) {
        log.log("bad-bindings", Level.WARNING, "Negotiate: {0}: the client''s token is bound to another TLS channel"
            + (channelBinding == ChannelBinding.Mode.REQUIRE ? " or to none" : "") + " ({1}): a relayed sign-on,"
            + " or a proxy that ends TLS before this server; refused", connection, refused.getMessage());
        return Outcome.challenge(null);
      }
      log.log("refused", Level.INFO, "Negotiate: {0}: the package refused the client''s token: {1}", connection,
          refused.getMessage());
      return Outcome.challenge(null);
    } catch (RuntimeException | Error e) {
      if (context != null) {
        context.close();
      }
      throw e;
    }
  }

  // One leg on a context that is either released or handed over (to the pending table or the
  // outcome) before this returns normally; on an exception the caller releases it.
  private Outcome advance(Object connection, Object peer, ServerContext context, byte[] token)
      throws WinAuthException {
    SecurityContext.Step step = context.accept(token);
    byte[] reply = step.token();
    if (!step.complete()) {
      if (reply.length == 0) {
        throw new WinAuthException("the package asks for another leg without a token for the client");
      }
      int retryAfter = park(connection, peer, context);
      if (retryAfter > 0) {
        return Outcome.unavailable(retryAfter);
      }
      return Outcome.challenge(Base64.getEncoder().encodeToString(reply));
    }
    NegotiatedUser user = new NegotiatedUser(context.clientName(), packageName, context, log, endOf(context));
    for (String group : groups) {
      // A group that cannot be tested counts as one the client is not in: the client did
      // authenticate, and no access depends on an answer nobody has.
      boolean member = false;
      try {
        member = context.isMember(group);
      } catch (GroupNotFoundException e) {
        user.unanswered(group, "no such group");
        log.log("no-group", Level.WARNING, "Negotiate: the declared group {0} is not a group here; answered as not"
            + " a member", group);
      } catch (WinAuthException e) {
        user.unanswered(group, e.getMessage());
        log.log("group-untested", Level.WARNING, "Negotiate: cannot test {0}''s membership of {1} ({2}); answered as"
            + " not a member", user.getName(), group, e.getMessage());
      }
      user.answer(group, member);
    }
    return Outcome.authenticated(user, context, reply.length == 0 ? null : Base64.getEncoder().encodeToString(reply));
  }

  // When the client's authentication ends, in milliseconds; Long.MAX_VALUE when the package does
  // not say (the configured session lifetime is then the only bound).
  private long endOf(ServerContext context) {
    try {
      java.time.Instant end = context.expiry();
      return end.equals(java.time.Instant.MAX) ? Long.MAX_VALUE : end.toEpochMilli();
    } catch (WinAuthException | ArithmeticException e) {
      log.log("no-expiry", Level.DEBUG, "Negotiate: the package does not say when {0}''s authentication ends ({1});"
          + " the session lifetime alone bounds its session", packageName, e.getMessage());
      return Long.MAX_VALUE;
    }
  }

  private synchronized Pending take(Object connection) {
    Pending waiting = pending.remove(connection);
    if (waiting != null) {
      forget(connection, waiting.peer);
    }
    return waiting;
  }

  // Under the lock: the connection no longer counts for its peer.
  private void forget(Object connection, Object peer) {
    ArrayDeque<Object> connections = byPeer.get(peer);
    if (connections != null) {
      connections.remove(connection);
      if (connections.isEmpty()) {
        byPeer.remove(peer);
      }
    }
  }

  // Keeps the context waiting for the connection's next leg. A peer at its bound loses its own
  // oldest exchange for it. Returns 0, or, when the table is full and the context was released,
  // the seconds until the oldest waiting exchange times out.
  private int park(Object connection, Object peer, ServerContext context) {
    List<ServerContext> released = new ArrayList<>(2);
    int retryAfter = 0;
    synchronized (this) {
      // Two requests at once on one connection: the later exchange is the one that goes on.
      Pending same = pending.remove(connection);
      if (same != null) {
        forget(connection, same.peer);
        released.add(same.context);
      }
      ArrayDeque<Object> connections = byPeer.get(peer);
      if (closed) {
        released.add(context);
      } else if (connections != null && connections.size() >= maxPendingPerPeer) {
        Object oldest = connections.pollFirst();
        released.add(pending.remove(oldest).context);
        connections.addLast(connection);
        pending.put(connection, new Pending(context, System.nanoTime() + timeoutNanos, peer));
        log.log("peer-bound", Level.INFO, "Negotiate: {0}: the client has {1} exchanges waiting; its oldest, on {2},"
            + " is dropped", connection, maxPendingPerPeer, oldest);
      } else if (pending.size() >= maxPending) {
        released.add(context);
        long left = pending.values().iterator().next().deadline - System.nanoTime();
        retryAfter = (int) Math.max(1, Math.min(TimeUnit.NANOSECONDS.toSeconds(left) + 1, Integer.MAX_VALUE));
        log.log("table-full", Level.WARNING, "Negotiate: {0}: {1} exchanges are waiting, the most there may be; this"
            + " one is refused with 503", connection, maxPending);
      } else {
        byPeer.computeIfAbsent(peer, p -> new ArrayDeque<>()).addLast(connection);
        pending.put(connection, new Pending(context, System.nanoTime() + timeoutNanos, peer));
      }
    }
    released.forEach(ServerContext::close);
    return retryAfter;
  }

  /** Releases the exchanges whose time limit has passed. */
  void sweep() {
    List<ServerContext> expired = new ArrayList<>();
    long now = System.nanoTime();
    synchronized (this) {
      // Oldest first, all with the same time limit: the first one still in time ends the sweep.
      for (Iterator<Map.Entry<Object, Pending>> it = pending.entrySet().iterator(); it.hasNext(); ) {
        Map.Entry<Object, Pending> entry = it.next();
        if (entry.getValue().deadline - now > 0) {
          break;
        }
        it.remove();
        forget(entry.getKey(), entry.getValue().peer);
        expired.add(entry.getValue().context);
        log.log("timed-out", Level.DEBUG, "Negotiate: {0}: the client did not come back in time; the exchange is"
            + " dropped", entry.getKey());
      }
    }
    expired.forEach(ServerContext::close);
    sessions.purge();
  }

  /** Forgets the waiting exchange of a connection that closed, when the server can tell. */
  public void connectionClosed(Object connection) {
    Pending waiting = take(connection);
    if (waiting != null) {
      waiting.context.close();
    }
  }

  /** Releases every waiting exchange and stops the time-limit sweeps. Idempotent. */
  @Override
  public void close() {
    List<Pending> all;
    synchronized (this) {
      closed = true;
      all = new ArrayList<>(pending.values());
      pending.clear();
      byPeer.clear();
    }
    sweeper.shutdownNow();
    all.forEach(p -> p.context.close());
  }

  private Outcome bad(Object connection, String what) {
    log.log("bad-request", Level.INFO, "Negotiate: {0}: bad request: {1}", connection, what);
    return Outcome.badRequest();
  }

  private static String schemeOf(String header) {
    String trimmed = header.trim();
    int space = trimmed.indexOf(' ');
    return space < 0 ? trimmed : trimmed.substring(0, space);
  }
}
