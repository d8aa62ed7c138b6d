package com.tarvex.pelk.quentrel.http;

import com.tarvex.pelk.quentrel.GroupNotFoundException;
import com.tarvex.pelk.quentrel.ServerContext;
import com.tarvex.pelk.quentrel.SecurityContext;
import com.tarvex.pelk.quentrel.WinAuthException;
import java.lang.System.Logger;
import java.lang.System.Logger.Level;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Base64;
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
 * <p>An exchange that takes more than one leg (NTLM) belongs to its connection: its context waits
 * under the connection's key for the client's next token and is never continued on another
 * connection. A waiting context is released when its exchange completes or fails, when the
 * time limit passes, when the number of waiting exchanges reaches its limit (the oldest goes
 * first) and when the negotiator is closed; a server whose connections close without notice
 * loses nothing but the time limit. Bad input is answered with 400 or 401 and a log line.
 */
public final class Negotiator implements AutoCloseable {
  /** The authentication scheme, as it appears in the headers. */
  public static final String SCHEME = "Negotiate";
  static final Logger LOG = System.getLogger("com.tarvex.pelk.quentrel.http");

  private final String packageName;
  private final List<String> groups;
  private final int maxPending;
  private final long timeoutNanos;
  private final int maxHeaderChars;
  // Waiting exchanges by connection, oldest first.
  private final LinkedHashMap<Object, Pending> pending = new LinkedHashMap<>();
  private final ScheduledExecutorService sweeper;
  private boolean closed;

  private static final class Pending {
    final ServerContext context;
    final long deadline;

    Pending(ServerContext context, long deadline) {
      this.context = context;
      this.deadline = deadline;
    }
  }

  /** The settings of a {@link Negotiator}. */
  public static final class Builder {
    private String packageName = "Negotiate";
    private final List<String> groups = new ArrayList<>();
    private int maxPending = 1000;
    private Duration timeout = Duration.ofSeconds(30);
    private int maxTokenBytes = 48 * 1024;

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

    /** The most exchanges that may wait for a next leg at once (default 1000). */
    public Builder maxPending(int count) {
      if (count < 1) {
        throw new IllegalArgumentException("maxPending must be at least 1");
      }
      this.maxPending = count;
      return this;
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
    timeoutNanos = builder.timeout.toNanos();
    maxHeaderChars = SCHEME.length() + 1 + 4 * ((builder.maxTokenBytes + 2) / 3);
    sweeper = Executors.newSingleThreadScheduledExecutor(run -> {
      Thread thread = new Thread(run, "quentrel-negotiate-sweeper");
      thread.setDaemon(true);
      return thread;
    });
    long period = Math.max(TimeUnit.NANOSECONDS.toMillis(timeoutNanos) / 4, 10);
    sweeper.scheduleWithFixedDelay(this::sweep, period, period, TimeUnit.MILLISECONDS);
  }

  public String packageName() {
    return packageName;
  }

  /** The exchanges waiting for the client's next leg now. */
  public synchronized int pendingCount() {
    return pending.size();
  }

  /**
   * Takes one request's Authorization headers and says what to answer.
   *
   * @param connection identifies the request's connection (equal for requests on one connection,
   *     different for different connections), such as the pair of socket addresses
   * @param authorization the values of the request's Authorization headers; null or empty for none
   * @return the answer; close it when the request is over (it holds the client's context while
   *     the request runs)
   */
  public Outcome authenticate(Object connection, List<String> authorization) {
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
      LOG.log(Level.INFO, "Negotiate: {0}: the scheme {1} is not accepted; asking for Negotiate", connection,
          printable(scheme));
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
    return step(connection, token);
  }

