package com.tarvex.pelk.quentrel.http;

import com.sun.net.httpserver.Authenticator;
import com.sun.net.httpserver.Filter;
import com.sun.net.httpserver.Headers;
import com.sun.net.httpserver.HttpExchange;
import com.sun.net.httpserver.HttpPrincipal;
import com.sun.net.httpserver.HttpsExchange;
import java.io.IOException;
import java.util.ArrayList;
import java.util.List;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;

/**
 * HTTP Negotiate for the JDK's own HTTP server ({@code com.sun.net.httpserver}):
 *
 * <pre>{@code
 * HttpServer server = HttpServer.create(new InetSocketAddress(8080), 0);
 * server.createContext("/", exchange -> {
 *   NegotiatePrincipal user = (NegotiatePrincipal) exchange.getPrincipal();
 *   ... user.getUsername(), user.isMember("BUILTIN\\Users") ...
 * }).setAuthenticator(new NegotiateAuthenticator(Negotiator.builder().groups("BUILTIN\\Users").build()));
 * }</pre>
 *
 * <p>The client's context is released as soon as the client is known, so the principal answers
 * the groups declared to the {@link Negotiator}. A multi-leg exchange is tied to the client's
 * socket address, which names one connection while it is open.
 *
 * <p>A sign-on serves the client's later requests through a signed session cookie (see
 * {@link Sessions}; {@code Negotiator.builder().sessions(false)} turns it off): a request that
 * carries no Authorization header and a valid cookie goes on as the cookie's client with no call
 * into the security package, and one whose cookie is forged, altered, expired or logged out gets
 * the Negotiate challenge. A request with a Negotiate Authorization header always signs on
 * afresh. {@link #logout} ends a session.
 *
 * <p>On an {@code HttpsServer}, {@code Negotiator.builder().channelBinding(...)} binds sign-ons to
 * the TLS channel with the server's own certificate (see {@link ChannelBinding}), and
 * {@code basic(true)} lets clients that cannot negotiate sign on with a password checked against
 * the domain (see {@link Negotiator.Builder#basic}).
 */
public final class NegotiateAuthenticator extends Authenticator implements AutoCloseable {
  private final Negotiator negotiator;
  private final Gate gate;
  // The paths cookies were set at: the contexts this authenticator serves, a handful.
  private static final int MAX_COOKIE_PATHS = 64;
  private final Set<String> cookiePaths = ConcurrentHashMap.newKeySet();

  /** An authenticator with its own {@link Negotiator}, closed with it. */
  public NegotiateAuthenticator(Negotiator negotiator) {
    this.negotiator = negotiator;
    this.gate = new Gate(negotiator);
  }

  /** An authenticator of the package "Negotiate" that answers the given groups. */
  public NegotiateAuthenticator(String... groups) {
    this(Negotiator.builder().groups(groups).build());
  }

  public Negotiator negotiator() {
    return negotiator;
  }

  /**
   * A filter for the same context that makes sure the request ends with its thread as the process,
   * whatever its handler did: {@code context.getFilters().add(authenticator.requestScope())}. Each
   * request also begins that way, filter or not, as the authenticator checks first.
   */
  public Filter requestScope() {
    return new Filter() {
      @Override
      public void doFilter(HttpExchange exchange, Chain chain) throws IOException {
        try {
          chain.doFilter(exchange);
        } finally {
          RequestScopes.end(negotiator.log(), "at the end of the request");
        }
      }

      @Override
      public String description() {
        return "ends an impersonation scope that a handler left open";
      }
    };
  }

  @Override
  public Result authenticate(HttpExchange exchange) {
    try {
      RequestScopes.end(negotiator.log(), "before the next request");
    } catch (IllegalStateException e) {
      return new Failure(500);
    }
    try (Admission admission = gate.admit(new ExchangeRequest(exchange))) {
      if (admission.admitted()) {
        return new Success(new NegotiatePrincipal(admission.user(), admission.signOn()));
      }
      if (admission.status() == 401 && !continuing(exchange)) {
        sendPage(exchange);
      }
      return admission.status() == 401 ? new Retry(401) : new Failure(admission.status());
    }
  }

  // Whether a 401 carries a token: an exchange goes on, on this connection, with the client.
  private static boolean continuing(HttpExchange exchange) {
    List<String> challenges = exchange.getResponseHeaders().get("WWW-Authenticate");
    return challenges != null && challenges.stream().map(NegotiateHeader::credentials).anyMatch(c -> c != null
        && !c.isEmpty());
  }

  // The JDK server sends a refusal with no body, so a person whose browser cannot sign on would
  // see a blank page: the page is sent here, and the server, finding the response sent, closes the
  // connection (which an exchange that does not go on can spare).
  private void sendPage(HttpExchange exchange) {
    byte[] page = AnswerPages.page(401, negotiator.fallback());
    exchange.getResponseHeaders().set("Content-Type", "text/html; charset=utf-8");
    try {
      exchange.sendResponseHeaders(401, page.length);
      exchange.getResponseBody().write(page);
    } catch (IOException gone) {
      // The client left; the server closes the exchange as it would anyway.
    } finally {
      exchange.close();
    }
  }

  // The JDK server's side of the gate: sessions travel in a signed cookie.
  private final class ExchangeRequest implements Gate.Request {
    private final HttpExchange exchange;

    ExchangeRequest(HttpExchange exchange) {
      this.exchange = exchange;
    }

    @Override
    public List<String> authorization() {
      List<String> headers = exchange.getRequestHeaders().get("Authorization");
      return headers == null ? List.of() : headers;
    }

