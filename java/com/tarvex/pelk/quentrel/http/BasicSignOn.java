package com.tarvex.pelk.quentrel.http;

import com.tarvex.pelk.quentrel.ClientContext;
import com.tarvex.pelk.quentrel.PlatformStatus;
import com.tarvex.pelk.quentrel.SecurityContext;
import com.tarvex.pelk.quentrel.ServerContext;
import com.tarvex.pelk.quentrel.WinAuthException;
import java.lang.System.Logger.Level;
import java.net.InetAddress;
import java.net.UnknownHostException;
import java.nio.ByteBuffer;
import java.nio.CharBuffer;
import java.nio.charset.CharacterCodingException;
import java.nio.charset.CodingErrorAction;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.Base64;
import java.util.List;
import java.util.Locale;

/**
 * HTTP Basic for clients that cannot negotiate, checked against the domain: the user's name and
 * password make a Kerberos client context (the KDC checks the password), whose ticket for this
 * service is then accepted by an ordinary server context of the site's own credentials. Only the
 * real KDC can issue a ticket that the service's own key decrypts, so a KDC that an attacker put in
 * the way (a forged DNS answer, a changed krb5.conf) cannot sign anyone on by agreeing to any
 * password. The server context that results is the same as a Negotiate sign-on's: the acceptor's
 * name rules, the client's groups and its session all apply unchanged.
 *
 * <p>The password is never logged nor kept: the bytes and characters it passes through are wiped
 * once the client context has it, and that context goes as soon as its ticket is accepted. A
 * wrong password costs one exchange with the KDC.
 */
final class BasicSignOn {
  static final String SCHEME = "Basic";
  // The client's side is always Kerberos: it is the package that asks the KDC with the password,
  // and its token is one that every acceptor of the site takes, Negotiate's included.
  private static final String CLIENT_PACKAGE = "Kerberos";
  // A name and a password of Windows' limits, in base64, with room for the scheme.
  private static final int MAX_CREDENTIALS_CHARS = 1024;
  // Kerberos is done in one leg, or two with mutual authentication; more is a package gone astray.
  private static final int MAX_LEGS = 4;
  // SEC_E_LOGON_DENIED before any ticket: the KDC did not take the password.
  private static final String LOGON_DENIED = "Platform error: 8009030c";

  private final String realm;
  private final boolean overPlainHttp;
  private final String service;
  private final LogLines log;

  BasicSignOn(String realm, boolean overPlainHttp, String service, LogLines log) {
    this.realm = realm;
    this.overPlainHttp = overPlainHttp;
    this.service = service == null || service.isBlank() ? defaultService() : service.trim();
    this.log = log;
  }

  /** The WWW-Authenticate value that offers Basic. */
  String challenge() {
    return SCHEME + " realm=\"" + realm.replace("\\", "\\\\").replace("\"", "\\\"") + "\", charset=\"UTF-8\"";
  }

  /** What a server that starts says of its Basic sign-on, so that a wrong service shows at once. */
  String announcement() {
    return "Basic: clients may sign on with a password over HTTPS" + (overPlainHttp ? " and plain HTTP" : "")
        + ", checked by the KDC with a ticket for " + service + " that this server's key must decrypt";
  }

  /** The request's Basic credentials ("" for a bare scheme); null when it carries none. */
  static String credentials(List<String> authorization) {
    if (authorization != null) {
      for (String value : authorization) {
        String credentials = NegotiateHeader.credentials(value, SCHEME);
        if (credentials != null) {
          return credentials;
        }
      }
    }
    return null;
  }

  /** Signs a client on with the Basic credentials of its request; a refusal is a 401 that offers both schemes. */
  Outcome signOn(Object connection, String credentials, boolean secure, Negotiator negotiator) {
    if (!secure && !overPlainHttp) {
      log.log("basic-plain", Level.WARNING, "Basic: {0}: a password sent over plain HTTP is refused (serve the site"
          + " over HTTPS, or allow Basic over plain HTTP explicitly)", connection);
      return Outcome.challenge(null);
    }
    char[] decoded = decode(credentials);
    if (decoded == null) {
      log.log("basic-bad", Level.INFO, "Basic: {0}: the credentials are not base64 of UTF-8 text; asking again",
          connection);
      return Outcome.challenge(null);
    }
    char[] password = null;
    try {
      int colon = indexOf(decoded, ':');
      if (colon <= 0 || colon == decoded.length - 1) {
        log.log("basic-bad", Level.INFO, "Basic: {0}: the credentials lack a user name or a password; asking again",
            connection);
        return Outcome.challenge(null);
      }
      String user = new String(decoded, 0, colon);
      password = Arrays.copyOfRange(decoded, colon + 1, decoded.length);
      Arrays.fill(decoded, '\0');
      return exchange(connection, user, password, negotiator);
    } finally {
      Arrays.fill(decoded, '\0');
      if (password != null) {
        Arrays.fill(password, '\0');
      }
    }
  }

