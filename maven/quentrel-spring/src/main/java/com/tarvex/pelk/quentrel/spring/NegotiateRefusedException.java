package com.tarvex.pelk.quentrel.spring;

import com.tarvex.pelk.quentrel.http.Negotiator;
import org.springframework.security.authentication.BadCredentialsException;
import org.springframework.security.core.AuthenticationException;

/**
 * A sign-on that did not end with an authenticated client, with what to answer: 401 and the next
 * challenge (a token when the exchange goes on, plain Negotiate when it starts over), 400 for a
 * malformed request, or 503 with a Retry-After when too many exchanges wait.
 */
public final class NegotiateRefusedException extends BadCredentialsException {
  private static final long serialVersionUID = 1L;
  private final int status;
  private final String wwwAuthenticate;
  private final String retryAfter;

  public NegotiateRefusedException(String message, int status, String wwwAuthenticate, String retryAfter) {
    super(message);
    this.status = status;
    this.wwwAuthenticate = wwwAuthenticate;
    this.retryAfter = retryAfter;
  }

  /** What to answer for any failure to authenticate: a refusal as it says, anything else 401. */
  static NegotiateRefusedException of(AuthenticationException failure) {
    if (failure instanceof NegotiateRefusedException refused) {
      return refused;
    }
    return new NegotiateRefusedException(failure == null ? "not signed on" : failure.getMessage(), 401,
        Negotiator.SCHEME, null);
  }

  public int status() {
    return status;
  }

  /** The WWW-Authenticate header to send; null for none. */
  public String wwwAuthenticate() {
    return wwwAuthenticate;
  }

  /** The Retry-After header to send; null for none. */
  public String retryAfter() {
    return retryAfter;
  }
}