    @Override
    public String peer() {
      return exchange.getRemoteAddress().getAddress().getHostAddress();
    }

    @Override
    public Object connection() {
      return List.of(exchange.getRemoteAddress(), exchange.getLocalAddress());
    }

    @Override
    public List<SignOn> sessions() {
      Sessions sessions = negotiator.sessions();
      List<String> values = cookies(exchange.getRequestHeaders(), sessions.cookieName());
      List<SignOn> held = new ArrayList<>(1);
      for (String value : values) {
        SignOn session = sessions.fromCookie(value, cookiePath(exchange));
        if (session != null) {
          held.add(session);
        }
      }
      if (held.isEmpty() && !values.isEmpty()) {
        // Cookies that do not read back are forgotten like sessions that ended.
        forgetSessions();
      }
      return held;
    }

    @Override
    public void forgetSessions() {
      setCookie(exchange, null);
    }

    @Override
    public boolean keep(SignOn signOn, boolean renewed) {
      String value = negotiator.sessions().cookie(signOn, cookiePath(exchange));
      if (value != null) {
        setCookie(exchange, value);
      }
      return value != null;
    }

    @Override
    public void header(String name, String value) {
      exchange.getResponseHeaders().add(name, value);
    }

    @Override
    public boolean secure() {
      return exchange instanceof HttpsExchange;
    }

    // The certificate this server showed on the exchange's TLS channel.
    @Override
    public byte[] channelBindings() {
      if (!(exchange instanceof HttpsExchange)) {
        return null;
      }
      javax.net.ssl.SSLSession tls = ((HttpsExchange) exchange).getSSLSession();
      java.security.cert.Certificate[] shown = tls == null ? null : tls.getLocalCertificates();
      return shown == null || shown.length == 0 ? null : ChannelBinding.tlsServerEndPoint(shown[0]);
    }
  }

  /**
   * Ends the session of the exchange's client: its cookie serves no request from now on, in this
   * process, and the response clears it in the browser. Call it from the handler before the
   * response headers are sent.
   */
  public void logout(HttpExchange exchange) {
    if (exchange.getPrincipal() instanceof NegotiatePrincipal) {
      SignOn session = ((NegotiatePrincipal) exchange.getPrincipal()).signOn();
      if (session != null) {
        negotiator.sessions().end(session);
      }
    }
    // The cookie was set at the path of the context that signed the client on, which is seldom
    // the logout page's own: it is cleared at every path this authenticator set it at.
    setCookie(exchange, null);
    for (String path : cookiePaths) {
      if (!path.equals(cookiePath(exchange))) {
        exchange.getResponseHeaders().add("Set-Cookie", cookieText(exchange, null, path));
      }
    }
  }

  // The path of the server context that serves the exchange: its cookie's, which is sealed for it.
  private static String cookiePath(HttpExchange exchange) {
    String path = exchange.getHttpContext().getPath();
    return path.isEmpty() ? "/" : path;
  }

  // Sets the session cookie to a value, or clears it for null; replaces any set before on this
  // response.
  private void setCookie(HttpExchange exchange, String value) {
    String name = negotiator.sessions().cookieName();
    String path = cookiePath(exchange);
    if (value != null && !cookiePaths.contains(path) && cookiePaths.size() < MAX_COOKIE_PATHS) {
      cookiePaths.add(path);
    }
    Headers response = exchange.getResponseHeaders();
    List<String> set = response.get("Set-Cookie");
    if (set != null) {
      set.removeIf(earlier -> earlier.startsWith(name + "="));
    }
    response.add("Set-Cookie", cookieText(exchange, value, path));
  }

  private String cookieText(HttpExchange exchange, String value, String path) {
    StringBuilder cookie = new StringBuilder(negotiator.sessions().cookieName()).append('=')
        .append(value == null ? "" : value).append("; Path=").append(path).append("; HttpOnly; SameSite=Lax");
    if (value == null) {
      cookie.append("; Max-Age=0");
    }
    if (exchange instanceof HttpsExchange) {
      cookie.append("; Secure");
    }
    return cookie.toString();
  }

  // The values of the cookies of a name in the request (a few at most: each costs a signature check).
  static List<String> cookies(Headers request, String name) {
    List<String> values = new ArrayList<>(1);
    List<String> headers = request.get("Cookie");
    if (headers == null) {
      return values;
    }
    for (String header : headers) {
      for (String pair : header.split(";")) {
        int equals = pair.indexOf('=');
        if (equals > 0 && pair.substring(0, equals).trim().equals(name) && values.size() < 4) {
          String value = pair.substring(equals + 1).trim();
          if (value.length() > 1 && value.startsWith("\"") && value.endsWith("\"")) {
            value = value.substring(1, value.length() - 1);
          }
          values.add(value);
        }
      }
    }
    return values;
  }

  /** Releases every exchange still waiting for a next leg. */
  @Override
  public void close() {
    negotiator.close();
  }

  /** The authenticated client, as {@link HttpExchange#getPrincipal()} gives it. */
  public static final class NegotiatePrincipal extends HttpPrincipal {
    private final NegotiatedUser user;
    private final SignOn session;

    NegotiatePrincipal(NegotiatedUser user, SignOn session) {
      super(user.getName(), user.packageName());
      this.user = user;
      this.session = session;
    }

    public NegotiatedUser user() {
      return user;
    }

    /** The session this request belongs to; null when sessions are off. */
    public SignOn signOn() {
      return session;
    }

    /** Whether the client is a member of a group; see {@link NegotiatedUser#isMember}. */
    public boolean isMember(String group) {
      return user.isMember(group);
    }
  }
}