  // The password's context against the site's acceptor; the client context goes before this returns.
  private Outcome exchange(Object connection, String user, char[] password, Negotiator negotiator) {
    ServerContext server = null;
    byte[] token = null;
    try (ClientContext client = ClientContext.openWithPassword(CLIENT_PACKAGE, service, user, password)) {
      Arrays.fill(password, '\0');
      SecurityContext.Step leg = client.firstStep();
      server = ServerContext.open(negotiator.packageName());
      for (int round = 0; ; round++) {
        token = leg.token();
        SecurityContext.Step answer = server.accept(token);
        if (answer.complete()) {
          break;
        }
        if (round == MAX_LEGS) {
          throw new WinAuthException("the exchange does not end");
        }
        leg = client.initialize(answer.token());
      }
      NegotiatedUser signedOn = NegotiatedUser.signedOn(server, negotiator.packageName(), SCHEME,
          negotiator.groups(), log);
      log.log("basic-signed-on", Level.INFO, "Basic: {0}: {1} signed on with a password", connection,
          signedOn.getName());
      return Outcome.authenticated(signedOn, server, null);
    } catch (WinAuthException refused) {
      if (server != null) {
        server.close();
      }
      String why = token != null ? AcceptorCheck.refused(refused, token)
          : LOGON_DENIED.equals(refused.getMessage()) ? LOGON_DENIED + " (the domain refused the name and password: a"
              + " wrong password, an unknown user, or a locked, disabled or expired account)"
          : PlatformStatus.withWords(refused.getMessage());
      log.log("basic-refused", Level.INFO, "Basic: {0}: {1} could not sign on: {2}", connection, user,
          LogLines.words(why));
      return Outcome.challenge(null);
    } catch (RuntimeException | Error e) {
      if (server != null) {
        server.close();
      }
      throw e;
    }
  }

  // Base64 of UTF-8, strictly: a text that is not one is nobody's password.
  private static char[] decode(String credentials) {
    if (credentials.isEmpty() || credentials.length() > MAX_CREDENTIALS_CHARS) {
      return null;
    }
    byte[] bytes;
    try {
      bytes = Base64.getDecoder().decode(credentials);
    } catch (IllegalArgumentException notBase64) {
      return null;
    }
    try {
      CharBuffer chars = StandardCharsets.UTF_8.newDecoder().onMalformedInput(CodingErrorAction.REPORT)
          .onUnmappableCharacter(CodingErrorAction.REPORT).decode(ByteBuffer.wrap(bytes));
      char[] out = Arrays.copyOfRange(chars.array(), chars.position(), chars.limit());
      Arrays.fill(chars.array(), '\0');
      return out;
    } catch (CharacterCodingException notText) {
      return null;
    } finally {
      Arrays.fill(bytes, (byte) 0);
    }
  }

  private static int indexOf(char[] text, char wanted) {
    for (int i = 0; i < text.length; i++) {
      if (text[i] == wanted) {
        return i;
      }
    }
    return -1;
  }

  // The keytab's first HTTP service where there is a keytab; else HTTP and this host's DNS name,
  // which is what a browser would ask for.
  private static String defaultService() {
    if (!System.getProperty("os.name", "").startsWith("Windows")) {
      for (String principal : ServiceKeytab.find().principals().keySet()) {
        if (principal.startsWith("HTTP/")) {
          return principal;
        }
      }
    }
    try {
      return "HTTP/" + InetAddress.getLocalHost().getCanonicalHostName().toLowerCase(Locale.ROOT);
    } catch (UnknownHostException e) {
      return "HTTP/localhost";
    }
  }
}
