package com.tarvex.pelk.quentrel.http;

import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.DataInputStream;
import java.io.DataOutputStream;
import java.io.IOException;
import java.lang.System.Logger.Level;
import java.nio.charset.StandardCharsets;
import java.security.GeneralSecurityException;
import java.security.MessageDigest;
import java.security.SecureRandom;
import java.time.Clock;
import java.util.Base64;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;
import javax.crypto.Mac;
import javax.crypto.SecretKey;

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
 * <p>For the JDK server, a session travels as a cookie that holds the sign-on (the client's name
 * and package, the group answers, the issue, last-use and end times, the bound address, a random
 * identifier) under an HMAC-SHA256 signature. The key is random for each negotiator unless the
 * site gives one, so that several nodes behind a load balancer accept each other's cookies. A
 * cookie is a bearer token: whoever holds it is the client until it ends, which is why it is
 * HttpOnly, Secure over TLS and SameSite=Lax, and why logging out revokes its identifier (in this
 * process, until the session's end; other nodes sharing the key do not learn of it).
 */
public final class Sessions {
  static final String DEFAULT_COOKIE = "quentrel-session";
  // Cookies beyond this are not set: browsers keep about 4 KiB a cookie, name and attributes included.
  static final int MAX_COOKIE_CHARS = 3800;
  // Revoked identifiers kept at most; beyond, every session issued until then ends.
  static final int MAX_REVOKED = 100_000;
  private static final int VERSION = 1;
  private static final int ID_BYTES = 16;
  private static final int MAX_GROUPS = 256;
  private static final SecureRandom RANDOM = new SecureRandom();
  private static final Base64.Encoder B64 = Base64.getUrlEncoder().withoutPadding();

  private final boolean enabled;
  private final long lifetime;
  private final long idle;
  private final boolean bound;
  private final String cookieName;
  private final byte[] label;
  private final SecretKey key;
  private final Clock clock;
  private final LogLines log;
  private final ThreadLocal<Mac> macs;
  private final Map<String, Long> revoked = new ConcurrentHashMap<>();
  private volatile long notAfterIssue = Long.MIN_VALUE;

  Sessions(boolean enabled, long lifetimeMillis, long idleMillis, boolean bound, String cookieName, byte[] key,
      Clock clock, LogLines log) {
    this.enabled = enabled;
    this.lifetime = lifetimeMillis;
    this.idle = idleMillis;
    this.bound = bound;
    this.cookieName = cookieName;
    this.label = ("quentrel session " + VERSION + "\0" + cookieName + "\0").getBytes(StandardCharsets.UTF_8);
    byte[] secret = key;
    if (secret == null) {
      secret = new byte[32];
      RANDOM.nextBytes(secret);
    }
    this.key = new HmacKey(secret);
    this.clock = clock;
    this.log = log;
    this.macs = ThreadLocal.withInitial(() -> {
      try {
        Mac mac = Mac.getInstance("HmacSHA256");
        mac.init(this.key);
        return mac;
      } catch (GeneralSecurityException e) {
        throw new IllegalStateException("HmacSHA256 is part of every JDK", e);
      }
    });
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
    byte[] id = new byte[ID_BYTES];
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
    if (session.issuedMillis() <= notAfterIssue || revoked.containsKey(session.id())) {
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

  /** Ends a session: it serves no request from now on, in this process. */
  public void end(SignOn session) {
    if (revoked.size() >= MAX_REVOKED) {
      purge();
    }
    if (revoked.size() >= MAX_REVOKED) {
      // Memory stays bounded and no logout is lost: every session issued so far ends.
      notAfterIssue = clock.millis();
      revoked.clear();
      log.log("sessions-reset", Level.WARNING, "Negotiate: {0} sessions logged out at once; every session until now"
          + " is ended", MAX_REVOKED);
      return;
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

  /** The session as a cookie value; null when it would be too long for a cookie (too many groups). */
  String cookie(SignOn session) {
    ByteArrayOutputStream bytes = new ByteArrayOutputStream(256);
    try (DataOutputStream out = new DataOutputStream(bytes)) {
      out.writeByte(VERSION);
      out.write(Base64.getUrlDecoder().decode(session.id()));
      out.writeLong(session.issuedMillis());
      out.writeLong(session.expiresMillis());
      out.writeLong(session.lastSeenMillis());
      out.writeUTF(session.boundAddress() == null ? "" : session.boundAddress());
      NegotiatedUser user = session.user();
      out.writeUTF(user.getName());
      out.writeUTF(user.packageName());
      Map<String, Boolean> groups = user.groups();
      Map<String, String> unanswered = user.unanswered();
      if (groups.size() > MAX_GROUPS || unanswered.size() > MAX_GROUPS) {
        return null;
      }
      out.writeShort(groups.size());
      for (Map.Entry<String, Boolean> group : groups.entrySet()) {
        out.writeUTF(group.getKey());
        out.writeBoolean(group.getValue());
      }
      out.writeShort(unanswered.size());
      for (Map.Entry<String, String> group : unanswered.entrySet()) {
        out.writeUTF(group.getKey());
        out.writeUTF(group.getValue() == null ? "" : group.getValue());
      }
    } catch (IOException | IllegalArgumentException tooLong) {
      return null;
    }
    byte[] payload = bytes.toByteArray();
    String value = B64.encodeToString(payload) + "." + B64.encodeToString(mac(payload));
    return value.length() > MAX_COOKIE_CHARS ? null : value;
  }

  /**
   * The session a cookie value carries, when its signature is this key's; null for anything
   * else. The session's bounds are not checked here ({@link #serves}).
   */
  SignOn fromCookie(String value) {
    if (value == null || value.length() > MAX_COOKIE_CHARS) {
      return null;
    }
    int dot = value.indexOf('.');
    if (dot < 0 || value.indexOf('.', dot + 1) >= 0) {
      return null;
    }
    byte[] payload;
    byte[] signature;
    try {
      payload = Base64.getUrlDecoder().decode(value.substring(0, dot));
      signature = Base64.getUrlDecoder().decode(value.substring(dot + 1));
    } catch (IllegalArgumentException notBase64) {
      return null;
    }
    if (!MessageDigest.isEqual(mac(payload), signature)) {
      return null;
    }
    // Signed by this key, so written by cookie(): a payload that does not read back is a bug or
    // an old version, and is refused the same way.
    try (DataInputStream in = new DataInputStream(new ByteArrayInputStream(payload))) {
      if (in.readUnsignedByte() != VERSION) {
        return null;
      }
      byte[] id = in.readNBytes(ID_BYTES);
      long issued = in.readLong();
      long expires = in.readLong();
      long lastSeen = in.readLong();
      String address = in.readUTF();
      // The session's end already holds the client's ticket end.
      NegotiatedUser user = new NegotiatedUser(in.readUTF(), in.readUTF(), null, log, expires);
      for (int n = in.readUnsignedShort(), i = 0; i < n; i++) {
        user.answer(in.readUTF(), in.readBoolean());
      }
      for (int n = in.readUnsignedShort(), i = 0; i < n; i++) {
        user.unanswered(in.readUTF(), in.readUTF());
      }
      if (id.length != ID_BYTES || in.read() >= 0) {
        return null;
      }
      return new SignOn(B64.encodeToString(id), user, issued, expires, lastSeen, address.isEmpty() ? null : address);
    } catch (IOException e) {
      return null;
    }
  }

  private byte[] mac(byte[] payload) {
    Mac mac = macs.get();
    mac.update(label);
    return mac.doFinal(payload);
  }

  // The signing key as the MAC takes it: its raw bytes, copied in and out.
  private static final class HmacKey implements SecretKey {
    private static final long serialVersionUID = 1L;
    private final byte[] bytes;

    HmacKey(byte[] bytes) {
      this.bytes = bytes.clone();
    }

    @Override
    public String getAlgorithm() {
      return "HmacSHA256";
    }

    @Override
    public String getFormat() {
      return "RAW";
    }

    @Override
    public byte[] getEncoded() {
      return bytes.clone();
    }
  }
}