  private Outcome step(Object connection, byte[] token) {
    Pending waiting = take(connection);
    ServerContext context = null;
    try {
      if (waiting != null) {
        context = waiting.context;
        try {
          return advance(connection, context, token);
        } catch (WinAuthException continuationRefused) {
          // A client that starts over on this connection (after a time limit, or a new client on
          // a reused address) sends a first token: it gets a context of its own.
          context.close();
          LOG.log(Level.DEBUG, "Negotiate: {0}: the waiting exchange refused the token ({1}); starting a new one",
              connection, continuationRefused.getMessage());
        }
      }
      try {
        context = ServerContext.open(packageName);
      } catch (WinAuthException e) {
        LOG.log(Level.ERROR, "Negotiate: the server has no credentials for the package {0}: {1}", packageName,
            e.getMessage());
        return Outcome.unavailable();
      }
      return advance(connection, context, token);
    } catch (WinAuthException refused) {
      context.close();
      LOG.log(Level.INFO, "Negotiate: {0}: the package refused the client''s token: {1}", connection,
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
  private Outcome advance(Object connection, ServerContext context, byte[] token) throws WinAuthException {
    SecurityContext.Step step = context.accept(token);
    byte[] reply = step.token();
    if (!step.complete()) {
      if (reply.length == 0) {
        throw new WinAuthException("the package asks for another leg without a token for the client");
      }
      park(connection, context);
      return Outcome.challenge(Base64.getEncoder().encodeToString(reply));
    }
    NegotiatedUser user = new NegotiatedUser(context.clientName(), packageName, context);
    for (String group : groups) {
      // A group that cannot be tested counts as one the client is not in: the client did
      // authenticate, and no access depends on an answer nobody has.
      boolean member = false;
      try {
        member = context.isMember(group);
      } catch (GroupNotFoundException e) {
        user.unanswered(group, "no such group");
        LOG.log(Level.WARNING, "Negotiate: the declared group {0} is not a group here; answered as not a member", group);
      } catch (WinAuthException e) {
        user.unanswered(group, e.getMessage());
        LOG.log(Level.WARNING, "Negotiate: cannot test {0}''s membership of {1} ({2}); answered as not a member",
            user.getName(), group, e.getMessage());
      }
      user.answer(group, member);
    }
    return Outcome.authenticated(user, context, reply.length == 0 ? null : Base64.getEncoder().encodeToString(reply));
  }

  private synchronized Pending take(Object connection) {
    return pending.remove(connection);
  }

  private void park(Object connection, ServerContext context) {
    List<ServerContext> released = new ArrayList<>();
    synchronized (this) {
      if (closed) {
        released.add(context);
      } else {
        while (pending.size() >= maxPending) {
          Iterator<Map.Entry<Object, Pending>> oldest = pending.entrySet().iterator();
          Map.Entry<Object, Pending> entry = oldest.next();
          oldest.remove();
          released.add(entry.getValue().context);
          LOG.log(Level.INFO, "Negotiate: {0}: too many exchanges waiting ({1}); the oldest is dropped",
              entry.getKey(), maxPending);
        }
        pending.put(connection, new Pending(context, System.nanoTime() + timeoutNanos));
      }
    }
    released.forEach(ServerContext::close);
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
        expired.add(entry.getValue().context);
        LOG.log(Level.DEBUG, "Negotiate: {0}: the client did not come back in time; the exchange is dropped",
            entry.getKey());
      }
    }
    expired.forEach(ServerContext::close);
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
    }
    sweeper.shutdownNow();
    all.forEach(p -> p.context.close());
  }

  private Outcome bad(Object connection, String what) {
    LOG.log(Level.INFO, "Negotiate: {0}: bad request: {1}", connection, what);
    return Outcome.badRequest();
  }

  private static String schemeOf(String header) {
    String trimmed = header.trim();
    int space = trimmed.indexOf(' ');
    return space < 0 ? trimmed : trimmed.substring(0, space);
  }

  // A client's text in a log line: short and without control characters.
  private static String printable(String text) {
    String shown = text.length() > 40 ? text.substring(0, 40) + "..." : text;
    return shown.replaceAll("[^\\x20-\\x7e]", "?");
  }
}
