package com.tarvex.pelk.quentrel.http;

import com.sun.net.httpserver.Authenticator;
import com.sun.net.httpserver.HttpExchange;
import com.sun.net.httpserver.HttpPrincipal;
import java.util.List;

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
 */
public final class NegotiateAuthenticator extends Authenticator implements AutoCloseable {
  private final Negotiator negotiator;

  /** An authenticator with its own {@link Negotiator}, closed with it. */
  public NegotiateAuthenticator(Negotiator negotiator) {
    this.negotiator = negotiator;
  }

  /** An authenticator of the package "Negotiate" that answers the given groups. */
  public NegotiateAuthenticator(String... groups) {
    this(Negotiator.builder().groups(groups).build());
  }

  public Negotiator negotiator() {
    return negotiator;
  }

  @Override
  public Result authenticate(HttpExchange exchange) {
    List<String> headers = exchange.getRequestHeaders().get("Authorization");
    try (Outcome outcome = negotiator.authenticate(List.of(exchange.getRemoteAddress(), exchange.getLocalAddress()),
        headers)) {
      String answer = outcome.wwwAuthenticate();
      if (answer != null) {
        exchange.getResponseHeaders().add("WWW-Authenticate", answer);
      }
      if (outcome.authenticated()) {
        return new Success(new NegotiatePrincipal(outcome.user()));
      }
      return outcome.status() == 401 ? new Retry(401) : new Failure(outcome.status());
    }
  }

  /** Releases every exchange still waiting for a next leg. */
  @Override
  public void close() {
    negotiator.close();
  }

  /** The authenticated client, as {@link HttpExchange#getPrincipal()} gives it. */
  public static final class NegotiatePrincipal extends HttpPrincipal {
    private final NegotiatedUser user;

    NegotiatePrincipal(NegotiatedUser user) {
      super(user.getName(), user.packageName());
      this.user = user;
    }

    public NegotiatedUser user() {
      return user;
    }

    /**
     * Whether the client is a member of a group declared to the {@link Negotiator}.
     *
     * @throws IllegalStateException for a group that was not declared
     */
    public boolean isMember(String group) {
      return user.isMember(group);
    }
  }
}
