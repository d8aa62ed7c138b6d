package com.tarvex.pelk.quentrel.servlet;

import com.tarvex.pelk.quentrel.http.NegotiatedUser;
import com.tarvex.pelk.quentrel.http.Negotiator;
import com.tarvex.pelk.quentrel.http.Outcome;
import jakarta.servlet.Filter;
import jakarta.servlet.FilterChain;
import jakarta.servlet.FilterConfig;
import jakarta.servlet.ServletException;
import jakarta.servlet.ServletRequest;
import jakarta.servlet.ServletResponse;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletRequestWrapper;
import jakarta.servlet.http.HttpServletResponse;
import java.io.IOException;
import java.security.Principal;
import java.time.Duration;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;

/**
 * HTTP Negotiate for Jakarta Servlet containers: the requests behind this filter come from clients
 * that authenticated, and {@code getRemoteUser}, {@code getUserPrincipal} and {@code isUserInRole}
 * answer from the client's account name and groups (a role is a group name, "DOMAIN\\group" or a
 * local group). The client's context lives as long as the request, so any group can be asked.
 *
 * <p>Init parameters, all optional: {@code package} (default "Negotiate"), {@code groups} (names
 * answered for every client, separated by commas), {@code maxPending} (default 1000) and
 * {@code timeoutSeconds} (default 30), the limits of exchanges waiting for a next leg.
 */
public final class NegotiateFilter implements Filter {
  private Negotiator negotiator;

  /** A filter configured by its init parameters. */
  public NegotiateFilter() {}

  /** A filter with a negotiator of its own, closed when the filter is destroyed. */
  public NegotiateFilter(Negotiator negotiator) {
    this.negotiator = negotiator;
  }

  @Override
  public void init(FilterConfig config) {
    if (negotiator != null) {
      return;
    }
    Negotiator.Builder builder = Negotiator.builder().packageName(config.getInitParameter("package"));
    String groups = config.getInitParameter("groups");
    if (groups != null && !groups.isBlank()) {
      builder.groups(Arrays.stream(groups.split(",")).map(String::trim).filter(g -> !g.isEmpty()).toArray(String[]::new));
    }
    String maxPending = config.getInitParameter("maxPending");
    if (maxPending != null) {
      builder.maxPending(Integer.parseInt(maxPending.trim()));
    }
    String timeout = config.getInitParameter("timeoutSeconds");
    if (timeout != null) {
      builder.timeout(Duration.ofSeconds(Long.parseLong(timeout.trim())));
    }
    negotiator = builder.build();
  }

  public Negotiator negotiator() {
    return negotiator;
  }

  @Override
  public void doFilter(ServletRequest request, ServletResponse response, FilterChain chain)
      throws IOException, ServletException {
    if (!(request instanceof HttpServletRequest) || !(response instanceof HttpServletResponse)) {
      chain.doFilter(request, response);
      return;
    }
    HttpServletRequest http = (HttpServletRequest) request;
    HttpServletResponse answer = (HttpServletResponse) response;
    List<String> headers = Collections.list(http.getHeaders("Authorization"));
    try (Outcome outcome = negotiator.authenticate(connectionOf(http), headers)) {
      String header = outcome.wwwAuthenticate();
      if (header != null) {
        answer.addHeader("WWW-Authenticate", header);
      }
      if (!outcome.authenticated()) {
        answer.setStatus(outcome.status());
        answer.setContentLength(0);
        return;
      }
      chain.doFilter(new AuthenticatedRequest(http, outcome.user()), response);
    }
  }

  @Override
  public void destroy() {
    if (negotiator != null) {
      negotiator.close();
    }
  }

  // One connection, for as long as it is open: the container's own identifier where it gives one
  // (Servlet 6), with the socket addresses of both ends.
  private static Object connectionOf(HttpServletRequest request) {
    String id = null;
    try {
      id = request.getServletConnection().getConnectionId();
    } catch (AbstractMethodError | NoSuchMethodError | UnsupportedOperationException olderContainer) {
      // Servlet 5 has no connection object; the addresses alone name the connection.
    }
    return List.of(String.valueOf(id), request.getRemoteAddr() + ":" + request.getRemotePort(),
        request.getLocalAddr() + ":" + request.getLocalPort());
  }

  private static final class AuthenticatedRequest extends HttpServletRequestWrapper {
    private final NegotiatedUser user;

    AuthenticatedRequest(HttpServletRequest request, NegotiatedUser user) {
      super(request);
      this.user = user;
    }

    @Override
    public String getAuthType() {
      return Negotiator.SCHEME;
    }

    @Override
    public String getRemoteUser() {
      return user.getName();
    }

    @Override
    public Principal getUserPrincipal() {
      return user;
    }

    @Override
    public boolean isUserInRole(String role) {
      // "**" is any authenticated user; "*" and empty names are no group.
      if ("**".equals(role)) {
        return true;
      }
      if (role == null || role.isEmpty() || "*".equals(role)) {
        return false;
      }
      try {
        return user.isMember(role);
      } catch (IllegalStateException e) {
        return false;
      }
    }
  }
}
