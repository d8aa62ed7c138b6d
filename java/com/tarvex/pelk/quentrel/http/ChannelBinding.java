package com.tarvex.pelk.quentrel.http;

import java.nio.charset.StandardCharsets;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.security.cert.Certificate;
import java.security.cert.CertificateEncodingException;
import java.security.cert.X509Certificate;
import java.util.Locale;

/**
 * Channel binding (extended protection) for Negotiate over HTTPS: the server hands its security
 * package the {@code tls-server-end-point} bindings of its own certificate, so that a token a
 * client made for another TLS channel (one a relaying attacker terminated) does not sign on here.
 *
 * <p>The site chooses how strict to be, with the same three settings as IIS:
 *
 * <ul>
 *   <li>{@link Mode#NONE}: no bindings are given; any client signs on as before.
 *   <li>{@link Mode#ACCEPT}: a client that sends bindings must send this channel's; a client that
 *       sends none (an older client, or one behind a TLS-terminating proxy) still signs on.
 *   <li>{@link Mode#REQUIRE}: only a client that sends this channel's bindings signs on; a request
 *       that came over no TLS channel is refused.
 * </ul>
 */
public final class ChannelBinding {
  /** How a server treats the channel bindings of its clients' tokens. */
  public enum Mode {
    NONE,
    ACCEPT,
    REQUIRE;

    /** "none", "accept" or "require", in any case. */
    public static Mode parse(String text) {
      try {
        return valueOf(text.trim().toUpperCase(Locale.ROOT));
      } catch (IllegalArgumentException e) {
        throw new IllegalArgumentException("channel binding is none, accept or require, not \"" + text + "\"", e);
      }
    }
  }

  private static final byte[] PREFIX = "tls-server-end-point:".getBytes(StandardCharsets.US_ASCII);

  private ChannelBinding() {}

  /**
   * The {@code tls-server-end-point} application data of a server certificate: the label and the
   * certificate's digest under its signature's hash, SHA-256 where that hash is MD5 or SHA-1 or
   * the algorithm names none.
   *
   * @throws IllegalArgumentException for a certificate that is not X.509 or cannot be encoded
   */
  public static byte[] tlsServerEndPoint(Certificate certificate) {
    if (!(certificate instanceof X509Certificate)) {
      throw new IllegalArgumentException("channel binding needs the server's X.509 certificate, not "
          + (certificate == null ? "none" : certificate.getType()));
    }
    X509Certificate x509 = (X509Certificate) certificate;
    try {
      byte[] digest = MessageDigest.getInstance(hashOf(x509.getSigAlgName())).digest(x509.getEncoded());
      byte[] data = new byte[PREFIX.length + digest.length];
      System.arraycopy(PREFIX, 0, data, 0, PREFIX.length);
      System.arraycopy(digest, 0, data, PREFIX.length, digest.length);
      return data;
    } catch (CertificateEncodingException | NoSuchAlgorithmException e) {
      throw new IllegalArgumentException("cannot take the digest of the server's certificate: " + e.getMessage(), e);
    }
  }

  // "SHA384withECDSA" -> "SHA-384"; MD5, SHA-1 and names without a hash -> SHA-256.
  static String hashOf(String signatureAlgorithm) {
    String name = signatureAlgorithm.toUpperCase(Locale.ROOT);
    int with = name.indexOf("WITH");
    String hash = with > 0 ? name.substring(0, with) : "";
    switch (hash) {
      case "SHA384":
      case "SHA-384":
        return "SHA-384";
      case "SHA512":
      case "SHA-512":
        return "SHA-512";
      default:
        return "SHA-256";
    }
  }
}
