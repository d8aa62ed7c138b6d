package com.tarvex.pelk.quentrel.http;

import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.DataInputStream;
import java.io.DataOutputStream;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.security.AlgorithmParameters;
import java.security.GeneralSecurityException;
import java.security.SecureRandom;
import java.util.Base64;
import java.util.Map;
import javax.crypto.Cipher;
import javax.crypto.Mac;
import javax.crypto.SecretKey;

/**
 * The session cookie's format, apart from what a session may do ({@link Sessions}): the sign-on
 * (a random identifier, the issue, end and last-use times, the bound address, the client's name,
 * package, scheme and group answers) sealed with AES-256-GCM, so that it is neither readable nor
 * changeable by whoever holds the cookie. The key is derived from the site's session key and the
 * site's name, so two applications that were given one key still do not take each other's
 * cookies; the cookie's name and path are bound in as associated data, so a cookie that one path
 * of the site set is refused on another. The value is URL-safe Base64 of a version byte, the
 * 12-byte nonce and the ciphertext with its 16-byte tag. A cookie of an earlier version is refused
 * (its client signs on again): version 2 held no scheme, and its Basic sessions would read as
 * Negotiate.
 */
final class SessionCookie {
  private static final int VERSION = 3;
  private static final int NONCE_BYTES = 12;
  private static final int TAG_BITS = 128;
  static final int ID_BYTES = 16;
  private static final int MAX_GROUPS = 256;
  private static final SecureRandom RANDOM = new SecureRandom();
  private static final Base64.Encoder B64 = Base64.getUrlEncoder().withoutPadding();

  private final SecretKey key;
  private final String cookieName;
  private final LogLines log;

  SessionCookie(byte[] siteKey, String siteName, String cookieName, LogLines log) {
    this.key = new RawKey(derive(siteKey, siteName), "AES");
    this.cookieName = cookieName;
    this.log = log;
  }

  // HMAC-SHA256 of the site's name under its key: one AES key per site, whatever key it shares.
  private static byte[] derive(byte[] siteKey, String siteName) {
    try {
      Mac mac = Mac.getInstance("HmacSHA256");
      mac.init(new RawKey(siteKey, "HmacSHA256"));
      return mac.doFinal(("quentrel session cookie key\0" + siteName).getBytes(StandardCharsets.UTF_8));
    } catch (GeneralSecurityException e) {
      throw new IllegalStateException("HmacSHA256 is part of every JDK", e);
    }
  }

  /** Key bytes for an algorithm of the JDK's, which takes any secret key given in its raw form. */
  private static final class RawKey implements SecretKey {
    private static final long serialVersionUID = 1L;
    private final byte[] bytes;
    private final String algorithm;

    RawKey(byte[] bytes, String algorithm) {
      this.bytes = bytes.clone();
      this.algorithm = algorithm;
    }

    @Override
    public String getAlgorithm() {
      return algorithm;
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

  // GCM's parameters for the nonce at `offset` of `bytes`, in the DER form every provider reads
  // (RFC 5084's GCMParameters: the nonce, then the tag's length in bytes).
  private static AlgorithmParameters gcm(byte[] bytes, int offset) throws GeneralSecurityException {
    ByteBuffer der = ByteBuffer.allocate(2 + 2 + NONCE_BYTES + 3).put((byte) 0x30).put((byte) (2 + NONCE_BYTES + 3))
        .put((byte) 0x04).put((byte) NONCE_BYTES).put(bytes, offset, NONCE_BYTES)
        .put((byte) 0x02).put((byte) 1).put((byte) (TAG_BITS / 8));
    AlgorithmParameters parameters = AlgorithmParameters.getInstance("GCM");
    try {
      parameters.init(der.array());
    } catch (IOException e) {
      throw new GeneralSecurityException("GCM parameters", e);
    }
    return parameters;
  }

  private byte[] associated(String path) {
    return ("quentrel session " + VERSION + "\0" + cookieName + "\0" + path).getBytes(StandardCharsets.UTF_8);
  }

  /** The session sealed for a cookie of `path`; null when it is too large for a cookie. */
  String seal(SignOn session, String path, int maxChars) {
    byte[] plain = serialize(session);
    if (plain == null) {
      return null;
    }
    byte[] nonce = new byte[NONCE_BYTES];
    RANDOM.nextBytes(nonce);
    try {
      Cipher cipher = Cipher.getInstance("AES/GCM/NoPadding");
      cipher.init(Cipher.ENCRYPT_MODE, key, gcm(nonce, 0));
      cipher.updateAAD(associated(path));
      byte[] sealed = cipher.doFinal(plain);
      ByteBuffer out = ByteBuffer.allocate(1 + NONCE_BYTES + sealed.length).put((byte) VERSION).put(nonce).put(sealed);
      String value = B64.encodeToString(out.array());
      return value.length() > maxChars ? null : value;
    } catch (GeneralSecurityException e) {
      throw new IllegalStateException("AES-GCM is part of every JDK", e);
    }
  }

  /** The session a cookie of `path` carries when this site sealed it there; null for anything else. */
  SignOn open(String value, String path, int maxChars) {
    if (value == null || value.isEmpty() || value.length() > maxChars) {
      return null;
    }
    byte[] bytes;
    try {
      bytes = Base64.getUrlDecoder().decode(value);
    } catch (IllegalArgumentException notBase64) {
      return null;
    }
    if (bytes.length < 1 + NONCE_BYTES + TAG_BITS / 8 || bytes[0] != VERSION) {
      return null;
    }
    byte[] plain;
    try {
      Cipher cipher = Cipher.getInstance("AES/GCM/NoPadding");
      cipher.init(Cipher.DECRYPT_MODE, key, gcm(bytes, 1));
      cipher.updateAAD(associated(path));
      plain = cipher.doFinal(bytes, 1 + NONCE_BYTES, bytes.length - 1 - NONCE_BYTES);
    } catch (GeneralSecurityException forgedOrElsewhere) {
      return null;
    }
    return deserialize(plain);
  }

  private static byte[] serialize(SignOn session) {
    ByteArrayOutputStream bytes = new ByteArrayOutputStream(256);
    try (DataOutputStream out = new DataOutputStream(bytes)) {
      out.write(Base64.getUrlDecoder().decode(session.id()));
      out.writeLong(session.issuedMillis());
      out.writeLong(session.expiresMillis());
      out.writeLong(session.lastSeenMillis());
      out.writeUTF(session.boundAddress() == null ? "" : session.boundAddress());
      NegotiatedUser user = session.user();
      out.writeUTF(user.getName());
      out.writeUTF(user.packageName());
      out.writeUTF(user.scheme());
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
    return bytes.toByteArray();
  }

  // Sealed by this site's key, so written by serialize(): what does not read back is refused.
  private SignOn deserialize(byte[] plain) {
    try (DataInputStream in = new DataInputStream(new ByteArrayInputStream(plain))) {
      byte[] id = in.readNBytes(ID_BYTES);
      long issued = in.readLong();
      long expires = in.readLong();
      long lastSeen = in.readLong();
      String address = in.readUTF();
      // The session's end already holds the client's ticket end.
      String name = in.readUTF();
      String packageName = in.readUTF();
      String scheme = in.readUTF();
      if (!scheme.equals(NegotiateHeader.SCHEME) && !scheme.equals(BasicSignOn.SCHEME)) {
        return null;
      }
      NegotiatedUser user = new NegotiatedUser(name, packageName, scheme, null, log, expires);
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
}
