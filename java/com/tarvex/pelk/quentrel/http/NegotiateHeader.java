package com.tarvex.pelk.quentrel.http;

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
    if (value == null) {
      return null;
    }
    String trimmed = value.strip();
    if (!trimmed.regionMatches(true, 0, SCHEME, 0, SCHEME.length())) {
      return null;
    }
    if (trimmed.length() == SCHEME.length()) {
      return "";
    }
    char next = trimmed.charAt(SCHEME.length());
    return next == ' ' || next == '\t' ? trimmed.substring(SCHEME.length()).strip() : null;
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
