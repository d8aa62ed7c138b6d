package com.tarvex.pelk.quentrel.http;

import java.lang.System.Logger.Level;
import java.security.SecureRandom;
import java.time.Clock;
import java.util.Base64;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;

/**
 * The sessions of a {@link Negotiator}: one sign-on serves the client's later requests until the
 * session's lifetime is over, until it has been idle too long, until the application logs the
 * client out, or, when the site binds sessions to addresses, until a request comes from another
 * address. The group answers held in a session end with it.
 *
 * <p>A session ends when the client's ticket ends (the context's expiry, as the security package
 * reports it) or when the configured lifetime (one hour unless set) is over, whichever comes
 * first: it never outlives the ticket it began with.
 *
 * <p>For the JDK server, a session travels as a cookie sealed with AES-GCM ({@link SessionCookie}):
 * nobody reads or changes the sign-on it holds, and it serves only the path that set it, on sites
 * of the same name and key. The key is random for each negotiator unless the site gives one, so
 * that several nodes behind a load balancer accept each other's cookies. A cookie is a bearer
 * token: whoever holds it is the client until it ends, which is why it is HttpOnly, Secure over
 * TLS and SameSite=Lax, and why logging out revokes its identifier until the session's own end (in
 * this process; other nodes sharing the key do not learn of it). Revocations are kept exactly that
 * long, so however many clients log out, no other session ends for it.
 */
public final class Sessions {
  static final String DEFAULT_COOKIE = "quentrel-session";
  // Cookies beyond this are not set: browsers keep about 4 KiB a cookie, name and attributes included.
  static final int MAX_COOKIE_CHARS = 3800;
  // Revoked identifiers are swept of ended sessions when they grow past this, or twice their last size.
  private static final int FIRST_SWEEP = 1024;
  private static final SecureRandom RANDOM = new SecureRandom();
  private static final Base64.Encoder B64 = Base64.getUrlEncoder().withoutPadding();

  private final boolean enabled;
  private final long lifetime;
  private final long idle;
  private final boolean bound;
  private final String cookieName;
  private final SessionCookie format;
  private final Clock clock;
  private final LogLines log;
  private final Map<String, Long> revoked = new ConcurrentHashMap<>();
  private volatile int nextSweep = FIRST_SWEEP;

  Sessions(boolean enabled, long lifetimeMillis, long idleMillis, boolean bound, String cookieName, byte[] key,
      String siteName, Clock clock, LogLines log) {
    this.enabled = enabled;
    this.lifetime = lifetimeMillis;
    this.idle = idleMillis;
    this.bound = bound;
    this.cookieName = cookieName;
    byte[] secret = key;
    if (secret == null) {
      secret = new byte[32];
      RANDOM.nextBytes(secret);
    }
    this.format = new SessionCookie(secret, siteName, cookieName, log);
    this.clock = clock;
    this.log = log;
  }

  /** Whether sign-ons are kept for the requests after them (the default). */
  public boolean enabled() {
    return enabled;
  }

  /** The cookie's name in the JDK server's flavour. */
  public String cookieName() {
    return cookieName;
  }

  /** A new session for a client that has just authenticated from an address. */
  public SignOn start(NegotiatedUser user, String address) {
    byte[] id = new byte[SessionCookie.ID_BYTES];
    RANDOM.nextBytes(id);
    long now = clock.millis();
    // A session ends with the client's ticket when that comes first: the sign-on proved nothing
    // beyond it.
    long expires = Math.min(now + lifetime, user.authenticationEndsMillis());
    return new SignOn(B64.encodeToString(id), user, now, expires, now, bound ? address : null);
  }

  /**
   * Whether a session serves a request from an address now; if it does, its last use is now.
   * A session bound to another address is ended.
   */
  public boolean serves(SignOn session, String address) {
    String why = refusal(session, address);
    if (why != null) {
      log.log("session-ended", Level.DEBUG, "Negotiate: the session of {0} from {1} no longer serves: {2}",
          session.user().getName(), address, why);
      return false;
    }
    session.seen(clock.millis());
    return true;
  }

  private String refusal(SignOn session, String address) {
    long now = clock.millis();
    if (revoked.containsKey(session.id())) {
      return "logged out";
    }
    if (now >= session.expiresMillis()) {
      return "its lifetime is over";
    }
    if (now - session.lastSeenMillis() >= idle) {
      return "idle too long";
    }
    if (bound && session.boundAddress() == null) {
      return "not bound to an address, as sessions now are";
    }
    if (session.boundAddress() != null && !session.boundAddress().equals(address)) {
      // Whoever holds the session elsewhere loses it too: the site asked for one address.
      end(session);
      log.log("session-moved", Level.INFO, "Negotiate: the session of {0} bound to {1} came from {2}; ended",
          session.user().getName(), session.boundAddress(), address);
      return "another address";
    }
    return null;
  }

  /** Ends a session: it serves no request from now on, in this process, until its own end. */
  public void end(SignOn session) {
    if (revoked.size() >= nextSweep) {
      purge();
      nextSweep = Math.max(FIRST_SWEEP, 2 * revoked.size());
    }
    revoked.put(session.id(), session.expiresMillis());
  }

  /** Forgets the revoked identifiers whose sessions have ended by themselves. */
  void purge() {
    long now = clock.millis();
    revoked.values().removeIf(expires -> now >= expires);
  }

  // Whether a session is due a new cookie, to carry its last use forward.
  boolean stale(SignOn session) {
    return clock.millis() - session.lastSeenMillis() >= Math.min(idle / 4, 60_000);
  }

  /** The session as a cookie value for `path`; null when it would be too long for a cookie (too many groups). */
  String cookie(SignOn session, String path) {
    return format.seal(session, path, MAX_COOKIE_CHARS);
  }

  /**
   * The session a cookie value of `path` carries, when this site sealed it for that path; null
   * for anything else. The session's bounds are not checked here ({@link #serves}).
   */
  SignOn fromCookie(String value, String path) {
    return format.open(value, path, MAX_COOKIE_CHARS);
  }
}
