package com.tarvex.pelk.quentrel.http;

import com.tarvex.pelk.quentrel.ServerContext;

/**
 * What a {@link Negotiator} says to answer a request: go on (the client authenticated), 401 with
 * a challenge, 400 for bad input, or 503 when the server cannot take the exchange: it has no
 * credentials, or its table of exchanges waiting for a next leg is full (then with a Retry-After).
 * Close it when the request is over: an authenticated outcome holds the client's context until then.
 */
public final class Outcome implements AutoCloseable {
  private final int status;
  private final String token;
  private final NegotiatedUser user;
  private final ServerContext context;
  private final int retryAfter;

  private Outcome(int status, String token, NegotiatedUser user, ServerContext context, int retryAfter) {
    this.status = status;
    this.token = token;
    this.user = user;
    this.context = context;
    this.retryAfter = retryAfter;
  }

  static Outcome authenticated(NegotiatedUser user, ServerContext context, String reply) {
    return new Outcome(200, reply, user, context, 0);
  }

  static Outcome challenge(String token) {
    return new Outcome(401, token, null, null, 0);
  }

  static Outcome badRequest() {
    return new Outcome(400, null, null, null, 0);
  }

  static Outcome unavailable(int retryAfterSeconds) {
    return new Outcome(503, null, null, null, retryAfterSeconds);
  }

  /** Whether the client authenticated: the request may go on as {@link #user()}. */
  public boolean authenticated() {
    return user != null;
  }

  /** 200 when authenticated, else the status to answer: 401, 400 or 503. */
  public int status() {
    return status;
  }

  /**
   * The WWW-Authenticate header to send: "Negotiate" or "Negotiate TOKEN" with a 401; "Negotiate
   * TOKEN" with the successful response when the client needs the server's final token (mutual
   * authentication); null when there is none to send.
   */
  public String wwwAuthenticate() {
    if (status == 401) {
      return token == null ? Negotiator.SCHEME : Negotiator.SCHEME + " " + token;
    }
    return status == 200 && token != null ? Negotiator.SCHEME + " " + token : null;
  }

  /** The Retry-After header to send with a 503, in seconds; null when there is none. */
  public String retryAfter() {
    return retryAfter > 0 ? Integer.toString(retryAfter) : null;
  }

  /** The authenticated client, or null. */
  public NegotiatedUser user() {
    return user;
  }

  /** The authenticated client's context, open until {@link #close}; null when not authenticated. */
  public ServerContext context() {
    return context;
  }

  /** Releases the client's context. Idempotent. */
  @Override
  public void close() {
    if (context != null) {
      context.close();
    }
  }
}
