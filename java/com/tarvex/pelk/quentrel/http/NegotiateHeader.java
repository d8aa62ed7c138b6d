package com.tarvex.pelk.quentrel.http;

import java.util.Base64;
import java.util.List;

/**
 * The Negotiate scheme in Authorization and WWW-Authenticate values. One rule says whether a value
 * is Negotiate, for the server and the client alike: its first token is the scheme name, without
 * regard to case, and ends the value or is followed by whitespace. "negotiate TOKEN" is
 * Negotiate; "NegotiateX TOKEN" is another scheme.
 */
public final class NegotiateHeader {
  /** The authentication scheme, as it appears in the headers. */
  public static final String SCHEME = "Negotiate";

  private NegotiateHeader() {}

  /**
   * The credentials of a Negotiate value: the text after the scheme, without surrounding
   * whitespace ("" for the bare scheme); null when the value is of another scheme or null.
   */
  public static String credentials(String value) {
    return credentials(value, SCHEME);
  }

  /** {@link #credentials(String)} of another scheme by the same rule, such as "Basic". */
  static String credentials(String value, String scheme) {
    if (value == null) {
      return null;
    }
    String trimmed = value.strip();
    if (!trimmed.regionMatches(true, 0, scheme, 0, scheme.length())) {
      return null;
    }
    if (trimmed.length() == scheme.length()) {
      return "";
    }
    char next = trimmed.charAt(scheme.length());
    return next == ' ' || next == '\t' ? trimmed.substring(scheme.length()).strip() : null;
  }

  /** Whether a value is of the Negotiate scheme. */
  public static boolean isNegotiate(String value) {
    return credentials(value) != null;
  }

  /**
   * Whether any of a request's Authorization values carries Negotiate: the client is signing on,
   * and a session it may also have does not stand in for that.
   */
  public static boolean anyNegotiate(List<String> values) {
    if (values != null) {
      for (String value : values) {
        if (isNegotiate(value)) {
          return true;
        }
      }
    }
    return false;
  }

  /** Whether any of a request's Authorization values carries Basic credentials. */
  public static boolean anyBasic(List<String> values) {
    return BasicSignOn.credentials(values) != null;
  }

  /** A request's Negotiate token, or why the request is bad; neither for a request of another scheme. */
  static final class Token {
    final byte[] bytes;
    final String bad;

    private Token(byte[] bytes, String bad) {
      this.bytes = bytes;
      this.bad = bad;
    }
  }

  /**
   * The token of the one Negotiate value among a request's Authorization values, decoded; a value
   * over {@code maxChars}, two Negotiate values, or one without a well-formed token make a bad
   * request.
   */
  static Token token(List<String> values, int maxChars) {
    String encoded = null;
    for (String value : values) {
      if (value != null && value.length() > maxChars) {
        return new Token(null, "an Authorization header of " + value.length() + " characters, over the limit of "
            + maxChars);
      }
      String credentials = credentials(value);
      if (credentials != null) {
        if (encoded != null) {
          return new Token(null, "more than one Negotiate Authorization header");
        }
        encoded = credentials;
      }
    }
    if (encoded == null) {
      return new Token(null, null);
    }
    if (encoded.isEmpty()) {
      return new Token(null, "a Negotiate header without a token");
    }
    try {
      byte[] bytes = Base64.getDecoder().decode(encoded);
      return bytes.length == 0 ? new Token(null, "an empty token") : new Token(bytes, null);
    } catch (IllegalArgumentException e) {
      return new Token(null, "a token that is not base64 (" + e.getMessage() + ")");
    }
  }

  /** The scheme name of a value, for log lines: its first whitespace-delimited token. */
  static String schemeOf(String value) {
    String trimmed = value == null ? "" : value.strip();
    int end = 0;
    while (end < trimmed.length() && !Character.isWhitespace(trimmed.charAt(end))) {
      end++;
    }
    return trimmed.substring(0, end);
  }
}
