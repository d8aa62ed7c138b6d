package com.tarvex.pelk.quentrel.http;

import java.io.Serializable;
import java.time.Instant;

/**
 * One sign-on that serves the requests after it: the client as it authenticated (its name and
 * the group answers it got), when, until when at the latest, when it was last used, and the
 * address it is bound to when the site asks for that. {@link Sessions} makes and checks them;
 * the JDK server's flavour carries one in a signed cookie, the servlet filter in the container's
 * session.
 */
public final class SignOn implements Serializable {
  private static final long serialVersionUID = 1L;
  private final String id;
  private final NegotiatedUser user;
  private final long issued;
  private final long expires;
  private final String address;
  private volatile long lastSeen;

  SignOn(String id, NegotiatedUser user, long issued, long expires, long lastSeen, String address) {
    this.id = id;
    this.user = user;
    this.issued = issued;
    this.expires = expires;
    this.lastSeen = lastSeen;
    this.address = address;
  }

  /** A random identifier, the same for the whole session: what logging out revokes. */
  public String id() {
    return id;
  }

  public NegotiatedUser user() {
    return user;
  }

  /** When the client authenticated. */
  public Instant issued() {
    return Instant.ofEpochMilli(issued);
  }

  /** The end of the session whatever its use. */
  public Instant expires() {
    return Instant.ofEpochMilli(expires);
  }

  /** When a request last came with it. */
  public Instant lastSeen() {
    return Instant.ofEpochMilli(lastSeen);
  }

  /** The client address the session is bound to; null when it is not bound. */
  public String boundAddress() {
    return address;
  }

  long issuedMillis() {
    return issued;
  }

  long expiresMillis() {
    return expires;
  }

  long lastSeenMillis() {
    return lastSeen;
  }

  void seen(long now) {
    lastSeen = now;
  }
}
