package com.tarvex.pelk.quentrel.http;

import com.tarvex.pelk.quentrel.ServerContext;

/**
 * What the {@link Gate} decided for a request: it goes on as a client (resumed from a session, or
 * signed on now), or it is answered with a status. Close it when the request is over: a sign-on
 * holds the client's context until then.
 */
public final class Admission implements AutoCloseable {
  private final Outcome outcome;
  private final NegotiatedUser user;
  private final SignOn signOn;

  private Admission(Outcome outcome, NegotiatedUser user, SignOn signOn) {
    this.outcome = outcome;
    this.user = user;
    this.signOn = signOn;
  }

  static Admission resumed(SignOn session) {
    return new Admission(null, session.user(), session);
  }

  static Admission decided(Outcome outcome, SignOn session) {
    return new Admission(outcome, outcome.user(), session);
  }

  /** Whether the request goes on as {@link #user()}. */
  public boolean admitted() {
    return user != null;
  }

  /** Whether a session the client held serves the request (no sign-on took place). */
  public boolean resumed() {
    return outcome == null;
  }

  /** 200 when admitted, else the status to answer: 401, 400 or 503. */
  public int status() {
    return outcome == null ? 200 : outcome.status();
  }

  /** The client the request goes on as; null when not admitted. */
  public NegotiatedUser user() {
    return user;
  }

  /** The session the request belongs to; null when sessions are off or it could not be kept. */
  public SignOn signOn() {
    return signOn;
  }

  /**
   * The client's security context while the request that signed it on runs, for acting as the
   * client; null for a request resumed from a session, or once closed.
   */
  public ServerContext context() {
    return outcome == null ? null : outcome.context();
  }

  /** Releases what a sign-on holds. Idempotent. */
  @Override
  public void close() {
    if (outcome != null) {
      outcome.close();
    }
  }
}
