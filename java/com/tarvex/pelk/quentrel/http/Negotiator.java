package com.tarvex.pelk.quentrel.http;

import com.tarvex.pelk.quentrel.ServerContext;
import java.lang.System.Logger;
import java.lang.System.Logger.Level;
import java.time.Clock;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * The server side of HTTP Negotiate, for any HTTP server: it reads the request's Authorization
 * header, carries the exchange with a {@link ServerContext}, and says what to answer.
 *
 * <p>An exchange of more than one leg (NTLM, or SPNEGO whose first token has no mechanism token)
 * waits on its connection, bounded per client address and in all, for at most the time limit.
 * Bad input gets 400 or 401 and a rate-limited, escaped log line ({@link LogLines}). A negotiator
 * also keeps the settings of its {@link Sessions}.
 */
public final class Negotiator implements AutoCloseable {
  /** The authentication scheme, as it appears in the headers. */
  public static final String SCHEME = NegotiateHeader.SCHEME;
  static final Logger LOG = System.getLogger("com.tarvex.pelk.quentrel.http");

  private final String packageName;
  private final List<String> groups;
  private final int maxHeaderChars;
  private final LogLines log;
  private final Sessions sessions;
  private final ChannelBinding.Mode channelBinding;
  private final PendingExchanges pending;
  private final TokenExchange exchange;
  private final String fallback;
  private final BasicSignOn basic;

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
    private ChannelBinding.Mode channelBinding = ChannelBinding.Mode.NONE;
    private Duration sessionLifetime = Duration.ofHours(1);
    private Duration sessionIdle = Duration.ofMinutes(15);
    private boolean sessionBound;
    private byte[] sessionKey;
    private String sessionCookie = Sessions.DEFAULT_COOKIE;
    private String sessionSite = "";
    private Clock clock = Clock.systemUTC();
    private String fallback;
    private boolean basic;
    private boolean basicOverPlainHttp;
    private String basicRealm = "Windows domain";
    private String basicService;

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
      this.maxPending = atLeastOne(count, "maxPending");
      return this;
    }

    /**
     * The most exchanges one client address may have waiting for a next leg (default 32); its
     * oldest goes when it starts another. Behind a reverse proxy every client has the proxy's
     * address: raise it there.
     */
    public Builder maxPendingPerPeer(int count) {
      this.maxPendingPerPeer = atLeastOne(count, "maxPendingPerPeer");
      return this;
    }

    /** The log lines of one kind written in a minute at most (default 30); the rest are counted. */
    public Builder logLinesPerMinute(int count) {
      this.logLinesPerMinute = atLeastOne(count, "logLinesPerMinute");
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
     * The key that seals session cookies, at least 32 bytes; the same on every node whose cookies
     * must be accepted by the others. Default: a random key of this negotiator's own.
     */
    public Builder sessionKey(byte[] key) {
      if (key != null && key.length < 32) {
        throw new IllegalArgumentException("a session key has at least 32 bytes");
      }
      this.sessionKey = key == null ? null : key.clone();
      return this;
    }

    /**
     * The site's name for its session key (default empty): the cookies are sealed with a key
     * derived from both, so applications given one key but named apart refuse each other's.
     */
    public Builder sessionSite(String name) {
      this.sessionSite = name == null ? "" : name;
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
     * Where a client that cannot sign on is sent: a login page of the site's own or any URL, linked
     * from the 401 page and followed by browsers that do not answer the challenge (default none).
     */
    public Builder fallback(String location) {
      this.fallback = location == null || location.isBlank() ? null : location.trim();
      return this;
    }

    /**
     * Whether a client that cannot negotiate may sign on with HTTP Basic (default false): its name
     * and password are checked with the KDC, and the ticket the KDC issues must decrypt with the
     * service's own key, so that only the real domain can vouch for a password. A 401 then offers
     * both schemes. Over plain HTTP it is refused unless {@link #basicOverPlainHttp} says so.
     */
    public Builder basic(boolean on) {
      this.basic = on;
      return this;
    }

    /**
     * Whether Basic is taken over plain HTTP too (default false): the password then crosses the
     * network in clear text. Only for a site behind a proxy that ends TLS and forwards plain HTTP.
     */
    public Builder basicOverPlainHttp(boolean allowed) {
      this.basicOverPlainHttp = allowed;
      return this;
    }

    /** The realm the Basic challenge names, which browsers show when they ask (default "Windows domain"). */
    public Builder basicRealm(String realm) {
      this.basicRealm = realm == null || realm.isBlank() ? "Windows domain" : realm;
      return this;
    }

    /**
     * The service principal a Basic client's ticket is asked for ("HTTP/www.example.com"); its key
     * must be the server's. Default: the keytab's first HTTP principal, else HTTP and this host's
     * DNS name.
     */
    public Builder basicService(String principal) {
      this.basicService = principal;
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

    private static int atLeastOne(int count, String what) {
      if (count < 1) {
        throw new IllegalArgumentException(what + " must be at least 1");
      }
      return count;
    }

    private static Duration positive(Duration limit) {
      if (limit.isNegative() || limit.isZero()) {
        throw new IllegalArgumentException("the time limit must be positive");
      }
      return limit;
    }

    /** How long an exchange may wait for the client's next leg (default 30 seconds). */
    public Builder timeout(Duration limit) {
      this.timeout = positive(limit);
      return this;
    }

    /** The largest token a client may send, in bytes before base64 (default 48 KiB). */
    public Builder maxTokenBytes(int bytes) {
      this.maxTokenBytes = atLeastOne(bytes, "maxTokenBytes");
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
    long timeoutNanos = builder.timeout.toNanos();
    log = new LogLines(LOG, builder.logLinesPerMinute);
    fallback = builder.fallback;
    basic = builder.basic ? new BasicSignOn(builder.basicRealm, builder.basicOverPlainHttp, builder.basicService, log)
        : null;
    pending = new PendingExchanges(builder.maxPending, builder.maxPendingPerPeer, timeoutNanos, log);
    sessions = new Sessions(builder.sessions, builder.sessionLifetime.toMillis(), builder.sessionIdle.toMillis(),
        builder.sessionBound, builder.sessionCookie, builder.sessionKey, builder.sessionSite, builder.clock, log);
    channelBinding = builder.channelBinding;
    exchange = new TokenExchange(packageName, groups, channelBinding, pending, log);
    maxHeaderChars = SCHEME.length() + 1 + 4 * ((builder.maxTokenBytes + 2) / 3);
    pending.sweepEvery(Math.max(TimeUnit.NANOSECONDS.toMillis(timeoutNanos) / 4, 10), sessions::purge);
  }

  /** How clients' channel bindings are checked. */
  public ChannelBinding.Mode channelBinding() {
    return channelBinding;
  }

  public String packageName() {
    return packageName;
  }

  /** Where a client that cannot sign on is sent; null for none. */
  public String fallback() {
    return fallback;
  }

  /** The WWW-Authenticate value that offers Basic beside Negotiate; null when Basic is off. */
  public String basicChallenge() {
    return basic == null ? null : basic.challenge();
  }

  List<String> groups() {
    return groups;
  }

  /** HTTP Basic's sign-on; null when Basic is off. */
  BasicSignOn basic() {
    return basic;
  }

  /** The sessions of this negotiator's clients. */
  public Sessions sessions() {
    return sessions;
  }

  /** The negotiator's log lines, for the server flavours that use it. */
  public LogLines log() {
    return log;
  }

  /** The exchanges waiting for the client's next leg now. */
  public int pendingCount() {
    return pending.count();
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
    return authenticate(connection, peer, authorization, channelBindings, channelBindings != null);
  }

  /**
   * {@link #authenticate(Object, String, List, byte[])} saying whether the request came over TLS
   * even where no bindings are checked: a Basic password is taken only over TLS, unless the site
   * allows plain HTTP.
   */
  public Outcome authenticate(Object connection, String peer, List<String> authorization, byte[] channelBindings,
      boolean secure) {
    if (authorization == null || authorization.isEmpty()) {
      return Outcome.challenge(null);
    }
    String basicCredentials = basic == null || NegotiateHeader.anyNegotiate(authorization) ? null
        : BasicSignOn.credentials(authorization);
    if (basicCredentials != null) {
      return basic.signOn(connection, basicCredentials, secure, this);
    }
    NegotiateHeader.Token read = NegotiateHeader.token(authorization, maxHeaderChars);
    if (read.bad != null) {
      log.log("bad-request", Level.INFO, "Negotiate: {0}: bad request: {1}", connection, read.bad);
      return Outcome.badRequest();
    }
    if (read.bytes == null) {
      log.log("other-scheme", Level.INFO, "Negotiate: {0}: the scheme {1} is not accepted; asking for Negotiate",
          connection, NegotiateHeader.schemeOf(authorization.get(0)));
      return Outcome.challenge(null);
    }
    return exchange.step(connection, peer == null ? connection : PendingExchanges.peerKey(peer), read.bytes,
        channelBindings);
  }

  /** Forgets the waiting exchange of a connection that closed, when the server can tell. */
  public void connectionClosed(Object connection) {
    ServerContext waiting = pending.take(connection);
    if (waiting != null) {
      waiting.close();
    }
  }

  /** Releases every waiting exchange and stops the time-limit sweeps. Idempotent. */
  @Override
  public void close() {
    pending.close();
  }
}
