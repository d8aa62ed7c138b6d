package com.tarvex.pelk.quentrel.http;

import java.io.IOException;

/** An HTTP Negotiate exchange that did not authenticate: the server refused, or failed to prove itself. */
public class NegotiateException extends IOException {
  private static final long serialVersionUID = 1L;

  public NegotiateException(String message) {
    super(message);
  }

  public NegotiateException(String message, Throwable cause) {
    super(message, cause);
  }
}
